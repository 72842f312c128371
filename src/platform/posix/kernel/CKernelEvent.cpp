// Events.
#include "platform/posix/kernel/CKernelEvent.h"

#include <new>

#include "platform/winapi.h"

DWORD CKernelEvent::wait(DWORD milliseconds)
{
    const struct timespec deadline = CKernelCondition::deadline(milliseconds);
    CKernelLock hold(m_condition);
    while (!m_bSignalled) {
        if (!m_condition.wait_until(milliseconds, deadline) && !m_bSignalled)
            return WAIT_TIMEOUT;
    }
    if (!m_bManualReset)
        m_bSignalled = false;
    return WAIT_OBJECT_0;
}

void CKernelEvent::set()
{
    CKernelLock hold(m_condition);
    m_bSignalled = true;
    m_condition.broadcast();
}

void CKernelEvent::reset()
{
    CKernelLock hold(m_condition);
    m_bSignalled = false;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR)
{
    try {
        return CKernelHandleTable::insert(std::make_shared<CKernelEvent>(manualReset != FALSE, initialState != FALSE));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// Calls `change` on the event behind the handle; FALSE for any other handle.
template <class Change>
static BOOL change_event(HANDLE handle, Change change)
{
    std::shared_ptr<CKernelObject> object = CKernelHandleTable::find(handle, CKernelObject::KIND_EVENT);
    if (!object)
        return FALSE;
    change(*static_cast<CKernelEvent *>(object.get()));
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE handle)
{
    return change_event(handle, [](CKernelEvent &event) { event.set(); });
}

BOOL WINAPI ResetEvent(HANDLE handle)
{
    return change_event(handle, [](CKernelEvent &event) { event.reset(); });
}
