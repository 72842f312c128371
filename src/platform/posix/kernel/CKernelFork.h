// The kernel across fork(). A child process has only a copy of the thread
// that forked, but a copy of every object and lock of the parent. Each part
// of the kernel that keeps state behind a lock of its own takes that lock
// before the fork, so that its data is whole in both processes, and gives it
// back after; in the child it makes the lock anew and puts its objects right
// for a process whose only thread is the one that forked: the threads made
// by CreateThread count as ended, what the vanished threads owned is free.
#pragma once

class CKernelFork {
public:
    // Registers the fork handlers, once. Every part calls this before it
    // first keeps state.
    static void watch();
};
