#include "ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char **environ;

ChildProcess::~ChildProcess()
{
    Stop();
}

std::string FindProgram(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

bool ChildProcess::Start(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv)
{
    const std::string program = FindProgram(argv.at(0).c_str());
    if (program.empty())
        return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;

    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        env.push_back(*e);
    for (const std::string &e : extraEnv)
        env.push_back(const_cast<char *>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    m_pid = pid;
    m_reader = std::thread(&ChildProcess::Read, this, fds[0]);
    return true;
}

void ChildProcess::Read(int fd)
{
    unsigned char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> guard(m_lock);
        m_output.insert(m_output.end(), buffer, buffer + n);
    }
    close(fd);
}

size_t ChildProcess::Received()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_output.size();
}

bool ChildProcess::WaitForBytes(size_t bytes, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Received() < bytes) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<unsigned char> ChildProcess::Output()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_output;
}

void ChildProcess::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGCONT);
        kill(m_pid, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
}
