#include "platform/posix/dsound/CDeviceRegistry.h"

#include <pthread.h>

#include <new>
#include <vector>

#include "platform/posix/dsound/CDirectSound.h"

namespace {

// Constant-initialised and never destroyed: devices come and go, and mixer
// threads run, while the process exits.
pthread_once_t s_handlersOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
CDirectSound *s_pDevices = nullptr;  // newest first, linked through the devices
std::vector<CMixerThread *> *s_pKept = nullptr;

}  // namespace

void CDeviceRegistry::_register_handlers()
{
    pthread_atfork(_before_fork, _after_fork_in_parent, _after_fork_in_child);
}

void CDeviceRegistry::Add(CDirectSound *device)
{
    pthread_once(&s_handlersOnce, _register_handlers);
    pthread_mutex_lock(&s_lock);
    device->m_pPreviousDevice = nullptr;
    device->m_pNextDevice = s_pDevices;
    if (s_pDevices)
        s_pDevices->m_pPreviousDevice = device;
    s_pDevices = device;
    pthread_mutex_unlock(&s_lock);
}

void CDeviceRegistry::Remove(CDirectSound *device)
{
    pthread_mutex_lock(&s_lock);
    if (device->m_pPreviousDevice)
        device->m_pPreviousDevice->m_pNextDevice = device->m_pNextDevice;
    else
        s_pDevices = device->m_pNextDevice;
    if (device->m_pNextDevice)
        device->m_pNextDevice->m_pPreviousDevice = device->m_pPreviousDevice;
    pthread_mutex_unlock(&s_lock);
}

void CDeviceRegistry::Keep(CMixerThread *thread)
{
    pthread_mutex_lock(&s_lock);
    if (!s_pKept)
        s_pKept = new (std::nothrow) std::vector<CMixerThread *>;
    if (s_pKept) {
        try {
            s_pKept->push_back(thread);
        } catch (...) {
            // Without room it is merely no longer pointed at: still untouched.
        }
    }
    pthread_mutex_unlock(&s_lock);
}

// The devices' locks are leaves, held for one call or one mixing pass, so
// the fork waits for them briefly.
void CDeviceRegistry::_before_fork()
{
    pthread_mutex_lock(&s_lock);
    for (CDirectSound *device = s_pDevices; device; device = device->m_pNextDevice)
        device->HoldForFork();
}

void CDeviceRegistry::_after_fork_in_parent()
{
    for (CDirectSound *device = s_pDevices; device; device = device->m_pNextDevice)
        device->ReleaseAfterFork();
    pthread_mutex_unlock(&s_lock);
}

// The forking thread took every lock, and is the child's one thread: it
// gives them back as the parent does. Unlike recursive ones, these plain
// locks may be unlocked in the child.
void CDeviceRegistry::_after_fork_in_child()
{
    for (CDirectSound *device = s_pDevices; device; device = device->m_pNextDevice) {
        device->Orphan();
        device->ReleaseAfterFork();
    }
    pthread_mutex_unlock(&s_lock);
}
