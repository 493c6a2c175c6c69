// The one small crypto interface of the updater. Two backends implement it,
// chosen at configure time: OpenSSL 3 libcrypto (crypto/openssl.cpp) and
// mbedTLS 2.28 (crypto/mbedtls.cpp). Nothing outside this interface names a
// crypto library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pkg::crypto {

// "openssl" or "mbedtls".
const char* BackendName();

inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kAesKeySize = 32;
inline constexpr size_t kAesBlockSize = 16;
// Largest RSA modulus the signature block holds (4096 bits).
inline constexpr size_t kRsaMaxBytes = 512;

// SHA-256 of one buffer. A Sha256 object may be reused for many buffers and
// is cheaper than the free function in a loop; one object per thread.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    [[nodiscard]] bool Digest(const uint8_t* data, size_t len, uint8_t* out /*32*/);
    // A digest fed in pieces: Begin, any number of Update, Finish.
    [[nodiscard]] bool Begin();
    [[nodiscard]] bool Update(const uint8_t* data, size_t len);
    [[nodiscard]] bool Finish(uint8_t* out /*32*/);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
[[nodiscard]] bool Sha256Digest(const uint8_t* data, size_t len, uint8_t* out /*32*/);

// AES-256 on single 16-byte blocks; the key may change between blocks.
class Aes256 {
  public:
    Aes256();
    ~Aes256();
    Aes256(const Aes256&) = delete;
    Aes256& operator=(const Aes256&) = delete;
    [[nodiscard]] bool SetEncryptKey(const uint8_t* key /*32*/);
    [[nodiscard]] bool SetDecryptKey(const uint8_t* key /*32*/);
    [[nodiscard]] bool Block(const uint8_t* in /*16*/, uint8_t* out /*16*/);
    // Wipes the key schedule.
    void Clear();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The numbers of an RSA key as hexadecimal text, in the key-file order.
enum RsaNumber { kRsaN, kRsaE, kRsaD, kRsaP, kRsaQ, kRsaDP, kRsaDQ, kRsaQP, kRsaNumbers };
using RsaKeyText = std::array<std::string, kRsaNumbers>;

// RSA with PKCS#1 v1.5 type-1 padding over a raw payload (no DigestInfo).
// Results are 0 or the backend's negative error code.
class Rsa {
  public:
    Rsa();
    ~Rsa();
    Rsa(const Rsa&) = delete;
    Rsa& operator=(const Rsa&) = delete;

    // Seeds the random generator used for blinding private operations.
    [[nodiscard]] int Seed(const char* personalisation);
    // Public key from N and E.
    [[nodiscard]] int SetPublic(const std::string& n_hex, const std::string& e_hex);
    // Private key from all eight numbers.
    [[nodiscard]] int SetPrivate(const RsaKeyText& key);
    // Byte length of N.
    [[nodiscard]] size_t KeyBytes() const;
    // Public operation on KeyBytes() bytes and removal of the type-1 padding;
    // the payload (at most cap bytes) goes to out, its length to out_len.
    [[nodiscard]] int RecoverType1(const uint8_t* in, uint8_t* out, size_t cap, size_t* out_len);
    // Type-1 padding of len bytes and the private operation; KeyBytes() bytes to out.
    [[nodiscard]] int SignType1(const uint8_t* in, size_t len, uint8_t* out);
    // PKCS#1 v1.5 signature of a SHA-256 hash (DigestInfo-wrapped), as
    // "openssl dgst -sha256 -sign" makes it; KeyBytes() bytes to out.
    [[nodiscard]] int SignSha256(const uint8_t* hash /*32*/, uint8_t* out);
    // 0 when sig (KeyBytes() bytes) is that signature of hash.
    [[nodiscard]] int VerifySha256(const uint8_t* hash /*32*/, const uint8_t* sig);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A new key pair of the given modulus size; 0 or the backend's code.
[[nodiscard]] int RsaGenerate(unsigned bits, unsigned exponent, RsaKeyText* key);

// The numbers of an RSA key in PEM text: a private key (PKCS#1 "RSA PRIVATE
// KEY" or unencrypted PKCS#8 "PRIVATE KEY") fills all eight, a public key
// (PKCS#1 "RSA PUBLIC KEY" or SPKI "PUBLIC KEY") N and E only, the rest
// empty. 0, or the backend's code (not an RSA key, or not of that kind).
[[nodiscard]] int RsaKeyFromPem(const std::string& pem, bool private_key, RsaKeyText* key);
// The PEM text of a key: the private key (private_key true), else the
// public key as SPKI. 0 or the backend's code.
[[nodiscard]] int RsaKeyToPem(const RsaKeyText& key, bool private_key, std::string* pem);

}  // namespace pkg::crypto
