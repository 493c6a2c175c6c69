#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "oem/oem.h"
#include "oem/zip_names.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using Commands = std::vector<std::string>;

class OemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root_ / "tmp/oem");
        std::filesystem::create_directories(root_ / "var/devcap");
        sys::SetDeviceRoot(root_.path());
    }
    void TearDown() override { sys::SetDeviceRoot(""); }
    void Put(const std::string& path, const std::string& text) {
        std::ofstream(root_ / path, std::ios::binary) << text;
    }
    ScratchDir root_;
    sys::FakeRunner runner_;
    sys::ScopedRunner scoped_{runner_};
};

// Identity lines come from the device for the same key only (a device that
// has them all is met end to end); "/proc/env" is what the device prints
// through the grep commands.
TEST_F(OemTest, ManuInfoKeepsTheDeviceIdentityOfTheSameKey) {
    const std::string pkg =
        "DEVICE_SERIAL_NUMBER:P1\nMAC_ADDRESS:00:01\nMAC_ADDRESS_2:00:02\n"
        "BOARD_SERIAL_NUMBER:PB\nSERIAL:S\nOTHER:1";
    struct Row {
        std::string proc_env, merged;
    } rows[] = {
        {"MAC_ADDRESS:aa:01\n",  // no second address and no serials on the device
         "DEVICE_SERIAL_NUMBER:P1\nMAC_ADDRESS:aa:01\nMAC_ADDRESS_2:00:02\n"
         "BOARD_SERIAL_NUMBER:PB\nSERIAL:S\nOTHER:1"},
        {"", pkg},
    };
    for (const Row& row : rows) {
        Put("tmp/oem/manuinfo.txt", pkg);
        runner_.commands.clear();
        runner_.read_output = row.proc_env;
        EXPECT_EQ(UPDATE_LoadManuInfo(), 0);
        EXPECT_EQ(ReadWholeFile(root_ / "tmp/oem/manuinfoTmp.txt"), row.merged) << row.proc_env;
        EXPECT_EQ(runner_.commands,
                  (Commands{"rm -rf /tmp/oem/manuinfoTmp.txt",
                            "cat /proc/env | grep DEVICE_SERIAL_NUMBER",
                            "cat /proc/env | grep MAC_ADDRESS", "cat /proc/env | grep MAC_ADDRESS",
                            "cat /proc/env | grep BOARD_SERIAL_NUMBER",
                            "loadtools /tmp/oem/manuinfoTmp.txt ManuInfo"}));
    }
}

// Archives whose names reach outside /tmp/oem are refused before unzip runs.
TEST_F(OemTest, UnsafeArchivesAreRefusedBeforeUnpacking) {
    const std::vector<std::vector<oem::ZipMember>> bad = {
        {{"oem/a", "1"}, {"../x", "2"}},
        {{"/etc/passwd", "3"}},
        {{"oem/../../x", "4"}},
        {{"oem/link", "/etc", 0120777}},
        {{"busybox", "5"}},
        {{"oem/a", "1"}, {"oem/a", "2"}},
        {{"oem/a", "1"}, {"oem/./a", "2"}},
        {{"oem/a", "1"}, {"oem//a", "2"}},
        {{"oem/a/..", "7"}},
        {{"oem/aaa", "6"}},  // its local header is rewritten to "../aaa" below
    };
    const std::string zip = root_ / "tmp/custom.zip";
    for (std::size_t i = 0; i < bad.size(); ++i) {
        ASSERT_EQ(oem::WriteStoredZip(zip.c_str(), bad[i]), 0);
        if (i + 1 == bad.size()) {
            std::fstream f(zip, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(30);
            f.write("../aaa", 6);
        }
        runner_.commands.clear();
        EXPECT_NE(UPDATE_LoadCustom("/tmp/custom.zip"), 0) << i;
        EXPECT_TRUE(runner_.commands.empty()) << i;
    }
    Put("tmp/custom.zip", "not a zip at all, but long enough to be looked at");
    EXPECT_NE(UPDATE_LoadCustom("/tmp/custom.zip"), 0);
    EXPECT_TRUE(runner_.commands.empty());
}

TEST_F(OemTest, LanguagesFromTheDeviceCapabilityFile) {
    const std::string head = "@@\r\nE_CONFIG_VER:1.00\r\n";
    struct Row {
        const char* xml;  // nullptr: no devcap.xml
        int ret;
        std::string file_or_message;
    } rows[] = {
        {"<a><b><ACustomCfg SupportLanguage=\"3\"/></b></a><CurLanguage> 257 </CurLanguage>", 0,
         head + "DEFAULT_LANGUAGE:EN\r\nSUPPORT_LANGUAGE:3,0,0,0\r\n$$\r\n"},
        {"<ACustomCfg SupportLanguage=\"0,0,0,1\"/><CurLanguage>96</CurLanguage>", 0,
         head + "DEFAULT_LANGUAGE:\r\nSUPPORT_LANGUAGE:0,0,0,1\r\n$$\r\n"},
        {"<ACustomCfg SupportLanguage=\"4294967295,256\"/><CurLanguage>40</CurLanguage>", 0,
         head + "DEFAULT_LANGUAGE:ET\r\nSUPPORT_LANGUAGE:ffffffff,100,0,0\r\n$$\r\n"},
        {"<ACustomCfg SupportLanguage=\"3,0,0,0\"/><CurLanguage>2</CurLanguage>", -1,
         "Default language(2) is not in support language(3/0/0/0)."},
        {"<ACustomCfg SupportLanguage=\"0,0,0,1\"/><CurLanguage>128</CurLanguage>", -1,
         "Default language(128) is not in support language(0/0/0/1)."},
        {"<ACustomCfg SupportLanguage=\"1\"/>", -1,
         "Default language(255) is not in support language(1/0/0/0)."},
        {"<x/>", -1, "Default and support language are inexistence."},
        {nullptr, -1, "/var/devcap/devcap.xml inexistence"},
    };
    for (const Row& row : rows) {
        std::filesystem::remove(root_ / "tmp/cfginfo.txt");
        std::filesystem::remove(root_ / "var/devcap/devcap.xml");
        if (row.xml != nullptr)
            Put("var/devcap/devcap.xml", std::string("<?xml?><r>") + row.xml + "</r>");
        runner_.commands.clear();
        ::testing::internal::CaptureStdout();
        const int ret = UPDATE_LoadLanguage();
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(ret, row.ret) << row.xml;
        if (row.ret == 0) {
            EXPECT_EQ(ReadWholeFile(root_ / "tmp/cfginfo.txt"), row.file_or_message);
            EXPECT_EQ(runner_.commands,
                      (Commands{"loadtools /tmp/cfginfo.txt CfgInfo", "rm -f /tmp/cfginfo.txt"}));
        } else {
            EXPECT_NE(out.find(row.file_or_message), std::string::npos) << out;
            EXPECT_FALSE(std::filesystem::exists(root_ / "tmp/cfginfo.txt"));
            EXPECT_TRUE(runner_.commands.empty());
        }
    }
}

}  // namespace
