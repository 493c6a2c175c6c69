// Image retrieval: brings the update package to "/tmp/Program.bin" by TFTP or
// FTP (the device's shell tools) or over HTTP/HTTPS (libcurl, resuming after
// stalls and reporting through the download status file), and reads the
// package's head, board list and signature block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/request.h"  // transfer protocols (TransType)

inline constexpr const char* kImageFilePath = "/tmp/Program.bin";
inline constexpr std::size_t kImageHeadSize = 256;
inline constexpr std::size_t kCompatListSize = 1280;
inline constexpr std::size_t kSignBlockSize = 512;
inline constexpr int64_t kSmallestDownload = 10240;

// Fetches the package for protocol trans. file is the remote file name for
// TFTP and FTP. 0 when the image file is in place or nothing had to be
// fetched; -1, -3, -6, 2 or 4 on failure.
[[nodiscard]] int UPDATE_GetRemoteFile(uint16_t trans, const char* remote, const char* user,
                                       const char* password, const char* file, const char* url);

// Fetches, then reads the 256-byte head, the 1280-byte board list and, where
// a public key is installed (and not in a first-stage run that only writes),
// the signature block, which rsa_decrypt turns into the digest in digsig.
// 0, the fetch's non-zero code, -3 (open), -5 (read), -2 (memory) or -1
// (signature decryption).
[[nodiscard]] int UPDATE_GetImageHead(uint16_t trans, uint16_t check, uint32_t update_type,
                                      const char* remote, const char* user, const char* password,
                                      const char* file, const char* url, char* head, char* compat,
                                      uint8_t* digsig);

// Resets the download state and writes "Stat:1,DownladRate:0"; 0, -3 or -6.
[[nodiscard]] int DOWNLOAD_InitStat();
// Writes the current status and rate, then folds them into the overall rate.
void DOWNLOAD_WriteStat();
// libcurl progress callback (classic form); always 0.
int DOWNLOAD_OnProgress(void* unused, double total, double received, double ultotal, double ulnow);
// libcurl write callback; file is the open image file (FILE*).
std::size_t DOWNLOAD_OnWrite(char* data, std::size_t size, std::size_t count, void* file);

namespace fetch {
// The device tool's command that fetches the remote file `name` from `remote`
// into `local`: "ftpget -u USER -p PASSWORD REMOTE LOCAL NAME" for FTP,
// "tftp -g -r NAME -l LOCAL REMOTE -b 8192" for any other protocol. User,
// password, remote and name are quoted for the shell; `local` is the
// caller's own path, taken as it is. `shown` is the same line as a log may
// carry it: a non-empty password is "******".
struct ToolLine {
    std::string cmd;
    std::string shown;
};
[[nodiscard]] ToolLine FetchToolLine(uint16_t trans, const char* remote, const char* user,
                                     const char* password, const char* name, const char* local);

// Replaces the one-second pauses between TFTP/FTP tries (the
// argument is seconds); an empty function restores sleep().
void SetSleeper(std::function<void(unsigned)> sleeper);
}  // namespace fetch
