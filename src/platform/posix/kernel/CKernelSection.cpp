// Critical sections.
#include "platform/posix/kernel/CKernelSection.h"
#include "platform/posix/kernel/CKernelList.h"

#include <mutex>
#include <new>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelObject.h"
#include "platform/posix/kernel/CKernelCurrentThread.h"

static_assert(sizeof(CKernelSection) <= sizeof(CRITICAL_SECTION().opaque), "critical section storage");
static_assert(alignof(CKernelSection) <= alignof(CRITICAL_SECTION), "critical section alignment");

namespace {

// The sections in use, newest first, and the number of forks this process
// descends from. Constant-initialised and never destroyed: sections are
// deleted while the process exits.
CKernelLeafLock s_sectionsLock;
CKernelSection *s_pSections = nullptr;
std::atomic<DWORD> s_dwGeneration(0);

}  // namespace

void CKernelSection::initialize(LPCRITICAL_SECTION storage)
{
    CKernelFork::watch();
    CKernelSection *section = new (storage->opaque) CKernelSection;
    pthread_mutex_init(&section->m_mutex, nullptr);
    section->m_dwOwner.store(0, std::memory_order_relaxed);
    section->m_dwCount = 0;
    std::lock_guard<CKernelLeafLock> hold(s_sectionsLock);
    section->_link();
}

CKernelSection *CKernelSection::in(LPCRITICAL_SECTION storage)
{
    return reinterpret_cast<CKernelSection *>(storage->opaque);
}

// With the list's lock held.
void CKernelSection::_link()
{
    m_dwGeneration.store(s_dwGeneration.load(std::memory_order_relaxed), std::memory_order_relaxed);
    CKernelList::push(s_pSections, this);
}

void CKernelSection::_adopt()
{
    std::lock_guard<CKernelLeafLock> hold(s_sectionsLock);
    if (m_dwGeneration.load(std::memory_order_relaxed) != s_dwGeneration.load(std::memory_order_relaxed))
        _link();
}

void CKernelSection::enter()
{
    _take(true);
}

bool CKernelSection::try_enter()
{
    return _take(false);
}

bool CKernelSection::_take(bool wait)
{
    if (m_dwGeneration.load(std::memory_order_relaxed) != s_dwGeneration.load(std::memory_order_relaxed))
        _adopt();
    const DWORD self = CKernelCurrentThread::id();
    // Only this thread ever stores its own id here, so seeing it is proof.
    if (m_dwOwner.load(std::memory_order_relaxed) == self) {
        ++m_dwCount;
        return true;
    }
    if (wait)
        pthread_mutex_lock(&m_mutex);
    else if (pthread_mutex_trylock(&m_mutex) != 0)
        return false;
    m_dwOwner.store(self, std::memory_order_relaxed);
    m_dwCount = 1;
    return true;
}

void CKernelSection::leave()
{
    if (m_dwOwner.load(std::memory_order_relaxed) != CKernelCurrentThread::id())
        return;
    if (--m_dwCount > 0)
        return;
    m_dwOwner.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_mutex);
}

void CKernelSection::remove()
{
    {
        std::lock_guard<CKernelLeafLock> hold(s_sectionsLock);
        if (m_dwGeneration.load(std::memory_order_relaxed) == s_dwGeneration.load(std::memory_order_relaxed))
            CKernelList::unlink(s_pSections, this);
    }
    pthread_mutex_destroy(&m_mutex);
}

void CKernelSection::before_fork()
{
    s_sectionsLock.lock();
}

void CKernelSection::after_fork_in_parent()
{
    s_sectionsLock.unlock();
}

// A section may have been held, or half taken or given back, by a thread the
// child does not have: every lock is made anew, and the forking thread's
// own sections are taken again with their counts. Then the list starts
// afresh (see the header).
void CKernelSection::after_fork_in_child(DWORD forker)
{
    for (CKernelSection *section = s_pSections; section; section = section->m_pNext) {
        pthread_mutex_init(&section->m_mutex, nullptr);
        if (forker != 0 && section->m_dwOwner.load(std::memory_order_relaxed) == forker) {
            pthread_mutex_lock(&section->m_mutex);
        } else {
            section->m_dwOwner.store(0, std::memory_order_relaxed);
            section->m_dwCount = 0;
        }
    }
    s_pSections = nullptr;
    s_dwGeneration.fetch_add(1, std::memory_order_relaxed);
    s_sectionsLock.renew();
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    if (section)
        CKernelSection::initialize(section);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section)
{
    if (section)
        CKernelSection::in(section)->enter();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    return section && CKernelSection::in(section)->try_enter() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    if (section)
        CKernelSection::in(section)->leave();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    if (section)
        CKernelSection::in(section)->remove();
}
