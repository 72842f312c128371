#include "DeadlineProcess.h"

#include <chrono>
#include <cstdio>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

#if defined(_WIN32)

bool DeadlineProcess::Run(const std::vector<std::string> &argv, int deadlineSeconds)
{
    std::string line;
    for (const std::string &arg : argv)
        line += (line.empty() ? "\"" : " \"") + arg + "\"";
    // The child writes where this program writes.
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    const DWORD streams[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE *slots[3] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    for (int i = 0; i < 3; ++i) {
        *slots[i] = GetStdHandle(streams[i]);
        SetHandleInformation(*slots[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION process = {};
    const Clock::time_point start = Clock::now();
    if (!CreateProcessA(argv.at(0).c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    m_ended = WaitForSingleObject(process.hProcess, static_cast<DWORD>(deadlineSeconds) * 1000) == WAIT_OBJECT_0;
    if (!m_ended) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    m_seconds = SecondsSince(start);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    m_code = static_cast<int>(code);
    // Exception codes (an access violation is 0xC0000005) end a crashed program.
    m_crashed = m_ended && (code & 0xF0000000u) == 0xC0000000u;
    return true;
}

#else

bool DeadlineProcess::Run(const std::vector<std::string> &argv, int deadlineSeconds)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return false;
    int status = 0;
    m_ended = false;
    // Polled: a blocking wait would have no deadline.
    while (!(m_ended = waitpid(pid, &status, WNOHANG) == pid) && SecondsSince(start) < deadlineSeconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!m_ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    m_seconds = SecondsSince(start);
    m_crashed = m_ended && WIFSIGNALED(status);
    m_code = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    return true;
}

#endif

std::string DeadlineProcess::Describe() const
{
    char text[128];
    if (!m_ended)
        std::snprintf(text, sizeof(text), "still running after %.1f s: killed", m_seconds);
#if defined(_WIN32)
    else if (m_crashed)
        std::snprintf(text, sizeof(text), "crashed with exception 0x%08X after %.1f s", static_cast<unsigned>(m_code),
                      m_seconds);
#else
    else if (m_crashed)
        std::snprintf(text, sizeof(text), "killed by signal %d (%s) after %.1f s", m_code, strsignal(m_code),
                      m_seconds);
#endif
    else
        std::snprintf(text, sizeof(text), "exited with %d after %.1f s", m_code, m_seconds);
    return text;
}

std::string ProgramBesideThisOne(const char *fileName)
{
#if defined(_WIN32)
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof(self));
    const char separator = '\\';
#else
    char self[PATH_MAX] = "";
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[length > 0 ? length : 0] = '\0';
    const char separator = '/';
#endif
    std::string path = self;
    const size_t end = path.find_last_of(separator);
    return (end == std::string::npos ? std::string(".") : path.substr(0, end)) + separator + fileName;
}
