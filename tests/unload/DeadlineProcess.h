// A program run to its end in a child process, or ended by force when it
// has not ended by a deadline, so that a hang is a failure and not a stuck
// test run. The child shares the caller's standard output and error.
#pragma once

#include <string>
#include <vector>

class DeadlineProcess {
public:
    // Starts `argv[0]` (a path) with its arguments and waits for its end.
    // False when it could not be started.
    bool Run(const std::vector<std::string> &argv, int deadlineSeconds);

    // How the last run ended.
    bool Ended() const { return m_ended; }     // false: the deadline passed and it was killed
    bool Crashed() const { return m_crashed; } // ended by a signal or an exception
    int Code() const { return m_code; }        // exit status, signal or exception code
    double Seconds() const { return m_seconds; }
    std::string Describe() const;

private:
    bool m_ended = false;
    bool m_crashed = false;
    int m_code = 0;
    double m_seconds = 0;
};

// The path of a program that lies beside the running one.
std::string ProgramBesideThisOne(const char *fileName);
