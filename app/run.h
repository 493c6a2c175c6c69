// The update run after parsing: relocation, single instance, log, worker and
// watchdog, verdict and closing steps, with the start line of the log and the
// reboot sequence that the entry uses too.
#pragma once

#include <sys/types.h>

struct UPDATE_PARA_S;

// Takes ownership of nothing: the entry frees the record. Returns the run's exit code.
[[nodiscard]] int UPDATE_RunUpdate(int argc, char** argv, UPDATE_PARA_S* para);
// True when the last run ended while its detached worker still borrowed the
// record (a stall, or a worker that did not leave within the bound): the
// entry must not free the record then.
[[nodiscard]] bool UPDATE_WorkerHoldsRecord();

// Logs the command line (password masked) and the request record.
void UPDATE_LogStart(int argc, char** argv, const UPDATE_PARA_S* para);

// The reboot sequence: SIGTERM to process 1 three times, then the reset
// request. Returns only when the system is still up after it.
void UPDATE_Reboot();

namespace app {

// What the reboot sequence does to the system, so that the sequence can be
// checked without doing it.
class RebootActions {
  public:
    virtual ~RebootActions() = default;
    virtual void Sleep(unsigned seconds) = 0;
    virtual void Sync() = 0;
    virtual int Kill(pid_t pid, int sig) = 0;
};

void RebootSequence(RebootActions& actions);

}  // namespace app
