#include "sys/priority.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {

struct Levels {
    int nice;
    int policy;
    int ioprio;  // class << 13 | level
};
Levels Now() {
    const auto tid = static_cast<int>(::syscall(SYS_gettid));
    return {::getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), ::sched_getscheduler(tid),
            static_cast<int>(::syscall(SYS_ioprio_get, 1, tid))};
}

// On a thread of its own: 10 nice steps lower, I/O best-effort level 7, a
// batch thread for CPU work only, and the earlier values back afterwards
// (where the test may raise nice).
TEST(BackgroundPriorityTest, LowersTheThreadForItsScope) {
    std::thread([] {
        const Levels before = Now();
        for (auto work :
             {sys::BackgroundPriority::Work::kIo, sys::BackgroundPriority::Work::kCpu}) {
            sys::BackgroundPriority background(work);
            const Levels low = Now();
            EXPECT_EQ(low.nice, std::min(before.nice + 10, 19));
            EXPECT_EQ(low.policy,
                      work == sys::BackgroundPriority::Work::kCpu ? SCHED_BATCH : before.policy);
            EXPECT_EQ(low.ioprio, (2 << 13) | 7);
        }
        const Levels after = Now();
        if (::geteuid() == 0) {
            EXPECT_EQ(after.nice, before.nice);
        }
        EXPECT_EQ(after.policy, before.policy);
        EXPECT_EQ(after.ioprio, before.ioprio);
    }).join();
}

}  // namespace
