// The step loop over the request's image mask, the package's second name
// and the success lines.
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/steps.h"
#include "base/platform.h"
#include "base/request.h"
#include "package/format.h"
#include "sys/log.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitComm;

constexpr const char* kAllStepName = "All.bin";
// Bits 0 to 11 make steps of their own: tvconfig (bit 11) too, on the
// platforms whose support mask lets it through, or it could never be written.
constexpr int kStepBits = 12;

// Success words by bit number; bit 6 is the first-stage bit and never
// printed, nor is tvconfig.
constexpr const char* kSuccessWords[kStepBits] = {
    "uImage", "program", "uboot",       "config",       "bootlogo",      "activex",
    nullptr,  "oem",     "slave_uboot", "slave_kernel", "slave_program", nullptr};

app::PartitionUpdater g_updater = nullptr;

bool IsStandardSet(uint64_t type, uint64_t support) {
    return ((type ^ support) & kImageAll) == 0;
}

int RunStep(UPDATE_TASK_S* task, uint64_t type, const char* name) {
    task->Type = type;
    std::snprintf(task->FileName, sizeof task->FileName, "%s", name);
    int ret = UPDATE_UpdateStep(task);
    if (ret != 0) ULOG("update %s failed! ulRet=%d\n", name, ret);
    return ret;
}

}  // namespace

namespace app {
void SetPartitionUpdater(PartitionUpdater updater) {
    g_updater = updater;
}
}  // namespace app

int UPDATE_UpdateAll(UPDATE_TASK_S* task) {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (task == nullptr || task->Para == nullptr || platform == nullptr) return -1;
    uint64_t rest = task->Para->UpdateType;
    // A first stage whose package carries its own update program hands the
    // whole request over once: a second stage per step would find the
    // package already deciphered by the one before it.
    const SubImageEntry* updater = UPDATE_EntryAt(task->pstFileStruct, UPDATE_UpdaterPosition());
    if (IsFirstStage(*task->Para) && updater != nullptr && updater->FileLength != 0)
        return RunStep(task, rest & ~static_cast<uint64_t>(kImageFirstStage), kAllStepName);
    if (IsStandardSet(rest, platform->SupportMask)) {
        int ret = RunStep(task, kImageAll, kAllStepName);
        if (ret != 0) return ret;
        rest &= ~static_cast<uint64_t>(kImageAll | kImageFirstStage);
    } else {
        rest &= ~static_cast<uint64_t>(kImageFirstStage);
    }
    for (int bit = 0; bit < kStepBits; ++bit) {
        const uint32_t mask = 1U << bit;
        if ((rest & mask) == 0) continue;
        int ret = RunStep(task, mask, UPDATE_StepName(mask));
        if (ret != 0) return ret;
    }
    return 0;
}

int UPDATE_UpdateStep(UPDATE_TASK_S* task) {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (task == nullptr || task->Para == nullptr || platform == nullptr) return -1;
    UPDATE_LINK_S link{};
    if (task->Type == kImageAll) task->Type &= platform->SupportMask;
    if (IsFirstStage(*task->Para)) task->Type |= kImageFirstStage;

    int ret = g_updater != nullptr ? g_updater(task, &link) : UPDATE_UpdatePartition(task, &link);

    if (link.Linked == 1 && std::rename(link.LinkFile, link.BinFile) != 0) {
        const char* why = std::strerror(errno);
        ULOG_ONLY("failed to rename %s to %s, error: %s\n", link.LinkFile, link.BinFile, why);
        ULOG("failed to rename %s to %s, error: %s\n", link.LinkFile, link.BinFile, why);
    }
    return ret;
}

void UPDATE_ShowSuccess(const UPDATE_PARA_S* para) {
    const PLATFORM_INFO_S* platform = UPDATE_Platform();
    if (para == nullptr || platform == nullptr) return;
    // A run that handed over wrote nothing itself; its second stage has
    // printed the lines. A first stage that wrote the package prints them.
    if (IsFirstStage(*para) && UPDATE_HandedOver()) return;
    if (IsStandardSet(para->UpdateType, platform->SupportMask)) {
        ULOG("update all success!\n");
        return;
    }
    for (int bit = 0; bit < kStepBits; ++bit) {
        if ((para->UpdateType & (1U << bit)) != 0 && kSuccessWords[bit] != nullptr)
            ULOG("update %s success!\n", kSuccessWords[bit]);
    }
}
