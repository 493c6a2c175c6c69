// The keys update-pack signs and checks with: the hexadecimal key files of
// keygen, PEM files (PKCS#1 and PKCS#8 private keys, PKCS#1 and SPKI public
// keys) and, with the OpenSSL backend, a private key inside a PKCS#11 token
// named by a "pkcs11:" URI (through OpenSSL's pkcs11 engine).
//
// A private key stays in memory (or in its token): nothing here writes it
// to a file or prints it. A token's PIN comes from $UPDATE_PACK_PIN or from
// the file named by $UPDATE_PACK_PIN_FILE, never from the command line; a
// URI that carries "pin-value=" is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "package/crypto.h"

namespace pack {

inline constexpr const char* kPinEnv = "UPDATE_PACK_PIN";
inline constexpr const char* kPinFileEnv = "UPDATE_PACK_PIN_FILE";
// The PKCS#11 module the engine loads (default: the engine's own choice).
inline constexpr const char* kModuleEnv = "UPDATE_PACK_PKCS11_MODULE";

// A key that signs: PKCS#1 v1.5 block type 1 over a raw payload, the one
// operation both signatures of a package need (the legacy one signs the
// 32-byte digest as it is, the full one a SHA-256 DigestInfo and hash).
class SigningKey {
  public:
    virtual ~SigningKey() = default;
    // Byte length of the modulus.
    virtual size_t Bytes() const = 0;
    // Bytes() bytes to out; 0 or a code.
    [[nodiscard]] virtual int SignRaw(const uint8_t* payload, size_t len, uint8_t* out) = 0;
    // N and E of the public half, hexadecimal.
    std::string n, e;
};

// The signing key named on the command line: a "pkcs11:" URI or a key file
// (hex or PEM). Null with the reason in *why.
std::unique_ptr<SigningKey> OpenSigningKey(const std::string& spec, std::string* why);

// Whether a file is PEM text (it holds "-----BEGIN ").
bool IsPemFile(const std::string& path);
// A private key file (hex or PEM) read into its eight numbers. false with
// the reason in *why (wrong kind, not RSA, encrypted, unreadable).
bool ReadPrivateKey(const std::string& path, pkg::crypto::RsaKeyText* key, std::string* why);
// A public key file (hex or PEM; a private one is refused) read into N and E.
bool ReadPublicKey(const std::string& path, std::string* n, std::string* e, std::string* why);

// Writes the private key as PEM to private_path (mode 0600, never through
// another file) and the public key as SPKI PEM to public_pem (0644).
bool WritePemKeys(const pkg::crypto::RsaKeyText& key, const std::string& private_path,
                  const std::string& public_pem, std::string* why);

}  // namespace pack
