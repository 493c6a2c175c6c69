#include "flash/dispatch.h"

#include "sys/log.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
}

// Writing partitions is not part of this build yet: a write-mode run must end
// through the worker's failure path (and so reboot), never with a success.
int UPDATE_UpdateAll(UPDATE_TASK_S* /*task*/) {
    ULOG("partition writing is not available in this build\n");
    return -1;
}

void UPDATE_ShowSuccess(const UPDATE_PARA_S* /*para*/) {}
