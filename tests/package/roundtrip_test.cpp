// Packages made by the producer side, checked by the updater's own functions:
// table, sub-images, CRC, signature, the fused check, corruption anywhere, and
// a package that stays byte-identical through every check.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/helpers.h"
#include "package/integrity.h"
#include "package/known_answers.h"
#include "package/writer.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using pkgtest::HeadOf;
using pkgtest::Stdout;
using pkgtest::WriteFile;

std::string RandomBytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

struct Checked {
    int crc;
    int sig;  // the signature block through rsa_decrypt, then the digest
    friend bool operator==(const Checked&, const Checked&) = default;
};
constexpr Checked kPasses{0, 0};

class RoundTrip : public testing::Test {
  protected:
    void SetUp() override {
        sys::SetDeviceRootForTests(dev_.path());
        WriteFile(dev_ / ".pub_key", pkgtest::PublicKeyText());
        WriteFile(dir_ / "pri_key", pkgtest::PrivateKeyText());
        images_ = {{0, RandomBytes(70000, 1)},
                   {3, RandomBytes(300000, 2)},
                   {4, RandomBytes(1, 3)},
                   {8, RandomBytes(262144, 4)}};
        plan_.inner_version = "QTPXV300R006B13";
        plan_.unused = "x";
        plan_.pub_version = "B0142P17";
        plan_.key_suffix = "SFX";
        plan_.boards = {"BRD-K700-Q08@48-X", "BRD-K700-Q08@96-X"};
        plan_.private_key = dir_ / "pri_key";
        for (const auto& [pos, bytes] : images_) {
            const std::string path = dir_ / ("img" + std::to_string(pos));
            WriteFile(path, bytes);
            plan_.images.push_back({pos, path, pos * 0x10000u, ""});
        }
    }
    void TearDown() override {
        sys::SetDeviceRootForTests("");
        UPDATE_SetSubImageCount(0);
    }

    std::string Make() {
        const std::string out = dir_ / "Program.bin";
        pkg::PackReport report;
        std::string error;
        EXPECT_EQ(pkg::WritePackage(plan_, out, &report, &error), 0) << error;
        return out;
    }

    // The checks as the updater runs them: head and signature block read from
    // the file, the digest recovered with the device key.
    Checked Check(const std::string& path) {
        const std::string bytes = ReadWholeFile(path);
        const ImageHeadFields fields = HeadOf(bytes);
        uint8_t block[kSigSize] = {};
        if (bytes.size() >= kSigOffset + kSigSize)
            std::memcpy(block, bytes.data() + kSigOffset, kSigSize);
        uint8_t digsig[kDigestSize] = {};
        Checked c{};
        Stdout([&] {
            c.crc = UPDATE_CheckCrc(fields.HeadCrc, path.c_str());
            c.sig = rsa_decrypt(block, digsig) != 0 ? -1 : UPDATE_CheckDigSig(path.c_str(), digsig);
            int fused_crc = 0, fused_sig = 0;
            if (c.sig == 0 || rsa_decrypt(block, digsig) == 0) {
                (void)UPDATE_CheckCrcAndDigSig(fields.HeadCrc, path.c_str(), digsig, &fused_crc,
                                               &fused_sig);
                EXPECT_EQ(fused_crc, c.crc);
                EXPECT_EQ(fused_sig, c.sig);
            }
        });
        return c;
    }

    // The digest recovered from the signature block of the file at path, and
    // the same digest with one bit changed.
    void Digests(const std::string& path, uint8_t* digsig, uint8_t* wrong) {
        const std::string bytes = ReadWholeFile(path);
        ASSERT_EQ(rsa_decrypt(reinterpret_cast<const uint8_t*>(bytes.data()) + kSigOffset, digsig),
                  0);
        std::memcpy(wrong, digsig, kDigestSize);
        wrong[31] ^= 0x80;
    }

    ScratchDir dir_;
    ScratchDir dev_;
    pkg::PackPlan plan_;
    std::vector<std::pair<uint32_t, std::string>> images_;
};

TEST_F(RoundTrip, LayoutTableAndSubImages) {
    const std::string path = Make();
    const std::string bytes = ReadWholeFile(path);
    EXPECT_EQ(bytes.substr(256, 36), std::string("BRD-K700-Q08@48-X$BRD-K700-Q08@96-X") + '\0');
    FileTable table;
    EXPECT_EQ(Stdout([&] { table = UPDATE_GetFileStruct(path.c_str()); }), "sub image count 9\n");
    ASSERT_TRUE(table);
    uint32_t expect_offset = 4096;
    for (const auto& [pos, data] : images_) {
        const SubImageEntry* e = UPDATE_EntryAt(table.get(), pos);
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e->FileName, ("img" + std::to_string(pos)).c_str());
        EXPECT_EQ(e->FileLength, data.size());
        EXPECT_EQ(e->FileOffset, expect_offset);  // laid out in table order from 4096
        EXPECT_EQ(e->FlashOffset, pos * 0x10000u);
        expect_offset += static_cast<uint32_t>(data.size());
        const std::string out = dir_ / "out";
        EXPECT_EQ(UPDATE_UnpackFile(path.c_str(), e->FileOffset, e->FileLength, out.c_str()), 0);
        EXPECT_EQ(ReadWholeFile(out), data);
    }
    EXPECT_EQ(bytes.size(), expect_offset);
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 1)->FileLength, 0u);  // absent in the table
    EXPECT_EQ(UPDATE_EntryAt(table.get(), 9), nullptr);         // past the table
    const ImageHeadFields f = HeadOf(bytes);
    EXPECT_STREQ(f.InnerVersion, "QTPXV300R006B13");
    EXPECT_STREQ(f.PubVersion, "B0142P17");
    EXPECT_STREQ(f.KeySuffix, "SFX");
    EXPECT_STREQ(f.EncryptFlag, "");
    EXPECT_EQ(f.FieldCount, 6u);
}

TEST_F(RoundTrip, SignedPackageVerifiesAndStaysByteIdentical) {
    const std::string path = Make();
    const std::string before = ReadWholeFile(path);
    struct stat st_before {};
    ASSERT_EQ(::stat(path.c_str(), &st_before), 0);
    EXPECT_EQ(Check(path), kPasses);
    EXPECT_EQ(ReadWholeFile(path), before);
    struct stat st_after {};
    ASSERT_EQ(::stat(path.c_str(), &st_after), 0);
    EXPECT_EQ(st_after.st_mtim.tv_sec, st_before.st_mtim.tv_sec);
    EXPECT_EQ(st_after.st_mtim.tv_nsec, st_before.st_mtim.tv_nsec);

    // A read-only package verifies too.
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(Check(path), kPasses);
}

TEST_F(RoundTrip, CorruptedByteAnywhere) {
    const std::string path = Make();
    const std::string good = ReadWholeFile(path);
    std::mt19937_64 rng(11);
    std::vector<size_t> positions = {0,    14,   255,  256,  1000, 1535, 1536, 1700,
                                     2047, 2048, 2052, 2100, 4095, 4096, 4097, good.size() - 1};
    for (int i = 0; i < 8; ++i) positions.push_back(4096 + rng() % (good.size() - 4096));
    for (size_t pos : positions) {
        SCOPED_TRACE(pos);
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 0x01);
        ::chmod(path.c_str(), 0644);
        WriteFile(path, bad);
        const Checked c = Check(path);
        if (pos >= kBodyOffset) {
            EXPECT_NE(c.crc, 0);
        }
        EXPECT_NE(c.sig, 0);
        EXPECT_EQ(ReadWholeFile(path), bad);  // checks never write
    }
}

TEST_F(RoundTrip, FusedCheckGivesTheSameMessagesAsTheTwoChecks) {
    const std::string path = Make();
    uint8_t digsig[kDigestSize], wrong[kDigestSize];
    ASSERT_NO_FATAL_FAILURE(Digests(path, digsig, wrong));
    const ImageHeadFields f = HeadOf(ReadWholeFile(path));

    struct Case {
        const char* what;
        uint32_t crc;
        std::string path;
        const uint8_t* digsig;
    };
    const Case cases[] = {
        {"good", f.HeadCrc, path, digsig},
        {"crc differs", f.HeadCrc + 1, path, digsig},
        {"crc and digest differ", f.HeadCrc + 1, path, wrong},
        {"digest differs", f.HeadCrc, path, wrong},
        {"crc only", f.HeadCrc, path, nullptr},
        {"missing", f.HeadCrc, dir_ / "missing.bin", digsig},
    };
    pkgtest::ScopedLog log(dir_ / "update.log");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The two checks as a caller runs them: the signature only after a
        // CRC that holds.
        log.Clear();
        int crc = 0, sig = 0;
        const std::string separate_out = Stdout([&] {
            crc = UPDATE_CheckCrc(c.crc, c.path.c_str());
            if (crc == 0 && c.digsig != nullptr) sig = UPDATE_CheckDigSig(c.path.c_str(), c.digsig);
        });
        const std::vector<std::string> separate = log.Messages();
        // The signature's own result, for the fused check gives it either way.
        Stdout([&] {
            if (crc != 0 && c.digsig != nullptr) sig = UPDATE_CheckDigSig(c.path.c_str(), c.digsig);
        });
        log.Clear();
        int fused_crc = 7, fused_sig = 7, ret = 0;
        const std::string fused_out = Stdout([&] {
            ret = UPDATE_CheckCrcAndDigSig(c.crc, c.path.c_str(), c.digsig, &fused_crc, &fused_sig);
        });
        EXPECT_EQ(fused_crc, crc);
        EXPECT_EQ(fused_sig, sig);
        EXPECT_EQ(ret, crc != 0 ? crc : sig);
        EXPECT_EQ(log.Messages(), separate);
        EXPECT_EQ(fused_out, separate_out);
    }
}

TEST_F(RoundTrip, SignatureCheckMessagesAreLoggedOnly) {
    const std::string path = Make();
    uint8_t digsig[kDigestSize], wrong[kDigestSize];
    ASSERT_NO_FATAL_FAILURE(Digests(path, digsig, wrong));
    pkgtest::ScopedLog log(dir_ / "update.log");
    EXPECT_EQ(Stdout([&] {
                  EXPECT_EQ(UPDATE_CheckDigSig(path.c_str(), digsig), 0);
                  EXPECT_EQ(UPDATE_CheckDigSig(path.c_str(), wrong), -1);
                  EXPECT_EQ(UPDATE_CheckDigSig((dir_ / "missing.bin").c_str(), digsig), -3);
              }),
              "");
    const std::vector<std::string> expect = {
        "start check sha256!",      "Head DigSig is equal to DigSigResult!",
        "start check sha256!",      "Head DigSig is not equal to DigSigResult!",
        "open packet file failed!",
    };
    EXPECT_EQ(log.Messages(), expect);
}

TEST_F(RoundTrip, TableReachingPastByte4096) {
    plan_.count = 20;  // 2052 + 20 * 144 = 4932
    plan_.images.push_back({19, dir_ / "img0", 0, "last"});
    const std::string path = Make();
    FileTable table;
    Stdout([&] { table = UPDATE_GetFileStruct(path.c_str()); });
    ASSERT_TRUE(table);
    EXPECT_EQ(table[0].FileOffset, 4932u);
    EXPECT_STREQ(table[19].FileName, "last");
    EXPECT_EQ(Check(path), kPasses);
}

TEST_F(RoundTrip, UnsignedPackageHasZeroSignatureBlock) {
    plan_.private_key.clear();
    const std::string path = Make();
    const std::string bytes = ReadWholeFile(path);
    EXPECT_EQ(bytes.substr(kSigOffset, kSigSize), std::string(kSigSize, '\0'));
    Stdout([&] { EXPECT_EQ(UPDATE_CheckCrc(HeadOf(bytes).HeadCrc, path.c_str()), 0); });
}

TEST(PackPlan, Limits) {
    struct Case {
        const char* what;
        void (*edit)(pkg::PackPlan&);
    };
    const Case cases[] = {
        {"dollar in a field", [](pkg::PackPlan& s) { s.pub_version = "B01$02"; }},
        {"inner version too long", [](pkg::PackPlan& s) { s.inner_version.assign(129, 'i'); }},
        {"flag too long", [](pkg::PackPlan& s) { s.encrypt_flag.assign(17, 'f'); }},
        {"head over 255",
         [](pkg::PackPlan& s) {
             s.inner_version.assign(128, 'i');
             s.key_suffix.assign(128, 'k');
         }},
        {"65 boards", [](pkg::PackPlan& s) { s.boards.assign(65, "B"); }},
        {"board list over 1279",
         [](pkg::PackPlan& s) { s.boards.assign(64, std::string(25, 'b')); }},
        {"two images at one position",
         [](pkg::PackPlan& s) {
             s.images = {{3, "a", 0, ""}, {3, "b", 0, ""}};
         }},
        {"position past the count",
         [](pkg::PackPlan& s) {
             s.count = 3;
             s.images = {{3, "a", 0, ""}};
         }},
    };
    for (const Case& c : cases) {
        pkg::PackPlan plan;
        plan.inner_version = "I";
        plan.pub_version = "B0102";
        c.edit(plan);
        EXPECT_NE(pkg::CheckPackPlan(plan), "") << c.what;
    }
    pkg::PackPlan ok;
    ok.boards.assign(64, "B");
    EXPECT_EQ(pkg::CheckPackPlan(ok), "");
}

}  // namespace
