// What the package check read, kept for every later use of the package, so
// that the bytes checked are the bytes written and run.
//
// The check reads a package on removable or shared media once. Its read
// either fills a private copy in RAM (the caller then uses only the copy),
// or, where the package does not fit there, counts the SHA-256 of every
// sub-image the table names; every later read of a sub-image from the medium
// is then held against that digest (the read-back of a written partition,
// the unpacked update program and customisation archive). The head and the
// table as read by the check are kept too: the table used for the writes
// must be the one checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/format.h"

namespace pkg {

struct SubImageDigest {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint8_t sha256[32] = {};
};

// The sink of one check's read (pkg::ScanOptions::sink).
class CheckedRead {
  public:
    // copy_fd: every byte is written there in order (-1: no copy); table:
    // the sub-images whose digests are counted (null: none).
    CheckedRead(int copy_fd, const FileTable* table);
    ~CheckedRead();
    CheckedRead(const CheckedRead&) = delete;
    CheckedRead& operator=(const CheckedRead&) = delete;

    // The scan's sink: bytes at pos, in file order. false on a failed write.
    bool Feed(const uint8_t* data, size_t n, uint64_t pos);
    // After the scan: the digests finished. false when a sub-image lies
    // (partly) past the end of what was read, or a digest failed.
    [[nodiscard]] bool Finish();
    // Whether the table read before the check (expected) is the table in the
    // bytes the check read.
    [[nodiscard]] bool SameTable(const FileTable& expected) const;
    [[nodiscard]] const std::vector<SubImageDigest>& Digests() const { return digests_; }
    [[nodiscard]] uint64_t BytesRead() const { return read_; }

  private:
    struct Hashers;
    int copy_fd_;
    uint64_t read_ = 0;
    // The head and the whole table as far as the largest one held reaches
    // (entries past the fourteenth lie beyond the body's start).
    static constexpr size_t kKeptHead = kTableOffset + size_t{kMaxTableEntries} * kEntrySize;
    uint8_t head_[kKeptHead] = {};
    std::vector<SubImageDigest> digests_;
    std::unique_ptr<Hashers> hashers_;
    bool ok_ = true;
};

// The SHA-256 of the first length bytes of a file or device, read from the
// medium itself (direct reads, or plain reads after the cache was dropped
// where a device refuses them). 0, or -1 (reason logged).
[[nodiscard]] int Sha256Head(const char* path, uint64_t length, uint8_t* out /*32*/);

}  // namespace pkg

// The digests of the sub-images of the package at path, kept for the run
// (replacing those of any earlier package).
void UPDATE_KeepSubImageDigests(const char* path, const std::vector<pkg::SubImageDigest>& digests);
// The kept digest of length bytes from offset of the package at path: false
// when none is kept (the package is in RAM and was used as checked).
bool UPDATE_FindSubImageDigest(const char* path, uint64_t offset, uint64_t length,
                               uint8_t* out /*32*/);
// Whether digests are kept for the package at path.
bool UPDATE_HasSubImageDigests(const char* path);
// 0 when length bytes of path (a device or a file) from its start have the
// kept digest of that sub-image of package, or no digest is kept; -9 when
// they differ or cannot be read (logged).
[[nodiscard]] int UPDATE_CheckAgainstDigest(const char* package, uint64_t offset, uint64_t length,
                                            const char* path);
