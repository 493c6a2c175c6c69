// The command line: the parser's count check, scan order and overrides, the
// usage text, the remote-address check and the package file names.
#include "app/cmdline.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "sys/scratch.h"
#include "sys/text.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint64_t kAllImages = 0xFFF;
constexpr uint64_t kNoProgram = kAllImages & ~uint64_t{0x2};
constexpr uint64_t kNoSlaves = 0xAF;

// Owns the words of a command line and hands out argc/argv.
class Argv {
  public:
    explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), "update");
        for (auto& w : words_) ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return ptrs_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> ptrs_;
};

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

struct Parsed {
    int ret;
    UPDATE_PARA_S para;
    std::string unknown;
};

Parsed Parse(std::vector<std::string> words, uint64_t mask = kAllImages) {
    Argv args(std::move(words));
    Parsed out{};
    char unknown[kUnknownLineSize] = {};
    out.ret = app::ParseArgsForMask(args.argc(), args.argv(), &out.para, unknown, mask);
    out.unknown = unknown;
    return out;
}

// The words are one line split at blanks; the unknown-words line and the mask
// are rarely anything but their defaults.
struct ParseCase {
    const char* words;
    int ret;
    uint16_t update_type;
    uint16_t info_mode;
    uint16_t trans_type;
    uint16_t reboot;
    std::string unknown = "";
    uint64_t mask = kAllImages;
};

TEST(ParseArgsTest, CountScanAndOverrides) {
    const ParseCase cases[] = {
        // Count check on the first word (program name counted).
        {"-tftp 1.2.3.4 program", 0, 0x42, 30, 0, 1},
        {"-tftp 1.2.3.4", -1, 0, 30, 0, 1},
        {"-tftp 1.2.3.4 all -f -c -w -r 0 1", 0, 0xE3, 30, 0, 1},  // 10 words
        {"-tftp 1.2.3.4 all -f -c -w -r 0 1 0", -1, 0, 30, 0, 1},
        {"-ftp 1.2.3.4 -u bob -p pw -P /fw all -f -c 0 1", 0, 0xE3, 30, 1, 1},  // 14 words
        {"-ftp 1.2.3.4 -u bob -p pw -P /fw all -f -c 0 1 0", -1, 0, 30, 0, 1},
        {"-mycloud http://h/p", -1, 0, 30, 0, 1},
        {"-local", -1, 0, 30, 0, 1},
        {"-local /mnt", 0, 0x40, 30, 3, 1},
        {"-fix a b", -1, 0, 30, 0, 1},  // exactly 3 words
        {"-fix a", -1, 0x40, 30, 0, 1, "-fix a "},
        {"-web", -1, 0, 30, 0, 1},
        // Images and the platform mask.
        {"-local /mnt/usb all", 0, 0xE3, 30, 3, 1},
        {"-tftp 1.2.3.4 program", 0, 0x40, 30, 0, 1, "", kNoProgram},
        {"-tftp 1.2.3.4 all", 0, 0xE1, 30, 0, 1, "", kNoProgram},
        {"-local /d uImage program.img u-boot.bin config.img activex.img slaveuboot slavekernel "
         "slaveprogram tvconfig.img",
         0, 0xF6F, 30, 3, 1},
        {"-local /d uboot u-boot config tvconfig", 0, 0x84C, 30, 3, 1},
        {"-tftp 1.2.3.4 ALL", -1, 0x40, 30, 0, 1, "ALL "},  // case sensitive
        // Info options store the whole word: image words before them are dropped.
        {"-v", 0, 0, 20, 0, 1},
        {"-version", 0, 0, 20, 0, 1},
        {"-ver", 0, 0, 20, 0, 1},
        {"-i", 0, 0, 0, 0, 1},
        {"-innerversion", 0, 0, 0, 0, 1},
        {"-h", 0, 0, 30, 0, 1},
        {"-v -help", 0, 0, 30, 0, 1},
        {"-tftp 1.2.3.4 all -v", 0, 0, 20, 0, 1},
        {"-v all", 0, 0xA3, 20, 0, 1},  // image after -v selects, no first stage
        {"-i uImage", 0, 0x1, 0, 0, 1},
        {"-local /tmp/ all -loop", 0, 0xA3, 30, 3, 1},  // -loop drops the first stage
        // -local sets RebootFlag, so a -wait before it is lost and one after it holds.
        {"-wait -local /d all", 0, 0xE3, 30, 3, 1},
        {"-local /d all -wait", 0, 0xE3, 30, 3, 0},
        {"-local /d all -w -r", 0, 0xE3, 30, 3, 1},
        {"-tftp 1.2.3.4 all -ftp 10.0.0.1", 0, 0xE3, 30, 1, 1},  // later protocol wins
        // -web is known only to the count check.
        {"-web 1.2.3.4 all", -1, 0xE3, 30, 0, 1, "-web 1.2.3.4 "},
        {"-tftp 1.2.3.4 all -web", -1, 0xE3, 30, 0, 1, "-web "},
        {"-local /d x all -y", -1, 0xE3, 30, 3, 1, "x -y "},  // collected in order
        {"-tftp 1.2.3.4 all 0 1", 0, 0xE3, 30, 0, 1},
        {"-local /d -u -v all", 0, 0xE3, 30, 3, 1},  // a value is never read as an option
        {"bogus", -1, 0x40, 30, 0, 1, "bogus "},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(std::string(c.words) + (c.mask == kAllImages ? "" : " (mask)"));
        Parsed p = Parse(Words(c.words), c.mask);
        EXPECT_EQ(p.ret, c.ret);
        EXPECT_EQ(p.para.UpdateType, c.update_type);
        EXPECT_EQ(p.para.InfoMode, c.info_mode);
        EXPECT_EQ(p.para.TransType, c.trans_type);
        EXPECT_EQ(p.para.RebootFlag, c.reboot);
        EXPECT_EQ(p.unknown, c.unknown);
    }
}

// The record's text fields and flags in one line, for whole-record checks.
std::string Record(const UPDATE_PARA_S& p) {
    return std::string(p.remote) + "|" + p.user + "|" + p.password + "|" + p.path + "|" + p.url +
           "| T" + std::to_string(p.TransType) + " P" + std::to_string(p.PathFlag) + " F" +
           std::to_string(p.ForceFlag) + " C" + std::to_string(p.CheckFlag) + " D" +
           std::to_string(p.DebugFlag);
}

TEST(ParseArgsTest, DefaultsAndValues) {
    const std::string cut31(31, 'r');
    const std::string cut511(511, 'p');
    const std::string long32 = cut31 + "rrrrrrrrr";
    const std::string long512 = cut511 + "ppppppppp";
    const std::string url(300, 'u');
    struct Row {
        std::vector<std::string> words;
        int ret;
        std::string record;
        std::vector<std::size_t> secret = {};  // argv positions a log must hide
    };
    const Row rows[] = {
        {{"-tftp", "192.168.1.2", "uImage"}, 0, "192.168.1.2|admin|ravel||| T0 P0 F0 C0 D0"},
        {{"-ftp", "10.1.1.1", "-username", "bob", "-password", "s3cret", "-path", "/fw", "program",
          "-force", "-check", "-debug"},
         0,
         "10.1.1.1|bob|s3cret|/fw|| T1 P1 F1 C1 D1",
         {6}},
        {{"-mycloud", "https://h.example/fw/Program.bin", "all", "-d"},
         0,
         "|admin|ravel||https://h.example/fw/Program.bin| T5 P0 F0 C0 D1"},
        // A count violation leaves the defaults.
        {{"-tftp", "192.168.1.2"}, -1, "|admin|ravel||| T0 P0 F0 C0 D0"},
        // Values are cut to their fields.
        {{"-ftp", long32, "-u", long32, "-p", long32, "all"},
         0,
         cut31 + "|" + cut31 + "|" + cut31 + "||| T1 P0 F0 C0 D0",
         {6}},
        {{"-local", long512, "all"}, 0, "|admin|ravel|" + cut511 + "|| T3 P1 F0 C0 D0"},
        {{"-tftp", "1.2.3.4", "-P", long512, "all"},
         0,
         "1.2.3.4|admin|ravel|" + cut511 + "|| T0 P1 F0 C0 D0"},
        {{"-mycloud", url, "all"}, 0, "|admin|ravel||" + url.substr(0, 255) + "| T5 P0 F0 C0 D0"},
        // A value-taking option as the last word gets an empty value.
        {{"-local", "/d", "all", "-u"}, 0, "||ravel|/d|| T3 P1 F0 C0 D0"},
        {{"-local", "/d", "all", "-password"}, 0, "|admin||/d|| T3 P1 F0 C0 D0"},
        {{"-tftp", "1.2.3.4", "all", "-P"}, 0, "1.2.3.4|admin|ravel||| T0 P1 F0 C0 D0"},
        {{"-local", "/d", "all", "-tftp"}, 0, "|admin|ravel|/d|| T0 P1 F0 C0 D0"},
        {{"-local", "/d", "all", "-local"}, 0, "|admin|ravel||| T3 P1 F0 C0 D0"},
        {{"-local", "/d", "all", "-mycloud"}, 0, "|admin|ravel|/d|| T5 P1 F0 C0 D0"},
        // A value is never read as an option.
        {{"-local", "/d", "-u", "-v", "all"}, 0, "|-v|ravel|/d|| T3 P1 F0 C0 D0"},
        {{"-local", "/d", "all", "-u", "-p", "-p", "s3cret"},
         0,
         "|-p|s3cret|/d|| T3 P1 F0 C0 D0",
         {7}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.words.front() + " ... " + row.words.back());
        Parsed p = Parse(row.words);
        EXPECT_EQ(p.ret, row.ret);
        EXPECT_EQ(Record(p.para), row.record);
        Argv args(row.words);
        const std::vector<bool> hidden = app::PasswordWords(args.argc(), args.argv());
        std::vector<std::size_t> secret;
        for (std::size_t i = 0; i < hidden.size(); ++i) {
            if (hidden[i]) secret.push_back(i);
        }
        EXPECT_EQ(secret, row.secret);
    }
}

// Whole words only, at most 511 characters; words after the first that does
// not fit are dropped.
TEST(ParseArgsTest, UnknownLineKeepsWholeWordsWithin511Characters) {
    const std::string x(99, 'x'), a508(508, 'a'), a509(509, 'a');  // x: 100 with its blank
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{x, x, x, x, x, x, "z"}, x + " " + x + " " + x + " " + x + " " + x + " "},
        {{a508, "b"}, a508 + " b "},  // exactly 511
        {{a509, "b"}, a509 + " "},
        {{std::string(511, 'a'), "b"}, ""},
    };
    for (const auto& [unknown, line] : rows) {
        std::vector<std::string> words = {"-local", "/d"};
        words.insert(words.end(), unknown.begin(), unknown.end());
        const Parsed p = Parse(words);
        EXPECT_EQ(p.ret, -1);
        EXPECT_EQ(p.unknown, line);
    }
}

std::string Golden(const char* name) {
    return ReadWholeFile(std::string(UPDATE_SOURCE_DIR) + "/tests/app/golden/" + name);
}

// The golden texts; the slave lines follow the support mask.
TEST(UsageTest, MatchesTheGoldenTexts) {
    for (const auto& [mask, name] :
         {std::pair{kNoSlaves, "usage.txt"}, {kAllImages, "usage_slave.txt"}}) {
        CaptureStdout();
        app::ShowUsageForMask(mask);
        EXPECT_EQ(GetCapturedStdout(), Golden(name));
    }

    CaptureStdout();
    app::ShowUsageForMask(kNoSlaves | 0x200);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out.find("slaveuboot"), std::string::npos);
    EXPECT_NE(out.find("        slavekernel     update slave kernel of device\nOPTION:\n"),
              std::string::npos);
    EXPECT_EQ(out.find("slaveprogram"), std::string::npos);
}

struct RemoteCase {
    uint16_t trans_type;
    const char* remote;
    int ret;
    const char* output;
};

TEST(CheckRemoteTest, MessagesAndResults) {
    const RemoteCase cases[] = {
        {0, "192.168.1.2", 0, ""},
        {4, "0.0.0.0", 0, ""},
        {0, "999.999.999.999", 0, ""},  // groups are not range-checked
        {0, "192.168.1", -1, "ip address  error(i)\ninvalid remote address: 192.168.1\n"},
        {0, "192..168.1", -1, "ip address  error(j)\ninvalid remote address: 192..168.1\n"},
        {0, "1234.1.1.1", -1, "ip address  error(j)\ninvalid remote address: 1234.1.1.1\n"},
        {0, "1.1.1.1234", -1, "ip address  error(i)\ninvalid remote address: 1.1.1.1234\n"},
        {0, "1.2.3.", -1, "ip address  error(i)\ninvalid remote address: 1.2.3.\n"},
        {1, "192.168.1.a", -1, "invalid remote address: 192.168.1.a\n"},
        {0, "nas.local", -1, "invalid remote address: nas.local\n"},
        {0, " 1.2.3.4", -1, "invalid remote address:  1.2.3.4\n"},
        {3, "not checked", 0, ""},
        {5, "", 0, ""},
        {2, "x", 0, ""},
    };
    for (const RemoteCase& c : cases) {
        SCOPED_TRACE(std::string(c.remote) + " type " + std::to_string(c.trans_type));
        UPDATE_PARA_S para{};
        para.TransType = c.trans_type;
        sys::CopyText(para.remote, c.remote);
        CaptureStdout();
        EXPECT_EQ(UPDATE_CheckRemote(&para), c.ret);
        EXPECT_EQ(GetCapturedStdout(), c.output);
    }
}

TEST(CheckRemoteTest, EmptyAddressPrintsTheUsage) {
    UPDATE_PARA_S para{};
    CaptureStdout();
    EXPECT_EQ(UPDATE_CheckRemote(&para), -1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("Update v2.01\nupdate software of device.\n", 0), 0u) << out;
    EXPECT_NE(out.find("        -help     print help\n"), std::string::npos);
}

struct NamesCase {
    uint16_t path_flag;
    uint16_t trans_type;
    const char* path;
    const char* remote_name;
    const char* local_path;
};

TEST(GetFileNamesTest, Table) {
    const NamesCase cases[] = {
        {1, 0, "/fw", "/fw/Program.bin", "/tmp/Program.bin"},
        {1, 1, "fw/v2", "fw/v2/Program.bin", "/tmp/Program.bin"},
        {1, 4, "/fw", "/fw/Program.bin", "/tmp/Program.bin"},
        {1, 3, "/mnt/usb", "/mnt/usb/Program.bin", "/mnt/usb/Program.bin"},
        {1, 3, "/mnt/usb/", "/mnt/usb//Program.bin", "/mnt/usb//Program.bin"},
        {1, 5, "/d", "/d/Program.bin", "/d/Program.bin"},
        {0, 5, "", "/tmp/Program.bin", "/tmp/Program.bin"},
        {0, 0, "", "Program.bin", "/tmp/Program.bin"},
        {0, 1, "/ignored", "Program.bin", "/tmp/Program.bin"},
        {0, 3, "", "Program.bin", "/tmp/Program.bin"},
    };
    for (const NamesCase& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " type " + std::to_string(c.trans_type));
        UPDATE_PARA_S para{};
        para.PathFlag = c.path_flag;
        para.TransType = c.trans_type;
        sys::CopyText(para.path, c.path);
        char remote[kFileNameSize];
        char local[kFileNameSize];
        EXPECT_EQ(UPDATE_GetFileNames(&para, remote, local), 0);
        EXPECT_STREQ(remote, c.remote_name);
        EXPECT_STREQ(local, c.local_path);
    }
}

}  // namespace
