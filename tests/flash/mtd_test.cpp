#include <gtest/gtest.h>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash/mem_mtd.h"
#include "flash/mtd.h"
#include "sys/path.h"
#include "sys/emulated.h"
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
    std::unique_ptr<flash::MtdDevice> Open(int flags = O_RDWR) {
        return flash::OpenMtd("/dev/mtd5", flags);
    }

    flash::MemMtdMap map_;
    std::shared_ptr<MemFlash> chip_;
    std::unique_ptr<flash::ScopedMtdOpener> opener_;
};

TEST_F(MemMtdTest, InfoDescribesTheChip) {
    auto dev = Open();
    ASSERT_TRUE(dev);
    flash::MtdInfo info;
    ASSERT_EQ(dev->GetInfo(&info), 0);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(info.size, 4 * kBlock);
    EXPECT_EQ(info.erasesize, kBlock);
    errno = 0;
    EXPECT_FALSE(flash::OpenMtd("/dev/mtd9", O_RDWR));  // not on the map
    EXPECT_EQ(errno, ENOENT);
}

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

TEST_F(MemMtdTest, EraseRefusesUnalignedAndOutOfRangeRequests) {
    auto dev = Open();
    ASSERT_TRUE(dev);
    struct Row {
        uint32_t start, length;
    } rows[] = {{1, kBlock}, {0, kBlock + 1}, {3 * kBlock, 2 * kBlock}};
    for (const Row& row : rows) {
        errno = 0;
        EXPECT_EQ(dev->Erase({row.start, row.length}), -1) << row.start << "+" << row.length;
        EXPECT_EQ(errno, EINVAL);
    }
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

TEST_F(MemMtdTest, LockedBlocksStayUntilUnlocked) {
    chip_->Fill(0, "\x12", 1);
    chip_->Lock(0);
    chip_->Lock(3);
    auto dev = Open();
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->Erase({0, kBlock}), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(chip_->data()[0], 0x12);
    ASSERT_EQ(dev->Unlock({0, 4 * kBlock}), 0);
    EXPECT_FALSE(chip_->IsLocked(0));
    EXPECT_FALSE(chip_->IsLocked(3));
    EXPECT_EQ(dev->Erase({0, kBlock}), 0);
    EXPECT_EQ(chip_->data()[0], 0xFF);
}

TEST_F(MemMtdTest, ChosenRequestFailsOnceOnItsTurn) {
    chip_->FailOn(MemFlash::Op::Write, ENOSPC, 1);
    auto dev = Open();
    ASSERT_TRUE(dev);
    uint8_t byte = 0;
    EXPECT_EQ(dev->Write(&byte, 1), 1);
    EXPECT_EQ(dev->Write(&byte, 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(dev->Write(&byte, 1), 1);
    EXPECT_EQ(chip_->Count(MemFlash::Op::Write), 3);

    chip_->FailOn(MemFlash::Op::Open, EACCES);
    EXPECT_FALSE(Open());
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(Open());
}

TEST_F(MemMtdTest, ReadOnlyHandleCannotWriteAndReadStopsAtTheEnd) {
    auto dev = Open(O_RDONLY);
    ASSERT_TRUE(dev);
    uint8_t byte = 0;
    EXPECT_EQ(dev->Write(&byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    ASSERT_EQ(dev->Seek(-3, SEEK_END), 4 * kBlock - 3);
    std::vector<uint8_t> buf(16);
    EXPECT_EQ(flash::ReadFully(*dev, buf.data(), buf.size()), 3);
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
