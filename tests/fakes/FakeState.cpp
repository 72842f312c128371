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
    m_capsFlags = 0xF5F;
    m_minRate = 100;
    m_maxRate = 200000;
    m_oneShotQueries = -1;
    m_realTime = false;
    m_logging = true;
    m_nextDevice = 1;
    m_nextBuffer = 1;
    m_holdKey.clear();
    m_holding = false;
    m_changed.notify_all();
}

void FakeState::Gate(std::unique_lock<std::mutex> &hold, const char *object, const char *method)
{
    Call call;
    call.object = object;
    call.method = method;
    if (m_holdKey.empty() || !Matches(call, m_holdKey))
        return;
    m_holdKey.clear();
    m_holding = true;
    m_changed.notify_all();
    m_changed.wait(hold, [this] { return !m_holding; });
}

HRESULT FakeState::Scripted(const char *object, int id, const char *method,
                            const std::vector<long long> &args)
{
    const std::string specific = std::string(object) + "." + method;
    for (const std::string &key : {specific, std::string(method)}) {
        auto it = m_rules.find(key);
        if (it == m_rules.end() || it->second.empty())
            continue;
        const Rule taken = it->second.front();
        if (taken.times > 0 && --it->second.front().times == 0)
            it->second.erase(it->second.begin());
        if (taken.raise) {
            Record(object, id, method, args, E_FAIL);
            throw std::runtime_error(std::string("fake DirectSound: scripted exception in ") + method);
        }
        return taken.hr;
    }
    for (const std::string &key : {specific, std::string(method)}) {
        auto it = m_refusals.find(key);
        if (it == m_refusals.end() || args.empty())
            continue;
        for (const auto &refusal : it->second)
            if (refusal.first == args[0])
                return refusal.second;
    }
    return DS_OK;
}

void FakeState::Record(const char *object, int id, const char *method, std::vector<long long> args,
                       HRESULT result, std::vector<unsigned char> data)
{
    if (!m_logging)
        return;
    m_log.push_back(Call{object, id, method, std::move(args), result, std::move(data),
                         std::chrono::steady_clock::now()});
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

// The public control and log interface: each runs f on the state under its lock.
template <class F>
static auto Locked(F f)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    return f(s);
}

void Reset()
{
    Locked([](FakeState &s) { s.ResetScript(); });
}

void SetCaps(DWORD flags, DWORD minSecondaryRate, DWORD maxSecondaryRate)
{
    Locked([&](FakeState &s) {
        s.m_capsFlags = flags;
        s.m_minRate = minSecondaryRate;
        s.m_maxRate = maxSecondaryRate;
    });
}

void FailNext(const std::string &key, HRESULT hr, int times)
{
    if (times != 0)
        Locked([&](FakeState &s) { s.m_rules[key].push_back(Rule{hr, times, false}); });
}

void ThrowNext(const std::string &key)
{
    Locked([&](FakeState &s) { s.m_rules[key].push_back(Rule{DS_OK, 1, true}); });
}

void HoldNext(const std::string &key)
{
    Locked([&](FakeState &s) { s.m_holdKey = key; });
}

bool WaitHeld(std::chrono::milliseconds within)
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    return s.m_changed.wait_for(hold, within, [&] { return s.m_holding; });
}

void ReleaseHold()
{
    Locked([](FakeState &s) {
        s.m_holdKey.clear();
        s.m_holding = false;
        s.m_changed.notify_all();
    });
}

void Refuse(const std::string &key, long long value, HRESULT hr)
{
    Locked([&](FakeState &s) { s.m_refusals[key].emplace_back(value, hr); });
}

void SetOneShotQueries(int queries)
{
    Locked([&](FakeState &s) { s.m_oneShotQueries = queries; });
}

void SetOneShotsInRealTime(bool on)
{
    Locked([&](FakeState &s) { s.m_realTime = on; });
}

std::chrono::steady_clock::time_point OneShotEnd()
{
    return Locked([](FakeState &s) { return s.m_oneShotEnd; });
}

void SetLogging(bool on)
{
    Locked([&](FakeState &s) { s.m_logging = on; });
}

std::vector<Call> Log()
{
    return Locked([](FakeState &s) { return s.m_log; });
}

std::vector<Call> Calls(const std::string &key)
{
    return Locked([&](FakeState &s) {
        std::vector<Call> calls;
        for (const Call &call : s.m_log)
            if (s.Matches(call, key))
                calls.push_back(call);
        return calls;
    });
}

int Count(const std::string &key)
{
    return Locked([&](FakeState &s) {
        int n = 0;
        for (const Call &call : s.m_log)
            n += s.Matches(call, key) ? 1 : 0;
        return n;
    });
}

void ClearLog()
{
    Locked([](FakeState &s) { s.m_log.clear(); });
}

bool WaitFor(const std::string &key, std::chrono::steady_clock::time_point deadline, int count)
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    return s.m_changed.wait_until(hold, deadline, [&] {
        int n = 0;
        for (const Call &call : s.m_log)
            n += s.Matches(call, key) ? 1 : 0;
        return n >= count;
    });
}

bool WaitFor(const std::string &key, std::chrono::milliseconds within, int count)
{
    return WaitFor(key, std::chrono::steady_clock::now() + within, count);
}

int LiveObjects()
{
    return Locked([](FakeState &s) { return s.m_live; });
}

std::vector<std::string> Faults()
{
    return Locked([](FakeState &s) { return s.m_faults; });
}

}  // namespace fakeds
