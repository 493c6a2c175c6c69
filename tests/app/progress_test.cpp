// The progress state, the rate file and the folding of a cloud download's own
// percent, all in a scratch device root with the commands recorded.
#include "app/progress.h"

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
#include <vector>

#include "app/progress_fixture.h"
#include "sys/fd.h"
#include "sys/path.h"
#include "sys/fake_runner.h"
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

    sys::FakeRunner fake_;
    sys::ScopedRunner scoped_{fake_};
};

TEST_F(ProgressTest, PlainReportWritesRateAndPercent) {
    UPDATE_ReportRate(35);
    EXPECT_EQ(RateFile(), "35");
    ProgressSnapshot s = UPDATE_ReadProgress();
    EXPECT_EQ(s.error, 0);
    EXPECT_EQ(s.percent, 35);
    EXPECT_EQ(s.done, 0);

    // Rewritten whole: a shorter value leaves no digits of the longer one.
    UPDATE_ReportRate(100);
    UPDATE_ReportRate(7);
    EXPECT_EQ(RateFile(), "7");
    EXPECT_TRUE(fake_.commands.empty());
}

TEST_F(ProgressTest, FailureReportSetsMinusOne) {
    UPDATE_ReportRate(40);
    UPDATE_ReportRate(kRateFailed);
    EXPECT_EQ(RateFile(), "101");
    ProgressSnapshot s = UPDATE_ReadProgress();
    EXPECT_EQ(s.error, -1);
    EXPECT_EQ(s.percent, 40);
}

// A cloud download fills the first half: half the download's percent plus half
// the report, in integer division; more data than announced counts as 100 and
// must not push the fold past the success mark.
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
        {"", 30, 15},  // opens but does not parse: no data yet
        {"garbage", 10, 5},
    };
    StartCloudDownload();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stat);
        WriteDownloadStat(row.stat);
        UPDATE_ReportRate(row.report);
        EXPECT_EQ(RateFile(), std::to_string(row.percent));
        EXPECT_EQ(UPDATE_ReadProgress().percent, row.percent);
        EXPECT_EQ(UPDATE_ReadProgress().error, 0);
    }
    EXPECT_TRUE(fake_.commands.empty());
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

// A missing status file is a failed download too; only the "too small"
// status (last row) removes the status file.
TEST_F(ProgressTest, FailedDownloadTurnsTheReportIntoAFailure) {
    const std::pair<const char*, const char*> rows[] = {
        {nullptr, "Download failed err is[4]\n"},
        {"Stat:2,DownladRate:100", "Download failed err is[2]\n"},
    };
    for (const auto& [stat, message] : rows) {
        SCOPED_TRACE(message);
        UPDATE_ResetProgress();
        fake_.commands.clear();
        StartCloudDownload();
        if (stat != nullptr) WriteDownloadStat(stat);
        CaptureStdout();
        UPDATE_ReportRate(50);
        EXPECT_EQ(GetCapturedStdout(), message);
        EXPECT_EQ(RateFile(), "101");
        EXPECT_EQ(UPDATE_ReadProgress().error, -1);
    }
    EXPECT_EQ(fake_.commands, std::vector<std::string>{"rm -rf /tmp/download_stat.log"});
}

TEST_F(ProgressTest, ReportsAbove100DoNotConsultTheDownload) {
    StartCloudDownload();
    WriteDownloadStat("Stat:2,DownladRate:0");
    UPDATE_ReportRate(kRateFailed);
    EXPECT_TRUE(fake_.commands.empty());
    EXPECT_TRUE(std::filesystem::exists(root_ / "tmp/download_stat.log"));
}

// The failure report and the real code share one critical section; a code of
// 0 still leaves -1.
TEST_F(ProgressTest, ResultCodeIsStoredWithTheFailure) {
    for (int code : {-9, 0}) {
        SCOPED_TRACE(code);
        UPDATE_ResetProgress();
        UPDATE_ReportRate(60);
        UPDATE_ReportResult(code);
        EXPECT_EQ(RateFile(), "101");
        ProgressSnapshot s = UPDATE_ReadProgress();
        EXPECT_EQ(s.error, code == 0 ? -1 : code);
        EXPECT_EQ(s.percent, code == 0 ? 0 : 60);
        EXPECT_EQ(s.done, 0);
    }
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

TEST_F(ProgressTest, UnwritableRateFileStillUpdatesTheState) {
    sys::SetDeviceRoot(root_ / "missing");
    UPDATE_ReportRate(42);
    EXPECT_EQ(UPDATE_ReadProgress().percent, 42);
    UPDATE_ReportResult(-3);
    EXPECT_EQ(UPDATE_ReadProgress().error, -3);
}

TEST_F(ProgressTest, ResetAndDone) {
    StartCloudDownload();
    UPDATE_DownloadStat().status = 3;
    UPDATE_ReportRate(kRateFailed);
    UPDATE_SetDone();
    ProgressSnapshot s = UPDATE_ReadProgress();
    EXPECT_EQ(s.done, 1);
    EXPECT_EQ(s.percent, 0);

    UPDATE_ResetProgress();
    s = UPDATE_ReadProgress();
    EXPECT_EQ(s.error, 0);
    EXPECT_EQ(s.done, 0);
    EXPECT_EQ(UPDATE_DownloadStat().url[0], '\0');
    EXPECT_EQ(UPDATE_DownloadStat().status, 0u);

    // A report clears the done flag.
    UPDATE_SetDone();
    UPDATE_ReportRate(3);
    EXPECT_EQ(UPDATE_ReadProgress().done, 0);
}

TEST_F(ProgressTest, CleanCommands) {
    UPDATE_CleanTmp();
    UPDATE_CleanAll();
    EXPECT_EQ(fake_.commands, (std::vector<std::string>{"rm -rf /tmp/Program.bin /tmp/psResult",
                                                        "rm -rf /tmp/Program.bin /tmp/psResult",
                                                        "rm -rf /tmp/update_rate.log"}));
}

}  // namespace
