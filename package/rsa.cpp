// The key files and the two RSA operations of the signature block.
//
// "/.pub_key" holds N and E, "pri_key" holds N, E, D, P, Q, DP, DQ, QP, one
// hexadecimal number per line; of each line only its trailing run of
// hexadecimal digits counts, so "N = 00C1..." and "00C1..." read the same.
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/integrity.h"
#include "package/trust.h"
#include "sys/fd.h"
#include "sys/path.h"

namespace pkg {
namespace {

constexpr int kKeyFileIo = -0x0002;
constexpr int kKeyLineTooLong = -0x0008;
constexpr int kBadPayload = -0x4100;  // the payload is not the 32-byte digest
constexpr int kBadInput = -0x4080;    // key too large for the signature block
// Longest key-file line (digits of an 8192-bit number and a label).
constexpr size_t kKeyLineBuffer = 2484;

}  // namespace

int ReadKeyNumber(std::FILE* file, std::string* hex) {
    char line[kKeyLineBuffer] = {};
    if (std::fgets(line, sizeof(line) - 1, file) == nullptr) return kKeyFileIo;
    size_t len = std::strlen(line);
    if (len == sizeof(line) - 2) return kKeyLineTooLong;
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    size_t start = len;
    while (start > 0 && std::isxdigit(static_cast<unsigned char>(line[start - 1])) != 0) --start;
    hex->assign(line + start, len - start);
    if (hex->empty()) *hex = "0";
    return 0;
}

namespace {

RsaOutcome LoadPublic(crypto::Rsa* rsa, const char* key_path, const char* personalisation) {
    int ret = rsa->Seed(personalisation);
    if (ret != 0) return {RsaStage::Seed, ret};
    sys::UniqueFile file(std::fopen(key_path, "re"));
    if (!file) return {RsaStage::Open, -1};
    std::string n;
    std::string e;
    ret = ReadKeyNumber(file.get(), &n);
    if (ret == 0) ret = ReadKeyNumber(file.get(), &e);
    if (ret != 0) return {RsaStage::Read, ret};
    ret = rsa->SetPublic(n, e);
    if (ret != 0) return {RsaStage::Operation, ret};
    if (rsa->KeyBytes() > kSigSize) return {RsaStage::Operation, kBadInput};
    return {};
}

RsaOutcome LoadPrivate(crypto::Rsa* rsa, const char* key_path, const char* personalisation) {
    int ret = rsa->Seed(personalisation);
    if (ret != 0) return {RsaStage::Seed, ret};
    sys::UniqueFile file(std::fopen(key_path, "re"));
    if (!file) return {RsaStage::Open, -1};
    crypto::RsaKeyText key;
    for (std::string& number : key) {
        ret = ReadKeyNumber(file.get(), &number);
        if (ret != 0) return {RsaStage::Read, ret};
    }
    ret = rsa->SetPrivate(key);
    if (ret != 0) return {RsaStage::Operation, ret};
    return {};
}

}  // namespace

RsaOutcome RecoverDigest(const char* key_path, const uint8_t* block, uint8_t* digsig) {
    crypto::Rsa rsa;
    RsaOutcome loaded = LoadPublic(&rsa, key_path, "rsa_decrypt");
    if (loaded.stage != RsaStage::Ok) return loaded;
    int ret = 0;
    uint8_t payload[crypto::kRsaMaxBytes];
    size_t len = 0;
    ret = rsa.RecoverType1(block, payload, sizeof(payload), &len);
    if (ret != 0) return {RsaStage::Operation, ret};
    // Only the 32-byte digest is a valid payload; the caller's buffer holds 32.
    if (len != kDigestSize) return {RsaStage::Operation, kBadPayload};
    std::memcpy(digsig, payload, kDigestSize);
    return {};
}

RsaOutcome SignDigest(const char* key_path, const uint8_t* input, uint8_t* out, size_t cap,
                      size_t* written) {
    crypto::Rsa rsa;
    RsaOutcome loaded = LoadPrivate(&rsa, key_path, "rsa_encrypt");
    if (loaded.stage != RsaStage::Ok) return loaded;
    int ret = 0;
    if (rsa.KeyBytes() > cap || rsa.KeyBytes() > kSigSize) {
        return {RsaStage::Operation, kBadInput};
    }
    ret = rsa.SignType1(input, kDigestSize, out);
    if (ret != 0) return {RsaStage::Operation, ret};
    *written = rsa.KeyBytes();
    return {};
}

bool FullSignatureAbsent(const uint8_t* block, size_t key_bytes) {
    if (key_bytes == 0 || key_bytes > kFullSigMaxBytes) return true;
    for (size_t i = kSigSize - key_bytes; i < kSigSize; ++i) {
        if (block[i] != 0) return false;
    }
    return true;
}

RsaOutcome DecodeFullSignature(const char* key_path, const uint8_t* block, uint8_t* hash,
                               bool* present) {
    *present = false;
    crypto::Rsa rsa;
    RsaOutcome loaded = LoadPublic(&rsa, key_path, "rsa_verify");
    if (loaded.stage != RsaStage::Ok) return loaded;
    const size_t k = rsa.KeyBytes();
    if (FullSignatureAbsent(block, k)) return {};
    // Padding of a legacy package recovers to anything but a type-1 block
    // around a SHA-256 DigestInfo (a chance of 2^-1600 for a 2048-bit key).
    uint8_t payload[crypto::kRsaMaxBytes];
    size_t len = 0;
    if (rsa.RecoverType1(block + kSigSize - k, payload, sizeof(payload), &len) != 0) return {};
    if (len != sizeof(kSha256DigestInfo) + kDigestSize ||
        std::memcmp(payload, kSha256DigestInfo, sizeof(kSha256DigestInfo)) != 0) {
        return {};
    }
    std::memcpy(hash, payload + sizeof(kSha256DigestInfo), kDigestSize);
    *present = true;
    return {};
}

RsaOutcome CheckFullSignature(const char* key_path, const uint8_t* block, const uint8_t* hash,
                              FullSignature* state) {
    *state = FullSignature::Bad;
    uint8_t signed_hash[kDigestSize] = {};
    bool present = false;
    const RsaOutcome out = DecodeFullSignature(key_path, block, signed_hash, &present);
    if (out.stage != RsaStage::Ok) return out;
    if (!present) {
        *state = FullSignature::Absent;
    } else if (std::memcmp(signed_hash, hash, kDigestSize) == 0) {
        *state = FullSignature::Ok;
    }
    return {};
}

RsaOutcome SignFull(const char* key_path, const uint8_t* hash, uint8_t* block) {
    crypto::Rsa rsa;
    RsaOutcome loaded = LoadPrivate(&rsa, key_path, "rsa_sign");
    if (loaded.stage != RsaStage::Ok) return loaded;
    const size_t k = rsa.KeyBytes();
    if (k > kFullSigMaxBytes) return {RsaStage::Operation, kBadInput};
    const int ret = rsa.SignSha256(hash, block + kSigSize - k);
    if (ret != 0) return {RsaStage::Operation, ret};
    return {};
}

int WriteKeyFiles(const crypto::RsaKeyText& key, const char* private_path,
                  const char* public_path) {
    static const char* const kLabels[crypto::kRsaNumbers] = {"N", "E",  "D",  "P",
                                                             "Q", "DP", "DQ", "QP"};
    auto write = [&](const char* path, size_t count, mode_t mode) {
        std::string text;
        for (size_t i = 0; i < count; ++i) text += std::string(kLabels[i]) + " = " + key[i] + "\n";
        sys::UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
        // A file replaced in place keeps its old mode unless it is set here.
        return fd && ::fchmod(fd.get(), mode) == 0 && WriteFull(fd.get(), text.data(), text.size());
    };
    if (!write(private_path, crypto::kRsaNumbers, 0600)) return -1;
    if (!write(public_path, 2, 0644)) return -1;
    return 0;
}

}  // namespace pkg

// Every key of the trust set is tried in turn; the first that recovers a
// 32-byte digest is noted for the check. A failure is told as the first
// key's ("/.pub_key" on a recorder with that key alone).
int rsa_decrypt(const uint8_t* block, uint8_t* digsig) {
    pkg::RsaOutcome out{pkg::RsaStage::Seed, -1};
    try {
        const std::vector<std::string> keys = pkg::TrustedKeyPaths();
        if (keys.empty()) out = {pkg::RsaStage::Open, -1};
        for (size_t i = 0; i < keys.size(); ++i) {
            const std::string path = sys::DevicePath(keys[i].c_str());
            const pkg::RsaOutcome one = pkg::RecoverDigest(path.c_str(), block, digsig);
            if (one.stage == pkg::RsaStage::Ok) {
                pkg::NoteDigestKey(keys[i]);
                return 0;
            }
            if (i == 0) out = one;
        }
    } catch (...) {
        // Out of memory while reading the key: reported as a set-up failure.
    }
    switch (out.stage) {
        case pkg::RsaStage::Ok:
            return 0;
        case pkg::RsaStage::Seed:
            std::printf("ctr_drbg_init failed, %d\n", out.code);
            break;
        case pkg::RsaStage::Open:
            std::printf("open %s failed!\n", "rsa_decrypt");
            break;
        case pkg::RsaStage::Read:
            std::printf("mpi_read_file failed, %d\n!", out.code);
            break;
        case pkg::RsaStage::Operation:
            std::printf("rsa_pkcs1_decrypt failed, %d\n", out.code);
            break;
    }
    std::fflush(stdout);
    return -1;
}

int rsa_encrypt(const uint8_t* input, uint8_t* output, size_t output_cap) {
    size_t written = 0;
    pkg::RsaOutcome out{pkg::RsaStage::Seed, -1};
    try {
        out = pkg::SignDigest(kPrivateKeyFile, input, output, output_cap, &written);
    } catch (...) {
        // Out of memory while reading the key: reported as a set-up failure.
    }
    switch (out.stage) {
        case pkg::RsaStage::Ok:
            return 0;
        case pkg::RsaStage::Seed:
            std::printf("ctr_drbg_init returned failed, %d\n", out.code);
            break;
        case pkg::RsaStage::Open:
            std::printf("open %s failed!\n", "rsa_encrypt");
            break;
        case pkg::RsaStage::Read:
            std::printf("mpi_read_file failed, %d\n", out.code);
            break;
        case pkg::RsaStage::Operation:
            std::printf("rsa_pkcs1_encrypt failed, %d\n", out.code);
            break;
    }
    std::fflush(stdout);
    return -1;
}
