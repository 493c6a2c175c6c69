// The process entry of the multi-call program: the tool table and the
// updater's entry up to the run (app/run.h).
#pragma once

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

namespace app {

// Replaces the update run that follows parsing (null restores the real one);
// the entry tests install a recorder so that they never start a real run.
using RunUpdateFn = int (*)(int argc, char** argv, UPDATE_PARA_S* para);
void SetRunUpdate(RunUpdateFn run);

}  // namespace app
