#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/nvram.h"
#include "base/platform.h"
#include "flash/writer.h"
#include "package/checked.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

namespace gt = testing::internal;
constexpr uint32_t kNor = 3, kNand = 6, kEmmc = 16;  // profile keys

struct Nvram : NvramDevice {
    std::vector<std::string>* items;
    explicit Nvram(std::vector<std::string>* to) : items(to) {}
    int Store(NVRAM_ITEM_S* i) override { return items->push_back(i->name), 0; }
};

class WriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sys::SetDeviceRoot(dir_.path());
        std::filesystem::create_directories(dir_.path() + "/tmp");
        SetNvramOpener([this](const char*) { return std::make_unique<Nvram>(&nvram_); });
    }
    void TearDown() override {
        sys::SetDeviceRoot("");
        SetNvramOpener(nullptr);
        ASSERT_EQ(UPDATE_SelectPlatform(), 0);
    }
    // Writes 700 bytes from 4096 of "/p.bin" to flash offset 256; the
    // commands run, "|"-joined, without the file-system probes.
    std::string Write(bool image, uint32_t key, const char* dev, int64_t part,
                      const char* file = "/p.bin", uint64_t length = 700) {
        EXPECT_EQ(UPDATE_SelectPlatformKey(key), 0);
        sys::ScopedRunner scoped(runner_);
        const flash::WriteRequest req{dev,  file,   part, UPDATE_Platform()->FlashType,
                                      4096, length, 256};
        gt::CaptureStdout();
        result_ = image ? flash::WriteImage(req, env_) : flash::WriteFlash(req, env_);
        out_ = gt::GetCapturedStdout();
        std::string joined;
        for (const auto& c : runner_.commands)
            if (c != "cat /proc/cmdline") joined += (joined.empty() ? "" : "|") + c;
        return joined;
    }
    ScratchDir dir_;
    sys::FakeRunner runner_;
    std::vector<std::string> nvram_;
    std::vector<unsigned> pauses_;
    flash::WriterEnv env_{[this](unsigned s) { pauses_.push_back(s); },
                          [](const char*, const char*, uint64_t, uint64_t) { return 0; }};
    int result_ = 0;
    std::string out_;
    std::error_code ec_;
};

TEST_F(WriterTest, CommandLinesPerFlashKindRoleAndFileSystem) {
    const std::string dd = "dd if=/p.bin of=/dev/mmcblk0p";
    const std::string bs = "  bs=1M count=700 skip=4096 iflag=skip_bytes,count_bytes ";
    const std::string sync = "|sync|sync|echo 1 > /proc/sys/vm/drop_caches";
    const std::string erase = "exec: /tmp/busybox flash_eraseall /dev/mtd";
    const std::string nandwrite = "|exec: /usr/sbin/nandwrite";
    const std::string range = " -g 4096 -l 700 -m /p.bin";
    const std::string yaffs = "root=/dev/mtdblock5 rootfstype=yaffs2\n";
    struct Row {
        bool image;
        uint32_t key;
        std::string cmdline;
        const char* dev;
        int64_t part;
        std::string commands;  // none: refused, -1
    } rows[] = {
        {false, kEmmc, "", "/dev/mmcblk0p5", 0x80000000, dd + "5" + bs + sync},
        {false, kEmmc, "", "/dev/mmcblk0p15", 0x200000, dd + "15" + bs + sync},  // lookup fails
        {false, kEmmc, "", "/dev/mmcblk0p3", 0x10000000, "rm -rf /var/runtime/*" + sync},
        {false, kEmmc, "", "/dev/mmcblk0p5", 699, ""},
        {true, kEmmc, "", "/dev/mmcblk0p4", 0x8000000, dd + "4" + bs + sync},
        {true, kEmmc, "", "/dev/mmcblk0p8", 0x200000,
         "/var/cmdtmp/mmcwrite /p.bin 0x1000 0x2bc 0x100 0x200000" + sync},
        {false, kNor, "", "/dev/mtd5", 700,
         "exec: /tmp/busybox flashcp -g 4096 -l 700 -o 256 /p.bin /dev/mtd0"},
        {true, kNor, "", "/dev/mtd5", 700,
         "exec: /bin/busybox flashcp -g 4096 -l 700 -o 0 /p.bin /dev/mtd5"},
        {false, kNor, "", "/dev/mtd3", 0, erase + "3"},
        {false, kNor, "", "/dev/mtd5", 699, ""},
        {false, kNand, "", "/dev/mtd3", 0, "rm -rf /var/runtime/*"},
        {false, kNand, yaffs, "/dev/mtd3", 0, erase + "3"},
        {false, kNand, yaffs, "/dev/mtd5", 700, erase + "5" + nandwrite + " -o /dev/mtd5" + range},
        {false, kNand, "ext4", "/dev/mtd5", 700, erase + "5" + nandwrite + " -p /dev/mtd5" + range},
        {false, kNand, "", "/dev/mtd1", 700, erase + "1" + nandwrite + "_mboot" + range},
        {false, kNand, "", "/dev/mtd9", 700,
         "exec: /usr/sbin/ubiupdatevol /dev/ubi0_0 --skip 4096 -s 700 /p.bin"},  // no erase
        {false, kNand, "", "/dev/mtd9", 0,  // the volume bounds its image, not the layout
         "exec: /usr/sbin/ubiupdatevol /dev/ubi0_0 --skip 4096 -s 700 /p.bin"},
        {false, kNand, "", "/dev/mtd5", 699, ""},
        {true, kNand, "", "/dev/mtd6", 700,
         "exec: /bin/busybox flash_eraseall /dev/mtd6" + nandwrite + " -o /dev/mtd6" + range},
    };
    for (const Row& row : rows) {
        runner_ = {};
        runner_.read_output = row.cmdline;
        EXPECT_EQ(Write(row.image, row.key, row.dev, row.part), row.commands) << row.dev;
        EXPECT_EQ(result_, row.commands.empty() ? -1 : 0) << row.dev;
    }
    EXPECT_EQ(nvram_, (std::vector<std::string>{"sync_mmap", "sync_mmap"}));  // tvconfig
}

TEST_F(WriterTest, FailedWritesAreRetriedWithPausesAndEraseFailuresAreNot) {
    runner_.results = {0, 1, 2, 0};  // erase, two failures, success
    Write(false, kNand, "/dev/mtd5", 700);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(pauses_, (std::vector<unsigned>{1, 1}));
    EXPECT_NE(out_.find("NAND flash write failed[0].\nNAND flash write failed[1].\n"),
              std::string::npos);

    runner_ = {};
    runner_.default_result = 1;
    pauses_.clear();
    const std::string tries = Write(false, kNor, "/dev/mtd5", 700);
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(std::count(tries.begin(), tries.end(), '|'), 9);
    EXPECT_EQ(pauses_.size(), 9u);
    EXPECT_NE(out_.find("NOR flash write failed[9] error [1]\nNOR flash write final failed.\n"),
              std::string::npos);

    runner_ = {};
    runner_.results = {7};  // the NAND erase
    EXPECT_EQ(Write(false, kNand, "/dev/mtd5", 700), "exec: /tmp/busybox flash_eraseall /dev/mtd5");
    EXPECT_EQ(result_, 7);
}

// An entry of length 0 is no image: nothing is erased or written on any
// flash kind (flashcp would copy the whole package for "-l 0"); a package
// path that cannot be one word of a tool's command is written through a
// short link, so nothing is erased before a command that could never run.
TEST_F(WriterTest, AbsentImagesAndUnsplittablePaths) {
    for (const uint32_t key : {kNor, kNand, kEmmc}) {
        for (const char* dev : {"/dev/mtd1", "/dev/mtd5", "/dev/mtd3", "/dev/mmcblk0p5"}) {
            for (const bool image : {false, true}) {
                runner_ = {};
                EXPECT_EQ(Write(image, key, dev, 0x80000, "/p.bin", 0), "") << key << dev;
                EXPECT_EQ(result_, 0);
                EXPECT_EQ(out_, std::string("no image for ") + dev +
                                    " (length 0): nothing erased or written\n");
            }
        }
    }
    const std::string deep = "/mnt/usb/" + std::string(60, 'd') + "/Program.bin";
    const std::string link = "/tmp/update-image.bin";
    for (const std::string& file : {deep, std::string("/mnt/usb/new fw/Program.bin")}) {
        runner_ = {};
        EXPECT_EQ(Write(false, kNand, "/dev/mtd5", 700, file.c_str()),
                  "exec: /tmp/busybox flash_eraseall /dev/mtd5|exec: /usr/sbin/nandwrite -p "
                  "/dev/mtd5 -g 4096 -l 700 -m " +
                      link);
        EXPECT_EQ(result_, 0);
        runner_ = {};
        EXPECT_EQ(Write(false, kNor, "/dev/mtd5", 700, file.c_str()),
                  "exec: /tmp/busybox flashcp -g 4096 -l 700 -o 256 " + link + " /dev/mtd0");
        EXPECT_FALSE(std::filesystem::exists(dir_.path() + link, ec_)) << "the link outlives";
    }
}

TEST_F(WriterTest, ExecLineSplitsAndRefusesOversizedLines) {
    sys::ScopedRunner scoped(runner_);
    std::string words31;
    for (int i = 0; i < 31; ++i) words31 += "a" + std::to_string(i) + " ";
    gt::CaptureStdout();
    EXPECT_EQ(UPDATE_ExecLine("  /bin/x \t-a  b\t"), 0);
    EXPECT_EQ(UPDATE_ExecLine(words31.c_str()), -1);
    EXPECT_EQ(UPDATE_ExecLine(("/bin/x " + std::string(64, 'w')).c_str()), -1);
    EXPECT_EQ(UPDATE_ExecLine(std::string(512, 'x').c_str()), -1);
    EXPECT_EQ(gt::GetCapturedStdout(),
              "Invalid argument: arg num 30 arg len 3\nInvalid argument: arg num 1 arg len 64\n"
              "Invalid argument: cmd len 512\n");
    EXPECT_EQ(runner_.commands, std::vector<std::string>{"exec: /bin/x -a b"});
}

// The read-back compares every byte of the image, the last of each 8 MiB
// piece and of the image included (a device that takes no direct reads, as
// a tmpfs file, is read plainly); where the check kept a digest of the
// sub-image, the target is held against it, not against the medium.
TEST_F(WriterTest, ReadBackComparesEveryByteOrTheChecksDigest) {
    std::string image((8 << 20) + 3, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + i / 251);
    const std::string pkg = dir_ / "pkg", target = dir_ / "target";
    auto put = [](const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    };
    put(pkg, std::string(100, 'H') + image);
    gt::CaptureStdout();
    for (const size_t flip :
         {size_t{0}, size_t{(8 << 20) - 1}, size_t{8 << 20}, image.size() - 1, std::string::npos}) {
        std::string got = image;
        if (flip != std::string::npos) got[flip] = static_cast<char>(~got[flip]);
        put(target, got);
        EXPECT_EQ(flash::VerifyCopy(target.c_str(), pkg.c_str(), 100, image.size()),
                  flip == std::string::npos ? 0 : -1)
            << flip;
    }
    pkg::SubImageDigest kept{100, image.size(), {}};
    ASSERT_EQ(pkg::Sha256Head(target.c_str(), image.size(), kept.sha256), 0);
    UPDATE_KeepSubImageDigests(pkg.c_str(), {kept});
    put(pkg, std::string(100, 'H') + std::string(image.size(), 'X'));  // the medium changed
    EXPECT_EQ(flash::VerifyCopy(target.c_str(), pkg.c_str(), 100, image.size()), 0);
    put(target, image.substr(0, image.size() - 1) + "?");
    EXPECT_EQ(flash::VerifyCopy(target.c_str(), pkg.c_str(), 100, image.size()), -1);
    UPDATE_KeepSubImageDigests("", {});
    (void)gt::GetCapturedStdout();
}

}  // namespace
