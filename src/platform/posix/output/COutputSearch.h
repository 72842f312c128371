// The process's one search for outputs that could not be had. A device on a
// stand-in output (the null output for a server or ALSA device that did not
// answer or went away, or ALSA for a sound server) asks here, and one thread
// looks for all of them: it sleeps while nobody asks; while someone does, it
// tries when the server's socket or the sound cards change (inotify), and
// otherwise again after pauses that grow from a second to half a minute. A
// server's socket is first knocked on (a plain connect): libpulse proper is
// tried only when that answers, or at the longest pause. ALSA is tried at
// every attempt, once for all the devices waiting, so that a machine
// without sound costs next to nothing. Nothing it does holds up
// a device or a call: what it finds is handed over, and the device's mixer
// thread takes it at its next period (a waiting one is woken).
//
// After a fork the child has none of it: requests, found outputs and the
// thread are the parent's, forgotten there.
#pragma once

#include <atomic>
#include <memory>

#include "platform/posix/output/CAudioOutput.h"

class COutputSearch {
public:
    // One device's wish, shared between the device and the search.
    class CRequest {
    public:
        // Something was found: Take it.
        bool IsAnswered() const { return m_bAnswered.load(std::memory_order_acquire); }

    private:
        friend class COutputSearch;
        CAudioOutput::EKind m_eSought;  // OUTPUT_DEFAULT: a server, else ALSA
        CAudioOutput::EKind m_eWanted;  // what the device asked for
        DWORD m_dwRate;
        void (*m_pfnWake)(void *context);
        void *m_pContext;
        CAudioOutput *m_pFound = nullptr;
        bool m_bWithdrawn = false;
        std::atomic<bool> m_bAnswered{false};
    };

    // An output of kind `sought` (OUTPUT_DEFAULT: a server, else ALSA) at
    // `rate`, for a device that asked for `wanted`. Once one is found,
    // `wake(context)` is called on the search's thread (until Withdraw).
    // Null when the request cannot even be made (no memory, no thread).
    static std::shared_ptr<CRequest> Ask(CAudioOutput::EKind sought, CAudioOutput::EKind wanted, DWORD rate,
                                         void (*wake)(void *context), void *context);
    // The output found, open, once; null until then.
    static CAudioOutput *Take(CRequest &request);
    // No longer wanted: `wake` is not called any more once this returns, and
    // an output found meanwhile is closed.
    static void Withdraw(const std::shared_ptr<CRequest> &request);

    // Between tries without news: from the first to the longest.
    static constexpr DWORD kFirstRetryMs = 1000;
    static constexpr DWORD kLongestRetryMs = 30000;

private:
    static void *_main(void *unused);
    static void _run();
    // One try for every request; true when anything was found.
    static bool _try_all(bool thorough);
    static void _register_handler();
    static void _after_fork_in_child();
};
