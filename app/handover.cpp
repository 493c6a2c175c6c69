#include "app/handover.h"

#include <cstdio>

#include "app/cmdline.h"
#include "app/request.h"

int UPDATE_LoadByArgs(UPDATE_PARA_S* para, const char* /*unknown*/) {
    if (para->TransType > kTransCloud) {
        UPDATE_ShowUsage();
        return -1;
    }
    int ret = UPDATE_CheckRemote(para);
    if (ret != 0) return ret;

    // Fetching the package and starting its own update program come with the
    // hand-over work; until then this path must not look like a success.
    std::printf("hand-over to the package's update program is not available in this build\n");
    std::fflush(stdout);
    return -1;
}
