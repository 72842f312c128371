#include "FakeState.h"

#include <stdexcept>

namespace fakeds {

FakeState &State()
{
    // Never destroyed: the registry's static destruction may still release
    // fake objects after this translation unit's statics are gone.
    static FakeState *state = new FakeState;
    return *state;
}

void FakeState::ResetScript()
{
    m_log.clear();
    m_faults.clear();
    m_rules.clear();
    m_refusals.clear();
    m_ranges.clear();
    m_capsFlags = 0xF5F;
    m_minRate = 100;
    m_maxRate = 200000;
    m_oneShotQueries = -1;
    m_logging = true;
    m_nextDevice = 1;
    m_nextBuffer = 1;
}

static Rule *FindRule(std::map<std::string, std::vector<Rule>> &rules, const std::string &key)
{
    auto it = rules.find(key);
    if (it == rules.end() || it->second.empty())
        return nullptr;
    return &it->second.front();
}

HRESULT FakeState::Scripted(const char *object, int id, const void *self, const char *method,
                            const std::vector<long long> &args)
{
    const std::string specific = std::string(object) + "." + method;
    std::string key = specific;
    Rule *rule = FindRule(m_rules, key);
    if (!rule) {
        key = method;
        rule = FindRule(m_rules, key);
    }
    if (rule) {
        Rule taken = *rule;
        if (rule->times > 0 && --rule->times == 0)
            m_rules[key].erase(m_rules[key].begin());
        if (taken.raise) {
            Record(object, id, self, method, args, E_FAIL);
            if (m_logging)
                m_log.back().threw = true;
            throw std::runtime_error(std::string("fake DirectSound: scripted exception in ") + method);
        }
        return taken.hr;
    }
    if (!args.empty()) {
        for (const char *k : {specific.c_str(), method}) {
            auto it = m_refusals.find(k);
            if (it == m_refusals.end())
                continue;
            for (const auto &refusal : it->second)
                if (refusal.first == args[0])
                    return refusal.second;
        }
    }
    return DS_OK;
}

bool FakeState::InRange(const char *object, const char *method, long long value, long long min,
                        long long max)
{
    auto it = m_ranges.find(std::string(object) + "." + method);
    if (it == m_ranges.end())
        it = m_ranges.find(method);
    if (it != m_ranges.end()) {
        min = it->second.first;
        max = it->second.second;
    }
    return value >= min && value <= max;
}

void FakeState::Record(const char *object, int id, const void *self, const char *method,
                       std::vector<long long> args, HRESULT result, std::vector<unsigned char> data)
{
    if (!m_logging)
        return;
    Call call;
    call.object = object;
    call.id = id;
    call.method = method;
    call.args = std::move(args);
    call.result = result;
    call.self = self;
    call.data = std::move(data);
    m_log.push_back(std::move(call));
    m_changed.notify_all();
}

void FakeState::Fault(std::string text)
{
    m_faults.push_back(std::move(text));
    m_changed.notify_all();
}

bool FakeState::Matches(const Call &call, const std::string &key) const
{
    if (key == call.method)
        return true;
    const size_t dot = key.find('.');
    return dot != std::string::npos && key.compare(0, dot, call.object) == 0 &&
           key.compare(dot + 1, std::string::npos, call.method) == 0;
}

// The public control and log interface.

void Reset()
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.ResetScript();
}

void SetCaps(DWORD flags, DWORD minSecondaryRate, DWORD maxSecondaryRate)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.m_capsFlags = flags;
    s.m_minRate = minSecondaryRate;
    s.m_maxRate = maxSecondaryRate;
}

void FailNext(const std::string &key, HRESULT hr, int times)
{
    if (times == 0)
        return;
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    Rule rule;
    rule.hr = hr;
    rule.times = times;
    s.m_rules[key].push_back(rule);
}

void ThrowNext(const std::string &key)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    Rule rule;
    rule.raise = true;
    s.m_rules[key].push_back(rule);
}

void Refuse(const std::string &key, long long value, HRESULT hr)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.m_refusals[key].emplace_back(value, hr);
}

void SetRange(const std::string &key, long long min, long long max)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.m_ranges[key] = {min, max};
}

void SetOneShotQueries(int queries)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.m_oneShotQueries = queries;
}

void SetLogging(bool on)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.m_logging = on;
}

std::vector<Call> Log()
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    return s.m_log;
}

std::vector<Call> Calls(const std::string &key)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    std::vector<Call> calls;
    for (const Call &call : s.m_log)
        if (s.Matches(call, key))
            calls.push_back(call);
    return calls;
}

int Count(const std::string &key)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    int n = 0;
    for (const Call &call : s.m_log)
        n += s.Matches(call, key) ? 1 : 0;
    return n;
}

void ClearLog()
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    s.m_log.clear();
}

bool WaitUntil(const std::function<bool(const std::vector<Call> &)> &pred,
               std::chrono::steady_clock::time_point deadline)
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    return s.m_changed.wait_until(hold, deadline, [&] { return pred(s.m_log); });
}

bool WaitFor(const std::string &key, std::chrono::steady_clock::time_point deadline, int count)
{
    FakeState &s = State();
    return WaitUntil(
        [&](const std::vector<Call> &log) {
            int n = 0;
            for (const Call &call : log)
                n += s.Matches(call, key) ? 1 : 0;
            return n >= count;
        },
        deadline);
}

bool WaitFor(const std::string &key, std::chrono::milliseconds within, int count)
{
    return WaitFor(key, std::chrono::steady_clock::now() + within, count);
}

int LiveObjects()
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    return s.m_live;
}

std::vector<std::string> Faults()
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    return s.m_faults;
}

}  // namespace fakeds
