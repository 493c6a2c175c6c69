// Background priority for a thread whose work may wait while the recorder's
// own work runs (the package fetch, the package scan).
//
// Three levers, all per thread on Linux and inherited by the threads and
// processes the thread starts:
// - nice 10 steps below the thread's own (0 becomes 10, at most 19): under
//   contention the recorder's threads (nice 0) get about ten times the CPU
//   share; an idle machine still gives the thread all of it.
// - SCHED_BATCH, for CPU-bound work only (the scan): the thread does not
//   preempt the recorder's threads when it wakes. A network fetch wakes for
//   every packet and would lose its throughput to any other work, so it keeps
//   the ordinary policy. SCHED_IDLE is not used: it could starve the work on
//   a busy recorder until the watchdog gives up.
// - I/O class best-effort, level 7 (the lowest that is still served under
//   load; the idle class could starve likewise).
// Each lever that fails is left as it is: priority never fails the work.
#pragma once

namespace sys {

// Lowers the calling thread for the life of the object and puts the earlier
// values back at its end (raising nice again needs privilege, which the
// updater has on the recorder; without it the thread stays low).
class BackgroundPriority {
  public:
    enum class Work { kIo, kCpu };
    explicit BackgroundPriority(Work work);
    ~BackgroundPriority();
    BackgroundPriority(const BackgroundPriority&) = delete;
    BackgroundPriority& operator=(const BackgroundPriority&) = delete;

  private:
    int tid_;
    bool nice_set_ = false;
    int nice_ = 0;
    bool policy_set_ = false;
    bool ioprio_set_ = false;
    int ioprio_ = 0;
};

}  // namespace sys
