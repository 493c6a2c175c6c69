// The flash tools and the NOR/NAND writers on the kernel's own MTD drivers:
// one guest boot per profile. The writers run as write-flash of the profile
// builds next to this build tree (BUILD-nor, BUILD-nand; tools/test.sh makes
// them).
#include <filesystem>
#include <string>

#include "devsim_fixture.h"
#include "vrec_fixture.h"

namespace vrec {
namespace {

using devsim::RandomBytes;
using testing::HasSubstr;
using testing::Not;

class VrecFlash : public VrecTest {
  protected:
    // write-flash of the profile build BUILD-<variant>.
    std::string Driver(const char* variant) {
        std::string path = std::string(UPDATE_BINARY_DIR) + "-" + variant + "/bin/write-flash";
        EXPECT_TRUE(std::filesystem::exists(path))
            << path << " is missing: tools/test.sh builds it (UPDATE_PROFILE_KEY of the " << variant
            << " profile, target write-flash)";
        return path;
    }
};

// NOR (block2mtd, 64 KiB blocks, no bad-block support): flashcp's blocks,
// chunks and verify pass, a whole-file copy, the three refused ranges, a
// whole-device erase, and the NOR writer's flashcp on the chip device.
TEST_F(VrecFlash, NorToolsAndWriter) {
    const std::string a = RandomBytes(20000, 1), b = RandomBytes(100000, 2),
                      seed = RandomBytes(1 << 20, 3);
    WriteIn("a.bin", a);
    WriteIn("b.bin", b);
    WriteIn("seed.bin", seed);
    std::string line =
        "mkdir -p /var/log; for m in 0 4 8 9; do dd if=seed.bin of=/dev/mtd$m "
        "bs=64k 2>/dev/null; done; ";
    line += Mark("cp", "flashcp a.bin /dev/mtd4") +
            Mark("all", "flashcp -l 0 -o 0x20000 b.bin /dev/mtd5");
    line += Mark("src", "flashcp -l 30000 a.bin /dev/mtd8") +
            Mark("dev", "flashcp -o 0xf0000 -l 0x18000 b.bin /dev/mtd8") +
            Mark("odd", "flashcp -o 0x1000 a.bin /dev/mtd8");
    // An absent image (length 0) writes nothing: flashcp's own "-l 0" would
    // copy the whole file over the chip's start.
    line += Mark("ea", "flash_eraseall /dev/mtd9") +
            Mark("absent", "write-flash /dev/mtd1 b.bin 1048576 0 0") +
            Mark("wr", "write-flash /dev/mtd5 b.bin 8388608 1000 90000 0x10000");
    VrecRun r = Run({"--profile", "nor", "--bin", Driver("nor")}, line);
    ASSERT_EQ(r.status, 0) << r.harness << r.err;
    EXPECT_EQ(Step(r.out, "cp"),
              "\rErasing block: 1/1 (100%) \n"
              "\rWriting kb: 0/19 (0%) \rWriting kb: 8/19 (42%) \rWriting kb: 16/19 (84%) \n"
              "\rVerifying kb: 0/19 (0%) \rVerifying kb: 8/19 (42%) \rVerifying kb: 16/19 (84%) "
              "\n");
    EXPECT_TRUE(Same(r.Image(4), a + Ff(0x10000 - a.size()) + seed.substr(0x10000) + Ff(3 << 20)));
    EXPECT_TRUE(Same(r.Image(5), Ff(0x20000) + b + Ff((8 << 20) - 0x20000 - b.size())));
    for (const char* refused : {"src", "dev", "odd"}) {
        EXPECT_EQ(Rc(r.out, refused), "1") << refused;
        EXPECT_EQ(Step(r.out, refused), "") << refused;  // nothing erased, nothing written
    }
    EXPECT_THAT(r.err, HasSubstr("update: range 0x0+0x7530 is past the end of 'a.bin'"));
    EXPECT_THAT(r.err, HasSubstr("update: range 0xf0000+0x18000 is past the end of /dev/mtd8"));
    EXPECT_THAT(r.err, HasSubstr("update: flash offset 0x1000 is not a multiple"));
    EXPECT_TRUE(Same(r.Image(8), seed));
    EXPECT_EQ(Rc(r.out, "ea"), "0");
    EXPECT_THAT(Step(r.out, "ea"), Not(HasSubstr("Skipping")));
    EXPECT_THAT(Step(r.out, "ea"), HasSubstr("Erasing 64 Kibyte @ 100000 - 100% complete.\n"));
    EXPECT_TRUE(Same(r.Image(9), Ff(1 << 20)));
    EXPECT_EQ(Rc(r.out, "absent"), "0");
    EXPECT_THAT(Step(r.out, "absent"), Not(HasSubstr("flashcp")));
    EXPECT_EQ(Rc(r.out, "wr"), "0") << r.out;
    EXPECT_TRUE(Same(r.Image(0), seed.substr(0, 0x10000) + b.substr(1000, 90000) +
                                     Ff(0x20000 - 90000) + seed.substr(0x30000, 0x50000)));
}

// NAND (nandsim, 128 KiB blocks): flash_eraseall around a bad second block;
// the NAND writer erasing with this program's flash_eraseall and writing with
// mtd-utils' nandwrite; a write whose first two attempts fail.
TEST_F(VrecFlash, NandToolsAndWriter) {
    const std::string seed = RandomBytes(1 << 20, 4), img = RandomBytes(4096 + 300000 + 3000, 5);
    WriteIn("seed.bin", seed);
    WriteIn("img.bin", img);
    WriteIn("nandwrite",
            devsim::ReadFile(std::string(UPDATE_SOURCE_DIR) + "/tests/vm/nandwrite-recorder.sh"));
    // Page 0 of blocks 0 and 1 of mtd4 fail every program: the first attempt
    // fails on block 0 (nandwrite cannot mark it bad: the marker is a program
    // too, but the kernel's table keeps it), the second on block 1, the third
    // skips both.
    std::string line =
        "mkdir -p /var/log; mv /usr/sbin/nandwrite /usr/sbin/nandwrite.mtd-utils; "
        "cp nandwrite /usr/sbin/nandwrite; chmod 755 /usr/sbin/nandwrite; "
        "dd if=seed.bin of=/dev/mtd2 bs=2048 2>/dev/null; dd if=seed.bin of=/dev/mtd5 bs=2048 "
        "2>/dev/null; dd if=seed.bin of=/dev/mtd6 bs=2048 2>/dev/null; ";
    // The image deep in folders (a path of more than 63 characters, one
    // word of the write command at most) is written through a short link,
    // after its command was checked and before nothing was erased; an absent
    // image (length 0) erases nothing.
    const std::string deep = "usb/" + std::string(60, 'd') + "/img.bin";
    line += "mkdir -p " + deep.substr(0, deep.size() - 8) + "; cp img.bin " + deep + "; ";
    line += Mark("ea", "flash_eraseall /dev/mtd2") +
            Mark("wr", "write-flash /dev/mtd5 " + deep + " 8388608 4096 300000") +
            Mark("absent", "write-flash /dev/mtd6 img.bin 2097152 4096 0");
    line += "cut -d' ' -f1 /proc/uptime; " +
            Mark("retry", "write-flash /dev/mtd4 img.bin 4194304 4096 300000") +
            "cut -d' ' -f1 /proc/uptime";
    VrecRun r = Run({"--profile", "nand", "--bin", Driver("nand"), "--badblocks", "mtd2:1",
                     "--fault", "write-fail=mtd4:0", "--fault", "write-fail=mtd4:64"},
                    line);
    ASSERT_EQ(r.status, 0) << r.harness << r.err;
    EXPECT_EQ(Rc(r.out, "ea"), "0");
    EXPECT_THAT(Step(r.out, "ea"), HasSubstr("update: \nSkipping bad block at 0x00020000\n"));
    EXPECT_TRUE(Same(r.Image(2),
                     Ff(0x20000) + seed.substr(0x20000, 0x20000) + Ff(std::size_t{6} * 0x20000)));
    // mtd-utils' nandwrite fills the image's last page from the file, not
    // with 0xff: the next bytes of the package follow the image up to the
    // page end (2048 bytes).
    const std::string image = img.substr(4096, 300000) + img.substr(4096 + 300000, 1056);
    EXPECT_EQ(Rc(r.out, "wr"), "0") << Step(r.out, "wr") << r.err;
    EXPECT_THAT(Step(r.out, "wr"), HasSubstr("/tmp/busybox flash_eraseall /dev/mtd5\n"));
    EXPECT_THAT(Step(r.out, "wr"), HasSubstr("/usr/sbin/nandwrite -p /dev/mtd5 -g 4096 -l 300000 "
                                             "-m /tmp/update-image.bin\n"));
    EXPECT_EQ(Rc(r.out, "absent"), "0");
    EXPECT_TRUE(Same(r.Image(6), seed + Ff(1 << 20)));
    EXPECT_TRUE(Same(r.Image(5), image + Ff((8 << 20) - image.size())));
    const std::string retry = Step(r.out, "retry");
    EXPECT_EQ(Rc(r.out, "retry"), "0") << retry << r.err;
    EXPECT_THAT(retry, HasSubstr("NAND flash write failed[0].\n"));
    EXPECT_THAT(retry, HasSubstr("NAND flash write failed[1].\n"));
    EXPECT_THAT(retry, Not(HasSubstr("failed[2]")));
    const std::size_t t0 = r.out.rfind('\n', r.out.find("=retry\n") - 2) + 1;
    const double before = std::stod(r.out.substr(t0));
    const double after = std::stod(r.out.substr(r.out.find("=retry 0\n") + 9));
    EXPECT_GE(after - before, 2.0);  // the two pauses of a second
    EXPECT_TRUE(Same(r.Image(4).substr(0x40000), image + Ff((4 << 20) - 0x40000 - image.size())));
}

}  // namespace
}  // namespace vrec
