// The timeline of an end-to-end run: what the player did and when (in
// milliseconds of a monotonic clock since the log began), written as text
// lines "TIME SCENARIO EVENT VALUE" so that the checker can line the calls up
// with a recording made by another process.
#ifndef DUDIDADU_E2E_EVENTLOG_H
#define DUDIDADU_E2E_EVENTLOG_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

struct Event {
    double ms;
    std::string scenario;
    std::string name;
    double value;
};

class EventLog {
public:
    EventLog();
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // Writing: starts the clock; every Add is flushed at once so that a
    // player that dies still leaves its timeline behind.
    bool Create(const std::string &path);
    double Now() const;
    void Add(const std::string &scenario, const std::string &name, double value = 0.0);

    // Reading a log written by Create/Add.
    bool Load(const std::string &path);
    const std::vector<Event> &Events() const { return m_events; }
    // The first event of that name in the scenario, or null.
    const Event *Find(const std::string &scenario, const std::string &name) const;

private:
    FILE *m_pFile;
    std::chrono::steady_clock::time_point m_start;
    std::vector<Event> m_events;
};

#endif
