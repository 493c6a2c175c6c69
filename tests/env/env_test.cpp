#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "env/env.h"
#include "flash/mem_mtd.h"
#include "flash/mtd.h"
#include "sys/path.h"
#include "sys/emulated.h"
#include "sys/scratch.h"

namespace {

using flash::MemFlash;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Bit-by-bit reflected CRC-32 (polynomial 0xEDB88320), written independently
// of the code under test and checked against the published check value.
uint32_t ReferenceCrc32(const uint8_t* p, std::size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(ReferenceCrc, MatchesTheCheckValue) {
    const char* check = "123456789";
    EXPECT_EQ(ReferenceCrc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
}

uint32_t Le32(const std::vector<uint8_t>& d) {
    return uint32_t{d[0]} | uint32_t{d[1]} << 8 | uint32_t{d[2]} << 16 | uint32_t{d[3]} << 24;
}

TEST(EnvSize, FollowsTheImageVersion) {
    struct Row {
        const char* pub;
        uint32_t size;
    } rows[] = {
        {"V5.23.00", kEnvSizeSmall}, {"V5.30.99", kEnvSizeSmall}, {"V5.22.14", kEnvSizeLarge},
        {"V5.22.00", kEnvSizeLarge}, {"V5.22.15", kEnvSizeSmall}, {"V5.22.16", kEnvSizeSmall},
        {"V5.21.99", kEnvSizeLarge}, {"V5.10.20", kEnvSizeLarge},
    };
    for (const Row& row : rows) EXPECT_EQ(EnvSizeForVersion(row.pub), row.size) << row.pub;
}

TEST(NeedUpdateEnv, Decisions) {
    constexpr const char* kBaseA = "QTPXV300R003B03SP01";
    constexpr const char* kBaseB = "QTEXV300R001B11";
    struct Row {
        const char* inner;
        const char* pub;
        const char* board;
        const char* uboot;
        int need;
        const char* message;
    } rows[] = {
        // Another baseline never needs it.
        {"QTPXV300R003B04", "V5.21.00", "BRD-X", "0x10", 0, ""},
        {"", "V5.21.00", "BRD-X", "0x10", 0, ""},
        // Excluded boards never need it.
        {kBaseA, "V5.21.00", "BRD-K700-Q08@48-X", "0x10", 0, ""},
        {kBaseB, "V5.21.00", "BRD-K700-Q08@96-X", "0x10", 0, ""},
        // The image's boot loader reads the large environment.
        {kBaseA, "V5.21.00", "BRD-K700-Q08@48-XY", "0x99", 1, "Image need to update env\n"},
        {kBaseB, "V5.22.14", "BRD-X", "0x99", 1, "Image need to update env\n"},
        // Otherwise the local boot loader revision decides.
        {kBaseA, "V5.22.15", "BRD-X", "0x57", 1, "Local need to update env\n"},
        {kBaseA, "V5.23.00", "BRD-X", "0x58", 0, ""},
        {kBaseA, "V5.23.00", "BRD-X", "Unknown", 0, ""},
    };
    for (const Row& row : rows) {
        CaptureStdout();
        int need = NeedUpdateEnvFor(row.inner, row.pub, row.board, row.uboot);
        std::string out = GetCapturedStdout();
        EXPECT_EQ(need, row.need) << row.inner << " " << row.pub << " " << row.board;
        EXPECT_EQ(out, row.message) << row.pub;
    }
}

class EnvCrcTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kChip = 0x100000;
    static constexpr uint32_t kBlock = 0x10000;

    void SetUp() override {
        env_ = map_.Add(kEnvDev, kChip, kBlock);
        bak_ = map_.Add(kBakEnvDev, kChip, kBlock);
        // Distinct variables in each copy, stale checksums, and data after
        // the environment that must survive.
        for (uint32_t i = 0; i < kChip; ++i) {
            env_->data()[i] = static_cast<uint8_t>(i * 7 + 1);
            bak_->data()[i] = static_cast<uint8_t>(i * 13 + 5);
        }
        env_before_ = env_->data();
        bak_before_ = bak_->data();
        opener_.reset();
        opener_ = std::make_unique<flash::ScopedMtdOpener>(map_.Opener());
    }

    int Run(uint32_t size, std::string* out) {
        CaptureStdout();
        int ret = UpdateEnvCrcForSize(size);
        *out = GetCapturedStdout();
        return ret;
    }

    // The copy holds its old variables, under a valid checksum of size bytes,
    // and everything after the environment is untouched.
    static void ExpectRepaired(const MemFlash& chip, const std::vector<uint8_t>& before,
                               uint32_t size) {
        const std::vector<uint8_t>& d = chip.data();
        EXPECT_EQ(Le32(d), ReferenceCrc32(d.data() + 4, size - 4));
        EXPECT_TRUE(std::equal(d.begin() + 4, d.end(), before.begin() + 4));
    }

    flash::MemMtdMap map_;
    std::shared_ptr<MemFlash> env_;
    std::shared_ptr<MemFlash> bak_;
    std::vector<uint8_t> env_before_;
    std::vector<uint8_t> bak_before_;
    std::unique_ptr<flash::ScopedMtdOpener> opener_;
};

TEST_F(EnvCrcTest, BothCopiesGetTheirOwnChecksum) {
    for (uint32_t size : {kEnvSizeSmall, kEnvSizeLarge}) {
        SCOPED_TRACE(size);
        SetUp();
        std::string out;
        ASSERT_EQ(Run(size, &out), 0);
        EXPECT_EQ(out, "");
        ExpectRepaired(*env_, env_before_, size);
        ExpectRepaired(*bak_, bak_before_, size);
        EXPECT_NE(Le32(env_->data()), Le32(bak_->data()));
        // Each copy was erased once, over the environment only.
        for (const MemFlash* chip : {env_.get(), bak_.get()}) {
            std::vector<std::string> erases;
            for (const std::string& entry : chip->log) {
                if (entry.rfind("erase", 0) == 0) erases.push_back(entry);
            }
            EXPECT_EQ(erases, std::vector<std::string>{"erase 0 " + std::to_string(size)});
        }
    }
}

TEST_F(EnvCrcTest, KnownChecksumsOfErasedEnvironments) {
    // Data areas of 0xFF bytes; values worked out with zlib's crc32.
    // Stored little-endian in the first four bytes.
    for (auto [size, crc] : {std::pair{kEnvSizeSmall, 0x619D86DBu}, {kEnvSizeLarge, 0x6F2A9CFAu}}) {
        SetUp();
        std::fill(env_->data().begin(), env_->data().end(), 0xFF);
        std::string out;
        ASSERT_EQ(Run(size, &out), 0);
        EXPECT_EQ(Le32(env_->data()), crc) << size;
    }
}

TEST_F(EnvCrcTest, FailedPrimaryWriteLeavesTheBackupIntact) {
    env_->FailOn(MemFlash::Op::Write, EIO);
    std::string out;
    EXPECT_EQ(Run(kEnvSizeSmall, &out), -1);
    EXPECT_EQ(out, "Failed to wirte bakenv");
    EXPECT_EQ(bak_->data(), bak_before_);
    EXPECT_EQ(bak_->Count(MemFlash::Op::Erase), 0);
}

TEST_F(EnvCrcTest, FailedBackupEraseAfterAValidPrimary) {
    bak_->FailOn(MemFlash::Op::Erase, EIO);
    std::string out;
    EXPECT_EQ(Run(kEnvSizeSmall, &out), -1);
    EXPECT_EQ(out, "BakEnv Failed to erase flash stFhEraseInfo (0x0, 0x20000), lRet=-1\n");
    ExpectRepaired(*env_, env_before_, kEnvSizeSmall);
}

TEST_F(EnvCrcTest, FailuresBeforeAnyErase) {
    using Op = MemFlash::Op;
    struct Row {
        bool backup;  // which copy fails
        Op op;
        int error;
        const char* message;
    } rows[] = {
        {true, Op::Open, ENOENT, "BakEnv Failed to read flash\n"},
        {false, Op::Open, ENOENT, "Failed to open /dev/mtd2\n"},
        {false, Op::Read, EIO, "Env Failed to read flash\n"},
        {true, Op::Read, EIO, "BakEnv Failed to read flash\n"},
        {false, Op::Erase, EIO,
         "Env Failed to erase flash stFhEraseInfo (0x0, 0x20000), lRet=-1\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        SetUp();
        (row.backup ? bak_ : env_)->FailOn(row.op, row.error);
        std::string out;
        EXPECT_EQ(Run(kEnvSizeSmall, &out), -1);
        EXPECT_EQ(out, row.message);
        EXPECT_EQ(env_->data(), env_before_);
        EXPECT_EQ(bak_->data(), bak_before_);
        EXPECT_EQ(bak_->Count(MemFlash::Op::Erase), 0);
    }
}

class FakeNvram : public NvramDevice {
  public:
    explicit FakeNvram(std::vector<NVRAM_ITEM_S>* stored, int result)
        : stored_(stored), result_(result) {}
    int Store(NVRAM_ITEM_S* item) override {
        if (result_ != 0) {
            errno = EIO;
            return -1;
        }
        stored_->push_back(*item);
        return 0;
    }

  private:
    std::vector<NVRAM_ITEM_S>* stored_;
    int result_;
};

NVRAM_ITEM_S SyncItem() {
    NVRAM_ITEM_S item{};
    std::strcpy(item.name, "sync_mmap");
    std::strcpy(item.value, "1");
    return item;
}

// A device that stores the item, and one that refuses it.
TEST(Nvram, StoresTheItemOrReportsTheRefusal) {
    for (int result : {0, -1}) {
        std::vector<NVRAM_ITEM_S> stored;
        std::string opened;
        SetNvramOpener([&](const char* path) {
            opened = path;
            return std::make_unique<FakeNvram>(&stored, result);
        });
        NVRAM_ITEM_S item = SyncItem();
        CaptureStdout();
        EXPECT_EQ(SetEnvToFlash(&item), result);
        std::string out = GetCapturedStdout();
        SetNvramOpener(nullptr);
        EXPECT_EQ(opened, "/dev/hal_nvram");
        ASSERT_EQ(stored.size(), result == 0 ? 1u : 0u);
        if (result == 0) {
            EXPECT_EQ(out, "");
            EXPECT_STREQ(stored[0].name, "sync_mmap");
            EXPECT_STREQ(stored[0].value, "1");
        } else {
            EXPECT_EQ(out,
                      "Failed to set nvram value(1) of sync_mmap, errno(Input/output error)\n");
        }
    }
}

// The real device path: no node, and a node that is no nvram driver.
TEST(Nvram, RealDeviceWithoutTheDriver) {
    ScratchDir dir;
    sys::SetDeviceRoot(dir.path());
    NVRAM_ITEM_S item = SyncItem();
    CaptureStdout();
    int missing = SetEnvToFlash(&item);
    std::string missing_out = GetCapturedStdout();
    std::filesystem::create_directories(dir / "dev");
    std::ofstream(dir / "dev/hal_nvram") << "";
    CaptureStdout();
    int plain = SetEnvToFlash(&item);
    std::string plain_out = GetCapturedStdout();
    sys::SetDeviceRoot("");

    EXPECT_EQ(missing, -1);
    EXPECT_EQ(missing_out, "open /dev/hal_nvram\n");
    EXPECT_EQ(plain, -1);
    EXPECT_EQ(plain_out, "Failed to set nvram value(1) of sync_mmap, errno(" +
                             std::string(strerror(testenv::NoDriverErrno())) + ")\n");
}

}  // namespace
