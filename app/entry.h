// The process entry of the multi-call program: the tool table, the updater's
// entry up to the run, the start-of-process log and the reboot sequence.
#pragma once

#include <sys/types.h>

struct UPDATE_PARA_S;

// One row of the tool table: the first argument that selects it and its entry,
// which gets the vector starting at the tool name.
struct UPDATE_APPLET_S {
    const char* Name;
    int (*Entry)(int argc, char** argv);
};

// The row whose name equals name exactly, or null.
const UPDATE_APPLET_S* UPDATE_FindApplet(const char* name);

// The updater's entry (also the tool table's "update" row). Returns the
// process exit code.
int UPDATE_Main(int argc, char** argv);

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

// Replaces the update run that follows parsing (null restores the real one);
// the entry tests install a recorder so that they never start a real run.
using RunUpdateFn = int (*)(int argc, char** argv, UPDATE_PARA_S* para);
void SetRunUpdate(RunUpdateFn run);

}  // namespace app
