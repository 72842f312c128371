// Every DirectSound device of the process, for fork(). The child has a copy
// of every device but none of their mixer threads, and their outputs belong
// to the parent (a PulseAudio connection whose socket the parent still uses):
// there the devices are orphaned. Before the fork every device's locks are
// taken, so that voice lists and voices are whole in the child and its locks
// free; the mixer threads of orphaned devices are kept here for good, never
// joined, closed or written. Owns that keep list and the fork handlers.
#pragma once

class CDirectSound;
class CMixerThread;

class CDeviceRegistry {
public:
    // From the device's constructor, once it is whole, and its destructor.
    static void Add(CDirectSound *device);
    static void Remove(CDirectSound *device);
    // Never freed nor touched again: an orphaned device's mixer thread.
    static void Keep(CMixerThread *thread);

private:
    static void _before_fork();
    static void _after_fork_in_parent();
    static void _after_fork_in_child();
    static void _register_handlers();
};
