// CRC and digital signature of an update package, the key-file RSA
// operations behind the signature, and the boot-environment CRC.
//
// Package CRC: CRC-32/MPEG-2 over bytes 4096 to the end. Digest: the SHA-256
// of every 262144-byte chunk of the whole file (signature block read as zero),
// each byte plus 0x30 and XOR-folded into 32 bytes of 0x01.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "package/crypto.h"

// CRC-32/MPEG-2 register step over a buffer (initial register 0xFFFFFFFF).
uint32_t UPDATE_PacketCrc(const uint8_t* buf, size_t len, uint32_t reg);
// CRC of an open package from byte 4096 on. 0, -2 no buffer, -4 seek, -5 read.
[[nodiscard]] int UPDATE_CountPacketCrc(int fd, uint32_t* crc);
// 0 when the package's CRC equals expected; -1 differs or not counted; -3 cannot open.
[[nodiscard]] int UPDATE_CheckCrc(uint32_t expected, const char* path);
// Reflected CRC-32 (zlib convention), chained through prev (start with 0).
uint32_t UPDATE_EnvCrc32(uint32_t prev, const uint8_t* buf, size_t len);

// The 32-byte digest from a 512-byte signature block, with the device key
// "/.pub_key". Writes exactly 32 bytes; fails unless the payload is 32 bytes.
[[nodiscard]] int rsa_decrypt(const uint8_t* block, uint8_t* digsig);
// The signature block's first k bytes (k = key length) from 32 input bytes,
// with the private key file "pri_key" of the working directory.
[[nodiscard]] int rsa_encrypt(const uint8_t* input, uint8_t* output, size_t output_cap);

// The chunked digest of an open file from byte 0. 0 or -1.
[[nodiscard]] int UPDATE_CountSha256(int fd, uint8_t* out);
// 0 when the package's digest (signature block read as zero) equals digsig;
// -1 differs or not computed; -3 cannot be opened. The package is only read.
// sink: see pkg::ScanOptions (declared below).
[[nodiscard]] int UPDATE_CheckDigSig(
    const char* path, const uint8_t* digsig,
    const std::function<bool(const uint8_t*, size_t, uint64_t)>& sink = {});
// Both checks in one read pass, with the results of UPDATE_CheckCrc and
// UPDATE_CheckDigSig and the messages of the two run in turn: the signature's
// messages follow only a CRC that holds (its result is given either way).
// digsig null checks the CRC only (sig_result is then 0). Returns crc_result
// if non-zero, else sig_result.
[[nodiscard]] int UPDATE_CheckCrcAndDigSig(
    uint32_t expected, const char* path, const uint8_t* digsig, int* crc_result, int* sig_result,
    const std::function<bool(const uint8_t*, size_t, uint64_t)>& sink = {});
// Whether the device trusts any key: "/.pub_key" or a key of "/.pub_keys"
// (see package/trust.h); the signature check is then on.
bool UPDATE_HasPublicKey();

// With the signature check on, both checks above also check the package's
// full signature (see pkg::CheckFullSignature) in the same pass: one that is
// present and does not hold fails the signature; a package without one
// fails it too once the device requires full signatures.
//
// The latch: a device requires full signatures once a package whose full
// signature held was installed (the file "/var/runtime/sig_full" exists), or
// always in a build with UPDATE_REQUIRE_FULL_SIGNATURE.
inline constexpr const char* kFullSignatureLatchPath = "/var/runtime/sig_full";
bool UPDATE_FullSignatureRequired();
// Whether the latest check of this process held with a full signature.
bool UPDATE_FullSignatureHeld();
// After a successful update: sets the latch when the package's full
// signature held (the file is written once and never removed). 0 or -1.
[[nodiscard]] int UPDATE_LatchFullSignature();
// After the configuration was emptied: writes the latch again when the
// device required full signatures at the latest check. 0 or -1.
[[nodiscard]] int UPDATE_KeepFullSignatureLatch();
// Whatever emptied the configuration (a config image loaded by -debug as
// well): writes the latch again when it was there before. latched: whether
// it was. 0 or -1.
[[nodiscard]] int UPDATE_RestoreFullSignatureLatch(bool latched);

inline constexpr const char* kPublicKeyPath = "/.pub_key";
inline constexpr const char* kPrivateKeyFile = "pri_key";

namespace pkg {

// The sink of a scan (ScanOptions::sink).
using Sink = std::function<bool(const uint8_t* data, size_t n, uint64_t pos)>;

// The byte-table CRC-32/MPEG-2: the portable definition, always built.
uint32_t PacketCrcTable(const uint8_t* buf, size_t len, uint32_t reg);
// reg * x^(8 len) mod P: the register after len zero bytes, used to join the
// CRCs of consecutive pieces counted apart (crc(r, A+B) =
// CrcShift(crc(r, A), |B|) ^ crc(0, B)).
uint32_t CrcShift(uint32_t reg, uint64_t len);
// "isal" or "table".
const char* CrcBackendName();

// One pass over an open package that may count the CRC (bytes 4096 on) and
// the digest (all bytes) together; large regular files are read on several
// threads, each streaming its own part through its own 262144-byte buffer.
struct ScanOptions {
    bool crc = false;
    bool digest = false;
    bool zero_signature = false;  // read bytes 1536..2047 as zero for the digest
    // Also the SHA-256 of the whole file with bytes 1536..2047 read as zero
    // (the full signature's hash), in the same pass: the chunks are then
    // handed out in turn and each joins the whole-file hash in file order.
    bool full = false;
    unsigned threads = 0;  // 0: one per core (at most 8); 1: no extra threads
    // Bytes read so far; called from any thread, never concurrently.
    std::function<void(uint64_t done, uint64_t total)> progress;
    // Every byte as read (the signature block too), in file order and never
    // concurrently: the scan's own read feeds a private copy or digests, so
    // the bytes checked are the bytes later used. false ends the scan (-6).
    std::function<bool(const uint8_t* data, size_t n, uint64_t pos)> sink;
};
struct ScanResult {
    uint32_t crc = 0;
    uint8_t digest[32] = {};
    uint8_t full[32] = {};        // with options.full
    uint8_t signature[512] = {};  // bytes 1536..2047 as read, with options.full
};
// 0, -2 no buffer, -4 seek failed, -5 read failed, -1 digest failed, -6 the
// sink refused.
[[nodiscard]] int ScanPackage(int fd, const ScanOptions& options, ScanResult* result);

// Reads the next number of a key file: the trailing run of hexadecimal digits
// of the next line ("N = 00A3..." and plain "00A3..." alike).
// 0, or -0x0002 end of file or read error, -0x0008 line too long.
[[nodiscard]] int ReadKeyNumber(std::FILE* file, std::string* hex);

// Which step of a key operation failed, for the messages of each caller.
enum class RsaStage { Ok, Seed, Open, Read, Operation };
struct RsaOutcome {
    RsaStage stage = RsaStage::Ok;
    int code = 0;
};
// The 32-byte payload of a signature block with the public key file at path.
RsaOutcome RecoverDigest(const char* key_path, const uint8_t* block, uint8_t* digsig);
// The signature of 32 bytes with the private key file at path; k bytes to out.
RsaOutcome SignDigest(const char* key_path, const uint8_t* input, uint8_t* out, size_t cap,
                      size_t* written);
// The full signature: RSA PKCS#1 v1.5 with a DigestInfo-wrapped SHA-256 of
// the whole package with bytes 1536..2047 read as zero, in the last k bytes
// of the signature block (k = the key's length, at most 256: the legacy
// signature holds the first k). The signature is its own mark: the tail
// carries one only when the key's public operation turns it into a type-1
// block around a SHA-256 DigestInfo. Anything else there (zeros, or the
// random padding of a legacy package) means the package carries none.
inline constexpr size_t kFullSigMaxBytes = 256;
// The DigestInfo of a SHA-256 hash (PKCS#1 v1.5): what a full signature
// recovers to in front of its 32-byte hash.
inline constexpr uint8_t kSha256DigestInfo[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                  0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                  0x01, 0x05, 0x00, 0x04, 0x20};
enum class FullSignature { Absent, Ok, Bad };
// Whether the block's tail is all zero for a key of key_bytes, so that it
// certainly carries no full signature (a key over 2048 bits leaves no room
// for one).
bool FullSignatureAbsent(const uint8_t* block /*512*/, size_t key_bytes);
// The hash a full signature in the block signs, with the public key file at
// path; *present false when the tail carries none for this key.
RsaOutcome DecodeFullSignature(const char* key_path, const uint8_t* block /*512*/,
                               uint8_t* hash /*32*/, bool* present);
// The state of the block's full signature over hash with the public key
// file at path; a failed key step is returned (state Bad).
RsaOutcome CheckFullSignature(const char* key_path, const uint8_t* block /*512*/,
                              const uint8_t* hash /*32*/, FullSignature* state);
// Signs hash with the private key file at path into the block's tail; a key
// over 2048 bits is refused (stage Operation).
RsaOutcome SignFull(const char* key_path, const uint8_t* hash /*32*/, uint8_t* block /*512*/);
// Writes a key pair in the key-file formats ("N = ..." lines); 0 or a code.
[[nodiscard]] int WriteKeyFiles(const crypto::RsaKeyText& key, const char* private_path,
                                const char* public_path);

// The package digest with the signature block read as zero.
[[nodiscard]] int PackageDigest(int fd, uint8_t* out);

}  // namespace pkg
