#include "slowdisk.h"

#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace devsim {
namespace {

constexpr const char* kName = "/disk.img";

struct Disk {
    int fd = -1;
    double write_bps = 0;
    double read_bps = 0;
    // When the medium is free again: each transfer starts then (or now) and
    // takes its size over the speed; the caller waits until it is done.
    std::chrono::steady_clock::time_point free_at{};
    fuse* fs = nullptr;
    std::thread loop;
};
Disk g_disk;

void Transfer(std::size_t bytes, double bps) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (g_disk.free_at < now) g_disk.free_at = now;
    g_disk.free_at += duration_cast<steady_clock::duration>(duration<double>(bytes / bps));
    // Short waits are gathered: sleeping per 4 KiB page would overshoot.
    if (g_disk.free_at - now > milliseconds(2)) std::this_thread::sleep_until(g_disk.free_at);
}

int DoGetattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    struct stat real {};
    if (fstat(g_disk.fd, &real) != 0) return -errno;
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = real.st_size;
    return 0;
}

int DoOpen(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    fi->direct_io = 1;  // every transfer comes here: no cache in between
    return 0;
}

int DoRead(const char*, char* buf, size_t size, off_t off, fuse_file_info*) {
    const ssize_t n = pread(g_disk.fd, buf, size, off);
    if (n < 0) return -errno;
    Transfer(static_cast<std::size_t>(n), g_disk.read_bps);
    return static_cast<int>(n);
}

int DoWrite(const char*, const char* buf, size_t size, off_t off, fuse_file_info*) {
    Transfer(size, g_disk.write_bps);
    const ssize_t n = pwrite(g_disk.fd, buf, size, off);
    return n < 0 ? -errno : static_cast<int>(n);
}

int DoFsync(const char*, int, fuse_file_info*) {
    return 0;  // the image's own durability is the host's business
}

void* DoInit(fuse_conn_info*, fuse_config* cfg) {
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->direct_io = 1;
    return nullptr;
}

}  // namespace

bool ParseDiskSpeed(const std::string& text, double* write_mbps, double* read_mbps) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    char* end = nullptr;
    const std::string w = text.substr(0, colon);
    const std::string r = text.substr(colon + 1);
    *write_mbps = std::strtod(w.c_str(), &end);
    if (w.empty() || *end != '\0' || !(*write_mbps > 0)) return false;
    *read_mbps = std::strtod(r.c_str(), &end);
    return !r.empty() && *end == '\0' && *read_mbps > 0;
}

std::string StartSlowDisk(const std::string& image, const std::string& dir, double write_mbps,
                          double read_mbps, std::string* why) {
    g_disk.fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (g_disk.fd < 0) {
        *why = "cannot open " + image + ": " + std::strerror(errno);
        return "";
    }
    g_disk.write_bps = write_mbps * 1e6;
    g_disk.read_bps = read_mbps * 1e6;
    fuse_operations ops{};
    ops.init = DoInit;
    ops.getattr = DoGetattr;
    ops.open = DoOpen;
    ops.read = DoRead;
    ops.write = DoWrite;
    ops.fsync = DoFsync;
    char arg0[] = "devsim-emmc";
    char opt[] = "-o";
    char opts[] = "fsname=emmc,subtype=devsim";
    char* fargv[] = {arg0, opt, opts, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fargv);
    g_disk.fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (g_disk.fs == nullptr || fuse_mount(g_disk.fs, dir.c_str()) != 0) {
        *why = "cannot mount the eMMC's FUSE file system on " + dir;
        if (g_disk.fs != nullptr) fuse_destroy(g_disk.fs);
        g_disk.fs = nullptr;
        close(g_disk.fd);
        g_disk.fd = -1;
        return "";
    }
    // One thread: the medium does one transfer at a time.
    g_disk.loop = std::thread([] { fuse_loop(g_disk.fs); });
    return dir + kName;
}

void StopSlowDisk() {
    if (g_disk.fs == nullptr) return;
    fuse_exit(g_disk.fs);
    fuse_unmount(g_disk.fs);
    if (g_disk.loop.joinable()) g_disk.loop.join();
    fuse_destroy(g_disk.fs);
    g_disk.fs = nullptr;
    close(g_disk.fd);
    g_disk.fd = -1;
}

}  // namespace devsim
