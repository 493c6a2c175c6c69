// The watchdog against an injected one-second pause: each pause is one cycle,
// and the test plays the worker's reports inside the pauses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "app/progress.h"
#include "app/worker.h"
#include "sys/path.h"

namespace {

class WatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/watch_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        std::filesystem::create_directories(root_ / "tmp");
        sys::SetDeviceRootForTests(root_.string());
        UPDATE_ResetProgress();
    }
    void TearDown() override {
        UPDATE_ResetProgress();
        sys::SetDeviceRootForTests("");
        std::filesystem::remove_all(root_);
    }

    // Runs the watchdog; script maps a pause number (1-based) to what the
    // worker does during that pause. Returns the result and counts pauses.
    int Watch(const std::map<int, std::function<void()>>& script) {
        pauses_ = 0;
        return UPDATE_WatchWith([&] {
            ++pauses_;
            auto it = script.find(pauses_);
            if (it != script.end()) it->second();
            // A runaway loop would never end: stop it well past any expectation.
            if (pauses_ > 5000) UPDATE_ReportResult(-999);
        });
    }

    std::filesystem::path root_;
    int pauses_ = 0;
};

TEST_F(WatchTest, NoProgressAtAllEndsWithStallAfter601Cycles) {
    // The first cycle already counts as a stall (0 is not above the best of 0).
    EXPECT_EQ(Watch({}), -10);
    EXPECT_EQ(pauses_, 601);
}

TEST_F(WatchTest, HangAfterTwentyPercentEnds601CyclesAfterTheLastReport) {
    // Reports of 10 and 20 land in pauses 1 and 2; cycles 2 and 3 see them as
    // new bests, cycles 4 to 604 are the 601 stalls.
    EXPECT_EQ(Watch({{1, [] { UPDATE_ReportRate(10); }}, {2, [] { UPDATE_ReportRate(20); }}}), -10);
    EXPECT_EQ(pauses_, 604);
}

TEST_F(WatchTest, RepeatingTheSamePercentIsStillAStall) {
    std::map<int, std::function<void()>> script;
    script[1] = [] { UPDATE_ReportRate(30); };
    for (int i = 2; i < 700; ++i) script[i] = [] { UPDATE_ReportRate(30); };
    EXPECT_EQ(Watch(script), -10);
    EXPECT_EQ(pauses_, 603);
}

TEST_F(WatchTest, NewBestPercentRestartsTheStallCount) {
    // Each report comes 500 cycles after the previous one: never a stall.
    EXPECT_EQ(Watch({{500, [] { UPDATE_ReportRate(10); }},
                     {1000, [] { UPDATE_ReportRate(20); }},
                     {1500, [] { UPDATE_ReportRate(100); }}}),
              0);
    EXPECT_EQ(pauses_, 1500);
}

TEST_F(WatchTest, ErrorCodeEndsAtOnce) {
    UPDATE_ReportResult(-9);
    EXPECT_EQ(Watch({}), -9);
    EXPECT_EQ(pauses_, 0);
}

TEST_F(WatchTest, ErrorDuringTheRunEndsTheNextCycle) {
    EXPECT_EQ(Watch({{1, [] { UPDATE_ReportRate(40); }}, {5, [] { UPDATE_ReportResult(-12); }}}),
              -12);
    EXPECT_EQ(pauses_, 5);
}

TEST_F(WatchTest, FailedReportWithoutCodeEndsWithMinusOne) {
    // A failure reported with code 0 (or a rate of 101) leaves the error at -1.
    EXPECT_EQ(Watch({{3, [] { UPDATE_ReportResult(0); }}}), -1);
    EXPECT_EQ(pauses_, 3);
    UPDATE_ResetProgress();
    EXPECT_EQ(Watch({{2, [] { UPDATE_ReportRate(101); }}}), -1);
    EXPECT_EQ(pauses_, 2);
}

TEST_F(WatchTest, PercentAboveNinetyNineEndsWithSuccess) {
    EXPECT_EQ(Watch({{1, [] { UPDATE_ReportRate(99); }}, {4, [] { UPDATE_ReportRate(100); }}}), 0);
    EXPECT_EQ(pauses_, 4);
}

TEST_F(WatchTest, DoneFlagEndsWithSuccess) {
    UPDATE_SetDone();
    EXPECT_EQ(Watch({}), 0);
    EXPECT_EQ(pauses_, 0);
    UPDATE_ResetProgress();
    EXPECT_EQ(Watch({{7, [] { UPDATE_SetDone(); }}}), 0);
    EXPECT_EQ(pauses_, 7);
}

}  // namespace
