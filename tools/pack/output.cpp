#include "tools/pack/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sys/io.h"

namespace pack {
namespace {

// The temporary files to remove on a signal: plain arrays, so that the
// handler reads nothing a signal could catch half-written (updates happen
// with the signals blocked).
constexpr int kSlots = 4;
constexpr size_t kPathMax = 4096;
char g_temps[kSlots][kPathMax];
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

class BlockSignals {
  public:
    BlockSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kCleanupSignals) sigaddset(&set, s);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~BlockSignals() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    BlockSignals(const BlockSignals&) = delete;
    BlockSignals& operator=(const BlockSignals&) = delete;

  private:
    sigset_t old_{};
};

void OnSignal(int sig) {
    for (auto& slot : g_temps) {
        if (slot[0] != '\0') ::unlink(slot);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

std::string DirOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string CheckOutput(const std::string& target, const std::vector<std::string>& inputs) {
    if (target == "-") return "";
    for (const std::string& in : inputs) {
        if (in == target) return "the output '" + target + "' is also an input";
    }
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
        if (errno == ENOENT) return "";
        return "cannot check the output '" + target + "': " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return "the output '" + target + "' exists and is not a regular file (" +
               (S_ISLNK(st.st_mode)   ? "a symbolic link"
                : S_ISDIR(st.st_mode) ? "a directory"
                                      : "a device, pipe or socket") +
               "); it is never replaced (use -o - for standard output)";
    }
    for (const std::string& in : inputs) {
        struct stat is {};
        if (::stat(in.c_str(), &is) == 0 && is.st_dev == st.st_dev && is.st_ino == st.st_ino) {
            return "the output '" + target + "' is the input '" + in + "'";
        }
    }
    return "";
}

void InstallCleanupHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : kCleanupSignals) sigaddset(&sa.sa_mask, s);
    for (int s : kCleanupSignals) {
        struct sigaction old {};
        // A signal ignored by whoever started us stays ignored.
        if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &sa, nullptr);
    }
}

void TrackTemp(const std::string& path) {
    if (path.size() >= kPathMax) return;
    BlockSignals block;
    for (auto& slot : g_temps) {
        if (slot[0] == '\0') {
            std::memcpy(slot, path.c_str(), path.size() + 1);
            return;
        }
    }
}

void UntrackTemp(const std::string& path) {
    BlockSignals block;
    for (auto& slot : g_temps) {
        if (path == slot) slot[0] = '\0';
    }
}

TempFile::TempFile(const std::string& beside, const char* tag) {
    std::string dir;
    std::string base;
    if (beside == "-") {
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
        base = "update-pack";
    } else {
        dir = DirOf(beside);
        const size_t slash = beside.rfind('/');
        base = slash == std::string::npos ? beside : beside.substr(slash + 1);
    }
    std::string tmpl = dir + "/." + base + "." + tag + "-XXXXXX";
    BlockSignals block;  // created and tracked as one step
    fd_.reset(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd_) return;
    path_ = tmpl;
    TrackTemp(path_);
}

TempFile::~TempFile() {
    if (path_.empty()) return;
    ::unlink(path_.c_str());
    UntrackTemp(path_);
}

bool TempFile::RenameTo(const std::string& target) {
    if (fd_ && (::fchmod(fd_.get(), 0644) != 0 || ::fsync(fd_.get()) != 0)) return false;
    fd_.reset();
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    UntrackTemp(path_);
    path_.clear();
    return true;
}

bool Output::Open(std::string* why) {
    temp_ = std::make_unique<TempFile>(target_, "tmp");
    if (!temp_->ok()) {
        *why = "cannot make a temporary file for '" + target_ + "': " + std::strerror(errno);
        return false;
    }
    if (ToStdout()) {  // nothing by that name need outlive us
        ::unlink(temp_->path().c_str());
    }
    return true;
}

bool Output::Commit(std::string* why) {
    if (!ToStdout()) {
        if (temp_->RenameTo(target_)) return true;
        *why = "cannot write '" + target_ + "': " + std::strerror(errno);
        return false;
    }
    constexpr size_t kChunk = 262144;
    std::unique_ptr<char[]> buf(new char[kChunk]);
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(temp_->fd(), buf.get(), kChunk, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::string("cannot read back the output: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        if (!sys::WriteFull(STDOUT_FILENO, buf.get(), static_cast<size_t>(n))) {
            *why = std::string("cannot write to standard output: ") + std::strerror(errno);
            return false;
        }
        at += n;
    }
    return true;
}

}  // namespace pack
