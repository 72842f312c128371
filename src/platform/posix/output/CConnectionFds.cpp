#include "platform/posix/output/CConnectionFds.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace {

// 32 devices with a few descriptors each, and the search's own tries.
const int kSlots = 256;

struct SSlot {
    std::atomic<const void *> pOwner;
    std::atomic<int> nFdPlusOne;  // 0: none yet (the table starts zeroed)
};

// Constant-initialised: usable from any thread at any time, never destroyed.
SSlot s_slots[kSlots];
pthread_once_t s_once = PTHREAD_ONCE_INIT;

}  // namespace

void CConnectionFds::_register_handler()
{
    pthread_atfork(nullptr, nullptr, _after_fork_in_child);
}

void CConnectionFds::Add(const void *owner, int fd)
{
    pthread_once(&s_once, _register_handler);
    for (SSlot &slot : s_slots) {
        const void *none = nullptr;
        if (slot.pOwner.compare_exchange_strong(none, owner)) {
            slot.nFdPlusOne.store(fd + 1);
            return;
        }
    }
}

void CConnectionFds::Remove(const void *owner)
{
    for (SSlot &slot : s_slots) {
        if (slot.pOwner.load() == owner) {
            slot.nFdPlusOne.store(0);
            slot.pOwner.store(nullptr);
            return;
        }
    }
}

void CConnectionFds::_after_fork_in_child()
{
    for (SSlot &slot : s_slots) {
        const int fd = slot.nFdPlusOne.load() - 1;
        if (slot.pOwner.load() != nullptr && fd >= 0)
            close(fd);
        slot.nFdPlusOne.store(0);
        slot.pOwner.store(nullptr);
    }
}
