#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <string>

#include "app/relocate.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

class RelocateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("relocate-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root_ / "proc" / "self");
        sys::SetDeviceRootForTests(root_.string());
    }
    void TearDown() override {
        sys::SetDeviceRootForTests("");
        std::filesystem::remove_all(root_);
    }
    void LinkSelf(const std::string& target) {
        std::filesystem::create_symlink(target, root_ / "proc" / "self" / "exe");
    }
    std::filesystem::path root_;
    char arg0_[16] = "update";
    char arg1_[16] = "-tftp";
    char* argv_[3] = {arg0_, arg1_, nullptr};
};

TEST_F(RelocateTest, TemporaryCopiesDoNotCopyThemselves) {
    for (const char* path : {"/tmp/memupdate", "/tmp/busybox"}) {
        std::filesystem::remove(root_ / "proc" / "self" / "exe");
        LinkSelf(path);
        sys::FakeRunner fake;
        sys::ScopedRunner scope(fake);
        EXPECT_EQ(UPDATE_RunFromTmp(argv_), 0) << path;
        EXPECT_TRUE(fake.commands.empty()) << path;
    }
}

TEST_F(RelocateTest, CopiesItselfAndReExecutesWithTheSameArguments) {
    LinkSelf("/usr/bin/update");
    sys::FakeRunner fake;
    sys::ScopedRunner scope(fake);
    // The fake cannot replace the process, so the call comes back as a failure.
    EXPECT_NE(UPDATE_RunFromTmp(argv_), 0);
    ASSERT_EQ(fake.commands.size(), 2u);
    EXPECT_EQ(fake.commands[0], "cp  -f /usr/bin/update /tmp/memupdate");
    EXPECT_EQ(fake.commands[1], "replace: /tmp/memupdate update -tftp");
}

TEST_F(RelocateTest, FailedStartIsLoggedOnlyWithoutLineEnd) {
    LinkSelf("/usr/bin/update");
    const std::string log = (root_ / "update.log").string();
    ASSERT_TRUE(sys::LogOpen(log.c_str()));
    sys::FakeRunner fake;
    sys::ScopedRunner scope(fake);
    testing::internal::CaptureStdout();
    EXPECT_NE(UPDATE_RunFromTmp(argv_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    sys::LogClose();
    const std::string text = ReadWholeFile(log);
    const std::string tail = "]failed to start progress /tmp/memupdate ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST_F(RelocateTest, LinkOf63CharactersFitsAnd64DoNot) {
    sys::FakeRunner fake;
    sys::ScopedRunner scope(fake);
    const std::string fits = "/" + std::string(62, 'x');
    LinkSelf(fits);
    EXPECT_NE(UPDATE_RunFromTmp(argv_), 0);
    ASSERT_FALSE(fake.commands.empty());
    EXPECT_EQ(fake.commands[0], "cp  -f " + fits + " /tmp/memupdate");

    fake.commands.clear();
    std::filesystem::remove(root_ / "proc" / "self" / "exe");
    LinkSelf("/" + std::string(63, 'x'));
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), -1);
    EXPECT_TRUE(fake.commands.empty());
}

TEST_F(RelocateTest, FailedCopyReturnsItsStatusWithoutExec) {
    LinkSelf("/mnt/my disk/update");
    sys::FakeRunner fake;
    fake.results = {1};
    sys::ScopedRunner scope(fake);
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), 1);
    ASSERT_EQ(fake.commands.size(), 1u);
    EXPECT_EQ(fake.commands[0], "cp  -f '/mnt/my disk/update' /tmp/memupdate");
}

TEST_F(RelocateTest, UnreadableOrOverlongLinkFails) {
    sys::FakeRunner fake;
    sys::ScopedRunner scope(fake);
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), -1);  // no link at all
    LinkSelf("/" + std::string(70, 'x'));
    EXPECT_EQ(UPDATE_RunFromTmp(argv_), -1);
    EXPECT_TRUE(fake.commands.empty());
}

}  // namespace
