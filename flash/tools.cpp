#include "flash/tools.h"

#include <fcntl.h>
#include <getopt.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/mtd.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/path.h"

namespace {

constexpr std::size_t kChunk = 8192;
constexpr int kFailed = 1;

// Every failure of the tools is one "update: ..." line on standard error.
__attribute__((format(printf, 1, 2))) int Fail(const char* fmt, ...) {
    std::fputs("update: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    return kFailed;
}

const char* ErrText() {
    return std::strerror(errno);
}

void ShowProgress(const char* label, unsigned long done, unsigned long total) {
    const uint64_t pct = total == 0 ? uint64_t{done} * 100 : uint64_t{done} * 100 / total;
    std::printf("\r%s: %lu/%lu (%u%%) ", label, done, total, static_cast<unsigned>(pct));
    std::fflush(nullptr);
}

// The strict helpers: each prints its message and reports failure.
bool OpenFile(const char* path, int flags, sys::UniqueFd* fd) {
    fd->reset(::open(path != nullptr ? path : "", flags | O_CLOEXEC, 0666));
    if (!*fd) {
        Fail("can't open '%s' (error %s)\n", path != nullptr ? path : "", ErrText());
        return false;
    }
    return true;
}

std::unique_ptr<flash::MtdDevice> OpenDevice(const char* path, int flags) {
    std::unique_ptr<flash::MtdDevice> dev = flash::OpenMtd(path != nullptr ? path : "", flags);
    if (!dev) Fail("can't open '%s' (error %s)\n", path != nullptr ? path : "", ErrText());
    return dev;
}

bool SeekFile(int fd, unsigned long pos) {
    if (::lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) {
        Fail("lseek(%lu) (error %s)\n", pos, ErrText());
        return false;
    }
    return true;
}

bool SeekDevice(flash::MtdDevice& dev, unsigned long pos) {
    if (dev.Seek(static_cast<off_t>(pos), SEEK_SET) < 0) {
        Fail("lseek(%lu) (error %s)\n", pos, ErrText());
        return false;
    }
    return true;
}

bool ReadFileExactly(int fd, uint8_t* buf, std::size_t len) {
    if (sys::ReadFull(fd, buf, len) != static_cast<ssize_t>(len)) {
        Fail("short read\n");
        return false;
    }
    return true;
}

bool ReadDeviceExactly(flash::MtdDevice& dev, uint8_t* buf, std::size_t len) {
    if (flash::ReadFully(dev, buf, len) != static_cast<ssize_t>(len)) {
        Fail("short read\n");
        return false;
    }
    return true;
}

// Writes until len bytes, repeating short writes and interrupted calls: the
// count written, or -1 when an error stopped it before the first byte.
ssize_t WriteAll(flash::MtdDevice& dev, const uint8_t* buf, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = dev.Write(buf + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done == 0 ? -1 : static_cast<ssize_t>(done);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

struct CopyRange {
    unsigned long file_offset = 0;
    unsigned long length = 0;
    unsigned long flash_offset = 0;
};

int Usage(const char* tool) {
    std::fprintf(stderr, "Usage: %s [-v] -g file_offset -l file_length -o flash_offset\n", tool);
    return kFailed;
}

// A 32-bit number in the automatic base of strtoul (decimal, 0x.., 0..).
unsigned long Number32(const char* text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

// The whole copy must be possible before the first block is erased: a range
// past the end of the source, past the end of the device, or a flash offset
// inside an erase block would leave erased blocks and no image.
bool RangeFits(const CopyRange& r, uint64_t file_size, const flash::MtdInfo& info,
               const char* source, const char* device) {
    if (uint64_t{r.file_offset} + r.length > file_size) {
        Fail("range 0x%lx+0x%lx is past the end of '%s' (%" PRIu64 " bytes)\n", r.file_offset,
             r.length, source, file_size);
        return false;
    }
    if (uint64_t{r.flash_offset} + r.length > info.size) {
        Fail("range 0x%lx+0x%lx is past the end of %s (0x%x bytes)\n", r.flash_offset, r.length,
             device, info.size);
        return false;
    }
    if (info.erasesize != 0 && r.flash_offset % info.erasesize != 0) {
        Fail("flash offset 0x%lx is not a multiple of the erase size 0x%x of %s\n", r.flash_offset,
             info.erasesize, device);
        return false;
    }
    return true;
}

int EraseRange(flash::MtdDevice& dev, const CopyRange& r, uint32_t erasesize, const char* device) {
    const unsigned long blocks =
        erasesize == 0
            ? 0
            : static_cast<unsigned long>((uint64_t{r.length} + erasesize - 1) / erasesize);
    for (unsigned long i = 1; i <= blocks; ++i) {
        ShowProgress("Erasing block", i, blocks);
        const uint64_t start = r.flash_offset + (i - 1) * uint64_t{erasesize};
        errno = 0;
        if (dev.Erase({static_cast<uint32_t>(start), erasesize}) != 0) {
            return Fail("erase error at 0x%llx on %s (error %s)\n",
                        static_cast<unsigned long long>(start), device, ErrText());
        }
    }
    std::printf("\n");
    return 0;
}

int WritePass(int src, flash::MtdDevice& dev, const CopyRange& r, uint8_t* buf,
              const char* device) {
    if (!SeekFile(src, r.file_offset) || !SeekDevice(dev, r.flash_offset)) return kFailed;
    for (unsigned long pos = 0; pos != r.length;) {
        const std::size_t chunk = std::min<unsigned long>(kChunk, r.length - pos);
        ShowProgress("Writing kb", pos / 1024, r.length / 1024);
        if (!ReadFileExactly(src, buf, chunk)) return kFailed;
        errno = 0;
        const ssize_t written = WriteAll(dev, buf, chunk);
        if (written != static_cast<ssize_t>(chunk)) {
            return Fail("write error at 0x%lx on %s, write returned %d (error %s)\n", pos, device,
                        static_cast<int>(written), ErrText());
        }
        pos += chunk;
    }
    std::printf("\n");
    return 0;
}

int VerifyPass(int src, flash::MtdDevice& dev, const CopyRange& r, uint8_t* want, uint8_t* got) {
    if (!SeekFile(src, r.file_offset) || !SeekDevice(dev, r.flash_offset)) return kFailed;
    for (unsigned long pos = 0; pos != r.length;) {
        const std::size_t chunk = std::min<unsigned long>(kChunk, r.length - pos);
        ShowProgress("Verifying kb", pos / 1024, r.length / 1024);
        if (!ReadFileExactly(src, want, chunk) || !ReadDeviceExactly(dev, got, chunk)) {
            return kFailed;
        }
        if (std::memcmp(want, got, chunk) != 0) {
            return Fail("verification mismatch at 0x%lx\n", pos);
        }
        pos += chunk;
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int UPDATE_FlashcpMain(int argc, char** argv) {
    std::unique_ptr<uint8_t[]> src_buf(new (std::nothrow) uint8_t[kChunk]);
    std::unique_ptr<uint8_t[]> dev_buf(new (std::nothrow) uint8_t[kChunk]);
    if (!src_buf || !dev_buf) return Fail("out-of-memory\n");

    const char* tool = argc > 0 ? argv[0] : "flashcp";
    CopyRange range;
    optind = 0;  // a fresh scan for every call
    opterr = 0;
    for (int opt; (opt = ::getopt(argc, argv, ":hg:l:o:")) != -1;) {
        switch (opt) {
            case 'g':
                range.file_offset = Number32(optarg);
                break;
            case 'l':
                range.length = Number32(optarg);
                break;
            case 'o':
                range.flash_offset = Number32(optarg);
                break;
            default:
                return Usage(tool);
        }
    }
    if (optind + 2 != argc) return Usage(tool);  // the source file and the device, no more
    const char* source = argv[optind];
    const char* device = argv[optind + 1];

    sys::UniqueFd src;
    if (!OpenFile(source, O_RDONLY, &src)) return kFailed;
    struct stat st {};
    if (::fstat(src.get(), &st) != 0)
        return Fail("can't stat '%s' (error %s)\n", source, ErrText());
    std::unique_ptr<flash::MtdDevice> dev = OpenDevice(device, O_RDWR | O_SYNC);
    if (!dev) return kFailed;
    flash::MtdInfo info;
    if (dev->GetInfo(&info) != 0) return Fail("%s is not a MTD flash device\n", device);
    if (range.length == 0) range.length = static_cast<uint32_t>(st.st_size);
    if (!RangeFits(range, static_cast<uint64_t>(st.st_size), info, source, device)) return kFailed;

    if (EraseRange(*dev, range, info.erasesize, device) != 0) return kFailed;
    if (WritePass(src.get(), *dev, range, src_buf.get(), device) != 0) return kFailed;
    return VerifyPass(src.get(), *dev, range, src_buf.get(), dev_buf.get());
}

namespace {

void ShowEraseProgress(uint32_t erasesize, uint64_t start, uint32_t size) {
    const unsigned pct = size == 0 ? 0 : static_cast<unsigned>(start * 100 / size);
    std::printf("\rErasing %u Kibyte @ %" PRIx64 " - %2u%% complete.", erasesize / 1024, start,
                pct);
    std::fflush(nullptr);
}

// Not a character device (a plain file, a block device): refused before any
// request is sent to it. A path that does not exist is left to the open.
bool IsCharDeviceOrMissing(const char* path) {
    struct stat st {};
    if (::stat(sys::DevicePath(path).c_str(), &st) != 0) return true;
    return S_ISCHR(st.st_mode);
}

}  // namespace

int UPDATE_FlashEraseallMain(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : nullptr;
    if (device == nullptr || argc > 2 || device[0] == '-') {  // no device, or -h, --help
        std::fprintf(stderr, "Usage: %s mtd-device\n", argc > 0 ? argv[0] : "flash_eraseall");
        return kFailed;
    }
    std::unique_ptr<flash::MtdDevice> dev = OpenDevice(device, O_RDWR);
    if (!dev) return kFailed;
    if (!IsCharDeviceOrMissing(device)) return Fail("%s: not a char device\n", device);
    flash::MtdInfo info;
    if (dev->GetInfo(&info) != 0) {
        return Fail("ioctl %#x failed (error %s)\n", static_cast<unsigned>(MEMGETINFO), ErrText());
    }
    bool test_bad = true;
    const bool nand = info.type == MTD_NANDFLASH;
    uint64_t start = 0;
    while (info.erasesize != 0 && start < info.size) {
        if (test_bad) {
            const int bad = dev->IsBadBlock(static_cast<int64_t>(start));
            if (bad > 0) {
                std::printf("update: \nSkipping bad block at 0x%08" PRIx64 "\n", start);
                std::fflush(stdout);
                start += info.erasesize;
                continue;
            }
            if (bad < 0 && errno == EOPNOTSUPP) {
                test_bad = false;
                if (nand) return Fail("bad block check not available\n");
            } else if (bad < 0) {
                return Fail("MEMGETBADBLOCK error (error %s)\n", ErrText());
            }
        }
        ShowEraseProgress(info.erasesize, start, info.size);
        if (dev->Erase({static_cast<uint32_t>(start), info.erasesize}) != 0) {
            return Fail("ioctl %#x failed (error %s)\n", static_cast<unsigned>(MEMERASE),
                        ErrText());
        }
        start += info.erasesize;
    }
    ShowEraseProgress(info.erasesize, start, info.size);
    std::printf("\n");
    return 0;
}
