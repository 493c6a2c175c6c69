// The worker's preparation rules and failure ends, run in the test thread
// against the recording runner and a scratch device root.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/prepare.h"
#include "app/worker.h"
#include "base/progress.h"
#include "base/request.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"
#include "sys/text.h"

namespace {

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root_ / "tmp");
        sys::SetDeviceRoot(root_.path());
        UPDATE_ResetProgress();
        UPDATE_ResetServicesStopped();
        UPDATE_SetPrepareSleep([](std::chrono::milliseconds) {});
        fake_.read_output = "ld-2.31.so\n";
        para_.UpdateType = kImageAll | kImageFirstStage;
        para_.TransType = kTransTftp;
        para_.RebootFlag = 1;
        sys::CopyText(para_.remote, "127.0.0.1");
    }
    void TearDown() override {
        UPDATE_SetPrepareSleep({});
        UPDATE_ResetServicesStopped();
        UPDATE_ResetProgress();
        sys::SetDeviceRoot("");
    }

    bool Ran(const std::string& prefix) const {
        return std::any_of(fake_.commands.begin(), fake_.commands.end(),
                           [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }
    std::size_t IndexOf(const std::string& prefix) const {
        for (std::size_t i = 0; i < fake_.commands.size(); ++i) {
            if (fake_.commands[i].rfind(prefix, 0) == 0) return i;
        }
        return fake_.commands.size();
    }

    ScratchDir root_;
    sys::FakeRunner fake_;
    sys::ScopedRunner scope_{fake_};
    UPDATE_PARA_S para_{};
};

// A write-mode run stops the services (network sources only) and prepares
// the tools before the fetch; each run here ends at the missing head.
TEST_F(WorkerTest, WriteModeStopsServicesAndPreparesToolsBeforeTheFetch) {
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_TRUE(UPDATE_ServicesStopped());
    const std::size_t stop = IndexOf("mt boardagent set smart stop");
    const std::size_t tools = IndexOf("ls -l /lib");
    const std::size_t mounted = IndexOf("mount /var/cmdtmp/sbin /usr/sbin");
    const std::size_t fetch = IndexOf("mkdir -p /tmp;tftp");
    EXPECT_LT(stop, tools);
    EXPECT_LT(tools, mounted);
    EXPECT_LT(mounted, fetch);
    EXPECT_LT(fetch, fake_.commands.size());
    EXPECT_LT(UPDATE_ReadProgress().error, 0);

    UPDATE_ResetServicesStopped();
    fake_.commands.clear();
    para_.TransType = kTransLocal;
    para_.PathFlag = 1;
    sys::CopyText(para_.path, "/missing");
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_FALSE(UPDATE_ServicesStopped());
    EXPECT_TRUE(Ran("ls -l /lib"));
}

TEST_F(WorkerTest, BootLoaderOrConfigurationNeedNoTools) {
    for (uint16_t type : {kImageUboot, kImageConfig | kImageKernel}) {
        fake_.commands.clear();
        UPDATE_ResetProgress();
        para_.UpdateType = type;
        EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
        EXPECT_FALSE(Ran("ls -l /lib")) << type;
    }
}

TEST_F(WorkerTest, MissingLoaderEndsWithMinusFiveBeforeTheFetch) {
    fake_.read_output = "";
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_EQ(UPDATE_ReadProgress().error, -5);
    EXPECT_FALSE(Ran("mkdir -p /tmp;tftp"));
}

}  // namespace
