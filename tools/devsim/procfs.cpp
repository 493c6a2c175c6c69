// devsim-procfs: the simulated recorder's /proc.
//
//   devsim-procfs MOUNTPOINT REALPROC DEVICEDIR ROOTPREFIX REBOOTLOG READYFIFO
//
// procfs cannot gain new names and overlayfs will not take it as a layer, so
// this small FUSE file system stands in for it: it passes through to a procfs
// mounted inside the sandbox's PID namespace (REALPROC), answers "self" with
// the caller's process, strips the host path of the sandbox root (ROOTPREFIX)
// from link targets, and lays the device's own files (DEVICEDIR: board_type,
// mtd, rmc/test, sys/vm/drop_caches ...) over it. File sizes are the real
// content lengths (sendfile stops at the reported size) and nothing is cached.
// Only DEVICEDIR files can be written; a write to rmc/test is also noted in
// REBOOTLOG.

#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

namespace {

std::string g_real;    // procfs of the sandbox's PID namespace
std::string g_dev;     // the device's own entries (per run)
std::string g_prefix;  // host path of the sandbox root
std::string g_reboot;  // reboot log
double g_t0 = 0;

// Names the host's procfs may have but the recorder's must not show unless
// the device directory provides them.
const std::set<std::string> kHidden = {"board_type", "uboot_rev",    "cmdline", "mounts",
                                       "mtd",        "env",          "rmc",     "partitions",
                                       "kmsg",       "sysrq-trigger"};

// Hidden names shown from REALPROC all the same (DEVSIM_PROCFS_SHOW, a comma
// list): a guest with a kernel of its own passes its "mtd", "mounts" ... on.
std::set<std::string> g_show;

bool Hidden(const std::string& name) {
    return kHidden.count(name) != 0 && g_show.count(name) == 0;
}

std::string TopName(const char* path) {
    std::string p(path + 1);
    return p.substr(0, p.find('/'));
}

bool InDev(const char* path, struct stat* st) {
    return lstat((g_dev + path).c_str(), st) == 0;
}

bool HiddenReal(const char* path) {
    return Hidden(TopName(path));
}

// The caller's thread id as the kernel reports it, turned into its process id.
pid_t CallerTgid() {
    pid_t tid = fuse_get_context()->pid;
    FILE* f = fopen((g_real + "/" + std::to_string(tid) + "/status").c_str(), "re");
    if (!f) return tid;
    char line[256];
    pid_t tgid = tid;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "Tgid:", 5) == 0) {
            tgid = static_cast<pid_t>(atoi(line + 5));
            break;
        }
    }
    fclose(f);
    return tgid;
}

// Files whose content is large, costly or endless: their size stays as
// procfs reports it (0).
const std::set<std::string> kNoLength = {"kcore",       "kmsg",     "kpagecount",  "kpageflags",
                                         "kpagecgroup", "kallsyms", "pagemap",     "mem",
                                         "clear_refs",  "slabinfo", "vmallocinfo", "sched_debug",
                                         "timer_list",  "smaps",    "smaps_rollup"};

bool WantsLength(const char* path) {
    const char* base = strrchr(path, '/');
    return !kNoLength.count(base ? base + 1 : path);
}

bool IsSelf(const char* path) {
    return strcmp(path, "/self") == 0 || strcmp(path, "/thread-self") == 0;
}

long long ContentLength(const std::string& file) {
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[65536];
    long long total = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        total += n;
        if (total > (64LL << 20)) break;
    }
    close(fd);
    return total;
}

// Processes of another architecture run under qemu-user through binfmt_misc
// (flags P and F): their cmdline starts with the interpreter and the guest
// binary's path before the preserved argv[0], and their exe is qemu. The
// recorder runs them natively, so /PID/cmdline drops those two fields and
// /PID/exe names the guest binary. *guest is that binary's path.
bool EmulatedCmdline(const char* path, const char* leaf, std::string* cmdline, std::string* guest) {
    const char* slash = strchr(path + 1, '/');
    if (!slash || strcmp(slash + 1, leaf) != 0) return false;
    std::string dir = g_real + std::string(path, slash);
    char exe[4096];
    ssize_t n = readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
    if (n < 0) return false;
    exe[n] = 0;
    const char* base = strrchr(exe, '/');
    if (strncmp(base ? base + 1 : exe, "qemu-", 5) != 0) return false;
    int fd = open((dir + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string all;
    char buf[4096];
    while ((n = read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    close(fd);
    size_t first = all.find('\0');
    size_t second = first == std::string::npos ? first : all.find('\0', first + 1);
    if (second == std::string::npos) return false;
    *guest = all.substr(first + 1, second - first - 1);
    *cmdline = all.substr(second + 1);
    return true;
}

int DoGetattr(const char* path, struct stat* st, fuse_file_info*) {
    memset(st, 0, sizeof *st);
    std::string cmdline, guest;
    if (EmulatedCmdline(path, "cmdline", &cmdline, &guest) &&
        lstat((g_real + path).c_str(), st) == 0) {
        st->st_size = static_cast<off_t>(cmdline.size());
        return 0;
    }
    if (IsSelf(path)) {
        st->st_mode = S_IFLNK | 0777;
        st->st_nlink = 1;
        return 0;
    }
    struct stat dst {};
    if (strcmp(path, "/") != 0 && InDev(path, &dst)) {
        if (S_ISREG(dst.st_mode) || lstat((g_real + path).c_str(), st) != 0) *st = dst;
        return 0;
    }
    if (HiddenReal(path)) return -ENOENT;
    if (lstat((g_real + path).c_str(), st) != 0) return -errno;
    if (S_ISREG(st->st_mode) && st->st_size == 0 && (st->st_mode & 0444) && WantsLength(path))
        st->st_size = ContentLength(g_real + path);
    return 0;
}

int DoReadlink(const char* path, char* buf, size_t size) {
    std::string target;
    if (strcmp(path, "/self") == 0) {
        target = std::to_string(CallerTgid());
    } else if (strcmp(path, "/thread-self") == 0) {
        target = std::to_string(CallerTgid()) + "/task/" + std::to_string(fuse_get_context()->pid);
    } else if (std::string cmdline, guest; EmulatedCmdline(path, "exe", &cmdline, &guest)) {
        target = guest;
    } else {
        struct stat st {};
        std::string base = InDev(path, &st) ? g_dev : g_real;
        char tmp[4096];
        ssize_t n = readlink((base + path).c_str(), tmp, sizeof tmp - 1);
        if (n < 0) return -errno;
        tmp[n] = 0;
        target = tmp;
        // Paths inside the sandbox read as the host's path of the sandbox root
        // followed by the device path; the device sees only the latter.
        if (target.compare(0, g_prefix.size(), g_prefix) == 0 &&
            (target.size() == g_prefix.size() || target[g_prefix.size()] == '/')) {
            target = target.size() == g_prefix.size() ? "/" : target.substr(g_prefix.size());
        }
    }
    if (size == 0) return -EINVAL;
    snprintf(buf, size, "%s", target.c_str());
    return 0;
}

int DoReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    std::set<std::string> names;
    bool any = false;
    const bool top = strcmp(path, "/") == 0;
    if (top || !HiddenReal(path)) {
        if (DIR* d = opendir((g_real + path).c_str())) {
            any = true;
            while (dirent* e = readdir(d)) {
                if (top && Hidden(e->d_name)) continue;
                names.insert(e->d_name);
            }
            closedir(d);
        }
    }
    if (DIR* d = opendir((g_dev + (top ? "" : path)).c_str())) {
        any = true;
        while (dirent* e = readdir(d)) names.insert(e->d_name);
        closedir(d);
    }
    if (!any) return -ENOENT;
    for (const auto& n : names)
        filler(buf, n.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int DoOpen(const char* path, fuse_file_info* fi) {
    struct stat st {};
    int fd;
    std::string cmdline, guest;
    if (EmulatedCmdline(path, "cmdline", &cmdline, &guest)) {
        fd = memfd_create("cmdline", MFD_CLOEXEC);
        if (fd >= 0 &&
            write(fd, cmdline.data(), cmdline.size()) != static_cast<ssize_t>(cmdline.size())) {
            close(fd);
            return -EIO;
        }
    } else if (InDev(path, &st) && S_ISREG(st.st_mode)) {
        fd = open((g_dev + path).c_str(), (fi->flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC);
    } else {
        if (HiddenReal(path)) return -ENOENT;
        if ((fi->flags & O_ACCMODE) != O_RDONLY)
            return -EROFS;  // never write the host's kernel settings
        fd = open((g_real + path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int DoRead(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    ssize_t n = pread(static_cast<int>(fi->fh), buf, size, off);
    return n < 0 ? -errno : static_cast<int>(n);
}

int DoWrite(const char* path, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    ssize_t n = pwrite(static_cast<int>(fi->fh), buf, size, off);
    if (n < 0) return -errno;
    if (strcmp(path, "/rmc/test") == 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        double t = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9 - g_t0;
        std::string data(buf, static_cast<size_t>(n));
        while (!data.empty() && (data.back() == '\n' || data.back() == ' ')) data.pop_back();
        for (char& c : data)
            if (c == '\n') c = ' ';
        char line[512];
        snprintf(line, sizeof line, "rmc/test %s t=%.3f\n", data.c_str(), t);
        int fd = open(g_reboot.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t w = write(fd, line, strlen(line));
            (void)w;
            close(fd);
        }
    }
    return static_cast<int>(n);
}

int DoTruncate(const char* path, off_t size, fuse_file_info* fi) {
    struct stat st {};
    if (fi) return ftruncate(static_cast<int>(fi->fh), size) == 0 ? 0 : -errno;
    if (!InDev(path, &st)) return -EROFS;
    return truncate((g_dev + path).c_str(), size) == 0 ? 0 : -errno;
}

int DoRelease(const char*, fuse_file_info* fi) {
    close(static_cast<int>(fi->fh));
    return 0;
}

int DoUtimens(const char* path, const timespec[2], fuse_file_info*) {
    struct stat st {};
    return InDev(path, &st) ? 0 : -EROFS;
}

int DoRefuse() {
    return -EROFS;
}
int DoCreate(const char*, mode_t, fuse_file_info*) {
    return DoRefuse();
}
int DoMkdir(const char*, mode_t) {
    return DoRefuse();
}
int DoUnlink(const char*) {
    return DoRefuse();
}
int DoChmod(const char*, mode_t, fuse_file_info*) {
    return DoRefuse();
}
int DoChown(const char*, uid_t, gid_t, fuse_file_info*) {
    return DoRefuse();
}

void* DoInit(fuse_conn_info*, fuse_config* cfg) {
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->use_ino = 0;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(
            stderr,
            "usage: devsim-procfs MOUNTPOINT REALPROC DEVICEDIR ROOTPREFIX REBOOTLOG READYFIFO\n");
        return 2;
    }
    g_real = argv[2];
    g_dev = argv[3];
    g_prefix = argv[4];
    g_reboot = argv[5];
    if (const char* show = getenv("DEVSIM_PROCFS_SHOW")) {
        std::string list = show;
        for (std::size_t at = 0; at <= list.size();) {
            std::size_t end = std::min(list.find(',', at), list.size());
            g_show.insert(list.substr(at, end - at));
            at = end + 1;
        }
    }
    const char* t0 = getenv("DEVSIM_T0");
    g_t0 = t0 ? atof(t0) : 0;

    fuse_operations ops{};
    ops.init = DoInit;
    ops.getattr = DoGetattr;
    ops.readlink = DoReadlink;
    ops.readdir = DoReaddir;
    ops.open = DoOpen;
    ops.read = DoRead;
    ops.write = DoWrite;
    ops.truncate = DoTruncate;
    ops.release = DoRelease;
    ops.utimens = DoUtimens;
    ops.create = DoCreate;
    ops.mkdir = DoMkdir;
    ops.unlink = DoUnlink;
    ops.chmod = DoChmod;
    ops.chown = DoChown;

    char arg0[] = "devsim-procfs";
    char opt[] = "-o";
    char opts[] = "fsname=proc,subtype=devsim,allow_other";
    char* fargv[] = {arg0, opt, opts, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fargv);
    fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    auto ready = [&](const char* msg) {
        int fd = open(argv[6], O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            ssize_t n = write(fd, msg, strlen(msg));
            (void)n;
            close(fd);
        }
    };
    if (!fs || fuse_mount(fs, argv[1]) != 0) {
        ready("error\n");
        return 1;
    }
    ready("ready\n");
    int rc = fuse_loop(fs);
    fuse_unmount(fs);
    fuse_destroy(fs);
    return rc == 0 ? 0 : 1;
}
