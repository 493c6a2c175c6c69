#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <string>

#include "app/relocate.h"
#include "sys/fake_runner.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

// Where "/proc/self/exe" points decides: the temporary copies run on, a link
// that fits 64 bytes is copied (quoted) and re-executed with the same
// arguments, a longer or missing link and a failed copy end without an exec.
TEST(RelocateTest, FromEveryStartingPlace) {
    const std::string fits = "/" + std::string(62, 'x');
    const std::string replace = "replace: /tmp/memupdate update -tftp";
    struct Row {
        std::string link;  // empty: no link at all
        int copy_result;
        int result;
        std::vector<std::string> commands;
    } rows[] = {
        {"/tmp/memupdate", 0, 0, {}},
        {"/tmp/busybox", 0, 0, {}},
        {"/usr/bin/update", 0, -1, {"cp  -f /usr/bin/update /tmp/memupdate", replace}},
        {fits, 0, -1, {"cp  -f " + fits + " /tmp/memupdate", replace}},
        {"/" + std::string(63, 'x'), 0, -1, {}},
        {"", 0, -1, {}},
        {"/mnt/my disk/update", 1, 1, {"cp  -f '/mnt/my disk/update' /tmp/memupdate"}},
    };
    char arg0[] = "update", arg1[] = "-tftp";
    char* argv[] = {arg0, arg1, nullptr};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.link);
        ScratchDir root;
        std::filesystem::create_directories(root / "proc/self");
        if (!row.link.empty()) std::filesystem::create_symlink(row.link, root / "proc/self/exe");
        sys::SetDeviceRoot(root.path());
        sys::FakeRunner fake;
        fake.results = {row.copy_result};
        sys::ScopedRunner scope(fake);
        ASSERT_TRUE(sys::LogOpen((root / "update.log").c_str()));
        testing::internal::CaptureStdout();
        EXPECT_EQ(UPDATE_RunFromTmp(argv), row.result);
        const std::string out = testing::internal::GetCapturedStdout();
        sys::LogClose();
        sys::SetDeviceRoot("");
        EXPECT_EQ(fake.commands, row.commands);
        // A failed start is logged only, without a line end.
        const std::string log = ReadWholeFile(root / "update.log");
        const bool started = row.commands.size() == 2;
        EXPECT_EQ(log.ends_with("]failed to start progress /tmp/memupdate "), started) << log;
        EXPECT_TRUE(!started || out.empty()) << out;
    }
}

}  // namespace
