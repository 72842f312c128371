#include "EventLog.h"


EventLog::EventLog() : m_pFile(nullptr), m_start(std::chrono::steady_clock::now()) {}

EventLog::~EventLog()
{
    if (m_pFile)
        std::fclose(m_pFile);
}

bool EventLog::Create(const std::string &path)
{
    if (m_pFile)
        std::fclose(m_pFile);
    m_pFile = std::fopen(path.c_str(), "w");
    m_start = std::chrono::steady_clock::now();
    m_events.clear();
    return m_pFile != nullptr;
}

double EventLog::Now() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
}

void EventLog::Add(const std::string &scenario, const std::string &name, double value)
{
    Event e{Now(), scenario, name, value};
    m_events.push_back(e);
    if (m_pFile) {
        std::fprintf(m_pFile, "%.3f %s %s %.6g\n", e.ms, e.scenario.c_str(), e.name.c_str(), e.value);
        std::fflush(m_pFile);
    }
}

bool EventLog::Load(const std::string &path)
{
    m_events.clear();
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return false;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        char scenario[128], name[128];
        double ms = 0.0, value = 0.0;
        if (std::sscanf(line, "%lf %127s %127s %lf", &ms, scenario, name, &value) == 4)
            m_events.push_back(Event{ms, scenario, name, value});
    }
    std::fclose(f);
    return true;
}

const Event *EventLog::Find(const std::string &scenario, const std::string &name) const
{
    for (const Event &e : m_events)
        if (e.scenario == scenario && e.name == name)
            return &e;
    return nullptr;
}
