#include "app/prepare.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "package/version.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

std::atomic<bool> g_services_stopped{false};
PrepareSleepFn g_sleep;

void Pause(std::chrono::milliseconds duration) {
    if (g_sleep) {
        g_sleep(duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

// Lists the dynamic loader of /lib (a real file, not a link); its first output
// line is the loader's name. The name is the last field of a line of ls -l
// (BusyBox's listing has the day of the month in the seventh).
constexpr const char* kLoaderQuery = "ls -l /lib | grep -v '>' | awk '$NF ~ /^ld-/ {print $NF}'";
constexpr std::size_t kLoaderNameMax = 31;

// The two-character groups at positions 3-4 and 6-7 of a public version, as text.
struct VersionGroups {
    std::string_view major;
    std::string_view minor;
};

VersionGroups GroupsOf(const char* version) {
    std::string_view text = version != nullptr ? version : "";
    auto group = [&](std::size_t pos) {
        return pos < text.size() ? text.substr(pos, 2) : std::string_view();
    };
    return {group(3), group(6)};
}

// Model files moved to the data disk with the 29.30 line of public versions.
constexpr std::string_view kModelMajor = "29";
constexpr std::string_view kModelMinor = "30";

bool AtMostModelLine(const VersionGroups& v) {
    return v.major < kModelMajor || (v.major == kModelMajor && v.minor <= kModelMinor);
}

bool AboveModelLine(const VersionGroups& v) {
    return v.major > kModelMajor || (v.major == kModelMajor && v.minor > kModelMinor);
}

// Keeps the console's attributes and puts them back on every path out.
class TerminalRestore {
  public:
    explicit TerminalRestore(int fd) : fd_(fd) { saved_ok_ = tcgetattr(fd_, &saved_) == 0; }
    ~TerminalRestore() {
        if (saved_ok_) tcsetattr(fd_, TCSANOW, &saved_);
    }
    TerminalRestore(const TerminalRestore&) = delete;
    TerminalRestore& operator=(const TerminalRestore&) = delete;

    [[nodiscard]] const termios& saved() const { return saved_; }

  private:
    int fd_;
    termios saved_{};
    bool saved_ok_ = false;
};

// Console echo: a failed write is not worth stopping the question for.
void WriteAll(int fd, std::string_view text) {
    (void)sys::WriteFull(fd, text.data(), text.size());
}

constexpr unsigned char kEscape = 0x1b;
constexpr unsigned char kBackspace = 0x08;
constexpr unsigned char kDelete = 0x7f;  // what the backspace key sends in raw mode

// True while a process of one of these names (as "/proc/PID/stat" gives it)
// has not ended; a zombie has.
bool AnyRunning(std::initializer_list<std::string_view> names) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(sys::DevicePath("/proc"), ec)) {
        const std::string pid = entry.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        // One line of some hundred bytes (read without iostreams, which
        // would bring the C++ locale machinery into the static build).
        const sys::UniqueFd fd(::open((entry.path() / "stat").c_str(), O_RDONLY | O_CLOEXEC));
        char buf[1024];
        const ssize_t got = fd ? sys::ReadFull(fd.get(), buf, sizeof buf) : -1;
        if (got <= 0) continue;  // ended meanwhile
        std::string stat(buf, static_cast<std::size_t>(got));
        stat.resize(std::min(stat.find('\n'), stat.size()));
        const std::size_t open = stat.find('(');
        const std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        const std::string_view name(stat.data() + open + 1, close - open - 1);
        const bool zombie = close + 2 < stat.size() && stat[close + 2] == 'Z';
        if (!zombie && std::find(names.begin(), names.end(), name) != names.end()) return true;
    }
    return false;
}

// The stopped services get up to `limit` to end; the wait is over as soon as
// none of them is left.
void WaitForExit(std::initializer_list<std::string_view> names, std::chrono::milliseconds limit) {
    constexpr std::chrono::milliseconds kStep(100);
    for (std::chrono::milliseconds waited(0); waited < limit && AnyRunning(names);
         waited += kStep) {
        Pause(kStep);
    }
}

}  // namespace

bool UPDATE_ServicesStopped() {
    return g_services_stopped.load();
}

void UPDATE_ResetServicesStopped() {
    g_services_stopped.store(false);
}

void UPDATE_SetPrepareSleep(PrepareSleepFn sleep) {
    g_sleep = std::move(sleep);
}

void UPDATE_StopServices() {
    if (g_services_stopped.exchange(true)) return;
    sys::Runner& runner = sys::CurrentRunner();
    (void)runner.PlainSystem("mt boardagent set smart stop");
    (void)runner.PlainSystem("killall daemon core;pg_ctl stop -D /var/fs_disk/database -m fast");
    WaitForExit({"daemon", "core"}, std::chrono::seconds(3));
    (void)runner.PlainSystem("killall postgres");
    WaitForExit({"postgres"}, std::chrono::seconds(1));
}

int UPDATE_PrepareTools() {
    std::string listing;
    if (sys::CurrentRunner().ReadCommand(kLoaderQuery, listing, 4096) != 0) return -1;
    std::string loader = listing.substr(0, listing.find('\n'));
    if (loader.size() > kLoaderNameMax) loader.resize(kLoaderNameMax);
    if (!loader.empty() && loader.back() == '\r') loader.pop_back();
    if (loader.empty()) {
        ULOG("no dynamic loader found in /lib\n");
        return -1;
    }
    // A plain file name stays as it is; anything odd cannot break the command lines.
    const std::string name = sys::ShellQuote(loader);

    const std::string copy_libs =
        "cp /lib64/libcrypt.* /var/cmdtmp >> /var/log/update.log 2>&1;"
        "cp /lib64/libc-* /var/cmdtmp >> /var/log/update.log 2>&1;"
        "cp /lib/" +
        name + " /var/cmdtmp >> /var/log/update.log 2>&1";
    const std::string bind_libs =
        "mount --bind /var/cmdtmp/libc-* /lib64/libc-*;"
        "mount --bind /var/cmdtmp/libcrypt.* /lib64/libcrypt.*;"
        "mount --bind /var/cmdtmp/" +
        name + " /lib/" + name;
    const std::string commands[] = {
        "mkdir -p /var/cmdtmp >> /var/log/update.log 2>&1",
        "cp -rf /bin/busybox /var/cmdtmp/ >> /var/log/update.log 2>&1",
        "cp -rf /usr/sbin/ /var/cmdtmp/ >> /var/log/update.log 2>&1",
        "cp -rf /usr/bin/mmcwrite /var/cmdtmp/ >> /var/log/update.log 2>&1",
        "rm -rf /var/runtime/*.ko >> /var/log/update.log 2>&1",
        "rm -rf /var/runtime/*.sh >> /var/log/update.log 2>&1",
        copy_libs,
        bind_libs,
        "mount --bind /var/cmdtmp/busybox /bin/busybox >> /var/log/update.log 2>&1",
        "mount /var/cmdtmp/sbin /usr/sbin >> /var/log/update.log 2>&1",
    };
    for (const std::string& cmd : commands) (void)UPDATE_System(cmd.c_str());
    Pause(std::chrono::seconds(1));
    return 0;
}

bool UPDATE_NeedCopyModelFor(const char* local_inner, const char* local_pub,
                             const char* image_pub) {
    std::string_view inner = local_inner != nullptr ? local_inner : "";
    if (!inner.starts_with("QTPXV300R003B03") && !inner.starts_with("QTEXV300R001B11")) {
        return false;
    }
    return AtMostModelLine(GroupsOf(local_pub)) && AboveModelLine(GroupsOf(image_pub));
}

int UPDATE_NeedCopyModel() {
    if (!UPDATE_NeedCopyModelFor(UPDATE_LocalInnerVersion(), UPDATE_LocalPubVersion(),
                                 UPDATE_ImagePubVersion())) {
        return 0;
    }
    ULOG("\nneed to cp Mmodel to 20G\n");
    return 1;
}

void UPDATE_CopyModel() {
    (void)UPDATE_System("mkdir /var/fs_disk/model");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    (void)UPDATE_System("cp /usr/bin/RatioB* /var/fs_disk/model/");
}

void UPDATE_ReadLineFrom(int in_fd, int out_fd, char* answer, std::size_t cap) {
    if (answer == nullptr || cap == 0) return;
    std::size_t len = 0;
    bool after_escape = false;
    bool in_sequence = false;
    for (;;) {
        unsigned char c = 0;
        ssize_t n = ::read(in_fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of input ends the line too
        if (c == '\r') break;

        const bool escaped = after_escape;
        after_escape = false;
        if (c == kEscape) {
            after_escape = true;
            continue;
        }
        if (c == '[') {
            if (escaped) in_sequence = true;
            continue;
        }
        if (in_sequence && c >= 'A' && c <= 'D') {  // a cursor key
            in_sequence = false;
            continue;
        }
        if (c == kBackspace || c == kDelete) {
            if (len > 0) {
                --len;
                WriteAll(out_fd, "\b \b");
            }
            continue;
        }
        if (c >= 32 && c <= 126 && len + 1 < cap) {
            answer[len++] = static_cast<char>(c);
            WriteAll(out_fd, std::string_view(reinterpret_cast<const char*>(&c), 1));
        }
    }
    answer[len] = '\0';
}

void UPDATE_ReadLine(char* answer, std::size_t cap) {
    std::fflush(stdout);
    UPDATE_ReadLineFrom(STDIN_FILENO, STDOUT_FILENO, answer, cap);
}

int UPDATE_ConfirmOn(int in_fd, int out_fd) {
    char answer[kAnswerSize] = {};
    {
        TerminalRestore restore(in_fd);
        WriteAll(out_fd,
                 "\r\nplease make sure the device will not be powered off or rebooted while "
                 "updating!");
        WriteAll(out_fd, "\r\nplease confirm (y/n):");

        termios quiet = restore.saved();
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        if (tcsetattr(in_fd, TCSAFLUSH, &quiet) != 0) ULOG_ONLY("Set Attributes First Failed!\n");
        cfmakeraw(&quiet);
        if (tcsetattr(in_fd, TCSAFLUSH, &quiet) != 0) ULOG_ONLY("Set Attributes Second Failed!\n");

        UPDATE_ReadLineFrom(in_fd, out_fd, answer, sizeof(answer));
    }
    std::string_view text(answer);
    return text == "yes" || text == "y" ? 0 : -1;
}

int UPDATE_Confirm() {
    std::fflush(stdout);
    return UPDATE_ConfirmOn(STDIN_FILENO, STDOUT_FILENO);
}

int UPDATE_CountRecords(const char* path, int* count) {
    if (path == nullptr || count == nullptr) return -1;
    sys::UniqueFile file(std::fopen(path, "re"));
    if (!file) return -1;
    int found = 0;
    char line[1024];
    while (std::fgets(line, sizeof(line), file.get()) != nullptr) {
        for (const char* p = std::strstr(line, "Previous"); p != nullptr;
             p = std::strstr(p + 1, "Previous")) {
            ++found;
        }
    }
    *count = found;
    return 0;
}

int UPDATE_TrimRecords(const char* path, int count) {
    if (path == nullptr) return -1;
    std::vector<std::string> lines;
    {
        sys::UniqueFile in(std::fopen(path, "re"));
        if (!in) return -1;
        char chunk[1024];
        while (std::fgets(chunk, sizeof(chunk), in.get()) != nullptr) lines.emplace_back(chunk);
        if (std::ferror(in.get())) return -1;
    }
    const long skip = 3L * count - 3L * kRecordsKept;
    const std::size_t first =
        skip <= 0 ? 0 : std::min(lines.size(), static_cast<std::size_t>(skip));

    // Write the kept lines beside the log and rename, so that a failed write
    // leaves the old log in place.
    const std::string temp = std::string(path) + ".tmp";
    {
        sys::UniqueFile out(std::fopen(temp.c_str(), "we"));
        if (!out) return -1;
        for (std::size_t i = first; i < lines.size(); ++i) {
            if (std::fputs(lines[i].c_str(), out.get()) < 0) {
                out.reset();
                std::remove(temp.c_str());
                return -1;
            }
        }
        if (std::fflush(out.get()) != 0) {
            out.reset();
            std::remove(temp.c_str());
            return -1;
        }
    }
    if (std::rename(temp.c_str(), path) != 0) {
        std::remove(temp.c_str());
        return -1;
    }
    return 0;
}

void UPDATE_AppendRecord(const char* image_inner) {
    // An unreadable version file leaves "Unknown" in the values, which is
    // what the entry then shows.
    VersionFileValues local;
    (void)UPDATE_ReadVersionValues(&local);

    const std::string path = sys::DevicePath(kUpdateRecordPath);
    int count = 0;
    if (UPDATE_CountRecords(path.c_str(), &count) == 0 && count > kRecordsKept) {
        (void)UPDATE_TrimRecords(path.c_str(), count);
    }

    sys::UniqueFile log(std::fopen(path.c_str(), "ae"));
    if (!log) {
        std::printf("Open recent update log file %s failed\n", kUpdateRecordPath);
        std::fflush(stdout);
        return;
    }
    std::fprintf(log.get(), "Previous Verion: %s\n", local.inn);
    std::fprintf(log.get(), "Upgraded Verion: %s\n", image_inner != nullptr ? image_inner : "");
    std::fflush(log.get());
    // The date line is the shell's own, appended after our two lines.
    (void)UPDATE_System("date>>/var/runtime/log/update_record.log");
}
