// The nvram item store "/dev/hal_nvram": SetEnvToFlash stores one named value
// through the driver's store request. Unit tests replace how the device is
// opened (SetNvramOpener) with a recorder of their own.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

inline constexpr const char* kNvramDev = "/dev/hal_nvram";
inline constexpr unsigned long kNvramSetItem = 0x40615;

// The argument of the nvram store request.
struct NVRAM_ITEM_S {
    char name[64];
    char value[5120];
};
static_assert(sizeof(NVRAM_ITEM_S) == 64 + 5120);
static_assert(offsetof(NVRAM_ITEM_S, value) == 64);

// 0 when the driver stored the item, else -1.
[[nodiscard]] int SetEnvToFlash(NVRAM_ITEM_S* item);

// The nvram device: one store request. Store returns the request's result
// (0 stored, else -1 with errno set).
class NvramDevice {
  public:
    virtual ~NvramDevice() = default;
    virtual int Store(NVRAM_ITEM_S* item) = 0;
};
// Replaces how "/dev/hal_nvram" is opened (null with errno set
// when it does not open); an empty function restores the real device.
using NvramOpener = std::function<std::unique_ptr<NvramDevice>(const char* path)>;
void SetNvramOpener(NvramOpener opener);
