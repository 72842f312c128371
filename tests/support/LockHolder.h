// Holds a mutex of the library on another thread from construction until
// destruction, for the tests of what a busy lock does.
#pragma once

#include "platform/winapi.h"

#include <future>
#include <thread>

class LockHolder {
public:
    // `release` false: the handle is closed while held, so the holder ends
    // owning it.
    explicit LockHolder(HANDLE mutex, bool release = true)
    {
        std::promise<bool> held;
        std::future<bool> isHeld = held.get_future();
        m_thread = std::thread([this, mutex, release, &held] {
            const bool got = WaitForSingleObject(mutex, 10000) == WAIT_OBJECT_0;
            held.set_value(got);
            m_release.get_future().wait();
            if (got && release)
                ReleaseMutex(mutex);
        });
        m_held = isHeld.get();
    }
    ~LockHolder()
    {
        m_release.set_value();
        m_thread.join();
    }
    bool Held() const { return m_held; }

private:
    std::promise<void> m_release;
    std::thread m_thread;
    bool m_held = false;
};
