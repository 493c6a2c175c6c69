// The real `update` in the simulated recorder: the version report shows the
// device's own version file, board type and boot-loader revision.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devsim_fixture.h"

namespace devsim {
namespace {

using ::testing::HasSubstr;

TEST_F(DevsimTest, VersionReportShowsTheDevicesValues) {
    SetVersion("PUB:V5.1.2\nNEW:V5.1.2.240101\nINN:QTPXV300R006B13\nBUILD:2024-01-01 12:00:00\n");
    SetBoardType("NVR-3216-E2E");
    SetUbootRev("U20.1");
    RunResult r = RunUpdate({"-v"});
    ASSERT_EQ(r.status, 0) << r.harness << r.err;
    EXPECT_THAT(r.out, HasSubstr("Current version: V5.1.2\n"));
    EXPECT_THAT(r.out, HasSubstr("Inerversion: QTPXV300R006B13\n"));
    EXPECT_THAT(r.out, HasSubstr("Board type: NVR-3216-E2E\n"));
    // Nothing rebooted and no rate file for an info request.
    EXPECT_EQ(r.SigtermCount(), 0);
    EXPECT_TRUE(r.rates.empty());
}

}  // namespace
}  // namespace devsim
