// Check-only updates (-check) of packages made by update-pack, fetched by
// every protocol inside the simulated recorder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "devsim_fixture.h"

namespace {

using devsim::DevsimTest;
using devsim::Quote;
using devsim::RandomBytes;
using devsim::ReadFile;
using devsim::RunResult;
using devsim::WriteFile;
using testing::HasSubstr;
using testing::Not;

constexpr const char* kBoard = "BRD-K700-Q08@48-X";
constexpr const char* kLocalInner = "QTPXV300R006B20";
constexpr const char* kLocalPub = "B0140P10";
constexpr const char* kNewerPub = "B0140P17";

int HostShell(const std::string& line) {
    return std::system(line.c_str());
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
        cmd += o.key.empty() ? " --unsigned" : " --key " + Quote(m.dir + "/" + o.key + "/pri_key");
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

TEST_F(CheckTest, SignedPackageOverHttpAndHttps) {
    std::string pkg = MakePackage();
    InstallPublicKey();
    Serve("Program.bin", pkg);
    // 4431: a certificate that names the address as an iPAddress only.
    for (const char* origin : {"http://127.0.0.1", "https://127.0.0.1", "https://127.0.0.1:4431"}) {
        RunResult r =
            RunUpdate({"-mycloud", std::string(origin) + "/Program.bin", "all", "-check"});
        SCOPED_TRACE(origin);
        ExpectPassed(r);
        EXPECT_EQ(ReadDevice("/tmp/Program.bin"), pkg);
        // The download fills the first half of the rate: at most 50 while it runs.
        ASSERT_FALSE(r.rates.empty());
        for (const auto& rate : r.rates) EXPECT_LE(std::stoi(rate), 50) << rate;
        EXPECT_EQ(r.rates.back(), "50");
        EXPECT_EQ(ReadDevice("/tmp/download_stat.log"), "Stat:0,DownladRate:100");
    }
}

// A read of the rate file between its truncation and its write is no value.
TEST(DevsimFixtureTest, RatesSkipEmptyReads) {
    EXPECT_EQ(devsim::RateLines("20\n\n 35\r\n50"), (std::vector<std::string>{"20", "35", "50"}));
}

TEST_F(CheckTest, ExistingDownloadIsUsedWithoutTransfer) {
    std::string pkg = MakePackage();
    WriteState("tmp/Program.bin", pkg);
    SetServers("none");
    RunResult r = RunUpdate({"-mycloud", "http://127.0.0.1/Program.bin", "all", "-check"});
    ExpectPassed(r);
}

// A check run's outcome for a changed package, device or server: its code and
// the lines that say why. A refused check writes nothing, keeps the services,
// does not reboot, leaves a package on the operator's media as it was and
// removes what it fetched and the rate file, after showing the failure there.
struct Outcome {
    Outcome(const char* n, int st, const char* line = "") : name(n), status(st), says(line) {}
    const char* name;
    int status;
    const char* says;  // a line that says why
    const char* fault = nullptr;
    std::vector<std::string> args = {"-tftp", "127.0.0.1", "all", "-check"};
    PackOptions pack;
    size_t flip_at = 0;  // a byte of the package XORed with flip (0: none)
    char flip = 0;
    const char* version = nullptr;  // the device's version file, if not the default
    double min_seconds = 0;

    Outcome& Fault(const char* f) { return fault = f, *this; }
    Outcome& Args(std::vector<std::string> a) { return args = std::move(a), *this; }
    Outcome& Pack(std::string PackOptions::*field, const char* v) { return pack.*field = v, *this; }
    Outcome& Flip(size_t at, char x) { return flip_at = at, flip = x, *this; }
    Outcome& Version(const char* v) { return version = v, *this; }
    Outcome& AtLeast(double s) { return min_seconds = s, *this; }
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << o.name;
}
class CheckOutcome : public CheckTest, public testing::WithParamInterface<Outcome> {};

TEST_P(CheckOutcome, Run) {
    const Outcome& o = GetParam();
    std::string pkg = MakePackage(o.pack);
    if (o.flip != 0) pkg[o.flip_at] ^= o.flip;
    if (!o.pack.key.empty()) InstallPublicKey();
    if (o.version) SetVersion(o.version);
    if (o.fault) AddFault(o.fault);
    const bool local = o.args[0] == "-local";
    local ? WriteState("mnt/usb/Program.bin", pkg) : Serve("Program.bin", pkg);
    RunResult r = RunUpdate(o.args);
    EXPECT_GE(r.seconds, o.min_seconds);
    EXPECT_THAT(r.out, HasSubstr(o.says));
    EXPECT_FALSE(local && ChangedByRun("/mnt/usb/Program.bin"));  // only read
    if (o.status == 0) return ExpectPassed(r);
    EXPECT_EQ(r.status, o.status) << r.out;
    ExpectNoRebootAndServicesKept(r);
    ExpectPartitionsUntouched();
    EXPECT_THAT(r.rates, testing::Contains("101"));
    bool exists = true;
    ReadDevice("/tmp/update_rate.log", &exists);
    EXPECT_FALSE(exists);
    if (local) return;
    ReadDevice("/tmp/Program.bin", &exists);
    EXPECT_FALSE(exists);
}

const std::vector<std::string> kHttp = {"-mycloud", "http://127.0.0.1/Program.bin", "all",
                                        "-check"};
const char* const kTooSmall = "File too small, maybe no file on website.";
const char* const kNotNeeded = "Local version bigger than or equal as update version";
auto kPub = &PackOptions::pub;
auto kKey = &PackOptions::key;

INSTANTIATE_TEST_SUITE_P(
    Checks, CheckOutcome,
    testing::Values(
        Outcome("LocalPackage", 0).Args({"-local", "/mnt/usb", "all", "-check"}),
        Outcome("CorruptBody", 247, "update check crc failed.").Flip(600000, 1),
        // Between the table and the body: not under the CRC.
        Outcome("ChangedByteOutsideTheBody", 244, "update check digital signature failed.")
            .Args({"-local", "/mnt/usb", "all", "-check"})
            .Flip(3000, 0x5A),
        Outcome("SignedByAnotherKey", 255, "Failed to get Image head.").Pack(kKey, "stranger"),
        Outcome("OtherBoard", 248, "Board type is not compatible.")
            .Pack(&PackOptions::board, "BRD-K900-Q16@96-X"),
        Outcome("SameVersion", 249, kNotNeeded).Pack(kPub, kLocalPub),
        Outcome("OlderVersion", 249, kNotNeeded).Pack(kPub, "B0139P05"),
        Outcome("SameVersionForced", 0)
            .Pack(kPub, kLocalPub)
            .Args({"-tftp", "127.0.0.1", "all", "-check", "-f"}),
        Outcome("OlderVersionForced", 0)
            .Pack(kPub, "B0139P05")
            .Args({"-tftp", "127.0.0.1", "all", "-check", "-force"}),
        Outcome("ForbiddenCrossGrade", 243,
                "Local version is QTPXV300R006B13, but New version "
                "is QTPXV300R006B70")
            .Pack(&PackOptions::inner, "QTPXV300R006B70")
            .Version("PUB:B0140P10\nINN:QTPXV300R006B13\n"),
        // An unsigned package whose count (outside the CRC) says no sub-image.
        Outcome("EmptySubImageTable", 255, "update failed! please try again!")
            .Pack(kKey, "")
            .Flip(2048, 6),
        // A one-second pause after each failed try.
        Outcome("TftpRefusingThreeTimes", 255, "load bin file failed! please try again!")
            .Fault("tftp-refuse=3")
            .AtLeast(3),
        Outcome("TftpRefusingTwiceThenServing", 0).Fault("tftp-refuse=2").AtLeast(2),
        Outcome("NotFoundPage", 2, kTooSmall).Fault("http-404").Args(kHttp),
        Outcome("DownloadWithoutLength", 2, kTooSmall).Fault("http-nolength").Args(kHttp),
        Outcome("SlowStallBeforeAnyData", 4, "Fail to call curl_easy_perform, err:28")
            .Fault("http-stall=0")
            .Args(kHttp),
        // 4432: a certificate of the test CA for 127.0.0.2 (common name 127.0.0.1).
        Outcome("CertificateOfAnotherAddress", 4, "Fail to call curl_easy_perform, err:60")
            .Args({"-mycloud", "https://127.0.0.1:4432/Program.bin", "all", "-check"})),
    [](const testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

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
