// The file descriptors of the process's connections to sound servers and
// devices, so that the child of a fork closes its copies of them at once,
// without a word on them: the parent's connections are the parent's, and a
// copy held open by a child would keep the server from seeing them end
// when the parent ends them. Lock-free (a fork may come at any moment, and
// the child reads the table in its fork handler); an fd beyond the table's
// room is simply not closed in a child.
#pragma once

class CConnectionFds {
public:
    // `fd` belongs to `owner` (an address that names it) until Remove.
    static void Add(const void *owner, int fd);
    static void Remove(const void *owner);

private:
    static void _register_handler();
    static void _after_fork_in_child();
};
