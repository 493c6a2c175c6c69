// Check-only updates (-check) of packages made by update-pack, fetched by
// every protocol inside the simulated recorder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "devsim_fixture.h"

namespace {

using devsim::DevsimTest;
using devsim::ReadFile;
using devsim::RunResult;
using devsim::WriteFile;
using testing::HasSubstr;
using testing::Not;

constexpr const char* kBoard = "BRD-K700-Q08@48-X";
constexpr const char* kLocalInner = "QTPXV300R006B20";
constexpr const char* kLocalPub = "B0140P10";
constexpr const char* kNewerPub = "B0140P17";

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

int HostShell(const std::string& line) {
    return std::system(line.c_str());
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
    return out;
}

// Keys and sub-image files shared by every test of the suite.
class Material {
  public:
    static Material& Get() {
        static Material m;
        return m;
    }
    std::string dir;
    std::string pack;

  private:
    Material() {
        dir = devsim::Sandbox::BuildDir() + "/e2e-material";
        pack = devsim::Sandbox::BuildDir() + "/bin/update-pack";
        std::filesystem::create_directories(dir);
        for (const char* who : {"vendor", "stranger"}) devsim::SignerKeys(who);
        WriteFile(dir + "/uImage.bin", RandomBytes(300 * 1024, 1));
        WriteFile(dir + "/program.img", RandomBytes(700 * 1024, 2));
        WriteFile(dir + "/web.img", RandomBytes(64 * 1024, 3));
    }
};

struct PackOptions {
    std::string inner = "QTPXV300R006B21";
    std::string pub = kNewerPub;
    std::string board = kBoard;
    std::string key = "vendor";  // empty: unsigned
    std::string extra;
};

class CheckTest : public DevsimTest {
  protected:
    void SetUp() override {
        DevsimTest::SetUp();
        SetVersion(std::string("PUB:") + kLocalPub + "\nNEW:" + kLocalPub + "\nINN:" + kLocalInner +
                   "\nBUILD:2026-11-30 10:00:00\n");
        SetBoardType(kBoard);
        SetUbootRev("U-Boot 2020.01");
    }

    // Makes a package with update-pack and returns its bytes.
    std::string MakePackage(const PackOptions& o = PackOptions()) {
        Material& m = Material::Get();
        std::string out = Dir() + "/Program.bin";
        std::string cmd = Quote(m.pack) + " create --quiet -o " + Quote(out) + " --inner " +
                          Quote(o.inner) + " --pub " + Quote(o.pub) + " --board " + Quote(o.board) +
                          " --board BRD-K700-Q08@96-X" +
                          " --image uimage=" + Quote(m.dir + "/uImage.bin") + "@0x0" +
                          " --image program=" + Quote(m.dir + "/program.img") +
                          " --image web=" + Quote(m.dir + "/web.img") + " " + o.extra;
        if (!o.key.empty()) cmd += " --key " + Quote(m.dir + "/" + o.key + "/pri_key");
        EXPECT_EQ(HostShell(cmd + " > /dev/null"), 0) << cmd;
        return ReadFile(out);
    }

    void InstallPublicKey(const std::string& who = "vendor") {
        SetPubKey(ReadFile(Material::Get().dir + "/" + who + "/pub_key"));
    }

    // Every partition of the eMMC image still reads as it was made: zeros.
    void ExpectPartitionsUntouched() {
        for (const auto& p : Partitions()) {
            std::string head = ReadPartition(p.number, 0, 64 * 1024);
            EXPECT_EQ(head, std::string(head.size(), '\0')) << "partition " << p.number;
        }
    }

    void ExpectNoRebootAndServicesKept(const RunResult& r) {
        EXPECT_EQ(r.SigtermCount(), 0);
        EXPECT_FALSE(r.RebootRequested());
        EXPECT_TRUE(r.ToolCalls("pg_ctl").empty());
        EXPECT_TRUE(r.ToolCalls("mt").empty());
        EXPECT_THAT(UpdateLog(), Not(HasSubstr("cp lib and tools.")));
        EXPECT_FALSE(ChangedByRun("/var/cmdtmp/busybox"));
    }

    void ExpectPassed(const RunResult& r) {
        EXPECT_EQ(r.status, 0) << r.out << r.err << r.harness;
        EXPECT_THAT(r.out, HasSubstr("Begin to start watch!"));
        EXPECT_THAT(r.out, Not(HasSubstr("load or update failed")));
        ExpectNoRebootAndServicesKept(r);
        ExpectPartitionsUntouched();
    }
};

TEST_F(CheckTest, SignedPackageByTftp) {
    std::string pkg = MakePackage();
    InstallPublicKey();
    Serve("Program.bin", pkg);
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    ExpectPassed(r);
    std::string log = UpdateLog();
    EXPECT_THAT(log,
                HasSubstr("Start update process: /usr/bin/update -tftp 127.0.0.1 all -check "));
    EXPECT_THAT(log, HasSubstr("loading cmd: mkdir -p /tmp;tftp -g -r Program.bin -l "
                               "/tmp/Program.bin 127.0.0.1 -b 8192 2>>/var/log/update.log"));
    EXPECT_THAT(log, HasSubstr("Head DigSig is equal to DigSigResult!"));
    EXPECT_THAT(log, HasSubstr("Count sha256 over!"));
    EXPECT_EQ(ReadDevice("/tmp/Program.bin"), pkg);
}

// Then each try hangs and is killed: neither the runner's message about it nor
// any other line shows the password in clear.
TEST_F(CheckTest, SignedPackageByFtpWithLogin) {
    std::string pkg = MakePackage();
    InstallPublicKey();
    Serve("Program.bin", pkg);
    SetFtpLogin("operator", "s3cr;et");
    RunResult r = RunUpdate(
        {"-ftp", "127.0.0.1", "all", "-check", "-username", "operator", "-password", "s3cr;et"});
    ExpectPassed(r);
    EXPECT_THAT(UpdateLog(), HasSubstr("ftpget -u operator -p ******"));
    AddFault("ftp-stall");
    r = Shell(
        "update -ftp 127.0.0.1 all -check -u operator -p 's3cr;et' & for i in 1 2 3; do "
        "until p=$(pidof ftpget); do usleep 20000; done; kill -9 $p; "
        "while [ -e /proc/$p ]; do usleep 20000; done; done; wait $!");
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_THAT(UpdateLog(), Not(HasSubstr("s3cr;et")));
    EXPECT_THAT(UpdateLog(), HasSubstr("Abnormal signal termination, exit status: 9 cmd: mkdir "
                                       "-p /tmp;ftpget -u operator -p ******"));
}

TEST_F(CheckTest, SignedPackageOverHttp) {
    std::string pkg = MakePackage();
    InstallPublicKey();
    Serve("Program.bin", pkg);
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    ExpectPassed(r);
    // The download fills the first half of the rate: at most 50 while it runs.
    ASSERT_FALSE(r.rates.empty());
    for (const auto& rate : r.rates) EXPECT_LE(std::stoi(rate), 50) << rate;
    EXPECT_EQ(r.rates.back(), "50");
    EXPECT_EQ(ReadDevice("/tmp/download_stat.log"), "Stat:0,DownladRate:100");
}

// A read of the rate file between its truncation and its write is no value.
TEST(DevsimFixtureTest, RatesSkipEmptyReads) {
    EXPECT_EQ(devsim::RateLines("20\n\n 35\r\n50"), (std::vector<std::string>{"20", "35", "50"}));
}

TEST_F(CheckTest, SignedPackageOverHttps) {
    std::string pkg = MakePackage();
    InstallPublicKey();
    Serve("Program.bin", pkg);
    RunResult r = RunUpdate({"-mycloud", "https://127.0.0.1/Program.bin", "all", "-check"});
    ExpectPassed(r);
    EXPECT_EQ(ReadDevice("/tmp/Program.bin"), pkg);
}

TEST_F(CheckTest, LocalPackageIsOnlyRead) {
    std::string pkg = MakePackage();
    InstallPublicKey();
    WriteState("mnt/usb/Program.bin", pkg);
    RunResult r = RunUpdate({"-local", "/mnt/usb", "all", "-check"});
    ExpectPassed(r);
    EXPECT_FALSE(ChangedByRun("/mnt/usb/Program.bin"));
    EXPECT_EQ(ReadDevice("/mnt/usb/Program.bin"), pkg);
}

TEST_F(CheckTest, ExistingDownloadIsUsedWithoutTransfer) {
    std::string pkg = MakePackage();
    WriteState("tmp/Program.bin", pkg);
    SetServers("none");
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    ExpectPassed(r);
}

TEST_F(CheckTest, CorruptBodyFailsTheCrc) {
    std::string pkg = MakePackage();
    pkg[pkg.size() / 2] ^= 0x01;
    InstallPublicKey();
    Serve("Program.bin", pkg);
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    EXPECT_EQ(r.status, 247);  // -9
    EXPECT_THAT(r.out, HasSubstr("update check crc failed."));
    EXPECT_THAT(r.out, HasSubstr("load or update failed!err:-9"));
    ExpectNoRebootAndServicesKept(r);
    ExpectPartitionsUntouched();
    // A failed check removes what it fetched and the rate file.
    bool exists = true;
    ReadDevice("/tmp/Program.bin", &exists);
    EXPECT_FALSE(exists);
    ReadDevice("/tmp/update_rate.log", &exists);
    EXPECT_FALSE(exists);
}

TEST_F(CheckTest, ChangedByteOutsideTheBodyFailsTheSignature) {
    std::string pkg = MakePackage();
    pkg[3000] ^= 0x5A;  // between the table and the body: not under the CRC
    InstallPublicKey();
    WriteState("mnt/usb/Program.bin", pkg);
    RunResult r = RunUpdate({"-local", "/mnt/usb", "all", "-check"});
    EXPECT_EQ(r.status, 244);  // -12
    EXPECT_THAT(r.out, HasSubstr("update check digital signature failed."));
    EXPECT_EQ(ReadDevice("/mnt/usb/Program.bin"), pkg);
    ExpectNoRebootAndServicesKept(r);
    ExpectPartitionsUntouched();
}

TEST_F(CheckTest, PackageSignedByAnotherKeyIsRefused) {
    PackOptions o;
    o.key = "stranger";
    std::string pkg = MakePackage(o);
    InstallPublicKey("vendor");
    Serve("Program.bin", pkg);
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("Failed to get Image head."));
    ExpectNoRebootAndServicesKept(r);
}

TEST_F(CheckTest, OtherBoardIsRefused) {
    PackOptions o;
    o.board = "BRD-K900-Q16@96-X";
    Serve("Program.bin", MakePackage(o));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    EXPECT_EQ(r.status, 248);  // -8
    EXPECT_THAT(r.out, HasSubstr("Board type is not compatible."));
    EXPECT_THAT(r.out, HasSubstr("check update valid failed."));
    ExpectNoRebootAndServicesKept(r);
}

TEST_F(CheckTest, SameOrOlderVersionIsRefusedUnlessForced) {
    for (const char* pub : {kLocalPub, "B0139P05"}) {
        PackOptions o;
        o.pub = pub;
        Serve("Program.bin", MakePackage(o));
        RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
        EXPECT_EQ(r.status, 249) << pub;  // -7
        EXPECT_THAT(r.out, HasSubstr("Local version bigger than or equal as update version, not "
                                     "need update!"));
        ExpectPassed(
            RunUpdate({"-tftp", "127.0.0.1", "all", "-check", pub == kLocalPub ? "-f" : "-force"}));
    }
}

TEST_F(CheckTest, ForbiddenCrossGradeIsRefused) {
    SetVersion(std::string("PUB:") + kLocalPub + "\nINN:QTPXV300R006B13\n");
    PackOptions o;
    o.inner = "QTPXV300R006B70";
    Serve("Program.bin", MakePackage(o));
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    EXPECT_EQ(r.status, 243);  // -13
    EXPECT_THAT(r.out,
                HasSubstr("Local version is QTPXV300R006B13, but New version is QTPXV300R006B70"));
}

TEST_F(CheckTest, EmptySubImageTableIsRefused) {
    PackOptions unsigned_package;
    unsigned_package.key = "";
    std::string pkg = MakePackage(unsigned_package);
    pkg.replace(2048, 4, std::string(4, '\0'));  // count 0: outside the CRC
    Serve("Program.bin", pkg);
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    EXPECT_EQ(r.status, 255);  // -1
    EXPECT_THAT(r.out, HasSubstr("update failed! please try again!"));
    // The failure shows in the rate file before the check's clean-up removes it.
    EXPECT_THAT(r.rates, testing::Contains("101"));
    bool exists = true;
    ReadDevice("/tmp/update_rate.log", &exists);
    EXPECT_FALSE(exists);
}

TEST_F(CheckTest, TftpRefusingThreeTimesFails) {
    Serve("Program.bin", MakePackage());
    AddFault("tftp-refuse=3");
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    EXPECT_EQ(r.status, 255);
    EXPECT_THAT(r.out, HasSubstr("load bin file failed! please try again!"));
    EXPECT_GE(r.seconds, 3.0);  // a one-second pause after each of the three tries
    ExpectNoRebootAndServicesKept(r);
}

TEST_F(CheckTest, TftpRefusingTwiceThenServingSucceeds) {
    Serve("Program.bin", MakePackage());
    AddFault("tftp-refuse=2");
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-check"});
    ExpectPassed(r);
    EXPECT_GE(r.seconds, 2.0);
}

TEST_F(CheckTest, NotFoundPageIsNotAPackage) {
    AddFault("http-404");
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.out, HasSubstr("File too small, maybe no file on website."));
    EXPECT_THAT(r.out, HasSubstr("Failed to get Image head."));
    EXPECT_THAT(r.rates, testing::Contains("101"));
}

TEST_F(CheckTest, DownloadWithoutLengthIsRefused) {
    Serve("Program.bin", MakePackage());
    AddFault("http-nolength");
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.out, HasSubstr("File too small, maybe no file on website."));
}

TEST_F(CheckTest, SlowStallAfterSomeDataResumes) {
    std::string pkg = MakePackage();
    Serve("Program.bin", pkg);
    AddFault("http-stall=200000");
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    ExpectPassed(r);
    EXPECT_GE(r.seconds, 30.0);
    EXPECT_EQ(ReadDevice("/tmp/Program.bin"), pkg);
    EXPECT_THAT(UpdateLog(), HasSubstr("Http breakpoint transmission fails. err is 28/200"));
}

TEST_F(CheckTest, SlowStallBeforeAnyDataFails) {
    Serve("Program.bin", MakePackage());
    AddFault("http-stall=0");
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    EXPECT_EQ(r.status, 4);
    EXPECT_THAT(r.out, HasSubstr("Fail to call curl_easy_perform, err:28"));
    bool exists = true;
    ReadDevice("/tmp/Program.bin", &exists);
    EXPECT_FALSE(exists);
    ReadDevice("/tmp/download_stat.log", &exists);
    EXPECT_FALSE(exists);
}

TEST_F(CheckTest, SecondUpdaterIsRefusedWhileOneRuns) {
    Serve("Program.bin", MakePackage());
    AddFault("tftp-refuse=2");  // keeps the first run busy for two seconds
    // The second starts a second after the first runs from /tmp/memupdate. Under qemu-user
    // (the aarch64 root) a running binary is not protected by ETXTBSY, so the
    // second's own copy to /tmp/memupdate would overwrite the first in place:
    // there the second is started as /tmp/memupdate, which counts the same way.
    const std::string second =
        DeviceLoader() == "ld-linux-x86-64.so.2" ? "/usr/bin/update" : "/tmp/memupdate";
    RunResult r = Shell(
        "/usr/bin/update -tftp 127.0.0.1 all -check > /tmp/first.out 2>&1 & "
        "while ! pidof memupdate >/dev/null; do sleep 0.1; done; sleep 1; " +
        second + " -tftp 127.0.0.1 all -check; echo \"second=$?\"; wait; cat /tmp/first.out");
    EXPECT_THAT(r.out, HasSubstr("Update is running, please wait."));
    EXPECT_THAT(r.out, HasSubstr("second=255"));
    EXPECT_THAT(r.out, HasSubstr("Begin to start watch!"));  // the first one went on
}

// A write run whose package fails its CRC: nothing written, then the reboot.
TEST_F(CheckTest, FailedWriteRunReboots) {
    std::string pkg = MakePackage();
    pkg[5000] = static_cast<char>(~pkg[5000]);
    Serve("Program.bin", pkg);
    SetRebootGrace(8);
    RunResult r = RunUpdate({"-tftp", "127.0.0.1", "all", "-wait"});
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("update check crc failed.\nupdate All.bin failed! ulRet=-9"));
    EXPECT_THAT(r.out, HasSubstr("Update failed. System reboot soon..."));
    EXPECT_THAT(r.out, Not(HasSubstr("Update success.")));
    // -wait notwithstanding, a failed update reboots: three signals, then 'r'.
    EXPECT_EQ(r.SigtermCount(), 3);
    EXPECT_TRUE(r.RebootRequested());
    EXPECT_THAT(ReadDevice("/var/runtime/log/update.log"),
                HasSubstr("Update failed. System reboot soon..."));
    ExpectPartitionsUntouched();
    // The tool preparation found the device's loader and bound its copy in RAM.
    EXPECT_TRUE(ChangedByRun("/var/cmdtmp/" + DeviceLoader()));
    EXPECT_THAT(r.err, Not(HasSubstr(" on /lib/"))) << r.err;
}

}  // namespace
