#include "app/run.h"

#include <cstdio>

// Filled in by the update run (relocation, worker and watchdog).
int UPDATE_RunUpdate(int /*argc*/, char** /*argv*/, UPDATE_PARA_S* /*para*/) {
    std::printf("update runs are not available in this build\n");
    std::fflush(stdout);
    return -1;
}
