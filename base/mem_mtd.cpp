#include "base/mem_mtd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace flash {
namespace {

class MemMtd final : public MtdDevice {
  public:
    MemMtd(std::shared_ptr<MemFlash> chip, int flags) : chip_(std::move(chip)), flags_(flags) {}

    int GetInfo(MtdInfo* info) override {
        if (Failed(MemFlash::Op::Info, "info")) return -1;
        info->type = chip_->type();
        info->flags = (chip_->type() == MTD_NANDFLASH) ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH;
        info->size = chip_->size();
        info->erasesize = chip_->erasesize();
        info->writesize = (chip_->type() == MTD_NANDFLASH) ? 2048 : 1;
        info->oobsize = (chip_->type() == MTD_NANDFLASH) ? 64 : 0;
        return 0;
    }

    int Erase(const FLASH_ERASE_INFO_S& request) override {
        if (Failed(MemFlash::Op::Erase, "erase", request.start, request.length)) return -1;
        if (!Writable()) return Fail(EBADF);
        uint32_t es = chip_->erasesize();
        uint64_t end = uint64_t{request.start} + request.length;
        if (request.start % es != 0 || request.length % es != 0 || end > chip_->size()) {
            return Fail(EINVAL);
        }
        for (uint64_t off = request.start; off < end; off += es) {
            uint32_t block = static_cast<uint32_t>(off / es);
            if (chip_->IsBad(block)) return Fail(EIO);
            if (chip_->IsLocked(block)) return Fail(EROFS);
        }
        std::memset(chip_->data().data() + request.start, 0xFF, request.length);
        return 0;
    }

    int Unlock(const FLASH_ERASE_INFO_S& request) override {
        if (Failed(MemFlash::Op::Unlock, "unlock", request.start, request.length)) return -1;
        uint32_t es = chip_->erasesize();
        uint64_t end = uint64_t{request.start} + request.length;
        if (end > chip_->size()) return Fail(EINVAL);
        for (uint64_t off = request.start - request.start % es; off < end; off += es) {
            chip_->Unlock(static_cast<uint32_t>(off / es));
        }
        return 0;
    }

    int IsBadBlock(int64_t offset) override {
        if (Failed(MemFlash::Op::BadBlock, "badblock", static_cast<uint64_t>(offset))) return -1;
        if (offset < 0 || static_cast<uint64_t>(offset) >= chip_->size()) return Fail(EINVAL);
        return chip_->IsBad(static_cast<uint32_t>(offset / chip_->erasesize())) ? 1 : 0;
    }

    off_t Seek(off_t offset, int whence) override {
        if (Failed(MemFlash::Op::Seek, "seek", static_cast<uint64_t>(offset))) return -1;
        off_t base = 0;
        if (whence == SEEK_CUR) base = pos_;
        if (whence == SEEK_END) base = chip_->size();
        if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return Fail(EINVAL);
        off_t next = base + offset;
        if (next < 0 || next > static_cast<off_t>(chip_->size())) return Fail(EINVAL);
        pos_ = next;
        return pos_;
    }

    ssize_t Read(void* buf, std::size_t len) override {
        if (Failed(MemFlash::Op::Read, "read", static_cast<uint64_t>(pos_), len)) return -1;
        if ((flags_ & O_ACCMODE) == O_WRONLY) return Fail(EBADF);
        std::size_t left = chip_->size() - static_cast<std::size_t>(pos_);
        std::size_t n = len < left ? len : left;
        std::memcpy(buf, chip_->data().data() + pos_, n);
        pos_ += static_cast<off_t>(n);
        return static_cast<ssize_t>(n);
    }

    ssize_t Write(const void* buf, std::size_t len) override {
        if (Failed(MemFlash::Op::Write, "write", static_cast<uint64_t>(pos_), len)) return -1;
        if (!Writable()) return Fail(EBADF);
        if (static_cast<uint64_t>(pos_) + len > chip_->size()) return Fail(ENOSPC);
        uint32_t es = chip_->erasesize();
        for (uint64_t off = static_cast<uint64_t>(pos_) - static_cast<uint64_t>(pos_) % es;
             off < static_cast<uint64_t>(pos_) + len; off += es) {
            uint32_t block = static_cast<uint32_t>(off / es);
            if (chip_->IsBad(block)) return Fail(EIO);
            if (chip_->IsLocked(block)) return Fail(EROFS);
        }
        const auto* src = static_cast<const uint8_t*>(buf);
        uint8_t* dst = chip_->data().data() + pos_;
        for (std::size_t i = 0; i < len; ++i) dst[i] &= src[i];
        pos_ += static_cast<off_t>(len);
        return static_cast<ssize_t>(len);
    }

  private:
    bool Writable() const { return (flags_ & O_ACCMODE) != O_RDONLY; }
    static int Fail(int err) {
        errno = err;
        return -1;
    }
    bool Failed(MemFlash::Op op, const char* name, uint64_t a = 0, uint64_t b = 0) {
        std::string entry = name;
        if (op != MemFlash::Op::Info) entry += " " + std::to_string(a);
        if (op == MemFlash::Op::Erase || op == MemFlash::Op::Unlock || op == MemFlash::Op::Read ||
            op == MemFlash::Op::Write) {
            entry += " " + std::to_string(b);
        }
        chip_->log.push_back(entry);
        int err = 0;
        if (chip_->Hit(op, &err)) {
            errno = err;
            return true;
        }
        return false;
    }

    std::shared_ptr<MemFlash> chip_;
    int flags_;
    off_t pos_ = 0;
};

}  // namespace

MemFlash::MemFlash(uint32_t size, uint32_t erasesize, uint8_t type)
    : data_(size, 0xFF),
      erasesize_(erasesize),
      type_(type),
      bad_(erasesize != 0 ? size / erasesize : 0, false),
      locked_(erasesize != 0 ? size / erasesize : 0, false) {}

void MemFlash::Fill(uint32_t offset, const void* bytes, std::size_t len) {
    std::memcpy(data_.data() + offset, bytes, len);
}

void MemFlash::FailOn(Op op, int err, int skip) {
    failures_.push_back({op, err, skip});
}

int MemFlash::Count(Op op) const {
    auto it = counts_.find(op);
    return it == counts_.end() ? 0 : it->second;
}

bool MemFlash::Hit(Op op, int* err) {
    ++counts_[op];
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->op != op) continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *err = it->err;
        failures_.erase(it);
        return true;
    }
    return false;
}

std::unique_ptr<MtdDevice> OpenMemMtd(std::shared_ptr<MemFlash> chip, int flags) {
    int err = 0;
    chip->log.push_back("open");
    if (chip->Hit(MemFlash::Op::Open, &err)) {
        errno = err;
        return nullptr;
    }
    return std::make_unique<MemMtd>(std::move(chip), flags);
}

std::shared_ptr<MemFlash> MemMtdMap::Add(const std::string& path, uint32_t size, uint32_t erasesize,
                                         uint8_t type) {
    auto chip = std::make_shared<MemFlash>(size, erasesize, type);
    (*chips_)[path] = chip;
    return chip;
}

MtdOpener MemMtdMap::Opener() {
    auto chips = chips_;
    return [chips](const char* path, int flags) -> std::unique_ptr<MtdDevice> {
        auto it = chips->find(path != nullptr ? path : "");
        if (it == chips->end()) {
            errno = ENOENT;
            return nullptr;
        }
        return OpenMemMtd(it->second, flags);
    };
}

}  // namespace flash
