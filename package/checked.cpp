#include "package/checked.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "package/crypto.h"
#include "sys/fd.h"
#include "sys/log.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;
constexpr size_t kReadBuffer = 8 << 20;
constexpr size_t kDirectAlign = 4096;

struct Kept {
    std::mutex mutex;
    std::string path;
    std::vector<pkg::SubImageDigest> digests;
};
Kept& KeptDigests() {
    static Kept kept;
    return kept;
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

}  // namespace

namespace pkg {

struct CheckedRead::Hashers {
    std::vector<std::unique_ptr<crypto::Sha256>> sha;
};

CheckedRead::CheckedRead(int copy_fd, const FileTable* table)
    : copy_fd_(copy_fd), hashers_(std::make_unique<Hashers>()) {
    if (table == nullptr) return;
    for (uint32_t i = 0; i < table->size(); ++i) {
        const SubImageEntry& e = (*table)[i];
        if (e.FileLength == 0) continue;
        SubImageDigest d;
        d.offset = e.FileOffset;
        d.length = e.FileLength;
        auto sha = std::unique_ptr<crypto::Sha256>(new (std::nothrow) crypto::Sha256());
        if (!sha || !sha->Begin()) {
            ok_ = false;
            return;
        }
        digests_.push_back(d);
        hashers_->sha.push_back(std::move(sha));
    }
}

CheckedRead::~CheckedRead() = default;

bool CheckedRead::Feed(const uint8_t* data, size_t n, uint64_t pos) {
    if (pos != read_) ok_ = false;  // the scan gives every byte once, in order
    if (!ok_) return false;
    if (pos < kKeptHead) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, kKeptHead - pos));
        std::memcpy(head_ + pos, data, take);
    }
    if (copy_fd_ >= 0 && !sys::WriteFull(copy_fd_, data, n)) {
        ULOG("copy of the package in RAM failed: %s\n", std::strerror(errno));
        return ok_ = false;
    }
    const uint64_t end = pos + n;
    for (size_t i = 0; i < digests_.size(); ++i) {
        const SubImageDigest& d = digests_[i];
        const uint64_t from = std::max(pos, d.offset);
        const uint64_t to = std::min(end, d.offset + d.length);
        if (from >= to) continue;
        if (!hashers_->sha[i]->Update(data + (from - pos), static_cast<size_t>(to - from)))
            return ok_ = false;
    }
    read_ = end;
    return true;
}

bool CheckedRead::Finish() {
    if (!ok_) return false;
    for (size_t i = 0; i < digests_.size(); ++i) {
        SubImageDigest& d = digests_[i];
        if (d.offset + d.length > read_) {
            ULOG("sub-image at %" PRIu64 " (%" PRIu64 " bytes) lies past the package's end\n",
                 d.offset, d.length);
            return false;
        }
        if (!hashers_->sha[i]->Finish(d.sha256)) return false;
    }
    return true;
}

bool CheckedRead::SameTable(const FileTable& expected) const {
    if (read_ < kBodyOffset) return false;
    const uint32_t count = DecodeU32(head_ + kCountOffset);
    if (HeldEntries(count) != expected.size()) return false;
    for (uint32_t i = 0; i < expected.size(); ++i) {
        const size_t at = kTableOffset + static_cast<size_t>(i) * kEntrySize;
        // A table cut short by the end of the file reads as zero, as the
        // table reader leaves it.
        uint8_t raw[kEntrySize] = {};
        if (at < read_) {
            std::memcpy(raw, head_ + at, std::min<uint64_t>(kEntrySize, read_ - at));
        }
        const SubImageEntry e = DecodeEntry(raw);
        const SubImageEntry& w = expected[i];
        if (e.FileLength != w.FileLength || e.FileOffset != w.FileOffset ||
            e.FlashOffset != w.FlashOffset) {
            return false;
        }
    }
    return true;
}

int Sha256Head(const char* path, uint64_t length, uint8_t* out) {
    bool direct = true;
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_DIRECT));
    if (!fd) {
        direct = false;
        fd.reset(::open(path, O_RDONLY | O_CLOEXEC));
        if (fd) (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    std::unique_ptr<uint8_t, FreeDeleter> buf(
        static_cast<uint8_t*>(std::aligned_alloc(kDirectAlign, kReadBuffer)));
    crypto::Sha256 sha;
    if (!fd || !buf || !sha.Begin()) {
        ULOG("digest of %s: cannot open or no memory (%s)\n", path, std::strerror(errno));
        return -1;
    }
    for (uint64_t pos = 0; pos < length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadBuffer, length - pos));
        const size_t ask = direct ? (n + kDirectAlign - 1) / kDirectAlign * kDirectAlign : n;
        const ssize_t got = sys::PreadFull(fd.get(), buf.get(), ask, pos);
        if (got < 0 && direct && errno == EINVAL) {  // no direct reads on this device
            direct = false;
            fd.reset(::open(path, O_RDONLY | O_CLOEXEC));
            if (fd) (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
            if (fd) continue;
        }
        if (got < static_cast<ssize_t>(n)) {
            ULOG("digest of %s: short read at byte %" PRIu64 " of %" PRIu64 "\n", path, pos,
                 length);
            return -1;
        }
        if (!sha.Update(buf.get(), n)) return -1;
        pos += n;
    }
    return sha.Finish(out) ? 0 : -1;
}

}  // namespace pkg

void UPDATE_KeepSubImageDigests(const char* path, const std::vector<pkg::SubImageDigest>& digests) {
    Kept& kept = KeptDigests();
    std::lock_guard<std::mutex> lock(kept.mutex);
    kept.path = path != nullptr ? path : "";
    kept.digests = digests;
}

bool UPDATE_FindSubImageDigest(const char* path, uint64_t offset, uint64_t length, uint8_t* out) {
    Kept& kept = KeptDigests();
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (path == nullptr || kept.path != path) return false;
    for (const pkg::SubImageDigest& d : kept.digests) {
        if (d.offset == offset && d.length == length) {
            std::memcpy(out, d.sha256, sizeof d.sha256);
            return true;
        }
    }
    return false;
}

bool UPDATE_HasSubImageDigests(const char* path) {
    Kept& kept = KeptDigests();
    std::lock_guard<std::mutex> lock(kept.mutex);
    return path != nullptr && !kept.path.empty() && kept.path == path;
}

int UPDATE_CheckAgainstDigest(const char* package, uint64_t offset, uint64_t length,
                              const char* path) {
    if (!UPDATE_HasSubImageDigests(package)) return 0;
    uint8_t want[32];
    uint8_t got[32];
    if (!UPDATE_FindSubImageDigest(package, offset, length, want)) {
        // Digests are kept for this package, but the check counted none for
        // this range: nothing vouches for these bytes.
        ULOG("%s: no digest of the package's bytes %" PRIu64 "+%" PRIu64 " was counted\n", path,
             offset, length);
        return -9;
    }
    if (pkg::Sha256Head(path, length, got) != 0 || std::memcmp(want, got, sizeof want) != 0) {
        ULOG("%s differs from what the package check read (SHA-256 of %" PRIu64 " bytes)\n", path,
             length);
        return -9;
    }
    ULOG_ONLY("%s: SHA-256 of %" PRIu64 " bytes as the package check read them\n", path, length);
    return 0;
}
