#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/progress.h"
#include "fetch/fetch.h"
#include "fetch/http_server.h"
#include "sys/fake_runner.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"
#include "sys/text.h"

namespace {

using testing::HasSubstr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr const char* kTftpCmd =
    "mkdir -p /tmp;tftp -g -r Program.bin -l /tmp/Program.bin 192.168.1.10 -b 8192 "
    "2>>/var/log/update.log";

// Every test runs against a scratch device root with a fake runner, a
// recording sleep and its own update log.
class FetchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "tmp");
        std::filesystem::create_directories(dir_ / "var/log");
        sys::SetDeviceRoot(dir_.path());
        ASSERT_TRUE(sys::LogOpen((dir_ / "var/log/update.log").c_str()));
        fetch::SetSleeper([this](unsigned s) { sleeps_.push_back(s); });
        UPDATE_ResetProgress();
    }
    void TearDown() override {
        fetch::SetSleeper(nullptr);
        sys::LogClose();
        sys::SetDeviceRoot("");
        UPDATE_ResetProgress();
    }

    std::string Log() { return ReadWholeFile(dir_ / "var/log/update.log"); }
    std::string Device(const char* path) { return ReadWholeFile(dir_.path() + path); }
    void Put(const char* path, const std::string& bytes) {
        std::ofstream(dir_.path() + path, std::ios::binary) << bytes;
    }
    // A cloud fetch of url; out_ gets what it printed.
    int Cloud(const std::string& url) {
        int ret = 0;
        CaptureStdout();
        ret = UPDATE_GetRemoteFile(kTransCloud, "", "", "", "", url.c_str());
        out_ = GetCapturedStdout();
        return ret;
    }
    // The image head of file fetched by trans (from 1.2.3.4 unless local);
    // out_ gets what it printed.
    int Head(uint16_t trans, uint16_t check, uint32_t type, const char* file) {
        CaptureStdout();
        int ret = UPDATE_GetImageHead(trans, check, type, trans == kTransLocal ? "" : "1.2.3.4", "",
                                      "", file, "", head_, compat_, digsig_);
        out_ = GetCapturedStdout();
        return ret;
    }

    ScratchDir dir_;
    sys::FakeRunner runner_;
    sys::ScopedRunner scoped_{runner_};
    std::vector<unsigned> sleeps_;
    std::string out_;
    char head_[kImageHeadSize] = {};
    char compat_[kCompatListSize] = {};
    uint8_t digsig_[1024] = {};
};

// ---- TFTP and FTP -------------------------------------------------------

// TFTP (both codes) runs up to three times, with a pause after each failure.
TEST_F(FetchTest, ShellFetchTriesThreeTimesWithPauses) {
    struct Row {
        std::vector<int> results;
        int expected;
        std::size_t runs;
        std::vector<unsigned> sleeps;
    } rows[] = {
        {{0}, 0, 1, {}},
        {{1, 1, 1}, -1, 3, {1, 1, 1}},
        {{1, 1, 0}, 0, 3, {1, 1}},
        {{256, 0}, 0, 2, {1}},
    };
    for (uint16_t trans : {kTransTftp, kTransTftpAlt}) {
        for (const Row& row : rows) {
            sys::FakeRunner fresh;
            fresh.results = row.results;
            sys::ScopedRunner scoped(fresh);
            sleeps_.clear();
            CaptureStdout();
            EXPECT_EQ(UPDATE_GetRemoteFile(trans, "192.168.1.10", "", "", "Program.bin", ""),
                      row.expected);
            EXPECT_EQ(
                GetCapturedStdout(),
                std::string("loading Program.bin....\n") +
                    (row.expected == 0 ? "done!\n" : "load bin file failed! please try again!\n"));
            EXPECT_EQ(fresh.commands, std::vector<std::string>(row.runs, kTftpCmd));
            EXPECT_EQ(sleeps_, row.sleeps);
        }
    }
    EXPECT_THAT(Log(), HasSubstr(std::string("loading cmd: ") + kTftpCmd + "\n"));
}

// The masked password is checked on the real binary (the sandbox's FTP
// login); an empty password is logged as it is run: empty.
TEST_F(FetchTest, FtpLogsAnEmptyPasswordAsItIsRun) {
    EXPECT_EQ(UPDATE_GetRemoteFile(kTransFtp, "10.0.0.2", "admin", "", "Program.bin", ""), 0);
    const std::string empty_cmd =
        "mkdir -p /tmp;ftpget -u admin -p '' 10.0.0.2 /tmp/Program.bin Program.bin "
        "2>>/var/log/update.log";
    EXPECT_EQ(runner_.commands, std::vector<std::string>{empty_cmd});
    EXPECT_THAT(Log(), HasSubstr("loading cmd: " + empty_cmd + "\n"));
}

TEST_F(FetchTest, ValuesReachTheShellQuoted) {
    EXPECT_EQ(UPDATE_GetRemoteFile(kTransFtp, "10.0.0.2;reboot", "a b", "p'w$", "dir/x y.bin", ""),
              0);
    ASSERT_EQ(runner_.commands.size(), 1u);
    EXPECT_EQ(runner_.commands[0],
              "mkdir -p /tmp;ftpget -u 'a b' -p 'p'\\''w$' '10.0.0.2;reboot' /tmp/Program.bin "
              "'dir/x y.bin' 2>>/var/log/update.log");
    EXPECT_EQ(Log().find("p'\\''w$"), std::string::npos);

    runner_.commands.clear();
    EXPECT_EQ(UPDATE_GetRemoteFile(kTransTftp, "h`id`", "", "", "$(id)", ""), 0);
    EXPECT_EQ(runner_.commands,
              std::vector<std::string>{"mkdir -p /tmp;tftp -g -r '$(id)' -l /tmp/Program.bin "
                                       "'h`id`' -b 8192 2>>/var/log/update.log"});
}

// ---- Download status file -----------------------------------------------

TEST_F(FetchTest, ProgressRewritesTheWholeLine) {
    ASSERT_EQ(DOWNLOAD_InitStat(), 0);
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:1,DownladRate:0");
    DOWNLOAD_OnProgress(nullptr, 1000, 995, 0, 0);
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:0,DownladRate:99");
    DOWNLOAD_OnProgress(nullptr, 1000, 0, 0, 0);
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:0,DownladRate:0");
    DOWNLOAD_OnProgress(nullptr, 3, 1, 0, 0);  // 33.3 truncates
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:0,DownladRate:33");
    // No announced length yet: no percentage, and no division by zero.
    DOWNLOAD_OnProgress(nullptr, 0, 5000, 0, 0);
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:0,DownladRate:0");
    // While a fetch runs, a line that says nothing new is not written again.
    sys::CopyText(UPDATE_DownloadStat().url, "http://x/");
    Put(kDownloadStatPath, "seen");
    DOWNLOAD_OnProgress(nullptr, 0, 6000, 0, 0);
    EXPECT_EQ(Device(kDownloadStatPath), "seen");
    DOWNLOAD_OnProgress(nullptr, 9000, 6000, 0, 0);
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:0,DownladRate:66");
}

TEST_F(FetchTest, UnwritableStatusFileFailsTheCloudFetch) {
    std::filesystem::create_directories(dir_ / "tmp/download_stat.log");
    CaptureStdout();
    EXPECT_EQ(UPDATE_GetRemoteFile(kTransCloud, "", "", "", "", "http://127.0.0.1:9/x"), -3);
    EXPECT_EQ(GetCapturedStdout(),
              "failed to openfailed to init download statdownload version failed.\n"
              "Get remote bin file failed.\n");
}

// ---- Cloud fetch --------------------------------------------------------

std::string Body(std::size_t n) {
    std::string body(n, '\0');
    for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
    return body;
}

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST_F(FetchTest, CloudFetchFollowsARedirect) {
    const std::string body = Body(32768);
    TinyHttpServer server(
        {"HTTP/1.1 302 Found\r\nLocation: /moved/Program.bin\r\nContent-Length: 0\r\n"
         "Connection: close\r\n\r\n",
         Ok(body)});
    EXPECT_EQ(Cloud(server.Url()), 0);
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].rfind("GET /moved/Program.bin ", 0), 0u);
    EXPECT_TRUE(Device(kImageFilePath) == body);
}

// However fast the server, the status file shows every percentage once
// (the opening line and 0 to 100: 102 writes). libcurl calls its progress
// function once per round of up to 100 reads, which here spans several.
TEST_F(FetchTest, StatusFileShowsEveryPercentOnce) {
    TinyHttpServer server({Ok(Body(4 << 20))});
    const sys::UniqueFd in(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // The opens keep two closes from merging in the queue.
    ASSERT_GE(inotify_add_watch(in.get(), (dir_ / "tmp").c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
    EXPECT_EQ(Cloud(server.Url()), 0);
    int writes = 0;
    alignas(inotify_event) char buf[65536];
    for (ssize_t n; (n = ::read(in.get(), buf, sizeof(buf))) > 0;) {
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            writes += (ev->mask & IN_CLOSE_WRITE) != 0 && ev->len > 0 &&
                      std::strcmp(ev->name, "download_stat.log") == 0;
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    EXPECT_EQ(writes, 102);
    EXPECT_EQ(Device(kDownloadStatPath), "Stat:0,DownladRate:100");
}

// Whatever the attempt brought, the fetch ends too small (status 2) when the
// server answers 400 or above, however long its error page (the page is not
// kept as the image), or sends under 10240 bytes in all. (A 404 page, a
// stored body and a refused connection are met end to end.)
TEST_F(FetchTest, TooSmallOutcomes) {
    const std::string page = Body(20000);
    const std::string tail =
        "Download failed err is[2]\nFile too small, maybe no file on website.download version "
        "failed.\n"
        "Get remote bin file failed.\n";
    struct Row {
        std::string reply;
        std::string out;
        std::string stat;
        bool error_page;
    } rows[] = {
        {"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 20000\r\nConnection: "
         "close\r\n\r\n" +
             page,
         "Http breakpoint transmission fails. err is 0/500\n" + tail, "Stat:2,DownladRate:100",
         true},
        {Ok(Body(10239)), tail, "Stat:2,DownladRate:100", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply.substr(0, 40));
        std::filesystem::remove(dir_.path() + kImageFilePath);
        TinyHttpServer server({row.reply});
        EXPECT_EQ(Cloud(server.Url()), 2);
        EXPECT_EQ(out_, row.out);
        EXPECT_EQ(Device(kDownloadStatPath), row.stat);
        EXPECT_EQ(UPDATE_ReadProgress().error, 0);  // the caller stores the code 2
        if (row.error_page) {
            EXPECT_EQ(Device(kImageFilePath), "");
        }
    }
}

// ---- Image head ---------------------------------------------------------

// The head and board list of a local package; a short image is accepted.
TEST_F(FetchTest, HeadAndBoardList) {
    Put(kImageFilePath, "1.0$x$V5.22.15$");
    EXPECT_EQ(Head(kTransTftp, 1, 0xA3, "Program.bin"), 0);
    EXPECT_STREQ(head_, "1.0$x$V5.22.15$");
    EXPECT_EQ(compat_[0], '\0');
    EXPECT_THAT(Log(), HasSubstr("read head:1.0$x$V5.22.15$, compatlist:\n"));

    std::string image(256, 'H');
    image += std::string(1280, 'C');
    image += std::string(512, 'S');
    std::filesystem::create_directories(dir_ / "mnt/usb");
    Put("/mnt/usb/Program.bin", image);
    EXPECT_EQ(Head(kTransLocal, 1, 0xA3, "/mnt/usb/Program.bin"), 0);
    EXPECT_EQ(std::string(head_, sizeof(head_)), std::string(256, 'H'));
    EXPECT_EQ(std::string(compat_, sizeof(compat_)), std::string(1280, 'C'));
    EXPECT_THAT(Log(), HasSubstr("open file:/mnt/usb/Program.bin\n"));
}

TEST_F(FetchTest, HeadFailures) {
    EXPECT_EQ(Head(kTransLocal, 1, 0xA3, "/nowhere/Program.bin"), -3);
    EXPECT_EQ(out_, "Get version failed (error No such file or directory)\n");
}

// Where a public key is installed the signature block is read and decrypted
// (here with a key that is no key, so the decryption fails), by every run:
// a first stage writes the package itself.
TEST_F(FetchTest, SignatureBlockWhereAKeyIsInstalled) {
    Put("/.pub_key", "not a key\n");
    Put(kImageFilePath, std::string(2048, 'A'));
    const std::pair<uint16_t, uint32_t> runs[] = {{0, 0xA3 | 0x40}, {1, 0xA3 | 0x40}, {0, 0xA3}};
    for (const auto& [check, update_type] : runs) {
        EXPECT_EQ(Head(kTransTftp, check, update_type, "Program.bin"), -1) << update_type;
        EXPECT_THAT(out_, HasSubstr("Decrypt sha256 data failed!\n"));
    }
}

}  // namespace
