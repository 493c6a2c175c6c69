#pragma once
// Tests of the aarch64 build run under qemu-user on x86_64 machines. qemu
// answers ENOSYS for the MTD and nvram ioctls it cannot translate, where the
// kernel answers ENOTTY ("no such driver") on a plain file.
#include <cerrno>
#include <fstream>
#include <string>

namespace testenv {

// True when this binary is not built for the machine it runs on: the
// emulator passes the host's /proc/cpuinfo through, and only x86 lists a
// vendor_id. Never true for a native run.
inline bool RunningEmulated() {
#if defined(__x86_64__) || defined(__i386__)
    return false;
#else
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("vendor_id", 0) == 0) return true;
    return false;
#endif
}

// errno of an MTD or nvram ioctl on a plain file.
inline int NoDriverErrno() {
    return RunningEmulated() ? ENOSYS : ENOTTY;
}

}  // namespace testenv
