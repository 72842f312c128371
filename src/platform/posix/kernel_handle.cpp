// Handles: the table of live kernel objects, closing, and waiting.
#include <errno.h>

#include <mutex>
#include <unordered_map>

#include "platform/winapi.h"
#include "kernel_event.h"
#include "kernel_mutex.h"
#include "kernel_object.h"
#include "kernel_thread.h"

CKernelCondition::CKernelCondition()
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

struct CHandleTableState {
    std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<CKernelObject>> m_objects;
    uintptr_t m_next = 0;
};

// Never destroyed: detached threads may still close handles while the
// process exits.
CHandleTableState &handle_table()
{
    static CHandleTableState *state = new CHandleTableState;
    return *state;
}

}  // namespace

HANDLE CKernelHandleTable::insert(std::shared_ptr<CKernelObject> object)
{
    CHandleTableState &table = handle_table();
    std::lock_guard<std::mutex> hold(table.m_lock);
    // Multiples of 4 like Windows' handles, well clear of null and of the
    // pseudo-handles near -1.
    uintptr_t value = 0x10000 + 4 * ++table.m_next;
    table.m_objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<CKernelObject> CKernelHandleTable::find(HANDLE handle)
{
    if (handle == nullptr)
        return nullptr;
    CHandleTableState &table = handle_table();
    std::lock_guard<std::mutex> hold(table.m_lock);
    auto entry = table.m_objects.find(reinterpret_cast<uintptr_t>(handle));
    return entry == table.m_objects.end() ? nullptr : entry->second;
}

std::shared_ptr<CKernelObject> CKernelHandleTable::find(HANDLE handle, CKernelObject::EKind kind)
{
    std::shared_ptr<CKernelObject> object = find(handle);
    return object && object->m_eKind == kind ? object : nullptr;
}

bool CKernelHandleTable::remove(HANDLE handle)
{
    std::shared_ptr<CKernelObject> object;  // released outside the table's lock
    CHandleTableState &table = handle_table();
    std::lock_guard<std::mutex> hold(table.m_lock);
    auto entry = table.m_objects.find(reinterpret_cast<uintptr_t>(handle));
    if (entry == table.m_objects.end())
        return false;
    object = std::move(entry->second);
    table.m_objects.erase(entry);
    return true;
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
