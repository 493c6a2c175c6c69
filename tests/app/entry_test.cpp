// The multi-call entry up to the run, the start-of-process log, the reboot
// sequence (through its seam only) and the first steps of the hand-over path.
// The update run itself is always replaced by a recorder here.
#include "app/entry.h"
#include "app/run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/handover.h"
#include "base/request.h"
#include "sys/fake_runner.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"
#include "sys/text.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// The argument vector of words (which must outlive it), ending in null.
std::vector<char*> Argv(std::vector<std::string>& words) {
    std::vector<char*> ptrs(words.size() + 1, nullptr);
    for (std::size_t i = 0; i < words.size(); ++i) ptrs[i] = words[i].data();
    return ptrs;
}

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
        CaptureStdout();
        CaptureStderr();
        int ret = UPDATE_Main(static_cast<int>(words.size()), Argv(words).data());
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

// Command lines that end before any run, with what they print.
TEST_F(EntryTest, EndingsWithoutARun) {
    struct Row {
        std::vector<std::string> words;
        int result;
        std::string out, err;
        bool version_file = false;
    };
    const std::string usage = Usage();
    const std::string unknown =
        "open version file error\nCurrent version: Unknown\nNew Pub version: Unknown\n"
        "Inerversion: Unknown\nBoard type: Unknown\nUboot version: Unknown\nBuild date:  \n";
    const std::string handover =
        "loading Program.bin....\ndone!\nGet version failed (error No such file or "
        "directory)\nGet File failed.\n";
    const std::string report =
        "Current version: V3.5.0.4\nNew Pub version: N3.5.0.190507\nInerversion: "
        "QTPXV300R004B02\nBoard type: BOARD-X1\nUboot version: BOARD-X1\n"
        "Build date: 2019-05-07 10:20:30\n";
    const std::string inner = "Inerversion: QTPXV300R004B02\n";
    // No argument, a count violation and an unknown first word (the hand-over
    // path without an address: tool names match exactly) end in the usage
    // text; so does a tool name with a leading dash, which is an option. An
    // unknown word with a valid address fetches (here nothing arrives). From the first
    // row with a version file on, the device has one and a board type;
    // "update" as the first argument runs the updater on the rest.
    const Row rows[] = {
        {{"update"}, -1, usage, ""},
        {{"update", "-tftp", "192.168.1.2"}, -1, usage, ""},
        {{"update", "busybox"}, -1, usage, ""},
        {{"update", "Update"}, -1, usage, ""},
        {{"update", "flashcp "}, -1, usage, ""},
        {{"update", "-flashcp"}, -1, usage, ""},
        {{"update", "-v"}, 0, unknown, ""},
        {{"update", "aes_decrypt", "/dev/mtd3"}, -1, "DecodePara failed.\n", ""},
        {{"update", "-tftp", "192.168.1.2", "all", "-web"}, -3, handover, ""},
        {{"update", "-version"}, 0, report, "", true},
        {{"/tmp/busybox", "update", "-v"}, 0, report, "", true},
        {{"update", "-i"}, 0, inner, "", true},
        {{"update", "update", "update", "-innerversion"}, 0, inner, "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.words.back());
        if (row.version_file) {
            WriteVersionFile(
                "PUB:V3.5.0.4\nNEW:N3.5.0\nINN:QTPXV300R004B02\nBUILD:2019-05-07 10:20:30\n");
            fake_.read_result = 0;
            fake_.read_output = "BOARD-X1\n";
        }
        EXPECT_EQ(Main(row.words), row.result);
        EXPECT_EQ(out_, row.out);
        EXPECT_EQ(err_, row.err);
    }
    EXPECT_TRUE(g_runs.empty());
}

// The parsed record itself is checked with the parser; here, that it reaches
// the run with the right first-stage bit.
TEST_F(EntryTest, UpdateRequestGoesToTheRunWithTheParsedRecord) {
    EXPECT_EQ(Main({"update", "-tftp", "192.168.1.2", "uImage", "-wait"}), -77);
    // The second stage comes in through the "update" row and lacks the first-stage bit.
    EXPECT_EQ(Main({"/tmp/busybox", "update", "-local", "/tmp/", "uImage", "-loop"}), -77);
    // A request without image words still carries the first-stage bit: that is a run.
    EXPECT_EQ(Main({"update", "-local", "/mnt"}), -77);
    ASSERT_EQ(g_runs.size(), 3u);
    EXPECT_EQ(g_runs[0].argv,
              (std::vector<std::string>{"update", "-tftp", "192.168.1.2", "uImage", "-wait"}));
    EXPECT_STREQ(g_runs[0].para.remote, "192.168.1.2");
    EXPECT_EQ(g_runs[0].para.UpdateType & kImageFirstStage, kImageFirstStage);
    EXPECT_EQ(g_runs[1].argv.front(), "update");
    EXPECT_EQ(g_runs[1].para.UpdateType & kImageFirstStage, 0u);
    EXPECT_STREQ(g_runs[1].para.path, "/tmp/");
    EXPECT_EQ(g_runs[2].para.UpdateType, kImageFirstStage);
}

// A protocol above 5 prints the usage; a failed address check is passed on.
TEST_F(EntryTest, HandOverRefusals) {
    const struct {
        int trans;
        const char* remote;
        std::string out;
    } rows[] = {{6, "192.168.1.2", Usage()},
                {0, "192.168.1", "ip address  error(i)\ninvalid remote address: 192.168.1\n"}};
    for (const auto& row : rows) {
        UPDATE_PARA_S para{};
        para.TransType = row.trans;
        sys::CopyText(para.remote, row.remote);
        CaptureStdout();
        EXPECT_EQ(UPDATE_LoadByArgs(&para, "-web "), -1);
        EXPECT_EQ(GetCapturedStdout(), row.out);
    }
}

// The start-of-process lines: the password is masked in both (an empty one
// stays empty), and the command line keeps whole words within 511 characters.
TEST(LogStartTest, CommandLineAndRecord) {
    std::vector<std::string> long_words = {"update"};
    std::string long_line = "update ";
    for (int i = 0; i < 10; ++i) long_words.push_back(std::string(60, 'a' + i));
    // 7 + 8 * 61 = 495; a ninth word would pass 511.
    for (int i = 0; i < 8; ++i) long_line += long_words[i + 1] + " ";
    const struct {
        std::vector<std::string> words;
        std::string password;
        std::string line;
    } rows[] = {
        {{"update", "-ftp", "10.0.0.1", "-u", "bob", "-p", "s3cret", "all", "-password", "s3cret"},
         "s3cret",
         "update -ftp 10.0.0.1 -u bob -p ****** all -password ****** "},
        {{"update", "-ftp", "10.0.0.1", "all", "-p", ""}, "", "update -ftp 10.0.0.1 all -p  "},
        {long_words, "", long_line},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 40));
        ScratchDir dir;
        ASSERT_TRUE(sys::LogOpen((dir / "update.log").c_str()));
        UPDATE_PARA_S para{};
        para.TransType = 1;
        para.UpdateType = 0xE3;
        para.ForceFlag = 1;
        sys::CopyText(para.remote, "10.0.0.1");
        sys::CopyText(para.user, "bob");
        sys::CopyText(para.password, row.password.c_str());
        std::vector<std::string> words = row.words;
        CaptureStdout();
        UPDATE_LogStart(static_cast<int>(words.size()), Argv(words).data(), &para);
        EXPECT_EQ(GetCapturedStdout(), "Start update process: " + row.line + "\n");
        sys::LogClose();
        const std::string stamp = "####-##-## ##:##:##[update.cpp +]";
        const std::string log = ReadWholeFile(dir / "update.log");
        EXPECT_TRUE(MatchesShape(log, stamp + "Start update process: " + row.line + "\n" + stamp +
                                          "TransType:1, UpdateType:227, ForceFlag:1, "
                                          "remote:10.0.0.1, user:bob, password:" +
                                          (row.password.empty() ? "" : "******") + "\n"))
            << log;
    }
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
        EXPECT_EQ(ReadWholeFile(root / "proc/rmc/test"), node ? "r" : "");
    }
}

}  // namespace
