// Test harness over the simulated recorder (tools/devsim/devsim).
//
// A test derives from devsim::DevsimTest (or uses devsim::Sandbox directly),
// writes the device state and the files to serve, sets faults, runs `update`
// inside the sandbox and reads the results:
//
//   TEST_F(DevsimTest, ShowsVersion) {
//     SetVersion("V1.2.3");
//     SetBoardType("NVR-X");
//     RunResult r = RunUpdate({"-v"});
//     EXPECT_EQ(r.status, 0);
//     EXPECT_THAT(r.out, HasSubstr("V1.2.3"));
//   }
//
// Each test gets its own run directory, UPDATE_BINARY_DIR/e2e-runs/<Suite>.<Test>/
// with state/, serve/ and out/ (kept after a failure for inspection, removed
// after a pass unless DEVSIM_KEEP is set). Tests whose name contains "Slow"
// are labelled slow as well as e2e.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

// Harness exit codes of tools/devsim/devsim (above any updater status; the
// others are listed in its README).
inline constexpr int kExUsage = 201;
inline constexpr int kExTimeout = 202;
inline constexpr int kExPrereq = 204;

struct RunResult {
    int status = -1;                 // updater's exit status (0..255), 128+N if killed, or kEx*
    std::string out;                 // its standard output
    std::string err;                 // its standard error
    std::string harness;             // devsim's own messages (its stderr)
    std::vector<std::string> rates;  // each content of /tmp/update_rate.log, in order
    // reboot.log lines: "SIGTERM t=..", "rmc/test r t=..", "power-cut t=.."
    std::vector<std::string> reboot;
    std::vector<std::vector<std::string>> tools;  // stand-in calls: {name, arg1, ...}
    double seconds = 0;                           // wall time of the whole devsim call

    int SigtermCount() const;
    bool RebootRequested() const;  // 'r' written to /proc/rmc/test
    bool PowerCut() const;
    // Calls of one stand-in, e.g. ToolCalls("mmcwrite").
    std::vector<std::vector<std::string>> ToolCalls(const std::string& name) const;
};

struct PartitionInfo {
    int number = 0;
    std::string name;
    uint64_t offset = 0;  // byte offset in disk.img
    uint64_t size = 0;
};

class Sandbox {
  public:
    // Run directory; created empty (an earlier one is removed).
    void Init(const std::string& run_dir);
    const std::string& Dir() const { return dir_; }
    std::string StateDir() const { return dir_ + "/state"; }
    std::string ServeDir() const { return dir_ + "/serve"; }
    std::string OutDir() const { return dir_ + "/out"; }

    // ---- device state (laid over the device root)
    // Path relative to the device root, e.g. "program/.version", "var/devcap/devcap.xml".
    void WriteState(const std::string& device_path, const std::string& content,
                    unsigned mode = 0644);
    void SetVersion(const std::string& text) { WriteState("program/.version", text); }
    void SetPubKey(const std::string& text) { WriteState(".pub_key", text); }
    // A /proc entry of the device: board_type, uboot_rev, cmdline, mounts, mtd, env ...
    void WriteProc(const std::string& name, const std::string& content);
    void SetBoardType(const std::string& board) { WriteProc("board_type", board + "\n"); }
    void SetUbootRev(const std::string& rev) { WriteProc("uboot_rev", rev + "\n"); }

    // ---- served files (TFTP, FTP, HTTP, HTTPS at 127.0.0.1)
    void Serve(const std::string& name, const std::string& content);

    // ---- options of the next run
    // A fault of the simulated recorder, see tools/devsim/README.md.
    void AddFault(const std::string& fault) { faults_.push_back(fault); }
    void ClearFaults() { faults_.clear(); }
    // A secret that must appear in no file a run leaves (the device's files,
    // the output, the stand-ins' log); a password after -p or -password in
    // RunUpdate's arguments is one by itself. Each run fails the test where
    // it finds one.
    void AddSecret(const std::string& secret) { secrets_.push_back(secret); }
    void SetTimeout(int seconds) { timeout_ = seconds; }
    void SetRebootGrace(double seconds) { grace_ = seconds; }
    void SetFtpLogin(const std::string& user, const std::string& password) {
        ftp_ = user + ":" + password;
    }
    void SetServers(const std::string& list) { servers_ = list; }  // "tftp,http" or "none"
    void SetDisk(const std::string& mode, int part_mib = 16) {
        disk_ = mode;
        part_mib_ = part_mib;
    }
    void AddDevsimArgs(const std::vector<std::string>& args) {
        extra_.insert(extra_.end(), args.begin(), args.end());
    }

    // ---- run
    // `update ARGS` in the sandbox, or any command in the sandbox.
    RunResult RunUpdate(const std::vector<std::string>& update_args);
    RunResult Exec(const std::vector<std::string>& command);
    // One shell line in the sandbox (busybox sh -c LINE).
    RunResult Shell(const std::string& line) { return Exec({"/bin/sh", "-c", line}); }

    // ---- results of the last run
    std::string ReadOut(const std::string& rel) const;  // out/<rel>
    // A file as the run left it in the device: the overlay's upper layer first,
    // then the state, then nothing (empty, exists = false).
    std::string ReadDevice(const std::string& device_path, bool* exists = nullptr) const;
    bool ChangedByRun(const std::string& device_path) const;  // present in the upper layer
    std::string UpdateLog() const { return ReadDevice("/var/log/update.log"); }
    std::string ReadProcOut(const std::string& name) const { return ReadOut("proc/" + name); }
    std::vector<PartitionInfo> Partitions() const;
    PartitionInfo Partition(int number) const;
    std::string ReadPartition(int number, uint64_t offset, size_t length) const;
    std::string ReadDisk(uint64_t offset, size_t length) const;

    // ---- where things are
    static std::string DevsimScript();  // <source>/tools/devsim/devsim
    static std::string BuildDir();      // UPDATE_BINARY_DIR, or $DEVSIM_BUILD
    static std::string UpdateBinary();  // $DEVSIM_UPDATE, or <build>/bin/update
    // update-pack words that carry UpdateBinary() as the package's own program.
    static std::string UpdaterWords();
    static std::string DeviceLoader();  // the root's loader name ($DEVSIM_ARCH)
    // Empty when devsim's prerequisites are present, else the reason.
    static std::string CheckPrerequisites();

    // Spawns devsim with ARGS (after the script path); returns its status.
    static int Spawn(const std::vector<std::string>& args, const std::string& stderr_file);

  private:
    RunResult Invoke(const std::string& mode, const std::vector<std::string>& cmd);
    std::string dir_;
    void ExpectNoSecret() const;
    std::vector<std::string> faults_;
    std::vector<std::string> extra_;
    std::vector<std::string> secrets_;
    int timeout_ = 120;
    double grace_ = 5;
    std::string ftp_;
    std::string servers_;
    std::string disk_ = "small";
    int part_mib_ = 16;
};

class DevsimTest : public ::testing::Test, public Sandbox {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Helpers for tests.
// Runs `bash SCRIPT ARGS` with stdout and stderr into log_file, opened with
// O_APPEND or O_TRUNC (log_flag); its exit status, or 128 + the signal.
int SpawnScript(const std::string& script, const std::vector<std::string>& args,
                const std::string& log_file, int log_flag);
// <Suite>.<Test> of the running test, '/' as '_': the name of its run folder.
std::string TestRunName();
std::string ReadFile(const std::string& path, bool* ok = nullptr);
void WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);
// The key pair of a signer ("vendor", "stranger"), made once per build tree.
std::string SignerKeys(const std::string& who);
std::vector<std::string> SplitLines(const std::string& text);
// n bytes of a fixed pseudo-random sequence.
std::string RandomBytes(size_t n, unsigned seed);
// A value as a POSIX shell takes it back as one word.
std::string Quote(const std::string& v);
// The values of rate.log, one per non-empty line, blanks and CR removed.
std::vector<std::string> RateLines(const std::string& text);

}  // namespace devsim
