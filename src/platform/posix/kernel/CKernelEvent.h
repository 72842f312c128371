// A Win32 event: signalled or not; a wait on an auto-reset event consumes
// the signal, so exactly one waiter wakes per SetEvent.
#pragma once

#include <memory>

#include "platform/posix/kernel/CKernelObject.h"

class CKernelEvent : public CKernelObject {
public:
    CKernelEvent(bool manualReset, bool signalled)
        : CKernelObject(KIND_EVENT), m_bManualReset(manualReset), m_bSignalled(signalled)
    {
    }

    // WAIT_OBJECT_0 once signalled, or WAIT_TIMEOUT.
    DWORD wait(DWORD milliseconds);
    void set();
    void reset();

private:
    const bool m_bManualReset;
    bool m_bSignalled;
};
