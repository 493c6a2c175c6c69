#include "sys/runner.h"
#include "sys/fake_runner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "scratch.h"
#include "sys/log.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// These run harmless shell commands for real: the runner is the only code
// that forks, so its status decoding is checked against real children.
// The exit status is passed on without a message; a killed child gives the
// signal number and a message.
TEST(SystemTest, ExitStatusOrSignal) {
    CaptureStdout();
    EXPECT_EQ(UPDATE_System("exit 3"), 3);
    EXPECT_EQ(UPDATE_System("exit 255"), 255);
    EXPECT_EQ(UPDATE_System("update-test-no-such-command-here 2>/dev/null"), 127);
    EXPECT_EQ(UPDATE_System(nullptr), -1);  // does not run
    EXPECT_EQ(UPDATE_System("kill -9 $$"), 9);
    EXPECT_EQ(GetCapturedStdout(),
              "system: Abnormal signal termination, exit status: 9 cmd: kill -9 $$\n");
}

// Overlapping shell calls (as the six deciphering jobs make) leave SIGINT
// and SIGQUIT as they found them.
TEST(SystemTest, ParallelCallsRestoreTheInterruptDispositions) {
    std::vector<std::thread> jobs;
    for (int i = 0; i < 6; ++i) {
        jobs.emplace_back([] {
            for (int n = 0; n < 5; ++n) EXPECT_EQ(UPDATE_System("sleep 0.0$$"), 0);
        });
    }
    for (std::thread& job : jobs) job.join();
    for (int sig : {SIGINT, SIGQUIT}) {
        struct sigaction now {};
        sigaction(sig, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << sig;
    }
}

// No shell between: the words arrive as they are. A killed child gives -1, a
// missing program 1, each with its message.
TEST(ExecTest, ExitStatusKilledOrMissing) {
    CaptureStdout();
    EXPECT_EQ(UPDATE_Exec({"/bin/sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(UPDATE_Exec({"/bin/sh", "-c", "test \"$1\" = 'a b;c'", "sh", "a b;c"}), 0);
    EXPECT_EQ(UPDATE_Exec({"/bin/sh", "-c", "kill -9 $$"}), -1);
    EXPECT_EQ(UPDATE_Exec({"/nonexistent/update-test-tool", "x"}), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(
        MatchesShape(out, "+ killed by signal 9\nFailed to exe cmd No such file or directory\n"))
        << out;
}

TEST(ExecTest, StoppedAndContinuedChildIsWaitedForToTheEnd) {
    // The child stops itself; a helper it left behind continues it, and it
    // lingers a moment so that the continue is seen before the exit.
    CaptureStdout();
    int ret = UPDATE_Exec(
        {"/bin/sh", "-c", "(sleep 0.3; kill -CONT $$) & kill -STOP $$; sleep 0.5; exit 5"});
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(ret, 5);
    EXPECT_TRUE(MatchesShape(out, "+ stopped by signal 19\n+ continued by signal\n")) << out;
}

class CountPidTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sys::LogOpen((dir_ / "update.log").c_str())); }
    void TearDown() override { sys::LogClose(); }
    std::string Log() { return ReadWholeFile(dir_ / "update.log"); }

    ScratchDir dir_;
    sys::FakeRunner fake_;
    sys::ScopedRunner scoped_{fake_};
};

// Only the first line counts; pidof compares base names, so a path is
// counted by its last part, quoted.
TEST_F(CountPidTest, CountsProcessIdsAndCleansUp) {
    fake_.read_output = "1234 5678\n7 8 9\n";
    CaptureStdout();
    EXPECT_EQ(FUNC_CountPid("/mnt/my disk/up date;reboot"), 2);
    EXPECT_EQ(GetCapturedStdout(), "");  // log only
    EXPECT_EQ(fake_.commands,
              (std::vector<std::string>{"pidof 'up date;reboot' > /tmp/psResult",
                                        "cat /tmp/psResult", "rm -rf /tmp/psResult"}));
    EXPECT_NE(Log().find("]Runing up date;reboot count is: 2\n"), std::string::npos) << Log();
}

// An empty result or a pipe that does not open cannot be counted; the result
// file is then not removed.
TEST_F(CountPidTest, UncountableResults) {
    EXPECT_EQ(FUNC_CountPid(nullptr), -1);
    EXPECT_TRUE(fake_.commands.empty());
    for (int read_result : {0, -1}) {
        fake_.read_result = read_result;
        EXPECT_EQ(FUNC_CountPid("update"), -1);
        EXPECT_EQ(fake_.commands.size(), 2u);
        fake_.commands.clear();
    }
    EXPECT_NE(Log().find("]fgets psResult file failed"), std::string::npos) << Log();
    EXPECT_NE(Log().find("]FUNC_CountPid(),open pipeline err"), std::string::npos) << Log();
}

}  // namespace
