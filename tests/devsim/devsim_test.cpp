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
#include <string>
#include <thread>

#include "devsim_fixture.h"

namespace devsim {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

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

// The device's view: its own processes, /proc files and network; writes to
// /proc land in the run directory. (Board type, rate file and disk sizes are
// read by the real updater in the end-to-end tests.)
TEST_F(DevsimSelfTest, ProcAndNetworkAreTheDevicesOwn) {
    RunResult r = Shell(
        "readlink /proc/self/exe; cat /proc/uboot_rev; echo rc=$?; cat /proc/cmdline;"
        "ls /proc | grep -c '^[0-9]'; cat /proc/version; echo 3 > /proc/sys/vm/drop_caches;"
        "echo rc=$?; echo 1 > /proc/sys/kernel/sysrq; echo rc=$?; ip -o link | wc -l;"
        "tftp -g -r x -l /tmp/x 10.0.0.1 2>/dev/null; echo rc=$?; echo r > /proc/rmc/test");
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.out;
    EXPECT_THAT(lines[2], HasSubstr("root=/dev/mmcblk0p5"));
    // Only the sandbox's processes: init, procfs, servers, the shell and a few.
    EXPECT_LT(std::stoi(lines[3]), 20);
    // cat copies with sendfile, which stops at the reported size: the whole
    // text must come through (the same kernel as the host's).
    EXPECT_EQ(lines[4] + "\n", ReadFile("/proc/version"));
    lines[2] = lines[3] = lines[4] = "";
    // No uboot_rev in this state: absent, not the host's. The host's kernel
    // settings are not writable. Only the loopback link.
    EXPECT_EQ(lines, (Lines{"/bin/busybox", "rc=1", "", "", "", "rc=0", "rc=1", "1", "rc=1"}));
    EXPECT_EQ(ReadProcOut("sys/vm/drop_caches"), "3\n");
    EXPECT_TRUE(r.RebootRequested());
}

// Three sandboxes at once, one with a fault: each sees only its own servers
// and files (the name comes URL-encoded), and nothing is left behind. (The
// server faults themselves are met by the real updater end to end.)
TEST_F(DevsimSelfTest, ParallelSandboxesAreIsolated) {
    Sandbox boxes[3];
    RunResult results[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        boxes[i].Init(Dir() + "/box" + std::to_string(i));
        boxes[i].Serve("Pro gram.bin", RandomBytes(30000, i));
        if (i == 0) boxes[i].AddFault("http-404");
        threads.emplace_back([&, i] {
            results[i] = boxes[i].Shell("devsim-curl http://127.0.0.1/Pro%20gram.bin /tmp/p");
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 3; ++i) {
        EXPECT_THAT(results[i].out,
                    HasSubstr(i == 0 ? "response 404" : "response 200 length 30000"))
            << results[i].err << results[i].harness;
        EXPECT_EQ(boxes[i].ReadDevice("/tmp/p") == RandomBytes(30000, i), i != 0) << i;
    }
    EXPECT_EQ(Leftovers(Dir()), "");
}

// On a full-size disk, the package layout trick the updater uses (dd with
// skip=<offset> iflag=skip_bytes) lands in the partition; the stand-ins log
// their calls and fail on request; the updater's own tool preparation (copies
// of busybox and /usr/sbin bound over the originals) works inside and never
// shows on the host.
TEST_F(DevsimSelfTest, DiskStandInsAndToolPreparationStayInTheSandbox) {
    SetDisk("full");
    WriteState("tmp/pkg.bin", std::string(1000, 'h') + "PROGRAM-IMAGE");
    WriteState("tmp/img.bin", std::string(16, 'a') + "LOGO");
    AddFault("tool-fail=mmcwrite:1");
    RunResult r = Shell(
        "dd if=/tmp/pkg.bin of=/dev/mmcblk0p5  bs=1M count=2048 skip=1000 iflag=skip_bytes "
        "2>/dev/null; blockdev --getsize64 /dev/mmcblk0p5; blockdev --getsize64 /dev/mmcblk0p1;"
        "/usr/bin/mmcwrite /tmp/img.bin 0x10 0x4 0x200000 0x200000; echo rc=$?;"
        "mkdir -p /var/cmdtmp && cp /usr/bin/mmcwrite /var/cmdtmp/ && "
        "/var/cmdtmp/mmcwrite /tmp/img.bin 0x10 0x4 0x200000 0x200000; echo rc=$?;"
        "loadtools /tmp/img.bin CfgInfo; echo rc=$?; pg_ctl stop -D /var/fs_disk/database -m fast;"
        "cp -rf /bin/busybox /var/cmdtmp/; cp -rf /usr/sbin/ /var/cmdtmp/;"
        "mount --bind /var/cmdtmp/busybox /bin/busybox && echo bind-ok;"
        "ls -l /lib | grep 'ld-' | grep -v '>' | wc -l");
    EXPECT_EQ(SplitLines(r.out),
              (Lines{"2147483648", "33554432", "rc=1", "rc=0", "rc=0", "bind-ok", "1"}))
        << r.err << r.harness;
    EXPECT_EQ(ReadPartition(5, 0, 13), "PROGRAM-IMAGE");
    EXPECT_EQ(ReadPartition(4, 0, 4), std::string(4, '\0'));
    ASSERT_EQ(Partitions().size(), 15u);
    EXPECT_EQ(Partition(15).name, "mdc.bin");
    EXPECT_EQ(ReadDisk(0x200000, 4), "LOGO");
    ASSERT_EQ(r.ToolCalls("mmcwrite").size(), 2u);
    EXPECT_EQ(r.ToolCalls("mmcwrite")[1],
              (Lines{"mmcwrite", "/tmp/img.bin", "0x10", "0x4", "0x200000", "0x200000"}));
    EXPECT_EQ(r.ToolCalls("pg_ctl").size(), 1u);
    EXPECT_EQ(ReadDevice("/var/devsim/kept/loadtools.CfgInfo"), std::string(16, 'a') + "LOGO");
    EXPECT_EQ(Leftovers(OutDir()), "");
}

// Under emmc-mbps the disk passes through devsim's FUSE file: every byte
// written reaches the image and a direct read sees it.
TEST_F(DevsimSelfTest, EmmcAtAMediumSpeedKeepsEveryByte) {
    WriteState("tmp/pkg.bin", std::string(3 << 20, 'p') + "TAIL");
    AddFault("emmc-mbps=500:500");
    RunResult r = Shell(
        "dd if=/tmp/pkg.bin of=/dev/mmcblk0p5 bs=1M 2>/dev/null; sync; "
        "dd if=/dev/mmcblk0p5 bs=4096 skip=768 count=1 iflag=direct 2>/dev/null | head -c 4");
    EXPECT_EQ(r.out, "TAIL") << r.err << r.harness;
    EXPECT_EQ(ReadPartition(5, 0, 3 << 20), std::string(3 << 20, 'p'));
    EXPECT_EQ(ReadPartition(5, 3 << 20, 4), "TAIL");
    EXPECT_EQ(Leftovers(OutDir()), "");
}

// SIGTERMs to process 1 are recorded and cut the power after the grace; the
// time-out kills the whole run; neither leaves anything behind.
TEST_F(DevsimSelfTest, PowerCutAndTimeoutEndTheRun) {
    SetRebootGrace(0.5);
    RunResult r = Shell("kill -TERM 1; sleep 0.1; kill -TERM 1; sleep 30; echo survived");
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(r.SigtermCount(), 2);
    EXPECT_TRUE(r.PowerCut());
    EXPECT_THAT(r.out, Not(HasSubstr("survived")));
    EXPECT_LT(r.seconds, 10);
    SetTimeout(1);
    r = Shell("sleep 60");
    EXPECT_EQ(r.status, kExTimeout);
    EXPECT_LT(r.seconds, 10);
    EXPECT_EQ(Leftovers(OutDir()), "");
}

// Fail closed: started directly on the host, or as process 1 of a new PID
// (and network) namespace in the host's mount namespace, init must refuse
// before mounting or starting anything.
TEST_F(DevsimSelfTest, InitRefusesToRunWithoutItsOwnNamespaces) {
    auto ns = [](const char* name) {
        struct stat st {};
        stat((std::string("/proc/self/ns/") + name).c_str(), &st);
        return std::string(name) + ":" + std::to_string(st.st_ino);
    };
    const std::string env = "DEVSIM_OUT=" + OutDir() + " ";
    const std::string in_host_mnt = env + "DEVSIM_HOST_NS='" + ns("mnt") + " " + ns("pid") + " " +
                                    ns("net") +
                                    "' DEVSIM_HOST_ROOT=1:1 DEVSIM_SELF=" + UPDATE_SOURCE_DIR +
                                    "/tools/devsim unshare --pid --net --fork ";
    const std::string marker = Dir() + "/ran";
    for (const std::string& prefix : {env, in_host_mnt}) {
        EXPECT_EQ(HostCommand(prefix + BuildDir() + "/bin/devsim-init /bin/touch " + marker +
                              " 2>" + Dir() + "/init.err; echo $?"),
                  "203\n");
        EXPECT_FALSE(fs::exists(marker));
    }
    EXPECT_THAT(ReadFile(Dir() + "/init.err"), HasSubstr("mnt namespace is the host's"));
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
        {"exec", "--build", build, "--fault", "power-cut=block:0", "--", "/bin/true"},
        {"exec", "--build", build, "--fault", "power-cut=tool:1", "--fault", "power-cut=time:1",
         "--", "/bin/true"},
        {"exec", "--build", build, "--fault", "dd-flip", "--fault", "power-cut=block:1", "--",
         "/bin/true"},
        {"exec", "--build", build, "--servers", "smtp", "--", "/bin/true"},
        {"exec", "--build", build, "--fault", "emmc-mbps=fast", "--", "/bin/true"},
        {"exec", "--build", build, "--fault", "emmc-mbps=0.0:150", "--", "/bin/true"},
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
    // and with a space: the servers serve it.
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
    EXPECT_EQ(Leftovers(real), "");
}

// The run path with a stand-in updater: relocation, pidof, the rate file, the
// tool-preparation mount, the reboot sequence and the exit status. Then
// busybox-static called as "update" (no libraries to copy, an applet it
// lacks), and a missing update binary, a prerequisite failure.
TEST_F(DevsimSelfTest, RunPathAndItsUpdateBinary) {
    AddDevsimArgs({"--update", BuildDir() + "/bin/devsim-fake-update"});
    RunResult r = RunUpdate({"-run", "246"});  // -10 as the shell sees it
    EXPECT_EQ(r.status, 246) << r.harness << r.err;
    EXPECT_EQ(ReadOut("status"), "246\n");
    auto lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "exe /usr/bin/update");  // read from a second thread
    EXPECT_THAT(lines[1], ::testing::StartsWith("exe /tmp/memupdate pid "));
    EXPECT_EQ("pidof " + lines[1].substr(lines[1].rfind(' ') + 1), lines[2]);  // itself, only
    EXPECT_EQ(lines[3], "bound");
    EXPECT_EQ(r.rates, (Lines{"0", "60", "100"}));
    EXPECT_EQ(r.SigtermCount(), 3);
    EXPECT_TRUE(r.RebootRequested());
    EXPECT_FALSE(r.PowerCut());
    EXPECT_EQ(UpdateLog(), "done\n");
    EXPECT_TRUE(ChangedByRun("/tmp/memupdate"));
    EXPECT_FALSE(ChangedByRun("/usr/bin/update"));
    AddDevsimArgs({"--update", "/bin/busybox"});
    r = RunUpdate({});
    EXPECT_EQ(r.status, 127) << r.harness;
    EXPECT_THAT(r.err, HasSubstr("applet not found"));
    AddDevsimArgs({"--update", Dir() + "/no-such-update"});
    r = RunUpdate({"-v"});
    EXPECT_EQ(r.status, kExPrereq);
    EXPECT_THAT(r.harness, HasSubstr("no update binary"));
}

TEST_F(DevsimSelfTest, CommandThatCannotStartIsAPrerequisiteFailure) {
    RunResult missing = Exec({"/no/such/command"});
    EXPECT_EQ(missing.status, kExPrereq);
    EXPECT_THAT(missing.err, HasSubstr("devsim: cannot run /no/such/command"));
}

// The harness itself killed while the command runs and while the sandbox is
// being set up: nothing is left behind, and the next run sets up cleanly.
TEST_F(DevsimSelfTest, SlowKilledRunsLeaveNothingBehind) {
    for (int ms : {1500, 120}) {
        pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/bash", "bash", DevsimScript().c_str(), "exec", "--out", OutDir().c_str(),
                  "--build", BuildDir().c_str(), "--", "/bin/sleep", "60",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(Leftovers(OutDir()), "") << "after the run killed at " << ms << " ms";
        RunResult r = Shell("ls /dev/mmcblk0p15 >/dev/null");
        EXPECT_EQ(r.status, 0) << r.harness;
    }
    EXPECT_EQ(Leftovers(OutDir()), "");
}

}  // namespace
}  // namespace devsim
