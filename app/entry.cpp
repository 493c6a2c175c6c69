#include "app/entry.h"

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "app/cmdline.h"
#include "app/handover.h"
#include "app/progress.h"
#include "app/request.h"
#include "app/run.h"
#include "flash/platform.h"
#include "flash/tools.h"
#include "package/decrypt.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

constexpr const char* kRebootTrigger = "/proc/rmc/test";
constexpr const char* kPasswordMask = "******";
constexpr std::size_t kStartLineSize = 512;

constexpr UPDATE_APPLET_S kApplets[] = {
    {"update", UPDATE_Main},
    {"flashcp", UPDATE_FlashcpMain},
    {"flash_eraseall", UPDATE_FlashEraseallMain},
    {"aes_decrypt", UPDATE_AesDecryptMain},
};

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

void ShowInfo(uint16_t info_mode) {
    switch (info_mode) {
        case kInfoFull:
        case 1:
            UPDATE_ShowVersion(kInfoFull);
            break;
        case kInfoUsage:
            UPDATE_ShowUsage();
            break;
        case kInfoInner:
            UPDATE_ShowVersion(kInfoInner);
            break;
        default:
            break;
    }
}

app::RunUpdateFn g_run_update = UPDATE_RunUpdate;

class RealRebootActions : public app::RebootActions {
  public:
    void Sleep(unsigned seconds) override { ::sleep(seconds); }
    void Sync() override { ::sync(); }
    int Kill(pid_t pid, int sig) override { return ::kill(pid, sig); }
};

}  // namespace

const UPDATE_APPLET_S* UPDATE_FindApplet(const char* name) {
    if (name == nullptr) return nullptr;
    for (const UPDATE_APPLET_S& applet : kApplets) {
        if (std::strcmp(applet.Name, name) == 0) return &applet;
    }
    return nullptr;
}

int UPDATE_Main(int argc, char** argv) {
    UPDATE_ResetProgress();
    if (UPDATE_SelectPlatform() != 0) return -1;

    if (argc < 2) {
        UPDATE_ShowUsage();
        return -1;
    }
    if (argv[1][0] != '-') {
        const UPDATE_APPLET_S* applet = UPDATE_FindApplet(argv[1]);
        if (applet != nullptr) return applet->Entry(argc - 1, argv + 1);
        // Not a tool name: the updater reads it as a word of its own.
    }

    std::unique_ptr<UPDATE_PARA_S> para(new (std::nothrow) UPDATE_PARA_S{});
    if (!para) {
        UPDATE_Reboot();
        return -2;
    }
    char unknown[kUnknownLineSize] = {};
    if (UPDATE_ParseArgs(argc, argv, para.get(), unknown) != 0) {
        return UPDATE_LoadByArgs(para.get(), unknown);
    }
    if (para->UpdateType == 0) {
        ShowInfo(para->InfoMode);
        return 0;
    }
    const int ret = g_run_update(argc, argv, para.get());
    if (UPDATE_WorkerHoldsRecord()) {
        // A worker that has not left still reads the record and the globals:
        // end the process here, without freeing the record or running the
        // static destructors under it.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(ret);
    }
    return ret;
}

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

void SetRunUpdate(RunUpdateFn run) {
    g_run_update = run != nullptr ? run : UPDATE_RunUpdate;
}

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
