// Write-mode updates of packages made by update-pack in the simulated
// recorder: what lands in each partition, the progress, the closing steps and
// the refusals before any write.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "devsim_fixture.h"

namespace {

using devsim::ReadFile;
using devsim::RunResult;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

std::string Bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

// Partition number -> image; uboot 1, config 3, kernel 4, program 5, web 6, mdc 15.
const std::map<std::string, std::pair<int, std::string>>& Images() {
    static const std::map<std::string, std::pair<int, std::string>> images = {
        {"uboot", {1, Bytes(200 << 10, 1)}},  {"config", {3, Bytes(128 << 10, 2)}},
        {"uimage", {4, Bytes(300 << 10, 3)}}, {"program", {5, Bytes(700 << 10, 4)}},
        {"web", {6, Bytes(64 << 10, 5)}},     {"mdc", {15, Bytes(100 << 10, 6)}}};
    return images;
}

class WriteTest : public devsim::DevsimTest {
  protected:
    void SetUp() override {
        DevsimTest::SetUp();
        SetVersion("PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R006B20\nBUILD:2026-11-30 10:00:00\n");
        SetBoardType("BRD-K700-Q08@48-X");
        SetUbootRev("U-Boot 2020.01");
        SetPubKey(ReadFile(Keys("vendor") + "/pub_key"));
    }
    // The key pair of a signer, made once per build tree.
    static std::string Keys(const std::string& who) { return devsim::SignerKeys(who); }
    static std::string Pack() { return BuildDir() + "/bin/update-pack"; }
    static void Host(const std::string& line) { ASSERT_EQ(std::system(line.c_str()), 0) << line; }

    // A signed package of the named images (extra: more update-pack options).
    std::string MakePackage(const std::vector<std::string>& roles, const std::string& extra = "",
                            const std::string& key = "vendor") {
        std::string cmd = Pack() + " create --quiet -o " + Dir() + "/Program.bin --inner " +
                          "QTPXV300R006B21 --pub B0140P17 --board BRD-K700-Q08@48-X " + extra +
                          " --key " + Keys(key) + "/pri_key";
        for (const auto& role : roles) {
            devsim::WriteFile(Dir() + "/" + role + ".img", Images().at(role).second);
            cmd += " --image " + role + "=" + Dir() + "/" + role + ".img";
        }
        Host(cmd + " > /dev/null");
        return ReadFile(Dir() + "/Program.bin");
    }

    // Each named partition holds exactly its image and zeros after it; every
    // other partition is as made (zeros).
    void ExpectPartitions(const std::vector<std::string>& written) {
        std::map<int, std::string> want;
        for (const auto& role : written) want[Images().at(role).first] = Images().at(role).second;
        for (const auto& p : Partitions()) {
            std::string bytes = ReadPartition(p.number, 0, p.size);
            const std::string& image = want[p.number];
            EXPECT_TRUE(bytes.compare(0, image.size(), image) == 0) << p.name;
            EXPECT_EQ(bytes.find_first_not_of('\0', image.size()), std::string::npos) << p.name;
        }
    }
};

TEST_F(WriteTest, AllByTftpWritesTheStandardSetAndReboots) {
    Serve("Program.bin", MakePackage({"uimage", "program", "web"}));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    ExpectPartitions({"uimage", "program", "web"});
    // The sandbox samples the rate file: some values may pass unseen, but
    // those seen come in this order and end with 100.
    const std::vector<std::string> order = {"60", "65", "70", "80", "85", "99", "100"};
    auto at = order.begin();
    for (const auto& rate : r.rates) {
        at = std::find(at, order.end(), rate);
        EXPECT_NE(at, order.end()) << rate;
    }
    EXPECT_EQ(r.rates.back(), "100");
    EXPECT_THAT(r.out, HasSubstr("update all success!"));
    EXPECT_THAT(ReadDevice("/var/runtime/log/update_record.log"),
                HasSubstr("Previous Verion: QTPXV300R006B20\nUpgraded Verion: QTPXV300R006B21\n"));
    EXPECT_EQ(r.SigtermCount(), 3);
    EXPECT_TRUE(r.RebootRequested());
}

// Deciphered in place on a RAM file system (its flag then gone); from other
// media through a copy in /tmp, the operator's file untouched.
TEST_F(WriteTest, EncryptedPackageLandsPlain) {
    const std::string pkg = MakePackage({"uimage", "program", "web"}, "--encrypt");
    WriteState("var/pkg/Program.bin", pkg);
    RunResult r = Shell(
        "mkdir -p /mnt/ram && mount -t tmpfs ram /mnt/ram && cp /var/pkg/Program.bin /mnt/ram/ && "
        "update -local /mnt/ram/ all -wait && echo flags=$(head -c 256 /mnt/ram/Program.bin | "
        "grep -c ECI)");
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("flags=0"));
    EXPECT_THAT(r.out, Not(HasSubstr("update relocate")));
    ExpectPartitions({"uimage", "program", "web"});
    EXPECT_TRUE(ChangedByRun("/var/tmp/update_keyfac"));

    r = RunUpdate({"-local", "/var/pkg/", "all", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("update relocate /var/pkg//Program.bin -> /tmp/Program.bin"));
    EXPECT_EQ(r.SigtermCount(), 0);
    EXPECT_FALSE(r.RebootRequested());
    ExpectPartitions({"uimage", "program", "web"});
    EXPECT_EQ(ReadDevice("/var/pkg/Program.bin"), pkg);
}

// The customisation archive: the identity lines come from the device, the
// languages from its capability file; a failing flash_tool does not fail the
// run; an archive that names "../" is refused before unpacking.
TEST_F(WriteTest, CustomisationIsInstalled) {
    const std::string oem = Dir() + "/custom/oem";
    std::filesystem::create_directories(oem);
    devsim::WriteFile(oem + "/manuinfo.txt",
                      "DEVICE_SERIAL_NUMBER:SN-PKG\nMAC_ADDRESS:AA\nMAC_ADDRESS_2:BB\n"
                      "BOARD_SERIAL_NUMBER:BSN-PKG\nVENDOR:Acme\n");
    devsim::WriteFile(oem + "/bootlogo_non.gz", "logo");
    WriteProc("env", "DEVICE_SERIAL_NUMBER:SN-DEV\nMAC_ADDRESS:00:11\nMAC_ADDRESS_2:00:22\n");
    WriteState("var/devcap/devcap.xml",
               "<?xml version=\"1.0\"?><Cap><ACustomCfg SupportLanguage=\"6,0,0,1\"/>"
               "<CurLanguage>1</CurLanguage></Cap>");
    Serve("Program.bin", MakePackage({"uimage", "program", "web"}, "--custom " + oem));
    AddFault("tool-fail=flash_tool");
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_EQ(ReadDevice("/var/devsim/kept/loadtools.ManuInfo"),
              "DEVICE_SERIAL_NUMBER:SN-DEV\nMAC_ADDRESS:00:11\nMAC_ADDRESS_2:00:22\n"
              "BOARD_SERIAL_NUMBER:BSN-PKG\nVENDOR:Acme\n");
    EXPECT_EQ(
        ReadDevice("/var/devsim/kept/loadtools.CfgInfo"),
        "@@\r\nE_CONFIG_VER:1.00\r\nDEFAULT_LANGUAGE:EN\r\nSUPPORT_LANGUAGE:6,0,0,1\r\n$$\r\n");
    EXPECT_THAT(r.ToolCalls("flash_tool"),
                ElementsAre(ElementsAre("flash_tool", "w", "/tmp/bootlogo_non.gz")));
    ExpectPartitions({"uimage", "program", "web"});

    Host("cd " + Dir() +
         " && python3 -c \"import zipfile; zipfile.ZipFile('evil.zip', 'w')"
         ".writestr('oem/../../var/evil', 'x')\"");
    Serve("Program.bin", MakePackage({"uimage"}, "--image custom=" + Dir() + "/evil.zip"));
    r = RunUpdate({"-tftp", "127.0.0.1", "uImage", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(UpdateLog(), HasSubstr("tar file /tmp/custom.zip failed."));
    EXPECT_FALSE(ChangedByRun("/var/evil"));
}

// Two steps: the program, then u-boot with "mdc.bin"; an mdc.bin that does
// not fit its partition fails alone; config alone.
TEST_F(WriteTest, ProgramUbootAndConfigSteps) {
    Serve("Program.bin", MakePackage({"program", "uboot", "mdc"}));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "program", "uboot", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    ExpectPartitions({"program", "uboot", "mdc"});
    EXPECT_THAT(r.out, HasSubstr("update program success!\nupdate uboot success!"));

    devsim::WriteFile(Dir() + "/big.img", Bytes(3 << 20, 7));
    Serve("Program.bin", MakePackage({"uboot"}, "--image mdc=" + Dir() + "/big.img"));
    r = RunUpdate({"-tftp", "127.0.0.1", "uboot", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("update mdc.bin failed."));
    ExpectPartitions({"uboot"});

    // On eMMC the configuration is the runtime folder's files: emptied, no copy.
    Serve("Program.bin", MakePackage({"config"}));
    WriteState("var/runtime/old.cfg", "old");
    r = RunUpdate({"-tftp", "127.0.0.1", "config", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("remount nothing"));
    ExpectPartitions({});
    bool exists = true;
    ReadDevice("/var/runtime/old.cfg", &exists);
    EXPECT_FALSE(exists);
}

// A read-back that differs from the image fails the kernel's write and stops
// the run.
TEST_F(WriteTest, KernelWriteFailureStopsTheRun) {
    Serve("Program.bin", MakePackage({"uimage", "program", "web"}));
    AddFault("dd-flip");
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-wait"});
    EXPECT_EQ(r.status, 255);
    EXPECT_THAT(r.out,
                HasSubstr("differs from the image at byte 0\nupdate /dev/mmcblk0p4 failed!"));
    EXPECT_THAT(r.out, HasSubstr("update All.bin failed! ulRet=-1"));
    EXPECT_THAT(r.out, Not(HasSubstr("update program......")));
    EXPECT_EQ(r.SigtermCount(), 3);
}

// Nothing is written and the package stays as it was: a body byte changed,
// a stranger's signature (its block does not open with the device's key), and a corrupted package
// that selects u-boot alone.
TEST_F(WriteTest, BadPackagesAreRefusedBeforeAnyWrite) {
    struct Case {
        std::string key, request, message;
    };
    for (const Case& c : {Case{"vendor", "all", "update check crc failed."},
                          Case{"stranger", "all", "Decrypt sha256 data failed!"},
                          Case{"vendor", "uboot", "update check crc failed."}}) {
        std::string pkg = MakePackage({"uboot", "uimage", "program", "web"}, "", c.key);
        if (c.key == "vendor") pkg[5000] = static_cast<char>(~pkg[5000]);
        WriteState("var/pkg/Program.bin", pkg);
        RunResult r = RunUpdate({"-local", "/var/pkg/", c.request});
        EXPECT_NE(r.status, 0) << c.message;
        EXPECT_THAT(r.out, HasSubstr(c.message));
        ExpectPartitions({});
        EXPECT_EQ(ReadDevice("/var/pkg/Program.bin"), pkg);
    }
}

// A sample of the corruption sweep's variants (plain and encrypted packages)
// as "all" updates: each refused before any write, with its failure code and
// the reboot, the package file unchanged. Ten sandboxes share the sample, as
// each refusal ends in the 9 s reboot sequence.
TEST_F(WriteTest, SlowCorruptedVariantsAreRefusedBeforeAnyWrite) {
    const std::string emit = Dir() + "/variants";
    MakePackage({"uimage", "program", "web"});
    Host("mv " + Dir() + "/Program.bin " + Dir() + "/plain.bin");
    MakePackage({"uimage", "program", "web"}, "--encrypt");
    Host(BuildDir() + "/bin/update-sweep --pub-key " + Keys("vendor") + "/pub_key --board " +
         "BRD-K700-Q08@48-X --local-pub B0140P10 --local-inner QTPXV300R006B20 --variants 104 " +
         "--emit " + emit + " " + Dir() + "/plain.bin " + Dir() + "/Program.bin > /dev/null");
    std::istringstream index(ReadFile(emit + "/index"));
    std::vector<std::string> names;
    for (std::string line; std::getline(index, line) && names.size() < 200;)
        names.push_back(line.substr(0, line.find(' ')));
    ASSERT_GE(names.size(), 190U);

    constexpr size_t kShards = 10;
    std::vector<devsim::Sandbox> boxes(kShards);
    std::vector<RunResult> results(kShards);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < kShards; ++k) {
        devsim::Sandbox& b = boxes[k];
        b.Init(Dir() + "/shard" + std::to_string(k));
        b.SetVersion("PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R006B20\n");
        b.SetBoardType("BRD-K700-Q08@48-X");
        b.SetPubKey(ReadFile(Keys("vendor") + "/pub_key"));
        b.SetServers("none");
        b.SetRebootGrace(0);
        b.SetTimeout(600);
        for (size_t i = k; i < names.size(); i += kShards)
            b.WriteState("var/pkg/" + names[i] + "/Program.bin", ReadFile(emit + "/" + names[i]));
        threads.emplace_back([&b, &r = results[k]] {
            r = b.Shell("for d in /var/pkg/*/; do update -local $d all; echo \"rc=$? $d\"; done");
        });
    }
    for (auto& t : threads) t.join();
    for (size_t k = 0; k < kShards; ++k) {
        const RunResult& r = results[k];
        const int runs = static_cast<int>((names.size() - k + kShards - 1) / kShards);
        EXPECT_EQ(
            std::count_if(r.reboot.begin(), r.reboot.end(),
                          [](const std::string& l) { return l.rfind("rmc/test r ", 0) == 0; }),
            runs);
        EXPECT_EQ(r.SigtermCount(), 3 * runs) << r.out << r.harness;
        EXPECT_THAT(r.out, Not(HasSubstr("rc=0 "))) << r.out;
        EXPECT_THAT(r.out, Not(HasSubstr("success")));
        for (const auto& p : boxes[k].Partitions())
            EXPECT_EQ(boxes[k].ReadPartition(p.number, 0, p.size).find_first_not_of('\0'),
                      std::string::npos)
                << p.name;
        for (size_t i = k; i < names.size(); i += kShards)
            EXPECT_EQ(boxes[k].ReadDevice("/var/pkg/" + names[i] + "/Program.bin"),
                      ReadFile(emit + "/" + names[i]))
                << names[i];
    }
}

}  // namespace
