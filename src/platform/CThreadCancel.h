// Thread cancellation (pthread_cancel) as it meets the library. A cancelled
// thread unwinds its stack with a forced unwind: every catch-all handler on
// its way must let that pass, and the locks and holds it meets are let go
// by their owners' destructors. A teardown, which must not stop half way,
// holds cancellation off while it runs. Windows has no such unwind: there
// both parts do nothing.
#pragma once

class CThreadCancel {
public:
    // While the object lives its thread is not cancelled; a cancellation
    // asked for meanwhile takes effect at the thread's next chance after.
    CThreadCancel();
    ~CThreadCancel();

    // First thing in a catch-all handler: a forced unwind goes on through,
    // anything else returns.
    static void PassOn();

private:
    CThreadCancel(const CThreadCancel &) = delete;
    CThreadCancel &operator=(const CThreadCancel &) = delete;

    int m_nPrevious;  // the thread's cancel state before
};
