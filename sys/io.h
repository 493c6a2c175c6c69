// Whole reads and writes on descriptors, retried across interruptions and
// short transfers.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>

namespace sys {

// Reads until len bytes or the end of the file: the count read, or -1.
ssize_t ReadFull(int fd, void* buf, std::size_t len);
// The same at a file offset, leaving the descriptor's position alone.
ssize_t PreadFull(int fd, void* buf, std::size_t len, uint64_t offset);
// Writes all bytes; false on failure.
bool WriteFull(int fd, const void* buf, std::size_t len);

}  // namespace sys
