#include "slowusb.h"

#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

namespace devsim {
namespace {

struct Usb {
    int dir = -1;  // the directory under the mount, opened before it
    double read_bps = 0;
    bool swap = false;
    uint64_t served = 0;
    std::map<std::string, uint64_t> served_of;  // per file, for usb-swap
    std::chrono::steady_clock::time_point free_at{};
    fuse* fs = nullptr;
    std::thread loop;
    std::string mount;
};
Usb g_usb;

// "/a/b" -> "a/b"; "/" -> ".".
std::string Rel(const char* path) {
    std::string rel(path[0] == '/' ? path + 1 : path);
    return rel.empty() ? "." : rel;
}

void Throttle(std::size_t bytes) {
    if (!(g_usb.read_bps > 0)) return;
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (g_usb.free_at < now) g_usb.free_at = now;
    g_usb.free_at +=
        duration_cast<steady_clock::duration>(duration<double>(bytes / g_usb.read_bps));
    if (g_usb.free_at - now > milliseconds(2)) std::this_thread::sleep_until(g_usb.free_at);
}

int DoGetattr(const char* path, struct stat* st, fuse_file_info*) {
    if (fstatat(g_usb.dir, Rel(path).c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
    st->st_mode &= ~static_cast<mode_t>(0222);  // read-only medium
    return 0;
}

int DoReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    const int fd = openat(g_usb.dir, Rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return -errno;
    }
    while (dirent* e = readdir(d))
        fill(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    closedir(d);
    return 0;
}

int DoOpen(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    const int fd = openat(g_usb.dir, Rel(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;  // every read comes here: no cache in between
    return 0;
}

int DoRead(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    int fd = static_cast<int>(fi->fh);
    int twin = -1;
    if (g_usb.swap) {
        struct stat st {};
        uint64_t& seen = g_usb.served_of[path];
        if (fstat(fd, &st) == 0 && seen >= static_cast<uint64_t>(st.st_size)) {
            twin = openat(g_usb.dir, (Rel(path) + ".swap").c_str(), O_RDONLY | O_CLOEXEC);
            if (twin >= 0) fd = twin;
        }
    }
    const ssize_t n = pread(fd, buf, size, off);
    const int err = errno;
    if (twin >= 0) close(twin);
    if (n < 0) return -err;
    Throttle(static_cast<std::size_t>(n));
    g_usb.served += static_cast<uint64_t>(n);
    if (g_usb.swap) g_usb.served_of[path] += static_cast<uint64_t>(n);
    return static_cast<int>(n);
}

int DoRelease(const char*, fuse_file_info* fi) {
    close(static_cast<int>(fi->fh));
    return 0;
}

void* DoInit(fuse_conn_info*, fuse_config* cfg) {
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->direct_io = 1;
    return nullptr;
}

}  // namespace

bool ParseUsbSpeed(const std::string& text, double* read_mbps) {
    char* end = nullptr;
    *read_mbps = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && *read_mbps > 0;
}

std::string StartSlowUsb(const std::string& dir, double read_mbps, bool swap) {
    g_usb.dir = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_usb.dir < 0) return "cannot open " + dir + ": " + std::strerror(errno);
    g_usb.read_bps = read_mbps * 1e6;
    g_usb.swap = swap;
    fuse_operations ops{};
    ops.init = DoInit;
    ops.getattr = DoGetattr;
    ops.readdir = DoReaddir;
    ops.open = DoOpen;
    ops.read = DoRead;
    ops.release = DoRelease;
    char arg0[] = "devsim-usb";
    char opt[] = "-o";
    char opts[] = "fsname=usb,subtype=devsim,ro";
    char* fargv[] = {arg0, opt, opts, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fargv);
    g_usb.fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (g_usb.fs == nullptr || fuse_mount(g_usb.fs, dir.c_str()) != 0) {
        if (g_usb.fs != nullptr) fuse_destroy(g_usb.fs);
        g_usb.fs = nullptr;
        close(g_usb.dir);
        g_usb.dir = -1;
        return "cannot mount the USB medium's FUSE file system on " + dir;
    }
    g_usb.mount = dir;
    // One thread: the medium does one transfer at a time.
    g_usb.loop = std::thread([] { fuse_loop(g_usb.fs); });
    return "";
}

void StopSlowUsb(const std::string& log) {
    if (g_usb.fs == nullptr) return;
    fuse_exit(g_usb.fs);
    fuse_unmount(g_usb.fs);
    if (g_usb.loop.joinable()) g_usb.loop.join();
    fuse_destroy(g_usb.fs);
    g_usb.fs = nullptr;
    close(g_usb.dir);
    g_usb.dir = -1;
    std::ofstream(log) << "served " << g_usb.served << "\n";
}

}  // namespace devsim
