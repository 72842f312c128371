// Shared by the output tests: the server libpulse is pointed at, swapped for
// the length of a test and put back afterwards.
#pragma once

#include <stdlib.h>

#include <string>

class ScopedPulseServer {
public:
    explicit ScopedPulseServer(const std::string &server)
    {
        const char *old = getenv("PULSE_SERVER");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        setenv("PULSE_SERVER", server.c_str(), 1);
    }
    ~ScopedPulseServer()
    {
        if (m_had)
            setenv("PULSE_SERVER", m_old.c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
    }
    ScopedPulseServer(const ScopedPulseServer &) = delete;
    ScopedPulseServer &operator=(const ScopedPulseServer &) = delete;

private:
    bool m_had;
    std::string m_old;
};
