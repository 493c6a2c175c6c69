// Failed cloud fetches in the simulated recorder: the run ends with the
// fetch's own code, however the watchdog's polls fall.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devsim_fixture.h"

namespace {

using devsim::RunResult;

class FetchFaultTest : public devsim::DevsimTest {};

// The device's shell takes two seconds over the clean-up of a failed
// download, so the watchdog polls between the failure and the fetch's code.
constexpr const char* kSlowCleanupShell =
    "#!/bin/busybox sh\n"
    "case \"$2\" in 'rm -rf /tmp/Program.bin /tmp/download_stat.log') sleep 2 ;; esac\n"
    "exec /bin/busybox sh \"$@\"\n";

TEST_F(FetchFaultTest, RefusedDownloadEndsWithCodeFourWhileTheCleanupIsSlow) {
    WriteState("bin/sh", kSlowCleanupShell, 0755);
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1:9/Program.bin", "all", "-check"});
    EXPECT_EQ(r.status, 4) << r.out << r.harness;
    EXPECT_THAT(r.out, testing::HasSubstr("Fail to call curl_easy_perform, err:7"));
    EXPECT_GE(r.seconds, 2.0);  // the slow clean-up did run
}

}  // namespace
