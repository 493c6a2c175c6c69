// A small interface to MTD character devices ("/dev/mtdN"): information,
// erase, unlock, bad-block query and positioned reads and writes.
//
// The real devices are driven by the kernel's MTD requests. Unit tests map
// device paths to in-memory flash chips (MemFlash) through the opener seam,
// so the code that erases and writes flash runs unchanged against them.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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

// Test seam: replaces the opener for the whole process; an empty function
// restores the real one.
using MtdOpener = std::function<std::unique_ptr<MtdDevice>(const char* path, int flags)>;
void SetMtdOpenerForTests(MtdOpener opener);

// Reads until len bytes or the end of the device; the count, or -1.
ssize_t ReadFully(MtdDevice& dev, void* buf, std::size_t len);
// Writes all len bytes; len, or -1 (errno set; EIO for a write that stalls at 0).
ssize_t WriteFully(MtdDevice& dev, const void* buf, std::size_t len);

// ---------------------------------------------------------------------------
// In-memory flash for unit tests.
//
// A chip of whole erase blocks that reads 0xFF after an erase. A write can
// only clear bits (new = old AND data), as on NOR and NAND, so data written
// over unerased flash comes out garbled, which is what a missing erase does
// on a real chip. Bad blocks refuse erase and write (EIO); locked blocks
// refuse erase and write (EROFS) until unlocked. Any request can be made to
// fail once on its n-th call.
class MemFlash {
  public:
    enum class Op { Open, Info, Erase, Unlock, BadBlock, Seek, Read, Write };

    MemFlash(uint32_t size, uint32_t erasesize, uint8_t type = 3 /* MTD_NORFLASH */);

    [[nodiscard]] uint32_t size() const { return static_cast<uint32_t>(data_.size()); }
    [[nodiscard]] uint32_t erasesize() const { return erasesize_; }
    [[nodiscard]] uint8_t type() const { return type_; }
    std::vector<uint8_t>& data() { return data_; }
    [[nodiscard]] const std::vector<uint8_t>& data() const { return data_; }

    // Puts bytes at an offset directly, as if the chip had been programmed.
    void Fill(uint32_t offset, const void* bytes, std::size_t len);

    void MarkBad(uint32_t block) { bad_.at(block) = true; }
    [[nodiscard]] bool IsBad(uint32_t block) const { return bad_.at(block); }
    void Lock(uint32_t block) { locked_.at(block) = true; }
    void Unlock(uint32_t block) { locked_.at(block) = false; }
    [[nodiscard]] bool IsLocked(uint32_t block) const { return locked_.at(block); }

    // The (skip + 1)-th next call of op fails with err.
    void FailOn(Op op, int err = 5 /* EIO */, int skip = 0);

    // Every request that reached the chip, in order ("erase 0 131072",
    // "write 0 4096", "read 0 4096", "unlock 0 65536", "info", "open").
    std::vector<std::string> log;
    [[nodiscard]] int Count(Op op) const;

    // Internal to the device handles: records op and tells whether it must fail.
    bool Hit(Op op, int* err);

  private:
    struct Failure {
        Op op;
        int err;
        int skip;
    };
    std::vector<uint8_t> data_;
    uint32_t erasesize_;
    uint8_t type_;
    std::vector<bool> bad_;
    std::vector<bool> locked_;
    std::vector<Failure> failures_;
    std::map<Op, int> counts_;
};

// An open handle on a MemFlash, with its own position.
std::unique_ptr<MtdDevice> OpenMemMtd(std::shared_ptr<MemFlash> chip, int flags);

// Maps device paths to chips; install with SetMtdOpenerForTests(map.Opener()).
// A path without a chip does not open (ENOENT).
class MemMtdMap {
  public:
    std::shared_ptr<MemFlash> Add(const std::string& path, uint32_t size, uint32_t erasesize,
                                  uint8_t type = 3);
    MtdOpener Opener();

  private:
    std::shared_ptr<std::map<std::string, std::shared_ptr<MemFlash>>> chips_ =
        std::make_shared<std::map<std::string, std::shared_ptr<MemFlash>>>();
};

// Installs an opener for the life of a scope and restores the real one.
class ScopedMtdOpener {
  public:
    explicit ScopedMtdOpener(MtdOpener opener) { SetMtdOpenerForTests(std::move(opener)); }
    ~ScopedMtdOpener() { SetMtdOpenerForTests(nullptr); }
    ScopedMtdOpener(const ScopedMtdOpener&) = delete;
    ScopedMtdOpener& operator=(const ScopedMtdOpener&) = delete;
};

}  // namespace flash
