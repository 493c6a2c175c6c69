#include "package/format.h"
#include "package/checked.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "base/platform.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr size_t kMaxBinDir = 512;

std::atomic<uint32_t> g_sub_image_count{0};

struct StepNameRow {
    uint32_t bit;
    const char* name;
};
constexpr StepNameRow kStepNames[] = {
    {0x1, "uImage.bin"},        {0x2, "Program.bin"},        {0x4, "Uboot.bin"},
    {0x8, "Config.bin"},        {0x10, "Bootlog.bin"},       {0x20, "Activex.bin"},
    {0x40, "Update.bin"},       {0x80, "Oem.bin"},           {0x100, "SlaveUboot.bin"},
    {0x200, "SlaveKernel.bin"}, {0x400, "SlaveProgram.bin"}, {0x800, "TvConfig.bin"},
};
constexpr const char* kWholePackageName = "All.bin";

}  // namespace

namespace pkg {

uint32_t DecodeU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void EncodeU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void EncodeEntry(const SubImageEntry& entry, uint8_t* out) {
    std::memcpy(out, entry.FileName, sizeof(entry.FileName));
    EncodeU32(out + offsetof(SubImageEntry, FileLength), entry.FileLength);
    EncodeU32(out + offsetof(SubImageEntry, FileOffset), entry.FileOffset);
    EncodeU32(out + offsetof(SubImageEntry, FlashOffset), entry.FlashOffset);
    EncodeU32(out + offsetof(SubImageEntry, Reserved), entry.Reserved);
}

SubImageEntry DecodeEntry(const uint8_t* in) {
    SubImageEntry entry{};
    std::memcpy(entry.FileName, in, sizeof(entry.FileName));
    entry.FileLength = DecodeU32(in + offsetof(SubImageEntry, FileLength));
    entry.FileOffset = DecodeU32(in + offsetof(SubImageEntry, FileOffset));
    entry.FlashOffset = DecodeU32(in + offsetof(SubImageEntry, FlashOffset));
    entry.Reserved = DecodeU32(in + offsetof(SubImageEntry, Reserved));
    return entry;
}

int ReadCount(int fd, uint32_t* count) {
    if (::lseek(fd, static_cast<off_t>(kCountOffset), SEEK_SET) < 0) return -4;
    uint8_t raw_count[4];
    if (ReadFull(fd, raw_count, sizeof(raw_count)) != static_cast<ssize_t>(sizeof(raw_count))) {
        return -5;
    }
    *count = DecodeU32(raw_count);
    return *count == 0 ? -5 : 0;
}

uint32_t HeldEntries(uint32_t count) {
    return std::min(count, kMaxTableEntries);
}

// Reads the entries that follow the count; a table cut short by the end of
// the file leaves its missing entries zero.
int ReadEntries(int fd, uint32_t entries, FileTable* table) {
    FileTable block(HeldEntries(entries));
    if (!block) return -2;
    uint8_t raw[kEntrySize * kMaxTableEntries] = {};
    if (ReadFull(fd, raw, block.size() * kEntrySize) < 0) return -1;
    for (uint32_t i = 0; i < block.size(); ++i) block[i] = DecodeEntry(raw + i * kEntrySize);
    *table = std::move(block);
    return 0;
}

int ReadTable(int fd, uint32_t* count, FileTable* table) {
    int ret = ReadCount(fd, count);
    if (ret != 0) return ret;
    return ReadEntries(fd, HeldEntries(*count), table);
}

}  // namespace pkg

FileTable::FileTable(uint32_t entries)
    : entries_(new (std::nothrow) SubImageEntry[pkg::HeldEntries(entries)]()),
      size_(entries_ ? pkg::HeldEntries(entries) : 0) {}

FileTable UPDATE_GetFileStruct(const char* path) {
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG("Get patifition failed. BinFile:%s\n", path);
        return {};
    }
    return pkg::GetFileStruct(fd.get(), path);
}

FileTable pkg::GetFileStruct(int fd, const char* path) {
    uint32_t count = 0;
    int ret = pkg::ReadCount(fd, &count);
    if (ret == -4) {
        ULOG("lseek image file failed. BinFile:%s\n", path);
        return {};
    }
    if (ret != 0) {
        ULOG("Read image file failed. BinFile:%s\n", path);
        return {};
    }
    ULOG("sub image count %lu\n", static_cast<unsigned long>(count));
    FileTable table;
    ret = pkg::ReadEntries(fd, count, &table);
    if (ret == -2) {
        ULOG("malloc pstFileStruct failed.\n");
        return {};
    }
    if (ret != 0) {
        ULOG("Read image file failed.\n");
        return {};
    }
    g_sub_image_count.store(count);
    return table;
}

uint32_t UPDATE_SubImageCount() {
    return g_sub_image_count.load();
}

void UPDATE_SetSubImageCount(uint32_t count) {
    g_sub_image_count.store(count);
}

const SubImageEntry* UPDATE_EntryAt(const FileTable* table, uint64_t position) {
    if (table == nullptr || !*table || position >= table->size()) return nullptr;
    return &(*table)[static_cast<size_t>(position)];
}

namespace {

int Unpack(const char* pszBinFile, uint32_t offset, uint32_t length,
           const char* pszUnpackFileName) {
    sys::UniqueFd in(::open(pszBinFile, O_RDONLY | O_CLOEXEC));
    if (!in) {
        ULOG("Get Binfile: %s failed\n", pszBinFile);
        return -3;
    }
    // No larger than the copy, nor than what the file holds from offset on:
    // a table entry's length may be anything.
    uint64_t buf_size = std::min<uint64_t>(length, kPackageChunkSize);
    struct stat st {};
    if (::fstat(in.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        const auto size = static_cast<uint64_t>(st.st_size);
        buf_size = std::min<uint64_t>(buf_size, size > offset ? size - offset : 1);
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[buf_size]);
    if (!buf) {
        std::printf("malloc head memery failed!\n");
        std::fflush(stdout);
        return -2;
    }
    if (::lseek(in.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
        ULOG("lseek image file failed. BinFile:%s\n", pszBinFile);
        return -4;
    }
    sys::UniqueFd out(::open(pszUnpackFileName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0777));
    if (!out) {
        ULOG("open pszUnpackFileName file:%s. fail\n", pszUnpackFileName);
        return -3;
    }
    uint64_t wanted = length;
    for (;;) {
        ssize_t n = pkg::ReadFull(in.get(), buf.get(), static_cast<size_t>(buf_size));
        if (n < 0) {
            ULOG("read bin file fail\n");
            return -5;
        }
        if (n == 0) return 0;
        const auto got = static_cast<uint64_t>(n);
        const uint64_t now = wanted > got ? got : wanted;
        if (!pkg::WriteFull(out.get(), buf.get(), static_cast<size_t>(now))) {
            ULOG("write new file fail\n");
            return -6;
        }
        wanted -= now;
        if (wanted == 0) return 0;
    }
}

}  // namespace

// A package read from its medium by digests: what was unpacked from it is
// run or installed only when it is what the check read.
int UPDATE_UnpackFile(const char* pszBinFile, uint32_t offset, uint32_t length,
                      const char* pszUnpackFileName) {
    int ret = Unpack(pszBinFile, offset, length, pszUnpackFileName);
    if (ret == 0) ret = UPDATE_CheckAgainstDigest(pszBinFile, offset, length, pszUnpackFileName);
    if (ret == -9) (void)::unlink(pszUnpackFileName);
    return ret;
}

int UPDATE_ReplaceUpdate(const SubImageEntry* entry, const char* pszBinFile) {
    ULOG_ONLY("replace update ......\n");
    if (entry == nullptr) {
        ULOG_ONLY("unpack update to %s failed.\n", kUpdaterUnpackPath);
        return -1;
    }
    char name[sizeof(entry->FileName) + 1];
    sys::CopyText(name, sys::FieldText(entry->FileName));
    ULOG_ONLY("read FileName:%s, FileLength:%d, FileOffset: %d, pszBinFile: %s\n", name,
              static_cast<int>(entry->FileLength), static_cast<int>(entry->FileOffset), pszBinFile);
    const std::string target = sys::DevicePath(kUpdaterUnpackPath);
    int ret = UPDATE_UnpackFile(pszBinFile, entry->FileOffset, entry->FileLength, target.c_str());
    if (ret != 0) ULOG_ONLY("unpack update to %s failed.\n", kUpdaterUnpackPath);
    return ret;
}

// The package's name is the path's last component: a folder named like it
// ("/mnt/usb/Program.bin.d/") is a folder.
int UPDATE_GetBinDir(const char* path, char* dir) {
    const std::string_view whole = path != nullptr ? path : "";
    const size_t slash = whole.rfind('/');
    const size_t n = slash == std::string_view::npos ? 0 : slash + 1;
    if (whole.substr(n) != kPackageName) {
        ULOG("update invalid bin file %s (no %s).\n", path != nullptr ? path : "", kPackageName);
        return -1;
    }
    if (n >= kMaxBinDir) {
        ULOG("update invalid bin file %s (unexpected size %u, max %u).\n", path,
             static_cast<unsigned>(n), static_cast<unsigned>(kMaxBinDir - 1));
        return -1;
    }
    if (n == 0) {
        sys::CopyText(dir, kMaxBinDir, ".");
    } else {
        sys::CopyText(dir, kMaxBinDir, whole.substr(0, n));
    }
    return 0;
}

uint64_t UPDATE_ProgramPosition() {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    return platform != nullptr ? platform->Parts[kSlotProgram].Index : 4;
}
uint64_t UPDATE_UpdaterPosition() {
    return UPDATE_ProgramPosition() + 4;
}
uint64_t UPDATE_CustomPosition() {
    return UPDATE_ProgramPosition() + 6;
}
uint64_t UPDATE_MdcPosition() {
    return UPDATE_ProgramPosition() + 7;
}

const char* UPDATE_StepName(uint32_t bit) {
    for (const StepNameRow& row : kStepNames) {
        if (row.bit == bit) return row.name;
    }
    return kWholePackageName;
}

uint32_t UPDATE_HeadCrcValue(const char* text) {
    // strtoll stops at the first non-digit; ten digits never overflow it.
    long long value = std::strtoll(text, nullptr, 10);
    return static_cast<uint32_t>(static_cast<unsigned long long>(value));
}

void UPDATE_SplitHead(char* head, ImageHeadFields* fields) {
    *fields = ImageHeadFields{};
    const size_t end = ::strnlen(head, kHeadSize);
    size_t start = 0;
    uint32_t index = 0;
    for (;;) {
        const void* dollar = std::memchr(head + start, '$', end - start);
        const size_t stop =
            dollar != nullptr ? static_cast<size_t>(static_cast<const char*>(dollar) - head) : end;
        if (dollar != nullptr) head[stop] = '\0';
        const std::string_view field(head + start, stop - start);
        switch (index) {
            case 0:
                sys::CopyText(fields->InnerVersion, field);
                break;
            case 1:
                sys::CopyText(fields->Unused, field);
                break;
            case 2:
                sys::CopyText(fields->PubVersion, field);
                break;
            case 3:
                sys::CopyText(fields->HeadCrcText, field);
                fields->HeadCrc = UPDATE_HeadCrcValue(fields->HeadCrcText);
                break;
            case 4:
                sys::CopyText(fields->KeySuffix, field);
                break;
            case 5:
                sys::CopyText(fields->EncryptFlag, field);
                break;
            default:
                break;
        }
        ++index;
        if (dollar == nullptr) break;
        start = stop + 1;
    }
    fields->FieldCount = index;
    // The caller reads the buffer as the first field afterwards; keep that
    // read within the head even when the package gave it no NUL byte.
    if (::strnlen(head, kHeadSize) == kHeadSize) head[kHeadSize - 1] = '\0';
}
