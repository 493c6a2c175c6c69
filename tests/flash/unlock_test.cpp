#include <gtest/gtest.h>

#include <string>

#include "base/mem_mtd.h"
#include "base/mtd.h"
#include "base/platform.h"
#include "flash/unlock.h"

namespace {

using flash::MemFlash;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t kNorProfile = 3;
constexpr uint32_t kChipSize = 0x100000;
constexpr uint32_t kBlock = 0x10000;

class UnlockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        opener_ = std::make_unique<flash::ScopedMtdOpener>(map_.Opener());
        ASSERT_EQ(UPDATE_SelectPlatformKey(kNorProfile), 0);
        ASSERT_EQ(UPDATE_Platform()->FlashType, kFlashNor);
    }
    void TearDown() override { ASSERT_EQ(UPDATE_SelectPlatform(), 0); }

    std::string Run() {
        CaptureStdout();
        UPDATE_UnlockFlash();
        return GetCapturedStdout();
    }

    flash::MemMtdMap map_;
    std::unique_ptr<flash::ScopedMtdOpener> opener_;
};

TEST_F(UnlockTest, NorChipIsUnlockedWhole) {
    auto chip = map_.Add("/dev/mtd0", kChipSize, kBlock);
    for (uint32_t b = 0; b < kChipSize / kBlock; ++b) chip->Lock(b);
    EXPECT_EQ(Run(), "unlock flash success!\n");
    for (uint32_t b = 0; b < kChipSize / kBlock; ++b) EXPECT_FALSE(chip->IsLocked(b)) << b;
    EXPECT_EQ(chip->log.back(), "unlock 0 1048576");
}

TEST_F(UnlockTest, OtherFlashKindsTouchNothing) {
    auto chip = map_.Add("/dev/mtd0", kChipSize, kBlock);
    ASSERT_EQ(UPDATE_SelectPlatform(), 0);  // the eMMC profile
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(chip->log.empty());
}

TEST_F(UnlockTest, FailuresAreReported) {
    EXPECT_EQ(Run(), "failed to open /dev/mtd0, error No such file or directory!\n");

    auto chip = map_.Add("/dev/mtd0", kChipSize, kBlock);
    chip->FailOn(MemFlash::Op::Info, EIO);
    EXPECT_EQ(Run(), "failed to get mtd info, error Input/output error\n");
    EXPECT_EQ(chip->Count(MemFlash::Op::Unlock), 0);

    chip->FailOn(MemFlash::Op::Unlock, EOPNOTSUPP);
    EXPECT_EQ(Run(), "failed to unlock flash, error Operation not supported\n");
}

}  // namespace
