// The step loop over the request's image mask, above the dispatcher:
//
//   UPDATE_UpdateAll        splits the request's image mask into steps: the
//                           platform's standard set at once ("All.bin"), then
//                           one step per further image kind, in bit order (a
//                           first stage that hands over: one step "All.bin"
//                           with the whole request);
//   UPDATE_UpdateStep       completes a step's mask, runs the dispatcher and
//                           gives the package its own name back after a
//                           hand-over;
//   UPDATE_ShowSuccess      the success lines of a run that wrote.
//
// Unit tests replace the dispatcher under the step loop with their own
// (app::SetPartitionUpdater) to see the steps' order and names.
#pragma once

#include "app/dispatch.h"

// 0 when every step succeeded, else the first failing step's code.
[[nodiscard]] int UPDATE_UpdateAll(UPDATE_TASK_S* task);
// One step: the dispatcher's result.
[[nodiscard]] int UPDATE_UpdateStep(UPDATE_TASK_S* task);
// Prints one success line per updated image kind after a successful run.
void UPDATE_ShowSuccess(const UPDATE_PARA_S* para);

namespace app {

using PartitionUpdater = int (*)(UPDATE_TASK_S* task, UPDATE_LINK_S* link);
// Replaces the dispatcher under the step loop; nullptr restores it.
void SetPartitionUpdater(PartitionUpdater updater);

}  // namespace app
