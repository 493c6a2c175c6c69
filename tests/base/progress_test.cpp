// The progress state, the rate file and the folding of a cloud download's own
// percent, all in a scratch device root with the commands recorded.
#include "base/progress.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/progress_fixture.h"
#include "sys/fake_runner.h"
#include "sys/fd.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"
#include "sys/text.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ProgressTest : public ProgressFixture {
  protected:
    std::string RateFile() { return ReadWholeFile(root_ / "tmp/update_rate.log"); }
    void WriteDownloadStat(const std::string& text) {
        std::ofstream(root_ / "tmp/download_stat.log") << text;
    }
    void StartCloudDownload() {
        ProgressLock lock;
        sys::CopyText(UPDATE_DownloadStat().url, "https://h.example/Program.bin");
    }
    // error, percent, done
    static std::tuple<int, int, int> State() {
        ProgressSnapshot s = UPDATE_ReadProgress();
        return {s.error, s.percent, s.done};
    }

    sys::FakeRunner fake_;
    sys::ScopedRunner scoped_{fake_};
};

// Plain reports run no command (the clean-up commands are checked with the
// check flow).
TEST_F(ProgressTest, PlainReportsTheDoneFlagAndTheReset) {
    // Rewritten whole: a shorter value leaves no digits of the longer one.
    UPDATE_ReportRate(100);
    UPDATE_ReportRate(35);
    EXPECT_EQ(RateFile(), "35");
    EXPECT_EQ(State(), std::make_tuple(0, 35, 0));
    UPDATE_SetDone();
    EXPECT_EQ(State(), std::make_tuple(0, 0, 1));
    UPDATE_ReportRate(3);  // a report clears the done flag
    UPDATE_ReportRate(kRateFailed);
    EXPECT_EQ(RateFile(), "101");
    EXPECT_EQ(State(), std::make_tuple(-1, 3, 0));
    StartCloudDownload();
    UPDATE_DownloadStat().status = 3;
    UPDATE_ResetProgress();
    EXPECT_EQ(State(), std::make_tuple(0, 0, 0));
    EXPECT_EQ(UPDATE_DownloadStat().url[0], '\0');
    EXPECT_EQ(UPDATE_DownloadStat().status, 0u);
    EXPECT_TRUE(fake_.commands.empty());
}

// A cloud download fills the first half: half the download's percent plus half
// the report, in integer division; more data than announced counts as 100 and
// must not push the fold past the success mark. A failure report (above 100)
// does not consult the download, so even "too small" removes nothing then.
TEST_F(ProgressTest, CloudDownloadFillsTheFirstHalf) {
    struct Row {
        const char* stat;
        uint32_t report;
        int percent;
    };
    const Row rows[] = {
        {"Stat:0,DownladRate:40", 0, 20},
        {"Stat:0,DownladRate:100", 60, 80},
        {"Stat:1,DownladRate:0", 11, 5},
        {"Stat:0,DownladRate:250", 0, 50},
        {"Stat:0,DownladRate:4294967295", 10, 55},
        {"", 30, 15},  // opens, does not parse
        {"garbage", 10, 5},
        {"Stat:2,DownladRate:0", kRateFailed, 101},
    };
    StartCloudDownload();
    int shown = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stat);
        WriteDownloadStat(row.stat);
        UPDATE_ReportRate(row.report);
        EXPECT_EQ(RateFile(), std::to_string(row.percent));
        shown = row.percent > 100 ? shown : row.percent;  // a failure keeps the percent
        EXPECT_EQ(State(), std::make_tuple(row.percent > 100 ? -1 : 0, shown, 0));
    }
    EXPECT_TRUE(fake_.commands.empty());
    EXPECT_TRUE(std::filesystem::exists(root_ / "tmp/download_stat.log"));
}

TEST_F(ProgressTest, StatusFileIsReadUnderTheFetchLock) {
    StartCloudDownload();
    WriteDownloadStat("Stat:0,DownladRate:10");
    // The fetch replaces the content under an exclusive lock: truncate, then
    // write. A report in between must wait for the new content.
    const std::string path = root_ / "tmp/download_stat.log";
    sys::UniqueFd writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(writer.valid());
    ASSERT_EQ(::flock(writer.get(), LOCK_EX), 0);
    ASSERT_EQ(::ftruncate(writer.get(), 0), 0);
    std::atomic<bool> reported{false};
    std::thread reporter([&] {
        UPDATE_ReportRate(0);
        reported = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(reported.load());
    const std::string text = "Stat:0,DownladRate:40";
    EXPECT_EQ(::write(writer.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(::flock(writer.get(), LOCK_UN), 0);
    reporter.join();
    EXPECT_EQ(RateFile(), "20");
    EXPECT_EQ(UPDATE_ReadProgress().error, 0);
}

// A missing status file is a failed download too; each failed download
// removes the status file.
TEST_F(ProgressTest, FailedDownloadTurnsTheReportIntoAFailure) {
    const std::pair<const char*, const char*> rows[] = {
        {nullptr, "Download failed err is[4]\n"},
        {"Stat:2,DownladRate:100", "Download failed err is[2]\n"},
    };
    for (const auto& [stat, message] : rows) {
        SCOPED_TRACE(message);
        UPDATE_ResetProgress();
        StartCloudDownload();
        if (stat != nullptr) WriteDownloadStat(stat);
        CaptureStdout();
        UPDATE_ReportRate(50);
        EXPECT_EQ(GetCapturedStdout(), message);
        EXPECT_EQ(RateFile(), "101");
        EXPECT_EQ(UPDATE_ReadProgress().error, -1);
    }
    EXPECT_EQ(fake_.commands, std::vector<std::string>(2, "rm -rf /tmp/download_stat.log"));
}

// The failure report and the real code share one critical section; a code of
// 0 still leaves -1. An unwritable rate file still updates the state.
TEST_F(ProgressTest, ResultCodeIsStoredWithTheFailure) {
    for (int code : {-9, 0}) {
        SCOPED_TRACE(code);
        UPDATE_ResetProgress();
        UPDATE_ReportRate(60);
        UPDATE_ReportResult(code);
        EXPECT_EQ(RateFile(), "101");
        EXPECT_EQ(State(), code == 0 ? std::make_tuple(-1, 0, 0) : std::make_tuple(-9, 60, 0));
    }
    sys::SetDeviceRoot(root_ / "missing");
    UPDATE_ReportRate(42);
    UPDATE_ReportResult(-3);
    EXPECT_EQ(State(), std::make_tuple(-3, 42, 0));
}

// A watcher must never see the generic -1 in place of the reported code.
TEST_F(ProgressTest, WatcherNeverSeesTheGenericCodeBeforeTheRealOne) {
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread watcher([&] {
        while (!stop.load()) {
            int32_t e = UPDATE_ReadProgress().error;
            if (e != 0 && e != -9) wrong.fetch_add(1);
        }
    });
    for (int i = 0; i < 300; ++i) {
        UPDATE_ResetProgress();
        UPDATE_ReportResult(-9);
    }
    stop = true;
    watcher.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
