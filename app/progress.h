// The progress state shared by the worker, the watchdog and the download
// callbacks, and the two status files that outside programs read:
// the rate file "/tmp/update_rate.log" and the download status file
// "/tmp/download_stat.log".
#pragma once

#include <pthread.h>
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

// The process-wide download state. Callers that change it hold the progress mutex.
DOWNLOAD_STAT_S& UPDATE_DownloadStat();

void UPDATE_ReportRate(uint32_t percent);
void UPDATE_ReportResult(int32_t code);
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
