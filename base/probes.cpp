// Probes of the running system: board type, boot-loader revision, root file
// system, UBI runtime volume and the hardware-abstraction partition lookup.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/platform.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

// The first line of a command's output as fgets with a 256-byte buffer would
// give it (at most 255 characters, line end included when it fits).
bool FirstLine(const char* cmd, std::string& line) {
    std::string out;
    if (sys::CurrentRunner().ReadCommand(cmd, out, 4096) != 0) return false;
    if (out.empty()) return false;
    std::size_t end = out.find('\n');
    end = end == std::string::npos ? out.size() : end + 1;
    if (end > 255) end = 255;
    line.assign(out, 0, end);
    return true;
}

// Only a trailing line end ("\n" or "\r\n") is removed; a line without one is
// kept whole.
std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    return line;
}

int ReadProbeLine(const char* cmd, char* dst) {
    std::string line;
    if (!FirstLine(cmd, line)) {
        sys::CopyText(dst, kProbeTextSize, "Unknown");
        return -1;
    }
    sys::CopyText(dst, kProbeTextSize, WithoutLineEnd(line));
    return 0;
}

int CmdlineNames(const char* word) {
    std::string line;
    if (!FirstLine("cat /proc/cmdline", line)) return -1;
    return line.find(word) != std::string::npos ? 0 : -1;
}

}  // namespace

int UPDATE_GetBoardType(char* dst) {
    return ReadProbeLine("cat /proc/board_type", dst);
}

int UPDATE_GetUbootVersion(char* dst) {
    return ReadProbeLine("cat /proc/uboot_rev", dst);
}

int UPDATE_IsYaffs2() {
    return CmdlineNames("yaffs2");
}
int UPDATE_IsJffs2() {
    return CmdlineNames("jffs2");
}
int UPDATE_IsSquashfs() {
    return CmdlineNames("squashfs");
}
int UPDATE_IsExt4() {
    return CmdlineNames("ext4");
}

int UPDATE_IsUbiRuntime() {
    sys::UniqueFile f(std::fopen(sys::DevicePath("/proc/mounts").c_str(), "re"));
    if (!f) {
        ULOG("fopen /proc/mounts is error \r\n");
        return -1;
    }
    // Read in pieces of at most 49 characters, each tested alone.
    char piece[50];
    while (std::fgets(piece, sizeof(piece), f.get()) != nullptr) {
        if (std::strstr(piece, "ubi1_0 /var/runtime") != nullptr) return 0;
    }
    return -1;
}

int UPDATE_GetPartInfo(PART_INFO_S* info) {
    const char* dev = "/dev/hal_misc";
    sys::UniqueFd fd(::open(sys::DevicePath(dev).c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        ULOG("open %s failed\n", dev);
        return -1;
    }
    if (::ioctl(fd.get(), kHalMiscGetPart, info) == 0) return 0;
    // The name field may lack its NUL; the request is left as the driver left it.
    std::string_view name = sys::FieldText(info->Name);
    ULOG("Failed to get %.*s part index\n", static_cast<int>(name.size()), name.data());
    return -1;
}
