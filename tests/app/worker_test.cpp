// The worker's preparation rules and failure ends, run in the test thread
// against the recording runner and a scratch device root.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/prepare.h"
#include "app/progress.h"
#include "app/request.h"
#include "app/worker.h"
#include "package/crypto.h"
#include "package/integrity.h"
#include "package/writer.h"
#include "sys/path.h"
#include "sys/fake_runner.h"
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

// A real package in the scratch root, run through a check from "-local".
class CheckFlowTest : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        fake_.read_output = "BRD-TEST\n";  // what "cat /proc/board_type" answers
        std::filesystem::create_directories(root_ / "program");
        std::ofstream(root_ / "program/.version") << "PUB:B3505\nNEW:N1\nINN:QTPXV300R004B03\n";

        // The package directory as the run names it; the head is read through
        // the device root and the table from the path itself, so both lead
        // to the same file.
        dir_ = root_ / "pkg";
        std::filesystem::create_directories(dir_);
        const std::filesystem::path rooted = root_.path() + dir_;
        std::filesystem::create_directories(rooted.parent_path());
        std::filesystem::create_directory_symlink(dir_, rooted);

        para_.UpdateType = kImageAll;
        para_.TransType = kTransLocal;
        para_.PathFlag = 1;
        para_.CheckFlag = 1;
        sys::CopyText(para_.path, dir_);
    }

    void Pack(const std::string& pub_version, const std::string& private_key = "") {
        std::ofstream(root_ / "kernel.img") << std::string(5000, 'k');
        pkg::PackPlan plan;
        plan.inner_version = "QTPXV300R004B03";
        plan.pub_version = pub_version;
        plan.boards = {"BRD-OTHER", "BRD-TEST"};
        plan.images = {pkg::PackImage{0, root_ / "kernel.img", 0, ""}};
        plan.private_key = private_key;
        pkg::PackReport report;
        std::string error;
        ASSERT_EQ(pkg::WritePackage(plan, package(), &report, &error), 0) << error;
    }
    std::string package() const { return dir_ + "/Program.bin"; }
    void Damage(const std::function<void(std::string&)>& damage) {
        std::string bytes = ReadWholeFile(package());
        damage(bytes);
        std::ofstream(package(), std::ios::binary | std::ios::trunc) << bytes;
    }

    std::string dir_;
};

TEST_F(CheckFlowTest, GoodPackagePassesWithoutCommands) {
    Pack("B3506");
    const std::string before = ReadWholeFile(package());
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    const ProgressSnapshot end = UPDATE_ReadProgress();
    EXPECT_EQ(end.error, 0);
    EXPECT_EQ(end.done, 1);
    EXPECT_EQ(ReadWholeFile(package()), before);
    EXPECT_FALSE(UPDATE_ServicesStopped());
    EXPECT_EQ(fake_.commands, std::vector<std::string>{"cat /proc/board_type"});
}

TEST_F(CheckFlowTest, Refusals) {
    struct Row {
        const char* name;
        const char* pub_version;
        std::function<void(std::string&)> damage;
        int code;
        bool cleans_up = false;  // a failed CRC removes the package and the rate file
    };
    const Row rows[] = {
        {"not newer", "B3505", {}, -7},
        {"crc", "B3506", [](std::string& bytes) { bytes[5000] ^= 1; }, -9, true},
        {"crc at the end", "B3506", [](std::string& bytes) { bytes.back() ^= 0x80; }, -9, true},
        {"no sub-images", "B3506", [](std::string& bytes) { bytes.replace(2048, 4, 4, '\0'); }, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UPDATE_ResetProgress();
        fake_.commands.clear();
        Pack(row.pub_version);
        if (row.damage) Damage(row.damage);
        EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
        EXPECT_EQ(UPDATE_ReadProgress().error, row.code);
        if (row.cleans_up) {
            EXPECT_TRUE(Ran("rm -rf /tmp/Program.bin /tmp/psResult"));
            EXPECT_TRUE(Ran("rm -rf /tmp/update_rate.log"));
        }
    }
}

TEST_F(CheckFlowTest, SignatureIsCheckedWhenTheDeviceHasAKey) {
    pkg::crypto::RsaKeyText key;
    ASSERT_EQ(pkg::crypto::RsaGenerate(1024, 65537, &key), 0);
    ASSERT_EQ(pkg::WriteKeyFiles(key, (root_ / "pri_key").c_str(), (root_ / ".pub_key").c_str()),
              0);
    Pack("B3506", root_ / "pri_key");
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_EQ(UPDATE_ReadProgress().done, 1);

    // A byte of the board list's padding: outside the CRC, inside the digest.
    UPDATE_ResetProgress();
    Damage([](std::string& bytes) { bytes[1000] ^= 1; });
    EXPECT_EQ(UPDATE_LoadUpdate(&para_), nullptr);
    EXPECT_EQ(UPDATE_ReadProgress().error, -12);
    EXPECT_TRUE(Ran("rm -rf /tmp/update_rate.log"));
}

TEST(StartThreadTest, RunsTheEntryDetached) {
    static std::atomic<int> seen{0};
    static int value = 42;
    auto entry = [](void* arg) -> void* {
        seen.store(*static_cast<int*>(arg));
        return nullptr;
    };
    ASSERT_EQ(UPDATE_StartThread(entry, &value), 0);
    for (int i = 0; i < 5000 && seen.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(seen.load(), 42);
    EXPECT_EQ(UPDATE_StartThread(nullptr, nullptr), -1);
}

}  // namespace
