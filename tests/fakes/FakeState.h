// Shared state of the fake DirectSound: the script, the log and the lock that
// guards both and every fake object.
#pragma once

#include "fake_dsound.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace fakeds {

struct Rule {
    HRESULT hr = DS_OK;
    int times = 1;  // < 0: for ever
    bool raise = false;
};

// Lives on after a DirectSound object is gone, so that its buffers can tell.
class FakeSoundBuffer;
struct DeviceLife {
    bool released = false;
    DWORD level = 0;
    FakeSoundBuffer *primary = nullptr;  // while it has references
};

// DS_OK as an HRESULT (some headers make it a plain 0), so that the fake's
// method bodies return one type.
const HRESULT kOk = DS_OK;

class FakeState {
public:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Call> m_log;
    std::vector<std::string> m_faults;
    std::map<std::string, std::vector<Rule>> m_rules;
    std::map<std::string, std::vector<std::pair<long long, HRESULT>>> m_refusals;
    DWORD m_capsFlags = 0xF5F;
    DWORD m_minRate = 100;
    DWORD m_maxRate = 200000;
    int m_oneShotQueries = -1;
    bool m_realTime = false;
    std::chrono::steady_clock::time_point m_oneShotEnd;
    bool m_logging = true;
    int m_live = 0;
    int m_nextDevice = 1;
    int m_nextBuffer = 1;
    std::string m_holdKey;  // the next call matching it stops at the gate
    bool m_holding = false; // a call is stopped at the gate

    void ResetScript();

    // One method call on a fake object, under the lock: a use after the
    // DirectSound's release is listed as a fault (life given), the script
    // answers first, else body(args), which may change the logged arguments;
    // then the call is logged, with a copy of *data if given.
    template <class Body>
    HRESULT Answer(const DeviceLife *life, const char *object, int id, const char *method,
                   std::vector<long long> args, Body body,
                   const std::vector<unsigned char> *data = nullptr)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        Gate(hold, object, method);
        CheckOrphan(life, object, id, method);
        HRESULT hr = Scripted(object, id, method, args);
        if (hr == DS_OK)
            hr = body(args);
        Record(object, id, method, std::move(args), hr, data ? *data : std::vector<unsigned char>());
        return hr;
    }

    // Under m_lock: lists a call on a buffer whose DirectSound is gone.
    void CheckOrphan(const DeviceLife *life, const char *object, int id, const char *method)
    {
        if (life && life->released)
            Fault(std::string(object) + " " + std::to_string(id) + ": " + method +
                  " after its DirectSound was released");
    }
    // Under m_lock: the scripted answer for a call, DS_OK when none. A rule
    // that raises is logged and thrown here.
    HRESULT Scripted(const char *object, int id, const char *method,
                     const std::vector<long long> &args);
    // Under m_lock: appends a call and wakes the waiters.
    void Record(const char *object, int id, const char *method, std::vector<long long> args,
                HRESULT result, std::vector<unsigned char> data = {});
    void Fault(std::string text);
    // Under m_lock: a call that HoldNext named waits here, with the lock
    // released, until ReleaseHold.
    void Gate(std::unique_lock<std::mutex> &hold, const char *object, const char *method);

    bool Matches(const Call &call, const std::string &key) const;
};

FakeState &State();

}  // namespace fakeds
