// The confirmation line editor: the key handling through pipes, and the
// whole question through a pseudo-terminal (raw mode, no double echo, the
// terminal put back afterwards).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "app/prepare.h"
#include "sys/fd.h"

namespace {

// What arrives on fd until its end: a pseudo-terminal hands output over
// asynchronously, so wait until want bytes arrived (or a generous time
// passed), then a little longer for anything beyond them.
std::string Drain(int fd, std::size_t want = 0) {
    std::string out;
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, out.size() < want ? 5000 : 100) <= 0) break;
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Feeds keys through a pipe to f(in, out) and returns what f wrote to the other.
template <class F>
std::string Feed(const std::string& keys, F f) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return "no pipe";
    sys::UniqueFd in_rd(in[0]), in_wr(in[1]), out_rd(out[0]), out_wr(out[1]);
    EXPECT_EQ(::write(in_wr.get(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    in_wr.reset();
    f(in_rd.get(), out_wr.get());
    out_wr.reset();
    return Drain(out_rd.get());
}

const char kQuestion[] =
    "\r\nplease make sure the device will not be powered off or rebooted while updating!"
    "\r\nplease confirm (y/n):";

struct KeyRow {
    const char* keys;
    const char* answer;
    const char* echo;
    int confirmed;  // UPDATE_ConfirmOn's result for these keys
};
// Answers: only a lower-case "y" confirms. The carriage return (or the end of
// input) ends the line. Backspace (DEL, ^H) removes and rubs out; with nothing
// to remove, no rub-out. Cursor keys and a lone escape are dropped; A to D
// outside a sequence are printable, '[' is never kept. Control characters and
// bytes above 126 are dropped.
const KeyRow kKeyRows[] = {{"y\r", "y", "y", 0},
                           {"Y\r", "Y", "Y", -1},
                           {"YES\r", "YES", "YES", -1},
                           {"n\r", "n", "n", -1},
                           {"\r", "", "", -1},
                           {"ys\r", "ys", "ys", -1},
                           {"yes\rno\r", "yes", "yes", 0},
                           {"yx\x7f\r", "y", "yx\b \b", 0},
                           {"x\by\r", "y", "x\b \by", 0},
                           {"\x7f\x7fy\r", "y", "y", 0},
                           {"no\x7f\x7fy\r", "y", "no\b \b\b \by", 0},
                           {"\x1b[Ay\r", "y", "y", 0},
                           {"ye\x1b[Bs\x1b[C\x1b[D\r", "yes", "yes", 0},
                           {"A\rB", "A", "A", -1},
                           {"[y]\r", "y]", "y]", -1},
                           {"\x1bxy\r", "xy", "xy", -1},
                           {"y\ne\ts\x01\r", "yes", "yes", 0},
                           {"y\xe9s\r", "ys", "ys", -1},
                           {"yes", "yes", "yes", 0}};

// The keys through pipes: the line editor's answer and echo, and the whole
// question, which is still asked when the attributes cannot be set.
TEST(ReadLineTest, KeyHandling) {
    for (const KeyRow& row : kKeyRows) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.keys)));
        std::string answer(kAnswerSize, 'x');
        EXPECT_EQ(Feed(row.keys,
                       [&](int in, int out) {
                           UPDATE_ReadLineFrom(in, out, answer.data(), answer.size());
                       }),
                  row.echo);
        EXPECT_STREQ(answer.c_str(), row.answer);
        int confirmed = 1;
        EXPECT_EQ(Feed(row.keys, [&](int in, int out) { confirmed = UPDATE_ConfirmOn(in, out); }),
                  kQuestion + std::string(row.echo));
        EXPECT_EQ(confirmed, row.confirmed);
    }
    // Characters beyond the buffer are dropped.
    std::string answer(8, 'x');
    EXPECT_EQ(Feed(std::string(100, 'y') + "\r",
                   [&](int in, int out) { UPDATE_ReadLineFrom(in, out, answer.data(), 8); }),
              std::string(7, 'y'));
    EXPECT_EQ(answer, std::string(7, 'y') + '\0');
}

// Through a pseudo-terminal in canonical mode with echo, like a console: the
// question, the line editor's echo once (the terminal's own echo is off), and
// the terminal put back.
TEST(PtyTest, Answers) {
    sys::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master.valid());
    ASSERT_EQ(grantpt(master.get()), 0);
    ASSERT_EQ(unlockpt(master.get()), 0);
    sys::UniqueFd slave(::open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave.valid());
    termios before{};
    ASSERT_EQ(tcgetattr(slave.get(), &before), 0);
    // Compare output bytes as the program wrote them.
    before.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    ASSERT_EQ(tcsetattr(slave.get(), TCSANOW, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    for (const KeyRow& row : kKeyRows) {
        // A terminal has no end of input, and keys after the line wait for the next question.
        if (std::strchr(row.keys, '\r') != std::strchr(row.keys, '\0') - 1) continue;
        SCOPED_TRACE(testing::PrintToString(std::string(row.keys)));
        auto answer = std::async(std::launch::async,
                                 [&] { return UPDATE_ConfirmOn(slave.get(), slave.get()); });
        // Keys typed before raw mode would be flushed with the pending input.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        termios now{};
        while (tcgetattr(slave.get(), &now) == 0 && (now.c_lflag & ICANON) != 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
        const std::string keys = row.keys;
        EXPECT_EQ(::write(master.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
        if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            if (::write(master.get(), "\r", 1) != 1) ADD_FAILURE() << "cannot type";
        }
        EXPECT_EQ(answer.get(), row.confirmed);
        const std::string shown = std::string(kQuestion) + row.echo;
        EXPECT_EQ(Drain(master.get(), shown.size()), shown);
        termios after{};
        ASSERT_EQ(tcgetattr(slave.get(), &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
    }
}

}  // namespace
