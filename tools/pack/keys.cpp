#include "tools/pack/keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/integrity.h"
#include "sys/fd.h"
#include "sys/io.h"

#if defined(UPDATE_PACK_PKCS11)
// The engine interface is the one the Debian pkcs11 engine speaks.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#endif

namespace pack {
namespace {

constexpr size_t kMaxKeyFile = size_t{64} * 1024;

bool ReadSmallFile(const std::string& path, std::string* text, std::string* why) {
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        *why = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::vector<char> buf(kMaxKeyFile + 1);
    const ssize_t n = sys::ReadFull(fd.get(), buf.data(), buf.size());
    if (n < 0 || static_cast<size_t>(n) > kMaxKeyFile) {
        *why = "cannot read '" + path + "' as a key file";
        return false;
    }
    text->assign(buf.data(), static_cast<size_t>(n));
    std::memset(buf.data(), 0, buf.size());
    return true;
}

// A key of a file: signs with the backend's RSA.
class FileKey : public SigningKey {
  public:
    bool Load(const pkg::crypto::RsaKeyText& key) {
        n = key[pkg::crypto::kRsaN];
        e = key[pkg::crypto::kRsaE];
        return rsa_.SetPrivate(key) == 0 && rsa_.KeyBytes() > 0;
    }
    size_t Bytes() const override { return rsa_.KeyBytes(); }
    int SignRaw(const uint8_t* payload, size_t len, uint8_t* out) override {
        return rsa_.SignType1(payload, len, out);
    }

  private:
    pkg::crypto::Rsa rsa_;
};

#if defined(UPDATE_PACK_PKCS11)

std::string OpensslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no detail";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The PIN: $UPDATE_PACK_PIN, else the first line of $UPDATE_PACK_PIN_FILE.
bool ReadPin(std::string* pin, std::string* why) {
    if (const char* value = std::getenv(kPinEnv)) {
        *pin = value;
        return true;
    }
    const char* file = std::getenv(kPinFileEnv);
    if (file == nullptr) return true;  // the token may need none
    if (!ReadSmallFile(file, pin, why)) return false;
    const size_t end = pin->find_first_of("\r\n");
    if (end != std::string::npos) pin->resize(end);
    return true;
}

// A private key inside a PKCS#11 token: every signature is made by the token.
class TokenKey : public SigningKey {
  public:
    ~TokenKey() override {
        if (key_ != nullptr) EVP_PKEY_free(key_);
        if (engine_ != nullptr) {
            if (initialised_) ENGINE_finish(engine_);
            ENGINE_free(engine_);
        }
    }
    bool Open(const std::string& uri, std::string* why) {
        ENGINE_load_builtin_engines();
        engine_ = ENGINE_by_id("pkcs11");
        if (engine_ == nullptr) {
            *why = "OpenSSL's pkcs11 engine is not installed (Debian: libengine-pkcs11-openssl): " +
                   OpensslError();
            return false;
        }
        if (const char* module = std::getenv(kModuleEnv)) {
            if (ENGINE_ctrl_cmd_string(engine_, "MODULE_PATH", module, 0) != 1) {
                *why = std::string("the engine refused the module ") + module;
                return false;
            }
        }
        if (ENGINE_init(engine_) != 1) {
            *why = "the pkcs11 engine did not start: " + OpensslError();
            return false;
        }
        initialised_ = true;
        std::string pin;
        if (!ReadPin(&pin, why)) return false;
        if (!pin.empty()) {
            const int ok = ENGINE_ctrl_cmd_string(engine_, "PIN", pin.c_str(), 0);
            std::fill(pin.begin(), pin.end(), '\0');
            if (ok != 1) {
                *why = "the pkcs11 engine refused the PIN";
                return false;
            }
        }
        key_ = ENGINE_load_private_key(engine_, uri.c_str(), nullptr, nullptr);
        if (key_ == nullptr) {
            *why = "no private key at '" + uri + "' (wrong URI or PIN?): " + OpensslError();
            return false;
        }
        const RSA* rsa = EVP_PKEY_get0_RSA(key_);
        if (rsa == nullptr) {
            *why = "the key at '" + uri + "' is not an RSA key";
            return false;
        }
        const BIGNUM* bn_n = nullptr;
        const BIGNUM* bn_e = nullptr;
        RSA_get0_key(rsa, &bn_n, &bn_e, nullptr);
        for (auto [bn, out] : {std::pair{bn_n, &n}, std::pair{bn_e, &e}}) {
            char* hex = bn != nullptr ? BN_bn2hex(bn) : nullptr;
            if (hex == nullptr) {
                *why = "the token does not show the key's public half";
                return false;
            }
            *out = hex;
            OPENSSL_free(hex);
        }
        bytes_ = static_cast<size_t>(EVP_PKEY_get_size(key_));
        return true;
    }
    size_t Bytes() const override { return bytes_; }
    int SignRaw(const uint8_t* payload, size_t len, uint8_t* out) override {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, engine_);
        size_t n_out = bytes_;
        const bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
                        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_sign(ctx, out, &n_out, payload, len) == 1 && n_out == bytes_;
        EVP_PKEY_CTX_free(ctx);
        return ok ? 0 : -1;
    }

  private:
    ENGINE* engine_ = nullptr;
    EVP_PKEY* key_ = nullptr;
    bool initialised_ = false;
    size_t bytes_ = 0;
};

#endif

// The label of a PEM file's first block ("PRIVATE KEY", ...), "" if none.
std::string PemLabel(const std::string& text) {
    const size_t begin = text.find("-----BEGIN ");
    if (begin == std::string::npos) return "";
    const size_t end = text.find("-----", begin + 11);
    return end == std::string::npos ? "?" : text.substr(begin + 11, end - begin - 11);
}

bool FromHexText(const std::string& text, size_t want, pkg::crypto::RsaKeyText* key) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        fmemopen(const_cast<char*>(text.data()), text.size(), "r"), &std::fclose);
    if (!file) return false;
    for (size_t i = 0; i < pkg::crypto::kRsaNumbers; ++i) {
        (*key)[i].clear();
        if (i < want && pkg::ReadKeyNumber(file.get(), &(*key)[i]) != 0) return false;
    }
    return true;
}

bool ReadKey(const std::string& path, bool private_key, pkg::crypto::RsaKeyText* key,
             std::string* why) {
    std::string text;
    if (!ReadSmallFile(path, &text, why)) return false;
    const std::string label = PemLabel(text);
    bool ok = false;
    if (label.empty()) {
        ok = FromHexText(text, private_key ? pkg::crypto::kRsaNumbers : 2, key);
        if (!ok) {
            *why = "'" + path + "' does not hold " +
                   (private_key ? "eight hexadecimal numbers (N, E, D, P, Q, DP, DQ, QP)"
                                : "two hexadecimal numbers (N, E)") +
                   ", one per line, nor a PEM key";
        }
    } else if (label == "ENCRYPTED PRIVATE KEY" ||
               text.find("Proc-Type: 4,ENCRYPTED") != std::string::npos) {
        *why = "'" + path +
               "' is an encrypted PEM key; this tool never prompts for a "
               "passphrase: keep the key in a token (--key pkcs11:...) or decrypted in a "
               "file only the signing account reads";
    } else {
        const bool is_private = label.find("PRIVATE KEY") != std::string::npos;
        if (is_private != private_key) {
            *why = "'" + path + "' holds a " + (is_private ? "private" : "public") + " key (" +
                   label + "), not a " + (private_key ? "private" : "public") + " one";
        } else {
            const int code = pkg::crypto::RsaKeyFromPem(text, private_key, key);
            ok = code == 0;
            if (!ok) {
                *why = "'" + path + "' is not a readable RSA key in PEM (" + label + ", code " +
                       std::to_string(code) + ")";
            }
        }
    }
    std::fill(text.begin(), text.end(), '\0');
    return ok;
}

}  // namespace

bool IsPemFile(const std::string& path) {
    std::string text;
    std::string why;
    return ReadSmallFile(path, &text, &why) && !PemLabel(text).empty();
}

bool ReadPrivateKey(const std::string& path, pkg::crypto::RsaKeyText* key, std::string* why) {
    return ReadKey(path, true, key, why);
}

bool ReadPublicKey(const std::string& path, std::string* n, std::string* e, std::string* why) {
    pkg::crypto::RsaKeyText key;
    if (!ReadKey(path, false, &key, why)) return false;
    *n = key[pkg::crypto::kRsaN];
    *e = key[pkg::crypto::kRsaE];
    return true;
}

bool WritePemKeys(const pkg::crypto::RsaKeyText& key, const std::string& private_path,
                  const std::string& public_pem, std::string* why) {
    for (const bool is_private : {true, false}) {
        const std::string& path = is_private ? private_path : public_pem;
        const mode_t mode = is_private ? 0600 : 0644;
        std::string pem;
        const int code = pkg::crypto::RsaKeyToPem(key, is_private, &pem);
        if (code != 0) {
            *why = "cannot encode the key as PEM (code " + std::to_string(code) + ")";
            return false;
        }
        sys::UniqueFd fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
        const bool ok =
            fd && ::fchmod(fd.get(), mode) == 0 && sys::WriteFull(fd.get(), pem.data(), pem.size());
        std::fill(pem.begin(), pem.end(), '\0');
        if (!ok) {
            *why = "cannot write '" + path + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::unique_ptr<SigningKey> OpenSigningKey(const std::string& spec, std::string* why) {
    if (spec.rfind("pkcs11:", 0) == 0) {
        if (spec.find("pin-value=") != std::string::npos) {
            *why =
                "the URI carries the PIN (pin-value=), which would show on the command line; "
                "give it in $" +
                std::string(kPinEnv) + " or a file named by $" + kPinFileEnv;
            return nullptr;
        }
#if defined(UPDATE_PACK_PKCS11)
        auto token = std::make_unique<TokenKey>();
        if (!token->Open(spec, why)) return nullptr;
        return token;
#else
        *why = "PKCS#11 keys need update-pack built with the OpenSSL backend";
        return nullptr;
#endif
    }
    pkg::crypto::RsaKeyText key;
    if (!ReadPrivateKey(spec, &key, why)) return nullptr;
    auto file = std::make_unique<FileKey>();
    const bool loaded = file->Load(key);
    for (std::string& number : key) std::fill(number.begin(), number.end(), '\0');
    if (!loaded) {
        *why = "'" + spec + "' is not a usable RSA private key";
        return nullptr;
    }
    return file;
}

}  // namespace pack
