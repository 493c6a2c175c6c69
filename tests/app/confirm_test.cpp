// The confirmation line editor: the key handling through pipes, and the
// whole question through a pseudo-terminal (raw mode, no double echo, the
// terminal put back afterwards).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "app/prepare.h"
#include "sys/fd.h"

namespace {

// Everything readable from fd until end of input (or nothing more arrives).
std::string Drain(int fd) {
    std::string out;
    char buf[256];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

struct LineResult {
    std::string answer;
    std::string echo;
};

// Feeds keys through a pipe and collects the echo through another.
LineResult ReadLineOf(const std::string& keys, std::size_t cap = kAnswerSize) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
    sys::UniqueFd in_rd(in[0]), in_wr(in[1]), out_rd(out[0]), out_wr(out[1]);
    EXPECT_EQ(::write(in_wr.get(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    in_wr.reset();
    std::string answer(cap, 'x');
    UPDATE_ReadLineFrom(in_rd.get(), out_wr.get(), answer.data(), cap);
    out_wr.reset();
    answer.resize(answer.find('\0'));
    return {answer, Drain(out_rd.get())};
}

TEST(ReadLineTest, KeyHandling) {
    struct Row {
        const char* keys;
        const char* answer;
        const char* echo;
    };
    const Row rows[] = {
        {"y\r", "y", "y"},
        {"yes\rno\r", "yes", "yes"},  // the carriage return ends the line
        {"\r", "", ""},
        {"yx\x7f\r", "y", "yx\b \b"},  // backspace (DEL) removes and rubs out
        {"x\by\r", "y", "x\b \by"},    // ^H too
        {"\x7f\x7fy\r", "y", "y"},     // nothing to remove: no rub-out
        {"\x1b[Ay\r", "y", "y"},       // cursor up dropped
        {"ye\x1b[Bs\x1b[C\x1b[D\r", "yes", "yes"},
        {"A\rB", "A", "A"},               // A to D outside a sequence are printable
        {"[y]\r", "y]", "y]"},            // '[' is never kept
        {"\x1bxy\r", "xy", "xy"},         // escape alone is dropped
        {"y\ne\ts\x01\r", "yes", "yes"},  // control characters dropped
        {"y\xe9s\r", "ys", "ys"},         // so are bytes above 126
        {"yes", "yes", "yes"},            // end of input ends the line
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.keys)));
        LineResult got = ReadLineOf(row.keys);
        EXPECT_EQ(got.answer, row.answer);
        EXPECT_EQ(got.echo, row.echo);
    }
}

TEST(ReadLineTest, CharactersBeyondTheBufferAreDropped) {
    LineResult got = ReadLineOf(std::string(100, 'y') + "\r", 8);
    EXPECT_EQ(got.answer, std::string(7, 'y'));
    EXPECT_EQ(got.echo, std::string(7, 'y'));
}

// A pseudo-terminal pair in canonical mode with echo, like a console.
class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(master_.valid());
        ASSERT_EQ(grantpt(master_.get()), 0);
        ASSERT_EQ(unlockpt(master_.get()), 0);
        slave_.reset(::open(ptsname(master_.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(slave_.valid());
        ASSERT_EQ(tcgetattr(slave_.get(), &before_), 0);
        // Compare output bytes as the program wrote them.
        before_.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
        ASSERT_EQ(tcsetattr(slave_.get(), TCSANOW, &before_), 0);
        ASSERT_NE(before_.c_lflag & ICANON, 0u);
        ASSERT_NE(before_.c_lflag & ECHO, 0u);
    }

    // Runs the question on the slave side, types keys on the master side once
    // raw mode is on, and returns the answer.
    int Ask(const std::string& keys) {
        auto answer = std::async(std::launch::async,
                                 [this] { return UPDATE_ConfirmOn(slave_.get(), slave_.get()); });
        // Keys typed before raw mode would be flushed with the pending input.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        termios now{};
        while (tcgetattr(slave_.get(), &now) == 0 && (now.c_lflag & ICANON) != 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(::write(master_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
        if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            if (::write(master_.get(), "\r", 1) != 1) ADD_FAILURE() << "cannot type";
        }
        return answer.get();
    }

    // What reached the terminal: the pty hands output over asynchronously, so
    // wait until the expected amount arrived (or a generous time passed), then
    // a little longer for anything beyond it.
    std::string Shown(std::size_t want) {
        std::string out;
        char buf[256];
        for (;;) {
            pollfd p{master_.get(), POLLIN, 0};
            if (::poll(&p, 1, out.size() < want ? 5000 : 100) <= 0) break;
            ssize_t n = ::read(master_.get(), buf, sizeof(buf));
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    void ExpectRestored() {
        termios after{};
        ASSERT_EQ(tcgetattr(slave_.get(), &after), 0);
        EXPECT_EQ(after.c_lflag, before_.c_lflag);
        EXPECT_EQ(after.c_iflag, before_.c_iflag);
        EXPECT_EQ(after.c_oflag, before_.c_oflag);
    }

    sys::UniqueFd master_;
    sys::UniqueFd slave_;
    termios before_{};
};

const char kQuestion[] =
    "\r\nplease make sure the device will not be powered off or rebooted while updating!"
    "\r\nplease confirm (y/n):";

TEST_F(PtyTest, YesIsConfirmedAndEchoedOnce) {
    EXPECT_EQ(Ask("yes\r"), 0);
    const std::string expected = std::string(kQuestion) + "yes";
    EXPECT_EQ(Shown(expected.size()), expected);
    ExpectRestored();
}

TEST_F(PtyTest, Answers) {
    struct Row {
        const char* keys;
        int result;
    };
    const Row rows[] = {
        {"y\r", 0},        {"Y\r", -1},          {"YES\r", -1},   {"n\r", -1},
        {"\r", -1},        {"\x1b[Ay\r", 0},     {"yo\x7f\r", 0}, {"ye\x1b[Ds\r", 0},
        {"yess\x7f\r", 0}, {"no\x7f\x7fy\r", 0}, {"ys\r", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.keys)));
        EXPECT_EQ(Ask(row.keys), row.result);
        ExpectRestored();
    }
}

TEST(ConfirmTest, WorksWithoutATerminal) {
    // Attributes cannot be set on a pipe: logged, and the question still asked.
    int in[2];
    int out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    sys::UniqueFd in_rd(in[0]), in_wr(in[1]), out_rd(out[0]), out_wr(out[1]);
    ASSERT_EQ(::write(in_wr.get(), "y\r", 2), 2);
    EXPECT_EQ(UPDATE_ConfirmOn(in_rd.get(), out_wr.get()), 0);
    out_wr.reset();
    EXPECT_EQ(Drain(out_rd.get()), std::string(kQuestion) + "y");
}

}  // namespace
