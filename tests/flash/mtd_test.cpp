#include <gtest/gtest.h>

#include <fcntl.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "flash/mem_mtd.h"
#include "flash/mtd.h"
#include "sys/emulated.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using flash::MemFlash;

constexpr uint32_t kBlock = 0x10000;

class MemMtdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chip_ = map_.Add("/dev/mtd5", 4 * kBlock, kBlock);
        opener_ = std::make_unique<flash::ScopedMtdOpener>(map_.Opener());
    }
    std::unique_ptr<flash::MtdDevice> Open() { return flash::OpenMtd("/dev/mtd5", O_RDWR); }

    flash::MemMtdMap map_;
    std::shared_ptr<MemFlash> chip_;
    std::unique_ptr<flash::ScopedMtdOpener> opener_;
};

TEST_F(MemMtdTest, WriteOnlyClearsBitsAndEraseRestoresOnes) {
    auto dev = Open();
    ASSERT_TRUE(dev);
    const uint8_t first[2] = {0xF0, 0x3C};
    const uint8_t second[2] = {0x0F, 0xFF};
    ASSERT_EQ(dev->Write(first, 2), 2);
    ASSERT_EQ(dev->Seek(0, SEEK_SET), 0);
    ASSERT_EQ(dev->Write(second, 2), 2);
    EXPECT_EQ(chip_->data()[0], 0x00);  // 0xF0 & 0x0F: no erase, garbled
    EXPECT_EQ(chip_->data()[1], 0x3C);

    ASSERT_EQ(dev->Erase({0, kBlock}), 0);
    EXPECT_EQ(chip_->data()[0], 0xFF);
    EXPECT_EQ(chip_->data()[1], 0xFF);
    ASSERT_EQ(dev->Seek(0, SEEK_SET), 0);
    ASSERT_EQ(dev->Write(second, 2), 2);
    uint8_t back[2] = {};
    ASSERT_EQ(dev->Seek(0, SEEK_SET), 0);
    ASSERT_EQ(dev->Read(back, 2), 2);
    EXPECT_EQ(back[0], 0x0F);
    EXPECT_EQ(back[1], 0xFF);
}

TEST_F(MemMtdTest, BadBlocksRefuseEraseAndWrite) {
    chip_->MarkBad(2);
    auto dev = Open();
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->IsBadBlock(2 * kBlock + 5), 1);
    EXPECT_EQ(dev->IsBadBlock(kBlock), 0);
    EXPECT_EQ(dev->Erase({0, 4 * kBlock}), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(chip_->data()[0], 0xFF);
    uint8_t zero = 0;
    ASSERT_EQ(dev->Seek(2 * kBlock, SEEK_SET), 2 * kBlock);
    EXPECT_EQ(dev->Write(&zero, 1), -1);
    EXPECT_EQ(errno, EIO);
}

// The real opener on plain files: the path goes through the device root, and
// the MTD requests reach the kernel, which refuses them for a regular file.
TEST(KernelMtd, PlainFileOpensButRefusesMtdRequests) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "dev");
    std::ofstream(dir / "dev/mtd3") << "abc";
    sys::SetDeviceRoot(dir.path());
    auto dev = flash::OpenMtd("/dev/mtd3", O_RDWR);
    auto missing = flash::OpenMtd("/dev/mtd4", O_RDWR);
    int missing_errno = errno;
    sys::SetDeviceRoot("");

    ASSERT_TRUE(dev);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing_errno, ENOENT);
    char buf[8] = {};
    EXPECT_EQ(flash::ReadFully(*dev, buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "abc");
    flash::MtdInfo info;
    EXPECT_EQ(dev->GetInfo(&info), -1);
    EXPECT_EQ(errno, testenv::NoDriverErrno());
    EXPECT_EQ(dev->Erase({0, 4096}), -1);
    EXPECT_EQ(dev->Unlock({0, 4096}), -1);
}

}  // namespace
