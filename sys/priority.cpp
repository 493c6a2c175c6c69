#include "sys/priority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace sys {
namespace {

// Steps below the thread's own nice value (so a caller started at -5 runs its
// background work at 5), and the kernel's lowest.
constexpr int kBackgroundSteps = 10;
constexpr int kLowestNice = 19;
// The kernel's I/O priority encoding (linux/ioprio.h).
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassBe = 2;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioLowestBe = (kIoprioClassBe << kIoprioClassShift) | 7;

int IoprioGet(int tid) {
    return static_cast<int>(::syscall(SYS_ioprio_get, kIoprioWhoProcess, tid));
}
bool IoprioSet(int tid, int value) {
    return ::syscall(SYS_ioprio_set, kIoprioWhoProcess, tid, value) == 0;
}

}  // namespace

BackgroundPriority::BackgroundPriority(Work work) : tid_(static_cast<int>(::syscall(SYS_gettid))) {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid_));
    const int low = nice + kBackgroundSteps < kLowestNice ? nice + kBackgroundSteps : kLowestNice;
    if (errno == 0 && nice < low &&
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), low) == 0) {
        nice_set_ = true;
        nice_ = nice;
    }
    // Only an ordinary thread becomes a batch thread; real-time stays as it is.
    sched_param param{};
    if (work == Work::kCpu && ::sched_getscheduler(tid_) == SCHED_OTHER &&
        ::sched_setscheduler(tid_, SCHED_BATCH, &param) == 0) {
        policy_set_ = true;
    }
    const int ioprio = IoprioGet(tid_);
    if (ioprio >= 0 && (ioprio >> kIoprioClassShift) != kIoprioClassIdle &&
        ioprio != kIoprioLowestBe && IoprioSet(tid_, kIoprioLowestBe)) {
        ioprio_set_ = true;
        ioprio_ = ioprio;
    }
}

BackgroundPriority::~BackgroundPriority() {
    if (ioprio_set_) (void)IoprioSet(tid_, ioprio_);
    if (policy_set_) {
        sched_param param{};
        (void)::sched_setscheduler(tid_, SCHED_OTHER, &param);
    }
    if (nice_set_) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice_);
}

}  // namespace sys
