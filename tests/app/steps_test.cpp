// The step loop: which steps run, in which order, under which names.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/steps.h"
#include "base/platform.h"
#include "base/request.h"

namespace {

std::vector<std::string> g_steps;
int g_fail_at = -1;

int Record(UPDATE_TASK_S* task, UPDATE_LINK_S* /*link*/) {
    char mask[16];
    std::snprintf(mask, sizeof mask, "%#llx", static_cast<unsigned long long>(task->Type));
    g_steps.push_back(std::string(task->FileName) + " " + mask);
    return static_cast<int>(g_steps.size()) == g_fail_at ? -6 : 0;
}

TEST(StepLoopTest, OrderAndNames) {
    ASSERT_EQ(UPDATE_SelectPlatformKey(16), 0);  // support mask 0x100FF
    app::SetPartitionUpdater(Record);
    struct Row {
        uint16_t type;
        int fail_at;
        int result;
        std::vector<std::string> steps;
    } rows[] = {
        {0xE7, -1, 0, {"All.bin 0xe3", "Uboot.bin 0x44"}},
        {0x06, -1, 0, {"Program.bin 0x2", "Uboot.bin 0x4"}},
        {0x4B, -1, 0, {"uImage.bin 0x41", "Program.bin 0x42", "Config.bin 0x48"}},
        {0xE7, 1, -6, {"All.bin 0xe3"}},
        {0x423, 2, -6, {"uImage.bin 0x1", "Program.bin 0x2"}},
        {0x8E3, -1, 0, {"All.bin 0xe3", "TvConfig.bin 0x840"}},
    };
    for (const Row& row : rows) {
        g_steps.clear();
        g_fail_at = row.fail_at;
        UPDATE_PARA_S para{};
        para.UpdateType = row.type;
        UPDATE_TASK_S task{};
        task.Para = &para;
        EXPECT_EQ(UPDATE_UpdateAll(&task), row.result) << row.type;
        EXPECT_EQ(g_steps, row.steps) << row.type;
    }
    app::SetPartitionUpdater(nullptr);
}

}  // namespace
