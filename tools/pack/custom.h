// The customisation archive of update-pack: made from a directory or checked
// as given, and shown by 'info'.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "tools/pack/output.h"

namespace pack {

// The archive to store for `source` (its path in *zip): a zip file is
// checked and used as it is; a directory is stored, uncompressed, with its
// files under "oem/" in a temporary file beside `out` (*made, removed when
// it dies). Every member carries the date `when` (UTC) and the mode 0644,
// 0755 for a file anyone may run or a directory, so the same directory
// gives the same bytes. false with the reason in *why when the updater
// would refuse the archive.
bool PrepareCustom(const std::string& source, const std::string& out, std::time_t when,
                   std::string* zip, std::unique_ptr<TempFile>* made, std::string* why);

// Writes to out the members of the archive stored at [offset, offset + length) of
// the package open at `fd`, or why the updater refuses it.
void ShowCustom(int fd, uint32_t offset, uint32_t length, std::FILE* out);

}  // namespace pack
