#include "app/launch.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/relocate.h"
#include "base/request.h"
#include "sys/log.h"
#include "sys/quote.h"
#include "sys/runner.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

std::atomic<int> g_second_stages{0};

struct TypeWord {
    unsigned mask;
    const char* word;
};
constexpr TypeWord kTypeWords[] = {
    {kImageKernel, "uImage "},
    {kImageProgram, "program "},
    {kImageUboot, "uboot "},
    {kImageConfig, "config "},
    {kImageWeb, "activex "},
    {kImageSlaveUboot, "slaveuboot "},
    {kImageSlaveKernel, "slavekernel "},
    {kImageSlaveProgram, "slaveprogram "},
    {kImageAll, "all "},
};

// Appends word while it fits whole; false (and nothing appended) otherwise.
bool Append(char* text, std::string_view word) {
    const std::size_t len = ::strnlen(text, kUpdateParaSize);
    if (len + word.size() >= kUpdateParaSize) return false;
    std::memcpy(text + len, word.data(), word.size());
    text[len + word.size()] = '\0';
    return true;
}

}  // namespace

void UPDATE_EncodeType(unsigned mask, int flag, char* text) {
    for (const TypeWord& w : kTypeWords) {
        if (mask == w.mask) {
            (void)Append(text, w.word);
            return;
        }
    }
    if (flag == 0) (void)Append(text, "all ");
}

void UPDATE_EncodeTypes(unsigned mask, unsigned standard, char* text) {
    if ((standard & kImageAll) != 0 && (mask & kImageAll) == (standard & kImageAll)) {
        (void)Append(text, "all ");
        mask &= ~kImageAll;
    }
    for (const TypeWord& w : kTypeWords) {
        if (w.mask != kImageAll && (mask & w.mask) != 0) (void)Append(text, w.word);
    }
}

void UPDATE_EncodeOptions(unsigned force, unsigned reboot, char* text) {
    if (force == 1) (void)Append(text, " -f");
    (void)Append(text, reboot == 1 ? " -r" : " -w");
}

int UPDATE_EncodeArgs(const UPDATE_PARA_S* para, const char* unknown, char* text) {
    UPDATE_EncodeType(para->UpdateType & ~kImageFirstStage, 1, text);
    bool whole = true;
    if (para->ForceFlag == 1) whole = Append(text, "-f ");
    if (para->RebootFlag == 0) whole = whole && Append(text, "-w ");
    if (unknown != nullptr) {
        whole = whole && Append(text, std::string_view(unknown, ::strnlen(unknown, 512)));
    }
    return whole ? 0 : -1;
}

int UPDATE_LaunchNew(const char* dir, const char* para) {
    const std::string program = std::string(kHandoverPath) + " update";
    char cmd[kUpdateParaSize];
    const int n = std::snprintf(cmd, sizeof cmd, "chmod +x %s; %s -local %s %s -loop",
                                kHandoverPath, program.c_str(), sys::ShellQuote(dir).c_str(), para);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof cmd) {
        // A cut line would run the program with other words than meant.
        ULOG("Launch update cmd too long (%d characters)\n", n);
        return -1;
    }
    ULOG_ONLY("%s\n", cmd);
    ULOG("Launch update cmd (%s)\n", cmd);
    int ret = 0;
    {
        app::SecondStageScope running;
        ret = UPDATE_System(cmd);
    }
    if (ret != 0) {
        ULOG("Launch update cmd (%s) failed\n", cmd);
        return ret;
    }
    return 0;
}

bool UPDATE_SecondStageRunning() {
    return g_second_stages.load() > 0;
}

namespace app {
SecondStageScope::SecondStageScope() {
    ++g_second_stages;
}
SecondStageScope::~SecondStageScope() {
    --g_second_stages;
}
}  // namespace app
