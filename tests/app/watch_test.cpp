// The watchdog against an injected one-second pause: each pause is one cycle,
// and the test plays the worker's reports inside the pauses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "app/launch.h"
#include "app/worker.h"
#include "base/progress.h"
#include "base/progress_fixture.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using Script = std::map<int, std::function<void()>>;

class WatchTest : public ProgressFixture {
  protected:
    // Runs the watchdog; script maps a pause number (1-based) to what the
    // worker does during that pause, and pause 0 to what it did before the
    // watch began. Returns the result and counts pauses.
    int Watch(const Script& script) {
        pauses_ = 0;
        if (script.count(0) != 0) script.at(0)();
        return UPDATE_WatchWith([&] {
            ++pauses_;
            auto it = script.find(pauses_);
            if (it != script.end()) it->second();
            // A runaway loop would never end: stop it well past any expectation.
            if (pauses_ > 5000) UPDATE_ReportResult(-999);
        });
    }

    int pauses_ = 0;
};

TEST_F(WatchTest, Endings) {
    struct Row {
        const char* name;
        Script script;
        int result;
        int pauses;
        bool second_stage = false;
    };
    const auto rate = [](uint32_t percent) { return [percent] { UPDATE_ReportRate(percent); }; };
    const auto fail = [](int32_t code) { return [code] { UPDATE_ReportResult(code); }; };
    Script thirty;  // the same percent in every pause
    for (int i = 1; i < 700; ++i) thirty[i] = rate(30);
    // A second stage writes the rate file itself; this run's percent stays at 20.
    const auto second = [](const char* text) {
        return [text] { std::ofstream(sys::DevicePath(kRateFilePath), std::ios::trunc) << text; };
    };
    Script slow_second{{0, rate(20)}};  // 400 cycles between its reports, then done
    for (int i = 1; i <= 5; ++i) slow_second[400 * i] = second(i % 2 != 0 ? "60" : "65");
    slow_second[2400] = rate(100);
    Script stalled_second{{0, rate(20)}, {300, second("60")}};
    const Row rows[] = {
        // The first cycle already counts as a stall (0 is not above the best of 0).
        {"no progress at all", {}, -10, 601},
        // Cycles 2 and 3 see 10 and 20 as new bests, cycles 4 to 604 are the stalls.
        {"hang after 20 percent", {{1, rate(10)}, {2, rate(20)}}, -10, 604},
        // Each report comes 500 cycles after the previous one: never a stall.
        {"new bests restart the count",
         {{500, rate(10)}, {1000, rate(20)}, {1500, rate(100)}},
         0,
         1500},
        {"error code ends at once", {{0, fail(-9)}}, -9, 0},
        {"error during the run", {{1, rate(40)}, {5, fail(-12)}}, -12, 5},
        // A failure reported with code 0 (or a rate of 101) leaves the error at -1.
        {"failure without code", {{3, fail(0)}}, -1, 3},
        {"rate 101", {{2, rate(101)}}, -1, 2},
        {"above 99 is success", {{1, rate(99)}, {4, rate(100)}}, 0, 4},
        {"done before the watch", {{0, UPDATE_SetDone}}, 0, 0},
        {"done during the run", {{7, UPDATE_SetDone}}, 0, 7},
        {"30 is a new best once, then a stall each time", thirty, -10, 603},
        {"second stage reports while none runs", slow_second, -10, 602},
        {"a second stage that reports is waited for", slow_second, 0, 2400, true},
        {"a second stage that stalls", stalled_second, -10, 902, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UPDATE_ResetProgress();
        std::optional<app::SecondStageScope> running;
        if (row.second_stage) running.emplace();
        EXPECT_EQ(Watch(row.script), row.result);
        EXPECT_EQ(pauses_, row.pauses);
    }
}

// The final report wakes a waiting watchdog at once (else this takes an hour).
TEST_F(WatchTest, AnEndWakesTheWait) {
    std::thread worker([] { UPDATE_ReportRate(100); });
    EXPECT_TRUE(UPDATE_WaitForEnd(std::chrono::hours(1)));
    worker.join();
}

}  // namespace
