// Test harness over the virtual recorder (tools/vrec/vrec): one boot of the
// qemu guest per Run, with the results of the run folder at hand.
//
//   TEST_F(VrecTest, ErasedReadsOnes) {
//     VrecRun r = Run({"--profile", "nand"}, "flash_erase -q /dev/mtd4 0 0");
//     EXPECT_EQ(r.status, 0);
//     EXPECT_EQ(r.Image(4), std::string(4 << 20, '\xff'));
//   }
//
// Each test gets UPDATE_BINARY_DIR/vm-runs/<Suite>.<Test>/ (in/ for the
// guest's /in, out/ for the run), kept after a failure or with VREC_KEEP=1.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vrec {

// Harness exit codes of tools/vrec/vrec.
inline constexpr int kExUsage = 201;
inline constexpr int kExTimeout = 202;

struct VrecRun {
    int status = -1;                   // the command's exit status, or kEx*
    std::string out, err, harness;     // the command's output; vrec's own messages
    std::string dir;                   // the run folder
    std::string Image(int mtd) const;  // out/mtd/mtdN.img
};

// Equal byte strings; else where they first differ (never the bytes themselves).
testing::AssertionResult Same(const std::string& a, const std::string& b);

// n bytes of erased flash.
std::string Ff(std::size_t n);
// A guest shell step marked as NAME: "echo =NAME; SH; echo =NAME $?; ".
std::string Mark(const std::string& name, const std::string& sh);
// What the marked step printed, and its status ("?" when it did not end).
std::string Step(const std::string& out, const std::string& step);
std::string Rc(const std::string& out, const std::string& step);

class VrecTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A file of the guest's /in (the command's working folder).
    void WriteIn(const std::string& name, const std::string& bytes) const;
    // vrec run OPTIONS -- sh -c LINE, with vrec-probe and the updater in the guest.
    VrecRun Run(const std::vector<std::string>& options, const std::string& line) const;
    // Runs vrec with ARGS; its status, with its stdout and stderr in log_file.
    static int Spawn(const std::vector<std::string>& args, const std::string& log_file);
    std::string dir_;
};

}  // namespace vrec
