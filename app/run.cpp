// The update run after parsing: relocation, single instance, log, worker and
// watchdog, verdict and closing steps.
#include "app/run.h"

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "app/cmdline.h"
#include "app/relocate.h"
#include "app/single.h"
#include "app/steps.h"
#include "app/worker.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/request.h"
#include "flash/unlock.h"
#include "package/integrity.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr const char* kRebootTrigger = "/proc/rmc/test";
constexpr const char* kPasswordMask = "******";
constexpr std::size_t kStartLineSize = 512;

// Appends a word and one blank while the whole pair fits; reports whether it did.
bool AppendWord(char (&line)[kStartLineSize], std::string_view word) {
    std::size_t len = ::strnlen(line, sizeof(line));
    if (len + word.size() + 1 > sizeof(line) - 1) return false;
    std::memcpy(line + len, word.data(), word.size());
    line[len + word.size()] = ' ';
    line[len + word.size() + 1] = '\0';
    return true;
}

const char* MaskedPassword(const char* password) {
    return password[0] != '\0' ? kPasswordMask : "";
}

class RealRebootActions : public app::RebootActions {
  public:
    void Sleep(unsigned seconds) override { ::sleep(seconds); }
    void Sync() override { ::sync(); }
    int Kill(pid_t pid, int sig) override { return ::kill(pid, sig); }
};

// The worker is detached and never joined, but it borrows the request record
// and may still be recording versions after the watchdog has seen 100 %.
// The entry waits (bounded) for it to leave before it frees the record and
// exits, so a run with -wait does not cut the record log short.
struct WorkerExit {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
};
WorkerExit g_worker_exit;
// Set when the run ends while the worker still borrows the record.
bool g_record_lent = false;

void* RunWorker(void* arg) {
    UPDATE_LoadUpdate(arg);
    {
        std::lock_guard<std::mutex> lock(g_worker_exit.mutex);
        g_worker_exit.finished = true;
    }
    g_worker_exit.cv.notify_all();
    return nullptr;
}

// True when the worker left within the bound.
bool WaitForWorker(std::chrono::seconds bound) {
    std::unique_lock<std::mutex> lock(g_worker_exit.mutex);
    return g_worker_exit.cv.wait_for(lock, bound, [] { return g_worker_exit.finished; });
}

int Close(UPDATE_PARA_S* para, int result, bool worker);

}  // namespace

bool UPDATE_WorkerHoldsRecord() {
    return g_record_lent;
}

int UPDATE_RunUpdate(int argc, char** argv, UPDATE_PARA_S* para) {
    g_record_lent = false;
    // Run from "/tmp/memupdate", never from the partition being rewritten.
    if (UPDATE_RunFromTmp(argv) != 0) {
        UPDATE_Reboot();
        return -1;
    }

    if (FUNC_CountPid(argv[0]) > 1) {
        std::printf("Update is running, please wait.\n");
        std::fflush(stdout);
        return -1;
    }

    if (!sys::LogOpen(sys::kUpdateLogPath, "a+")) {
        std::printf("Open log file %s failed\n", sys::kUpdateLogPath);
        std::fflush(stdout);
    }
    UPDATE_LogStart(argc, argv, para);

    int ret = UPDATE_CheckRemote(para);
    if (ret != 0) {
        sys::LogClose();
        return ret;
    }

    int result = 0;
    if (para->DebugFlag == 1) {
        // One raw image in the main thread: no worker, no watchdog.
        result = UPDATE_LoadSingle(para);
        if (result != 0) {
            ULOG("load or update failed!\n");
            sys::LogClose();
            UPDATE_CleanAll();
            (void)UPDATE_System(
                "sleep 3;/tmp/reboot;sleep 1;reboot;sleep 2;echo r > /proc/rmc/test");
            return result;
        }
        return Close(para, result, false);
    }

    if (UPDATE_InitProgressMutex() != 0) {
        ULOG("Init mutex failed!\n");
        sys::LogClose();
        UPDATE_Reboot();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(g_worker_exit.mutex);
        g_worker_exit.finished = false;
    }
    if (UPDATE_StartThread(RunWorker, para) != 0) {
        ULOG("load or update failed!\n");
        sys::LogClose();
        UPDATE_Reboot();
        return -1;
    }

    result = UPDATE_Watch();
    if (result != 0) {
        if (para->CheckFlag == 1) {
            ULOG("load or update failed!err:%d\n", result);
            para->RebootFlag = 0;
            UPDATE_CleanAll();
        } else {
            // A failed update always reboots, -wait notwithstanding.
            ULOG("Update failed. System reboot soon...\n");
            para->RebootFlag = 1;
        }
    }

    return Close(para, result, true);
}

namespace {

// The closing steps after the load: unlock, success lines (not for a single
// debug image), log copy and reboot where wanted, the worker's leave.
int Close(UPDATE_PARA_S* para, int result, bool worker) {
    UPDATE_UnlockFlash();
    if (result == 0 && para->CheckFlag == 0 && worker) {
        UPDATE_ShowSuccess(para);
        // From a package whose full signature held on, the device requires one.
        (void)UPDATE_LatchFullSignature();
    }
    if (para->RebootFlag == 1 && para->CheckFlag == 0) {
        if (result == 0) ULOG("Update success. System reboot now...");
        (void)UPDATE_System("cp -rf /var/log/update.log /var/runtime/log/ > /dev/null 2>&1");
        UPDATE_Reboot();
    }

    // A stalled worker (-10) may never leave; everything else leaves at once.
    // One that has not left keeps its record (see UPDATE_WorkerHoldsRecord).
    if (worker) {
        const bool left =
            WaitForWorker(result != -10 ? std::chrono::seconds(30) : std::chrono::seconds(0));
        g_record_lent = !left;
    }
    sys::LogClose();
    return result;
}

}  // namespace

void UPDATE_LogStart(int argc, char** argv, const UPDATE_PARA_S* para) {
    // The log is kept on persistent storage later, so the password never
    // reaches it in clear: neither as a command-line word nor as a field.
    // The words hidden are those the parser took as the password.
    char line[kStartLineSize] = {};
    const std::vector<bool> secret = app::PasswordWords(argc, argv);
    for (int i = 0; i < argc; ++i) {
        std::string_view word = argv[i];
        if (secret[static_cast<std::size_t>(i)] && !word.empty()) word = kPasswordMask;
        if (!AppendWord(line, word)) break;
    }
    ULOG("Start update process: %s\n", line);
    ULOG_ONLY("TransType:%u, UpdateType:%u, ForceFlag:%u, remote:%s, user:%s, password:%s\n",
              static_cast<unsigned>(para->TransType), static_cast<unsigned>(para->UpdateType),
              static_cast<unsigned>(para->ForceFlag), para->remote, para->user,
              MaskedPassword(para->password));
}

namespace app {

void RebootSequence(RebootActions& actions) {
    for (unsigned delay : {6u, 2u, 1u}) {
        actions.Sleep(delay);
        actions.Sync();
        (void)actions.Kill(1, SIGTERM);
    }
    const std::string trigger = sys::DevicePath(kRebootTrigger);
    sys::UniqueFd fd(::open(trigger.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) return;
    ssize_t ignored = ::write(fd.get(), "r", 1);
    (void)ignored;
}

}  // namespace app

void UPDATE_Reboot() {
    RealRebootActions actions;
    app::RebootSequence(actions);
}
