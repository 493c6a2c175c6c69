// The update package layout ("Program.bin") and the small operations that
// read it: the sub-image table, copying one sub-image out, the package
// directory, and the split of the text head.
//
//   0      256   text head, fields separated by "$"
//   256    1280  compatible board types, separated by "$"
//   1536   512   signature block
//   2048   4     sub-image count (little-endian)
//   2052   n*144 sub-image table
//   4096   ...   body, covered by the head's CRC
#pragma once

#include "sys/io.h"

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr size_t kHeadSize = 256, kCompatSize = 1280, kSigOffset = 1536, kSigSize = 512,
                        kCountOffset = 2048, kTableOffset = 2052, kBodyOffset = 4096,
                        kEntrySize = 144;
inline constexpr size_t kDigestSize = 32;
// Streaming buffer of every pass over a package.
inline constexpr size_t kPackageChunkSize = 262144;

inline constexpr const char* kPackageName = "Program.bin";
inline constexpr const char* kUpdaterUnpackPath = "/tmp/busybox";

struct SubImageEntry {
    char FileName[128];    // NUL-terminated; only logged, never looked up
    uint32_t FileLength;   // 0: the optional sub-image is absent
    uint32_t FileOffset;   // position in the package file
    uint32_t FlashOffset;  // position in the target device
    uint32_t Reserved;
};
static_assert(sizeof(SubImageEntry) == kEntrySize);
static_assert(offsetof(SubImageEntry, FileLength) == 128);
static_assert(offsetof(SubImageEntry, FileOffset) == 132);
static_assert(offsetof(SubImageEntry, FlashOffset) == 136);
static_assert(offsetof(SubImageEntry, Reserved) == 140);

// Most table entries held in memory. The count comes from a package not yet
// verified, so it never sizes an allocation: every position a profile
// addresses (at most 17; the updater, the archive and "mdc.bin" at P + 4,
// P + 6, P + 7 = 11) lies below this bound, and positions at or past it read
// as absent.
inline constexpr uint32_t kMaxTableEntries = 32;

// The sub-image table read from a package, with the number of entries it
// holds; its caller owns it. Positions at or past size() are absent.
class FileTable {
  public:
    FileTable() = default;
    // entries zeroed entries (at most kMaxTableEntries); empty when out of memory.
    explicit FileTable(uint32_t entries);
    explicit operator bool() const { return entries_ != nullptr; }
    [[nodiscard]] uint32_t size() const { return size_; }
    [[nodiscard]] const SubImageEntry* data() const { return entries_.get(); }
    SubImageEntry& operator[](size_t i) { return entries_[i]; }
    const SubImageEntry& operator[](size_t i) const { return entries_[i]; }

  private:
    std::unique_ptr<SubImageEntry[]> entries_;
    uint32_t size_ = 0;
};

// Reads the count and the table; an empty table on failure. Sets the
// sub-image count (the count as the package gives it).
FileTable UPDATE_GetFileStruct(const char* path);
// The count as the package gives it: walk a table by its size() (or through
// UPDATE_EntryAt), never by this count.
uint32_t UPDATE_SubImageCount();
// Sets the sub-image count (0 after a package was deciphered); the tables
// keep their own lengths.
void UPDATE_SetSubImageCount(uint32_t count);
// The entry at a table position, or null when the position lies at or past
// the end of that table (or there is no table): such an entry is absent.
const SubImageEntry* UPDATE_EntryAt(const FileTable* table, uint64_t position);

// Copies length bytes from offset of the package into a new file; where the
// check kept digests of the package (package/checked.h), the new file must
// have that sub-image's digest. 0, or -2 no buffer, -3 cannot open, -4 seek
// failed, -5 read failed, -6 write failed, -9 not the bytes checked (the new
// file is then removed).
[[nodiscard]] int UPDATE_UnpackFile(const char* pszBinFile, uint32_t offset, uint32_t length,
                                    const char* pszUnpackFileName);
// Unpacks the second-stage updater (the entry at UPDATE_UpdaterPosition()) to "/tmp/busybox".
[[nodiscard]] int UPDATE_ReplaceUpdate(const SubImageEntry* entry, const char* pszBinFile);
// The folder of a path whose last component is "Program.bin" (with its
// trailing "/"; "." for a bare name); dir holds >= 512 bytes.
[[nodiscard]] int UPDATE_GetBinDir(const char* path, char* dir);

// Table positions relative to the program image's position P of the selected
// platform profile (4 when no profile is selected).
uint64_t UPDATE_ProgramPosition();
uint64_t UPDATE_UpdaterPosition();  // P + 4: the second-stage updater
uint64_t UPDATE_CustomPosition();   // P + 6: the customisation archive
uint64_t UPDATE_MdcPosition();      // P + 7: "mdc.bin", written with u-boot

// Name of an update step: "uImage.bin" for 0x1 ... "SlaveProgram.bin" for
// 0x400; "All.bin" for the whole package (0) and for anything that is not one
// known bit.
const char* UPDATE_StepName(uint32_t bit);

// The fields of the text head, each cut to its kept length.
inline constexpr size_t kInnerVersionChars = 128, kUnusedChars = 32, kPubVersionChars = 128,
                        kHeadCrcChars = 10, kKeySuffixChars = 128, kEncryptFlagChars = 16;
struct ImageHeadFields {
    char InnerVersion[kInnerVersionChars + 1];
    char Unused[kUnusedChars + 1];
    char PubVersion[kPubVersionChars + 1];
    char HeadCrcText[kHeadCrcChars + 1];
    char KeySuffix[kKeySuffixChars + 1];
    char EncryptFlag[kEncryptFlagChars + 1];
    uint32_t HeadCrc;     // low 32 bits of the decimal HeadCrcText; 0 when missing
    uint32_t FieldCount;  // fields found, extra ones included
};

// Splits the 256-byte head in place: every "$" becomes NUL, so the buffer then
// reads as its first field. Never reads past byte 256; a head whose first field
// runs to the end without a NUL gets one in its last byte.
void UPDATE_SplitHead(char* head, ImageHeadFields* fields);
// The signed 64-bit decimal conversion of the head's CRC text, low 32 bits.
uint32_t UPDATE_HeadCrcValue(const char* text);

// Image mask bits used by the step names.
inline constexpr uint32_t kStepFirstStage = 0x40;

namespace pkg {

// Reads count and table from an open package without messages; the table
// holds HeldEntries(count) entries, zero where the file ends first.
// 0, -4 seek failed, -5 count unreadable or 0, -2 no memory, -1 table read failed.
[[nodiscard]] int ReadTable(int fd, uint32_t* count, FileTable* table);
// UPDATE_GetFileStruct on an open package; path names it in messages.
FileTable GetFileStruct(int fd, const char* path);
[[nodiscard]] int ReadCount(int fd, uint32_t* count);
[[nodiscard]] int ReadEntries(int fd, uint32_t entries, FileTable* table);
// How many of count entries a table holds: at most kMaxTableEntries.
uint32_t HeldEntries(uint32_t count);

// Little-endian decode of the count and the entries, kept apart from the I/O.
uint32_t DecodeU32(const uint8_t* p);
void EncodeU32(uint8_t* p, uint32_t v);
// Writes the entry in its on-disk byte order.
void EncodeEntry(const SubImageEntry& entry, uint8_t* out /*144*/);
SubImageEntry DecodeEntry(const uint8_t* in /*144*/);

using sys::PreadFull;
using sys::ReadFull;
using sys::WriteFull;

}  // namespace pkg
