// A small interface to MTD character devices ("/dev/mtdN"): information,
// erase, unlock, bad-block query and positioned reads and writes.
//
// The real devices are driven by the kernel's MTD requests. Unit tests map
// device paths to in-memory flash chips (base/mem_mtd.h, a test-only
// library) through the opener, so the code that erases and writes flash runs
// unchanged against them.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The erase request of MEMERASE (and the range of MEMUNLOCK): the kernel's
// erase_info_user layout.
struct FLASH_ERASE_INFO_S {
    uint32_t start;
    uint32_t length;
};
static_assert(sizeof(FLASH_ERASE_INFO_S) == 8);
static_assert(offsetof(FLASH_ERASE_INFO_S, start) == 0);
static_assert(offsetof(FLASH_ERASE_INFO_S, length) == 4);

namespace flash {

// The fields of MEMGETINFO that callers use.
struct MtdInfo {
    uint8_t type = 0;  // MTD_NORFLASH, MTD_NANDFLASH, MTD_RAM ...
    uint32_t flags = 0;
    uint32_t size = 0;  // whole device, bytes
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    uint32_t oobsize = 0;
};

// One open MTD device. Every call behaves like the system call behind it:
// 0 (or a byte count / position) on success, -1 with errno set on failure.
class MtdDevice {
  public:
    virtual ~MtdDevice() = default;
    virtual int GetInfo(MtdInfo* info) = 0;                       // MEMGETINFO
    virtual int Erase(const FLASH_ERASE_INFO_S& request) = 0;     // MEMERASE
    virtual int Unlock(const FLASH_ERASE_INFO_S& request) = 0;    // MEMUNLOCK
    virtual int IsBadBlock(int64_t offset) = 0;                   // MEMGETBADBLOCK: 1 bad, 0 good
    virtual off_t Seek(off_t offset, int whence) = 0;             // lseek
    virtual ssize_t Read(void* buf, std::size_t len) = 0;         // read at the position
    virtual ssize_t Write(const void* buf, std::size_t len) = 0;  // write at the position
};

// Opens an MTD device by its device path ("/dev/mtd2") with open(2) flags
// (O_RDWR, O_SYNC ...; O_CLOEXEC is added). The real opener resolves the
// path through sys::DevicePath. Null with errno set when it does not open.
std::unique_ptr<MtdDevice> OpenMtd(const char* path, int flags);

// Replaces the opener for the whole process (the tests' in-memory chips); an
// empty function restores the kernel devices.
using MtdOpener = std::function<std::unique_ptr<MtdDevice>(const char* path, int flags)>;
void SetMtdOpener(MtdOpener opener);

// Reads until len bytes or the end of the device; the count, or -1.
ssize_t ReadFully(MtdDevice& dev, void* buf, std::size_t len);
// Writes all len bytes; len, or -1 (errno set; EIO for a write that stalls at 0).
ssize_t WriteFully(MtdDevice& dev, const void* buf, std::size_t len);

}  // namespace flash
