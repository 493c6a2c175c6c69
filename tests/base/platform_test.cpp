#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/platform.h"
#include "sys/fake_runner.h"
#include "sys/path.h"
#include "sys/runner.h"
#include "sys/scratch.h"

namespace {

class PlatformTest : public ::testing::Test {
  protected:
    void TearDown() override { ASSERT_EQ(UPDATE_SelectPlatform(), 0); }
};

// The build's eMMC profile and the NOR (3), SATA (10) and NAND (14) variants.
TEST_F(PlatformTest, Profiles) {
    auto select = [](int key) {
        EXPECT_EQ(key == 0 ? UPDATE_SelectPlatform() : UPDATE_SelectPlatformKey(key), 0);
        return UPDATE_Platform();
    };
    const PLATFORM_INFO_S* p = select(0);
    EXPECT_EQ(p->FlashType, kFlashEmmc);
    EXPECT_EQ(p->SupportMask, 0x100FFu);
    EXPECT_EQ(p->PartTableDev, nullptr);
    EXPECT_EQ(p->Layout, UPDATE_FindLayout(24));
    EXPECT_STREQ(p->Parts[kSlotUboot].Dev, "/dev/mmcblk0p1");
    EXPECT_STREQ(p->Parts[kSlotConfig].Dev, "/dev/mmcblk0p3");
    EXPECT_STREQ(p->Parts[kSlotKernel].Dev, "/dev/mmcblk0p4");
    EXPECT_STREQ(p->Parts[kSlotProgram].Dev, "/dev/mmcblk0p5");
    EXPECT_STREQ(p->Parts[kSlotWeb].Dev, "/dev/mmcblk0p6");
    EXPECT_STREQ(p->Parts[kSlotMdc].Dev, "/dev/mmcblk0p15");
    EXPECT_EQ(p->Parts[4].Dev, nullptr);
    EXPECT_EQ(p->Parts[kSlotTvconfig].Dev, nullptr);
    EXPECT_EQ(p->Parts[kSlotConfig].Index, 2u);
    EXPECT_EQ(p->Parts[kSlotProgram].Index, 4u);
    EXPECT_EQ(p->Parts[kSlotWeb].Index, 5u);
    p = select(3);
    EXPECT_EQ(p->FlashType, kFlashNor);
    EXPECT_EQ(p->Reserved0, 0u);
    EXPECT_EQ(p->SupportMask, 0x7FFu);
    EXPECT_EQ(p->Layout, UPDATE_FindLayout(24));
    EXPECT_STREQ(p->Parts[13].Dev, "/dev/mtd11");
    p = select(10);
    EXPECT_STREQ(p->PartTableDev, "/dev/parttable");
    EXPECT_STREQ(p->Parts[6].Dev, "/dev/sda9");
    EXPECT_EQ(p->Parts[6].Index, 16u);
    p = select(14);
    EXPECT_EQ(p->FlashType, kFlashNand);
    EXPECT_STREQ(p->Parts[5].Dev, "/dev/mtd13");
    EXPECT_EQ(UPDATE_SelectPlatformKey(17), -1);
}

// Layout 24 as published; 25 differs only in the chip and the database rows.
TEST_F(PlatformTest, Layouts) {
    const PART_LAYOUT_S* l = UPDATE_FindLayout(24);
    const PART_LAYOUT_S* b = UPDATE_FindLayout(25);
    ASSERT_NE(l, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(l[kRowChip].Name, "chip");
    EXPECT_EQ(l[kRowChip].Size, 0x200000000u);
    EXPECT_STREQ(l[kRowProgram].Name, "program");
    EXPECT_EQ(l[kRowProgram].Offset, 0x22800000u);
    EXPECT_EQ(l[kRowProgram].Size, 0x80000000u);
    EXPECT_EQ(l[kRowKernel].Offset, 0x12800000u);
    EXPECT_EQ(l[kRowMdc].Offset, 0xA4E00000u);
    EXPECT_STREQ(l[14].Name, "bootlogo_non.gz");
    EXPECT_EQ(l[18].Flag, 0u);  // panic
    EXPECT_EQ(l[18].BlockSize, 0x80000u);
    // Empty rows are all zero.
    for (int row : {9, 11, 15, 16, 17, 19, 20, 21, 23, 24, 25, 26, 28, 29, 30}) {
        EXPECT_EQ(l[row].Name[0], '\0') << row;
        EXPECT_EQ(l[row].Size, 0u) << row;
    }
    EXPECT_EQ(b[0].Size, 0x800000000u);
    EXPECT_STREQ(b[20].Name, "database");
    EXPECT_EQ(b[20].Offset, 0xA5000000u);
    EXPECT_EQ(b[20].Size, 0x500000000u);
    for (int row = 1; row < kLayoutRows; ++row) {
        EXPECT_TRUE(row == 20 || std::memcmp(&l[row], &b[row], sizeof(PART_LAYOUT_S)) == 0) << row;
    }
    EXPECT_EQ(UPDATE_FindLayout(0), nullptr);
    EXPECT_EQ(UPDATE_FindLayout(26), nullptr);
}

// The partition lookup: no device node, and a node that is no driver.
TEST(Probes, PartitionLookupFailures) {
    ScratchDir root;
    std::filesystem::create_directories(root / "dev");
    sys::SetDeviceRoot(root.path());
    PART_INFO_S info{};
    info.FlashType = kFlashEmmc;
    std::strcpy(info.Name, "mdc.bin");
    for (const char* message :
         {"open /dev/hal_misc failed\n", "Failed to get mdc.bin part index\n"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(UPDATE_GetPartInfo(&info), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
        std::ofstream(root / "dev/hal_misc") << "";
    }
    sys::SetDeviceRoot("");
    EXPECT_STREQ(info.Name, "mdc.bin");
}

// The probes keep all but the line end ("\n" or "\r\n"), cut a long line to
// the destination and write nothing past it.
TEST(Probes, BoardTypeAndUbootRevision) {
    const char* kBoard = "cat /proc/board_type";
    const struct {
        int (*probe)(char*);
        const char* command;
        std::string text;
        int read_result;
        int result;
        std::string value;
    } cases[] = {
        {UPDATE_GetBoardType, kBoard, "ABC\n", 0, 0, "ABC"},
        {UPDATE_GetBoardType, kBoard, "ABC", 0, 0, "ABC"},
        {UPDATE_GetBoardType, kBoard, "ABC\r\n", 0, 0, "ABC"},
        {UPDATE_GetBoardType, kBoard, "ABC \n", 0, 0, "ABC "},
        {UPDATE_GetBoardType, kBoard, "BRD-X\nsecond line\n", 0, 0, "BRD-X"},
        {UPDATE_GetBoardType, kBoard, std::string(300, 'x') + "\n", 0, 0,
         std::string(kProbeTextSize - 1, 'x')},
        {UPDATE_GetBoardType, kBoard, "", 0, -1, "Unknown"},
        {UPDATE_GetUbootVersion, "cat /proc/uboot_rev", "U1\n", -1, -1, "Unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        sys::FakeRunner fake;
        fake.read_output = c.text;
        fake.read_result = c.read_result;
        sys::ScopedRunner scope(fake);
        char out[kProbeTextSize + 8];
        std::memset(out, 'Z', sizeof(out));
        EXPECT_EQ(c.probe(out), c.result);
        EXPECT_EQ(std::string(out, strnlen(out, sizeof(out))), c.value);
        EXPECT_EQ(out[kProbeTextSize], 'Z');
        EXPECT_EQ(fake.commands, std::vector<std::string>{c.command});
    }
}

TEST(Probes, RootFileSystemWords) {
    sys::FakeRunner fake;
    fake.read_output = "console=ttyS0 root=/dev/mtdblock3 rootfstype=yaffs2 mem=512M\n";
    sys::ScopedRunner scope(fake);
    EXPECT_EQ(UPDATE_IsYaffs2(), 0);
    EXPECT_EQ(UPDATE_IsJffs2(), -1);
    EXPECT_EQ(UPDATE_IsSquashfs(), -1);
    EXPECT_EQ(UPDATE_IsExt4(), -1);
    for (const auto& c : fake.commands) EXPECT_EQ(c, "cat /proc/cmdline");

    fake.read_result = -1;
    EXPECT_EQ(UPDATE_IsYaffs2(), -1);
}

TEST(Probes, UbiVolumeOnVarRuntime) {
    const std::pair<std::string, int> rows[] = {
        {"rootfs / rootfs rw 0 0\nubi1_0 /var/runtime ubifs rw,relatime 0 0\n", 0},
        {"ubi0_0 /var/runtime ubifs rw 0 0\nubi1_0 /mnt ubifs rw 0 0\n", -1},  // other mounts
        // 40 characters, then the device name straddles the 49-character piece boundary.
        {std::string(40, 'a') + " ubi1_0 /var/runtime ubifs rw 0 0\n", -1},
    };
    ScratchDir root;
    std::filesystem::create_directories(root / "proc");
    sys::SetDeviceRoot(root.path());
    for (const auto& [mounts, result] : rows) {
        std::ofstream(root / "proc/mounts") << mounts;
        EXPECT_EQ(UPDATE_IsUbiRuntime(), result) << mounts;
    }
    std::filesystem::remove(root / "proc/mounts");
    testing::internal::CaptureStdout();
    EXPECT_EQ(UPDATE_IsUbiRuntime(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fopen /proc/mounts is error \r\n");
    sys::SetDeviceRoot("");
}

}  // namespace
