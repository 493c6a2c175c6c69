// Small RAII holders for descriptors, streams and pipes, so that every path
// closes what it opened.
#pragma once

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace sys {

// Move-only file descriptor; closing keeps errno so callers can still report
// the error that made them give up.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Move-only stdio stream.
class UniqueFile {
  public:
    UniqueFile() = default;
    explicit UniqueFile(FILE* f) : f_(f) {}
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) reset(std::exchange(other.f_, nullptr));
        return *this;
    }
    ~UniqueFile() { reset(); }

    [[nodiscard]] FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    void reset(FILE* f = nullptr) {
        if (f_ != nullptr) {
            int saved = errno;
            std::fclose(f_);
            errno = saved;
        }
        f_ = f;
    }

  private:
    FILE* f_ = nullptr;
};

}  // namespace sys
