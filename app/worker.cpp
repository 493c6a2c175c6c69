#include "app/worker.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "app/cmdline.h"
#include "app/launch.h"
#include "app/prepare.h"
#include "app/steps.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/request.h"
#include "env/env.h"
#include "fetch/fetch.h"
#include "package/format.h"
#include "package/integrity.h"
#include "package/version.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/priority.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

// Cycles without a new best percent after which the watch gives up.
constexpr int kStallCycles = 600;
constexpr int kStallCode = -10;

// The boot-loader bit with the first-stage bit clear: a second stage that
// writes u-boot itself.
bool WritesUbootItself(uint32_t update_type) {
    return (update_type & (kImageUboot | kImageFirstStage)) == kImageUboot;
}

// Ends the worker with a code: the watchdog sees it and ends the wait.
void* Fail(int code) {
    UPDATE_ReportResult(code);
    return nullptr;
}

// The record is kept by the run that wrote exactly the platform's "all" set:
// a second stage, or a first stage that did not hand over.
bool WantsRecord(const UPDATE_PARA_S& para) {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (platform == nullptr || (IsFirstStage(para) && UPDATE_HandedOver())) return false;
    return ((para.UpdateType ^ platform->SupportMask) & kImageAll) == 0;
}

// Check mode: CRC against the head's value, then the signature where the
// device carries a public key, in one pass over the package.
void* FinishCheck(const char* package, uint32_t head_crc, const uint8_t* digsig) {
    const bool with_signature = UPDATE_HasPublicKey();
    int crc_result = 0;
    int sig_result = 0;
    int ret = UPDATE_CheckCrcAndDigSig(head_crc, package, with_signature ? digsig : nullptr,
                                       &crc_result, &sig_result);
    if (crc_result != 0 || (ret != 0 && sig_result == 0)) {
        ULOG("update check crc failed.\n");
        UPDATE_CleanAll();
        return Fail(-9);
    }
    if (with_signature) {
        if (sig_result != 0) {
            ULOG("update check digital signature failed.\n");
            UPDATE_CleanAll();
            return Fail(-12);
        }
        ULOG_ONLY("Count sha256 over!\n");
    }
    UPDATE_SetDone();
    return nullptr;
}

// What identifies one content of the rate file: a second stage that reports
// rewrites it (the same figure is never written twice in a row).
struct RateStamp {
    long long seconds = 0;
    long nanoseconds = 0;
    std::string text;
    bool operator==(const RateStamp&) const = default;
};

RateStamp ReadRateStamp() {
    const std::string path = sys::DevicePath(kRateFilePath);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    RateStamp stamp{st.st_mtim.tv_sec, st.st_mtim.tv_nsec, {}};
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char text[16];
    const ssize_t n = fd ? sys::ReadFull(fd.get(), text, sizeof text) : -1;
    if (n > 0) stamp.text.assign(text, static_cast<size_t>(n));
    return stamp;
}

}  // namespace

int UPDATE_WatchWith(const std::function<void()>& sleep_one_second) {
    ULOG("Begin to start watch!\n");
    int stalls = 0;
    int32_t best = 0;
    // While a second stage runs, this run's own percent stands still: the
    // second stage's reports to the rate file are its progress then, so a
    // long second stage is waited for and a stalled one still ends at -10.
    RateStamp seen = ReadRateStamp();
    for (;;) {
        const ProgressSnapshot now = UPDATE_ReadProgress();
        if (now.error != 0) {
            ULOG("err:%d!\n", now.error);
            return now.error;
        }
        if (now.done == 1) return 0;
        if (now.percent > 99) return 0;
        bool second_stage_moved = false;
        if (UPDATE_SecondStageRunning()) {
            const RateStamp stamp = ReadRateStamp();
            second_stage_moved = !(stamp == seen);
            seen = stamp;
        }
        if (now.percent > best) {
            best = now.percent;
            stalls = 0;
        } else if (second_stage_moved) {
            stalls = 0;
        } else {
            ++stalls;
        }
        sleep_one_second();
        if (stalls > kStallCycles) return kStallCode;
    }
}

int UPDATE_Watch() {
    // A verdict that is ready (done, an error, 100) ends the pause at once;
    // otherwise each cycle is one second, as the stall count expects.
    return UPDATE_WatchWith([] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        if (UPDATE_WaitForEnd(std::chrono::seconds(1))) return;
        // A wait cut short without a verdict still lasts its second.
        std::this_thread::sleep_until(until);
    });
}

int UPDATE_StartThread(void* (*entry)(void*), void* arg) {
    if (entry == nullptr) return -1;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    int ret = -1;
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0) {
        pthread_t thread;
        ret = pthread_create(&thread, &attr, entry, arg) == 0 ? 0 : -1;
    }
    if (pthread_attr_destroy(&attr) != 0) ret = -1;
    return ret;
}

void* UPDATE_LoadUpdate(void* arg) {
    auto* para = static_cast<UPDATE_PARA_S*>(arg);
    ULOG_ONLY("UPDATE_LoadUpdate\n");
    if (para == nullptr) return Fail(-1);

    // A check writes nothing and does not reboot: the recorder keeps its
    // services and its tools where they are.
    const bool check_only = para->CheckFlag == 1;
    const uint32_t update_type = para->UpdateType;

    if (!check_only) {
        const bool network = para->TransType == kTransTftp || para->TransType == kTransFtp ||
                             para->TransType == kTransTftpAlt;
        if (network && !UPDATE_ServicesStopped()) UPDATE_StopServices();

        if (!WritesUbootItself(update_type) && (update_type & kImageConfig) == 0) {
            ULOG("cp lib and tools.\n");
            if (UPDATE_PrepareTools() != 0) {
                ULOG_ONLY("Falied to read LD lib source\n");
                return Fail(-5);
            }
        } else {
            ULOG("Nothing to do.\n");
        }
    }

    std::unique_ptr<char[]> compat(new (std::nothrow) char[kCompatListSize]());
    if (!compat) {
        ULOG("Failed to alloc compatlist memory.\n");
        return Fail(-2);
    }

    char remote_name[kFileNameSize] = {};
    char local_path[kFileNameSize] = {};
    (void)UPDATE_GetFileNames(para, remote_name, local_path);

    char image_head[kImageHeadSize] = {};
    uint8_t digsig[kDigestSize] = {};
    int ret = 0;
    {
        // The download leaves the CPU and the disk to the recorder first.
        sys::BackgroundPriority background(sys::BackgroundPriority::Work::kIo);
        ret = UPDATE_GetImageHead(para->TransType, para->CheckFlag, update_type, para->remote,
                                  para->user, para->password, remote_name, para->url, image_head,
                                  compat.get(), digsig);
    }
    if (ret != 0) {
        ULOG("Failed to get Image head.\n");
        return Fail(ret);
    }

    FileTable table = UPDATE_GetFileStruct(local_path);
    if (!table) {
        ULOG("update failed! please try again!\n");
        return Fail(-1);
    }

    if (WritesUbootItself(update_type)) {
        ULOG("warning: it will be a risk to update u-boot!");
        if (UPDATE_Confirm() != 0) {
            ULOG("\r\nuser quit updating u-boot.bin!\n");
            return Fail(-1);
        }
    }

    uint32_t head_crc = 0;
    ret = UPDATE_CheckUpdateValid(para->ForceFlag, para->CheckFlag, update_type, image_head,
                                  compat.get(), table.data(), &head_crc);
    if (ret != 0) {
        ULOG("check update valid failed.\n");
        return Fail(ret);
    }
    compat.reset();

    if (check_only) return FinishCheck(local_path, head_crc, digsig);

    UPDATE_TASK_S task{};
    task.Para = para;
    task.pszBinFile = local_path;
    task.pstFileStruct = &table;
    task.HeadCrc = head_crc;
    task.DigSig = digsig;
    // The environment repair and the model copy change the recorder: a
    // package that selects the boot loader is checked before the repair.
    if ((update_type & kImageUboot) != 0) {
        if (NeedUpdateEnv() == 1) {
            ret = UPDATE_VerifyPackage(&task);
            if (ret != 0) {
                ULOG("update failed! please try again!, ulRet=%d\n", ret);
                return Fail(ret);
            }
            int env_ret = UpdateEnvCrc();
            if (env_ret != 0) {
                ULOG("\nfailed to update back env iRet %d.\n", env_ret);
                return Fail(-1);
            }
            ULOG("\nsuccess to update envcrc bakenvcrc. ");
        } else {
            ULOG("\nno need to update envcrc bakenvcrc. ");
        }
    }
    if (UPDATE_NeedCopyModel() != 0) UPDATE_CopyModel();

    if (!UPDATE_ServicesStopped()) UPDATE_StopServices();
    ret = UPDATE_UpdateAll(&task);
    if (ret != 0) {
        ULOG("update failed! please try again!, ulRet=%d\n", ret);
        return Fail(ret);
    }

    // After a hand-over the rate file already shows the second stage's 100:
    // it never goes back to 99.
    if (!(IsFirstStage(*para) && UPDATE_HandedOver())) UPDATE_ReportRate(99);
    UPDATE_ReportRate(100);

    if (WantsRecord(*para)) {
        // The validity check has cut the head at its first separator; the
        // package's inner version is the text before it.
        image_head[kImageHeadSize - 1] = '\0';
        std::string image_inner(image_head, std::strcspn(image_head, "$"));
        UPDATE_AppendRecord(image_inner.c_str());
    }

    ULOG("done!\n");
    table = FileTable();
    UPDATE_CleanTmp();
    return nullptr;
}
