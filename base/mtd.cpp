#include "base/mtd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "sys/fd.h"
#include "sys/path.h"

static_assert(sizeof(FLASH_ERASE_INFO_S) == sizeof(erase_info_user));
static_assert(offsetof(FLASH_ERASE_INFO_S, start) == offsetof(erase_info_user, start));
static_assert(offsetof(FLASH_ERASE_INFO_S, length) == offsetof(erase_info_user, length));

namespace flash {
namespace {

// The kernel's MTD character device.
class KernelMtd final : public MtdDevice {
  public:
    explicit KernelMtd(sys::UniqueFd fd) : fd_(std::move(fd)) {}

    int GetInfo(MtdInfo* info) override {
        mtd_info_user raw{};
        if (::ioctl(fd_.get(), MEMGETINFO, &raw) != 0) return -1;
        info->type = raw.type;
        info->flags = raw.flags;
        info->size = raw.size;
        info->erasesize = raw.erasesize;
        info->writesize = raw.writesize;
        info->oobsize = raw.oobsize;
        return 0;
    }
    int Erase(const FLASH_ERASE_INFO_S& request) override {
        erase_info_user raw{request.start, request.length};
        return ::ioctl(fd_.get(), MEMERASE, &raw) == 0 ? 0 : -1;
    }
    int Unlock(const FLASH_ERASE_INFO_S& request) override {
        erase_info_user raw{request.start, request.length};
        return ::ioctl(fd_.get(), MEMUNLOCK, &raw) == 0 ? 0 : -1;
    }
    int IsBadBlock(int64_t offset) override {
        loff_t pos = offset;
        int ret = ::ioctl(fd_.get(), MEMGETBADBLOCK, &pos);
        return ret < 0 ? -1 : (ret > 0 ? 1 : 0);
    }
    off_t Seek(off_t offset, int whence) override { return ::lseek(fd_.get(), offset, whence); }
    ssize_t Read(void* buf, std::size_t len) override {
        ssize_t n;
        do {
            n = ::read(fd_.get(), buf, len);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    ssize_t Write(const void* buf, std::size_t len) override {
        ssize_t n;
        do {
            n = ::write(fd_.get(), buf, len);
        } while (n < 0 && errno == EINTR);
        return n;
    }

  private:
    sys::UniqueFd fd_;
};

std::unique_ptr<MtdDevice> OpenKernelMtd(const char* path, int flags) {
    std::string real = sys::DevicePath(path);
    sys::UniqueFd fd(::open(real.c_str(), flags | O_CLOEXEC));
    if (!fd) return nullptr;
    return std::make_unique<KernelMtd>(std::move(fd));
}

std::mutex g_opener_mutex;
MtdOpener& Opener() {
    static MtdOpener opener;
    return opener;
}

// A handle on an in-memory chip.
}  // namespace

std::unique_ptr<MtdDevice> OpenMtd(const char* path, int flags) {
    MtdOpener opener;
    {
        std::lock_guard<std::mutex> lock(g_opener_mutex);
        opener = Opener();
    }
    if (opener) return opener(path, flags);
    return OpenKernelMtd(path, flags);
}

void SetMtdOpener(MtdOpener opener) {
    std::lock_guard<std::mutex> lock(g_opener_mutex);
    Opener() = std::move(opener);
}

ssize_t ReadFully(MtdDevice& dev, void* buf, std::size_t len) {
    auto* p = static_cast<uint8_t*>(buf);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = dev.Read(p + done, len - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t WriteFully(MtdDevice& dev, const void* buf, std::size_t len) {
    const auto* p = static_cast<const uint8_t*>(buf);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = dev.Write(p + done, len - done);
        if (n < 0) return -1;
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace flash
