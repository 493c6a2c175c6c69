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
#include "package/forge.h"

namespace {

using devsim::Quote;
using devsim::RandomBytes;
using devsim::ReadFile;
using devsim::RunResult;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

// Partition number -> image; uboot 1, config 3, kernel 4, program 5, web 6, mdc 15.
const std::map<std::string, std::pair<int, std::string>>& Images() {
    static const std::map<std::string, std::pair<int, std::string>> images = {
        {"uboot", {1, RandomBytes(200 << 10, 1)}},  {"config", {3, RandomBytes(128 << 10, 2)}},
        {"uimage", {4, RandomBytes(300 << 10, 3)}}, {"program", {5, RandomBytes(2560 << 10, 4)}},
        {"web", {6, RandomBytes(64 << 10, 5)}},     {"mdc", {15, RandomBytes(100 << 10, 6)}}};
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

    // The sandbox samples the rate file: some values may pass unseen, but
    // those seen come in this order and end with 100.
    static void ExpectRates(const RunResult& r, const std::vector<std::string>& order) {
        auto at = order.begin();
        for (const auto& rate : r.rates) {
            at = std::find(at, order.end(), rate);
            EXPECT_NE(at, order.end()) << rate;
        }
        EXPECT_EQ(r.rates.back(), "100");
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

// The table holds an empty update-program entry (position 8): no hand-over.
TEST_F(WriteTest, AllByTftpWritesTheStandardSetAndReboots) {
    Serve("Program.bin", MakePackage({"uimage", "program", "web"}, "--count 12"));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    ExpectPartitions({"uimage", "program", "web"});
    ExpectRates(r, {"60", "65", "70", "80", "85", "99", "100"});
    EXPECT_THAT(r.out, HasSubstr("update all success!"));
    EXPECT_THAT(ReadDevice("/var/runtime/log/update_record.log"),
                HasSubstr("Previous Verion: QTPXV300R006B20\nUpgraded Verion: QTPXV300R006B21\n"));
    EXPECT_EQ(r.SigtermCount(), 3);
    EXPECT_TRUE(r.RebootRequested());
}

// Deciphered in place on a RAM file system (its flag then gone); from other
// media through a copy in /tmp, the operator's file untouched. A program
// planted as "/tmp/busybox" is not the tool host: each run makes its own.
TEST_F(WriteTest, EncryptedPackageLandsPlain) {
    const std::string pkg = MakePackage({"uimage", "program", "web"}, "--encrypt");
    WriteState("var/pkg/Program.bin", pkg);
    RunResult r = Shell(
        "printf '#!/bin/sh\\ntouch /var/pwned\\n' > /tmp/busybox && chmod +x /tmp/busybox && "
        "mkdir -p /mnt/ram && mount -t tmpfs ram /mnt/ram && cp /var/pkg/Program.bin /mnt/ram/ && "
        "update -local /mnt/ram/ all -wait && echo flags=$(head -c 256 /mnt/ram/Program.bin | "
        "grep -c ECI)");
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("flags=0"));
    EXPECT_THAT(r.out, Not(HasSubstr("update relocate")));
    ExpectPartitions({"uimage", "program", "web"});
    EXPECT_TRUE(ChangedByRun("/var/tmp/update_keyfac"));
    EXPECT_FALSE(ChangedByRun("/var/pwned"));

    r = RunUpdate({"-local", "/var/pkg/", "all", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("update reads /var/pkg//Program.bin once into /tmp/Program.bin"));
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

    devsim::WriteFile(Dir() + "/big.img", RandomBytes(3 << 20, 7));
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

// A stick whose content changes once the package was read whole (usb-swap:
// its twin then serves the reads). The check's one read is what is written
// and run: from a private copy in RAM (the medium read once), or, where the
// package does not fit in /tmp, held against each sub-image's digest, which
// fails the run (no success line, no latch, reboot).
TEST_F(WriteTest, BytesCheckedAreTheBytesWrittenAndRun) {
    struct Case {
        bool small_tmp;       // room for the program's two copies, not the package
        std::string swapped;  // "uimage" or "updater"
        int status;
    };
    devsim::WriteFile(Dir() + "/evil", "#!/bin/sh\ntouch /var/pwned\nexit 0\n", 0755);
    const std::string evil = ReadFile(Dir() + "/evil");
    const std::string program = ReadFile(UpdateBinary());
    // At an unused position; more than the room /tmp keeps beside one copy of
    // the program, whatever its size (a static build is twice as large).
    devsim::WriteFile(Dir() + "/ballast", RandomBytes(program.size() + (2 << 20), 8));
    for (const Case& c :
         {Case{false, "uimage", 0}, Case{false, "updater", 0}, Case{true, "uimage", 255}}) {
        const std::string pkg = MakePackage(
            {"uimage", "program", "web"},
            c.swapped == "updater" ? UpdaterWords()
                                   : (c.small_tmp ? "--image 7=" + Dir() + "/ballast" : ""));
        std::string twin = pkg;
        if (c.swapped == "uimage") {
            const size_t at = pkg.find(Images().at("uimage").second);
            for (size_t i = at; i < at + 4096; ++i) twin[i] = static_cast<char>(~twin[i]);
        } else {
            twin.replace(pkg.find(program), evil.size(), evil);
        }
        ClearFaults();
        AddFault("usb-swap");
        if (c.small_tmp) AddFault("tmp-kib=" + std::to_string(program.size() * 2 / 1024 + 1024));
        WriteState("mnt/usb/Program.bin", pkg);
        WriteState("mnt/usb/Program.bin.swap", twin);
        RunResult r = RunUpdate({"-local", "/mnt/usb/", "all", "-wait"});
        EXPECT_EQ(r.status, c.status) << c.swapped << r.out << r.harness;
        EXPECT_FALSE(ChangedByRun("/var/pwned"));
        if (c.status == 0) {
            ExpectPartitions({"uimage", "program", "web"});
            const uint64_t served = std::stoull(ReadOut("usb.log").substr(7));
            EXPECT_LE(served, pkg.size() * 105 / 100) << "the medium is read once";
        } else {
            EXPECT_THAT(r.out, HasSubstr("differs from what the package check read"));
            EXPECT_THAT(r.out, Not(HasSubstr("success")));
            EXPECT_FALSE(ChangedByRun("/var/runtime/sig_full"));
            EXPECT_EQ(r.SigtermCount(), 3);
        }
    }
}

// Nothing is written and the package stays as it was: a body byte changed,
// a stranger's signature (its block does not open with the device's key), and a corrupted package
// that selects u-boot alone. A forged package's own program never runs,
// whether a first stage or an unknown word (-x) would hand over to it.
TEST_F(WriteTest, BadPackagesAreRefusedBeforeAnyWrite) {
    struct Case {
        std::string key, request, message, extra;
    };
    devsim::WriteFile(Dir() + "/evil", "#!/bin/sh\ntouch /var/pwned\n", 0755);
    const std::string evil = "--updater-arch script --updater " + Dir() + "/evil";
    for (const Case& c : {Case{"vendor", "all", "update check crc failed.", evil},
                          Case{"stranger", "all", "Decrypt sha256 data failed!", evil},
                          Case{"vendor", "-x", "update check crc failed.", evil},
                          Case{"vendor", "uboot", "update check crc failed.", ""}}) {
        std::string pkg = MakePackage({"uboot", "uimage", "program", "web"}, c.extra, c.key);
        if (c.key == "vendor") pkg[5000] = static_cast<char>(~pkg[5000]);
        WriteState("var/pkg/Program.bin", pkg);
        RunResult r = RunUpdate({"-local", "/var/pkg/", c.request});
        EXPECT_NE(r.status, 0) << c.message;
        EXPECT_THAT(r.out, HasSubstr(c.message));
        ExpectPartitions({});
        EXPECT_EQ(ReadDevice("/var/pkg/Program.bin"), pkg);
        EXPECT_FALSE(ChangedByRun("/var/pwned"));
    }
}

// A corrupted package that selects u-boot on a recorder whose boot
// environment needs the repair is refused before the repair touches either
// copy.
TEST_F(WriteTest, CorruptedBootLoaderPackageLeavesTheEnvironmentAlone) {
    SetVersion("PUB:B0140P10\nNEW:B0140P10\nINN:QTPXV300R003B03\nBUILD:2026-11-30 10:00:00\n");
    SetBoardType("BRD-K300-X");
    SetUbootRev("U-57");
    const std::string env = RandomBytes(128 << 10, 9);
    const std::string bak = RandomBytes(128 << 10, 10);
    WriteState("dev/mtd2", env);
    WriteState("dev/mtd7", bak);
    std::string pkg = MakePackage({"uboot"}, "--board BRD-K300-X");
    pkg[5000] = static_cast<char>(~pkg[5000]);
    WriteState("var/pkg/Program.bin", pkg);
    RunResult r = RunUpdate({"-local", "/var/pkg/", "uboot"});
    EXPECT_EQ(r.status, 247) << r.out << r.harness;  // -9
    EXPECT_THAT(r.out, HasSubstr("update check crc failed."));
    EXPECT_THAT(r.out, Not(HasSubstr("envcrc")));
    EXPECT_EQ(ReadDevice("/dev/mtd2"), env);
    EXPECT_EQ(ReadDevice("/dev/mtd7"), bak);
    ExpectPartitions({});
}

// The package's own program (here this build of update) takes over a first
// stage: it checks, deciphers and writes; the first stage then reports 99
// and 100 and reboots once, with no success line of its own.
TEST_F(WriteTest, FirstStageHandsOverToThePackagesProgram) {
    Serve("Program.bin", MakePackage({"uimage", "program", "web"}, "--encrypt " + UpdaterWords()));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("Launch update cmd (chmod +x /tmp/busybox; /tmp/busybox update "
                                 "-local /tmp/ all  -w -loop)"));
    ExpectPartitions({"uimage", "program", "web"});
    // The first stage's 20, the second stage's writes and end, the first's
    // end: once at 100, the rate file stays there.
    ExpectRates(r, {"20", "60", "65", "70", "80", "85", "99", "100"});
    EXPECT_EQ(r.rates.front(), "20");
    const auto end = std::find(r.rates.begin(), r.rates.end(), "100");
    EXPECT_EQ(std::count(end, r.rates.end(), "100"), r.rates.end() - end);
    const std::string log = UpdateLog();
    EXPECT_THAT(log, HasSubstr("create hard link /tmp/lnAll.bin success"));
    EXPECT_EQ(log.find("update all success!"), log.rfind("update all success!"));
    EXPECT_THAT(log, HasSubstr("Update success. System reboot now..."));
    EXPECT_FALSE(ChangedByRun("/tmp/lnAll.bin"));
    EXPECT_EQ(r.SigtermCount(), 3);

    // A request of several kinds is handed over once, whole.
    Serve("Program.bin", MakePackage({"uimage", "program"}, "--encrypt " + UpdaterWords()));
    r = RunUpdate({"-tftp", "127.0.0.1", "uImage", "program", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.out, HasSubstr("/tmp/busybox update -local /tmp/ uImage program  -w -loop)"));
    ExpectPartitions({"uimage", "program"});
}

// A stand-in program shows the words it gets, one per line, and ends with
// the status asked for: unknown words reach it unchanged (a shell word stays
// one word), its failure is the first stage's, which then reboots.
TEST_F(WriteTest, SecondStageWordsAndFailure) {
    struct Case {
        std::vector<std::string> request;
        int code;
        std::string words;
    };
    const Case cases[] = {
        {{"-tftp", "127.0.0.1", "all", "-wait", "-new", "$(touch /var/pwned)"},
         0,
         "update\n-local\n/tmp/\nall\n-w\n-new\n$(touch /var/pwned)\n-loop\n"},
        {{"-tftp", "127.0.0.1", "uImage"}, 3, "update\n-local\n/tmp/\nuImage\n-w\n-loop\n"},
        {{"-tftp", "127.0.0.1", "uImage", "-force", "-wait"},
         0,
         "update\n-local\n/tmp/\nuImage\n-f\n-w\n-loop\n"},
    };
    for (const Case& c : cases) {
        const std::string code = std::to_string(c.code);
        devsim::WriteFile(
            Dir() + "/stage2",
            "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done >/var/stage2.words\nexit " + code,
            0755);
        Serve("Program.bin",
              MakePackage({"uimage"}, "--updater-arch script --updater " + Dir() + "/stage2"));
        RunResult r = RunUpdate(c.request);
        EXPECT_EQ(r.status, c.code) << r.out << r.harness;
        EXPECT_EQ(ReadDevice("/var/stage2.words"), c.words);
        EXPECT_FALSE(ChangedByRun("/var/pwned"));
        EXPECT_EQ(r.SigtermCount(), c.code != 0 ? 3 : 0);
    }
}

// -debug: one raw image straight into its partition, no package checks.
TEST_F(WriteTest, DebugLoadsOneImage) {
    const std::string& kernel = Images().at("uimage").second;
    Serve("uImage", kernel);
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-debug", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(r.rates, ElementsAre("5", "10", "40"));
    EXPECT_THAT(UpdateLog(), HasSubstr("loading cmd: tftp -g -r uImage -l /tmp/uImage 127.0.0.1 "
                                       "-b 8192"));
    ExpectPartitions({"uimage"});

    Serve("dir/program.img", Images().at("program").second);
    SetFtpLogin("admin", "s3cr;et");  // not the built-in default, which the binary carries
    r = RunUpdate({"-ftp", "127.0.0.1", "-u", "admin", "-p", "s3cr;et", "-path", "dir", "program",
                   "-debug", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_THAT(UpdateLog(), HasSubstr("ftpget -u admin -p ****** 127.0.0.1 /tmp/program.img "
                                       "dir/program.img"));
    ExpectPartitions({"program"});

    WriteState("var/img/uImage", kernel);
    r = RunUpdate({"-local", "/var/img", "uImage", "-debug", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    ExpectPartitions({"uimage"});
}

// A refused fetch (three tries) and an image longer than its partition fail
// before anything is written; the run then reboots.
TEST_F(WriteTest, DebugFailuresWriteNothing) {
    WriteState("var/img/uImage", "");
    Host("truncate -s 129M " + StateDir() + "/var/img/uImage");
    SetRebootGrace(1);
    for (const auto& [request, why] :
         {std::pair{std::vector<std::string>{"-tftp", "127.0.0.1", "uImage", "-debug"},
                    "load image file failed! please try again!\nload or update failed!"},
          std::pair{std::vector<std::string>{"-local", "/var/img", "uImage", "-debug"},
                    "nothing written\nupdate uImage failed.\nload or update failed!"}}) {
        RunResult r = RunUpdate(request);
        EXPECT_NE(r.status, 0);
        EXPECT_THAT(r.out, HasSubstr(why));
        EXPECT_TRUE(r.PowerCut()) << r.harness;
        ExpectPartitions({});
    }
}

// The chunk-pair forgery is refused by the full signature; a legacy-only
// package passes until a full-signed update sets the latch, which then
// refuses it. The latch is not set by a check or a failed run, and it
// survives a reboot (the persistent files kept) and the config update.
TEST_F(WriteTest, FullSignatureAndTheLatch) {
    const std::string legacy = MakePackage({"uimage"}, "--legacy-only");
    const std::string full = MakePackage({"uimage"});
    const std::string latch = "/var/runtime/sig_full";
    Serve("Program.bin", pkgtest::Forge(full));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "uImage", "-wait"});
    EXPECT_EQ(r.status, 244) << r.out << r.harness;  // -12
    EXPECT_THAT(UpdateLog(), HasSubstr("Package signatures: legacy ok, full bad."));
    ExpectPartitions({});
    Serve("Program.bin", full);
    r = RunUpdate({"-tftp", "127.0.0.1", "uImage", "-check"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_FALSE(ChangedByRun(latch));

    WriteState("var/pkg/legacy/Program.bin", legacy);
    WriteState("var/pkg/full/Program.bin", full);
    r = Shell(
        "for p in legacy full legacy; do update -local /var/pkg/$p/ uImage -wait; "
        "echo $p=$?; done");
    EXPECT_THAT(r.out, AllOf(HasSubstr("legacy=0"), HasSubstr("full=0"), HasSubstr("legacy=244"),
                             HasSubstr("Full signatures are required from now on.")));
    ASSERT_EQ(ReadDevice(latch), "1\n");

    WriteState(latch.substr(1), "1\n");  // what a reboot keeps
    Serve("Program.bin", legacy);
    r = RunUpdate({"-tftp", "127.0.0.1", "uImage", "-wait"});
    EXPECT_EQ(r.status, 244) << r.out << r.harness;
    EXPECT_THAT(UpdateLog(),
                HasSubstr("Package has no full signature, which this device requires!"));
    Serve("Program.bin", MakePackage({"config"}));
    r = RunUpdate({"-tftp", "127.0.0.1", "config", "-wait"});
    EXPECT_EQ(r.status, 0) << r.out << r.harness;
    EXPECT_EQ(ReadDevice(latch), "1\n");
    // A config update that fails once the configuration is emptied (a mount
    // point in it stays) keeps the latch as well.
    r = Shell(
        "mkdir /var/runtime/busy && mount -t tmpfs busy /var/runtime/busy && "
        "update -tftp 127.0.0.1 config -wait; echo status=$?");
    EXPECT_THAT(r.out, HasSubstr("status=255")) << r.out << r.harness;
    EXPECT_EQ(ReadDevice(latch), "1\n");
    // A config image loaded by -debug empties the configuration too.
    r = Shell(
        "touch /tmp/config.img && update -tftp 127.0.0.1 config -debug -wait; echo status=$?");
    EXPECT_THAT(r.out, HasSubstr("status=0")) << r.out << r.harness;
    EXPECT_EQ(ReadDevice(latch), "1\n");
}

// A legacy package whose signature block ends in random padding is taken as
// one without a full signature: installed before the latch, refused after it.
// Key rotation: a package signed by the old key installs the new one, the
// new key's packages install, one of them removes the old key, and a
// package signed only by the old key is refused from then on. A change that
// would leave no key, or comes from a package without a full signature, is
// refused whole and changes nothing.
TEST_F(WriteTest, RandomPaddingAndKeyRotation) {
    auto custom = [&](const std::string& name, const std::string& file, const std::string& who) {
        const std::string dir = Dir() + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(dir + file).parent_path());
        devsim::WriteFile(dir + file, ReadFile(Keys(who) + "/pub_key"));
        return "--custom " + dir;
    };
    std::string legacy = MakePackage({"uimage"}, "--legacy-only");
    std::mt19937 rng(3);
    for (size_t i = 1536 + 256; i < 2048; ++i) legacy[i] = static_cast<char>(rng());
    // A refused run reboots the recorder: each boot ends with one, and what
    // a reboot keeps is carried over by hand.
    const std::vector<std::vector<std::pair<std::string, std::string>>> boots = {
        {{"legacy", legacy},
         {"legacy-adds", MakePackage({"uimage"}, custom("a", "/pub_keys/new.pub", "successor") +
                                                     " --legacy-only")},
         {"old-adds", MakePackage({"uimage"}, custom("b", "/pub_keys/new.pub", "successor"))},
         {"legacy-after", legacy}},
        {{"new", MakePackage({"uimage"}, "", "successor")},
         {"new-removes-old",
          MakePackage({"uimage"}, custom("c", "/pub_keys/removed/old.pub", "vendor"), "successor")},
         {"new-removes-new",
          MakePackage({"uimage"}, custom("d", "/pub_keys/removed/new.pub", "successor"),
                      "successor")},
         {"new-again", MakePackage({"uimage"}, "", "successor")},
         {"old", MakePackage({"uimage"})}},
    };
    std::string out;
    std::string log;
    for (const auto& steps : boots) {
        std::string loop;
        for (const auto& [name, bytes] : steps) {
            WriteState("var/pkg/" + name + "/Program.bin", bytes);
            loop += "update -local /var/pkg/" + name + "/ uImage -wait >/dev/null; echo " + name +
                    "=$?; ls /.pub_keys 2>/dev/null; ";
        }
        const RunResult r = Shell(loop);
        out += r.out;
        log += UpdateLog();
        for (const char* kept : {".pub_key", ".pub_keys/new.pub", "var/runtime/sig_full"}) {
            bool exists = false;
            const std::string bytes = ReadDevice(std::string("/") + kept, &exists);
            if (exists) WriteState(kept, bytes);
        }
    }
    EXPECT_EQ(out,
              "legacy=0\nlegacy-adds=0\nold-adds=0\nnew.pub\nlegacy-after=244\nnew.pub\n"
              "new=0\nnew.pub\nnew-removes-old=0\nnew-removes-new=0\nnew-again=0\nold=255\n");
    EXPECT_THAT(log, AllOf(HasSubstr("Package signatures: legacy ok, full absent."),
                           HasSubstr("the package's full signature did not hold."),
                           HasSubstr("Trusted key added: /.pub_keys/new.pub (sha256:"),
                           HasSubstr("Package signed by the trusted key /.pub_keys/new.pub"),
                           HasSubstr("Package has no full signature, which this device requires!"),
                           HasSubstr("; /.pub_keys/new.pub takes its place."),
                           HasSubstr("Package signed by the trusted key /.pub_key (sha256:"),
                           HasSubstr("the recorder would trust no key."),
                           HasSubstr("Decrypt sha256 data failed!")));
    EXPECT_EQ(ReadDevice("/.pub_key"), ReadFile(Keys("successor") + "/pub_key"));
}

// Power cuts of an "all" update from persistent storage (before or after a
// stand-in call, before a block of the eMMC copy, at a progress value, at a
// time) and the updater killed at a progress value: the package stays as it
// was, and the same update run again, after the cut's reboot or in the same
// system, completes with every partition correct.
class InterruptTest : public WriteTest, public testing::WithParamInterface<const char*> {};

TEST_P(InterruptTest, TheSameUpdateRunAgainCompletes) {
    const std::string pkg = MakePackage({"uimage", "program", "web"});
    WriteState("mnt/usb/Program.bin", pkg);
    const std::string fault = GetParam();
    AddFault(fault);
    const std::string run = "update -local /mnt/usb/ all -wait";
    RunResult r;
    if (fault.rfind("kill=", 0) == 0) {
        r = Shell(run + "; echo killed=$?; " + run + "; echo again=$?");
        EXPECT_THAT(r.out, HasSubstr("killed=137")) << r.harness;
        EXPECT_THAT(r.out, HasSubstr("again=0"));
    } else {
        r = RunUpdate({"-local", "/mnt/usb/", "all", "-wait"});
        EXPECT_EQ(r.status, 137) << r.out << r.harness;
        EXPECT_TRUE(r.PowerCut());
        EXPECT_EQ(ReadDevice("/mnt/usb/Program.bin"), pkg);
        ClearFaults();
        r = RunUpdate({"-local", "/mnt/usb/", "all", "-wait"});
        EXPECT_EQ(r.status, 0) << r.out << r.harness;
    }
    ExpectPartitions({"uimage", "program", "web"});
    EXPECT_EQ(ReadDevice("/mnt/usb/Program.bin"), pkg);
}
INSTANTIATE_TEST_SUITE_P(Points, InterruptTest,
                         testing::Values("power-cut=tool:1", "power-cut=tool:1:after",
                                         "power-cut=block:1", "power-cut=block:3",
                                         "power-cut=block:5", "power-cut=rate:70",
                                         "power-cut=time:0.4", "kill=rate:60", "kill=rate:70",
                                         "kill=rate:85", "kill=rate:99"));

// Faults of the fetch and the media end with their message and code, write
// no partition, leave the package as it was and no partial copy in /tmp. A
// read-only medium is only read: a plain package from it installs, and an
// encrypted one is deciphered in a copy.
const std::vector<std::string> kAll = {"uimage", "program", "web"};
struct MediaCase {
    const char *name, *fault, *line, *status, *message;
    bool encrypted;
};
void PrintTo(const MediaCase& c, std::ostream* os) {
    *os << c.name;
}
constexpr const char* kTftpAll = "update -tftp 127.0.0.1 all -wait";
constexpr const char* kReadOnlyAll =
    "mkdir -p /mnt/ro && mount -t tmpfs ro /mnt/ro && cp /mnt/usb/Program.bin /mnt/ro/ && "
    "mount -o remount,ro -t tmpfs ro /mnt/ro && update -local /mnt/ro/ all -wait";
// The TFTP client takes its time-outs over a dead server: a slow case.
constexpr MediaCase kDeadTftp = {
    "TftpServerDies", "tftp-die=300000", kTftpAll, "255", "load bin file failed!", false};
constexpr MediaCase kMediaCases[] = {
    {"HttpReset", "http-reset=300000", "update -mycloud http://127.0.0.1/Program.bin all -wait",
     "4", "Fail to call curl_easy_perform, err:56", false},
    {"TmpFullForTheUpdater", "tmp-kib=1024", kTftpAll, "255",
     "failed to exec cmd cp  -f /usr/bin/update /tmp/memupdate", false},
    {"TmpFullDuringTheFetch", "tmp-kib=+420", kTftpAll, "255", "load bin file failed!", false},
    {"TmpFullForTheCopy", "tmp-kib=+420", "update -local /mnt/usb/ all -wait", "255",
     "does not fit in /tmp (", true},
    {"ReadOnlyMedium", "", kReadOnlyAll, "0", "update all success!", false},
    {"ReadOnlyMediumEncrypted", "", kReadOnlyAll, "0",
     "update file /mnt/ro//Program.bin in RAM is read-only", true},
};
class MediaFaultTest : public WriteTest, public testing::WithParamInterface<MediaCase> {};

// "tmp-kib=+N": a /tmp of N KiB more than the updater's own copy takes, so
// that the case means the same for a dynamic and a static update.
std::string SizedFault(const std::string& fault) {
    const std::string relative = "tmp-kib=+";
    if (fault.rfind(relative, 0) != 0) return fault;
    const auto own_kib =
        (std::filesystem::file_size(devsim::Sandbox::UpdateBinary()) + 1023) / 1024;
    return "tmp-kib=" + std::to_string(own_kib + std::stoul(fault.substr(relative.size())));
}

TEST_P(MediaFaultTest, EndsWithItsCode) {
    const MediaCase& c = GetParam();
    const std::string pkg =
        MakePackage({"uimage", "program", "web"}, c.encrypted ? "--encrypt" : "");
    WriteState("mnt/usb/Program.bin", pkg);
    Serve("Program.bin", pkg);
    if (*c.fault != 0) AddFault(SizedFault(c.fault));
    RunResult r = Shell(std::string(c.line) + "; echo status=$?; ls /tmp");
    EXPECT_THAT(r.out, HasSubstr(c.message)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("status=" + std::string(c.status) + "\n"));
    EXPECT_THAT(r.out.substr(r.out.find("status=")), Not(HasSubstr("Program.bin")));
    ExpectPartitions(std::string(c.status) == "0" ? kAll : std::vector<std::string>{});
    EXPECT_EQ(ReadDevice("/mnt/usb/Program.bin"), pkg);
}
std::string CaseName(const testing::TestParamInfo<MediaCase>& info) {
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Faults, MediaFaultTest, testing::ValuesIn(kMediaCases), CaseName);
INSTANTIATE_TEST_SUITE_P(SlowFaults, MediaFaultTest, testing::Values(kDeadTftp), CaseName);

// Quotes, a semicolon, $(), backticks, a newline, a leading dash: each short
// enough for the shortest field (31 characters), then all in one.
const std::vector<std::string> kHostile = {"-x;touch /tmp/pwned", "'$(touch /tmp/pwned)'",
                                           "\"`touch /tmp/pwned`\"", "x\ntouch /tmp/pwned"};
const std::string kHostileName = "-x'\"$(touch pwned)`touch pwned`;touch pwned\ntouch pwned";

// Hostile values wherever one reaches a command line: the remote address,
// the user and password, the URL, the local path, the table's names and the
// customisation archive's names. Nothing the value names runs (no "pwned"
// file anywhere), the command lines carry it as one quoted word, and the
// password is in no file of the run (the fixture's check).
TEST_F(WriteTest, HostileValuesStayValues) {
    auto pwned = [&] {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(OutDir() + "/root", ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->path().filename() == "pwned") return true;
        return false;
    };
    const std::string oem = Dir() + "/custom/oem";
    std::filesystem::create_directories(oem);
    devsim::WriteFile(oem + "/" + kHostileName, "x");
    devsim::WriteFile(oem + "/bootlogo_non.gz", "logo");
    const std::string pkg = MakePackage(
        {"uimage", "program", "web"}, "--name uimage=" + Quote(kHostileName) + " --name program=" +
                                          Quote(kHostileName + "2") + " --custom " + oem);
    const std::string path = "/mnt/" + kHostileName + "/" + kHostile[0] + "/";
    WriteState("mnt/usb/Program.bin", pkg);
    WriteState(path + "Program.bin", pkg);
    Serve("Program.bin", pkg);
    struct Case {
        std::vector<std::string> args;
        std::string quoted;  // in the update log
    };
    // The package on the odd path is read once into its private copy; no
    // shell line names the path.
    std::vector<Case> cases = {{{"-local", path, "all", "-wait"},
                                "update reads " + path + "/Program.bin once into /tmp/Program.bin"},
                               {{"-local", "/mnt/usb/", "all", "-wait"}, ""}};
    for (const std::string& v : kHostile) {
        cases.push_back({{"-tftp", v, "all", "-check"}, "invalid remote address"});
        cases.push_back({{"-ftp", "127.0.0.1", "all", "-check", "-u", v, "-p", v + "!"},
                         "ftpget -u " + Quote(v) + " -p ******"});
        cases.push_back({{"-mycloud", "http://127.0.0.1/" + v, "all", "-check"}, ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        RunResult r = RunUpdate(c.args);
        EXPECT_FALSE(pwned()) << r.out;
        EXPECT_THAT(UpdateLog(), HasSubstr(c.quoted));
        if (c.args.back() == "-wait") {
            EXPECT_EQ(r.status, 0) << r.out;
            ExpectPartitions({"uimage", "program", "web"});
        }
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
