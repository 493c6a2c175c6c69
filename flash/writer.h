// The sub-image writers: put a byte range of a file into a partition with
// the commands of the platform's flash kind, retry where flash writes fail
// transiently, and report the outcome.
//
//   UPDATE_WriteFlash   writes a sub-image straight out of the package (the
//                       tools of this program at "/tmp/busybox");
//   UPDATE_WriteImage   writes one image file fetched by itself (the
//                       firmware's "/bin/busybox").
//
// Both refuse an image longer than its partition before anything is erased
// or written. NOR and NAND writes are tried ten times with a pause of one
// second; an eMMC copy runs once, is flushed, and is then read back from the
// device and compared with the image bytes in the file. Every command goes
// through the one runner (sys/runner.h), so unit tests compare the command
// lines with a recording runner and pass their own pause.
#pragma once

#include <cstdint>
#include <functional>

// Runs a command line without a shell, split at blanks and tabs: the
// runner's result, -1 for a line of 512 characters or more, more than 30
// words or a word of more than 63 characters, or the error number when
// memory cannot be had.
[[nodiscard]] int UPDATE_ExecLine(const char* cmd);

// 0 written; -1 write failed or refused; any other value is the failed
// erase command's result.
[[nodiscard]] int UPDATE_WriteFlash(const char* dev, const char* file, int64_t partSize,
                                    uint64_t flashType, uint64_t fileOffset, uint64_t length,
                                    uint64_t flashOffset);
[[nodiscard]] int UPDATE_WriteImage(const char* dev, const char* file, int64_t partSize,
                                    uint64_t flashType, uint64_t fileOffset, uint64_t length,
                                    uint64_t flashOffset);

namespace flash {

// One write: the arguments of the writers above.
struct WriteRequest {
    const char* dev = nullptr;
    const char* file = nullptr;
    int64_t partSize = 0;
    uint64_t flashType = 0;
    uint64_t fileOffset = 0;
    uint64_t length = 0;
    uint64_t flashOffset = 0;
};

// What a writer needs from the system besides the runner; empty members
// take the real behaviour.
struct WriterEnv {
    // The pause between two attempts of a NOR or NAND write (seconds).
    std::function<void(unsigned)> sleep;
    // Reads length bytes of target from its start back and compares them with
    // file from offset: 0 when equal, -1 otherwise (the default is
    // VerifyCopy).
    std::function<int(const char* target, const char* file, uint64_t offset, uint64_t length)>
        verify;
};

[[nodiscard]] int WriteFlash(const WriteRequest& req, const WriterEnv& env);
[[nodiscard]] int WriteImage(const WriteRequest& req, const WriterEnv& env);

// The size of an MTD device as its driver reports it (MEMGETINFO); 0 when
// dev is no MTD device. Bounds an image whose layout row is empty.
[[nodiscard]] int64_t DeviceSize(const char* dev);

// The read-back of an eMMC write: drops the device's cached pages, then
// compares the first length bytes of target with length bytes of file from
// offset, or, where the package check kept digests of file (it was too big
// for a copy in RAM), with that sub-image's digest. 0 when they are equal;
// -1 (with the reason logged) otherwise.
[[nodiscard]] int VerifyCopy(const char* target, const char* file, uint64_t offset,
                             uint64_t length);

}  // namespace flash
