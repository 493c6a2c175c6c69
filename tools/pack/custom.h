// The customisation archive of update-pack: made from a directory or checked
// as given, and shown by 'info'.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pack {

// The archive to store for `source`: a zip file is checked and used as it
// is; a directory is stored, uncompressed, with its files under "oem/" in a
// new file next to `out` (named in *made, to be removed by the caller).
// false with the reason in *why when the updater would refuse the archive.
bool PrepareCustom(const std::string& source, const std::string& out, std::string* zip,
                   std::string* made, std::string* why);

// Writes to out the members of the archive stored at [offset, offset + length) of
// the package open at `fd`, or why the updater refuses it.
void ShowCustom(int fd, uint32_t offset, uint32_t length, std::FILE* out);

}  // namespace pack
