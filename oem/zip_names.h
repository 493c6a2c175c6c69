// Checks the member names of a zip archive before anything unpacks it.
#pragma once

#include <string>

namespace oem {

// 0 when every member of the archive at `path` (a device path) unpacks under
// `top` (for example "oem/"): no absolute name, no ".." component, no
// symbolic link, and the local headers that a streaming unzip reads agree
// with the central directory, name for name. -1 otherwise, with the reason
// in `why`.
[[nodiscard]] int CheckZipNames(const char* path, const char* top, std::string& why);

}  // namespace oem
