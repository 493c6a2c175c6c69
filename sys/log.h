// The one log facility: a dated line "%s %s[%s %d]" plus the message in the
// update log, and the message alone on standard output.
//
// Each source file names its unit once, for example
//   namespace { constexpr const char* kLogUnit = sys::kUnitUpdate; }
// and then logs with ULOG (log and print) or ULOG_ONLY (log only).
#pragma once

#include <cstdarg>

namespace sys {

inline constexpr const char* kUnitUpdate = "update.cpp";
inline constexpr const char* kUnitComm = "update_comm.cpp";
inline constexpr const char* kUnitNvram = "update_nvram.cpp";
inline constexpr const char* kUnitVerCmp = "ver_cmp.cpp";

inline constexpr const char* kUpdateLogPath = "/var/log/update.log";

enum class Sink { LogAndPrint, LogOnly };

// Opens the log stream (closing a previous one); false when it cannot be opened.
bool LogOpen(const char* path, const char* mode = "a+");
void LogClose();
[[nodiscard]] bool LogIsOpen();
// Descriptor of the open log, or -1.
[[nodiscard]] int LogFd();

void LogWrite(Sink sink, const char* unit, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void LogWriteV(Sink sink, const char* unit, int line, const char* fmt, va_list ap);

// Formats date and time of a moment as the log line shows them.
void FormatLogStamp(long epoch_seconds, char (&date)[12], char (&time)[12]);

}  // namespace sys

#define ULOG(...) ::sys::LogWrite(::sys::Sink::LogAndPrint, kLogUnit, __LINE__, __VA_ARGS__)
#define ULOG_ONLY(...) ::sys::LogWrite(::sys::Sink::LogOnly, kLogUnit, __LINE__, __VA_ARGS__)
