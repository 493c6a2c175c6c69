// Packages made by the producer side, checked by the updater's own functions:
// table, sub-images, CRC, signature, the fused check, corruption anywhere, and
// a package that stays byte-identical through every check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "package/forge.h"
#include "package/format.h"
#include "package/helpers.h"
#include "package/integrity.h"
#include "package/trust.h"
#include "package/writer.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using namespace pkgtest;  // NOLINT(google-build-using-namespace)

struct Checked {
    int crc;
    int sig;  // the digest check; -1 too when the signature block does not decrypt
    friend bool operator==(const Checked&, const Checked&) = default;
};
constexpr Checked kPasses{0, 0};

class RoundTrip : public testing::Test {
  protected:
    // One 2048-bit key pair for the suite: room for both signatures.
    static void SetUpTestSuite() {
        static pkg::crypto::RsaKeyText key;
        ASSERT_EQ(pkg::crypto::RsaGenerate(2048, 65537, &key), 0);
        key_ = &key;
    }
    void SetUp() override {
        sys::SetDeviceRoot(dev_.path());
        ASSERT_EQ(
            pkg::WriteKeyFiles(*key_, (dir_ / "pri_key").c_str(), (dev_ / ".pub_key").c_str()), 0);
        std::filesystem::create_directories(dev_ / "var/runtime");
        std::mt19937_64 rng(1);
        for (const auto& [pos, size] :
             {std::pair{0u, 70000}, {3u, 300000}, {4u, 1}, {8u, 262144}}) {
            std::string bytes(size, '\0');
            for (auto& c : bytes) c = static_cast<char>(rng());
            images_.emplace_back(pos, bytes);
            WriteFile(dir_ / ("img" + std::to_string(pos)), bytes);
            plan_.images.push_back({pos, dir_ / ("img" + std::to_string(pos)), pos * 0x10000u, ""});
        }
        plan_.inner_version = "QTPXV300R006B13";
        plan_.unused = "x";
        plan_.pub_version = "B0142P17";
        plan_.key_suffix = "SFX";
        plan_.boards = {"BRD-K700-Q08@48-X", "BRD-K700-Q08@96-X"};
        plan_.private_key = dir_ / "pri_key";
    }
    void TearDown() override {
        sys::SetDeviceRoot("");
        UPDATE_SetSubImageCount(0);
    }

    std::string Make() {
        std::string out = dir_ / "Program.bin";
        pkg::PackReport report;
        std::string error;
        EXPECT_EQ(pkg::WritePackage(plan_, out, &report, &error), 0) << error;
        return out;
    }

    // The checks as the updater runs them: the CRC, then the signature after a
    // CRC that holds, with the digest recovered from the file's signature
    // block (zero when it does not decrypt) unless one is given. The fused
    // check must give the same results (the signature's either way), log the
    // same lines and print nothing, as the two checks do.
    Checked Check(const std::string& path, uint32_t crc_error = 0, const uint8_t* given = nullptr,
                  bool crc_only = false) {
        const std::string bytes = ReadWholeFile(path);
        const uint32_t crc = HeadOf(bytes).HeadCrc + crc_error;
        uint8_t digsig[kDigestSize] = {};
        if (given != nullptr) std::memcpy(digsig, given, kDigestSize);
        if (given == nullptr && bytes.size() >= kSigOffset + kSigSize) {
            const auto* block = reinterpret_cast<const uint8_t*>(bytes.data()) + kSigOffset;
            Stdout([&] { (void)rsa_decrypt(block, digsig); });
        }
        const uint8_t* sig = crc_only ? nullptr : digsig;
        ScopedLog log(dir_ / "update.log");
        Checked c{0, 0};
        EXPECT_EQ(Stdout([&] {
                      c.crc = UPDATE_CheckCrc(crc, path.c_str());
                      if (c.crc == 0 && sig != nullptr)
                          c.sig = UPDATE_CheckDigSig(path.c_str(), sig);
                  }),
                  "");
        const std::vector<std::string> separate = log.Messages();
        if (c.crc != 0 && sig != nullptr) {
            Stdout([&] { c.sig = UPDATE_CheckDigSig(path.c_str(), sig); });
        }
        log.Clear();
        int fused_crc = 7, fused_sig = 7, ret = 0;
        EXPECT_EQ(Stdout([&] {
                      ret =
                          UPDATE_CheckCrcAndDigSig(crc, path.c_str(), sig, &fused_crc, &fused_sig);
                  }),
                  "");
        EXPECT_EQ((Checked{fused_crc, fused_sig}), c);
        EXPECT_EQ(ret, c.crc != 0 ? c.crc : c.sig);
        EXPECT_EQ(log.Messages(), separate);
        last_ = separate.empty() ? "" : separate.back();
        lines_ = separate;
        return c;
    }

    static inline const pkg::crypto::RsaKeyText* key_ = nullptr;
    ScratchDir dir_;
    ScratchDir dev_;
    pkg::PackPlan plan_;
    std::vector<std::pair<uint32_t, std::string>> images_;
    std::string last_;                // the last line the two checks logged
    std::vector<std::string> lines_;  // all of them
};

TEST_F(RoundTrip, LayoutTableAndSubImages) {
    const std::string path = Make();
    const std::string bytes = ReadWholeFile(path);
    EXPECT_EQ(bytes.substr(256, 36), std::string("BRD-K700-Q08@48-X$BRD-K700-Q08@96-X") + '\0');
    FileTable table;
    EXPECT_EQ(Stdout([&] { table = UPDATE_GetFileStruct(path.c_str()); }), "sub image count 9\n");
    uint32_t expect_offset = 4096;
    for (const auto& [pos, data] : images_) {
        const SubImageEntry* e = UPDATE_EntryAt(&table, pos);
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
    EXPECT_EQ(UPDATE_EntryAt(&table, 1)->FileLength, 0u);  // absent in the table
    EXPECT_EQ(UPDATE_EntryAt(&table, 9), nullptr);         // past the table
    // A table built by hand after the 9-entry one is bounded by its own length.
    FileTable two(2);
    EXPECT_EQ(UPDATE_EntryAt(&two, 1), &two[1]);
    for (uint64_t pos = 2; pos < 9; ++pos) EXPECT_EQ(UPDATE_EntryAt(&two, pos), nullptr) << pos;
    EXPECT_EQ(std::string(bytes.c_str()),
              "QTPXV300R006B13$x$B0142P17$" + std::to_string(HeadOf(bytes).HeadCrc) + "$SFX$");
}

TEST_F(RoundTrip, VerifiesStaysByteIdenticalAndCatchesCorruptionAnywhere) {
    const std::string path = Make();
    const std::string good = ReadWholeFile(path);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    EXPECT_EQ(Check(path), kPasses);
    EXPECT_EQ(lines_.end()[-2], "Head DigSig is equal to DigSigResult!");
    EXPECT_EQ(last_, "Package signatures: legacy ok, full ok.");
    EXPECT_EQ(ReadWholeFile(path), good);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);  // a read-only package verifies too
    EXPECT_EQ(Check(path), kPasses);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);

    std::mt19937_64 rng(11);
    std::vector<size_t> positions = {0,    14,   255,  256,  1000, 1535, 1536, 1700,
                                     2047, 2048, 2052, 2100, 4095, 4096, 4097, good.size() - 1};
    for (int i = 0; i < 8; ++i) positions.push_back(4096 + rng() % (good.size() - 4096));
    for (size_t pos : positions) {
        SCOPED_TRACE(pos);
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 0x01);
        WriteFile(path, bad);
        const Checked c = Check(path);
        EXPECT_EQ(c.crc != 0, pos >= kBodyOffset);
        // A spoilt full signature reads as absent: the content is the signed one.
        EXPECT_EQ(c.sig != 0, pos < kSigOffset + 256 || pos >= kSigOffset + kSigSize);
        EXPECT_EQ(ReadWholeFile(path), bad);  // checks never write
    }
}

TEST_F(RoundTrip, FusedCheckOnWrongCrcWrongDigestCrcOnlyAndMissingFile) {
    const std::string path = Make();
    uint8_t wrong[kDigestSize];
    const std::string bytes = ReadWholeFile(path);
    Stdout([&] {
        ASSERT_EQ(rsa_decrypt(reinterpret_cast<const uint8_t*>(bytes.data()) + kSigOffset, wrong),
                  0);
    });
    wrong[31] ^= 0x80;
    EXPECT_EQ(Check(path, 1), (Checked{-1, 0}));
    EXPECT_EQ(Check(path, 1, wrong), (Checked{-1, -1}));
    EXPECT_EQ(Check(path, 0, wrong), (Checked{0, -1}));
    EXPECT_EQ(lines_.end()[-2], "Head DigSig is not equal to DigSigResult!");
    EXPECT_EQ(Check(path, 1, nullptr, true), (Checked{-1, 0}));
    const std::string missing = dir_ / "missing.bin";
    EXPECT_EQ(Check(missing, 0, wrong), (Checked{-3, -3}));
    EXPECT_EQ(last_, "open file " + missing + " failed!");
}

TEST_F(RoundTrip, LongTableAndUnsignedPackage) {
    plan_.count = 20;  // 2052 + 20 * 144 = 4932
    plan_.images.push_back({19, dir_ / "img0", 0, "last"});
    std::string path = Make();
    FileTable table;
    Stdout([&] { table = UPDATE_GetFileStruct(path.c_str()); });
    ASSERT_EQ(table.size(), 20u);
    EXPECT_EQ(table[0].FileOffset, 4932u);
    EXPECT_STREQ(table[19].FileName, "last");
    EXPECT_EQ(Check(path), kPasses);

    plan_.private_key.clear();
    path = Make();
    const std::string bytes = ReadWholeFile(path);
    EXPECT_EQ(bytes.substr(kSigOffset, kSigSize), std::string(kSigSize, '\0'));
    EXPECT_EQ(Check(path, 0, nullptr, true), kPasses);
}

TEST_F(RoundTrip, ForgedPackagePassesOnlyTheLegacyCheckAndTheLatchRefusesItsStrippedVariant) {
    const std::string path = Make();
    const std::string good = ReadWholeFile(path);
    const std::string forged = Forge(good);
    ASSERT_EQ(forged.size(), good.size() + 2 * kPackageChunkSize);
    // The tail as a legacy package may have it: random padding, no full signature.
    std::string stripped = forged;
    std::mt19937_64 rng(5);
    std::generate_n(stripped.begin() + kSigOffset + 256, 256,
                    [&] { return static_cast<char>(rng()); });
    const std::string latch = dev_ / "var/runtime/sig_full";
    const struct Case {
        const std::string* bytes;
        bool latched;
        Checked expect;
        const char* signatures;
    } cases[] = {
        {&good, false, kPasses, "ok, full ok"},
        {&forged, false, {0, -1}, "ok, full bad"},  // the legacy check alone would take it
        {&stripped, false, kPasses, "ok, full absent"},
        {&stripped, true, {0, -1}, "ok, full absent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        WriteFile(path, *c.bytes);
        if (c.latched) WriteFile(latch, "1\n");
        EXPECT_EQ(Check(path), c.expect);
        EXPECT_THAT(lines_, testing::Contains(std::string("Package signatures: legacy ") +
                                              c.signatures + "."));
        // Only a package whose full signature held sets the latch.
        std::filesystem::remove(latch);
        Stdout([] { EXPECT_EQ(UPDATE_LatchFullSignature(), 0); });
        EXPECT_EQ(std::filesystem::exists(latch), &c == cases);
        std::filesystem::remove(latch);
    }
    WriteFile(dir_ / "pri_key", PrivateKeyText());  // 4096 bits: no room for the full signature
    pkg::PackReport report;
    EXPECT_NE(pkg::WritePackage(plan_, dir_ / "P.bin", &report, &last_), 0);
}

// Any key of the trust set verifies, "/.pub_key" first; the log names it.
TEST_F(RoundTrip, AnyKeyOfTheTrustSetVerifies) {
    const std::string path = Make();
    std::filesystem::create_directories(dev_ / ".pub_keys");
    std::filesystem::rename(dev_ / ".pub_key", dev_ / ".pub_keys/b.pub");
    WriteFile(dev_ / ".pub_key", PublicKeyText());            // another key
    WriteFile(dev_ / ".pub_keys/a.pub", "N = 00\nE = 03\n");  // no usable key
    EXPECT_EQ(pkg::TrustedKeyPaths(),
              (std::vector<std::string>{"/.pub_key", "/.pub_keys/a.pub", "/.pub_keys/b.pub"}));
    EXPECT_EQ(Check(path), kPasses);
    EXPECT_THAT(lines_, testing::Contains(testing::StartsWith(
                            "Package signed by the trusted key /.pub_keys/b.pub (sha256:")));
    EXPECT_EQ(last_, "Package signatures: legacy ok, full ok.");
    std::filesystem::remove(dev_ / ".pub_keys/b.pub");
    EXPECT_EQ(Check(path), (Checked{0, -1}));
}

// Key changes of a package: added before removed, a key that does not read
// or a set left empty refuses the whole change, and "/.pub_key" is replaced
// by a remaining key, never deleted.
TEST_F(RoundTrip, KeyChangesAlwaysLeaveAKey) {
    EXPECT_EQ(Check(Make()), kPasses);  // a full signature held: changes are taken
    const std::string a = ReadWholeFile(dev_ / ".pub_key");
    const std::string b = PublicKeyText();
    const std::filesystem::path changes = dev_ / "tmp/oem/pub_keys";
    const struct Row {
        std::vector<std::pair<std::string, std::string>> files;  // under oem/pub_keys
        int result;
        std::string pub_key;
        bool b_kept;  // /.pub_keys/b.pub
    } rows[] = {
        {{{"b.pub", b}}, 0, a, true},
        {{{"b.pub", b}, {"bad.pub", "N = 00\n"}}, -1, a, false},
        {{{"removed/a.pub", a}}, -1, a, false},
        {{{"b.pub", b}, {"removed/a.pub", a}}, 0, b, false},
        {{{"b.pub", b}, {"removed/a.pub", a}, {"removed/b.pub", b}}, -1, a, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        std::filesystem::remove_all(dev_ / "tmp");
        std::filesystem::remove_all(dev_ / ".pub_keys");
        WriteFile(dev_ / ".pub_key", a);
        std::filesystem::create_directories(changes / "removed");
        for (const auto& [name, text] : row.files) WriteFile(changes / name, text);
        int ret = 1;
        Stdout([&] { ret = pkg::ApplyTrustChanges(); });
        EXPECT_EQ(ret, row.result);
        EXPECT_EQ(ReadWholeFile(dev_ / ".pub_key"), row.pub_key);
        EXPECT_EQ(std::filesystem::exists(dev_ / ".pub_keys/b.pub"), row.b_kept);
    }
}

TEST(PackPlan, Limits) {
    using Edit = void (*)(pkg::PackPlan&);
    static const pkg::PackImage a3{3, "a", 0, ""}, b3{3, "b", 0, ""}, a32{32, "a", 0, ""};
    const Edit refused[] = {
        [](pkg::PackPlan& s) { s.pub_version = "B01$02"; },
        [](pkg::PackPlan& s) { s.inner_version.assign(129, 'i'); },
        [](pkg::PackPlan& s) { s.encrypt_flag.assign(17, 'f'); },
        [](pkg::PackPlan& s) { s.inner_version = s.key_suffix = std::string(128, 'i'); },
        [](pkg::PackPlan& s) { s.boards.assign(65, "B"); },
        [](pkg::PackPlan& s) { s.boards.assign(64, std::string(25, 'b')); },  // over 1279
        [](pkg::PackPlan& s) { s.images.assign(1, a3), s.images.push_back(b3); },
        [](pkg::PackPlan& s) { s.count = 3, s.images.assign(1, a3); },
        [](pkg::PackPlan& s) { s.count = 40, s.images.assign(1, a32); },  // never read
    };
    for (Edit edit : refused) {
        pkg::PackPlan plan;
        plan.inner_version = "I";
        plan.pub_version = "B0102";
        edit(plan);
        EXPECT_NE(pkg::CheckPackPlan(plan), "") << &edit - refused;
    }
    pkg::PackPlan ok;
    ok.boards.assign(64, "B");
    EXPECT_EQ(pkg::CheckPackPlan(ok), "");
}

}  // namespace
