// The multi-call entry up to the run, the start-of-process log, the reboot
// sequence (through its seam only) and the first steps of the hand-over path.
// The update run itself is always replaced by a recorder here.
#include "app/entry.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/handover.h"
#include "app/request.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/fake_runner.h"
#include "sys/runner.h"
#include "sys/scratch.h"
#include "sys/text.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct RunCall {
    std::vector<std::string> argv;
    UPDATE_PARA_S para;
};
std::vector<RunCall> g_runs;

int RecordRun(int argc, char** argv, UPDATE_PARA_S* para) {
    g_runs.push_back(RunCall{std::vector<std::string>(argv, argv + argc), *para});
    return -77;
}

class EntryTest : public testing::Test {
  protected:
    void SetUp() override {
        g_runs.clear();
        app::SetRunUpdate(RecordRun);
        sys::SetDeviceRoot(root_.path());
        fake_.read_result = -1;  // no board type, no boot-loader revision
    }
    void TearDown() override {
        app::SetRunUpdate(nullptr);
        sys::SetDeviceRoot("");
        sys::LogClose();
    }

    // Runs the entry with a command line; stdout and stderr are captured.
    int Main(std::vector<std::string> words) {
        std::vector<char*> ptrs;
        for (auto& w : words) ptrs.push_back(w.data());
        ptrs.push_back(nullptr);
        CaptureStdout();
        CaptureStderr();
        int ret = UPDATE_Main(static_cast<int>(words.size()), ptrs.data());
        out_ = GetCapturedStdout();
        err_ = GetCapturedStderr();
        return ret;
    }
    std::string Usage() {
        CaptureStdout();
        UPDATE_ShowUsage();
        return GetCapturedStdout();
    }
    void WriteVersionFile(const std::string& text) {
        std::filesystem::create_directories(root_ / "program");
        std::ofstream(root_ / "program/.version") << text;
    }

    ScratchDir root_;
    sys::FakeRunner fake_;
    sys::ScopedRunner scoped_{fake_};
    std::string out_;
    std::string err_;
};

TEST_F(EntryTest, AppletTable) {
    for (const char* name : {"update", "flashcp", "flash_eraseall", "aes_decrypt"}) {
        const UPDATE_APPLET_S* applet = UPDATE_FindApplet(name);
        ASSERT_NE(applet, nullptr) << name;
        EXPECT_STREQ(applet->Name, name);
    }
    EXPECT_EQ(UPDATE_FindApplet("update")->Entry, UPDATE_Main);
    for (const char* name : {"Update", "flash", "flashcp ", "", "-v", "busybox"}) {
        EXPECT_EQ(UPDATE_FindApplet(name), nullptr) << name;
    }
    EXPECT_EQ(UPDATE_FindApplet(nullptr), nullptr);
}

// No argument, a count violation and an unknown first word (the hand-over path
// without an address) all end in the usage text, never in a run.
TEST_F(EntryTest, UsageEndings) {
    const std::vector<std::vector<std::string>> lines = {
        {"update"}, {"update", "-tftp", "192.168.1.2"}, {"update", "busybox"}};
    for (const auto& words : lines) {
        SCOPED_TRACE(words.back());
        EXPECT_EQ(Main(words), -1);
        EXPECT_EQ(out_, Usage());
    }
    // A tool name with a leading dash is an option, not a tool.
    EXPECT_EQ(Main({"update", "-flashcp"}), -1);
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(EntryTest, VersionReportWithoutVersionFile) {
    EXPECT_EQ(Main({"update", "-v"}), 0);
    EXPECT_EQ(out_,
              "open version file error\n"
              "Current version: Unknown\n"
              "New Pub version: Unknown\n"
              "Inerversion: Unknown\n"
              "Board type: Unknown\n"
              "Uboot version: Unknown\n"
              "Build date:  \n");
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(EntryTest, VersionReportFromTheVersionFile) {
    WriteVersionFile("PUB:V3.5.0.4\nNEW:N3.5.0\nINN:QTPXV300R004B02\nBUILD:2019-05-07 10:20:30\n");
    fake_.read_result = 0;
    fake_.read_output = "BOARD-X1\n";
    EXPECT_EQ(Main({"update", "-version"}), 0);
    EXPECT_EQ(out_,
              "Current version: V3.5.0.4\n"
              "New Pub version: N3.5.0.190507\n"
              "Inerversion: QTPXV300R004B02\n"
              "Board type: BOARD-X1\n"
              "Uboot version: BOARD-X1\n"
              "Build date: 2019-05-07 10:20:30\n");
}

TEST_F(EntryTest, InnerVersionOnly) {
    WriteVersionFile("PUB:V1\nNEW:N1\nINN:QTPXV300R004B03\nBUILD:2020-01-02 03:04:05\n");
    for (const char* option : {"-i", "-innerversion"}) {
        EXPECT_EQ(Main({"update", option}), 0);
        EXPECT_EQ(out_, "Inerversion: QTPXV300R004B03\n");
    }
}

TEST_F(EntryTest, UpdateAsFirstArgumentRunsTheUpdaterOnTheRest) {
    WriteVersionFile("PUB:V1\nNEW:N1\nINN:I1\n");
    ASSERT_EQ(Main({"update", "-v"}), 0);
    const std::string direct = out_;
    EXPECT_EQ(Main({"/tmp/busybox", "update", "-v"}), 0);
    EXPECT_EQ(out_, direct);
    EXPECT_EQ(Main({"update", "update", "update", "-i"}), 0);
    EXPECT_EQ(out_, "Inerversion: I1\n");
}

TEST_F(EntryTest, AesDecryptToolIsReached) {
    EXPECT_EQ(Main({"update", "aes_decrypt", "/dev/mtd3"}), -1);
    EXPECT_EQ(out_, "DecodePara failed.\n");
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(EntryTest, UnknownWordWithValidAddressIsNotAFalseSuccess) {
    EXPECT_EQ(Main({"update", "-tftp", "192.168.1.2", "all", "-web"}), -1);
    EXPECT_EQ(out_, "hand-over to the package's update program is not available in this build\n");
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(EntryTest, UpdateRequestGoesToTheRunWithTheParsedRecord) {
    EXPECT_EQ(Main({"update", "-tftp", "192.168.1.2", "uImage", "-wait"}), -77);
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].argv,
              (std::vector<std::string>{"update", "-tftp", "192.168.1.2", "uImage", "-wait"}));
    EXPECT_EQ(g_runs[0].para.TransType, 0);
    EXPECT_STREQ(g_runs[0].para.remote, "192.168.1.2");
    EXPECT_EQ(g_runs[0].para.RebootFlag, 0);
    EXPECT_EQ(g_runs[0].para.UpdateType & kImageFirstStage, kImageFirstStage);

    // The second stage comes in through the "update" row and lacks the first-stage bit.
    g_runs.clear();
    EXPECT_EQ(Main({"/tmp/busybox", "update", "-local", "/tmp/", "uImage", "-loop"}), -77);
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].argv.front(), "update");
    EXPECT_EQ(g_runs[0].para.UpdateType & kImageFirstStage, 0u);
    EXPECT_STREQ(g_runs[0].para.path, "/tmp/");

    // A request without image words still carries the first-stage bit: that is a run.
    g_runs.clear();
    EXPECT_EQ(Main({"update", "-local", "/mnt"}), -77);
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].para.UpdateType, kImageFirstStage);
}

TEST(HandOverTest, ProtocolAbove5PrintsUsage) {
    UPDATE_PARA_S para{};
    para.TransType = 6;
    sys::CopyText(para.remote, "192.168.1.2");
    CaptureStdout();
    EXPECT_EQ(UPDATE_LoadByArgs(&para, "-web "), -1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("Update v2.01\n", 0), 0u) << out;
}

TEST(HandOverTest, AddressCheckFailureIsPassedOn) {
    UPDATE_PARA_S para{};
    sys::CopyText(para.remote, "192.168.1");
    CaptureStdout();
    EXPECT_EQ(UPDATE_LoadByArgs(&para, "-web "), -1);
    EXPECT_EQ(GetCapturedStdout(), "ip address  error(i)\ninvalid remote address: 192.168.1\n");
}

class LogStartTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sys::LogOpen((dir_ / "update.log").c_str())); }
    void TearDown() override { sys::LogClose(); }

    // Runs UPDATE_LogStart; returns the console output, log text in log_.
    std::string LogStart(std::vector<std::string> words, const UPDATE_PARA_S& para) {
        std::vector<char*> ptrs;
        for (auto& w : words) ptrs.push_back(w.data());
        CaptureStdout();
        UPDATE_LogStart(static_cast<int>(words.size()), ptrs.data(), &para);
        std::string out = GetCapturedStdout();
        log_ = ReadWholeFile(dir_ / "update.log");
        return out;
    }

    ScratchDir dir_;
    std::string log_;
};

TEST_F(LogStartTest, PasswordIsMaskedInBothLines) {
    UPDATE_PARA_S para{};
    para.TransType = 1;
    para.UpdateType = 0xE3;
    para.ForceFlag = 1;
    sys::CopyText(para.remote, "10.0.0.1");
    sys::CopyText(para.user, "bob");
    sys::CopyText(para.password, "s3cret");
    std::string out = LogStart(
        {"update", "-ftp", "10.0.0.1", "-u", "bob", "-p", "s3cret", "all", "-password", "s3cret"},
        para);
    const std::string line = "update -ftp 10.0.0.1 -u bob -p ****** all -password ****** \n";
    EXPECT_EQ(out, "Start update process: " + line);
    const std::string stamp = "####-##-## ##:##:##[update.cpp +]";
    EXPECT_TRUE(MatchesShape(log_, stamp + "Start update process: " + line + stamp +
                                       "TransType:1, UpdateType:227, ForceFlag:1, "
                                       "remote:10.0.0.1, user:bob, password:******\n"))
        << log_;
}

TEST_F(LogStartTest, EmptyPasswordStaysEmpty) {
    UPDATE_PARA_S para{};
    sys::CopyText(para.user, "admin");
    LogStart({"update", "-ftp", "10.0.0.1", "all", "-p", ""}, para);
    EXPECT_NE(log_.find("user:admin, password:\n"), std::string::npos) << log_;
    EXPECT_NE(log_.find("all -p  \n"), std::string::npos) << log_;
}

TEST_F(LogStartTest, LineKeepsWholeWordsWithin511Characters) {
    UPDATE_PARA_S para{};
    std::vector<std::string> words = {"update"};
    for (int i = 0; i < 10; ++i) words.push_back(std::string(60, 'a' + i));
    std::string out = LogStart(words, para);
    const std::string prefix = "Start update process: ";
    ASSERT_EQ(out.rfind(prefix, 0), 0u);
    std::string line = out.substr(prefix.size(), out.size() - prefix.size() - 1);
    std::string expected = "update ";
    for (int i = 0; i < 8; ++i) expected += std::string(60, 'a' + i) + " ";
    EXPECT_EQ(line, expected);  // 7 + 8 * 61 = 495; a ninth word would pass 511
}

// The reboot sequence is only ever run against a recorder.
class FakeReboot : public app::RebootActions {
  public:
    std::vector<std::string> calls;
    void Sleep(unsigned seconds) override { calls.push_back("sleep " + std::to_string(seconds)); }
    void Sync() override { calls.push_back("sync"); }
    int Kill(pid_t pid, int sig) override {
        calls.push_back("kill " + std::to_string(pid) + " " + std::to_string(sig));
        return 0;
    }
};

TEST(RebootTest, ThreeRoundsThenTheResetRequest) {
    const std::string term = "kill 1 " + std::to_string(SIGTERM);
    const std::vector<std::string> rounds = {"sleep 6", "sync",    term,   "sleep 2", "sync",
                                             term,      "sleep 1", "sync", term};
    for (bool node : {true, false}) {
        SCOPED_TRACE(node ? "with the reset node" : "without it");
        ScratchDir root;
        if (node) {
            std::filesystem::create_directories(root / "proc/rmc");
            std::ofstream(root / "proc/rmc/test");
        }
        sys::SetDeviceRoot(root.path());
        FakeReboot fake;
        CaptureStdout();
        app::RebootSequence(fake);
        EXPECT_EQ(GetCapturedStdout(), "");  // a missing node returns quietly
        sys::SetDeviceRoot("");
        EXPECT_EQ(fake.calls, rounds);
        EXPECT_EQ(std::filesystem::exists(root / "proc/rmc/test"), node);
        if (node) {
            EXPECT_EQ(ReadWholeFile(root / "proc/rmc/test"), "r");
        }
    }
}

}  // namespace
