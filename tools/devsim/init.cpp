// devsim-init: PID 1 of a simulated recorder run.
//
// Started by tools/devsim/devsim through `unshare --mount --pid --net --fork`,
// so it is process 1 of a fresh PID namespace. It attaches the eMMC image to a
// loop device (autoclear: the device goes away with the last descriptor, even
// when the whole run is killed), has setup.sh build the sandbox, checks that
// every isolation step is in place (and refuses to start anything otherwise),
// then runs the command chrooted in the overlay root. While it runs it records
// each SIGTERM sent to process 1 (the updater's reboot sequence), follows the
// rate file, cuts the power a grace period after the first SIGTERM, and kills
// the run on time-out. Under the fault power-cut it cuts the power at the
// chosen point (SIGUSR1 from a stand-in or the shell, a time, a rate value)
// and folds what persists into the state (fold.sh); under kill=rate:V it
// kills the updater's processes when the rate file shows V.
//
// Second use: `devsim-init --tftp-gate N -- in.tftpd ...` answers the first N
// TFTP requests with an error packet, then becomes the real TFTP server.

#include <arpa/inet.h>
#include <elf.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "slowdisk.h"
#include "slowusb.h"

namespace {

constexpr int kExTimeout = 202;
constexpr int kExIsolate = 203;
constexpr int kExPrereq = 204;
constexpr int kExSetup = 205;
constexpr int kExInternal = 206;
constexpr unsigned long kFuseMagic = 0x65735546;

std::string Env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

double Seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double g_t0 = 0;
std::string g_out;

void AppendFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

void Note(const std::string& msg) {
    fprintf(stderr, "devsim: %s\n", msg.c_str());
    if (!g_out.empty()) AppendFile(g_out + "/devsim.log", msg + "\n");
}

std::string Stamp() {
    char buf[32];
    snprintf(buf, sizeof buf, "t=%.3f", Seconds() - g_t0);
    return buf;
}

// OUT/status: the run's exit status, one line.
void WriteStatus(int code) {
    const std::string path = g_out + "/status";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string s = std::to_string(code) + "\n";
    ssize_t n = write(fd, s.data(), s.size());
    (void)n;
    close(fd);
}

// ---------------------------------------------------------------- loop disk
struct Partition {
    int num = 0;
    unsigned long long offset = 0;
    unsigned long long size = 0;
};

std::vector<Partition> ReadPartitions(const std::string& path) {
    std::vector<Partition> parts;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        Partition p;
        std::string name;
        if (ls >> p.num >> name >> p.offset >> p.size) parts.push_back(p);
    }
    return parts;
}

// Returns the loop descriptor (held for the whole run) or -1.
int AttachDisk(const std::string& image, const std::vector<Partition>& parts, std::string& name) {
    int ctl = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (ctl < 0) {
        Note("cannot open /dev/loop-control: " + std::string(strerror(errno)));
        return -1;
    }
    int file = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (file < 0) {
        Note("cannot open " + image);
        close(ctl);
        return -1;
    }
    int lfd = -1;
    for (int attempt = 0; attempt < 50 && lfd < 0; ++attempt) {
        int n = ioctl(ctl, LOOP_CTL_GET_FREE);
        if (n < 0) break;
        std::string dev = "/dev/loop" + std::to_string(n);
        int fd = open(dev.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            // A fresh device node can take a moment to appear.
            usleep(2000);
            continue;
        }
        loop_config cfg{};
        cfg.fd = static_cast<unsigned>(file);
        cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_PARTSCAN;
        snprintf(reinterpret_cast<char*>(cfg.info.lo_file_name), LO_NAME_SIZE, "devsim:%s",
                 image.c_str());
        if (ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
            lfd = fd;
            name = "loop" + std::to_string(n);
        } else {
            close(fd);  // taken by a parallel run between GET_FREE and CONFIGURE
        }
    }
    close(file);
    close(ctl);
    if (lfd < 0) {
        Note("no free loop device");
        return -1;
    }
    for (const Partition& p : parts) {
        blkpg_partition bp{};
        bp.pno = p.num;
        bp.start = static_cast<long long>(p.offset);
        bp.length = static_cast<long long>(p.size);
        blkpg_ioctl_arg arg{};
        arg.op = BLKPG_ADD_PARTITION;
        arg.datalen = sizeof bp;
        arg.data = &bp;
        std::string sys = "/sys/block/" + name;
        sys += "/" + name + "p" + std::to_string(p.num);
        if (ioctl(lfd, BLKPG, &arg) != 0 && access(sys.c_str(), F_OK) != 0) {
            Note("cannot add partition " + std::to_string(p.num) + ": " + strerror(errno));
            close(lfd);
            return -1;
        }
    }
    return lfd;
}

// ---------------------------------------------------------------- /dev
bool ReadDevNumber(const std::string& sysfile, dev_t& out) {
    std::ifstream in(sysfile);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':') return false;
    out = makedev(maj, min);
    return true;
}

// The recorder's device nodes in the sandbox's tmpfs /dev (mounted by setup.sh).
bool MakeDevNodes(const std::string& merged, const std::string& loop) {
    const std::string dev = merged + "/dev/";
    struct Node {
        const char* name;
        unsigned maj, min;
    };
    for (const Node& n : {Node{"null", 1, 3}, Node{"zero", 1, 5}, Node{"full", 1, 7},
                          Node{"random", 1, 8}, Node{"urandom", 1, 9}}) {
        if (mknod((dev + n.name).c_str(), S_IFCHR | 0666, makedev(n.maj, n.min)) != 0) return false;
        chmod((dev + n.name).c_str(), 0666);
    }
    // Conveniences of the device root: a link that cannot be made is left out.
    for (const auto& [target, name] :
         {std::pair{"/proc/self/fd", "fd"}, std::pair{"/proc/self/fd/0", "stdin"},
          std::pair{"/proc/self/fd/1", "stdout"}, std::pair{"/proc/self/fd/2", "stderr"}}) {
        const int made = symlink(target, (dev + name).c_str());
        (void)made;
    }
    if (loop.empty()) return true;
    const std::string sys = "/sys/block/" + loop + "/";
    dev_t num{};
    if (!ReadDevNumber(sys + "dev", num) ||
        mknod((dev + "mmcblk0").c_str(), S_IFBLK | 0660, num) != 0)
        return false;
    for (int p = 1; p <= 15; ++p) {
        const std::string part = loop + "p" + std::to_string(p);
        if (!ReadDevNumber(sys + part + "/dev", num)) return false;
        if (mknod((dev + "mmcblk0p" + std::to_string(p)).c_str(), S_IFBLK | 0660, num) != 0)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- isolation
bool FsIs(const std::string& path, unsigned long magic) {
    struct statfs sf {};
    return statfs(path.c_str(), &sf) == 0 && static_cast<unsigned long>(sf.f_type) == magic;
}

// Before anything is mounted, attached or started: this process must be
// process 1 of its own PID namespace, in mount and network namespaces that are
// not the host's, and no mount may propagate back to the host. Otherwise the
// sandbox's own set-up (mounts, addresses, servers) would land on the host.
std::string CheckNamespaces() {
    if (getpid() != 1) return "not process 1 of a PID namespace";
    std::istringstream host(Env("DEVSIM_HOST_NS"));
    std::string item;
    int seen = 0;
    while (host >> item) {
        auto colon = item.find(':');
        if (colon == std::string::npos) continue;
        std::string ns = item.substr(0, colon);
        if (ns != "mnt" && ns != "pid" && ns != "net") return "unknown namespace " + ns;
        struct stat st {};
        if (stat(("/proc/self/ns/" + ns).c_str(), &st) != 0) return "cannot read namespace " + ns;
        if (std::to_string(st.st_ino) == item.substr(colon + 1))
            return ns + " namespace is the host's";
        ++seen;
    }
    if (seen != 3) return "host namespaces unknown";
    if (Env("DEVSIM_HOST_ROOT").empty()) return "host root unknown";
    std::ifstream info("/proc/self/mountinfo");
    if (!info) return "cannot read /proc/self/mountinfo";
    std::string line;
    while (std::getline(info, line)) {
        // Optional fields sit between the sixth field and " - ".
        const std::string fields = line.substr(0, line.find(" - "));
        if (fields.find(" shared:") != std::string::npos)
            return "mounts propagate to the host: " + line;
    }
    return "";
}

// After set-up: every sandbox step must be in place; a failure names the
// first missing one.
std::string CheckSandbox(const std::string& merged, bool disk) {
    if (!FsIs(merged, OVERLAYFS_SUPER_MAGIC)) return "device root is not an overlay";
    if (!FsIs(merged + "/proc", kFuseMagic)) return "/proc is not the sandbox's FUSE proc";
    if (!FsIs(merged + "/dev", TMPFS_MAGIC)) return "/dev is not the sandbox's tmpfs";
    struct stat st {};
    if (stat((merged + "/dev/null").c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return "/dev/null missing";
    if (disk && (stat((merged + "/dev/mmcblk0p5").c_str(), &st) != 0 || !S_ISBLK(st.st_mode)))
        return "/dev/mmcblk0p5 is not a block device";
    return CheckNamespaces();
}

// In the child, after chroot: the root must not be the host's and /proc must
// show this PID namespace.
std::string CheckInsideRoot() {
    struct stat st {};
    if (stat("/", &st) != 0) return "cannot stat /";
    char id[64];
    snprintf(id, sizeof id, "%lu:%lu", static_cast<unsigned long>(st.st_dev),
             static_cast<unsigned long>(st.st_ino));
    if (Env("DEVSIM_HOST_ROOT") == id) return "chroot did not happen";
    char link[64] = {};
    if (readlink("/proc/self", link, sizeof link - 1) < 0) return "/proc/self unreadable";
    if (std::to_string(getpid()) != link) return "/proc/self is not this process";
    if (access("/proc/1", F_OK) != 0) return "/proc/1 missing";
    return "";
}

// ---------------------------------------------------------------- helpers
// The loader a 64-bit ELF file asks for (PT_INTERP), or "" (static, not ELF).
std::string ElfInterpreter(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Elf64_Ehdr eh{};
    if (!in.read(reinterpret_cast<char*>(&eh), sizeof eh) ||
        memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_phentsize != sizeof(Elf64_Phdr))
        return "";
    for (unsigned i = 0; i < eh.e_phnum && i < 64; ++i) {
        Elf64_Phdr ph{};
        in.seekg(static_cast<std::streamoff>(eh.e_phoff + i * sizeof ph));
        if (!in.read(reinterpret_cast<char*>(&ph), sizeof ph)) return "";
        if (ph.p_type != PT_INTERP || ph.p_filesz == 0 || ph.p_filesz > 256) continue;
        std::string interp(ph.p_filesz, '\0');
        in.seekg(static_cast<std::streamoff>(ph.p_offset));
        if (!in.read(interp.data(), static_cast<std::streamsize>(interp.size()))) return "";
        return interp.c_str();
    }
    return "";
}

// A command that cannot start is a harness failure (204), never a status
// that reads like the command's own: an emulated binary whose loader is
// missing would otherwise end with qemu's 255.
void ExecOrDie(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::string interp = ElfInterpreter(args[0]);
    if (!interp.empty() && access(interp.c_str(), X_OK) != 0) {
        fprintf(stderr, "devsim: cannot run %s: its loader %s is missing\n", argv[0],
                interp.c_str());
        _exit(kExPrereq);
    }
    execv(argv[0], argv.data());
    fprintf(stderr, "devsim: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(kExPrereq);
}

int WaitStatusCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return kExInternal;
}

void KillAllAndReap() {
    kill(-1, SIGKILL);
    while (true) {
        pid_t p = waitpid(-1, nullptr, 0);
        if (p < 0 && errno == EINTR) continue;
        if (p < 0) break;
    }
}

// The updater's processes ("update", "memupdate" as the copy in /tmp runs).
void KillUpdaters(const std::string& realproc) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(realproc, ec)) {
        const std::string pid = e.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream comm(e.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == "update" || name == "memupdate") kill(std::stoi(pid), SIGKILL);
    }
}

// Runs one helper script of devsim (fold.sh) and waits for it.
int RunScript(const std::vector<std::string>& args) {
    pid_t p = fork();
    if (p == 0) ExecOrDie(args);
    int status = 0;
    while (waitpid(p, &status, 0) < 0 && errno == EINTR) {
    }
    return WaitStatusCode(status);
}

void Teardown(const std::string& out, const std::string& merged) {
    const std::string sandbox = out + "/.sandbox";
    for (const char* sub : {"/proc", "/dev/mmcblk0", "/var/devsim/tools.log", "/dev", ""})
        umount2((merged + sub).c_str(), MNT_DETACH);
    umount2((sandbox + "/realproc").c_str(), MNT_DETACH);
    umount2(sandbox.c_str(), MNT_DETACH);
    std::error_code ec;
    std::filesystem::remove_all(out + "/.work", ec);
    std::filesystem::remove_all(out + "/.layer", ec);
    std::filesystem::remove(sandbox, ec);
}

// ---------------------------------------------------------------- tftp gate
int TftpGate(int refuse, char** cmd) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(69);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("devsim tftp gate: bind");
        return 1;
    }
    int refused = 0;
    while (refused < refuse) {
        unsigned char buf[1024];
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
        if (n < 2) continue;
        int op = buf[0] << 8 | buf[1];
        if (op != 1 && op != 2) continue;  // only read and write requests
        static const char kErr[] = "\0\5\0\2refused by devsim";
        sendto(s, kErr, sizeof kErr, 0, reinterpret_cast<sockaddr*>(&peer), len);
        ++refused;
        fprintf(stderr, "devsim tftp gate: refused request %d of %d\n", refused, refuse);
    }
    close(s);
    execv(cmd[0], cmd);
    perror("devsim tftp gate: exec");
    return 127;
}

volatile sig_atomic_t g_dummy = 0;
void NoteSignal(int) {
    g_dummy = 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "--tftp-gate") == 0 && strcmp(argv[3], "--") == 0 && argc > 4)
        return TftpGate(atoi(argv[2]), argv + 4);
    if (argc < 2) {
        fprintf(stderr, "usage: devsim-init CMD ARGS... (run by tools/devsim/devsim)\n");
        return 201;
    }
    g_t0 = Seconds();
    g_out = Env("DEVSIM_OUT");
    const std::string mode = Env("DEVSIM_MODE");
    const std::string merged = g_out + "/.sandbox/merged";
    if (g_out.empty() || getpid() != 1) {
        fprintf(stderr,
                "devsim-init: must be started by tools/devsim/devsim as PID 1 of a namespace\n");
        return kExIsolate;
    }
    {
        char t0[64];
        snprintf(t0, sizeof t0, "%.6f", g_t0);
        setenv("DEVSIM_T0", t0, 1);
    }

    // PID 1 only receives signals it has a handler for: install handlers, then
    // block them and read them through a signalfd.
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGUSR1}) {
        struct sigaction sa {};
        sa.sa_handler = NoteSignal;
        sigaction(sig, &sa, nullptr);
        sigaddset(&set, sig);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        Note("cannot read signals: " + std::string(strerror(errno)));
        WriteStatus(kExInternal);
        return kExInternal;
    }

    // 0. Fail closed: nothing is attached, mounted or started outside the
    // run's own namespaces.
    if (std::string why = CheckNamespaces(); !why.empty()) {
        Note("isolation check failed, nothing started: " + why);
        WriteStatus(kExIsolate);
        return kExIsolate;
    }

    // 1. eMMC disk on a loop device with its partitions; at a medium's speed
    // through devsim's own FUSE file under the fault emmc-mbps=W:R.
    std::string disk = Env("DEVSIM_DISK");
    struct SlowDiskStop {
        ~SlowDiskStop() { devsim::StopSlowDisk(); }
    } slow_disk_stop;
    if (const std::string speed = Env("DEVSIM_EMMC_MBPS"); !disk.empty() && !speed.empty()) {
        double write_mbps = 0;
        double read_mbps = 0;
        std::string why = "emmc-mbps wants W:R in MB/s, not " + speed;
        const std::string dir = g_out + "/.emmc";
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (!devsim::ParseDiskSpeed(speed, &write_mbps, &read_mbps) ||
            (disk = devsim::StartSlowDisk(disk, dir, write_mbps, read_mbps, &why)).empty()) {
            Note(why);
            WriteStatus(kExSetup);
            return kExSetup;
        }
    }
    int loop_fd = -1;
    if (!disk.empty()) {
        std::string loop_name;
        loop_fd = AttachDisk(disk, ReadPartitions(g_out + "/partitions.txt"), loop_name);
        if (loop_fd < 0) {
            WriteStatus(kExSetup);
            return kExSetup;
        }
        setenv("DEVSIM_LOOP", loop_name.c_str(), 1);
    }

    // 2. Mounts, /dev, FUSE /proc, network and servers.
    const double t_setup = Seconds();
    pid_t setup = fork();
    if (setup == 0) {
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        if (!Env("DEVSIM_DEBUG").empty())
            ExecOrDie({"/bin/bash", "-x", Env("DEVSIM_SELF") + "/setup.sh"});
        ExecOrDie({"/bin/bash", Env("DEVSIM_SELF") + "/setup.sh"});
    }
    int setup_status = 0;
    while (true) {
        pid_t p = waitpid(setup, &setup_status, 0);
        if (p == setup || (p < 0 && errno != EINTR)) break;
    }
    if (!WIFEXITED(setup_status) || WEXITSTATUS(setup_status) != 0) {
        Note("sandbox setup failed");
        KillAllAndReap();
        Teardown(g_out, merged);
        WriteStatus(kExSetup);
        return kExSetup;
    }
    if (!MakeDevNodes(merged, Env("DEVSIM_LOOP"))) {
        Note("cannot make the device nodes in /dev");
        KillAllAndReap();
        Teardown(g_out, merged);
        WriteStatus(kExSetup);
        return kExSetup;
    }
    // The removable medium at "/mnt/usb" through devsim's own FUSE file
    // system under the faults usb-mbps=R and usb-swap.
    struct SlowUsbStop {
        ~SlowUsbStop() { devsim::StopSlowUsb(g_out + "/usb.log"); }
    } slow_usb_stop;
    if (const std::string speed = Env("DEVSIM_USB_MBPS");
        !speed.empty() || Env("DEVSIM_USB_SWAP") == "1") {
        double read_mbps = 0;
        std::string why;
        std::error_code ec;
        std::filesystem::create_directories(merged + "/mnt/usb", ec);
        if (!speed.empty() && !devsim::ParseUsbSpeed(speed, &read_mbps)) {
            why = "usb-mbps wants R in MB/s, not " + speed;
        } else {
            why =
                devsim::StartSlowUsb(merged + "/mnt/usb", read_mbps, Env("DEVSIM_USB_SWAP") == "1");
        }
        if (!why.empty()) {
            Note(why);
            KillAllAndReap();
            Teardown(g_out, merged);
            WriteStatus(kExSetup);
            return kExSetup;
        }
    }
    const double t_ready = Seconds();

    // 3. Fail closed.
    if (std::string why = CheckSandbox(merged, loop_fd >= 0); !why.empty()) {
        Note("isolation check failed, nothing started: " + why);
        KillAllAndReap();
        Teardown(g_out, merged);
        WriteStatus(kExIsolate);
        return kExIsolate;
    }
    {
        char buf[128];
        snprintf(buf, sizeof buf, "overhead: loop %.3f s, setup %.3f s", t_setup - g_t0,
                 t_ready - t_setup);
        AppendFile(g_out + "/devsim.log", std::string(buf) + "\n");
    }

    // 4. The command, chrooted. Its output goes to OUT (the terminal in shell mode).
    const bool interactive = mode == "shell";
    int in_fd = -1, out_fd = -1, err_fd = -1;
    if (!interactive) {
        std::string in = Env("DEVSIM_STDIN");
        in_fd = open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY | O_CLOEXEC);
        out_fd = open((g_out + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        err_fd = open((g_out + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } else if (!Env("DEVSIM_STDIN").empty()) {
        in_fd = open(Env("DEVSIM_STDIN").c_str(), O_RDONLY | O_CLOEXEC);
    }
    // --console: the output goes to the files and to devsim's own output.
    struct Relay {
        int read_end = -1;
        int file = -1;
        int console = -1;
    };
    Relay relays[2];
    if (!interactive && Env("DEVSIM_CONSOLE") == "1") {
        int* ends[2] = {&out_fd, &err_fd};
        for (int i = 0; i < 2; ++i) {
            int p[2];
            if (pipe2(p, O_CLOEXEC) != 0) continue;
            relays[i] = {p[0], *ends[i], i + 1};
            *ends[i] = p[1];
        }
    }
    auto relay = [&](Relay& r) {
        char buf[8192];
        ssize_t n = read(r.read_end, buf, sizeof buf);
        if (n <= 0) {
            close(r.read_end);
            r.read_end = -1;
            return;
        }
        for (int fd : {r.file, r.console}) {
            ssize_t w = write(fd, buf, static_cast<size_t>(n));
            (void)w;
        }
    };
    int inot = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(inot, (merged + "/tmp").c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);

    const double t_start = Seconds();
    pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGUSR1}) signal(sig, SIG_DFL);
        if (in_fd >= 0) dup2(in_fd, 0);
        if (out_fd >= 0) dup2(out_fd, 1);
        if (err_fd >= 0) dup2(err_fd, 2);
        if (chroot(merged.c_str()) != 0 || chdir("/") != 0) {
            fprintf(stderr, "devsim: chroot failed: %s\n", strerror(errno));
            _exit(kExIsolate);
        }
        std::string inside = CheckInsideRoot();
        if (!inside.empty()) {
            fprintf(stderr, "devsim: isolation check failed, nothing started: %s\n",
                    inside.c_str());
            _exit(kExIsolate);
        }
        clearenv();
        setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
        setenv("HOME", "/root", 1);
        setenv("USER", "root", 1);
        setenv("TERM", interactive && getenv("TERM") ? getenv("TERM") : "vt100", 1);
        if (interactive) setenv("PS1", "devsim# ", 1);
        std::vector<std::string> args(argv + 1, argv + argc);
        if (args[0].find('/') == std::string::npos) {
            // Bare names are looked up on the device's PATH.
            for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
                if (access((dir + args[0]).c_str(), X_OK) == 0) {
                    args[0] = dir + args[0];
                    break;
                }
            }
        }
        ExecOrDie(args);
    }
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0) close(fd);

    // 5. Supervise.
    const double timeout = atof(Env("DEVSIM_TIMEOUT").c_str());
    const double grace = atof(Env("DEVSIM_GRACE").c_str());
    const std::string reboot_log = g_out + "/reboot.log";
    const std::string rate_log = g_out + "/rate.log";
    double power_cut_at = 0;
    bool power_cut = false;
    int code = -1;
    const std::string cut = Env("DEVSIM_POWER_CUT");
    const std::string cut_rate = cut.rfind("rate:", 0) == 0 ? cut.substr(5) : "";
    const std::string kill_rate = Env("DEVSIM_KILL_RATE");
    bool killed = false;
    if (cut.rfind("time:", 0) == 0) power_cut_at = t_start + atof(cut.c_str() + 5);
    auto cut_power = [&](const std::string& why) {
        if (power_cut) return;
        power_cut = true;
        AppendFile(reboot_log, "power-cut " + Stamp() + " " + why + "\n");
        kill(-1, SIGKILL);
    };
    auto read_rate = [&] {
        alignas(inotify_event) char buf[4096];
        bool changed = false;
        ssize_t n;
        while ((n = read(inot, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                if (ev->len && strcmp(ev->name, "update_rate.log") == 0) changed = true;
                p += sizeof(inotify_event) + ev->len;
            }
        }
        if (!changed) return;
        std::ifstream f(merged + "/tmp/update_rate.log");
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        // A read right after the updater truncated the file sees nothing; the
        // value follows with the next event.
        if (f && !text.empty()) AppendFile(rate_log, text + "\n");
        // The first value at or above the one asked for: the watcher may miss
        // a value the updater soon replaced.
        auto reached = [&](const std::string& want) {
            return !want.empty() && !text.empty() &&
                   text.find_first_not_of("0123456789") == std::string::npos && text.size() < 9 &&
                   std::stol(text) >= std::stol(want);
        };
        if (reached(cut_rate)) cut_power("rate " + text);
        if (!killed && reached(kill_rate)) {
            killed = true;
            AppendFile(reboot_log, "kill " + Stamp() + " rate " + text + "\n");
            KillUpdaters(g_out + "/.sandbox/realproc");
        }
    };
    while (code < 0) {
        double now = Seconds();
        double deadline = timeout > 0 ? t_start + timeout : 0;
        if (power_cut_at > 0 && (deadline == 0 || power_cut_at < deadline)) deadline = power_cut_at;
        int wait_ms = -1;
        if (deadline > 0)
            wait_ms = deadline > now ? static_cast<int>((deadline - now) * 1000) + 1 : 0;
        pollfd fds[4] = {{sfd, POLLIN, 0},
                         {inot, POLLIN, 0},
                         {relays[0].read_end, POLLIN, 0},
                         {relays[1].read_end, POLLIN, 0}};
        int r = poll(fds, 4, wait_ms);
        if (r < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i)
            if (relays[i].read_end >= 0 && (fds[2 + i].revents & (POLLIN | POLLHUP)))
                relay(relays[i]);
        if (fds[1].revents & POLLIN) read_rate();
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (read(sfd, &si, sizeof si) == sizeof si) {
                if (si.ssi_signo == SIGTERM) {
                    AppendFile(reboot_log,
                               "SIGTERM " + Stamp() + " from=" + std::to_string(si.ssi_pid) + "\n");
                    if (power_cut_at == 0 && grace > 0) power_cut_at = Seconds() + grace;
                } else if (si.ssi_signo == SIGUSR1 && !cut.empty()) {
                    cut_power(cut);
                } else if (si.ssi_signo == SIGCHLD) {
                    int status = 0;
                    pid_t p;
                    while ((p = waitpid(-1, &status, WNOHANG)) > 0) {
                        if (p == child) code = WaitStatusCode(status);
                    }
                }
                // SIGINT and the rest: the command (a shell) handles its own.
            }
        }
        now = Seconds();
        if (code < 0 && power_cut_at > 0 && now >= power_cut_at && !power_cut) {
            cut_power(cut.rfind("time:", 0) == 0 ? cut : "grace");
        } else if (code < 0 && timeout > 0 && now >= t_start + timeout) {
            Note("time-out after " + Env("DEVSIM_TIMEOUT") + " s: run killed");
            kill(-1, SIGKILL);
            int status = 0;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            code = kExTimeout;
        }
    }
    read_rate();
    if (code < 0) code = kExInternal;
    KillAllAndReap();
    for (Relay& r : relays) {
        while (r.read_end >= 0) relay(r);
        if (r.file >= 0) close(r.file);
    }
    if (loop_fd >= 0) {
        fsync(loop_fd);
    }
    devsim::StopSlowUsb(g_out + "/usb.log");
    Teardown(g_out, merged);
    if (loop_fd >= 0) close(loop_fd);  // autoclear detaches the loop device
    devsim::StopSlowDisk();            // the loop's last flush has reached the image
    const std::string state = Env("DEVSIM_STATE");
    if (power_cut && !cut.empty() && !state.empty()) {
        if (RunScript({"/bin/bash", Env("DEVSIM_SELF") + "/fold.sh", g_out, state}) != 0) {
            Note("cannot keep the recorder's state after the power cut");
            code = kExInternal;
        }
    }
    {
        char buf[128];
        snprintf(buf, sizeof buf, "command: %.3f s, total %.3f s", Seconds() - t_start,
                 Seconds() - g_t0);
        AppendFile(g_out + "/devsim.log", std::string(buf) + "\n");
    }
    WriteStatus(code);
    if (Env("DEVSIM_REMOVE_OUT") == "1") {
        // No run directory was asked for: keep nothing.
        std::error_code ec;
        std::filesystem::remove_all(g_out, ec);
    }
    return code;
}
