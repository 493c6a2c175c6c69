#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <string>

#include "app/relocate.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/fake_runner.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

class RelocateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root_ / "proc/self");
        sys::SetDeviceRoot(root_.path());
    }
    void TearDown() override { sys::SetDeviceRoot(""); }
    // Points "/proc/self/exe" at target, replacing any earlier link.
    void LinkSelf(const std::string& target) {
        fake_.commands.clear();
        std::filesystem::remove(root_ / "proc/self/exe");
        std::filesystem::create_symlink(target, root_ / "proc/self/exe");
    }
    ScratchDir root_;
    sys::FakeRunner fake_;
    sys::ScopedRunner scope_{fake_};
    char arg0_[16] = "update";
    char arg1_[16] = "-tftp";
    char* argv_[3] = {arg0_, arg1_, nullptr};
};

TEST_F(RelocateTest, TemporaryCopiesDoNotCopyThemselves) {
    for (const char* path : {"/tmp/memupdate", "/tmp/busybox"}) {
        LinkSelf(path);
        EXPECT_EQ(UPDATE_RunFromTmp(argv_), 0) << path;
        EXPECT_TRUE(fake_.commands.empty()) << path;
    }
}

TEST_F(RelocateTest, CopiesItselfAndReExecutesWithTheSameArguments) {
    LinkSelf("/usr/bin/update");
    const std::string log = root_ / "update.log";
    ASSERT_TRUE(sys::LogOpen(log.c_str()));
    testing::internal::CaptureStdout();
    // The fake cannot replace the process, so the call comes back as a failure.
    EXPECT_NE(UPDATE_RunFromTmp(argv_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    sys::LogClose();
    EXPECT_EQ(fake_.commands, (std::vector<std::string>{"cp  -f /usr/bin/update /tmp/memupdate",
                                                        "replace: /tmp/memupdate update -tftp"}));
    // The failed start is logged only, without a line end.
    const std::string text = ReadWholeFile(log);
    const std::string tail = "]failed to start progress /tmp/memupdate ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST_F(RelocateTest, LinkOf63CharactersFitsAnd64DoNot) {
    const std::string fits = "/" + std::string(62, 'x');
    LinkSelf(fits);
    EXPECT_NE(UPDATE_RunFromTmp(argv_), 0);
    ASSERT_FALSE(fake_.commands.empty());
    EXPECT_EQ(fake_.commands[0], "cp  -f " + fits + " /tmp/memupdate");

    LinkSelf("/" + std::string(63, 'x'));
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), -1);
    EXPECT_TRUE(fake_.commands.empty());
    std::filesystem::remove(root_ / "proc/self/exe");
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), -1);  // no link at all
    EXPECT_TRUE(fake_.commands.empty());
}

TEST_F(RelocateTest, FailedCopyReturnsItsStatusWithoutExec) {
    LinkSelf("/mnt/my disk/update");
    fake_.results = {1};
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), 1);
    EXPECT_EQ(fake_.commands,
              std::vector<std::string>{"cp  -f '/mnt/my disk/update' /tmp/memupdate"});
}

}  // namespace
