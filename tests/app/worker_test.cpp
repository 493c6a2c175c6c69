// The worker's preparation rules and failure ends, run in the test thread
// against the recording runner and a scratch device root.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/prepare.h"
#include "app/progress.h"
#include "app/request.h"
#include "app/worker.h"
#include "package/writer.h"
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

TEST_F(WorkerTest, CheckLeavesServicesAndToolsAlone) {
    // The fetch "succeeds" but leaves no package: the worker ends at the head.
    para_.CheckFlag = 1;
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_FALSE(UPDATE_ServicesStopped());
    for (const char* prefix : {"mt ", "killall", "ls -l /lib", "mkdir -p /var/cmdtmp", "mount"}) {
        EXPECT_FALSE(Ran(prefix)) << prefix;
    }
    EXPECT_TRUE(Ran("mkdir -p /tmp;tftp"));
    EXPECT_LT(UPDATE_ReadProgress().error, 0);
    EXPECT_EQ(ReadWholeFile(root_ / "tmp/update_rate.log"), "101");
}

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

// A real package checked from "-local": a flip of its very last byte still
// fails the CRC, and the failed check removes the package and the rate file.
TEST_F(WorkerTest, CheckedPackageCrcCoversTheLastByte) {
    fake_.read_output = "BRD-TEST\n";  // what "cat /proc/board_type" answers
    std::filesystem::create_directories(root_ / "program");
    std::ofstream(root_ / "program/.version") << "PUB:B3505\nNEW:N1\nINN:QTPXV300R004B03\n";
    // The head is read through the device root and the table from the path
    // itself: a link makes both lead to the same file.
    const std::string dir = root_ / "pkg";
    std::filesystem::create_directories(dir);
    const std::filesystem::path rooted = root_.path() + dir;
    std::filesystem::create_directories(rooted.parent_path());
    std::filesystem::create_directory_symlink(dir, rooted);
    std::ofstream(root_ / "kernel.img") << std::string(5000, 'k');
    pkg::PackPlan plan;
    plan.inner_version = "QTPXV300R004B03";
    plan.pub_version = "B3506";
    plan.boards = {"BRD-OTHER", "BRD-TEST"};
    plan.images = {pkg::PackImage{0, root_ / "kernel.img", 0, ""}};
    pkg::PackReport report;
    std::string error;
    ASSERT_EQ(pkg::WritePackage(plan, dir + "/Program.bin", &report, &error), 0) << error;
    std::string bytes = ReadWholeFile(dir + "/Program.bin");
    bytes.back() ^= 0x80;
    std::ofstream(dir + "/Program.bin", std::ios::binary | std::ios::trunc) << bytes;

    para_.UpdateType = kImageAll;
    para_.TransType = kTransLocal;
    para_.PathFlag = 1;
    para_.CheckFlag = 1;
    sys::CopyText(para_.path, dir);
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_EQ(UPDATE_ReadProgress().error, -9);
    EXPECT_TRUE(Ran("rm -rf /tmp/Program.bin /tmp/psResult"));
    EXPECT_TRUE(Ran("rm -rf /tmp/update_rate.log"));
}

}  // namespace
