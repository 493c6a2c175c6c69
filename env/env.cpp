#include "env/env.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "base/mtd.h"
#include "base/platform.h"
#include "package/integrity.h"
#include "package/version.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitNvram;

// Two-character slice of a version text at an offset, compared as a
// two-character strncmp would; texts shorter than the slice read as NULs.
int CompareSlice(const char* text, std::size_t offset, const char* two) {
    char padded[16] = {};
    if (text != nullptr) sys::CopyText(padded, text);
    if (offset + 2 > sizeof(padded)) return -1;
    return std::strncmp(padded + offset, two, 2);
}

// The boot loader of an image below 22 (offsets 3-4), or 22 below 15
// (offsets 6-7), reads the large environment.
bool ImageUsesLargeEnv(const char* pub_version) {
    int major = CompareSlice(pub_version, 3, "22");
    if (major < 0) return true;
    if (major > 0) return false;
    return CompareSlice(pub_version, 6, "15") < 0;
}

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Whether a copy's checksum holds for the small or the large size (within
// the got bytes read).
bool Intact(const uint8_t* buf, ssize_t got, const EnvGeometry& geometry) {
    for (uint32_t size : {geometry.small, geometry.large}) {
        if (got < static_cast<ssize_t>(size)) continue;
        const uint32_t stored = uint32_t{buf[0]} | uint32_t{buf[1]} << 8 | uint32_t{buf[2]} << 16 |
                                uint32_t{buf[3]} << 24;
        if (stored == UPDATE_EnvCrc32(0, buf + 4, size - 4)) return true;
    }
    return false;
}

// Erases one copy and writes it back with the checksum of its own data area.
// which is "Env" or "BakEnv" for the erase message.
int RewriteCopy(flash::MtdDevice& dev, uint8_t* buf, uint32_t env_size, const char* which) {
    FLASH_ERASE_INFO_S erase{0, env_size};
    int ret = dev.Erase(erase);
    if (ret != 0) {
        ULOG("%s Failed to erase flash stFhEraseInfo (0x%x, 0x%x), lRet=%d\n", which, erase.start,
             erase.length, ret);
        return ret;
    }
    PutLe32(buf, UPDATE_EnvCrc32(0, buf + 4, env_size - 4));
    off_t pos = dev.Seek(0, SEEK_SET);
    if (pos != 0) {
        ULOG("Failed to opt file postion\n");
        return static_cast<int>(pos);
    }
    if (flash::WriteFully(dev, buf, env_size) != static_cast<ssize_t>(env_size)) {
        ULOG("Failed to wirte bakenv");
        return -1;
    }
    return 0;
}

}  // namespace

uint32_t EnvSizeForVersion(const char* pub_version) {
    return ImageUsesLargeEnv(pub_version) ? kEnvSizeLarge : kEnvSizeSmall;
}

int NeedUpdateEnvFor(const char* inner_version, const char* pub_version, const char* board_type,
                     const char* uboot_rev) {
    const char* inner = inner_version != nullptr ? inner_version : "";
    if (std::strncmp(inner, "QTPXV300R003B03", 15) != 0 &&
        std::strncmp(inner, "QTEXV300R001B11", 15) != 0) {
        return 0;
    }
    const char* board = board_type != nullptr ? board_type : "";
    if (std::strcmp(board, "BRD-K700-Q08@48-X") == 0 ||
        std::strcmp(board, "BRD-K700-Q08@96-X") == 0) {
        return 0;
    }
    if (ImageUsesLargeEnv(pub_version)) {
        ULOG("Image need to update env\n");
        return 1;
    }
    if (CompareSlice(uboot_rev, 2, "58") < 0) {
        ULOG("Local need to update env\n");
        return 1;
    }
    return 0;
}

int NeedUpdateEnv() {
    char uboot[kProbeTextSize] = "Unknown";
    char board[kProbeTextSize] = "Unknown";
    (void)UPDATE_GetUbootVersion(uboot);
    (void)UPDATE_GetBoardType(board);
    return NeedUpdateEnvFor(UPDATE_LocalInnerVersion(), UPDATE_ImagePubVersion(), board, uboot);
}

int UpdateEnvCrc() {
    return UpdateEnvCrcForSize(EnvSizeForVersion(UPDATE_ImagePubVersion()));
}

int UpdateEnvCrcForSize(uint32_t env_size) {
    return RepairEnvCopies(env_size, EnvGeometry{});
}

int RepairEnvCopies(uint32_t env_size, const EnvGeometry& geometry) {
    const uint32_t large = geometry.large;
    if (geometry.small < 8 || geometry.small >= large) return -1;
    if (env_size != geometry.small && env_size != large) return -1;

    std::unique_ptr<uint8_t[]> env(new (std::nothrow) uint8_t[large]);
    if (!env) {
        ULOG("malloc environment failed.\n");
        return -1;
    }
    std::unique_ptr<uint8_t[]> bak(new (std::nothrow) uint8_t[large]);
    if (!bak) {
        ULOG("malloc environment_bak failed.\n");
        return -1;
    }

    std::unique_ptr<flash::MtdDevice> env_dev = flash::OpenMtd(kEnvDev, O_RDWR | O_SYNC);
    if (!env_dev) {
        ULOG("Failed to open /dev/mtd2\n");
        return -1;
    }
    // A missing backup device shows up as a failed read below, before
    // anything is erased.
    std::unique_ptr<flash::MtdDevice> bak_dev = flash::OpenMtd(kBakEnvDev, O_RDWR | O_SYNC);

    // A short read is accepted: the rest of the buffer stays zero. Past the
    // environment's own size the large one is read as far as it reads, so
    // that a copy's checksum can be judged for either size.
    auto read_copy = [env_size, large](flash::MtdDevice* dev, uint8_t* buf) -> ssize_t {
        std::memset(buf, 0, large);
        if (dev == nullptr || dev->Seek(0, SEEK_SET) != 0) return -1;
        const ssize_t got = flash::ReadFully(*dev, buf, env_size);
        if (got != static_cast<ssize_t>(env_size) || env_size == large) return got;
        const ssize_t more = flash::ReadFully(*dev, buf + env_size, large - env_size);
        if (more < 0) {
            std::memset(buf + env_size, 0, large - env_size);
            return got;
        }
        return got + more;
    };
    const ssize_t env_got = read_copy(env_dev.get(), env.get());
    if (env_got < 0) {
        ULOG("Env Failed to read flash\n");
        return -1;
    }
    const ssize_t bak_got = read_copy(bak_dev.get(), bak.get());
    if (bak_got < 0) {
        ULOG("BakEnv Failed to read flash\n");
        return -1;
    }
    // A copy that holds for neither size was torn (a power cut during an
    // earlier repair): it takes the other copy's variables rather than a
    // checksum over whatever the cut left in it.
    const bool env_ok = Intact(env.get(), env_got, geometry),
               bak_ok = Intact(bak.get(), bak_got, geometry);
    if (!env_ok && bak_ok) {
        ULOG("Env is damaged; it takes the variables of BakEnv.\n");
        std::memcpy(env.get(), bak.get(), env_size);
    } else if (env_ok && !bak_ok) {
        ULOG("BakEnv is damaged; it takes the variables of Env.\n");
        std::memcpy(bak.get(), env.get(), env_size);
    }
    for (flash::MtdDevice* dev : {env_dev.get(), bak_dev.get()}) {
        off_t pos = dev->Seek(0, SEEK_SET);
        if (pos != 0) {
            ULOG("Failed to opt file postion\n");
            return static_cast<int>(pos);
        }
    }

    // The primary copy is complete before the backup is touched, so a power
    // cut or a failed write always leaves one valid copy.
    int ret = RewriteCopy(*env_dev, env.get(), env_size, "Env");
    if (ret != 0) return ret;
    return RewriteCopy(*bak_dev, bak.get(), env_size, "BakEnv");
}
