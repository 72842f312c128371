// The other ways the POSIX probe asks the kernel, taken where the advice to
// populate the pages is refused (as by a sandbox, or a kernel that does not
// know it): a pipe, and process_vm_readv when no descriptor is left for one;
// and what no way can answer.
#include "platform/CMemoryProbe.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "MemoryProbeTable.h"

namespace {

// No new descriptor for the whole process while it lives.
struct CNoDescriptors {
    struct rlimit m_saved;
    bool m_bHeld;

    CNoDescriptors() : m_bHeld(getrlimit(RLIMIT_NOFILE, &m_saved) == 0 && Limit(0)) {}
    bool Limit(rlim_t current)
    {
        struct rlimit limit = {current, m_saved.rlim_max};
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    ~CNoDescriptors()
    {
        if (m_bHeld)
            Limit(m_saved.rlim_cur);
    }
};

// Whether this thread may call process_vm_readv on its own process.
bool vm_read_allowed()
{
    char from = 'x', to = 0;
    struct iovec local = {&to, 1}, remote = {&from, 1};
    return syscall(SYS_process_vm_readv, static_cast<long>(getpid()), &local, 1UL, &remote, 1UL, 0UL) == 1;
}

// From now on this thread alone gets EPERM from madvise and, when asked,
// from process_vm_readv, as in a sandbox that forbids them. False when the
// system lets no filter be set.
bool refuse_on_this_thread(bool vmRead)
{
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_madvise, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(vmRead ? SYS_process_vm_readv : SYS_madvise), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

// Runs the checks on a thread of their own with the filter; false when no
// filter could be set. The filter stays with the thread, which ends here.
bool in_sandbox(bool vmRead, const std::function<void()> &checks)
{
    bool filtered = false;
    std::thread sandboxed([&] {
        if ((filtered = refuse_on_this_thread(vmRead)))
            checks();
    });
    sandboxed.join();
    return filtered;
}

}  // namespace

TEST(MemoryProbePosix, WithoutAdviceThePipeJudgesTheTable)
{
    if (!in_sandbox(false, [] { expect_probe_answers(); }))
        GTEST_SKIP() << "no seccomp filter can be set here";
}

TEST(MemoryProbePosix, WithoutADescriptorProcessVmReadJudgesTheTable)
{
    if (!vm_read_allowed())
        GTEST_SKIP() << "process_vm_readv is refused here";
    if (!in_sandbox(false, [] {
            CNoDescriptors none;
            ASSERT_TRUE(none.m_bHeld);
            int ends[2];
            ASSERT_NE(pipe(ends), 0);
            expect_probe_answers();
        }))
        GTEST_SKIP() << "no seccomp filter can be set here";
}

// Without a descriptor, in a sandbox that forbids both system calls, nothing
// can be proven, and readable memory is not taken on trust.
TEST(MemoryProbePosix, WhatNoWayCanTellCountsAsUnreadable)
{
    const char text[] = "a path";
    if (!in_sandbox(true, [&] {
            EXPECT_TRUE(CMemoryProbe::CanReadString(text));  // the pipe still answers
            CNoDescriptors none;
            EXPECT_FALSE(CMemoryProbe::CanRead(text, sizeof(text)));
            EXPECT_FALSE(CMemoryProbe::CanReadString(text));
        }))
        GTEST_SKIP() << "no seccomp filter can be set here";
}
