// The compiled-in platform profiles and the probes of the running system.
// One profile is selected at start and read by every subsystem afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

// Flash kinds (FlashType). Every value other than NOR and eMMC is written the NAND way.
inline constexpr uint64_t kFlashNor = 1;
inline constexpr uint64_t kFlashNand = 2;
inline constexpr uint64_t kFlashEmmc = 3;

// Slot roles: positions in PLATFORM_INFO_S::Parts.
inline constexpr int kSlotUboot = 0;
inline constexpr int kSlotConfig = 2;
inline constexpr int kSlotKernel = 3;
inline constexpr int kSlotProgram = 5;
inline constexpr int kSlotWeb = 7;
inline constexpr int kSlotSlaveUboot = 11;
inline constexpr int kSlotSlaveKernel = 12;
inline constexpr int kSlotSlaveProgram = 13;
inline constexpr int kSlotTvconfig = 14;
inline constexpr int kSlotMdc = 17;
inline constexpr int kSlotCount = 18;

// Rows of a partition layout.
inline constexpr int kRowChip = 0;
inline constexpr int kRowUboot = 1;
inline constexpr int kRowEnv = 2;
inline constexpr int kRowConfig = 3;
inline constexpr int kRowKernel = 4;
inline constexpr int kRowProgram = 5;
inline constexpr int kRowActiveX = 6;
inline constexpr int kRowBackEnv = 7;
inline constexpr int kRowSlaveUboot = 9;
inline constexpr int kRowSlaveKernel = 10;
inline constexpr int kRowSlaveProgram = 11;
inline constexpr int kRowTvconfig = 16;
inline constexpr int kRowMdc = 27;
inline constexpr int kLayoutRows = 31;

struct PART_SLOT_S {
    uint64_t Index;   // position of the image's entry in the package table
    const char* Dev;  // device node, or null when the platform has no such partition
};
static_assert(sizeof(PART_SLOT_S) == 16);

struct PART_LAYOUT_S {
    char Name[16];
    uint64_t Offset;
    uint64_t Size;
    uint64_t BlockSize;
    uint64_t Flag;
};
static_assert(sizeof(PART_LAYOUT_S) == 48);
static_assert(offsetof(PART_LAYOUT_S, Offset) == 16);

struct PLATFORM_INFO_S {
    uint64_t Reserved0;
    uint64_t FlashType;
    uint64_t SupportMask;
    uint64_t Reserved1;
    const char* PartTableDev;
    PART_SLOT_S Parts[kSlotCount];
    const PART_LAYOUT_S* Layout;  // kLayoutRows rows
};
static_assert(offsetof(PLATFORM_INFO_S, Parts) == 40);
static_assert(offsetof(PLATFORM_INFO_S, Layout) == 40 + 16 * kSlotCount);

// The partition lookup request of "/dev/hal_misc" (request 0x40D02).
inline constexpr unsigned long kHalMiscGetPart = 0x40D02;
struct PART_INFO_S {
    uint64_t FlashType;  // the caller puts the flash kind here
    char Name[36];       // image name, NUL-terminated
    char Path[64];       // device path, filled in by the driver
};
static_assert(offsetof(PART_INFO_S, Name) == 8);
static_assert(offsetof(PART_INFO_S, Path) == 44);

// Selects the compiled-in profile (key UPDATE_PROFILE_KEY, 16 on the recorder)
// with layout 24; 0, or -1 when the layout registry has no such row.
[[nodiscard]] int UPDATE_SelectPlatform();
// Same for a chosen profile key (variants for tests); -1 for an unknown key.
[[nodiscard]] int UPDATE_SelectPlatformKey(uint32_t key);
// The selected profile, or null before selection.
const PLATFORM_INFO_S* UPDATE_Platform();
// Looks a layout up in the registry by key (null when absent).
const PART_LAYOUT_S* UPDATE_FindLayout(uint32_t key);

// First line of "/proc/board_type" / "/proc/uboot_rev" without its line end;
// dst holds at least 128 characters. 0, or -1 with "Unknown".
int UPDATE_GetBoardType(char* dst);
int UPDATE_GetUbootVersion(char* dst);
inline constexpr std::size_t kProbeTextSize = 128;

// Root file-system probes of the kernel command line: 0 when named, else -1.
int UPDATE_IsYaffs2();
int UPDATE_IsJffs2();
int UPDATE_IsSquashfs();
int UPDATE_IsExt4();
// 0 when "/proc/mounts" shows the UBI volume ubi1_0 on /var/runtime, else -1.
int UPDATE_IsUbiRuntime();

// Asks "/dev/hal_misc" for the device node of a named image.
int UPDATE_GetPartInfo(PART_INFO_S* info);
