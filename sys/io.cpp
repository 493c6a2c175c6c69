#include "sys/io.h"

#include <unistd.h>
#include <cerrno>

namespace sys {
namespace {

// Repeats one transfer step until len bytes moved, the end, or an error.
template <typename Step>
ssize_t Loop(std::size_t len, Step step) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = step(done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t ReadFull(int fd, void* buf, std::size_t len) {
    auto* p = static_cast<char*>(buf);
    return Loop(len, [&](std::size_t done) { return ::read(fd, p + done, len - done); });
}

ssize_t PreadFull(int fd, void* buf, std::size_t len, uint64_t offset) {
    auto* p = static_cast<char*>(buf);
    return Loop(len, [&](std::size_t done) {
        return ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
    });
}

bool WriteFull(int fd, const void* buf, std::size_t len) {
    const auto* p = static_cast<const char*>(buf);
    return Loop(len, [&](std::size_t done) { return ::write(fd, p + done, len - done); }) ==
           static_cast<ssize_t>(len);
}

}  // namespace sys
