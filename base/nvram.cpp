#include "base/nvram.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitNvram;

class KernelNvram final : public NvramDevice {
  public:
    explicit KernelNvram(sys::UniqueFd fd) : fd_(std::move(fd)) {}
    int Store(NVRAM_ITEM_S* item) override {
        return ::ioctl(fd_.get(), kNvramSetItem, item) == 0 ? 0 : -1;
    }

  private:
    sys::UniqueFd fd_;
};

std::mutex g_nvram_mutex;
NvramOpener& NvramOpenerSlot() {
    static NvramOpener opener;
    return opener;
}

std::unique_ptr<NvramDevice> OpenNvram(const char* path) {
    NvramOpener opener;
    {
        std::lock_guard<std::mutex> lock(g_nvram_mutex);
        opener = NvramOpenerSlot();
    }
    if (opener) return opener(path);
    std::string real = sys::DevicePath(path);
    sys::UniqueFd fd(::open(real.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) return nullptr;
    return std::make_unique<KernelNvram>(std::move(fd));
}

}  // namespace

int SetEnvToFlash(NVRAM_ITEM_S* item) {
    std::unique_ptr<NvramDevice> dev = OpenNvram(kNvramDev);
    if (!dev) {
        ULOG("open %s\n", kNvramDev);
        return -1;
    }
    if (dev->Store(item) == 0) return 0;
    int err = errno;
    std::string_view value = sys::FieldText(item->value);
    std::string_view name = sys::FieldText(item->name);
    ULOG("Failed to set nvram value(%.*s) of %.*s, errno(%s)\n", static_cast<int>(value.size()),
         value.data(), static_cast<int>(name.size()), name.data(), std::strerror(err));
    return -1;
}

void SetNvramOpener(NvramOpener opener) {
    std::lock_guard<std::mutex> lock(g_nvram_mutex);
    NvramOpenerSlot() = std::move(opener);
}
