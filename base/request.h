// The update request record: one per run, owned by the entry, borrowed by the
// worker and the dispatcher. Header only, so every subsystem can read it.
#pragma once

#include <cstddef>
#include <cstdint>

// Image mask bits of UpdateType.
inline constexpr uint32_t kImageKernel = 0x1;
inline constexpr uint32_t kImageProgram = 0x2;
inline constexpr uint32_t kImageUboot = 0x4;
inline constexpr uint32_t kImageConfig = 0x8;
inline constexpr uint32_t kImageBootLogo = 0x10;
inline constexpr uint32_t kImageWeb = 0x20;
inline constexpr uint32_t kImageFirstStage = 0x40;
inline constexpr uint32_t kImageOem = 0x80;
inline constexpr uint32_t kImageSlaveUboot = 0x100;
inline constexpr uint32_t kImageSlaveKernel = 0x200;
inline constexpr uint32_t kImageSlaveProgram = 0x400;
inline constexpr uint32_t kImageTvconfig = 0x800;
inline constexpr uint32_t kImageAll = 0xA3;

// Transfer protocols (TransType).
inline constexpr uint16_t kTransTftp = 0;
inline constexpr uint16_t kTransFtp = 1;
inline constexpr uint16_t kTransLocal = 3;
inline constexpr uint16_t kTransTftpAlt = 4;
inline constexpr uint16_t kTransCloud = 5;

// Info modes (InfoMode).
inline constexpr uint16_t kInfoInner = 0;
inline constexpr uint16_t kInfoFull = 20;
inline constexpr uint16_t kInfoUsage = 30;

struct UPDATE_PARA_S {
    uint16_t UpdateType;
    uint16_t InfoMode;
    uint16_t TransType;
    uint16_t ForceFlag;
    uint16_t RebootFlag;
    uint16_t DebugFlag;
    uint16_t PathFlag;
    uint16_t CheckFlag;
    char remote[32];
    char user[32];
    char password[32];
    char path[512];
    char url[256];
};
static_assert(offsetof(UPDATE_PARA_S, UpdateType) == 0);
static_assert(offsetof(UPDATE_PARA_S, InfoMode) == 2);
static_assert(offsetof(UPDATE_PARA_S, CheckFlag) == 14);
static_assert(offsetof(UPDATE_PARA_S, remote) == 16);
static_assert(sizeof(UPDATE_PARA_S) == 16 + 32 * 3 + 512 + 256);

// Size of the unknown-words line handed from the parser to the hand-over path.
inline constexpr std::size_t kUnknownLineSize = 512;

// True when the run was started by an operator or front end (not a second stage).
inline bool IsFirstStage(const UPDATE_PARA_S& para) {
    return (para.UpdateType & kImageFirstStage) != 0;
}
