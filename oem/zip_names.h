// Checks the member names of a zip archive before anything unpacks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace oem {

// 0 when every member of the archive at `path` (a device path) unpacks under
// `top` (for example "oem/"): no absolute name, no ".." component, no
// link or special file, no name twice, and the local headers that a streaming
// unzip reads agree with the central directory, name for name. -1 otherwise,
// with the reason in `why`.
[[nodiscard]] int CheckZipNames(const char* path, const char* top, std::string& why);
// The same for an archive stored at [offset, offset + size) of an open file
// (a host descriptor); the member names are added to `names` when given.
[[nodiscard]] int CheckZipRegion(int fd, uint64_t offset, uint64_t size, const char* top,
                                 std::string& why, std::vector<std::string>* names);

// One member of an archive that WriteStoredZip makes.
struct ZipMember {
    std::string name;  // a directory ends with '/'
    std::string data;
    uint32_t mode = 0100644;  // Unix mode stored in the external attributes
    // MS-DOS date and time of the member; the default is 1980-01-01 00:00,
    // the earliest date the format has (a zero date reads as month 0, day 0).
    uint16_t dos_time = 0;
    uint16_t dos_date = (1 << 5) | 1;
};

// Writes the members, uncompressed, as a zip archive at `path` (a host path).
// 0, or -1 when the file cannot be written or a member is too large for the
// plain (non-zip64) format.
[[nodiscard]] int WriteStoredZip(const char* path, const std::vector<ZipMember>& members);

}  // namespace oem
