// Self tests of the virtual recorder and the boot-environment repair on the
// kernel's own MTD devices. One guest boot per test.
#include <fcntl.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "devsim_fixture.h"
#include "vrec_fixture.h"

namespace vrec {
namespace {

using devsim::RandomBytes;
using testing::HasSubstr;

// Partition sizes of both profiles, KiB, /dev/mtd0 to /dev/mtd11.
constexpr std::size_t kSizesKib[] = {512,  1024, 1024, 3072, 4096, 8192,
                                     2048, 1024, 1024, 1024, 4096, 5632};
constexpr uint32_t kSmallEnv = 0x20000;

// Bitwise reflected CRC-32 (0xEDB88320), independent of the project's.
uint32_t Crc32(const std::string& s, std::size_t from, std::size_t to) {
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < to; ++i) {
        crc ^= static_cast<uint8_t>(s[i]);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
uint32_t Le32(const std::string& s) {
    return uint32_t{static_cast<uint8_t>(s[0])} | uint32_t{static_cast<uint8_t>(s[1])} << 8 |
           uint32_t{static_cast<uint8_t>(s[2])} << 16 | uint32_t{static_cast<uint8_t>(s[3])} << 24;
}
bool EnvValid(const std::string& img, uint32_t size) {
    return img.size() >= size && Le32(img) == Crc32(img, 4, size);
}
// An environment block whose checksum holds for the given size.
std::string EnvBlock(unsigned seed, uint32_t valid_for) {
    std::string env = RandomBytes(0x80000, seed);
    uint32_t crc = Crc32(env, 4, valid_for);
    for (int i = 0; i < 4; ++i) env[i] = static_cast<char>(crc >> (8 * i));
    return env;
}
constexpr const char* kSeedEnv =
    "flash_erase -q /dev/mtd2 0 0; flash_erase -q /dev/mtd7 0 0;"
    "dd if=env.bin of=/dev/mtd2 bs=2048 2>/dev/null; dd if=bak.bin of=/dev/mtd7 bs=2048 "
    "2>/dev/null;"
    "vrec-probe env 0x20000";

class VrecSelf : public VrecTest, public testing::WithParamInterface<const char*> {};

// The recorder's /proc, MEMGETINFO, erase, a command-line bad block, and a
// written dump, per profile; then the environment repair: both copies carry
// the checksum of the small environment afterwards, each over its own data,
// nothing else changed.
TEST_P(VrecSelf, DevicesFollowTheProfileAndTheEnvironmentIsRepaired) {
    bool nand = std::string(GetParam()) == "nand";
    std::string data = RandomBytes(std::size_t{150} * 2048, 7);
    const std::string env = EnvBlock(1, 0x80000), bak = EnvBlock(2, 0x80000);
    WriteIn("data.bin", data);
    WriteIn("env.bin", env);
    WriteIn("bak.bin", bak);
    devsim::WriteFile(dir_ + "/proc/board_type", "NVR-X\n");
    std::vector<std::string> opts{"--profile", GetParam(), "--proc", dir_ + "/proc"};
    if (nand) opts.insert(opts.end(), {"--badblocks", "mtd3:2"});
    VrecRun r = Run(opts,
                    "cat /proc/board_type && vrec-probe info /dev/mtd0 /dev/mtd1 /dev/mtd2 "
                    "/dev/mtd3 /dev/mtd4 /dev/mtd5 "
                    "/dev/mtd6 /dev/mtd7 /dev/mtd8 /dev/mtd9 /dev/mtd10 /dev/mtd11 &&"
                    "vrec-probe bad /dev/mtd3 && dd if=data.bin of=/dev/mtd4 bs=2048 2>/dev/null &&"
                    "vrec-probe erase /dev/mtd4 && dd if=data.bin of=/dev/mtd5 bs=2048; " +
                        std::string(kSeedEnv));
    ASSERT_EQ(r.status, 0) << r.harness << r.err;
    std::ostringstream want("NVR-X\n", std::ios::ate);
    for (int i = 0; i < 12; ++i) {
        // MTD_NANDFLASH 4 with 128 KiB blocks and 2 KiB pages; NOR: MTD_RAM 1, 64 KiB, 1.
        want << "/dev/mtd" << i << (nand ? " 4 " : " 1 ") << kSizesKib[i] * 1024
             << (nand ? " 131072 2048\n" : " 65536 1\n");
    }
    EXPECT_EQ(r.out, want.str() + (nand ? "0x40000\n" : "") + "env 0\n");
    EXPECT_TRUE(Same(r.Image(4), std::string(kSizesKib[4] * 1024, '\xff')));
    EXPECT_TRUE(Same(r.Image(5), data + std::string(kSizesKib[5] * 1024 - data.size(), '\xff')));
    for (auto [img, seed] : {std::pair{r.Image(2), env}, std::pair{r.Image(7), bak}}) {
        EXPECT_TRUE(EnvValid(img, kSmallEnv));
        EXPECT_TRUE(Same(img.substr(4, 0x80000 - 4), seed.substr(4)));
    }
}
INSTANTIATE_TEST_SUITE_P(Profiles, VrecSelf, testing::Values("nand", "nor"));

class VrecEnvFault : public VrecTest, public testing::WithParamInterface<const char*> {};

// A bad first block or a failed write on the primary: the repair fails and
// the backup keeps its valid content.
TEST_P(VrecEnvFault, KeepsTheBackup) {
    std::string bak = EnvBlock(2, kSmallEnv);
    WriteIn("env.bin", EnvBlock(1, 0x80000));
    WriteIn("bak.bin", bak);
    std::string fault = GetParam();
    VrecRun r =
        Run({"--profile", "nand", fault.rfind("mtd", 0) == 0 ? "--badblocks" : "--fault", fault},
            kSeedEnv);
    EXPECT_EQ(r.status, 1) << r.harness << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("env -1\n"));
    std::string img = r.Image(7);
    EXPECT_TRUE(EnvValid(img, kSmallEnv));
    EXPECT_TRUE(Same(img.substr(0, 0x80000), bak));
}
// mtd2:0 bad; the page written first at mtd2 takes the seed, then fails.
INSTANTIATE_TEST_SUITE_P(Faults, VrecEnvFault, testing::Values("mtd2:0", "write-fail=mtd2:0:1"));

// A power cut at some point of repeated environment repairs, then a boot on
// the flash it left (kept across the cut): one copy at least holds for a size, and the repair run
// again leaves both valid for the small size, each with one of the seeds' variables (a torn copy is
// the unit tests' case: the cut lands where it lands).
TEST_F(VrecTest, SlowPowerCutInTheEnvironmentRepairKeepsOneCopy) {
    const std::string env = EnvBlock(1, 0x80000), bak = EnvBlock(2, 0x80000);
    WriteIn("env.bin", env);
    WriteIn("bak.bin", bak);
    std::string seed(kSeedEnv);
    seed.resize(seed.rfind("vrec-probe"));
    VrecRun cut = Run({"--cut", "file=/tmp/cut"},
                      seed +
                          "(while :; do vrec-probe env 0x20000 >/dev/null; done) & "
                          "sleep 1; touch /tmp/cut; sleep 600");
    ASSERT_EQ(cut.status, 137) << cut.harness;
    auto valid = [](const std::string& img) {
        return EnvValid(img, kSmallEnv) || EnvValid(img, 0x80000);
    };
    EXPECT_TRUE(valid(cut.Image(2)) || valid(cut.Image(7)));
    std::filesystem::rename(dir_ + "/out", dir_ + "/cut");
    VrecRun again = Run({"--flash", dir_ + "/cut"}, "vrec-probe env 0x20000");
    EXPECT_EQ(again.status, 0) << again.harness << again.out;
    for (int mtd : {2, 7}) {
        const std::string img = again.Image(mtd);
        EXPECT_TRUE(EnvValid(img, kSmallEnv)) << mtd;
        const std::string vars = img.substr(4, kSmallEnv - 4);
        EXPECT_TRUE(vars == env.substr(4, kSmallEnv - 4) || vars == bak.substr(4, kSmallEnv - 4))
            << mtd;
    }
}

// A guest killed at its time-out leaves no qemu, mount or loop device behind.
TEST_F(VrecTest, TimeoutLeavesNothingBehind) {
    VrecRun r = Run({"--timeout", "3"}, "sleep 600");
    EXPECT_EQ(r.status, kExTimeout) << r.harness;
    std::string mounts = devsim::ReadFile("/proc/mounts");
    EXPECT_THAT(mounts, testing::Not(HasSubstr(dir_)));
    for (const auto& p : std::filesystem::directory_iterator("/proc")) {
        std::string cmd = devsim::ReadFile(p.path().string() + "/cmdline");
        EXPECT_THAT(cmd, testing::Not(HasSubstr(dir_ + "/out"))) << p.path();
    }
    for (const auto& p : std::filesystem::directory_iterator("/sys/block")) {
        std::string backing = devsim::ReadFile(p.path().string() + "/loop/backing_file");
        EXPECT_THAT(backing, testing::Not(HasSubstr("vrec"))) << p.path();
    }
}

// Bad command lines are refused before anything starts.
TEST_F(VrecTest, RefusesBadCommandLines) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"run", "--profile", "emmc", "--", "true"},
             {"run", "--profile", "nor", "--badblocks", "mtd2:0", "--", "true"},
             {"run", "--badblocks", "mtd12:0", "--", "true"},
             {"run", "--badblocks", "mtd2:8", "--", "true"},
             {"run", "--fault", "write-fail=mtd2", "--", "true"},
             {"run", "--fault", "io-fail=mtd0", "--", "true"},
             {"run", "--profile", "nor", "--fault", "write-fail=mtd2:0", "--", "true"},
             {"run", "--profile", "nor", "--fault", "io-fail=mtd12", "--", "true"},
             {"run", "--timeout", "0", "--", "true"},
             {"run"}}) {
        args.insert(args.begin() + 1, {"--build", UPDATE_BINARY_DIR});
        EXPECT_EQ(Spawn(args, dir_ + "/log"), kExUsage)
            << args[3] << devsim::ReadFile(dir_ + "/log");
    }
}

}  // namespace
}  // namespace vrec
