#include "app/launch.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/relocate.h"
#include "app/request.h"
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

// Appends word while it fits whole; a word that does not fit is dropped.
void Append(char* text, std::string_view word) {
    const std::size_t len = ::strnlen(text, kUpdateParaSize);
    if (len + word.size() >= kUpdateParaSize) return;
    std::memcpy(text + len, word.data(), word.size());
    text[len + word.size()] = '\0';
}

}  // namespace

void UPDATE_EncodeType(unsigned mask, int flag, char* text) {
    for (const TypeWord& w : kTypeWords) {
        if (mask == w.mask) {
            Append(text, w.word);
            return;
        }
    }
    if (flag == 0) Append(text, "all ");
}

void UPDATE_EncodeOptions(unsigned force, unsigned reboot, char* text) {
    if (force == 1) Append(text, " -f");
    Append(text, reboot == 1 ? " -r" : " -w");
}

void UPDATE_EncodeArgs(const UPDATE_PARA_S* para, const char* unknown, char* text) {
    UPDATE_EncodeType(para->UpdateType & ~kImageFirstStage, 1, text);
    if (para->ForceFlag == 1) Append(text, "-f ");
    if (para->RebootFlag == 0) Append(text, "-w ");
    if (unknown != nullptr) Append(text, std::string_view(unknown, ::strnlen(unknown, 512)));
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
