#include "app/relocate.h"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
}

int UPDATE_RunFromTmp(char** argv) {
    char self[64];
    ssize_t n = ::readlink(sys::DevicePath("/proc/self/exe").c_str(), self, sizeof(self));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(self)) {
        ULOG("read update link failed, error: %s\n",
             n < 0 ? std::strerror(errno) : "File name too long");
        return -1;
    }
    self[n] = '\0';
    if (std::strcmp(self, kRelocatedPath) == 0 || std::strcmp(self, kHandoverPath) == 0) return 0;

    char cmd[512];
    std::snprintf(cmd, sizeof(cmd), "cp  -f %s %s", sys::ShellQuote(self).c_str(), kRelocatedPath);
    int ret = UPDATE_System(cmd);
    if (ret != 0) {
        // Before the log opens: the console is the only place for the reason.
        // A partial copy (a full /tmp) would only take the room of the next try.
        ULOG("failed to exec cmd %s, iRet %d\n", cmd, ret);
        (void)::unlink(kRelocatedPath);
        return ret;
    }
    int result = sys::CurrentRunner().Replace(kRelocatedPath, argv);
    ULOG_ONLY("failed to start progress %s ", kRelocatedPath);
    return result != 0 ? result : -1;
}
