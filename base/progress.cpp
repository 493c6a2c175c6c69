#include "base/progress.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

// Statically initialised so that reports work before the entry initialises
// it again (the debug path reports without that step).
pthread_mutex_t g_progress_mutex = PTHREAD_MUTEX_INITIALIZER;

struct ProgressState {
    int32_t error;
    int32_t percent;
    int32_t done;
};
ProgressState g_progress{};
DOWNLOAD_STAT_S g_download{};

// Signalled when the state reaches an end (an error, the done flag, a percent
// above 99), so that the watchdog need not wait for its next poll. Its clock
// is monotonic: setting the date during an update must not stretch a wait.
pthread_cond_t* EndCondition() {
    static pthread_cond_t* cond = [] {
        static pthread_cond_t c;
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&c, &attr);
        pthread_condattr_destroy(&attr);
        return &c;
    }();
    return cond;
}

// Caller holds the progress mutex.
bool AtEnd() {
    return g_progress.error != 0 || g_progress.done == 1 || g_progress.percent > 99;
}
void SignalIfAtEnd() {
    if (AtEnd()) pthread_cond_broadcast(EndCondition());
}

struct DownloadReading {
    uint32_t status;
    uint32_t percent;
};

// Reads the download status file the cloud fetch writes. A missing file
// counts as a failed download, one that exists but cannot be opened as
// unreadable. A file that opens but does not parse (empty, as just created by
// the fetch, or cut short) is a download with no data yet: a parsed status
// holds, missing values read as "prepared" and 0 %.
DownloadReading ReadDownloadStat() {
    const std::string path = sys::DevicePath(kDownloadStatPath);
    if (::access(path.c_str(), F_OK) != 0) return {kDownloadFailed, 0};

    sys::UniqueFile file(std::fopen(path.c_str(), "re"));
    if (!file) {
        ULOG("failed to open");
        return {kDownloadUnreadable, 0};
    }
    // The fetch replaces the content under an exclusive lock (truncate, then
    // write); reading under a shared lock never sees it half-written.
    const int fd = fileno(file.get());
    int locked;
    do {
        locked = ::flock(fd, LOCK_SH);
    } while (locked != 0 && errno == EINTR);
    unsigned status = kDownloadPrepared;
    unsigned percent = 0;
    // What does not parse keeps its default (behaviour.md, Fetching).
    const int parsed = std::fscanf(file.get(), "Stat:%u,DownladRate:%u", &status, &percent);
    (void)parsed;
    if (locked == 0) ::flock(fd, LOCK_UN);
    return {status, percent};
}

// Folds the download's own percent into p while a cloud download is part of
// the run: the download fills 0 to 50, everything after it 50 to 100.
uint32_t FoldDownload(uint32_t percent) {
    if (percent > 100) return percent;
    bool cloud = false;
    {
        ProgressLock lock;
        cloud = g_download.url[0] != '\0';
    }
    if (!cloud) return percent;

    DownloadReading reading = ReadDownloadStat();
    if (reading.status == kDownloadRunning || reading.status == kDownloadPrepared) {
        // A download percent above 100 (more data than announced, or a
        // foreign file) counts as 100: the fold alone must never reach the
        // watchdog's success mark while the download still runs.
        const uint32_t download = reading.percent < 100 ? reading.percent : 100;
        return (download + percent) / 2;
    }
    ULOG("Download failed err is[%u]\n", reading.status);
    (void)UPDATE_System("rm -rf /tmp/download_stat.log");
    return kRateFailed;
}

// True when the file at path holds exactly text (n bytes).
bool Holds(const std::string& path, const char* text, int n) {
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    char now[16];  // one more than any rate text, so a longer file never matches
    const ssize_t got = ::read(fd.get(), now, sizeof(now));
    return got == n && std::memcmp(now, text, static_cast<size_t>(n)) == 0;
}

void WriteRateFile(uint32_t percent) {
    char text[16];
    int n = std::snprintf(text, sizeof(text), "%u", percent);
    const std::string path = sys::DevicePath(kRateFilePath);
    // A download reports many times with the same figure: a rate file that
    // already says it is left alone, and a reader never finds it truncated.
    if (n > 0 && Holds(path, text, n)) return;
    sys::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        ULOG_ONLY("failed to open %s fd %d \n", kRateFilePath, fd.get());
        return;
    }
    if (n > 0) {
        // A failed write leaves an old or empty rate file; the update goes on.
        ssize_t ignored = ::write(fd.get(), text, static_cast<size_t>(n));
        (void)ignored;
    }
}

}  // namespace

pthread_mutex_t* UPDATE_ProgressMutex() {
    return &g_progress_mutex;
}

int UPDATE_InitProgressMutex() {
    // Called before the worker exists, so nobody holds the mutex here.
    pthread_mutex_destroy(&g_progress_mutex);
    return pthread_mutex_init(&g_progress_mutex, nullptr) == 0 ? 0 : -1;
}

void UPDATE_ResetProgress() {
    ProgressLock lock;
    g_progress = ProgressState{};
    std::memset(&g_download, 0, sizeof(g_download));
}

ProgressSnapshot UPDATE_ReadProgress() {
    ProgressLock lock;
    return ProgressSnapshot{g_progress.error, g_progress.percent, g_progress.done};
}

void UPDATE_SetDone() {
    ProgressLock lock;
    g_progress.percent = 0;
    g_progress.done = 1;
    SignalIfAtEnd();
}

bool UPDATE_WaitForEnd(std::chrono::milliseconds timeout) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto ms = timeout.count();
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    ProgressLock lock;
    while (!AtEnd()) {
        // 0 is a signal (or a spurious wake-up); anything else ends the wait.
        if (pthread_cond_timedwait(EndCondition(), UPDATE_ProgressMutex(), &deadline) != 0) break;
    }
    return AtEnd();
}

DOWNLOAD_STAT_S& UPDATE_DownloadStat() {
    return g_download;
}

namespace {
void ReportRate(uint32_t percent, bool store_failure) {
    uint32_t p = FoldDownload(percent);
    WriteRateFile(p);

    ProgressLock lock;
    if (p == kRateFailed) {
        if (!store_failure) return;
        g_progress.error = -1;
    } else {
        g_progress.percent = static_cast<int32_t>(p);
        g_progress.done = 0;
    }
    SignalIfAtEnd();
}
}  // namespace

void UPDATE_ReportRate(uint32_t percent) {
    ReportRate(percent, true);
}

void UPDATE_ReportRateBeforeResult(uint32_t percent) {
    ReportRate(percent, false);
}

void UPDATE_ReportResult(int32_t code) {
    WriteRateFile(kRateFailed);

    // The failure and its final code are stored together, so the watchdog
    // never sees the generic -1 in place of the real code.
    ProgressLock lock;
    if (code != 0) {
        g_progress.error = code;
    } else {
        // A failure reported without a code still ends the run with -1.
        g_progress.error = -1;
        g_progress.percent = 0;
        g_progress.done = 0;
    }
    SignalIfAtEnd();
}

void UPDATE_CleanTmp() {
    (void)UPDATE_System("rm -rf /tmp/Program.bin /tmp/psResult");
}

void UPDATE_CleanAll() {
    UPDATE_CleanTmp();
    (void)UPDATE_System("rm -rf /tmp/update_rate.log");
}
