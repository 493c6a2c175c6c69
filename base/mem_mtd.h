// In-memory flash for unit tests (library update_base_testing, never linked
// into the updater): chips that behave like NOR and NAND erase blocks, opened
// through the MTD opener of base/mtd.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/mtd.h"

namespace flash {

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

// Maps device paths to chips; install with SetMtdOpener(map.Opener()).
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
    explicit ScopedMtdOpener(MtdOpener opener) { SetMtdOpener(std::move(opener)); }
    ~ScopedMtdOpener() { SetMtdOpener(nullptr); }
    ScopedMtdOpener(const ScopedMtdOpener&) = delete;
    ScopedMtdOpener& operator=(const ScopedMtdOpener&) = delete;
};

}  // namespace flash
