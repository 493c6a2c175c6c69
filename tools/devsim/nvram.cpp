// devsim-nvram: the recorder's nvram driver, /dev/hal_nvram, as a CUSE
// character device (the kernel's cuse module and /dev/cuse).
//
//   devsim-nvram LOG [CUSE OPTIONS...]
//
// The store request (ioctl 0x40615 with a name of 64 and a value of 5120
// bytes, as the updater passes it) is answered 0 and appended to LOG as one
// line "NAME=VALUE" (each text up to its first NUL, within its field). Any
// other request is refused with ENOTTY. The device serves one request at a
// time and lives until it is killed.

#define FUSE_USE_VERSION 35
#include <fuse3/cuse_lowlevel.h>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr unsigned kSetItem = 0x40615;
constexpr std::size_t kName = 64;
constexpr std::size_t kValue = 5120;

std::string g_log;

std::string Field(const char* p, std::size_t size) {
    return std::string(p, strnlen(p, size));
}

void Open(fuse_req_t req, fuse_file_info* fi) {
    fuse_reply_open(req, fi);
}

void Ioctl(fuse_req_t req, int cmd, void* arg, fuse_file_info*, unsigned, const void* in,
           size_t in_size, size_t) {
    if (static_cast<unsigned>(cmd) != kSetItem) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if (in_size < kName + kValue) {
        // Unrestricted: ask the kernel for the caller's record behind arg.
        iovec iov{arg, kName + kValue};
        fuse_reply_ioctl_retry(req, &iov, 1, nullptr, 0);
        return;
    }
    const char* item = static_cast<const char*>(in);
    const std::string line = Field(item, kName) + "=" + Field(item + kName, kValue) + "\n";
    const int fd = open(g_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool ok =
        fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0) close(fd);
    if (!ok) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_ioctl(req, 0, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: devsim-nvram LOG [CUSE OPTIONS...]\n");
        return 2;
    }
    g_log = argv[1];
    argv[1] = argv[0];  // the CUSE options follow the program name
    const char* dev_info[] = {"DEVNAME=hal_nvram"};
    cuse_info ci{};
    ci.dev_info_argc = 1;
    ci.dev_info_argv = dev_info;
    ci.flags = CUSE_UNRESTRICTED_IOCTL;
    cuse_lowlevel_ops ops{};
    ops.open = Open;
    ops.ioctl = Ioctl;
    return cuse_lowlevel_main(argc - 1, argv + 1, &ci, &ops, nullptr);
}
