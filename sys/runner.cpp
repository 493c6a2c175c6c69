#include "sys/runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sys/fd.h"
#include "sys/log.h"
#include "sys/quote.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
}

namespace sys {
namespace {

class RealRunnerImpl : public Runner {
  public:
    int System(const char* cmd) override { return SystemShown(cmd, cmd); }
    int SystemShown(const char* cmd, const char* shown) override;
    int PlainSystem(const char* cmd) override { return std::system(cmd); }
    int Exec(const std::vector<std::string>& argv) override;
    int ReadCommand(const char* cmd, std::string& out, std::size_t max_bytes) override;
    int Replace(const char* path, char* const argv[]) override {
        execv(path, argv);
        return -1;
    }
};

// SIGINT and SIGQUIT are ignored while any shell child runs, as system()
// does: the first of overlapping calls saves the process's dispositions and
// the last restores them, so parallel calls (the deciphering jobs) never
// save each other's "ignore" and leave it behind.
class IgnoreInterrupts {
  public:
    IgnoreInterrupts() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (users_++ == 0) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGINT, &ignore, &saved_int_);
            sigaction(SIGQUIT, &ignore, &saved_quit_);
        }
        int_ = saved_int_;
        quit_ = saved_quit_;
    }
    ~IgnoreInterrupts() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--users_ == 0) {
            sigaction(SIGINT, &saved_int_, nullptr);
            sigaction(SIGQUIT, &saved_quit_, nullptr);
        }
    }
    IgnoreInterrupts(const IgnoreInterrupts&) = delete;
    IgnoreInterrupts& operator=(const IgnoreInterrupts&) = delete;
    // The dispositions a child takes back (async-signal-safe to read).
    struct sigaction int_ {};
    struct sigaction quit_ {};

  private:
    static inline std::mutex mutex_;
    static inline int users_ = 0;
    static inline struct sigaction saved_int_ {};
    static inline struct sigaction saved_quit_ {};
};

// Runs "sh -c cmd" and waits for it: the wait status, or -1 with err set when
// the fork or the wait failed.
int ShellStatus(const char* cmd, int& err) {
    const IgnoreInterrupts interrupts;
    sigset_t block;
    sigset_t saved_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &saved_mask);

    int status = -1;
    pid_t pid = vfork();
    if (pid == 0) {
        sigaction(SIGINT, &interrupts.int_, nullptr);
        sigaction(SIGQUIT, &interrupts.quit_, nullptr);
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
        execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
        _exit(127);
    }
    err = 0;
    if (pid < 0) {
        err = errno;
    } else {
        int wstatus = 0;
        pid_t got;
        do {
            got = wait4(pid, &wstatus, 0, nullptr);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            err = errno;
        } else {
            status = wstatus;
        }
    }

    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    return pid < 0 || err != 0 ? -1 : status;
}

int RealRunnerImpl::SystemShown(const char* cmd, const char* shown) {
    if (cmd == nullptr) return -1;
    int err = 0;
    const int status = ShellStatus(cmd, err);
    // The log is copied to persistent storage: only the shown text goes there.
    if (shown == nullptr) shown = cmd;
    if (status == -1) {
        ULOG("system: Failed to execute %s error-%s\n", shown, std::strerror(err));
        return -1;
    }
    if (WIFSIGNALED(status)) {
        ULOG("system: Abnormal signal termination, exit status: %d cmd: %s\n", WTERMSIG(status),
             shown);
        return WTERMSIG(status);
    }
    if (WIFSTOPPED(status)) {
        ULOG("system: Process stopped, signal number: %d cmd: %s\n", WSTOPSIG(status), shown);
        return WSTOPSIG(status);
    }
    if (WIFCONTINUED(status)) {
        ULOG("system: Process continued, cmd: %s\n", shown);
        return 255;
    }
    return WEXITSTATUS(status);
}

int RealRunnerImpl::Exec(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The child reports a failed exec through a close-on-exec pipe, so that
    // the message is written by the parent, never from the vfork child.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ULOG("Failed to vfork %s\n", std::strerror(errno));
        return -1;
    }
    UniqueFd rd(fds[0]);
    UniqueFd wr(fds[1]);

    pid_t pid = vfork();
    if (pid < 0) {
        ULOG("Failed to vfork %s\n", std::strerror(errno));
        return -1;
    }
    if (pid == 0) {
        execv(args[0], args.data());
        int err = errno;
        ssize_t ignored = write(fds[1], &err, sizeof(err));
        (void)ignored;
        _exit(1);
    }
    wr.reset();
    int child_errno = 0;
    ssize_t got_errno;
    do {
        got_errno = read(rd.get(), &child_errno, sizeof(child_errno));
    } while (got_errno < 0 && errno == EINTR);
    if (got_errno == static_cast<ssize_t>(sizeof(child_errno))) {
        ULOG("Failed to exe cmd %s\n", std::strerror(child_errno));
    }

    for (;;) {
        int wstatus = 0;
        pid_t got = waitpid(pid, &wstatus, WUNTRACED | WCONTINUED);
        if (got < 0 && errno == EINTR) continue;
        if (got != pid) break;
        if (WIFSIGNALED(wstatus)) {
            ULOG("%d killed by signal %d\n", static_cast<int>(pid), WTERMSIG(wstatus));
            return -1;
        }
        if (WIFSTOPPED(wstatus)) {
            ULOG("%d stopped by signal %d\n", static_cast<int>(pid), WSTOPSIG(wstatus));
            continue;
        }
        if (WIFCONTINUED(wstatus)) {
            ULOG("%d continued by signal\n", static_cast<int>(pid));
            continue;
        }
        if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    }
    ULOG("Failed to waitpid %s\n", std::strerror(errno));
    return -1;
}

int RealRunnerImpl::ReadCommand(const char* cmd, std::string& out, std::size_t max_bytes) {
    out.clear();
    FILE* pipe = popen(cmd, "re");
    if (pipe == nullptr) return -1;
    char buf[4096];
    while (out.size() < max_bytes) {
        std::size_t want = std::min(sizeof(buf), max_bytes - out.size());
        std::size_t n = std::fread(buf, 1, want, pipe);
        if (n == 0) break;
        out.append(buf, n);
    }
    // Drain the rest so the command is not killed by SIGPIPE half-way.
    while (std::fread(buf, 1, sizeof(buf), pipe) > 0) {
    }
    pclose(pipe);
    return 0;
}

Runner* g_runner = nullptr;

}  // namespace

Runner& RealRunner() {
    static RealRunnerImpl real;
    return real;
}

Runner& CurrentRunner() {
    return g_runner != nullptr ? *g_runner : RealRunner();
}

void SetRunner(Runner* runner) {
    g_runner = runner;
}

ScopedRunner::ScopedRunner(Runner& runner) : previous_(g_runner) {
    g_runner = &runner;
}
ScopedRunner::~ScopedRunner() {
    g_runner = previous_;
}

}  // namespace sys

int UPDATE_System(const char* cmd) {
    return sys::CurrentRunner().System(cmd);
}

int UPDATE_SystemMasked(const char* cmd, const char* shown) {
    return sys::CurrentRunner().SystemShown(cmd, shown);
}

int UPDATE_Exec(const std::vector<std::string>& argv) {
    return sys::CurrentRunner().Exec(argv);
}

int FUNC_CountPid(const char* name) {
    if (name == nullptr) return -1;
    // pidof matches process names and the base names of argv[0] and of the
    // executable, never a path: an updater started as "/usr/bin/update" is
    // counted as "update".
    const char* slash = std::strrchr(name, '/');
    name = slash != nullptr ? slash + 1 : name;
    char cmd[512];
    std::snprintf(cmd, sizeof(cmd), "pidof %s > /tmp/psResult", sys::ShellQuote(name).c_str());
    (void)UPDATE_System(cmd);

    std::string text;
    if (sys::CurrentRunner().ReadCommand("cat /tmp/psResult", text, 4096) != 0) {
        ULOG_ONLY("FUNC_CountPid(),open pipeline err");
        return -1;
    }
    // One line of at most 500 characters.
    std::string line =
        text.substr(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
    if (line.size() > 500) line.resize(500);
    if (line.empty()) {
        ULOG_ONLY("fgets psResult file failed");
        return -1;
    }
    int count = 1;
    for (char c : line) {
        if (c == ' ') ++count;
    }
    ULOG_ONLY("Runing %s count is: %d\n", name, count);
    (void)UPDATE_System("rm -rf /tmp/psResult");
    return count;
}
