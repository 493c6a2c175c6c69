// The boot environment.
//
// A new boot loader may read its environment with another size than the one
// it was written with; NeedUpdateEnv tells when, and UpdateEnvCrc rewrites
// the checksum of both copies ("/dev/mtd2" and its backup "/dev/mtd7") for
// the size the new boot loader uses, leaving the variables as they are.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kEnvSizeSmall = 0x20000;  // 128 KiB
inline constexpr uint32_t kEnvSizeLarge = 0x80000;  // 512 KiB
inline constexpr const char* kEnvDev = "/dev/mtd2";
inline constexpr const char* kBakEnvDev = "/dev/mtd7";

// 1 when the environment must be re-checksummed, else 0. Reads the local
// InnerVersion and the image PubVersion kept by the package check, the board
// type and the boot loader revision.
[[nodiscard]] int NeedUpdateEnv();
// Re-checksums the primary copy, then the backup. 0, -1 (memory, "/dev/mtd2"
// or a read), or the failed call's result (seek, erase, write).
[[nodiscard]] int UpdateEnvCrc();
// The same decisions with explicit inputs (the no-argument forms above read
// them from the package check and the probes).
// Environment size that a boot loader of image PubVersion pub_version uses.
[[nodiscard]] uint32_t EnvSizeForVersion(const char* pub_version);
[[nodiscard]] int NeedUpdateEnvFor(const char* inner_version, const char* pub_version,
                                   const char* board_type, const char* uboot_rev);
// UpdateEnvCrc for an environment size of kEnvSizeSmall or kEnvSizeLarge.
[[nodiscard]] int UpdateEnvCrcForSize(uint32_t env_size);
// The two sizes a copy's checksum may hold for (a copy is read as far as the
// large one reaches).
struct EnvGeometry {
    uint32_t small = kEnvSizeSmall;
    uint32_t large = kEnvSizeLarge;
};
// UpdateEnvCrcForSize on another geometry (8 <= small < large, env_size one
// of the two): the same repair on smaller copies, as the fuzz target runs it.
[[nodiscard]] int RepairEnvCopies(uint32_t env_size, const EnvGeometry& geometry);
