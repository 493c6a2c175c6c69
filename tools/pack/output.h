// The files update-pack writes. A pipeline may name anything as an output,
// so every output is checked before anything is opened for writing: it must
// not be one of the command's inputs (same path, or the same device and
// inode), and an existing target must be a regular file (a rename would
// replace a link, a device node or a directory entry). "-" is standard
// output. A file is written to a temporary file beside it, made 0644 and
// renamed into place only when complete; the temporary file is removed on
// any failure and on SIGINT, SIGTERM and SIGHUP.
#pragma once

#include <string>
#include <vector>

#include <memory>

#include "sys/fd.h"

namespace pack {

// "" when `target` may be written by a command that reads `inputs`;
// otherwise the reason ("-" always may).
std::string CheckOutput(const std::string& target, const std::vector<std::string>& inputs);

// Removes the registered temporary files on SIGINT, SIGTERM and SIGHUP, then
// dies of the signal. Called once by main.
void InstallCleanupHandlers();
// A temporary file to remove should the process be killed (at most a few at once).
void TrackTemp(const std::string& path);
void UntrackTemp(const std::string& path);

// A temporary file of the caller's own, tracked and removed when the object
// dies unless Keep() was called. `beside` names the file it stands for: the
// temporary file is made in the same directory (in $TMPDIR for "-").
class TempFile {
  public:
    TempFile(const std::string& beside, const char* tag);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    bool ok() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    void CloseFd() { fd_.reset(); }
    // Renames it to target (after fsync and chmod 0644); false with errno set.
    bool RenameTo(const std::string& target);

  private:
    std::string path_;
    sys::UniqueFd fd_;
};

// One output of a command: Open, write to fd(), Commit. For "-" the bytes
// are kept in an unnamed temporary file and copied to standard output on
// Commit (the package writer reads its output back and writes its head
// last, so the bytes cannot go out as they are made).
class Output {
  public:
    explicit Output(std::string target) : target_(std::move(target)) {}
    bool Open(std::string* why);
    int fd() const { return temp_ ? temp_->fd() : -1; }
    const std::string& name() const { return target_; }
    bool ToStdout() const { return target_ == "-"; }
    bool Commit(std::string* why);

  private:
    std::string target_;
    std::unique_ptr<TempFile> temp_;
};

}  // namespace pack
