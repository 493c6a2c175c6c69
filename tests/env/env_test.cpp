#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/mem_mtd.h"
#include "base/mtd.h"
#include "env/env.h"

namespace {

using flash::MemFlash;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Bit-by-bit reflected CRC-32 (polynomial 0xEDB88320), written independently
// of the code under test and checked against the published check value below.
uint32_t ReferenceCrc32(const uint8_t* p, std::size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

uint32_t Le32(const std::vector<uint8_t>& d) {
    return uint32_t{d[0]} | uint32_t{d[1]} << 8 | uint32_t{d[2]} << 16 | uint32_t{d[3]} << 24;
}

// From V5.22.15 on the environment is the small one.
TEST(EnvSize, FollowsTheImageVersion) {
    for (const char* pub : {"V5.23.00", "V5.30.99", "V5.22.15", "V5.22.16"})
        EXPECT_EQ(EnvSizeForVersion(pub), kEnvSizeSmall) << pub;
    for (const char* pub : {"V5.22.14", "V5.22.00", "V5.21.99", "V5.10.20"})
        EXPECT_EQ(EnvSizeForVersion(pub), kEnvSizeLarge) << pub;
}

// Another baseline (or none) never needs it, nor do the excluded boards. The
// image's boot loader reads the large environment; otherwise the local boot
// loader revision decides.
TEST(NeedUpdateEnv, Decisions) {
    // inner version ("-": none), public version, board, boot-loader revision,
    // message ("-": none, else "<word> need to update env")
    const char* const rows[] = {
        "QTPXV300R003B04     V5.21.00 BRD-X              0x10    -",
        "-                   V5.21.00 BRD-X              0x10    -",
        "QTPXV300R003B03SP01 V5.21.00 BRD-K700-Q08@48-X  0x10    -",
        "QTEXV300R001B11     V5.21.00 BRD-K700-Q08@96-X  0x10    -",
        "QTPXV300R003B03SP01 V5.21.00 BRD-K700-Q08@48-XY 0x99    Image",
        "QTEXV300R001B11     V5.22.14 BRD-X              0x99    Image",
        "QTPXV300R003B03SP01 V5.22.15 BRD-X              0x57    Local",
        "QTPXV300R003B03SP01 V5.23.00 BRD-X              0x58    -",
        "QTPXV300R003B03SP01 V5.23.00 BRD-X              Unknown -",
    };
    for (const char* row : rows) {
        std::istringstream in(row);
        std::string inner, pub, board, uboot, word;
        in >> inner >> pub >> board >> uboot >> word;
        CaptureStdout();
        EXPECT_EQ(NeedUpdateEnvFor(inner == "-" ? "" : inner.c_str(), pub.c_str(), board.c_str(),
                                   uboot.c_str()),
                  word == "-" ? 0 : 1)
            << row;
        EXPECT_EQ(GetCapturedStdout(), word == "-" ? "" : word + " need to update env\n") << row;
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

    int Run(uint32_t size) {
        CaptureStdout();
        int ret = UpdateEnvCrcForSize(size);
        out_ = GetCapturedStdout();
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
    std::string out_;
};

// Each copy keeps its variables under its own checksum of size bytes, erased
// once over the environment only. The primary's data area is all 0xFF: its
// checksum is a value worked out with zlib's crc32.
TEST_F(EnvCrcTest, BothCopiesGetTheirOwnChecksum) {
    EXPECT_EQ(ReferenceCrc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
    for (auto [size, crc] : {std::pair{kEnvSizeSmall, 0x619D86DBu}, {kEnvSizeLarge, 0x6F2A9CFAu}}) {
        SCOPED_TRACE(size);
        SetUp();
        std::fill(env_->data().begin(), env_->data().end(), 0xFF);
        env_before_ = env_->data();
        ASSERT_EQ(Run(size), 0);
        EXPECT_EQ(out_, "");
        EXPECT_EQ(Le32(env_->data()), crc);
        ExpectRepaired(*env_, env_before_, size);
        ExpectRepaired(*bak_, bak_before_, size);
        for (const MemFlash* chip : {env_.get(), bak_.get()}) {
            std::vector<std::string> erases;
            for (const std::string& entry : chip->log) {
                if (entry.rfind("erase", 0) == 0) erases.push_back(entry);
            }
            EXPECT_EQ(erases, std::vector<std::string>{"erase 0 " + std::to_string(size)});
        }
    }
}

// A failure before any erase changes nothing; the primary is written whole
// before the backup is erased, so a failed primary write leaves the backup
// intact, and a failed backup erase leaves a valid primary.
TEST_F(EnvCrcTest, Failures) {
    using Op = MemFlash::Op;
    enum Primary { kUntouched, kRepaired, kAny };
    struct Row {
        bool backup;  // which copy fails
        Op op;
        int error;
        const char* message;
        Primary primary;
    } rows[] = {
        {true, Op::Open, ENOENT, "BakEnv Failed to read flash\n", kUntouched},
        {false, Op::Open, ENOENT, "Failed to open /dev/mtd2\n", kUntouched},
        {false, Op::Read, EIO, "Env Failed to read flash\n", kUntouched},
        {true, Op::Read, EIO, "BakEnv Failed to read flash\n", kUntouched},
        {false, Op::Erase, EIO, "Env Failed to erase flash stFhEraseInfo (0x0, 0x20000), lRet=-1\n",
         kUntouched},
        {false, Op::Write, EIO, "Failed to wirte bakenv", kAny},
        {true, Op::Erase, EIO,
         "BakEnv Failed to erase flash stFhEraseInfo (0x0, 0x20000), lRet=-1\n", kRepaired},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        SetUp();
        (row.backup ? bak_ : env_)->FailOn(row.op, row.error);
        EXPECT_EQ(Run(kEnvSizeSmall), -1);
        EXPECT_EQ(out_, row.message);
        if (row.primary == kRepaired) ExpectRepaired(*env_, env_before_, kEnvSizeSmall);
        EXPECT_TRUE(row.primary != kUntouched || env_->data() == env_before_);
        EXPECT_EQ(bak_->data(), bak_before_);
        EXPECT_EQ(bak_->Count(Op::Erase), row.backup && row.op == Op::Erase ? 1 : 0);
    }
}

// A copy whose checksum holds for neither size (torn by a power cut during
// an earlier repair) takes the variables of the other, intact one.
TEST_F(EnvCrcTest, TornCopyTakesTheOthersVariables) {
    for (bool torn_primary : {true, false}) {
        SetUp();
        std::vector<uint8_t>& good = (torn_primary ? bak_ : env_)->data();
        const uint32_t crc = ReferenceCrc32(good.data() + 4, kEnvSizeLarge - 4);
        for (int i = 0; i < 4; ++i) good[i] = static_cast<uint8_t>(crc >> (8 * i));
        const std::vector<uint8_t> variables(good.begin() + 4, good.begin() + kEnvSizeSmall);
        ASSERT_EQ(Run(kEnvSizeSmall), 0);
        EXPECT_EQ(out_, torn_primary ? "Env is damaged; it takes the variables of BakEnv.\n"
                                     : "BakEnv is damaged; it takes the variables of Env.\n");
        for (const MemFlash* chip : {env_.get(), bak_.get()}) {
            const std::vector<uint8_t>& d = chip->data();
            EXPECT_EQ(Le32(d), ReferenceCrc32(d.data() + 4, kEnvSizeSmall - 4));
            EXPECT_TRUE(std::equal(variables.begin(), variables.end(), d.begin() + 4));
        }
    }
}

}  // namespace
