#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "env/env.h"
#include "flash/platform.h"
#include "flash/writer.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t kNor = 3, kNand = 6, kEmmc = 16;
constexpr const char* kYaffs = "root=/dev/mtdblock5 rootfstype=yaffs2\n";
constexpr const char* kSync = "|sync|sync|echo 1 > /proc/sys/vm/drop_caches";

class WriterTest : public ::testing::Test {
  protected:
    void SetUp() override { sys::SetDeviceRootForTests(dir_.path()); }
    void TearDown() override {
        sys::SetDeviceRootForTests("");
        SetNvramOpenerForTests(nullptr);
        ASSERT_EQ(UPDATE_SelectPlatform(), 0);
    }
    // Runs a writer; the commands it ran, "|"-joined, without the probes.
    std::string Write(bool image, uint32_t key, const char* dev, int64_t part, uint64_t len) {
        EXPECT_EQ(UPDATE_SelectPlatformKey(key), 0);
        sys::ScopedRunner scoped(runner_);
        const flash::WriteRequest req{dev,  "/p.bin", part, UPDATE_Platform()->FlashType,
                                      4096, len,      0x100};
        CaptureStdout();
        result_ = image ? flash::WriteImage(req, env_) : flash::WriteFlash(req, env_);
        out_ = GetCapturedStdout();
        std::string joined;
        for (const auto& c : runner_.commands)
            if (c != "cat /proc/cmdline") joined += (joined.empty() ? "" : "|") + c;
        return joined;
    }
    ScratchDir dir_;
    sys::FakeRunner runner_;
    std::vector<unsigned> pauses_;
    flash::WriterEnv env_{[this](unsigned s) { pauses_.push_back(s); },
                          [](const char*, const char*, uint64_t, uint64_t) { return 0; }};
    int result_ = 0;
    std::string out_;
};

struct Row {
    bool image;
    uint32_t key;
    const char* cmdline;
    const char* dev;
    int64_t part;
    int result;
    std::string commands;
};

TEST_F(WriterTest, CommandLinesPerFlashKindRoleAndFileSystem) {
    const std::string dd = "dd if=/p.bin of=/dev/mmcblk0p";
    const std::string bs = "  bs=1M count=700 skip=4096 iflag=skip_bytes,count_bytes ";
    const std::string erase = "exec: /tmp/busybox flash_eraseall /dev/mtd";
    const std::string range = " -g 4096 -l 700 -m /p.bin";
    const Row rows[] = {
        {false, kEmmc, "", "/dev/mmcblk0p5", 0x80000000, 0, dd + "5" + bs + kSync},
        {false, kEmmc, "", "/dev/mmcblk0p15", 0x200000, 0, dd + "15" + bs + kSync},
        {false, kEmmc, "", "/dev/mmcblk0p3", 0x10000000, 0,
         "rm -rf /var/runtime/*" + std::string(kSync)},
        {false, kEmmc, "", "/dev/mmcblk0p5", 699, -1, ""},
        {true, kEmmc, "", "/dev/mmcblk0p4", 0x8000000, 0, dd + "4" + bs + kSync},
        {true, kEmmc, "", "/dev/mmcblk0p8", 0x200000, 0,
         "/var/cmdtmp/mmcwrite /p.bin 0x1000 0x2bc 0x100 0x200000" + std::string(kSync)},
        {false, kNor, "", "/dev/mtd5", 1000, 0,
         "exec: /tmp/busybox flashcp -g 4096 -l 700 -o 256 /p.bin /dev/mtd0"},
        {true, kNor, "", "/dev/mtd5", 1000, 0,
         "exec: /bin/busybox flashcp -g 4096 -l 700 -o 256 /p.bin /dev/mtd5"},
        {false, kNor, "", "/dev/mtd3", 0, 0, erase + "3"},
        {false, kNor, "", "/dev/mtd5", 699, -1, ""},
        {false, kNand, "", "/dev/mtd3", 0, 0, "rm -rf /var/runtime/*"},
        {false, kNand, kYaffs, "/dev/mtd3", 0, 0, erase + "3"},
        {false, kNand, kYaffs, "/dev/mtd5", 1000, 0,
         erase + "5|exec: /usr/sbin/nandwrite -o /dev/mtd5" + range},
        {false, kNand, "ext4", "/dev/mtd5", 1000, 0,
         erase + "5|exec: /usr/sbin/nandwrite -p /dev/mtd5" + range},
        {false, kNand, "", "/dev/mtd1", 1000, 0,
         erase + "1|exec: /usr/sbin/nandwrite_mboot" + range},
        {false, kNand, "", "/dev/mtd9", 1000, 0,
         erase + "9|exec: /usr/sbin/ubiupdatevol /dev/ubi0_0 --skip 4096 -s 700 /p.bin"},
        {false, kNand, "", "/dev/mtd5", 699, -1, ""},
        {true, kNand, "", "/dev/mtd6", 1000, 0,
         "exec: /bin/busybox flash_eraseall /dev/mtd6|exec: /usr/sbin/nandwrite -o /dev/mtd6" +
             range},
    };
    std::vector<std::string> stored;
    SetNvramOpenerForTests([&](const char*) -> std::unique_ptr<NvramDevice> {
        struct Rec : NvramDevice {
            std::vector<std::string>* to;
            explicit Rec(std::vector<std::string>* t) : to(t) {}
            int Store(NVRAM_ITEM_S* i) override {
                return to->push_back(std::string(i->name) + "=" + i->value), 0;
            }
        };
        return std::make_unique<Rec>(&stored);
    });
    for (const Row& row : rows) {
        runner_ = {};
        runner_.read_output = row.cmdline;
        EXPECT_EQ(Write(row.image, row.key, row.dev, row.part, 700), row.commands) << row.dev;
        EXPECT_EQ(result_, row.result) << row.dev;
    }
    EXPECT_EQ(stored, std::vector<std::string>{"sync_mmap=1"});
}

TEST_F(WriterTest, FailedWritesAreRetriedWithPauses) {
    runner_.results = {0, 1, 2, 0};  // erase, two failures, success
    EXPECT_NE(Write(false, kNand, "/dev/mtd5", 1000, 700), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(pauses_, (std::vector<unsigned>{1, 1}));
    EXPECT_NE(out_.find("NAND flash write failed[0].\nNAND flash write failed[1].\n"),
              std::string::npos);

    runner_ = {};
    runner_.default_result = 1;
    pauses_.clear();
    const std::string tries = Write(false, kNor, "/dev/mtd5", 1000, 700);
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(std::count(tries.begin(), tries.end(), '|'), 9);
    EXPECT_EQ(pauses_.size(), 9u);
    EXPECT_NE(out_.find("NOR flash write failed[9] error [1]\nNOR flash write final failed.\n"),
              std::string::npos);

    runner_ = {};
    runner_.results = {7};  // the NAND erase
    EXPECT_EQ(Write(false, kNand, "/dev/mtd5", 1000, 700),
              "exec: /tmp/busybox flash_eraseall /dev/mtd5");
    EXPECT_EQ(result_, 7);
}

TEST_F(WriterTest, ExecLineSplitsAndRefusesOversizedLines) {
    sys::ScopedRunner scoped(runner_);
    const std::string w64(64, 'w');
    std::string words31;
    for (int i = 0; i < 31; ++i) words31 += "a" + std::to_string(i) + " ";
    CaptureStdout();
    EXPECT_EQ(UPDATE_ExecLine("  /bin/x \t-a  b\t"), 0);
    EXPECT_EQ(UPDATE_ExecLine(words31.c_str()), -1);
    EXPECT_EQ(UPDATE_ExecLine(("/bin/x " + w64).c_str()), -1);
    EXPECT_EQ(UPDATE_ExecLine(std::string(512, 'x').c_str()), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "Invalid argument: arg num 30 arg len 3\nInvalid argument: arg num 1 arg len 64\n"
              "Invalid argument: cmd len 512\n");
    EXPECT_EQ(runner_.commands, std::vector<std::string>{"exec: /bin/x -a b"});
}

}  // namespace
