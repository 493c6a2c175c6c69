// CRC, environment CRC, digest and the RSA key operations, against known
// answers from outside the updater (known_answers.h).
#include "package/integrity.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "package/crypto.h"
#include "package/format.h"
#include "package/helpers.h"
#include "package/known_answers.h"
#include "sys/fd.h"
#include "sys/path.h"
#include "sys/scratch.h"

namespace {

using pkgtest::PublicKeyText;
using pkgtest::Stdout;
using pkgtest::WriteFile;

std::vector<uint8_t> FromHex(const char* hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return out;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(kat::PatternByte(i));
    return s;
}

// ---- CRC

TEST(PacketCrc, KnownAnswers) {
    ScratchDir dir;
    struct Case {
        std::string bytes;
        uint32_t crc;
    };
    const Case cases[] = {
        {std::string(4096, 'x'), 0xFFFFFFFFu},                 // no body
        {std::string(100, 'x'), 0xFFFFFFFFu},                  // shorter than the front part
        {std::string(4096, '\0') + "123456789", 0x0376E6E7u},  // the published check value
    };
    for (const Case& c : cases) {
        WriteFile(dir / "p", c.bytes);
        sys::UniqueFd fd(::open((dir / "p").c_str(), O_RDONLY));
        uint32_t crc = 0;
        EXPECT_EQ(UPDATE_CountPacketCrc(fd.get(), &crc), 0);
        EXPECT_EQ(crc, c.crc);
    }
    const auto* check = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(UPDATE_PacketCrc(check, 9, 0xFFFFFFFFu), 0x0376E6E7u);
    EXPECT_EQ(pkg::PacketCrcTable(check, 9, 0xFFFFFFFFu), 0x0376E6E7u);
}

TEST(PacketCrc, BackendAgreesWithByteTableOnRandomSplits) {
    std::mt19937_64 rng(4);
    std::vector<uint8_t> data(3 << 20);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint32_t whole = pkg::PacketCrcTable(data.data(), data.size(), 0xFFFFFFFFu);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        uint32_t reg = 0xFFFFFFFFu;
        size_t pos = 0;
        while (pos < data.size()) {
            size_t n = std::min<size_t>(data.size() - pos, rng() % 300000);
            if (round % 2 == 1) n = std::min<size_t>(data.size() - pos, rng() % 17);  // tiny pieces
            if (round % 2 == 1 && pos > 4096) n = data.size() - pos;
            reg = UPDATE_PacketCrc(data.data() + pos, n, reg);
            pos += n;
        }
        EXPECT_EQ(reg, whole);
    }
    // Arbitrary start registers and unaligned buffers.
    for (int i = 0; i < 200; ++i) {
        const size_t off = rng() % 64, len = rng() % 5000;
        const auto reg = static_cast<uint32_t>(rng());
        EXPECT_EQ(UPDATE_PacketCrc(data.data() + off, len, reg),
                  pkg::PacketCrcTable(data.data() + off, len, reg));
    }
}

TEST(PacketCrc, ShiftJoinsPiecesCountedApart) {
    std::mt19937_64 rng(9);
    std::vector<uint8_t> data(700000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (int i = 0; i < 50; ++i) {
        const size_t cut = rng() % data.size();
        const auto reg = static_cast<uint32_t>(rng());
        const uint32_t a = pkg::PacketCrcTable(data.data(), cut, reg);
        const uint32_t b = pkg::PacketCrcTable(data.data() + cut, data.size() - cut, 0);
        EXPECT_EQ(pkg::CrcShift(a, data.size() - cut) ^ b,
                  pkg::PacketCrcTable(data.data(), data.size(), reg));
    }
}

TEST(PacketCrc, CheckCrcResultsAndMessages) {
    ScratchDir dir;
    const std::string path = dir / "Program.bin";
    WriteFile(path, std::string(4096, '\0') + "123456789");
    pkgtest::ScopedLog log(dir / "update.log");
    EXPECT_EQ(Stdout([&] {  // log only
                  EXPECT_EQ(UPDATE_CheckCrc(0x0376E6E7u, path.c_str()), 0);
                  EXPECT_EQ(UPDATE_CheckCrc(0x0376E6E8u, path.c_str()), -1);
                  EXPECT_EQ(UPDATE_CheckCrc(0, (dir / "none").c_str()), -3);
              }),
              "");
    const std::vector<std::string> expect = {
        "Read head crc: 58124007, count file crc: 58124007.",
        "Read head crc: 58124008, count file crc: 58124007.",
        "open file " + dir / "none" + " failed!",
    };
    EXPECT_EQ(log.Messages(), expect);
}

TEST(EnvCrc, KnownAnswerAtEveryAlignment) {
    alignas(16) uint8_t buf[32];
    for (size_t align = 0; align < 8; ++align) {
        std::memcpy(buf + align, "123456789", 9);
        EXPECT_EQ(UPDATE_EnvCrc32(0, buf + align, 9), 0xCBF43926u) << align;
        // Chained in two calls.
        const uint32_t first = UPDATE_EnvCrc32(0, buf + align, 4);
        EXPECT_EQ(UPDATE_EnvCrc32(first, buf + align + 4, 5), 0xCBF43926u) << align;
    }
    EXPECT_EQ(UPDATE_EnvCrc32(0, buf, 0), 0u);
}

// ---- digest

class DigestTest : public testing::Test {
  protected:
    std::vector<uint8_t> Digest(const std::string& bytes) {
        WriteFile(dir_ / "p", bytes);
        sys::UniqueFd fd(::open((dir_ / "p").c_str(), O_RDONLY));
        std::vector<uint8_t> out(32, 0xAA);
        EXPECT_EQ(UPDATE_CountSha256(fd.get(), out.data()), 0);
        return out;
    }
    ScratchDir dir_;
};

TEST_F(DigestTest, EmptyFileIsAllOnes) {
    EXPECT_EQ(Digest(""), std::vector<uint8_t>(32, 0x01));
}

TEST_F(DigestTest, TwoChunksOf262144And1) {
    const std::vector<uint8_t> expect(std::begin(kat::kSmallPatternDigest),
                                      std::end(kat::kSmallPatternDigest));
    EXPECT_EQ(Digest(Pattern(kat::kSmallPatternSize)), expect);
}

TEST_F(DigestTest, LargeFileOnAnyNumberOfThreads) {
    WriteFile(dir_ / "big", Pattern(kat::kBigPatternSize));
    sys::UniqueFd fd(::open((dir_ / "big").c_str(), O_RDONLY));
    for (unsigned threads : {0u, 1u, 2u, 3u, 7u, 8u}) {
        for (bool zero : {false, true}) {
            SCOPED_TRACE(std::to_string(threads) + (zero ? " zeroed" : ""));
            pkg::ScanOptions options;
            options.crc = options.digest = true;
            options.threads = threads;
            options.zero_signature = zero;
            pkg::ScanResult r;
            ASSERT_EQ(pkg::ScanPackage(fd.get(), options, &r), 0);
            EXPECT_EQ(r.crc, kat::kBigPatternCrc);
            EXPECT_EQ(
                0, std::memcmp(r.digest,
                               zero ? kat::kBigPatternDigestZeroSig : kat::kBigPatternDigest, 32));
        }
    }
    uint8_t out[32];
    EXPECT_EQ(UPDATE_CountSha256(fd.get(), out), 0);
    EXPECT_EQ(0, std::memcmp(out, kat::kBigPatternDigest, 32));
    uint32_t crc = 0;
    EXPECT_EQ(UPDATE_CountPacketCrc(fd.get(), &crc), 0);
    EXPECT_EQ(crc, kat::kBigPatternCrc);
}

TEST_F(DigestTest, UnreadableDescriptor) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    uint8_t out[32];
    uint32_t crc = 0;
    EXPECT_EQ(Stdout([&] {
                  EXPECT_EQ(UPDATE_CountSha256(pipefd[0], out), -1);
                  EXPECT_EQ(UPDATE_CountPacketCrc(pipefd[0], &crc), -4);
              }),
              "lseek packet file failed!\nlseek packet file failed!\n");
    ::close(pipefd[0]);
    ::close(pipefd[1]);
}

// ---- RSA

class RsaTest : public testing::Test {
  protected:
    void SetUp() override { sys::SetDeviceRootForTests(root_.path()); }
    void TearDown() override { sys::SetDeviceRootForTests(""); }
    int Decrypt(const char* signature_hex, uint8_t* out) {
        std::vector<uint8_t> block = FromHex(signature_hex);
        block.resize(kSigSize, 0);
        int ret = 0;
        out_ = Stdout([&] { ret = rsa_decrypt(block.data(), out); });
        return ret;
    }
    ScratchDir root_;
    std::string out_;
};

TEST_F(RsaTest, RecoversTheDigestSignedElsewhere) {
    WriteFile(root_ / ".pub_key", PublicKeyText());
    uint8_t out[64];
    std::memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(Decrypt(kat::kSignature32, out), 0);
    EXPECT_EQ(0, std::memcmp(out, kat::kPayload, 32));
    EXPECT_EQ(out[32], 0xEE);  // exactly 32 bytes written
    EXPECT_EQ(out_, "");
}

TEST_F(RsaTest, KeyFileLineForms) {
    const std::string n = kat::kKeyN, e = kat::kKeyE;
    const std::string forms[] = {
        n + "\n" + e + "\n",                   // bare numbers
        "N = " + n + "\r\nE = " + e + "\r\n",  // CRLF line ends
        "N=" + n + "\nE=" + e,                 // no final line end
        "modulus: " + n + "\nexponent 0" + e + "\n",
    };
    for (const std::string& text : forms) {
        WriteFile(root_ / ".pub_key", text);
        uint8_t out[32] = {};
        EXPECT_EQ(Decrypt(kat::kSignature32, out), 0) << text.substr(0, 12);
        EXPECT_EQ(0, std::memcmp(out, kat::kPayload, 32));
    }
}

TEST_F(RsaTest, FailuresWriteNothingIntoTheDigest) {
    WriteFile(root_ / ".pub_key", PublicKeyText());
    struct Case {
        const char* what;
        std::string signature;
        const char* message;
    };
    std::string corrupt = kat::kSignature32;
    corrupt[100] = corrupt[100] == '0' ? '1' : '0';
    const Case cases[] = {
        {"31-byte payload", kat::kSignature31, "rsa_pkcs1_decrypt failed, -16640\n"},
        {"33-byte payload", kat::kSignature33, "rsa_pkcs1_decrypt failed, -16640\n"},
        {"corrupt block", corrupt, nullptr},
        {"zero block", std::string(1024, '0'), nullptr},
        {"block above the modulus", std::string(1024, 'F'), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t out[64];
        std::memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(Decrypt(c.signature.c_str(), out), -1);
        EXPECT_EQ(out[0], 0xEE);
        EXPECT_EQ(out[32], 0xEE);
        if (c.message != nullptr) {
            EXPECT_EQ(out_, c.message);
        } else {
            EXPECT_EQ(out_.rfind("rsa_pkcs1_decrypt failed, ", 0), 0u) << out_;
        }
    }
}

TEST_F(RsaTest, KeyFileProblems) {
    uint8_t out[32];
    EXPECT_EQ(Decrypt(kat::kSignature32, out), -1);
    EXPECT_EQ(out_, "open rsa_decrypt failed!\n");
    EXPECT_FALSE(UPDATE_HasPublicKey());
    const std::pair<std::string, const char*> cases[] = {
        {std::string("N = ") + kat::kKeyN + "\n", "mpi_read_file failed, -2\n!"},
        {std::string(3000, 'A') + "\n1\n", "mpi_read_file failed, -8\n!"},
        {std::string(kat::kKeyP) + "\n10001\n", nullptr},  // another key: no padding comes out
    };
    for (const auto& [text, message] : cases) {
        WriteFile(root_ / ".pub_key", text);
        EXPECT_TRUE(UPDATE_HasPublicKey());
        EXPECT_EQ(Decrypt(kat::kSignature32, out), -1);
        if (message != nullptr) {
            EXPECT_EQ(out_, message);
        }
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
    WriteFile(root_ / "pri_key", pkgtest::PrivateKeyText());
    EXPECT_EQ(encrypt(sizeof(block), 0), "");
    EXPECT_EQ(std::vector<uint8_t>(block, block + 512), FromHex(kat::kSignature32));
    encrypt(511, -1);  // no room for the block
    WriteFile(root_ / "pri_key", PublicKeyText());
    EXPECT_EQ(encrypt(sizeof(block), -1), "mpi_read_file failed, -2\n");
    ASSERT_EQ(::chdir(cwd), 0);
}

TEST(Crypto, GeneratedKeysSignAndRecover) {
    pkg::crypto::RsaKeyText key;
    ASSERT_EQ(pkg::crypto::RsaGenerate(1024, 65537, &key), 0);
    pkg::crypto::Rsa signer;
    ASSERT_EQ(signer.SetPrivate(key), 0);
    ASSERT_EQ(signer.KeyBytes(), 128u);
    uint8_t sig[128];
    ASSERT_EQ(signer.SignType1(kat::kPayload, 32, sig), 0);
    pkg::crypto::Rsa verifier;
    ASSERT_EQ(verifier.SetPublic(key[pkg::crypto::kRsaN], key[pkg::crypto::kRsaE]), 0);
    uint8_t out[128];
    size_t len = 0;
    ASSERT_EQ(verifier.RecoverType1(sig, out, sizeof(out), &len), 0);
    ASSERT_EQ(len, 32u);
    EXPECT_EQ(0, std::memcmp(out, kat::kPayload, 32));
}

TEST(Crypto, Aes256Fips197) {
    // FIPS-197 appendix C.3.
    const std::vector<uint8_t> key =
        FromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    const std::vector<uint8_t> plain = FromHex("00112233445566778899AABBCCDDEEFF");
    const std::vector<uint8_t> cipher = FromHex("8EA2B7CA516745BFEAFC49904B496089");
    pkg::crypto::Aes256 aes;
    uint8_t out[16];
    ASSERT_TRUE(aes.SetEncryptKey(key.data()));
    ASSERT_TRUE(aes.Block(plain.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), cipher);
    ASSERT_TRUE(aes.SetDecryptKey(key.data()));
    ASSERT_TRUE(aes.Block(cipher.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), plain);
    aes.Clear();
    EXPECT_FALSE(aes.Block(cipher.data(), out));
}

}  // namespace
