// The NOR chip unlock of the closing steps: a NOR chip whose blocks were
// locked (by the boot loader or a failed write) must be writable again for
// the next boot and the next update.
#include <fcntl.h>
#include <cerrno>
#include <cstring>

#include "base/mtd.h"
#include "base/platform.h"
#include "flash/unlock.h"
#include "sys/log.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
constexpr const char* kWholeChip = "/dev/mtd0";
}  // namespace

void UPDATE_UnlockFlash() {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (platform == nullptr || platform->FlashType != kFlashNor) return;

    std::unique_ptr<flash::MtdDevice> dev = flash::OpenMtd(kWholeChip, O_RDWR);
    if (!dev) {
        ULOG("failed to open %s, error %s!\n", kWholeChip, std::strerror(errno));
        return;
    }
    flash::MtdInfo info;
    if (dev->GetInfo(&info) != 0) {
        ULOG("failed to get mtd info, error %s\n", std::strerror(errno));
        return;
    }
    FLASH_ERASE_INFO_S range{0, info.size};
    if (dev->Unlock(range) != 0) {
        ULOG("failed to unlock flash, error %s\n", std::strerror(errno));
    } else {
        ULOG("unlock flash success!\n");
    }
}
