// The progress state shared by the worker, the watchdog and the download
// callbacks, and the two status files that outside programs read:
// the rate file "/tmp/update_rate.log" and the download status file
// "/tmp/download_stat.log".
#pragma once

#include <pthread.h>
#include <chrono>
#include <cstddef>
#include <cstdint>

inline constexpr const char* kRateFilePath = "/tmp/update_rate.log";
inline constexpr const char* kDownloadStatPath = "/tmp/download_stat.log";
inline constexpr uint32_t kRateFailed = 101;

// Download status codes.
inline constexpr uint32_t kDownloadRunning = 0;
inline constexpr uint32_t kDownloadPrepared = 1;
inline constexpr uint32_t kDownloadTooSmall = 2;
inline constexpr uint32_t kDownloadFailed = 4;
inline constexpr uint32_t kDownloadUnreadable = 5;

struct DOWNLOAD_STAT_S {
    double total;
    double received;
    uint32_t rate;
    uint32_t status;
    char url[256];
    char local_path[128];
};
static_assert(offsetof(DOWNLOAD_STAT_S, rate) == 16);
static_assert(offsetof(DOWNLOAD_STAT_S, url) == 24);
static_assert(offsetof(DOWNLOAD_STAT_S, local_path) == 280);
static_assert(sizeof(DOWNLOAD_STAT_S) == 408);

struct ProgressSnapshot {
    int32_t error;
    int32_t percent;
    int32_t done;
};

// The one progress mutex; usable from process start.
pthread_mutex_t* UPDATE_ProgressMutex();
// Initialises the mutex again with default attributes (entry, before the worker starts).
[[nodiscard]] int UPDATE_InitProgressMutex();

// Sets error code, percent and done flag to 0 and zeroes the download state.
void UPDATE_ResetProgress();
// Reads the three values under the mutex.
ProgressSnapshot UPDATE_ReadProgress();
// Check mode's end: percent 0 and done flag 1, under the mutex.
void UPDATE_SetDone();
// Waits at most timeout for the state to reach an end (an error code, the
// done flag or a percent above 99); true when it has. Call it without
// holding the progress mutex.
bool UPDATE_WaitForEnd(std::chrono::milliseconds timeout);

// The process-wide download state. Callers that change it hold the progress mutex.
DOWNLOAD_STAT_S& UPDATE_DownloadStat();

// The only ways other parts report; call them without holding the progress mutex.
// Reports percent (kRateFailed = the update failed) to the rate file and the
// state. While a cloud download is part of the run, a percent of at most 100 is
// averaged with the download's own percent, and a failed download turns the
// report into a failure.
void UPDATE_ReportRate(uint32_t percent);
// The same report from a caller that ends at once with a failure code of its
// own: a failed download it finds is logged and written as "101", but the
// error code is left to the caller's UPDATE_ReportResult, so the watchdog
// sees that code and never a generic -1 before it.
void UPDATE_ReportRateBeforeResult(uint32_t percent);
// Reports a failed run: rate file "101" and, in one step, the error code
// (a code of 0 still ends the run with -1).
void UPDATE_ReportResult(int32_t code);
// "rm -rf /tmp/Program.bin /tmp/psResult"; CleanAll also removes the rate file.
void UPDATE_CleanTmp();
void UPDATE_CleanAll();

// Holds the progress mutex for a scope.
class ProgressLock {
  public:
    ProgressLock() { pthread_mutex_lock(UPDATE_ProgressMutex()); }
    ~ProgressLock() { pthread_mutex_unlock(UPDATE_ProgressMutex()); }
    ProgressLock(const ProgressLock&) = delete;
    ProgressLock& operator=(const ProgressLock&) = delete;
};
