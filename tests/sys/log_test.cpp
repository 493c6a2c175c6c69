#include "sys/log.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "scratch.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class LogTest : public testing::Test {
  protected:
    void TearDown() override { sys::LogClose(); }
    ScratchDir dir_;
};

TEST(LogStampTest, DateAndTimeAreZeroPaddedLocalTime) {
    const char* old_tz = std::getenv("TZ");
    const std::string saved = old_tz != nullptr ? old_tz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();

    char date[12];
    char time[12];
    sys::FormatLogStamp(1557230706L, date, time);  // Tue May  7 12:05:06 UTC 2019
    EXPECT_STREQ(date, "2019-05-07");
    EXPECT_STREQ(time, "12:05:06");
    sys::FormatLogStamp(1704067199L, date, time);
    EXPECT_STREQ(date, "2023-12-31");
    EXPECT_STREQ(time, "23:59:59");

    ::setenv("TZ", "UTC-2", 1);  // two hours east
    ::tzset();
    sys::FormatLogStamp(1704067199L, date, time);
    EXPECT_STREQ(date, "2024-01-01");
    EXPECT_STREQ(time, "01:59:59");

    old_tz != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

TEST_F(LogTest, ClosedLogPrintsMessageOnlyAndLogOnlyGoesNowhere) {
    ASSERT_FALSE(sys::LogIsOpen());
    CaptureStdout();
    ULOG("copy %d to %s\n", 3, "console");
    ULOG_ONLY("only in the log %d\n", 4);
    ULOG("no line end");
    EXPECT_EQ(GetCapturedStdout(), "copy 3 to console\nno line end");
}

// The console gets the message, the log a dated line with the emitter's unit
// and line; a message without line end is continued by the next line.
TEST_F(LogTest, OpenLogGetsDatedLinesAndConsoleTheMessage) {
    const std::string log = dir_ / "update.log";
    ASSERT_TRUE(sys::LogOpen(log.c_str()));
    CaptureStdout();
    const int line = __LINE__ + 1;
    ULOG("Update %s %d\n", "step", 7);
    ULOG_ONLY("quiet %u\n", 9u);
    EXPECT_EQ(GetCapturedStdout(), "Update step 7\n");
    ULOG_ONLY("fgets psResult file failed");
    sys::LogWrite(sys::Sink::LogOnly, sys::kUnitComm, 12, "a\n");
    sys::LogWrite(sys::Sink::LogOnly, sys::kUnitNvram, 34, "b\n");
    sys::LogWrite(sys::Sink::LogOnly, sys::kUnitVerCmp, 56, "c\n");
    sys::LogClose();
    const std::string stamp = "####-##-## ##:##:##[";
    EXPECT_TRUE(MatchesShape(ReadWholeFile(log),
                             stamp + "update.cpp " + std::to_string(line) + "]Update step 7\n" +
                                 stamp + "update.cpp " + std::to_string(line + 1) + "]quiet 9\n" +
                                 stamp + "update.cpp +]fgets psResult file failed" + stamp +
                                 "update_comm.cpp 12]a\n" + stamp + "update_nvram.cpp 34]b\n" +
                                 stamp + "ver_cmp.cpp 56]c\n"))
        << ReadWholeFile(log);
}

TEST_F(LogTest, OpenAppendsAndReopenReplacesTheStream) {
    const std::string first = dir_ / "first.log";
    const std::string second = dir_ / "second.log";
    { std::ofstream(first) << "kept\n"; }
    ASSERT_TRUE(sys::LogOpen(first.c_str()));
    ULOG_ONLY("one\n");
    ASSERT_TRUE(sys::LogOpen(second.c_str(), "a+"));
    EXPECT_NE(::fcntl(sys::LogFd(), F_GETFD) & FD_CLOEXEC, 0);  // not inherited by commands
    ULOG_ONLY("two\n");
    sys::LogClose();
    EXPECT_FALSE(sys::LogIsOpen());
    EXPECT_EQ(sys::LogFd(), -1);

    const std::string a = ReadWholeFile(first);
    EXPECT_EQ(a.rfind("kept\n", 0), 0u);
    EXPECT_NE(a.find("]one\n"), std::string::npos);
    EXPECT_EQ(a.find("two"), std::string::npos);
    EXPECT_NE(ReadWholeFile(second).find("]two\n"), std::string::npos);
}

}  // namespace
