// The command line: the parser's count check, scan order and overrides, the
// usage text, the remote-address check and the package file names.
#include "app/cmdline.h"

#include <gtest/gtest.h>

#include <initializer_list>
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

struct ParseCase {
    const char* name;
    std::vector<std::string> words;
    uint64_t mask;
    int ret;
    uint16_t update_type;
    uint16_t info_mode;
    uint16_t trans_type;
    uint16_t reboot;
    std::string unknown;
};

TEST(ParseArgsTest, CountScanAndOverrides) {
    const std::string ip = "192.168.1.2";
    const ParseCase cases[] = {
        // Count check on the first word (program name counted).
        {"tftp with one image", {"-tftp", ip, "program"}, kAllImages, 0, 0x42, 30, 0, 1, ""},
        {"tftp without image", {"-tftp", ip}, kAllImages, -1, 0, 30, 0, 1, ""},
        {"tftp at most 10",
         {"-tftp", ip, "all", "-f", "-c", "-w", "-r", "0", "1"},
         kAllImages,
         0,
         0xE3,
         30,
         0,
         1,
         ""},
        {"tftp over 10",
         {"-tftp", ip, "all", "-f", "-c", "-w", "-r", "0", "1", "0"},
         kAllImages,
         -1,
         0,
         30,
         0,
         1,
         ""},
        {"ftp up to 14",
         {"-ftp", ip, "-u", "bob", "-p", "pw", "-P", "/fw", "all", "-f", "-c", "0", "1"},
         kAllImages,
         0,
         0xE3,
         30,
         1,
         1,
         ""},
        {"ftp over 14",
         {"-ftp", ip, "-u", "bob", "-p", "pw", "-P", "/fw", "all", "-f", "-c", "0", "1", "0"},
         kAllImages,
         -1,
         0,
         30,
         0,
         1,
         ""},
        {"mycloud without image", {"-mycloud", "http://h/p"}, kAllImages, -1, 0, 30, 0, 1, ""},
        {"local needs a path", {"-local"}, kAllImages, -1, 0, 30, 0, 1, ""},
        {"local with path only", {"-local", "/mnt"}, kAllImages, 0, 0x40, 30, 3, 1, ""},
        {"fix exactly 3 words", {"-fix", "a", "b"}, kAllImages, -1, 0, 30, 0, 1, ""},
        {"fix scanned as unknown", {"-fix", "a"}, kAllImages, -1, 0x40, 30, 0, 1, "-fix a "},
        {"web needs 3", {"-web"}, kAllImages, -1, 0, 30, 0, 1, ""},
        // Images and the platform mask.
        {"local all, all images", {"-local", "/mnt/usb", "all"}, kAllImages, 0, 0xE3, 30, 3, 1, ""},
        {"unsupported image adds nothing",
         {"-tftp", ip, "program"},
         kNoProgram,
         0,
         0x40,
         30,
         0,
         1,
         ""},
        {"all without program", {"-tftp", ip, "all"}, kNoProgram, 0, 0xE1, 30, 0, 1, ""},
        {"every image word",
         {"-local", "/d", "uImage", "program.img", "u-boot.bin", "config.img", "activex.img",
          "slaveuboot", "slavekernel", "slaveprogram", "tvconfig.img"},
         kAllImages,
         0,
         0xF6F,
         30,
         3,
         1,
         ""},
        {"uboot spellings",
         {"-local", "/d", "uboot", "u-boot", "config", "tvconfig"},
         kAllImages,
         0,
         0x84C,
         30,
         3,
         1,
         ""},
        {"words are case sensitive", {"-tftp", ip, "ALL"}, kAllImages, -1, 0x40, 30, 0, 1, "ALL "},
        // Info options store the whole word: image words before them are dropped.
        {"-v alone", {"-v"}, kAllImages, 0, 0, 20, 0, 1, ""},
        {"-version", {"-version"}, kAllImages, 0, 0, 20, 0, 1, ""},
        {"-ver", {"-ver"}, kAllImages, 0, 0, 20, 0, 1, ""},
        {"-i alone", {"-i"}, kAllImages, 0, 0, 0, 0, 1, ""},
        {"-innerversion", {"-innerversion"}, kAllImages, 0, 0, 0, 0, 1, ""},
        {"-h alone", {"-h"}, kAllImages, 0, 0, 30, 0, 1, ""},
        {"-help after -v", {"-v", "-help"}, kAllImages, 0, 0, 30, 0, 1, ""},
        {"image before -v is dropped", {"-tftp", ip, "all", "-v"}, kAllImages, 0, 0, 20, 0, 1, ""},
        {"image after -v selects, no first stage",
         {"-v", "all"},
         kAllImages,
         0,
         0xA3,
         20,
         0,
         1,
         ""},
        {"image after -i", {"-i", "uImage"}, kAllImages, 0, 0x1, 0, 0, 1, ""},
        {"-loop drops the first stage",
         {"-local", "/tmp/", "all", "-loop"},
         kAllImages,
         0,
         0xA3,
         30,
         3,
         1,
         ""},
        // -local sets RebootFlag, so a -wait before it is lost and one after it holds.
        {"-wait before -local",
         {"-wait", "-local", "/d", "all"},
         kAllImages,
         0,
         0xE3,
         30,
         3,
         1,
         ""},
        {"-wait after -local", {"-local", "/d", "all", "-wait"}, kAllImages, 0, 0xE3, 30, 3, 0, ""},
        {"-w then -r", {"-local", "/d", "all", "-w", "-r"}, kAllImages, 0, 0xE3, 30, 3, 1, ""},
        {"later protocol wins",
         {"-tftp", ip, "all", "-ftp", "10.0.0.1"},
         kAllImages,
         0,
         0xE3,
         30,
         1,
         1,
         ""},
        // -web is known only to the count check.
        {"-web first", {"-web", ip, "all"}, kAllImages, -1, 0xE3, 30, 0, 1, "-web 192.168.1.2 "},
        {"-web later", {"-tftp", ip, "all", "-web"}, kAllImages, -1, 0xE3, 30, 0, 1, "-web "},
        {"unknown words collected in order",
         {"-local", "/d", "x", "all", "-y"},
         kAllImages,
         -1,
         0xE3,
         30,
         3,
         1,
         "x -y "},
        {"0 and 1 accepted", {"-tftp", ip, "all", "0", "1"}, kAllImages, 0, 0xE3, 30, 0, 1, ""},
        {"first word not an option", {"bogus"}, kAllImages, -1, 0x40, 30, 0, 1, "bogus "},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = Parse(c.words, c.mask);
        EXPECT_EQ(p.ret, c.ret);
        EXPECT_EQ(p.para.UpdateType, c.update_type);
        EXPECT_EQ(p.para.InfoMode, c.info_mode);
        EXPECT_EQ(p.para.TransType, c.trans_type);
        EXPECT_EQ(p.para.RebootFlag, c.reboot);
        EXPECT_EQ(p.unknown, c.unknown);
    }
}

TEST(ParseArgsTest, DefaultsAndValues) {
    Parsed p = Parse({"-tftp", "192.168.1.2", "uImage"});
    EXPECT_STREQ(p.para.remote, "192.168.1.2");
    EXPECT_STREQ(p.para.user, "admin");
    EXPECT_STREQ(p.para.password, "ravel");
    EXPECT_STREQ(p.para.path, "");
    EXPECT_STREQ(p.para.url, "");
    EXPECT_EQ(p.para.ForceFlag, 0);
    EXPECT_EQ(p.para.DebugFlag, 0);
    EXPECT_EQ(p.para.PathFlag, 0);
    EXPECT_EQ(p.para.CheckFlag, 0);

    p = Parse({"-ftp", "10.1.1.1", "-username", "bob", "-password", "s3cret", "-path", "/fw",
               "program", "-force", "-check", "-debug"});
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.para.TransType, 1);
    EXPECT_STREQ(p.para.remote, "10.1.1.1");
    EXPECT_STREQ(p.para.user, "bob");
    EXPECT_STREQ(p.para.password, "s3cret");
    EXPECT_STREQ(p.para.path, "/fw");
    EXPECT_EQ(p.para.PathFlag, 1);
    EXPECT_EQ(p.para.ForceFlag, 1);
    EXPECT_EQ(p.para.CheckFlag, 1);
    EXPECT_EQ(p.para.DebugFlag, 1);

    p = Parse({"-mycloud", "https://h.example/fw/Program.bin", "all", "-d"});
    EXPECT_EQ(p.para.TransType, 5);
    EXPECT_STREQ(p.para.url, "https://h.example/fw/Program.bin");
    EXPECT_EQ(p.para.DebugFlag, 1);
}

TEST(ParseArgsTest, CountViolationLeavesDefaultsAndCollectsNothing) {
    Parsed p = Parse({"-tftp", "192.168.1.2"});
    EXPECT_EQ(p.ret, -1);
    EXPECT_STREQ(p.para.remote, "");
    EXPECT_STREQ(p.para.user, "admin");
    EXPECT_EQ(p.para.InfoMode, 30);
}

TEST(ParseArgsTest, ValuesAreCutToTheirFields) {
    const std::string long32(40, 'r');
    const std::string long512(600, 'p');
    const std::string long256(300, 'u');
    Parsed p = Parse({"-ftp", long32, "-u", long32, "-p", long32, "all"});
    EXPECT_EQ(std::string(p.para.remote), long32.substr(0, 31));
    EXPECT_EQ(std::string(p.para.user), long32.substr(0, 31));
    EXPECT_EQ(std::string(p.para.password), long32.substr(0, 31));

    p = Parse({"-local", long512, "all"});
    EXPECT_EQ(std::string(p.para.path), long512.substr(0, 511));
    p = Parse({"-tftp", "1.2.3.4", "-P", long512, "all"});
    EXPECT_EQ(std::string(p.para.path), long512.substr(0, 511));
    p = Parse({"-mycloud", long256, "all"});
    EXPECT_EQ(std::string(p.para.url), long256.substr(0, 255));
}

TEST(ParseArgsTest, ValueOptionAsLastWordGetsAnEmptyValue) {
    Parsed p = Parse({"-local", "/d", "all", "-u"});
    EXPECT_EQ(p.ret, 0);
    EXPECT_STREQ(p.para.user, "");
    p = Parse({"-local", "/d", "all", "-password"});
    EXPECT_EQ(p.ret, 0);
    EXPECT_STREQ(p.para.password, "");
    p = Parse({"-tftp", "1.2.3.4", "all", "-P"});
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.para.PathFlag, 1);
    EXPECT_STREQ(p.para.path, "");
    p = Parse({"-local", "/d", "all", "-tftp"});
    EXPECT_EQ(p.para.TransType, 0);
    EXPECT_STREQ(p.para.remote, "");
    p = Parse({"-local", "/d", "all", "-local"});
    EXPECT_STREQ(p.para.path, "");
    p = Parse({"-local", "/d", "all", "-mycloud"});
    EXPECT_EQ(p.para.TransType, 5);
    EXPECT_STREQ(p.para.url, "");
}

TEST(ParseArgsTest, AValueIsNeverReadAsAnOption) {
    Parsed p = Parse({"-local", "/d", "-u", "-v", "all"});
    EXPECT_STREQ(p.para.user, "-v");
    EXPECT_EQ(p.para.InfoMode, 30);
    EXPECT_EQ(p.para.UpdateType, 0xE3);
}

TEST(ParseArgsTest, UnknownLineKeepsWholeWordsWithin511Characters) {
    std::vector<std::string> words = {"-local", "/d"};
    const std::string word(99, 'x');  // 100 characters with its blank
    for (int i = 0; i < 6; ++i) words.push_back(word);
    words.push_back("z");  // would fit after the cut, but words after it are dropped
    Parsed p = Parse(words);
    EXPECT_EQ(p.ret, -1);
    std::string expected;
    for (int i = 0; i < 5; ++i) expected += word + " ";
    EXPECT_EQ(p.unknown, expected);

    // At most 511 characters: a word and its blank fit exactly, one more does not.
    words = {"-local", "/d", std::string(508, 'a'), "b"};
    p = Parse(words);
    EXPECT_EQ(p.unknown, std::string(508, 'a') + " b ");
    EXPECT_EQ(p.unknown.size(), 511u);
    words = {"-local", "/d", std::string(509, 'a'), "b"};
    EXPECT_EQ(Parse(words).unknown, std::string(509, 'a') + " ");
    words = {"-local", "/d", std::string(511, 'a'), "b"};
    EXPECT_EQ(Parse(words).unknown, "");
}

std::string Golden(const char* name) {
    return ReadWholeFile(std::string(UPDATE_SOURCE_DIR) + "/tests/app/golden/" + name);
}

TEST(UsageTest, MatchesTheGoldenText) {
    CaptureStdout();
    app::ShowUsageForMask(kNoSlaves);
    EXPECT_EQ(GetCapturedStdout(), Golden("usage.txt"));
}

TEST(UsageTest, SlaveLinesFollowTheSupportMask) {
    CaptureStdout();
    app::ShowUsageForMask(kAllImages);
    EXPECT_EQ(GetCapturedStdout(), Golden("usage_slave.txt"));

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
        {1, "10.0.0.1", 0, ""},
        {4, "0.0.0.0", 0, ""},
        {0, "999.999.999.999", 0, ""},  // groups are not range-checked
        {0, "192.168.1", -1, "ip address  error(i)\ninvalid remote address: 192.168.1\n"},
        {0, "192..168.1", -1, "ip address  error(j)\ninvalid remote address: 192..168.1\n"},
        {0, ".1.2.3", -1, "ip address  error(j)\ninvalid remote address: .1.2.3\n"},
        {0, "1234.1.1.1", -1, "ip address  error(j)\ninvalid remote address: 1234.1.1.1\n"},
        {0, "1.1.1.1234", -1, "ip address  error(i)\ninvalid remote address: 1.1.1.1234\n"},
        {0, "1.1.1.1.1", -1, "ip address  error(i)\ninvalid remote address: 1.1.1.1.1\n"},
        {0, "1.2.3.", -1, "ip address  error(i)\ninvalid remote address: 1.2.3.\n"},
        {1, "192.168.1.a", -1, "invalid remote address: 192.168.1.a\n"},
        {0, "nas.local", -1, "invalid remote address: nas.local\n"},
        {0, " 1.2.3.4", -1, "invalid remote address:  1.2.3.4\n"},
        {3, "", 0, ""},
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
