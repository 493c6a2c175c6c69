// Version and board rules: the device's version file, the board list of a
// package, the validity check of an update, public-version comparison and the
// forced boot-loader rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct SubImageEntry;

inline constexpr size_t kVersionTextSize = 128;
inline constexpr size_t kKeyMaterialChars = 64;

// Validity results.
inline constexpr int kVersionNotNewer = -7;
inline constexpr int kBoardIncompatible = -8;
inline constexpr int kCrossGradeForbidden = -13;

// Reads "/program/.version", else "/.version" (each buffer kVersionTextSize).
// -1 when neither opens; pub, neu and inn are then "Unknown".
[[nodiscard]] int UPDATE_ReadVersionFile(char* pub, char* neu, char* inn, char* build_date,
                                         char* build_time);
// The version file's values, read in one go.
struct VersionFileValues {
    char pub[kVersionTextSize];
    char neu[kVersionTextSize];
    char inn[kVersionTextSize];
    char build_date[kVersionTextSize];
    char build_time[kVersionTextSize];
};
// UPDATE_ReadVersionFile into a zero-filled record; the same result.
[[nodiscard]] int UPDATE_ReadVersionValues(VersionFileValues* values);
// Appends ".YYMMDD" of a YYYY-MM-DD date to version (kVersionTextSize).
void UPDATE_FormatBuildDate(const char* date, char* scratch, char* version);

// 0 when one of the first 64 entries of the list equals the board type in its
// first 19 characters, else -1. The list (1280 bytes, NUL not required) is split in place.
[[nodiscard]] int UPDATE_CheckBoardCompat(char* compatlist, const char* board_type);

// Checks board, cross-grades and versions in the order the update needs; splits
// the head (256 bytes) in place and keeps the head values process-wide.
// 0, kVersionNotNewer, kBoardIncompatible or kCrossGradeForbidden.
[[nodiscard]] int UPDATE_CheckUpdateValid(uint16_t force, uint16_t check, uint32_t update_type,
                                          char* head, char* compatlist, const SubImageEntry* table,
                                          uint32_t* head_crc);

// 1 image newer, 0 same or invalid, -1 older, other type, L limit or missing argument.
int ver_cmp(const char* image_pub, const char* local_pub);

enum class VersionForm { Short, Long };
inline constexpr int kLcNone = 0, kLcL = 1, kLcCOnly = 2;
struct ParsedVersion {
    char Value[10];   // 9 characters
    char Type[7];     // 5 (short form) or 6 (long form) characters
    int LcKind;       // kLcNone, kLcL or kLcCOnly
    char LNumber[3];  // the 2 characters after "L", empty without an L part
    VersionForm Form;
};
// 1 valid, 0 invalid.
int UPDATE_ParseVersion(const char* text, ParsedVersion* out);

// Whether the boot loader must be written although it was not selected.
bool UPDATE_NeedForceUboot(const char* local_inner, const char* image_pub, const char* uboot_rev);

// Process-wide values kept by the validity check (empty before it ran).
const char* UPDATE_LocalInnerVersion();
const char* UPDATE_LocalPubVersion();
const char* UPDATE_LocalNewVersion();
const char* UPDATE_ImagePubVersion();
const char* UPDATE_EncryptFlag();
const char* UPDATE_KeyMaterial();
// Clears the key material and the encryption mark after a package was deciphered.
void UPDATE_ClearKeyMaterial();

namespace pkg {
// The lines of an open version file ("PUB:", "NEW:", "INN:", "BUILD:"); a
// value no line gives stays as it was. Each buffer holds kVersionTextSize.
void ReadVersionLines(std::FILE* file, char* pub, char* neu, char* inn, char* build_date,
                      char* build_time);
// UPDATE_CheckUpdateValid with the device's side given: the values of its
// version file and its board type.
[[nodiscard]] int CheckUpdateValidFor(uint16_t force, uint16_t check, uint32_t update_type,
                                      char* head, char* compatlist, const VersionFileValues& local,
                                      const char* board_type, uint32_t* head_crc);
}  // namespace pkg
