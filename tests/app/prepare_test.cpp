// Service stop, tool preparation and model copy against the recording runner,
// and the update record log in a scratch device root.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/prepare.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

using std::chrono::milliseconds;

// Records the pauses instead of sleeping, and restores the defaults.
class PrepareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UPDATE_ResetServicesStopped();
        UPDATE_SetPrepareSleep([this](milliseconds d) { pauses_.push_back(d); });
    }
    void TearDown() override {
        UPDATE_SetPrepareSleep({});
        UPDATE_ResetServicesStopped();
    }
    sys::FakeRunner fake_;
    sys::ScopedRunner scope_{fake_};
    std::vector<milliseconds> pauses_;
};

// The waits after the stop commands last while a stopped service is still
// there (up to 3 s for daemon/core, 1 s for postgres) and end at once when
// none is; the processes come from a scratch /proc (zombies have ended).
TEST_F(PrepareTest, StopServicesWaitsOnlyForServicesStillRunning) {
    struct Row {
        std::vector<std::string> stats;  // "/proc/PID/stat" lines
        std::size_t pauses;              // of 100 ms each
    };
    const Row rows[] = {
        {{}, 0},
        {{"7 (sh) S 1", "8 (daemon) Z 1", "9 (postgres:x) S 1"}, 0},
        {{"8 (core) S 1"}, 30},
        {{"9 (postgres) S 1 0"}, 10},
        {{"8 (daemon) R 1", "9 (postgres) D 1"}, 40},
    };
    for (const Row& row : rows) {
        ScratchDir root;
        sys::SetDeviceRoot(root.path());
        int pid = 100;
        for (const std::string& line : row.stats) {
            const std::filesystem::path dir = root.path() + "/proc/" + std::to_string(pid++);
            std::filesystem::create_directories(dir);
            std::ofstream(dir / "stat") << line << "\n";
        }
        UPDATE_ResetServicesStopped();
        fake_.commands.clear();
        pauses_.clear();
        fake_.default_result = 127;  // failing commands are ignored
        UPDATE_StopServices();
        sys::SetDeviceRoot("");
        EXPECT_TRUE(UPDATE_ServicesStopped());
        const std::vector<std::string> expected = {
            "mt boardagent set smart stop",
            "killall daemon core;pg_ctl stop -D /var/fs_disk/database -m fast",
            "killall postgres",
        };
        EXPECT_EQ(fake_.commands, expected);
        EXPECT_EQ(pauses_, std::vector<milliseconds>(row.pauses, milliseconds(100)))
            << row.stats.size();
        UPDATE_StopServices();
        EXPECT_EQ(fake_.commands.size(), expected.size());
    }
}

// The loader name as listed, cut to 31 characters; without one, nothing
// past the listing runs. (The command lines themselves run on the device
// root in the end-to-end write runs, which find and bind the loader.)
TEST_F(PrepareTest, PrepareToolsTakesTheLoaderNameOrFails) {
    struct Row {
        std::string output;
        int read_result, ret;
        std::string loader;
    };
    const Row rows[] = {{"", 0, -1, ""},
                        {"\n", 0, -1, ""},
                        {"ld-2.31.so\n", -1, -1, ""},
                        {std::string(40, 'l') + "\n", 0, 0, std::string(31, 'l')}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        fake_.commands.clear();
        fake_.read_output = row.output;
        fake_.read_result = row.read_result;
        EXPECT_EQ(UPDATE_PrepareTools(), row.ret);
        ASSERT_EQ(fake_.commands.size(), row.ret == 0 ? 11u : 1u);  // only the listing
        if (row.ret != 0) continue;
        EXPECT_NE(fake_.commands[7].find("/lib/" + row.loader + " /var"), std::string::npos);
    }
}

TEST(NeedCopyModelTest, Rows) {
    struct Row {
        const char* inner;
        const char* local_pub;
        const char* image_pub;
        bool need;
    };
    // Groups are the characters 3-4 and 6-7 of the public versions.
    const Row rows[] = {
        {"QTPXV300R003B03SP02", "V5.29.30.01", "V5.29.31.00", true},
        {"QTEXV300R001B11", "V5.28.99.00", "V5.30.00.00", true},
        {"QTPXV300R003B03", "V5.10.50.00", "V5.29.31.00", true},
        {"QTPXV300R003B03", "V5.29.31.00", "V5.30.00.00", false},  // installed already past
        {"QTPXV300R003B03", "V5.29.30.00", "V5.29.30.00", false},  // package not past
        {"QTPXV300R003B03", "V5.29.20.00", "V5.28.99.00", false},
        {"QTPXV300R006B13", "V5.29.30.00", "V5.30.01.00", false},  // other baseline
        {"QTEXV300R001B10", "V5.29.30.00", "V5.30.01.00", false},
        {"QTPXV300R003B0", "V5.29.30.00", "V5.30.01.00", false},  // baseline cut short
        {"", "", "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.inner) + " " + row.local_pub + " " + row.image_pub);
        EXPECT_EQ(UPDATE_NeedCopyModelFor(row.inner, row.local_pub, row.image_pub), row.need);
    }
    EXPECT_FALSE(UPDATE_NeedCopyModelFor(nullptr, nullptr, nullptr));
}

// --- update record log ---

std::string Entries(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) {
        text += "Previous Verion: P" + std::to_string(i) + "\n";
        text += "Upgraded Verion: U" + std::to_string(i) + "\n";
        text += "Sun Dec  6 07:00:0" + std::to_string(i % 10) + " UTC 2026\n";
    }
    return text;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Counting leaves the count alone on a file it cannot read; trimming keeps
// the last nine entries.
TEST(RecordLogTest, CountAndTrim) {
    ScratchDir dir;
    const std::string path = dir / "r.log";
    int count = 7;
    EXPECT_EQ(UPDATE_CountRecords((dir / "missing.log").c_str(), &count), -1);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(UPDATE_TrimRecords((dir / "missing.log").c_str(), 10), -1);
    for (const auto& [last, kept] : {std::pair{0, 1}, {9, 1}, {12, 4}}) {
        WriteFile(path, Entries(1, last));
        EXPECT_EQ(UPDATE_CountRecords(path.c_str(), &count), 0);
        EXPECT_EQ(count, last);
        ASSERT_EQ(UPDATE_TrimRecords(path.c_str(), count), 0);
        EXPECT_EQ(ReadWholeFile(path), Entries(kept, last));
    }
}

class RecordAppendTest : public PrepareTest {
  protected:
    void SetUp() override {
        PrepareTest::SetUp();
        sys::SetDeviceRoot(root_.path());
        WriteFile(root_ / "program/.version",
                  "PUB:V5.30.10.00\nNEW:V5.30.10.00\nINN:QTPXV300R006B13\n");
        log_ = root_ / "var/runtime/log/update_record.log";
    }
    void TearDown() override {
        sys::SetDeviceRoot("");
        PrepareTest::TearDown();
    }
    const std::string kNewEntryHead =
        "Previous Verion: QTPXV300R006B13\nUpgraded Verion: QTPXV300R006B14\n";
    ScratchDir root_;
    std::string log_;
};

// Ten entries are cut to nine before the append, nine are not cut, and a
// missing log is created.
TEST_F(RecordAppendTest, AppendKeepsAtMostTenEntries) {
    const std::pair<std::string, std::string> rows[] = {
        {Entries(1, 10), Entries(2, 10)},
        {Entries(1, 9), Entries(1, 9)},
        {"", ""},
    };
    for (const auto& [before, kept] : rows) {
        SCOPED_TRACE(before.size());
        fake_.commands.clear();
        std::filesystem::remove(log_);
        if (!before.empty()) WriteFile(log_, before);
        std::filesystem::create_directories(std::filesystem::path(log_).parent_path());
        UPDATE_AppendRecord("QTPXV300R006B14");
        EXPECT_EQ(ReadWholeFile(log_), kept + kNewEntryHead);
        EXPECT_EQ(fake_.commands,
                  std::vector<std::string>{"date>>/var/runtime/log/update_record.log"});
    }
}

TEST_F(RecordAppendTest, UnopenableLogRunsNoDateCommand) {
    // No log directory at all: nothing to append to.
    UPDATE_AppendRecord("QTPXV300R006B14");
    EXPECT_FALSE(std::filesystem::exists(log_));
    EXPECT_TRUE(fake_.commands.empty());
}

}  // namespace
