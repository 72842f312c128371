// Kernel objects: their list, the table of live handles, closing, and waiting.
#include <errno.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelList.h"
#include "platform/posix/kernel/CKernelEvent.h"
#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelMutex.h"
#include "platform/posix/kernel/CKernelObject.h"
#include "platform/posix/kernel/CKernelThread.h"

void CKernelCondition::_init()
{
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &attributes);
    pthread_condattr_destroy(&attributes);
}

CKernelCondition::~CKernelCondition()
{
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

struct timespec CKernelCondition::deadline(DWORD milliseconds)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (milliseconds == INFINITE)
        return now;
    now.tv_sec += static_cast<time_t>(milliseconds / 1000);
    now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (now.tv_nsec >= 1000000000L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

bool CKernelCondition::wait_until(DWORD milliseconds, const struct timespec &deadline)
{
    if (milliseconds == INFINITE) {
        pthread_cond_wait(&m_cond, &m_mutex);
        return true;
    }
    if (milliseconds == 0)
        return false;
    return pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) != ETIMEDOUT;
}

namespace {

// Every kernel object, newest first. Constant-initialised and never
// destroyed: objects come and go while the process exits.
CKernelLeafLock s_objectsLock;
CKernelObject *s_pObjects = nullptr;

}  // namespace

CKernelObject::CKernelObject(EKind kind) : m_eKind(kind), m_pPrevious(nullptr), m_pNext(nullptr)
{
    CKernelFork::watch();
    std::lock_guard<CKernelLeafLock> hold(s_objectsLock);
    CKernelList::push(s_pObjects, this);
}

CKernelObject::~CKernelObject()
{
    std::lock_guard<CKernelLeafLock> hold(s_objectsLock);
    CKernelList::unlink(s_pObjects, this);
}

// The conditions are leaf locks, held only for a few instructions (a waiter
// lets go of its lock while it waits), so the fork waits for them briefly.
// An object being made or destroyed is on the list as long as its condition
// exists.
void CKernelObject::before_fork()
{
    s_objectsLock.lock();
    for (CKernelObject *object = s_pObjects; object; object = object->m_pNext)
        object->m_condition.lock();
}

void CKernelObject::after_fork_in_parent()
{
    for (CKernelObject *object = s_pObjects; object; object = object->m_pNext)
        object->m_condition.unlock();
    s_objectsLock.unlock();
}

// Objects that only a vanished thread still referenced (its own thread
// object, one it was making or destroying) stay on the list for good, so
// that they remain reachable.
void CKernelObject::after_fork_in_child(DWORD forker)
{
    for (CKernelObject *object = s_pObjects; object; object = object->m_pNext) {
        object->m_condition.renew();
        switch (object->m_eKind) {
        case KIND_MUTEX:
            static_cast<CKernelMutex *>(object)->survive_fork(forker);
            break;
        case KIND_THREAD:
            static_cast<CKernelThread *>(object)->survive_fork(forker);
            break;
        case KIND_EVENT:
            break;  // signalled or not, as it was
        }
    }
    s_objectsLock.renew();
}

namespace {

// The table in shards, each with its own lock on a cache line of its own:
// a handle's shard follows from its value, so that threads waiting on and
// releasing different objects (every call on a sound does both) never take
// the same lock.
const int kHandleShards = 16;

struct alignas(64) CHandleShard {
    CKernelLeafLock m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<CKernelObject>> m_objects;
};

struct CHandleTableState {
    CHandleShard m_shards[kHandleShards];
    std::atomic<uintptr_t> m_next{0};
};

// Never destroyed: detached threads may still close handles while the
// process exits.
CHandleTableState &handle_table()
{
    return CKernelOnce<CHandleTableState>::get();
}

CHandleShard &shard_of(uintptr_t value)
{
    return handle_table().m_shards[(value >> 2) % kHandleShards];
}

}  // namespace

HANDLE CKernelHandleTable::insert(std::shared_ptr<CKernelObject> object)
{
    // Multiples of 4 like Windows' handles, well clear of null and of the
    // pseudo-handles near -1.
    uintptr_t value = 0x10000 + 4 * ++handle_table().m_next;
    CHandleShard &shard = shard_of(value);
    std::lock_guard<CKernelLeafLock> hold(shard.m_lock);
    shard.m_objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<CKernelObject> CKernelHandleTable::find(HANDLE handle)
{
    if (handle == nullptr)
        return nullptr;
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    CHandleShard &shard = shard_of(value);
    std::lock_guard<CKernelLeafLock> hold(shard.m_lock);
    auto entry = shard.m_objects.find(value);
    return entry == shard.m_objects.end() ? nullptr : entry->second;
}

std::shared_ptr<CKernelObject> CKernelHandleTable::find(HANDLE handle, CKernelObject::EKind kind)
{
    std::shared_ptr<CKernelObject> object = find(handle);
    return object && object->m_eKind == kind ? object : nullptr;
}

bool CKernelHandleTable::remove(HANDLE handle)
{
    std::shared_ptr<CKernelObject> object;  // released outside the shard's lock
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    CHandleShard &shard = shard_of(value);
    std::lock_guard<CKernelLeafLock> hold(shard.m_lock);
    auto entry = shard.m_objects.find(value);
    if (entry == shard.m_objects.end())
        return false;
    object = std::move(entry->second);
    shard.m_objects.erase(entry);
    return true;
}

void CKernelHandleTable::before_fork()
{
    for (CHandleShard &shard : handle_table().m_shards)
        shard.m_lock.lock();
}

void CKernelHandleTable::after_fork_in_parent()
{
    for (CHandleShard &shard : handle_table().m_shards)
        shard.m_lock.unlock();
}

void CKernelHandleTable::after_fork_in_child()
{
    for (CHandleShard &shard : handle_table().m_shards)
        shard.m_lock.renew();
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    return CKernelHandleTable::remove(handle) ? TRUE : FALSE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    std::shared_ptr<CKernelObject> object = CKernelHandleTable::find(handle);
    if (!object)
        return WAIT_FAILED;
    switch (object->m_eKind) {
    case CKernelObject::KIND_MUTEX:
        return CKernelMutex::wait(std::static_pointer_cast<CKernelMutex>(object), milliseconds);
    case CKernelObject::KIND_EVENT:
        return static_cast<CKernelEvent *>(object.get())->wait(milliseconds);
    case CKernelObject::KIND_THREAD:
        return std::static_pointer_cast<CKernelThread>(object)->wait(milliseconds);
    }
    return WAIT_FAILED;
}
