#include "app/entry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "app/cmdline.h"
#include "app/handover.h"
#include "app/run.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/request.h"
#include "flash/tools.h"
#include "package/decrypt.h"

namespace {
constexpr UPDATE_APPLET_S kApplets[] = {
    {"update", UPDATE_Main},
    {"flashcp", UPDATE_FlashcpMain},
    {"flash_eraseall", UPDATE_FlashEraseallMain},
    {"aes_decrypt", UPDATE_AesDecryptMain},
};

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

namespace app {

void SetRunUpdate(RunUpdateFn run) {
    g_run_update = run != nullptr ? run : UPDATE_RunUpdate;
}

}  // namespace app
