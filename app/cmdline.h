// The updater's command line: parsing into the request record, the usage text,
// the version report, the remote-address check and the package file names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/request.h"

inline constexpr const char* kUpdateToolVersion = "v2.01";
inline constexpr const char* kPackageFileName = "Program.bin";
inline constexpr const char* kLocalPackagePath = "/tmp/Program.bin";
// Size of each output of UPDATE_GetFileNames.
inline constexpr std::size_t kFileNameSize = 512;

// Fills the record (zero-filled by the caller) from the command line. Returns
// 0, or -1 when the first word's argument count is out of range (nothing is
// scanned) or when unknown words were met; those are appended to unknown
// (kUnknownLineSize bytes, may be null), each quoted for the shell
// (sys::ShellQuote) and followed by one blank.
[[nodiscard]] int UPDATE_ParseArgs(int argc, char** argv, UPDATE_PARA_S* para, char* unknown);

// Prints the usage text; the slave image lines follow the selected platform.
void UPDATE_ShowUsage();

// Mode 20: the full version report; mode 0: the inner-version line only.
void UPDATE_ShowVersion(int mode);

// 0 when the remote address suits the record's protocol, else -1.
[[nodiscard]] int UPDATE_CheckRemote(const UPDATE_PARA_S* para);
// 0 for a dotted quad of 1 to 3 digit groups, else -1.
[[nodiscard]] int UPDATE_CheckIpFormat(const char* ip);

// The package's name on the server and its path on the device; each output
// holds kFileNameSize bytes. Always 0.
int UPDATE_GetFileNames(const UPDATE_PARA_S* para, char* remote_name, char* local_path);

namespace app {
// The parser and the usage text for a given supported-image mask, so tests do
// not depend on the platform compiled in.
[[nodiscard]] int ParseArgsForMask(int argc, char** argv, UPDATE_PARA_S* para, char* unknown,
                                   uint64_t support_mask);
void ShowUsageForMask(uint64_t support_mask);
// The words that the parser takes as a password value (entry i for argv[i]),
// so that a log of the command line hides exactly those.
std::vector<bool> PasswordWords(int argc, char** argv);
}  // namespace app
