// The sub-image writers. Each flash kind has its own command set:
//   NOR   this program's flashcp (or flash_eraseall for the config
//         partition), by argument vector, ten attempts;
//   eMMC  "dd" through the shell, once, then two syncs, the cache drop and a
//         read-back of the written range;
//   NAND  flash_eraseall once, then nandwrite (or the UBI and boot-loader
//         tools), ten attempts.
// The image must fit its partition before any of it runs: a longer image
// would otherwise be cut (eMMC) or spill into the next partition.
#include "flash/writer.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mtd.h"
#include "base/nvram.h"
#include "base/platform.h"
#include "package/checked.h"
#include "package/integrity.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"
#include "sys/text.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr std::size_t kCmdSize = 512;
constexpr int kMaxWords = 30;
constexpr std::size_t kWordSize = 64;
constexpr int kAttempts = 10;
constexpr std::size_t kVerifyBuffer = 8 << 20;
constexpr std::size_t kDirectAlign = 4096;

constexpr const char* kPackageHost = "/tmp/busybox";
constexpr const char* kFirmwareHost = "/bin/busybox";
constexpr const char* kNorChip = "/dev/mtd0";
constexpr const char* kClearRuntime = "rm -rf /var/runtime/*";
constexpr const char* kMdcName = "mdc.bin";
constexpr const char* kImageLink = "/tmp/update-image.bin";

using Command = char[kCmdSize];

// Formats a command; false (with a message) when it does not fit, so that a
// cut command line never runs.
__attribute__((format(printf, 2, 3))) bool Format(Command& cmd, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(cmd, kCmdSize, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= kCmdSize) {
        ULOG("Invalid argument: cmd len %d\n", n);
        return false;
    }
    return true;
}

unsigned long Num(uint64_t v) {
    return static_cast<unsigned long>(v);
}

std::string Quoted(const char* word) {
    return sys::ShellQuote(word != nullptr ? word : "");
}

bool IsRole(const char* dev, int slot) {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (platform == nullptr || dev == nullptr) return false;
    const char* role = platform->Parts[slot].Dev;
    return role != nullptr && std::strcmp(role, dev) == 0;
}

// The root file-system facts, read afresh for every write.
struct FsFacts {
    bool yaffs2 = false;
    bool jffs2 = false;
    bool squashfs = false;
    bool ubiRuntime = false;
    bool ext4 = false;
    [[nodiscard]] bool Legacy() const { return yaffs2 || jffs2 || squashfs; }
};

FsFacts ProbeFs() {
    FsFacts f;
    f.yaffs2 = UPDATE_IsYaffs2() == 0;
    f.jffs2 = UPDATE_IsJffs2() == 0;
    f.squashfs = UPDATE_IsSquashfs() == 0;
    f.ubiRuntime = UPDATE_IsUbiRuntime() == 0;
    f.ext4 = UPDATE_IsExt4() == 0;
    return f;
}

bool Fits(const flash::WriteRequest& r) {
    if (r.partSize >= 0 && r.length <= static_cast<uint64_t>(r.partSize)) return true;
    ULOG("image of %lu bytes does not fit %s (partition of %lld bytes), nothing written\n",
         Num(r.length), r.dev != nullptr ? r.dev : "", static_cast<long long>(r.partSize));
    return false;
}

// The layout's size is what the package is checked against; the block
// device's own size, where it can be read, is the hard limit: dd would
// otherwise fill the partition and only then fail.
bool FitsDevice(const char* target, uint64_t length) {
    sys::UniqueFd fd(::open(target, O_RDONLY | O_CLOEXEC));
    uint64_t size = 0;
    if (!fd || ::ioctl(fd.get(), BLKGETSIZE64, &size) != 0 || length <= size) return true;
    ULOG("image of %lu bytes does not fit %s (device of %lu bytes), nothing written\n", Num(length),
         target, Num(size));
    return false;
}

void Pause(const flash::WriterEnv& env) {
    if (env.sleep) {
        env.sleep(1);
    } else {
        ::sleep(1);
    }
}

int Finish() {
    ULOG("Write flash over.\n");
    return 0;
}

// The argument vector of a command line, split as UPDATE_ExecLine splits
// it: 0, -1 (with its message) for a line the split refuses, or the error
// number when memory cannot be had.
int SplitLine(const char* cmd, std::vector<std::string>* argv);

// A command whose split failed can never run: it is refused before anything
// is erased, and never retried.
bool Split(const char* cmd, std::vector<std::string>* argv) {
    return SplitLine(cmd, argv) == 0;
}

int RetryNor(const std::vector<std::string>& argv, const flash::WriterEnv& env) {
    for (int n = 0; n < kAttempts; ++n) {
        const int ret = UPDATE_Exec(argv);
        if (ret == 0) return Finish();
        ULOG("NOR flash write failed[%d] error [%d]\n", n, ret);
        if (n + 1 < kAttempts) Pause(env);
    }
    ULOG("NOR flash write final failed.\n");
    return -1;
}

int RetryNand(const std::vector<std::string>& argv, const flash::WriterEnv& env) {
    for (int n = 0; n < kAttempts; ++n) {
        if (UPDATE_Exec(argv) == 0) return 0;
        ULOG("NAND flash write failed[%d].\n", n);
        if (n + 1 < kAttempts) Pause(env);
    }
    ULOG("NAND flash write final failed.\n");
    return -1;
}

int EraseNand(const char* host, const char* dev) {
    Command cmd;
    if (!Format(cmd, "%s flash_eraseall %s", host, dev)) return -1;
    ULOG("%s\n", cmd);
    const int ret = UPDATE_ExecLine(cmd);
    if (ret != 0) {
        ULOG_ONLY("Erase flash failed, err=%d\n", ret);
        ULOG("Erase flash failed.\n");
    }
    return ret;
}

// The copy of dd ends exactly at the image's last byte.
bool FormatDd(Command& cmd, const flash::WriteRequest& r, const char* target) {
    return Format(cmd, "dd if=%s of=%s  bs=1M count=%lu skip=%lu iflag=skip_bytes,count_bytes ",
                  Quoted(r.file).c_str(), Quoted(target).c_str(), Num(r.length), Num(r.fileOffset));
}

// Runs an eMMC command once, flushes, and (for a dd copy into target) reads
// the written range back.
int RunEmmc(const char* report, const char* cmd, const flash::WriteRequest& r, const char* target,
            const flash::WriterEnv& env) {
    if (target != nullptr && !FitsDevice(target, r.length)) return -1;
    ULOG(report, cmd);
    const auto start = std::chrono::steady_clock::now();
    const bool latched = UPDATE_FullSignatureRequired();
    const int status = UPDATE_System(cmd);
    if (std::strcmp(cmd, kClearRuntime) == 0) (void)UPDATE_RestoreFullSignatureLatch(latched);
    if (status != 0) {
        ULOG("update %s failed!\n", r.dev);
        return -1;
    }
    (void)UPDATE_System("sync");
    (void)UPDATE_System("sync");
    (void)UPDATE_System("echo 1 > /proc/sys/vm/drop_caches");
    if (target != nullptr) {
        const auto written = std::chrono::steady_clock::now();
        const int same = env.verify ? env.verify(target, r.file, r.fileOffset, r.length)
                                    : flash::VerifyCopy(target, r.file, r.fileOffset, r.length);
        if (same != 0) {
            ULOG("update %s failed!\n", r.dev);
            return -1;
        }
        const std::chrono::duration<double> copy = written - start;
        const std::chrono::duration<double> check = std::chrono::steady_clock::now() - written;
        ULOG_ONLY("read back %lu bytes of %s: same as the image (copy %.2f s, read-back %.2f s)\n",
                  Num(r.length), target, copy.count(), check.count());
    }
    return Finish();
}

// The "mdc.bin" partition is found by the hardware-abstraction device; its
// slot's own device is the fall-back.
std::string MdcTarget(const flash::WriteRequest& r) {
    PART_INFO_S info{};
    info.FlashType = r.flashType;
    sys::CopyText(info.Name, kMdcName);
    const int ret = UPDATE_GetPartInfo(&info);
    if (ret != 0) {
        ULOG_ONLY("get %s part info failed ! iRet = %d\n", kMdcName, ret);
        return r.dev;
    }
    std::string path(sys::FieldText(info.Path));
    ULOG("update part info! begin write to %s\n", path.c_str());
    return path;
}

// The image file as one word of a tool's command line: the path itself, or,
// for a path the split would refuse (64 characters or more, a blank: a
// package deep on a USB stick), a short link to it in "/tmp" that lives as
// long as this object.
class ImageWord {
  public:
    explicit ImageWord(const char* file) : word_(file) {
        if (word_.size() < kWordSize && word_.find_first_of(" \t") == std::string::npos) return;
        std::string target = word_;
        if (target.front() != '/') {
            char cwd[4096];
            if (::getcwd(cwd, sizeof cwd) == nullptr) return;
            target = std::string(cwd) + "/" + target;
        }
        const std::string link = sys::DevicePath(kImageLink);
        (void)::unlink(link.c_str());
        if (::symlink(target.c_str(), link.c_str()) != 0) {
            ULOG("cannot link %s to %s: %s\n", kImageLink, word_.c_str(), std::strerror(errno));
            return;
        }
        ULOG_ONLY("image file %s is written through %s\n", word_.c_str(), kImageLink);
        word_ = kImageLink;
        linked_ = true;
    }
    ~ImageWord() {
        if (linked_) (void)::unlink(sys::DevicePath(kImageLink).c_str());
    }
    ImageWord(const ImageWord&) = delete;
    ImageWord& operator=(const ImageWord&) = delete;
    [[nodiscard]] const char* c_str() const { return word_.c_str(); }

  private:
    std::string word_;
    bool linked_ = false;
};

int WriteNor(const char* host, const char* copy_target, const flash::WriteRequest& r,
             const flash::WriterEnv& env) {
    Command cmd;
    bool ok;
    const ImageWord file(r.file);
    if (IsRole(r.dev, kSlotConfig)) {
        ok = Format(cmd, "%s flash_eraseall %s", host, r.dev);
    } else {
        if (!Fits(r)) return -1;
        ok = Format(cmd, "%s flashcp -g %lu -l %lu -o %lu %s %s", host, Num(r.fileOffset),
                    Num(r.length), Num(r.flashOffset), file.c_str(), copy_target);
    }
    std::vector<std::string> argv;
    if (!ok || !Split(cmd, &argv)) return -1;
    ULOG("%s\n", cmd);
    return RetryNor(argv, env);
}

// An entry of length 0 is no image, on every flash kind: nothing is erased
// or written for it (flashcp would read "-l 0" as the whole package).
bool Absent(const flash::WriteRequest& r) {
    if (r.length != 0) return false;
    ULOG("no image for %s (length 0): nothing erased or written\n", r.dev);
    return true;
}

// The write command of the NAND writers, built and split before the erase.
struct NandWrite {
    Command cmd{};
    std::vector<std::string> argv;
    const char* tag = nullptr;  // console tag
    bool erase = true;          // a UBI volume update erases nothing itself
};

int SplitLine(const char* cmd, std::vector<std::string>* out) {
    const std::size_t len = cmd != nullptr ? ::strnlen(cmd, kCmdSize) : 0;
    if (len >= kCmdSize) {
        ULOG("Invalid argument: cmd len %d\n", static_cast<int>(std::strlen(cmd)));
        return -1;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[(kMaxWords + 1) * kWordSize]);
    if (!block) return ENOMEM;

    const std::string_view line(cmd != nullptr ? cmd : "", len);
    int words = 0;
    std::size_t pos = 0;
    while (true) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string_view::npos) break;
        std::size_t end = line.find_first_of(" \t", pos);
        if (end == std::string_view::npos) end = line.size();
        const std::size_t wlen = end - pos;
        if (wlen >= kWordSize || words >= kMaxWords) {
            ULOG("Invalid argument: arg num %d arg len %d\n", words, static_cast<int>(wlen));
            return -1;
        }
        sys::CopyText(block.get() + words * kWordSize, kWordSize, line.substr(pos, wlen));
        ++words;
        pos = end;
    }
    out->clear();
    out->reserve(static_cast<std::size_t>(words));
    for (int i = 0; i < words; ++i) out->emplace_back(block.get() + i * kWordSize);
    return 0;
}

}  // namespace

int UPDATE_ExecLine(const char* cmd) {
    std::vector<std::string> argv;
    const int ret = SplitLine(cmd, &argv);
    return ret != 0 ? ret : UPDATE_Exec(argv);
}

namespace flash {

int WriteFlash(const WriteRequest& r, const WriterEnv& env) {
    if (r.dev == nullptr || r.file == nullptr) return -1;
    if (Absent(r)) return 0;
    // Only the NAND commands depend on the root file system.
    const bool nand = r.flashType != kFlashNor && r.flashType != kFlashEmmc;
    const FsFacts fs = nand ? ProbeFs() : FsFacts{};
    ULOG("Begin write flash, mtd:%s\n", r.dev);
    const bool config = IsRole(r.dev, kSlotConfig);

    if (r.flashType == kFlashNor) return WriteNor(kPackageHost, kNorChip, r, env);

    Command cmd;
    if (r.flashType == kFlashEmmc) {
        if (config) return RunEmmc("update CMD :%s\n", kClearRuntime, r, nullptr, env);
        if (!Fits(r)) return -1;
        const std::string target = IsRole(r.dev, kSlotMdc) ? MdcTarget(r) : std::string(r.dev);
        if (!FormatDd(cmd, r, target.c_str())) return -1;
        return RunEmmc("update CMD :%s\n", cmd, r, target.c_str(), env);
    }

    if (config && (fs.ubiRuntime || !fs.Legacy())) {
        const bool latched = UPDATE_FullSignatureRequired();
        (void)UPDATE_System(kClearRuntime);
        (void)UPDATE_RestoreFullSignatureLatch(latched);
        ULOG("rm -rf /var/runtime/*.\n");
        return 0;
    }
    if (config) {
        if (const int ret = EraseNand(kPackageHost, r.dev); ret != 0) return ret;
        return Finish();
    }

    const bool ubi_image = !fs.yaffs2 && !fs.jffs2 && !fs.squashfs && !fs.ext4 &&
                           (IsRole(r.dev, kSlotUboot) || IsRole(r.dev, kSlotTvconfig));
    const bool program_like = fs.yaffs2 && (IsRole(r.dev, kSlotProgram) || IsRole(r.dev, kSlotWeb));
    const bool volume = ubi_image && !IsRole(r.dev, kSlotUboot);
    // The volume's own size bounds a UBI volume update: ubiupdatevol refuses
    // a longer image before it changes the volume.
    if (!volume && !Fits(r)) return -1;
    const ImageWord file(r.file);
    NandWrite w;
    bool ok;
    if (ubi_image && !volume) {
        ok = Format(w.cmd, "/usr/sbin/nandwrite_mboot -g %lu -l %lu -m %s", Num(r.fileOffset),
                    Num(r.length), file.c_str());
        w.tag = "MTD_BOOTLOAD";
    } else if (volume) {
        // The volume lives on the UBI device of this partition: erasing the
        // partition under it would destroy the volume table and every
        // erase counter. The update replaces the volume's content itself.
        ok = Format(w.cmd, "/usr/sbin/ubiupdatevol /dev/ubi0_0 --skip %lu -s %lu %s",
                    Num(r.fileOffset), Num(r.length), file.c_str());
        w.tag = "MTD_BOOTLOAD";
        w.erase = false;
    } else {
        ok = Format(w.cmd, "/usr/sbin/nandwrite %s %s -g %lu -l %lu -m %s",
                    program_like ? "-o" : "-p", r.dev, Num(r.fileOffset), Num(r.length),
                    file.c_str());
        if (program_like) w.tag = "MTD_PROGRAM";
    }
    if (!ok || !Split(w.cmd, &w.argv)) return -1;  // before anything is erased
    if (w.erase) {
        if (const int ret = EraseNand(kPackageHost, r.dev); ret != 0) return ret;
    }
    if (w.tag != nullptr) std::printf("%s\n", w.tag);
    ULOG("%s\n", w.cmd);
    if (RetryNand(w.argv, env) != 0) return -1;
    if (!fs.Legacy() && IsRole(r.dev, kSlotTvconfig)) {
        NVRAM_ITEM_S item{};
        sys::CopyText(item.name, "sync_mmap");
        sys::CopyText(item.value, "1");
        (void)SetEnvToFlash(&item);
    }
    return Finish();
}

int WriteImage(const WriteRequest& r, const WriterEnv& env) {
    if (r.dev == nullptr || r.file == nullptr) return -1;
    if (Absent(r)) return 0;
    ULOG("Begin write flash, mtd:%s\n", r.dev);
    const bool config = IsRole(r.dev, kSlotConfig);
    const bool program_like = IsRole(r.dev, kSlotProgram) || IsRole(r.dev, kSlotWeb);

    if (r.flashType == kFlashNor) {
        // The device is the slot's own partition and the layout's offsets
        // count from the chip's start: the image goes to the partition's
        // start, as on NAND and eMMC.
        WriteRequest at_start = r;
        at_start.flashOffset = 0;
        return WriteNor(kFirmwareHost, r.dev, at_start, env);
    }

    Command cmd;
    if (r.flashType == kFlashEmmc) {
        if (config) return RunEmmc("update CMD is %s\n", kClearRuntime, r, nullptr, env);
        if (!Fits(r)) return -1;
        if (program_like || IsRole(r.dev, kSlotKernel) || IsRole(r.dev, kSlotUboot)) {
            if (!FormatDd(cmd, r, r.dev)) return -1;
            return RunEmmc("update CMD is %s\n", cmd, r, r.dev, env);
        }
        // The firmware's tool places the image itself; its own check is the
        // exit status.
        if (!Format(cmd, "/var/cmdtmp/mmcwrite %s 0x%x 0x%x 0x%x 0x%x", Quoted(r.file).c_str(),
                    static_cast<unsigned>(r.fileOffset), static_cast<unsigned>(r.length),
                    static_cast<unsigned>(r.flashOffset), static_cast<unsigned>(r.partSize))) {
            return -1;
        }
        return RunEmmc("update CMD is %s\n", cmd, r, nullptr, env);
    }

    if (config) {
        if (const int ret = EraseNand(kFirmwareHost, r.dev); ret != 0) return ret;
        return Finish();
    }
    if (!Fits(r)) return -1;
    const ImageWord file(r.file);
    NandWrite w;
    if (!Format(w.cmd, "/usr/sbin/nandwrite %s %s -g %lu -l %lu -m %s", program_like ? "-o" : "-p",
                r.dev, Num(r.fileOffset), Num(r.length), file.c_str()) ||
        !Split(w.cmd, &w.argv)) {
        return -1;
    }
    if (const int ret = EraseNand(kFirmwareHost, r.dev); ret != 0) return ret;
    ULOG("%s\n", w.cmd);
    if (RetryNand(w.argv, env) != 0) return -1;
    return Finish();
}

namespace {

// Reads n bytes of the file in a second thread while this one reads the
// device (dev_len >= n bytes, rounded for direct reads), so that the
// read-back costs about one read, not two.
bool ReadBoth(int src, uint8_t* want, uint64_t src_pos, int dev, uint8_t* got, uint64_t dev_pos,
              std::size_t n, std::size_t dev_len) {
    ssize_t src_got = -1;
    std::thread reader;
    try {
        reader = std::thread([&] { src_got = sys::PreadFull(src, want, n, src_pos); });
    } catch (...) {
        src_got = sys::PreadFull(src, want, n, src_pos);  // no thread: one after the other
    }
    const ssize_t dev_got = sys::PreadFull(dev, got, dev_len, dev_pos);
    if (reader.joinable()) reader.join();
    return src_got == static_cast<ssize_t>(n) && dev_got >= static_cast<ssize_t>(n);
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

AlignedBuffer Allocate(std::size_t size) {
    return AlignedBuffer(static_cast<uint8_t*>(std::aligned_alloc(kDirectAlign, size)));
}

// Direct reads fetch what the medium holds, never the copy's cached pages;
// where they are refused, the cache is dropped and plain reads serve.
sys::UniqueFd OpenReadBack(const char* target, bool* direct) {
    if (*direct) {
        sys::UniqueFd fd(::open(target, O_RDONLY | O_CLOEXEC | O_DIRECT));
        if (fd) return fd;
        *direct = false;
    }
    sys::UniqueFd fd(::open(target, O_RDONLY | O_CLOEXEC));
    if (fd) (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    return fd;
}

}  // namespace

int64_t DeviceSize(const char* dev) {
    std::unique_ptr<MtdDevice> mtd = OpenMtd(dev != nullptr ? dev : "", O_RDONLY);
    MtdInfo info;
    if (!mtd || mtd->GetInfo(&info) != 0) return 0;
    return info.size;
}

int VerifyCopy(const char* target, const char* file, uint64_t offset, uint64_t length) {
    // A package written straight from its medium: the partition must hold
    // what the check read, whatever the medium holds now.
    if (UPDATE_HasSubImageDigests(file))
        return UPDATE_CheckAgainstDigest(file, offset, length, target) == 0 ? 0 : -1;
    bool direct = true;
    sys::UniqueFd dev = OpenReadBack(target, &direct);
    sys::UniqueFd src(::open(file, O_RDONLY | O_CLOEXEC));
    if (!dev || !src) {
        ULOG("read-back of %s: cannot open %s (%s)\n", target, !dev ? target : file,
             std::strerror(errno));
        return -1;
    }
    (void)::posix_fadvise(src.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    AlignedBuffer want = Allocate(kVerifyBuffer);
    AlignedBuffer got = Allocate(kVerifyBuffer);
    if (!want || !got) {
        ULOG("read-back of %s: out of memory\n", target);
        return -1;
    }
    for (uint64_t pos = 0; pos < length;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(kVerifyBuffer, length - pos));
        const std::size_t dev_len =
            direct ? (n + kDirectAlign - 1) / kDirectAlign * kDirectAlign : n;
        if (!ReadBoth(src.get(), want.get(), offset + pos, dev.get(), got.get(), pos, n, dev_len)) {
            if (direct && errno == EINVAL) {  // a device that takes no direct reads
                direct = false;
                dev = OpenReadBack(target, &direct);
                if (dev) continue;
            }
            ULOG("read-back of %s: short read at byte %" PRIu64 " of %" PRIu64 "\n", target, pos,
                 length);
            return -1;
        }
        if (std::memcmp(want.get(), got.get(), n) != 0) {
            std::size_t at = 0;
            while (want.get()[at] == got.get()[at]) ++at;
            ULOG("read-back of %s differs from the image at byte %" PRIu64 "\n", target, pos + at);
            return -1;
        }
        pos += n;
    }
    return 0;
}

}  // namespace flash

int UPDATE_WriteFlash(const char* dev, const char* file, int64_t partSize, uint64_t flashType,
                      uint64_t fileOffset, uint64_t length, uint64_t flashOffset) {
    return flash::WriteFlash({dev, file, partSize, flashType, fileOffset, length, flashOffset}, {});
}

int UPDATE_WriteImage(const char* dev, const char* file, int64_t partSize, uint64_t flashType,
                      uint64_t fileOffset, uint64_t length, uint64_t flashOffset) {
    return flash::WriteImage({dev, file, partSize, flashType, fileOffset, length, flashOffset}, {});
}
