// Making the running system safe to rewrite (services stopped, libraries and
// tools moved to RAM), the model-file copy of some version transitions, the
// console confirmation before a boot-loader update, and the update record log.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

// The short history of version changes: entries of three lines each
// ("Previous Verion: ...", "Upgraded Verion: ...", the output of date).
inline constexpr const char* kUpdateRecordPath = "/var/runtime/log/update_record.log";
// Entries kept before a new one is appended.
inline constexpr int kRecordsKept = 9;
// Size of the answer buffer of the confirmation; characters beyond it are dropped.
inline constexpr std::size_t kAnswerSize = 64;

// True once UPDATE_StopServices has run in this process.
[[nodiscard]] bool UPDATE_ServicesStopped();
// Stops the recorder's services and database; results ignored. After the
// stop commands it waits for "daemon" and "core" (at most 3 s), after
// "killall postgres" for "postgres" (at most 1 s), ending each wait as soon
// as no such process is left. Runs at most once per process: a second call
// returns at once.
void UPDATE_StopServices();

// Copies libc, libcrypt, the dynamic loader, busybox and the flash tools to
// "/var/cmdtmp" and binds them over the originals. 0, or -1 when the
// loader's file name cannot be read.
[[nodiscard]] int UPDATE_PrepareTools();

// 1 when the model files must be copied to the data disk, else 0. Reads the
// version values kept by the validity check, so call it after that check.
[[nodiscard]] int UPDATE_NeedCopyModel();
// The rule itself, on explicit values: installed inner and public version,
// the package's public version.
[[nodiscard]] bool UPDATE_NeedCopyModelFor(const char* local_inner, const char* local_pub,
                                           const char* image_pub);
void UPDATE_CopyModel();

// Asks the operator on the console; 0 when the answer is "yes" or "y", else -1.
[[nodiscard]] int UPDATE_Confirm();
// Same on a chosen terminal: questions and echo go to out_fd, the answer is
// read from in_fd (a terminal, or anything readable).
[[nodiscard]] int UPDATE_ConfirmOn(int in_fd, int out_fd);
// Reads one answer line (ended by a carriage return, or by end of input) into
// answer (cap bytes, always NUL-terminated); echoes what it keeps to out_fd.
// The terminal is expected in raw mode.
void UPDATE_ReadLine(char* answer, std::size_t cap);
void UPDATE_ReadLineFrom(int in_fd, int out_fd, char* answer, std::size_t cap);

// Number of entries (lines holding "Previous") of the record log. 0, or -1
// when the file cannot be read (count left untouched).
[[nodiscard]] int UPDATE_CountRecords(const char* path, int* count);
// Drops the oldest entries of a log of count entries so that 9 remain.
// 0, or -1 when the file cannot be read or rewritten.
[[nodiscard]] int UPDATE_TrimRecords(const char* path, int count);
// Appends one entry to the record log: the installed inner version (from the
// version file), the package's inner version and the date; first drops the
// oldest entries so that at most 10 remain afterwards.
void UPDATE_AppendRecord(const char* image_inner);

// How the service stop and the tool preparation pause, and a reset of the
// process-wide services-stopped flag (for a run that starts afresh).
using PrepareSleepFn = std::function<void(std::chrono::milliseconds)>;
void UPDATE_SetPrepareSleep(PrepareSleepFn sleep);  // empty: real sleeps
void UPDATE_ResetServicesStopped();
