// Self tests of the simulated recorder: commands run inside the sandbox (no
// `update` needed) and the results are checked from the host side.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "devsim_fixture.h"

namespace devsim {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

std::string HostCommand(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

// Leftovers of runs under DIR: loop devices, mounts, processes naming it and
// processes chrooted into a sandbox under it.
std::string Leftovers(const std::string& dir) {
    std::string found;
    for (const auto& line : SplitLines(HostCommand("losetup -a")))
        if (line.find(dir) != std::string::npos) found += "loop: " + line + "\n";
    for (const auto& line : SplitLines(ReadFile("/proc/self/mountinfo")))
        if (line.find(dir) != std::string::npos) found += "mount: " + line + "\n";
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string cmdline = ReadFile(entry.path().string() + "/cmdline");
        for (auto& c : cmdline)
            if (c == '\0') c = ' ';
        std::error_code ec;
        const std::string root = fs::read_symlink(entry.path() / "root", ec).string();
        const bool inside = root.compare(0, dir.size() + 1, dir + "/") == 0;
        if ((inside || (cmdline.find(dir + "/") != std::string::npos &&
                        cmdline.find("devsim_test") == std::string::npos)) &&
            ReadFile(entry.path().string() + "/stat").find(" Z ") == std::string::npos)
            found += "process: " + entry.path().filename().string() + " " + cmdline + "\n";
    }
    return found;
}

class DevsimSelfTest : public DevsimTest {};

TEST_F(DevsimSelfTest, FetchesFiftyMegabytesByEveryProtocol) {
    const std::string big = RandomBytes(50u << 20, 7);
    Serve("big.bin", big);
    RunResult r = Shell(
        "cd /tmp && tftp -g -r big.bin -l /tmp/t.bin 127.0.0.1 -b 8192 && echo tftp-ok;"
        "ftpget -u admin -p ravel 127.0.0.1 /tmp/f.bin big.bin && echo ftp-ok;"
        "devsim-curl http://127.0.0.1/big.bin /tmp/h.bin && echo http-ok;"
        "devsim-curl https://127.0.0.1/big.bin /tmp/s.bin && echo https-ok");
    ASSERT_EQ(r.status, 0) << r.err << r.harness;
    for (const char* word : {"tftp-ok", "ftp-ok", "http-ok", "https-ok"})
        EXPECT_THAT(r.out, HasSubstr(word));
    for (const char* f : {"/tmp/t.bin", "/tmp/f.bin", "/tmp/h.bin", "/tmp/s.bin"})
        EXPECT_TRUE(ReadDevice(f) == big) << f << " differs from the served file";
}

TEST_F(DevsimSelfTest, HttpsVerifiesTheServerCertificate) {
    Serve("p.bin", "x");
    RunResult good = Shell("devsim-curl https://localhost/p.bin /tmp/a");
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    // Another CA in the device's bundle: the test server's certificate must be refused.
    const std::string other = Dir() + "/other";
    HostCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=other "
        "-keyout " +
        other + ".key -out " + other + ".crt -days 1 2>/dev/null");
    WriteState("etc/ssl/certs/ca-certificates.crt", ReadFile(other + ".crt"));
    RunResult bad = Shell("devsim-curl https://127.0.0.1/p.bin /tmp/b");
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.out, HasSubstr("result 60 "));  // peer certificate cannot be authenticated
}

TEST_F(DevsimSelfTest, FtpLoginIsTheRunsChoice) {
    Serve("a.bin", "abc");
    SetFtpLogin("op", "secret");
    RunResult r = Shell(
        "ftpget -u admin -p ravel 127.0.0.1 /tmp/a a.bin; echo rc=$?;"
        "ftpget -u op -p secret 127.0.0.1 /tmp/b a.bin; echo rc=$?");
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"rc=1", "rc=0"}));
    EXPECT_EQ(ReadDevice("/tmp/b"), "abc");
}

TEST_F(DevsimSelfTest, DdIntoPartitionIsReadBackFromTheHost) {
    // The package layout trick the updater uses: skip=<offset> iflag=skip_bytes.
    const std::string pkg = std::string(1000, 'h') + "PROGRAM-IMAGE";
    WriteState("tmp/pkg.bin", pkg);
    RunResult r =
        Shell("dd if=/tmp/pkg.bin of=/dev/mmcblk0p5  bs=1M count=2048 skip=1000 iflag=skip_bytes ");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadPartition(5, 0, 13), "PROGRAM-IMAGE");
    EXPECT_EQ(ReadPartition(4, 0, 4), std::string(4, '\0'));
    ASSERT_EQ(Partitions().size(), 15u);
    EXPECT_EQ(Partition(15).name, "mdc.bin");
    EXPECT_EQ(Partition(5).size, 16u << 20);
}

TEST_F(DevsimSelfTest, FullSizeDiskHasThePlatformSizes) {
    SetDisk("full");
    RunResult r = Shell("blockdev --getsize64 /dev/mmcblk0p5; blockdev --getsize64 /dev/mmcblk0p1");
    ASSERT_EQ(r.status, 0) << r.err << r.harness;
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"2147483648", "33554432"}));
}

TEST_F(DevsimSelfTest, ProcShowsTheSandboxAndTheDevice) {
    SetBoardType("NVR-3216");
    WriteProc("mtd", "dev:    size   erasesize  name\n");
    RunResult r = Shell(
        "readlink /proc/self/exe; sleep 30 & p=$!; [ \"$(pidof sleep)\" = \"$p\" ] && echo "
        "pidof-ok;"
        "ps | grep -c 'sleep 30' ; kill $p; cat /proc/board_type; cat /proc/mtd; cat "
        "/proc/uboot_rev; echo rc=$?;"
        "cat /proc/cmdline; wc -c < /proc/self/status | grep -qv '^0$' && echo status-ok; ls /proc "
        "| grep -c '^[0-9]'; cat /proc/version");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = SplitLines(r.out);
    ASSERT_GE(lines.size(), 10u) << r.out;
    EXPECT_EQ(lines[0], "/bin/busybox");
    EXPECT_EQ(lines[1], "pidof-ok");
    EXPECT_EQ(lines[3], "NVR-3216");
    EXPECT_EQ(lines[4], "dev:    size   erasesize  name");
    EXPECT_EQ(lines[5], "rc=1");  // no uboot_rev in this state: absent, not the host's
    EXPECT_THAT(lines[6], HasSubstr("root=/dev/mmcblk0p5"));
    EXPECT_EQ(lines[7], "status-ok");
    // Only the sandbox's processes: init, procfs, servers, the shell and a few.
    EXPECT_LT(std::stoi(lines[8]), 20);
    // cat copies with sendfile, which stops at the reported size: the whole
    // text must come through (the same kernel as the host's).
    EXPECT_EQ(lines[9] + "\n", ReadFile("/proc/version"));
}

TEST_F(DevsimSelfTest, ProcWritesLandInTheRunDirectoryOnly) {
    RunResult r = Shell(
        "echo 3 > /proc/sys/vm/drop_caches; echo rc=$?; echo 1 > /proc/sys/kernel/sysrq; echo "
        "rc=$?;"
        "echo r > /proc/rmc/test; echo rc=$?");
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"rc=0", "rc=1", "rc=0"}));
    EXPECT_EQ(ReadProcOut("sys/vm/drop_caches"), "3\n");
    EXPECT_EQ(ReadProcOut("rmc/test"), "r\n");
    EXPECT_TRUE(r.RebootRequested());
}

TEST_F(DevsimSelfTest, SigtermToProcessOneIsRecordedAndCutsThePower) {
    SetRebootGrace(0.5);
    RunResult r = Shell("kill -TERM 1; sleep 0.1; kill -TERM 1; sleep 30; echo survived");
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(r.SigtermCount(), 2);
    EXPECT_TRUE(r.PowerCut());
    EXPECT_THAT(r.out, Not(HasSubstr("survived")));
    EXPECT_LT(r.seconds, 10);
}

TEST_F(DevsimSelfTest, RateFileContentsAreRecordedInOrder) {
    RunResult r = Shell(
        "for p in 0 20 60 99 100; do printf $p > /tmp/update_rate.log; sleep 0.05; done; rm "
        "/tmp/update_rate.log");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.rates, (std::vector<std::string>{"0", "20", "60", "99", "100"}));
}

TEST_F(DevsimSelfTest, TftpRefusesTheFirstRequestsWhenAsked) {
    Serve("Program.bin", "payload");
    AddFault("tftp-refuse=2");
    RunResult r = Shell(
        "for i in 1 2 3; do tftp -g -r Program.bin -l /tmp/Program.bin 127.0.0.1 -b 8192 "
        "2>/dev/null; echo rc=$?; "
        "sleep 0.2; done");
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"rc=1", "rc=1", "rc=0"}));
    EXPECT_EQ(ReadDevice("/tmp/Program.bin"), "payload");
}

TEST_F(DevsimSelfTest, HttpFaultNotFoundAnswersAShortPage) {
    Serve("Program.bin", RandomBytes(20000, 1));
    AddFault("http-404");
    RunResult r = Shell("devsim-curl http://127.0.0.1/Program.bin /tmp/p");
    EXPECT_THAT(r.out, HasSubstr("result 0 response 404 length"));
    EXPECT_LT(ReadDevice("/tmp/p").size(), 10240u);
}

TEST_F(DevsimSelfTest, HttpFaultNoLengthAnnouncesNone) {
    const std::string data = RandomBytes(30000, 2);
    Serve("Pro gram.bin", data);  // the name comes URL-encoded
    AddFault("http-nolength");
    RunResult r = Shell("devsim-curl http://127.0.0.1/Pro%20gram.bin /tmp/p");
    EXPECT_THAT(r.out, HasSubstr("result 0 response 200 length -1 bytes 30000"));
    EXPECT_TRUE(ReadDevice("/tmp/p") == data);
}

TEST_F(DevsimSelfTest, SlowHttpFaultStallIsResumedFromTheOffset) {
    const std::string data = RandomBytes(100000, 3);
    Serve("Program.bin", data);
    AddFault("http-stall=40000");
    RunResult r = Shell("devsim-curl https://127.0.0.1/Program.bin /tmp/p 2");
    EXPECT_THAT(r.out, HasSubstr("result 0 response 206 length 60000 bytes 100000 attempts 2"));
    EXPECT_TRUE(ReadDevice("/tmp/p") == data);
}

TEST_F(DevsimSelfTest, StandInsLogTheirCallsAndFailOnRequest) {
    WriteState("tmp/img.bin", std::string(16, 'a') + "LOGO");
    AddFault("tool-fail=mmcwrite:1");
    RunResult r = Shell(
        "/usr/bin/mmcwrite /tmp/img.bin 0x10 0x4 0x200000 0x200000; echo rc=$?;"
        "mkdir -p /var/cmdtmp && cp /usr/bin/mmcwrite /var/cmdtmp/ && "
        "/var/cmdtmp/mmcwrite /tmp/img.bin 0x10 0x4 0x200000 0x200000; echo rc=$?;"
        "loadtools /tmp/img.bin CfgInfo; echo rc=$?; pg_ctl stop -D /var/fs_disk/database -m fast");
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"rc=1", "rc=0", "rc=0"}));
    EXPECT_EQ(ReadDisk(0x200000, 4), "LOGO");
    ASSERT_EQ(r.ToolCalls("mmcwrite").size(), 2u);
    EXPECT_EQ(r.ToolCalls("mmcwrite")[1],
              (std::vector<std::string>{"mmcwrite", "/tmp/img.bin", "0x10", "0x4", "0x200000",
                                        "0x200000"}));
    EXPECT_EQ(r.ToolCalls("pg_ctl").size(), 1u);
    EXPECT_EQ(ReadDevice("/var/devsim/kept/loadtools.CfgInfo"), std::string(16, 'a') + "LOGO");
}

TEST_F(DevsimSelfTest, ToolPreparationMountsStayInTheSandbox) {
    // The updater's own command lines: copies of busybox and /usr/sbin bound
    // over the originals must work inside and never show on the host.
    RunResult r = Shell(
        "mkdir -p /var/cmdtmp; cp -rf /bin/busybox /var/cmdtmp/; cp -rf /usr/sbin/ /var/cmdtmp/;"
        "mount --bind /var/cmdtmp/busybox /bin/busybox && echo bind-ok;"
        "ls -l /lib | grep 'ld-' | grep -v '>' | wc -l; killall -0 devsim-procfs && echo "
        "killall-sees");
    EXPECT_THAT(r.out, HasSubstr("bind-ok"));
    EXPECT_THAT(r.out, HasSubstr("\n1\n"));
    EXPECT_EQ(Leftovers(OutDir()), "");
}

TEST_F(DevsimSelfTest, NetworkIsLoopbackOnly) {
    RunResult r =
        Shell("ip -o link | wc -l; tftp -g -r x -l /tmp/x 10.0.0.1 2>/dev/null; echo rc=$?");
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"1", "rc=1"}));
}

TEST_F(DevsimSelfTest, TimeoutKillsTheRun) {
    SetTimeout(1);
    RunResult r = Shell("sleep 60");
    EXPECT_EQ(r.status, kExTimeout);
    EXPECT_LT(r.seconds, 10);
    EXPECT_EQ(Leftovers(OutDir()), "");
}

TEST_F(DevsimSelfTest, InitRefusesToRunOutsideANamespace) {
    // Fail closed: started directly on the host it must start nothing.
    const std::string init = BuildDir() + "/bin/devsim-init";
    const std::string marker = Dir() + "/ran";
    const std::string cmd =
        "DEVSIM_OUT=" + OutDir() + " " + init + " /bin/touch " + marker + " 2>/dev/null; echo $?";
    EXPECT_EQ(HostCommand(cmd), "203\n");
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(DevsimSelfTest, InitRefusesToSetUpWithoutItsOwnMountNamespace) {
    // Process 1 of a new PID (and network) namespace, but in the host's mount
    // namespace: it must refuse before mounting or starting anything.
    const std::string init = BuildDir() + "/bin/devsim-init";
    const std::string marker = Dir() + "/ran";
    auto ns = [](const char* name) {
        struct stat st {};
        stat((std::string("/proc/self/ns/") + name).c_str(), &st);
        return std::string(name) + ":" + std::to_string(st.st_ino);
    };
    const std::string cmd = "DEVSIM_OUT=" + OutDir() + " DEVSIM_HOST_NS='" + ns("mnt") + " " +
                            ns("pid") + " " + ns("net") +
                            "' DEVSIM_HOST_ROOT=1:1 DEVSIM_SELF=" + UPDATE_SOURCE_DIR +
                            "/tools/devsim unshare --pid --net --fork " + init + " /bin/touch " +
                            marker + " 2>" + Dir() + "/init.err; echo $?";
    EXPECT_EQ(HostCommand(cmd), "203\n");
    EXPECT_THAT(ReadFile(Dir() + "/init.err"), HasSubstr("mnt namespace is the host's"));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(Leftovers(Dir()), "");
}

TEST_F(DevsimSelfTest, BadCommandLinesAreRefusedWithTheirOwnCode) {
    WriteFile(Dir() + "/foreign/keep", "mine");
    const std::string build = BuildDir();
    const std::vector<std::vector<std::string>> cases = {
        {"bogus"},
        {"run", "--build", build, "--state"},
        {"run", "--build", build, "--out", OutDir(), "--", "-v"},
        {"exec", "--build", build, "--timeout", "soon", "--", "/bin/true"},
        {"exec", "--build", build, "--part-mib", "0", "--", "/bin/true"},
        {"exec", "--build", build, "--fault", "tool-fail=../../x:1", "--", "/bin/true"},
        {"exec", "--build", build, "--fault", "tool-fail=mt:once", "--", "/bin/true"},
        {"exec", "--build", build, "--servers", "smtp", "--", "/bin/true"},
        {"exec", "--build", build, "--out", Dir() + "/foreign", "--", "/bin/true"},
    };
    for (const auto& args : cases) {
        const std::string log = Dir() + "/bad.log";
        fs::remove(log);
        EXPECT_EQ(Spawn(args, log), kExUsage)
            << args[args.size() > 1 ? args.size() - 1 : 0] << ": " << ReadFile(log);
    }
    // A directory devsim did not make is left alone.
    EXPECT_EQ(ReadFile(Dir() + "/foreign/keep"), "mine");
    EXPECT_FALSE(fs::exists(Dir() + "/foreign/status"));
}

TEST_F(DevsimSelfTest, RelativePathsWithSpacesAndLinksWork) {
    // devsim run from a directory reached through a link, every path relative
    // and with a space: the servers serve it, /proc/self/exe is the device path.
    const std::string real = Dir() + "/with space";
    WriteFile(real + "/se rve/a.txt", "served\n");
    fs::create_directories(real + "/st ate");
    fs::create_symlink(real, Dir() + "/link");
    const std::string pre = "cd '" + Dir() + "/link' && bash '" + DevsimScript() + "' ";
    const std::string common = "--state 'st ate' --serve 'se rve' --out 'o ut' --build '" +
                               BuildDir() + "' --reboot-grace 0.2 ";
    EXPECT_EQ(HostCommand(pre + "exec " + common +
                          "-- /bin/sh -c 'devsim-curl https://127.0.0.1/a.txt /tmp/a >/dev/null "
                          "&& tftp -g -r a.txt -l /tmp/b 127.0.0.1 && cat /tmp/a /tmp/b' "
                          ">/dev/null 2>&1; echo $?"),
              "0\n")
        << ReadFile(real + "/o ut/servers.log");
    EXPECT_EQ(ReadFile(real + "/o ut/stdout"), "served\nserved\n");
    HostCommand(pre + "run " + common + "--update '" + BuildDir() +
                "/bin/devsim-fake-update' -- -run >/dev/null 2>&1");
    EXPECT_THAT(ReadFile(real + "/o ut/stdout"), ::testing::StartsWith("exe /usr/bin/update\n"));
    EXPECT_EQ(Leftovers(real), "");
}

TEST_F(DevsimSelfTest, RunTakesAStaticUpdateBinary) {
    // busybox-static called as "update": no libraries to copy, an applet it lacks.
    AddDevsimArgs({"--update", "/bin/busybox"});
    RunResult r = RunUpdate({});
    EXPECT_EQ(r.status, 127) << r.harness;
    EXPECT_THAT(r.err, HasSubstr("applet not found"));
}

TEST_F(DevsimSelfTest, CommandThatCannotStartIsAPrerequisiteFailure) {
    RunResult missing = Exec({"/no/such/command"});
    EXPECT_EQ(missing.status, kExPrereq);
    EXPECT_THAT(missing.err, HasSubstr("devsim: cannot run /no/such/command"));
}

TEST_F(DevsimSelfTest, RunWithoutUpdateBinaryIsAPrerequisiteFailure) {
    AddDevsimArgs({"--update", Dir() + "/no-such-update"});
    RunResult r = RunUpdate({"-v"});
    EXPECT_EQ(r.status, kExPrereq);
    EXPECT_THAT(r.harness, HasSubstr("no update binary"));
}

class DevsimRunTest : public DevsimTest {
  protected:
    void SetUp() override {
        DevsimTest::SetUp();
        AddDevsimArgs({"--update", BuildDir() + "/bin/devsim-fake-update"});
    }
};

TEST_F(DevsimRunTest, RunShowsTheDeviceState) {
    SetVersion("PUB:V5.1.2\nINN:QTPXV300R006B13\n");
    SetBoardType("NVR-3216");
    RunResult r = RunUpdate({"-v"});
    ASSERT_EQ(r.status, 0) << r.harness;
    EXPECT_EQ(r.out, "version PUB:V5.1.2\nversion INN:QTPXV300R006B13\nBoard type: NVR-3216\n");
    EXPECT_EQ(ReadOut("status"), "0\n");
}

TEST_F(DevsimRunTest, RunRelocatesReportsAndReboots) {
    RunResult r = RunUpdate({"-run"});
    ASSERT_EQ(r.status, 0) << r.harness << r.err;
    auto lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "exe /usr/bin/update");  // read from a second thread
    EXPECT_THAT(lines[1], ::testing::StartsWith("exe /tmp/memupdate pid "));
    EXPECT_EQ("pidof " + lines[1].substr(lines[1].rfind(' ') + 1), lines[2]);  // itself, only
    EXPECT_EQ(lines[3], "bound");
    EXPECT_EQ(r.rates, (std::vector<std::string>{"0", "60", "100"}));
    EXPECT_EQ(r.SigtermCount(), 3);
    EXPECT_TRUE(r.RebootRequested());
    EXPECT_FALSE(r.PowerCut());
    EXPECT_EQ(UpdateLog(), "done\n");
    EXPECT_TRUE(ChangedByRun("/tmp/memupdate"));
    EXPECT_FALSE(ChangedByRun("/usr/bin/update"));
}

TEST_F(DevsimRunTest, RunPassesTheExitStatusOn) {
    // -10 as the shell sees it.
    RunResult r = RunUpdate({"-stage", "246"});
    EXPECT_EQ(r.status, 246);
    EXPECT_EQ(ReadOut("status"), "246\n");
}

TEST_F(DevsimSelfTest, TwoSandboxesRunInParallel) {
    Sandbox other;
    other.Init(Dir() + "-other");
    Serve("a", "one");
    other.Serve("a", "two");
    RunResult mine, theirs;
    std::thread t([&] {
        theirs = other.Shell("tftp -g -r a -l /tmp/a 127.0.0.1 -b 8192 && cat /tmp/a; sleep 0.3");
    });
    mine = Shell("tftp -g -r a -l /tmp/a 127.0.0.1 -b 8192 && cat /tmp/a; sleep 0.3");
    t.join();
    EXPECT_EQ(mine.out, "one");
    EXPECT_EQ(theirs.out, "two");
    EXPECT_EQ(Leftovers(Dir()), "");
    fs::remove_all(Dir() + "-other");
}

TEST_F(DevsimSelfTest, SlowTwentyRunsLeaveNothingBehindEvenWhenKilled) {
    for (int i = 0; i < 20; ++i) {
        if (i == 10 || i == 15) {
            // Kill the harness itself in the middle of a run.
            pid_t pid = fork();
            if (pid == 0) {
                execl("/bin/bash", "bash", DevsimScript().c_str(), "exec", "--out",
                      OutDir().c_str(), "--build", BuildDir().c_str(), "--", "/bin/sleep", "60",
                      static_cast<char*>(nullptr));
                _exit(127);
            }
            // Once while the command runs, once while the sandbox is being set up.
            std::this_thread::sleep_for(std::chrono::milliseconds(i == 10 ? 1500 : 120));
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(Leftovers(OutDir()), "") << "after the killed run";
            continue;
        }
        RunResult r = Shell("echo run; ls /dev/mmcblk0p15 >/dev/null");
        EXPECT_EQ(r.status, 0) << "run " << i << ": " << r.harness;
    }
    EXPECT_EQ(Leftovers(OutDir()), "");
}

}  // namespace
}  // namespace devsim
