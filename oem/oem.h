// OEM, logo, language and customisation files.
//
// A package may carry a customisation archive (a zip holding a top-level
// "oem" directory) that re-brands the recorder. UPDATE_LoadCustom unpacks it
// in "/tmp" and hands each piece to the device's own tools ("loadtools" for
// the manufacturing and configuration information, "flash_tool" for the boot
// logo and the resources), keeping the device's identity lines (serial
// numbers, MAC address) in the manufacturing information.
// UPDATE_LoadLanguage reads the default and supported languages from
// "/var/devcap/devcap.xml" and loads them through a generated "/tmp/cfginfo.txt".
//
// Failures inside the archive never stop an update: only a refused or failed
// unpack reaches the caller. Files are found through sys::DevicePath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr const char* kCustomZipPath = "/tmp/custom.zip";
inline constexpr const char* kOemDir = "/tmp/oem";
inline constexpr const char* kManuInfoPath = "/tmp/oem/manuinfo.txt";
inline constexpr const char* kManuInfoTmpPath = "/tmp/oem/manuinfoTmp.txt";
inline constexpr const char* kOemCfgInfoPath = "/tmp/oem/cfginfo.txt";
inline constexpr const char* kBootLogoName = "bootlogo_non.gz";
inline constexpr const char* kResZipName = "res.zip";
inline constexpr const char* kResTarName = "res_compress.tar.gz";
inline constexpr const char* kDevcapPath = "/var/devcap/devcap.xml";
inline constexpr const char* kLangCfgInfoPath = "/tmp/cfginfo.txt";

inline constexpr std::size_t kLanguageCount = 128;  // room of the language table
inline constexpr uint8_t kNoLanguage = 255;

// Unpacks the archive at `zip_path` into "/tmp" and installs its pieces.
// 0, or non-zero when the archive was refused (an absolute name or a ".."
// component, or unreadable) or the unpack command failed.
[[nodiscard]] int UPDATE_LoadCustom(const char* zip_path);

// Merges "/tmp/oem/manuinfo.txt" with the device's identity lines into
// "/tmp/oem/manuinfoTmp.txt" and loads that with loadtools. 0 when there is
// no such file or it loaded, else -1 (logged).
[[nodiscard]] int UPDATE_LoadManuInfo();

// The merge: copies `in_path` to `out_path` line by line; a line whose key
// (the text before its first ':') begins with DEVICE_SERIAL_NUMBER,
// MAC_ADDRESS or BOARD_SERIAL_NUMBER is replaced by the device's line for
// that same key from "/proc/env" ("MAC_ADDRESS_2" by the device's
// "MAC_ADDRESS_2" line, never by its "MAC_ADDRESS" line); the package's line
// stays when the device has none. 0, or -1 when a file cannot be opened or written (logged).
[[nodiscard]] int UPDATE_AdaptManuInfo(const char* in_path, const char* out_path);

// Runs "loadtools <path> CfgInfo" when `path` exists and returns its result;
// 0 without running anything when it does not.
[[nodiscard]] int UPDATE_LoadCfgInfo(const char* path);

// Writes "bootlogo_non.gz" and the packed "res.zip" of "/tmp/oem" with
// flash_tool. Always 0: a failure is logged only.
[[nodiscard]] int UPDATE_LoadLogoFile();

// Reads the supported-language mask (four 32-bit words: language n is bit
// n % 32 of word n / 32) and the default language from the device capability
// file. 0, or -1 on any failure with the outputs untouched.
[[nodiscard]] int GetDevcapLanguage(uint32_t (&support)[4], uint8_t& default_lang);

// Writes, loads and deletes "/tmp/cfginfo.txt" from the device's languages.
// The GetDevcapLanguage failure code, else 0 (the caller ignores it).
[[nodiscard]] int UPDATE_LoadLanguage();

// The code of a language number ("EN" for 1); "" for a number with no code.
[[nodiscard]] const char* UPDATE_LanguageCode(unsigned number);

namespace oem {
// The merge of UPDATE_AdaptManuInfo from an open stream to a descriptor;
// out_name names the output in messages.
[[nodiscard]] int MergeManuInfo(std::FILE* in, int out_fd, const char* out_name);
// GetDevcapLanguage from an open device capability file.
[[nodiscard]] int DevcapLanguageFrom(std::FILE* file, uint32_t (&support)[4],
                                     uint8_t& default_lang);
}  // namespace oem
