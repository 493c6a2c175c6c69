// Whole updates of the NAND (key 0) and NOR (key 3) profile builds in the
// virtual recorder: the package on an ext2 medium in the guest (-local), the
// real updater with its dispatcher, guards, boot-environment repair and
// tools on the kernel's MTD drivers. One boot per profile runs the cases in
// an order the flash state allows, and judges like the eMMC runs of the
// simulated recorder: each partition's bytes, the untouched ones, the rate
// history, the success lines, the record log and the reboot record.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "devsim_fixture.h"
#include "vrec_fixture.h"

namespace vrec {
namespace {

using devsim::RandomBytes;
using devsim::ReadFile;
using devsim::WriteFile;
using testing::HasSubstr;
using testing::Not;

constexpr const char* kBoard = "BRD-X200-N04";
// The recorder's own files, the NAND tool of its firmware (the ranges of
// mtd-utils' nandwrite), a rate-file sampler, and a fingerprint of every
// MTD device.
constexpr const char* kPrelude =
    "cp -r /in/root/. /; cp /lib64/ld-linux-x86-64.so.2 /lib/; mkdir -p /var/runtime/log; "
    "mv /usr/sbin/nandwrite /usr/sbin/nandwrite.mtd-utils; cp /in/nandwrite /usr/sbin/; "
    "chmod 755 /usr/sbin/nandwrite; "
    "(while :; do cat /tmp/update_rate.log 2>/dev/null; echo; usleep 20000; done >>/tmp/rates) & "
    "sums() { md5sum /dev/mtd[0-9] /dev/mtd1[0-9] | md5sum; }; ";

class VrecUpdate : public VrecTest {
  protected:
    // The updater of the profile build BUILD-<variant>.
    static std::string Updater(const char* variant) {
        return std::string(UPDATE_BINARY_DIR) + "-" + variant + "/bin/update";
    }
    // The recorder: installed versions, public key, board, boot-loader
    // revision and kernel command line.
    void Recorder(const std::string& cmdline) {
        WriteIn("root/program/.version",
                "PUB:B0130P10\nNEW:B0130P10\nINN:QTPXV300R003B03\nBUILD:2026-11-30 10:00:00\n");
        WriteIn("root/.pub_key", ReadFile(devsim::SignerKeys("vendor") + "/pub_key"));
        WriteIn("nandwrite",
                ReadFile(std::string(UPDATE_SOURCE_DIR) + "/tests/vm/nandwrite-recorder.sh"));
        WriteIn("busybox",
                ReadFile(std::string(UPDATE_SOURCE_DIR) + "/tests/vm/busybox-recorder.sh"));
        WriteFile(dir_ + "/proc/board_type", std::string(kBoard) + "\n");
        WriteFile(dir_ + "/proc/uboot_rev", "1.2.30\n");  // below "58": the environment is repaired
        WriteFile(dir_ + "/proc/cmdline", cmdline + "\n");
        WriteFile(dir_ + "/proc/rmc/test", "");
    }
    // A package on the medium at folder/Program.bin: images as position=bytes@flash.
    void Pack(const std::string& folder, const std::vector<std::string>& images,
              const std::string& key = "vendor", int count = 12) {
        std::filesystem::create_directories(dir_ + "/medium/" + folder);
        std::string cmd = std::string(UPDATE_BINARY_DIR) + "/bin/update-pack create --quiet -o " +
                          dir_ + "/medium/" + folder + "/Program.bin --inner QTPXV300R003B04 " +
                          "--pub B0130P17 --board " + kBoard + " --count " + std::to_string(count) +
                          " --key " + devsim::SignerKeys(key) + "/pri_key";
        for (const auto& image : images) cmd += " --image " + image;
        ASSERT_EQ(std::system((cmd + " >/dev/null").c_str()), 0) << cmd;
    }
    std::string Image(const std::string& name, std::size_t size, unsigned seed) {
        std::string bytes = RandomBytes(size, seed);
        WriteFile(dir_ + "/" + name, bytes);
        return bytes;
    }
    std::string At(const std::string& name) const { return dir_ + "/" + name; }
    VrecRun Update(const char* variant, std::vector<std::string> options, const std::string& line) {
        options.insert(options.end(), {"--update", Updater(variant), "--proc", dir_ + "/proc",
                                       "--medium", dir_ + "/medium", "--timeout", "800"});
        return Run(options, kPrelude + line + " kill %1; cat /tmp/rates-all 2>/dev/null; true");
    }
    // A marked step whose run's rates (alone) go to /tmp/rates-all.
    static std::string Rated(const std::string& name, const std::string& sh) {
        return "rm -f /tmp/update_rate.log; : >/tmp/rates; " + Timed(name, sh) +
               "uniq /tmp/rates >/tmp/rates-all; ";
    }
    // A marked step with the guest's uptime before it.
    static std::string Timed(const std::string& name, const std::string& sh) {
        return "echo t-" + name + " $(cut -d' ' -f1 /proc/uptime); " + Mark(name, sh);
    }
    // In the background: once the update's log has a line matching the
    // basic regular expression pattern (no single quote), run action.
    static std::string WhenLogged(const std::string& pattern, const std::string& action) {
        return "(until grep -q '" + pattern +
               "' /var/log/update.log; do usleep 20000; done 2>/dev/null; " + action + ") & ";
    }
    // A marked -debug load of the image file folder/file: the load writes
    // with the firmware's /bin/busybox (its flash applets), laid over the
    // guest's for the step.
    std::string Debug(const std::string& name, const std::string& word, const std::string& file,
                      const std::string& bytes) const {
        WriteFile(dir_ + "/medium/img/" + file, bytes);
        return "cp /bin/busybox /bin/busybox.guest; cp /in/busybox /tmp/fw-busybox; "
               "chmod 755 /tmp/fw-busybox; mount --bind /tmp/fw-busybox /bin/busybox; " +
               Timed(name, "update -local /mnt/usb/img/ " + word + " -debug -wait") +
               "umount /bin/busybox; ";
    }
    // The package's next bytes fill a NAND image's last page (mtd-utils'
    // nandwrite with --input-size); erased flash follows.
    static testing::AssertionResult Holds(const std::string& dump, const std::string& image,
                                          std::size_t page) {
        const std::size_t end = (image.size() + page - 1) / page * page;
        if (dump.compare(0, image.size(), image) != 0)
            return testing::AssertionFailure() << "the image differs";
        if (dump.find_first_not_of('\xff', end) != std::string::npos)
            return testing::AssertionFailure()
                   << "not erased after the image from " << dump.find_first_not_of('\xff', end);
        return testing::AssertionSuccess();
    }
};

// A run's rates as the sampler saw them: some pass unseen, those seen come
// in this order and end with 100.
void ExpectRates(const std::string& seen, const std::vector<std::string>& order) {
    auto at = order.begin();
    std::string last;
    std::size_t from = seen.find("=rates\n");
    std::istringstream lines(from == std::string::npos ? "" : seen.substr(from + 7));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        at = std::find(at, order.end(), line);
        EXPECT_NE(at, order.end()) << line;
        last = line;
    }
    EXPECT_EQ(last, "100");
}

// What every whole "all" run judges alike: its success, the versions in the
// record, the reboot request, the rates, then the u-boot step with the
// environment repair and the config step.
void ExpectAllThenUbootAndConfig(const std::string& out, const std::string& reboot_log) {
    const std::string all = Step(out, "all");
    EXPECT_EQ(Rc(out, "all"), "0") << all;
    EXPECT_THAT(all, HasSubstr("update all success!"));
    EXPECT_THAT(out,
                HasSubstr("Previous Verion: QTPXV300R003B03\nUpgraded Verion: QTPXV300R003B04\n"));
    EXPECT_THAT(reboot_log, HasSubstr("r"));
    ExpectRates(out, {"60", "65", "70", "80", "85", "99", "100"});
    EXPECT_EQ(Rc(out, "uboot"), "0") << Step(out, "uboot");
    EXPECT_THAT(Step(out, "uboot"), HasSubstr("success to update envcrc bakenvcrc."));
    EXPECT_EQ(Rc(out, "config"), "0") << Step(out, "config");
}

// NAND: -check, refused packages (CRC, signature), "all" with the kernel's
// first two programs failing (nandsim weak pages: the write is retried) and
// a bad block inside the program partition, u-boot with the environment
// repair, config with the read-only remount, then -debug of a kernel.
TEST_F(VrecUpdate, SlowNandProfile) {
    Recorder("console=ttyS0 root=/dev/mtdblock5 rootfstype=jffs2");
    const std::string uboot = Image("u.img", 200 << 10, 11), kernel = Image("k.img", 300 << 10, 12),
                      program = Image("p.img", 2 << 20, 13), web = Image("w.img", 100 << 10, 14),
                      config = Image("c.img", 64 << 10, 15), seed = RandomBytes(128 << 10, 16);
    Pack("", {"uboot=" + At("u.img"), "uimage=" + At("k.img"), "program=" + At("p.img"),
              "web=" + At("w.img"), "config=" + At("c.img")});
    Pack("sig", {"uimage=" + At("k.img"), "program=" + At("p.img")}, "intruder");
    std::string bad = ReadFile(dir_ + "/medium/Program.bin");
    bad[bad.size() - 100] ^= 1;
    WriteFile(dir_ + "/medium/crc/Program.bin", bad);
    WriteIn("seed.bin", seed);
    const std::string env = RandomBytes(0x80000, 17);
    WriteIn("env.bin", env);

    std::string line;
    for (int m : {0, 3, 8})
        line += "dd if=seed.bin of=/dev/mtd" + std::to_string(m) + " bs=2048 2>/dev/null; ";
    line +=
        "dd if=env.bin of=/dev/mtd2 bs=2048 2>/dev/null; dd if=env.bin of=/dev/mtd7 bs=2048 "
        "2>/dev/null; ";
    line += "s0=$(sums); ";
    line += Timed("check", "update -local /mnt/usb/ all -check") +
            "[ \"$(sums)\" = \"$s0\" ] && echo check-same; ";
    line += Timed("crc", "update -local /mnt/usb/crc/ all -wait") +
            Timed("sig", "update -local /mnt/usb/sig/ all -wait") +
            "[ \"$(sums)\" = \"$s0\" ] && echo refused-same; ";
    line +=
        Rated("all", "update -local /mnt/usb/ all") + "cat /var/runtime/log/update_record.log; ";
    line += Timed("uboot", "update -local /mnt/usb/ uboot -wait");
    line += Timed("config", "update -local /mnt/usb/ config -wait");
    // Where "all" put the kernel (behind the blocks its failed programs
    // marked bad, as nandwrite found them); -debug then loads another.
    WriteIn("k.img", kernel);
    line +=
        "for s in 0 128; do dd if=/dev/mtd4 bs=2048 skip=$s count=150 2>/dev/null | "
        "cmp -s - k.img && echo kernel-at-$s; done; ";
    const std::string kernel2 = RandomBytes(200 << 10, 18);
    line += Debug("debug", "uImage", "uImage", kernel2);
    VrecRun r = Update("nand",
                       {"--profile", "nand", "--fault", "write-fail=mtd4:0", "--fault",
                        "write-fail=mtd4:64", "--badblocks", "mtd5:3"},
                       line + "echo t-end $(cut -d' ' -f1 /proc/uptime); echo =rates;");
    ASSERT_EQ(r.status, 0) << r.harness << r.err;

    EXPECT_EQ(Rc(r.out, "check"), "0") << Step(r.out, "check");
    EXPECT_THAT(r.out, HasSubstr("check-same"));
    EXPECT_NE(Rc(r.out, "crc"), "0");
    EXPECT_THAT(Step(r.out, "crc"), HasSubstr("update check crc failed."));
    EXPECT_NE(Rc(r.out, "sig"), "0");
    EXPECT_THAT(Step(r.out, "sig"), HasSubstr("Decrypt sha256 data failed!"));
    EXPECT_THAT(r.out, HasSubstr("refused-same"));

    const std::string all = Step(r.out, "all");
    EXPECT_THAT(all, HasSubstr("NAND flash write failed[0].\n"));
    EXPECT_THAT(all, HasSubstr("NAND flash write failed[1].\n"));
    EXPECT_THAT(all, Not(HasSubstr("failed[2]")));
    ExpectAllThenUbootAndConfig(r.out, ReadFile(dir_ + "/out/reboot.log"));
    EXPECT_THAT(Step(r.out, "config"), HasSubstr("remount config mtd as read-only"));

    EXPECT_TRUE(Same(r.Image(0), seed + Ff((512 - 128) << 10)));
    EXPECT_TRUE(Holds(r.Image(1), uboot, 2048));
    // The repair rewrote each copy's checksum and kept its data.
    for (int m : {2, 7}) {
        EXPECT_TRUE(Same(r.Image(m).substr(4), env.substr(4) + Ff((1 << 20) - env.size()))) << m;
        EXPECT_NE(r.Image(m).substr(0, 4), env.substr(0, 4)) << m;
    }
    EXPECT_TRUE(Same(r.Image(3), Ff(3 << 20)));  // the config partition is left erased
    EXPECT_THAT(r.out, HasSubstr("kernel-at-"));
    const std::string mtd4 = r.Image(4);
    EXPECT_EQ(Rc(r.out, "debug"), "0") << Step(r.out, "debug");
    EXPECT_TRUE(Holds(mtd4.substr(r.out.find("kernel-at-0") != std::string::npos ? 0 : 0x40000),
                      kernel2, 2048));
    // The program's blocks skip the bad fourth block of its partition.
    EXPECT_THAT(all, HasSubstr("Skipping bad block at 0x00060000"));
    const std::string mtd5 = r.Image(5);
    EXPECT_TRUE(Holds(mtd5.substr(0, 0x60000) + mtd5.substr(0x80000), program, 2048));
    EXPECT_TRUE(Holds(r.Image(6), web, 2048));
    EXPECT_TRUE(Same(r.Image(8), seed + Ff((1024 - 128) << 10)));
    for (int m : {9, 10, 11})
        EXPECT_EQ(r.Image(m).find_first_not_of('\xff'), std::string::npos) << m;
}

// NOR (block2mtd): every image goes through this program's flashcp into the
// chip device /dev/mtd0 at its flash offset (the guest's mtd0 stands for the
// chip's start), the first write failing twice and then succeeding; config
// erases its partition; the unlock at the end meets a driver without locks;
// -debug loads a kernel into its own partition.
TEST_F(VrecUpdate, SlowNorProfile) {
    Recorder("console=ttyS0 root=/dev/mtdblock5 rootfstype=squashfs");
    const std::string uboot = Image("u.img", 64 << 10, 21), kernel = Image("k.img", 96 << 10, 22),
                      program = Image("p.img", 160 << 10, 23), web = Image("w.img", 32 << 10, 24),
                      seed = RandomBytes(512 << 10, 26);
    Image("c.img", 16 << 10, 25);
    Pack("", {"uboot=" + At("u.img") + "@0", "uimage=" + At("k.img") + "@0x10000",
              "program=" + At("p.img") + "@0x30000", "web=" + At("w.img") + "@0x60000",
              "config=" + At("c.img") + "@0"});
    std::string bad = ReadFile(dir_ + "/medium/Program.bin");
    bad[bad.size() - 100] ^= 1;
    WriteFile(dir_ + "/medium/crc/Program.bin", bad);
    WriteIn("seed.bin", seed);

    std::string line;
    for (int m : {0, 3, 8})
        line += "dd if=seed.bin of=/dev/mtd" + std::to_string(m) + " 2>/dev/null; ";
    line += "s0=$(sums); ";
    line += Timed("check", "update -local /mnt/usb/ all -check") +
            Timed("crc", "update -local /mnt/usb/crc/ all -wait") +
            "[ \"$(sums)\" = \"$s0\" ] && echo refused-same; ";
    // The chip fails every read and write until the writer's second retry
    // is logged (block2mtd on a device-mapper device, switched by vrec-io).
    line +=
        "vrec-io mtd0 fail; " + WhenLogged("NOR flash write failed\\[1\\]", "vrec-io mtd0 pass");
    line +=
        Rated("all", "update -local /mnt/usb/ all") + "cat /var/runtime/log/update_record.log; ";
    line += Timed("uboot", "update -local /mnt/usb/ uboot -wait") +
            Timed("config", "update -local /mnt/usb/ config -wait");
    const std::string kernel2 = RandomBytes(80 << 10, 27);
    line += Debug("debug", "uImage", "uImage", kernel2);
    VrecRun r = Update("nor", {"--profile", "nor", "--fault", "io-fail=mtd0"},
                       line + "echo t-end $(cut -d' ' -f1 /proc/uptime); echo =rates;");
    ASSERT_EQ(r.status, 0) << r.harness << r.err;

    EXPECT_EQ(Rc(r.out, "check"), "0") << Step(r.out, "check");
    EXPECT_NE(Rc(r.out, "crc"), "0");
    EXPECT_THAT(r.out, HasSubstr("refused-same"));
    const std::string all = Step(r.out, "all");
    EXPECT_THAT(all, HasSubstr("NOR flash write failed[1]"));
    EXPECT_THAT(all, Not(HasSubstr("failed[2]")));
    EXPECT_THAT(all, HasSubstr("failed to unlock flash"));
    ExpectAllThenUbootAndConfig(r.out, ReadFile(dir_ + "/out/reboot.log"));

    // flashcp erases the 64 KiB blocks an image covers, nothing more.
    std::string chip = seed;
    auto put = [&chip](std::size_t at, const std::string& image) {
        const std::size_t end = (at + image.size() + 0xFFFF) / 0x10000 * 0x10000;
        chip.replace(at, end - at, image + Ff(end - at - image.size()));
    };
    put(0, uboot);
    put(0x10000, kernel);
    put(0x30000, program);
    put(0x60000, web);
    EXPECT_TRUE(Same(r.Image(0), chip));
    EXPECT_TRUE(Same(r.Image(3), Ff(3 << 20)));
    EXPECT_TRUE(Same(r.Image(8), seed + Ff(512 << 10)));
    // The environment repair wrote each copy's checksum over its own
    // (erased) data.
    for (int m : {2, 7}) EXPECT_TRUE(Same(r.Image(m).substr(4), Ff((1 << 20) - 4))) << m;
    // -debug loads an image into the start of its slot's partition (the
    // layout's offsets count from the chip's start).
    EXPECT_EQ(Rc(r.out, "debug"), "0") << Step(r.out, "debug");
    EXPECT_TRUE(Same(r.Image(4), kernel2 + Ff((4 << 20) - kernel2.size())));
    for (int m : {1, 5, 6, 9, 10, 11})
        EXPECT_EQ(r.Image(m).find_first_not_of('\xff'), std::string::npos) << m;
}

// The NAND profile with a tvconfig partition (key 6) on a UBI root: the
// tvconfig image goes into the partition's attached UBI volume through
// ubiupdatevol, the partition underneath is not erased, and the volume holds
// the image after a re-attach, and the nvram item "sync_mmap" is stored; a
// package without a tvconfig entry writes nothing (the program partition
// above all stays as it was).
TEST_F(VrecUpdate, SlowUbiTvconfig) {
    Recorder("console=ttyS0 ubi.mtd=9 root=ubi0:rootfs rootfstype=ubifs");
    const std::string tv = Image("t.img", 150 << 10, 31), seed = RandomBytes(256 << 10, 32);
    Image("k.img", 64 << 10, 33);
    Pack("", {"uimage=" + At("k.img"), "14=" + At("t.img")}, "vendor", 15);
    Pack("absent", {"uimage=" + At("k.img")}, "vendor", 15);
    WriteIn("seed.bin", seed);
    WriteIn("t.img", tv);
    std::string line =
        "dd if=seed.bin of=/dev/mtd5 bs=2048 2>/dev/null; ubiattach -m 9 -d 0 -b 1 >/dev/null && "
        "ubimkvol /dev/ubi0 -N tvconfig -m >/dev/null; ";
    line += Timed("absent", "update -local /mnt/usb/absent/ tvconfig -wait") +
            Timed("tv", "update -local /mnt/usb/ tvconfig -wait") +
            "ubidetach -m 9 && ubiattach -m 9 -d 0 -b 1 >/dev/null && head -c " +
            std::to_string(tv.size()) + " /dev/ubi0_0 | cmp - t.img && echo volume-holds-image; ";
    VrecRun r = Update("ubi", {"--profile", "nand", "--nvram"}, line + "echo =rates;");
    ASSERT_EQ(r.status, 0) << r.harness << r.err;
    EXPECT_EQ(Rc(r.out, "absent"), "0") << Step(r.out, "absent");
    EXPECT_THAT(Step(r.out, "absent"),
                HasSubstr("no image for /dev/mtd9 (length 0): nothing erased or written"));
    const std::string step = Step(r.out, "tv");
    EXPECT_EQ(Rc(r.out, "tv"), "0") << step;
    EXPECT_THAT(step, HasSubstr("/usr/sbin/ubiupdatevol /dev/ubi0_0 --skip "));
    EXPECT_THAT(step, Not(HasSubstr("flash_eraseall")));
    EXPECT_EQ(ReadFile(dir_ + "/out/nvram.log"), "sync_mmap=1\n");  // the absent image stored none
    EXPECT_THAT(r.out, HasSubstr("volume-holds-image"));
    EXPECT_TRUE(Same(r.Image(5), seed + Ff((8 << 20) - seed.size())));
}

// A power cut in the middle of the NAND program write, then the same update
// again on the flash the cut left: every partition ends correct.
TEST_F(VrecUpdate, SlowNandPowerCutThenTheSameUpdate) {
    Recorder("console=ttyS0 root=/dev/mtdblock5 rootfstype=jffs2");
    const std::string kernel = Image("k.img", 300 << 10, 41), program = Image("p.img", 6 << 20, 42),
                      web = Image("w.img", 100 << 10, 43);
    Pack("", {"uimage=" + At("k.img"), "program=" + At("p.img"), "web=" + At("w.img")});
    const std::string run = "update -local /mnt/usb/ all -wait";
    VrecRun cut =
        Update("nand", {"--profile", "nand", "--cut", "file=/tmp/cut"},
               WhenLogged("nandwrite -p /dev/mtd5", "usleep 300000; touch /tmp/cut") + run + ";");
    ASSERT_EQ(cut.status, 137) << cut.harness << cut.out;
    EXPECT_FALSE(Holds(cut.Image(5), program, 2048));  // cut in the middle
    std::filesystem::rename(dir_ + "/out", dir_ + "/cut");
    VrecRun again =
        Update("nand", {"--profile", "nand", "--flash", dir_ + "/cut"}, Timed("again", run));
    ASSERT_EQ(again.status, 0) << again.harness << again.err;
    EXPECT_EQ(Rc(again.out, "again"), "0") << Step(again.out, "again");
    EXPECT_TRUE(Holds(again.Image(4), kernel, 2048));
    EXPECT_TRUE(Holds(again.Image(5), program, 2048));
    EXPECT_TRUE(Holds(again.Image(6), web, 2048));
    for (int m : {0, 1, 2, 3, 7, 8, 9, 10, 11})
        EXPECT_EQ(again.Image(m).find_first_not_of('\xff'), std::string::npos) << m;
}

// NOR: a power cut while flashcp writes the program, then the same update
// again on the flash the cut left: the chip ends as one good run leaves it.
TEST_F(VrecUpdate, SlowNorPowerCutThenTheSameUpdate) {
    Recorder("console=ttyS0 root=/dev/mtdblock5 rootfstype=squashfs");
    const std::string kernel = Image("k.img", 96 << 10, 51),
                      program = Image("p.img", 256 << 10, 52), web = Image("w.img", 32 << 10, 53);
    Pack("", {"uimage=" + At("k.img") + "@0x10000", "program=" + At("p.img") + "@0x30000",
              "web=" + At("w.img") + "@0x70000"});
    const std::string run = "update -local /mnt/usb/ all -wait";
    VrecRun cut = Update(
        "nor", {"--profile", "nor", "--cut", "file=/tmp/cut"},
        WhenLogged("flashcp -g [0-9]* -l 262144", "usleep 200000; touch /tmp/cut") + run + ";");
    ASSERT_EQ(cut.status, 137) << cut.harness << cut.out;
    std::filesystem::rename(dir_ + "/out", dir_ + "/cut");
    VrecRun again =
        Update("nor", {"--profile", "nor", "--flash", dir_ + "/cut"}, Timed("again", run));
    ASSERT_EQ(again.status, 0) << again.harness << again.err;
    EXPECT_EQ(Rc(again.out, "again"), "0") << Step(again.out, "again");
    const std::string chip = Ff(0x10000) + kernel + Ff(0x20000 - kernel.size()) + program +
                             Ff(0x40000 - program.size()) + web + Ff(0x10000 - web.size());
    EXPECT_TRUE(Same(again.Image(0), chip));
    for (int m = 1; m < 12; ++m)
        EXPECT_EQ(again.Image(m).find_first_not_of('\xff'), std::string::npos) << m;
}

}  // namespace
}  // namespace vrec
