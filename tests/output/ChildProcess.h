// A helper program run by a test: its standard output is collected on a
// thread as it comes, and it is ended by its process id when the test is done.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts `argv[0]` (searched on PATH) with `extraEnv` ("NAME=value")
    // added to the environment; stderr is discarded.
    bool Start(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv = {});
    // Bytes of standard output collected so far.
    size_t Received();
    // Waits (up to `timeoutMs`) until at least `bytes` have arrived.
    bool WaitForBytes(size_t bytes, int timeoutMs);
    std::vector<unsigned char> Output();
    pid_t Pid() const { return m_pid; }
    // SIGTERM, then SIGKILL if it lingers; collects the rest of the output.
    void Stop();

private:
    void Read(int fd);

    pid_t m_pid = -1;
    std::thread m_reader;
    std::mutex m_lock;
    std::vector<unsigned char> m_output;
};

// The program's full path when it is on PATH, else empty.
std::string FindProgram(const char *name);
