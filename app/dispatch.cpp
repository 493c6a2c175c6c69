// The dispatcher proper: checks, preparation and the partition writes of one
// update step.
//
// Safety rules kept here, each where a reader might expect otherwise:
// - The package's CRC and signature are checked once per run before its
//   first write, whatever images the step selects (a boot loader alone is
//   checked as a kernel is); later steps trust that result.
// - An encrypted package is deciphered in place only in RAM: one elsewhere
//   (a -local package on the operator's media) is first copied to
//   "/tmp/Program.bin", and the checks and writes use that copy. One that
//   does not fit there is refused before anything is written.
// - An image longer than its partition is refused by the writer itself.
// - A first stage runs a package's own update program only after the
//   package's CRC and signature held, as before a write.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "app/dispatch.h"
#include "app/launch.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/request.h"
#include "flash/writer.h"
#include "oem/oem.h"
#include "package/checked.h"
#include "package/decrypt.h"
#include "package/format.h"
#include "package/integrity.h"
#include "package/trust.h"
#include "package/version.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/quote.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr unsigned long kTmpfsMagic = 0x01021994;
constexpr unsigned long kRamfsMagic = 0x858458F6;
constexpr const char* kEncryptedMark = "ECI";
constexpr const char* kToolHost = "/tmp/busybox";
constexpr size_t kToolCopyBuffer = 1 << 20;
constexpr size_t kCmdSize = 512;
constexpr size_t kMtdLineSize = 512;

// Set once this run has left the writing to the package's own program.
bool g_handed_over = false;

bool IsEncrypted() {
    return std::strcmp(UPDATE_EncryptFlag(), kEncryptedMark) == 0;
}

// Whether two names lead to one file ("/tmp//Program.bin", a second
// stage's name for the package its first stage placed there).
bool SameFile(const char* a, const char* b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Whether the package lies in RAM, where deciphering it in place alters
// nothing the operator keeps.
bool InRam(const char* path) {
    if (std::strcmp(path, kRamPackagePath) == 0 || SameFile(path, kRamPackagePath)) return true;
    struct statfs fs {};
    if (::statfs(path, &fs) != 0) {
        ULOG("update check fs of file %s error %s.\n", path, std::strerror(errno));
        return false;
    }
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (type == kTmpfsMagic || type == kRamfsMagic) {
        // A read-only RAM medium cannot take the deciphered bytes in place.
        if (::access(path, W_OK) == 0) return true;
        ULOG("update file %s in RAM is read-only (%s); it is deciphered in a copy.\n", path,
             std::strerror(errno));
        return false;
    }
    ULOG("update file %s in fs 0x%lx (neither 0x%lx nor 0x%lx).\n", path, type, kTmpfsMagic,
         kRamfsMagic);
    return false;
}

// Copies a package that lies outside RAM to "/tmp/Program.bin" (reported as
// the relocation decision when report is set). 0, -1 when it does not fit
// there, or the copy command's status.
int PlaceInRam(UPDATE_TASK_S* task, bool report = false) {
    const char* path = task->pszBinFile;
    const bool in_ram = InRam(path);
    if (report) {
        ULOG("update path check bin: %s, need: %s, Relocale: %u \n", path, kRamPackagePath,
             in_ram ? 0U : 1U);
    }
    if (in_ram) return 0;
    struct stat st {};
    struct statvfs room {};
    if (::stat(path, &st) != 0 || ::statvfs("/tmp", &room) != 0) {
        ULOG("update cannot size %s or /tmp: %s\n", path, std::strerror(errno));
        return -1;
    }
    const unsigned long long need = static_cast<unsigned long long>(st.st_size);
    const unsigned long long free_bytes =
        static_cast<unsigned long long>(room.f_bavail) * room.f_frsize;
    if (need > free_bytes) {
        ULOG(
            "update encrypted package %s (%llu bytes) does not fit in /tmp (%llu bytes free); "
            "it is deciphered in RAM only.\n",
            path, need, free_bytes);
        return -1;
    }
    ULOG("update relocate %s -> %s\n", path, kRamPackagePath);
    const std::string cmd = "cp -f " + sys::ShellQuote(path) + " " + kRamPackagePath;
    int s = UPDATE_System(cmd.c_str());
    if (s != 0) {
        ULOG("relocate cmd %s failed.\n", cmd.c_str());
        (void)::unlink(kRamPackagePath);
        return s;
    }
    task->pszBinFile = kRamPackagePath;
    return 0;
}

}  // namespace

namespace {

// The bytes free in /tmp against the package's size: whether the package
// fits there whole.
bool FitsInTmp(const char* path, unsigned long long* need, unsigned long long* free_bytes) {
    struct stat st {};
    struct statvfs room {};
    if (::stat(path, &st) != 0 || ::statvfs(sys::DevicePath("/tmp").c_str(), &room) != 0) {
        ULOG("update cannot size %s or /tmp: %s\n", path, std::strerror(errno));
        return false;
    }
    *need = static_cast<unsigned long long>(st.st_size);
    *free_bytes = static_cast<unsigned long long>(room.f_bavail) * room.f_frsize;
    return *need <= *free_bytes;
}

// A fresh "/tmp/Program.bin" that no one else holds: whatever stood there
// goes, and a link planted in its place is not followed.
sys::UniqueFd CreateRamCopy() {
    const std::string path = sys::DevicePath(kRamPackagePath);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        ULOG("update cannot remove %s: %s\n", kRamPackagePath, std::strerror(errno));
        return {};
    }
    sys::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) ULOG("update cannot create %s: %s\n", kRamPackagePath, std::strerror(errno));
    return fd;
}

// How the check reads a package outside RAM: into a private copy in RAM
// when it fits, else counting every sub-image's digest. A package that must
// be deciphered, or a flash kind whose writes are not read back, needs the
// copy: without room for it the package is refused before anything is
// written. 0 or -1.
int PrepareCheckedRead(const UPDATE_TASK_S& task, sys::UniqueFd* copy,
                       std::unique_ptr<pkg::CheckedRead>* read) {
    unsigned long long need = 0;
    unsigned long long free_bytes = 0;
    if (FitsInTmp(task.pszBinFile, &need, &free_bytes)) {
        *copy = CreateRamCopy();
        if (!*copy) return -1;
        ULOG("update reads %s once into %s for the check and the writes\n", task.pszBinFile,
             kRamPackagePath);
        *read = std::make_unique<pkg::CheckedRead>(copy->get(), nullptr);
        return 0;
    }
    if (need == 0 && free_bytes == 0) return -1;
    if (IsEncrypted()) {
        ULOG(
            "update encrypted package %s (%llu bytes) does not fit in /tmp (%llu bytes free); "
            "it is deciphered in RAM only.\n",
            task.pszBinFile, need, free_bytes);
        return -1;
    }
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (platform == nullptr || platform->FlashType != kFlashEmmc) {
        ULOG(
            "update package %s (%llu bytes) does not fit in /tmp (%llu bytes free), and this "
            "flash's writes are not read back; nothing written.\n",
            task.pszBinFile, need, free_bytes);
        return -1;
    }
    ULOG(
        "update package %s (%llu bytes) does not fit in /tmp (%llu bytes free): every "
        "sub-image is held against its digest from the check\n",
        task.pszBinFile, need, free_bytes);
    *read = std::make_unique<pkg::CheckedRead>(-1, task.pstFileStruct);
    return 0;
}

// After the check's read: the copy or the digests take the medium's place.
// 0, or -9 when the read was cut short or the bytes checked hold another
// table than the one the writes would follow.
int AdoptCheckedRead(UPDATE_TASK_S* task, pkg::CheckedRead& read, bool copied) {
    if (!read.Finish()) {
        ULOG("update package %s could not be read whole for the check.\n", task->pszBinFile);
        return -9;
    }
    if (task->pstFileStruct != nullptr && !read.SameTable(*task->pstFileStruct)) {
        ULOG("update package %s changed between its table and its check.\n", task->pszBinFile);
        return -9;
    }
    if (copied) {
        ULOG_ONLY("update checked %llu bytes, now in %s\n",
                  static_cast<unsigned long long>(read.BytesRead()), kRamPackagePath);
        task->pszBinFile = kRamPackagePath;
    } else {
        UPDATE_KeepSubImageDigests(task->pszBinFile, read.Digests());
    }
    return 0;
}

// The checks proper: CRC (unless forced) and signature (with a public key)
// in one pass, that pass also feeding sink. 0, -9 or -12.
int CheckOnce(UPDATE_TASK_S* task, const pkg::Sink& sink) {
    const bool with_signature = UPDATE_HasPublicKey();
    int crc_result = 0;
    int sig_result = 0;
    if (task->Para->ForceFlag != 1) {
        int ret = UPDATE_CheckCrcAndDigSig(task->HeadCrc, task->pszBinFile,
                                           with_signature ? task->DigSig : nullptr, &crc_result,
                                           &sig_result, sink);
        if (crc_result != 0 || (ret != 0 && sig_result == 0)) {
            ULOG("update check crc failed.\n");
            return -9;
        }
    } else if (with_signature) {
        sig_result = UPDATE_CheckDigSig(task->pszBinFile, task->DigSig, sink);
    } else if (sink) {
        // Forced without a key: nothing is checked, but the copy is made.
        sys::UniqueFd fd(::open(task->pszBinFile, O_RDONLY | O_CLOEXEC));
        pkg::ScanOptions options;
        options.sink = sink;
        pkg::ScanResult ignored;
        if (!fd || pkg::ScanPackage(fd.get(), options, &ignored) != 0) {
            ULOG("update cannot read %s.\n", task->pszBinFile);
            return -9;
        }
    }
    if (with_signature) {
        if (sig_result != 0) {
            ULOG("update check digital signature failed.\n");
            return -12;
        }
        ULOG_ONLY("Count sha256 over!\n");
    }
    return 0;
}

}  // namespace

int UPDATE_VerifyPackage(UPDATE_TASK_S* task) {
    sys::UniqueFd copy;
    std::unique_ptr<pkg::CheckedRead> read;
    if (!InRam(task->pszBinFile) && PrepareCheckedRead(*task, &copy, &read) != 0) return -1;
    pkg::Sink sink;
    if (read) {
        pkg::CheckedRead* r = read.get();
        sink = [r](const uint8_t* data, size_t n, uint64_t pos) { return r->Feed(data, n, pos); };
    }
    int ret = CheckOnce(task, sink);
    if (ret == 0 && read) ret = AdoptCheckedRead(task, *read, copy.get() >= 0);
    copy.reset();
    if (ret != 0) {
        UPDATE_CleanAll();
        if (ret == -12) UPDATE_ReportResult(-12);
        return ret;
    }
    task->Verified = true;
    return 0;
}

namespace {

// Makes "/tmp/busybox", the host of the built-in tools the writers run,
// afresh in every run: a copy of the running program itself. Whatever stood
// there (an earlier run's program, a file or link another process planted)
// is removed first, and a link put in its place meanwhile is not followed.
int ProvideToolHost() {
    static dev_t made_dev = 0;  // the copy this run made, kept for its later steps
    static ino_t made_ino = 0;
    const std::string host = sys::DevicePath(kToolHost);
    struct stat st {};
    if (made_ino != 0 && ::lstat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_dev == made_dev && st.st_ino == made_ino) {
        return 0;
    }
    // Opened first: the running program may be the "/tmp/busybox" removed next.
    sys::UniqueFd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    if (::unlink(host.c_str()) != 0 && errno != ENOENT) {
        ULOG("remove %s failed, error: %s\n", kToolHost, std::strerror(errno));
        return -1;
    }
    sys::UniqueFd out(
        ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!self || !out) {
        ULOG("make %s failed, error: %s\n", kToolHost, std::strerror(errno));
        return -1;
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kToolCopyBuffer]);
    if (!buf) return -1;
    for (;;) {
        const ssize_t n = sys::ReadFull(self.get(), buf.get(), kToolCopyBuffer);
        if (n < 0 || (n > 0 && !sys::WriteFull(out.get(), buf.get(), static_cast<size_t>(n)))) {
            ULOG("copy to %s failed, error: %s\n", kToolHost, std::strerror(errno));
            out.reset();
            (void)::unlink(host.c_str());
            return -1;
        }
        if (n == 0) break;
    }
    if (::fstat(out.get(), &st) == 0) {
        made_dev = st.st_dev;
        made_ino = st.st_ino;
    }
    return 0;
}

// Unpacks the customisation archive and installs it: the unpack's code, or
// 0 with *load the result of the installation (which does not stop a run).
int Customise(const UPDATE_TASK_S& task, uint64_t t, int* load) {
    *load = 0;
    const SubImageEntry* custom = UPDATE_EntryAt(task.pstFileStruct, UPDATE_CustomPosition());
    const uint32_t length = custom != nullptr ? custom->FileLength : 0;
    ULOG_ONLY("customization length: %u.\n", length);
    if (length == 0 || (t & kImageUboot) != 0) return 0;
    ULOG_ONLY("update custom file.\n");
    // Key changes left by an earlier archive are never taken for this one's.
    std::error_code ec;
    std::filesystem::remove_all(sys::DevicePath(pkg::kTrustChangesDir), ec);
    int r = UPDATE_UnpackFile(task.pszBinFile, custom->FileOffset, length, kCustomZipPath);
    if (r != 0) {
        ULOG_ONLY("update unpack custom file failed.\n");
        return r;
    }
    ULOG_ONLY("update UPDATE_LoadCustom.\n");
    *load = UPDATE_LoadCustom(kCustomZipPath);
    if (*load != 0) ULOG_ONLY("load custom failed.\n");
    // The archive may change the trust set (package/trust.h).
    if (*load == 0) *load = pkg::ApplyTrustChanges();
    return 0;
}

void StopJffs2Collectors() {
    std::FILE* mtd = std::fopen(sys::DevicePath("/proc/mtd").c_str(), "re");
    int count = 0;
    if (mtd == nullptr) {
        ULOG("Failed to open %s\n", std::strerror(errno));
    } else {
        char line[kMtdLineSize];
        while (std::fgets(line, sizeof line, mtd) != nullptr) {
            if (std::strncmp(line, "mtd", 3) == 0) ++count;
        }
        std::fclose(mtd);
    }
    for (int i = 0; i < count; ++i) {
        char cmd[kCmdSize];
        std::snprintf(cmd, sizeof cmd, "killall -9 jffs2_gcd_mtd%d", i);
        ULOG("kill cmd %s\n", cmd);
        (void)UPDATE_System(cmd);
    }
}

// The writes of one step, with what they need from the task.
class StepWriter {
  public:
    StepWriter(const UPDATE_TASK_S& task, const PLATFORM_INFO_S& platform)
        : task_(task), platform_(platform) {}

    // Writes the entry at position into the slot's device, its size taken
    // from the layout row. An absent entry or a slot without a device makes
    // no write (0). console: the entry line reaches the console as well.
    int Write(const char* dev, uint64_t position, int row, bool console = false) const {
        const SubImageEntry* e = UPDATE_EntryAt(task_.pstFileStruct, position);
        if (e == nullptr || dev == nullptr) {
            ULOG_ONLY("no entry %llu or no device for it: nothing written\n",
                      static_cast<unsigned long long>(position));
            return 0;
        }
        EntryLine(*e, console);
        int64_t size =
            platform_.Layout != nullptr ? static_cast<int64_t>(platform_.Layout[row].Size) : 0;
        if (size == 0) size = flash::DeviceSize(dev);
        return UPDATE_WriteFlash(dev, task_.pszBinFile, size, platform_.FlashType, e->FileOffset,
                                 e->FileLength, e->FlashOffset);
    }
    int WriteSlot(int slot, int row, bool console = false) const {
        const PART_SLOT_S& s = platform_.Parts[slot];
        return Write(s.Dev, s.Index, row, console);
    }
    void EntryLine(uint64_t position) const {
        const SubImageEntry* e = UPDATE_EntryAt(task_.pstFileStruct, position);
        if (e != nullptr) EntryLine(*e, false);
    }

    // u-boot, then "mdc.bin" in every case; only the u-boot write decides.
    int Uboot() const {
        ULOG("loading u-boot.bin....\n");
        int r = WriteSlot(kSlotUboot, kRowUboot);
        const uint64_t mdc = UPDATE_MdcPosition();
        if (Write(platform_.Parts[kSlotMdc].Dev, mdc, kRowMdc) != 0) {
            const SubImageEntry* e = UPDATE_EntryAt(task_.pstFileStruct, mdc);
            if (e != nullptr) {
                ULOG_ONLY(
                    "update mdc.bin failed, read FileName:%.128s, FileLength:%u, FileOffset: "
                    "%u, FlashOffset:%u\n",
                    e->FileName, e->FileLength, e->FileOffset, e->FlashOffset);
            }
            ULOG("update mdc.bin failed.\n");
        }
        if (r != 0) {
            ULOG_ONLY("update uboot failed.\n");
            return r;
        }
        return 0;
    }

  private:
    static void EntryLine(const SubImageEntry& e, bool console) {
        const char* fmt = "read FileName:%.128s, FileLength:%u, FileOffset: %u, FlashOffset:%u\n";
        if (console)
            ULOG(fmt, e.FileName, e.FileLength, e.FileOffset, e.FlashOffset);
        else
            ULOG_ONLY(fmt, e.FileName, e.FileLength, e.FileOffset, e.FlashOffset);
    }
    const UPDATE_TASK_S& task_;
    const PLATFORM_INFO_S& platform_;
};

void RemountConfigReadOnly() {
    ULOG("remount config mtd as read-only\n");
    const char* cmd = nullptr;
    if (UPDATE_IsYaffs2() == 0)
        cmd = "mount -o remount,ro -t yaffs2 /dev/mtdblock3 /var/runtime";
    else if (UPDATE_IsJffs2() == 0 || (UPDATE_IsSquashfs() == 0 && UPDATE_IsUbiRuntime() != 0))
        cmd = "mount -o remount,ro -t jffs2 /dev/mtdblock3 /var/runtime";
    if (cmd != nullptr)
        (void)UPDATE_System(cmd);
    else
        ULOG("remount nothing\n");
}

// The writing path: preparation, then kernel, forced u-boot, program,
// tvconfig, web files, u-boot and config, with the progress between them.
int WriteStep(UPDATE_TASK_S* task, const PLATFORM_INFO_S& platform) {
    const uint64_t t = task->Type;
    (void)UPDATE_LoadLanguage();
    int r = ProvideToolHost();
    if (r != 0) return r;

    if (IsEncrypted()) {
        if (UPDATE_DecryptBin(task->pszBinFile, UPDATE_SubImageCount(), task->pstFileStruct,
                              UPDATE_KeyMaterial()) != 0) {
            ULOG("Bin decrypte failed.\n");
            UPDATE_ReportResult(-1);
            return -1;
        }
        if (UPDATE_ClearEncryptFlag(task->pszBinFile) != 0) {
            ULOG("Bin encrypte flag del failed.\n");
            UPDATE_ReportResult(-1);
            return -1;
        }
        UPDATE_ClearKeyMaterial();
        UPDATE_SetSubImageCount(0);
    }

    int load = 0;
    r = Customise(*task, t, &load);
    if (r != 0) return r;
    r = load;  // a customisation that did not load does not stop the writes

    if ((t & 0x3F) != 0) StopJffs2Collectors();

    const StepWriter w(*task, platform);
    if ((t & kImageKernel) != 0) {
        ULOG("update uImage......\n");
        r = w.WriteSlot(kSlotKernel, kRowKernel, true);
        if (r != 0) {
            ULOG_ONLY("update uImage failed.\n");
            return r;
        }
    }
    if ((t & kImageUboot) == 0) {
        char rev[kProbeTextSize] = {};
        (void)UPDATE_GetUbootVersion(rev);
        if (UPDATE_NeedForceUboot(UPDATE_LocalInnerVersion(), UPDATE_ImagePubVersion(), rev)) {
            ULOG("Local need to force update uboot version: %s\n", rev);
            int u = w.Uboot();
            if (u != 0) return u;
        }
    }
    UPDATE_ReportRate(60);
    if ((t & kImageProgram) != 0) {
        ULOG("update program......\n");
        r = w.WriteSlot(kSlotProgram, kRowProgram);
        if (r != 0) {
            ULOG_ONLY("update program failed.\n");
            return r;
        }
    }
    UPDATE_ReportRate(65);
    if ((t & kImageTvconfig) != 0) {
        ULOG("update tvconfig......\n");
        // Into the tvconfig partition's own UBI volume, never over the
        // program partition; the layout has no row for it (size 0), so the
        // partition's own size bounds the image.
        r = w.WriteSlot(kSlotTvconfig, kRowTvconfig);
        if (r != 0) {
            ULOG_ONLY("update tvconfig failed.\n");
            return r;
        }
    }
    UPDATE_ReportRate(70);
    if ((t & kImageWeb) != 0) {
        ULOG("update web oem activex & logo......\n");
        r = w.WriteSlot(kSlotWeb, kRowActiveX);  // a failure does not stop the run
    }
    UPDATE_ReportRate(80);
    if ((t & kImageUboot) != 0) {
        int u = w.Uboot();
        if (u != 0) return u;
    }
    UPDATE_ReportRate(85);
    if ((t & kImageConfig) == 0) return r;

    RemountConfigReadOnly();
    ULOG("loading config....\n");
    const int c = w.WriteSlot(kSlotConfig, kRowConfig);
    // The latch lives in the emptied configuration: a device that required
    // full signatures keeps requiring them whatever the rest of the run does.
    (void)UPDATE_KeepFullSignatureLatch();
    return c;
}

// The first stage: the package's own update program (entry at updater) is
// unpacked to "/tmp/busybox" and run as a second stage on the package, which
// it checks and writes; the package is reachable under a second name while
// that runs. The program's result, or the code of the step that failed.
int HandOver(UPDATE_TASK_S* task, UPDATE_LINK_S* link, const SubImageEntry& updater) {
    int r = UPDATE_ReplaceUpdate(&updater, task->pszBinFile);
    if (r != 0) return r;
    char words[kUpdateParaSize] = {};
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    UPDATE_EncodeTypes(static_cast<unsigned>(task->Type & ~uint64_t{kImageFirstStage}),
                       platform != nullptr ? static_cast<unsigned>(platform->SupportMask) : 0,
                       words);
    UPDATE_EncodeOptions(task->Para->ForceFlag, 0, words);
    ULOG("after encode, szUpdatePara: %s\n", words);
    ULOG("update dir: %s \n", "/tmp");

    r = PlaceInRam(task, true);
    if (r != 0) return r;
    char dir[kCmdSize] = {};
    if (UPDATE_GetBinDir(task->pszBinFile, dir) != 0) return -1;
    // The directory as found ("/tmp/") or as named: one separator either way.
    const size_t n = std::strlen(dir);
    const char* sep = n > 0 && dir[n - 1] == '/' ? "" : "/";
    const int a =
        std::snprintf(link->LinkFile, sizeof link->LinkFile, "%s%sln%s", dir, sep, task->FileName);
    const int b =
        std::snprintf(link->BinFile, sizeof link->BinFile, "%s%s%s", dir, sep, kPackageName);
    if (a < 0 || b < 0 || static_cast<size_t>(a) >= sizeof link->LinkFile ||
        static_cast<size_t>(b) >= sizeof link->BinFile) {
        ULOG("update dir %s too long for the package's second name\n", dir);
        return -1;
    }
    if (::access(link->LinkFile, F_OK) != 0) {
        if (UPDATE_LinkBin(link) != 0) return -1;
        link->Linked = 1;
    }
    UPDATE_ReportRate(20);
    g_handed_over = true;
    return UPDATE_LaunchNew(dir, words);
}

}  // namespace

bool UPDATE_HandedOver() {
    return g_handed_over;
}

int UPDATE_UpdatePartition(UPDATE_TASK_S* task, UPDATE_LINK_S* link) {
    link->Linked = 0;
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (platform == nullptr || task->Para == nullptr || task->pszBinFile == nullptr) return -1;

    if (!task->Verified) {
        int r = UPDATE_VerifyPackage(task);
        if (r != 0) return r;
    }

    const std::string rm = std::string("rm -rf ") + "/tmp/oem";
    ULOG_ONLY("rm oem \n");
    int s = UPDATE_System(rm.c_str());
    if (s != 0) {
        ULOG_ONLY("rm oem : %s failed.\n", rm.c_str());
        return s;
    }
    // A first stage hands a package with its own update program over to it;
    // one without (or with a table too short to hold it) is written here.
    const SubImageEntry* updater = UPDATE_EntryAt(task->pstFileStruct, UPDATE_UpdaterPosition());
    if ((task->Type & kImageFirstStage) != 0 && updater != nullptr && updater->FileLength != 0)
        return HandOver(task, link, *updater);
    return WriteStep(task, *platform);
}

int UPDATE_LinkBin(UPDATE_LINK_S* link) {
    // Logged as the step loop's unit, where the link is given back.
    constexpr const char* kLogUnit = sys::kUnitComm;
    if (::link(link->BinFile, link->LinkFile) != 0) {
        ULOG("failed to create hard link %s for %s, error %s\n", link->LinkFile, link->BinFile,
             std::strerror(errno));
        return -1;
    }
    ULOG_ONLY("create hard link %s success\n", link->LinkFile);
    return 0;
}
