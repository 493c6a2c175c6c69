// CRC, environment CRC, digest and the RSA key operations, against known
// answers from outside the updater (known_answers.h).
#include "package/integrity.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "package/crypto.h"
#include "package/format.h"
#include "package/helpers.h"
#include "package/known_answers.h"
#include "sys/fd.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using namespace pkgtest;  // NOLINT(google-build-using-namespace)

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(kat::PatternByte(i));
    return s;
}

TEST(PacketCrc, KnownAnswersOfSmallFilesCheckMessagesAndAPipe) {
    ScratchDir dir;
    const std::string path = dir / "Program.bin", none = dir / "none";
    ScopedLog log(dir / "update.log");
    struct Case {
        std::string bytes;
        uint32_t crc;
        std::vector<uint8_t> digest;  // empty: not compared
    };
    const Case cases[] = {
        {"", 0xFFFFFFFFu, std::vector<uint8_t>(32, 0x01)},
        {std::string(4096, 'x'), 0xFFFFFFFFu, {}},                 // no body
        {std::string(100, 'x'), 0xFFFFFFFFu, {}},                  // shorter than the front part
        {std::string(4096, '\0') + "123456789", 0x0376E6E7u, {}},  // the published check value
        {Pattern(kat::kSmallPatternSize),
         kat::kSmallPatternCrc,  // chunks of 262144 and 1
         {std::begin(kat::kSmallPatternDigest), std::end(kat::kSmallPatternDigest)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        WriteFile(path, c.bytes);
        log.Clear();
        // Log only.
        EXPECT_EQ(Stdout([&] { EXPECT_EQ(UPDATE_CheckCrc(c.crc, path.c_str()), 0); }), "");
        EXPECT_EQ(log.Messages().back(), "Read head crc: " + std::to_string(c.crc) +
                                             ", count file crc: " + std::to_string(c.crc) + ".");
        sys::UniqueFd fd(::open(path.c_str(), O_RDONLY));
        std::vector<uint8_t> digest(32, 0xAA);
        EXPECT_EQ(UPDATE_CountSha256(fd.get(), digest.data()), 0);
        EXPECT_TRUE(c.digest.empty() || digest == c.digest);
    }
    log.Clear();
    EXPECT_EQ(UPDATE_CheckCrc(1, path.c_str()), -1);
    EXPECT_EQ(UPDATE_CheckCrc(0, none.c_str()), -3);
    const std::vector<std::string> expect = {"Read head crc: 1, count file crc: 3404030045.",
                                             "open file " + none + " failed!"};
    EXPECT_EQ(log.Messages(), expect);
    int pipefd[2];  // no seeking
    ASSERT_EQ(::pipe(pipefd), 0);
    sys::UniqueFd in(pipefd[0]), out(pipefd[1]);
    uint8_t digest[32];
    uint32_t crc = 0;
    EXPECT_EQ(Stdout([&] {
                  EXPECT_EQ(UPDATE_CountSha256(in.get(), digest), -1);
                  EXPECT_EQ(UPDATE_CountPacketCrc(in.get(), &crc), -4);
              }),
              "lseek packet file failed!\nlseek packet file failed!\n");
}

// The parallel scan's joins and the backend on whole chunks meet the known
// answers of the large file below; this covers odd pieces and start registers.
TEST(PacketCrc, BackendAgreesWithByteTableOnUnalignedPieces) {
    std::mt19937_64 rng(4);
    std::vector<uint8_t> data(70000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (int i = 0; i < 300; ++i) {
        const size_t off = rng() % 64, len = rng() % (i % 2 == 0 ? 17 : 65536);
        const auto reg = static_cast<uint32_t>(rng());
        EXPECT_EQ(UPDATE_PacketCrc(data.data() + off, len, reg),
                  pkg::PacketCrcTable(data.data() + off, len, reg));
        EXPECT_EQ(pkg::CrcShift(reg, len) ^ pkg::PacketCrcTable(data.data() + off, len, 0),
                  pkg::PacketCrcTable(data.data() + off, len, reg));
    }
}

TEST(EnvCrc, KnownAnswerAtEveryAlignment) {
    alignas(16) uint8_t buf[32];
    for (size_t align = 0; align < 8; ++align) {
        std::copy_n("123456789", 9, buf + align);
        EXPECT_EQ(UPDATE_EnvCrc32(0, buf + align, 9), 0xCBF43926u) << align;
        const uint32_t first = UPDATE_EnvCrc32(0, buf + align, 4);  // chained in two calls
        EXPECT_EQ(UPDATE_EnvCrc32(first, buf + align + 4, 5), 0xCBF43926u) << align;
    }
    EXPECT_EQ(UPDATE_EnvCrc32(0, buf, 0), 0u);
}

TEST(Digest, LargeFileOnAnyNumberOfThreads) {
    ScratchDir dir;
    WriteFile(dir / "big", Pattern(kat::kBigPatternSize));
    sys::UniqueFd fd(::open((dir / "big").c_str(), O_RDONLY));
    for (unsigned threads : {0u, 1u, 2u, 3u, 7u, 8u}) {
        for (int mode : {0, 1, 2}) {  // plain, signature block zeroed, and the full hash
            const bool zero = mode > 0;
            SCOPED_TRACE(std::to_string(threads) + " mode " + std::to_string(mode));
            pkg::ScanOptions options;
            options.crc = options.digest = true;
            options.threads = threads;
            options.zero_signature = zero;
            options.full = mode == 2;
            // The progress only grows, though the threads report in any order.
            std::vector<uint64_t> seen;
            options.progress = [&seen](uint64_t done, uint64_t) {
                seen.push_back(done);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            };
            pkg::ScanResult r;
            ASSERT_EQ(pkg::ScanPackage(fd.get(), options, &r), 0);
            EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
            EXPECT_EQ(seen.back(), kat::kBigPatternSize);
            EXPECT_EQ(r.crc, kat::kBigPatternCrc);
            EXPECT_EQ(
                0, std::memcmp(r.digest,
                               zero ? kat::kBigPatternDigestZeroSig : kat::kBigPatternDigest, 32));
            EXPECT_TRUE(mode < 2 || std::memcmp(r.full, kat::kBigPatternFullHash, 32) == 0);
        }
    }
    uint8_t out[32];
    EXPECT_EQ(UPDATE_CountSha256(fd.get(), out), 0);
    EXPECT_EQ(0, std::memcmp(out, kat::kBigPatternDigest, 32));
    uint32_t crc = 0;
    EXPECT_EQ(UPDATE_CountPacketCrc(fd.get(), &crc), 0);
    EXPECT_EQ(crc, kat::kBigPatternCrc);
}

class RsaTest : public testing::Test {
  protected:
    void SetUp() override { sys::SetDeviceRoot(root_.path()); }
    void TearDown() override { sys::SetDeviceRoot(""); }
    // rsa_decrypt of a signature given in hex; out_ gets what it printed.
    int Decrypt(const std::string& signature_hex, uint8_t* out) {
        std::vector<uint8_t> block = FromHex(signature_hex);
        block.resize(kSigSize, 0);
        int ret = 0;
        out_ = Stdout([&] { ret = rsa_decrypt(block.data(), out); });
        return ret;
    }
    ScratchDir root_;
    std::string out_;
};

TEST_F(RsaTest, RecoversTheDigestSignedElsewhereWithAnyKeyFileLineForm) {
    const std::string n = kat::kKeyN, e = kat::kKeyE;
    const std::string forms[] = {
        PublicKeyText(),                       // "N = ..." lines
        n + "\n" + e + "\n",                   // bare numbers
        "N = " + n + "\r\nE = " + e + "\r\n",  // CRLF line ends
        "N=" + n + "\nE=" + e,                 // no final line end
        "modulus: " + n + "\nexponent 0" + e + "\n",
    };
    for (const std::string& text : forms) {
        SCOPED_TRACE(text.substr(0, 12));
        WriteFile(root_ / ".pub_key", text);
        uint8_t out[64];
        std::memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(Decrypt(kat::kSignature32, out), 0);
        EXPECT_EQ(0, std::memcmp(out, kat::kPayload, 32));
        EXPECT_EQ(out[32], 0xEE);  // exactly 32 bytes written
        EXPECT_EQ(out_, "");
    }
}

TEST_F(RsaTest, FailuresWriteNothingIntoTheDigest) {
    uint8_t out[64];
    EXPECT_EQ(Decrypt(kat::kSignature32, out), -1);
    EXPECT_EQ(out_, "open rsa_decrypt failed!\n");
    EXPECT_FALSE(UPDATE_HasPublicKey());
    std::string corrupt = kat::kSignature32;
    corrupt[100] = corrupt[100] == '0' ? '1' : '0';
    const std::string key = PublicKeyText(), decrypt = "rsa_pkcs1_decrypt failed, ";
    struct Case {
        std::string key, signature, message;  // a message ending in ", " is a prefix
    };
    const Case cases[] = {
        {key, kat::kSignature31, decrypt + "-16640\n"},  // 31-byte payload
        {key, kat::kSignature33, decrypt + "-16640\n"},  // 33-byte payload
        {key, corrupt, decrypt},
        {key, std::string(1024, '0'), decrypt},
        {key, std::string(1024, 'F'), decrypt},                               // above the modulus
        {std::string(kat::kKeyP) + "\n10001\n", kat::kSignature32, decrypt},  // another key
        {std::string("N = ") + kat::kKeyN + "\n", kat::kSignature32, "mpi_read_file failed, -2\n!"},
        {std::string(3000, 'A') + "\n1\n", kat::kSignature32, "mpi_read_file failed, -8\n!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        WriteFile(root_ / ".pub_key", c.key);
        EXPECT_TRUE(UPDATE_HasPublicKey());
        std::memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(Decrypt(c.signature, out), -1);
        EXPECT_EQ(out[0], 0xEE);
        EXPECT_EQ(out[32], 0xEE);
        EXPECT_EQ(c.message.back() == ' ' ? out_.substr(0, c.message.size()) : out_, c.message);
    }
}

TEST_F(RsaTest, EncryptMatchesTheOutsideSignature) {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(::chdir(root_.path().c_str()), 0);
    uint8_t block[kSigSize] = {};
    const auto encrypt = [&](size_t room, int ret) {
        return Stdout([&] { EXPECT_EQ(rsa_encrypt(kat::kPayload, block, room), ret); });
    };
    EXPECT_EQ(encrypt(sizeof(block), -1), "open rsa_encrypt failed!\n");
    WriteFile(root_ / "pri_key", PrivateKeyText());
    EXPECT_EQ(encrypt(sizeof(block), 0), "");
    EXPECT_EQ(std::vector<uint8_t>(block, block + 512), FromHex(kat::kSignature32));
    encrypt(511, -1);  // no room for the block
    WriteFile(root_ / "pri_key", PublicKeyText());
    EXPECT_EQ(encrypt(sizeof(block), -1), "mpi_read_file failed, -2\n");
    ASSERT_EQ(::chdir(cwd), 0);
}

}  // namespace
