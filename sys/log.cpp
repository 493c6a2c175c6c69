#include "sys/log.h"

#include "sys/text.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace sys {
namespace {

// The stream pointer is guarded so that a worker still logging while the
// main thread closes the log never writes to a closed stream.
std::mutex g_log_mutex;
FILE* g_log = nullptr;

std::string VFormat(const char* fmt, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof(small), fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

bool LogOpen(const char* path, const char* mode) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_log != nullptr) {
        std::fclose(g_log);
        g_log = nullptr;
    }
    // Close-on-exec, so the commands and the second stage never inherit the stream.
    std::string with_cloexec = mode != nullptr ? mode : "a+";
    if (with_cloexec.find('e') == std::string::npos) with_cloexec += 'e';
    g_log = std::fopen(path, with_cloexec.c_str());
    return g_log != nullptr;
}

void LogClose() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_log != nullptr) {
        std::fclose(g_log);
        g_log = nullptr;
    }
}

bool LogIsOpen() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log != nullptr;
}

int LogFd() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log != nullptr ? fileno(g_log) : -1;
}

void FormatLogStamp(long epoch_seconds, char (&date)[12], char (&time)[12]) {
    time_t t = static_cast<time_t>(epoch_seconds);
    struct tm tmv {};
    localtime_r(&t, &tmv);
    // Formatted wide, then cut to the 12-character fields.
    char wide[64];
    std::snprintf(wide, sizeof(wide), "%.4d-%.2d-%.2d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday);
    CopyText(date, wide);
    std::snprintf(wide, sizeof(wide), "%.2d:%.2d:%.2d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    CopyText(time, wide);
}

void LogWriteV(Sink sink, const char* unit, int line, const char* fmt, va_list ap) {
    std::string message = VFormat(fmt, ap);
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        if (g_log != nullptr) {
            char date[12];
            char time[12];
            FormatLogStamp(static_cast<long>(std::time(nullptr)), date, time);
            // One write per line, so lines of the two threads never mix.
            std::string text = std::string(date) + " " + time + "[" + unit + " " +
                               std::to_string(line) + "]" + message;
            std::fputs(text.c_str(), g_log);
            std::fflush(g_log);
        }
    }
    if (sink == Sink::LogAndPrint) {
        std::fputs(message.c_str(), stdout);
        std::fflush(stdout);
    }
}

void LogWrite(Sink sink, const char* unit, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    LogWriteV(sink, unit, line, fmt, ap);
    va_end(ap);
}

}  // namespace sys
