// OpenSSL 3 libcrypto backend of the crypto interface.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <new>

#include "package/crypto.h"

namespace pkg::crypto {
namespace {

// OpenSSL reports through its error queue; the interface hands out one
// negative code: the reason of the latest error, or -1.
int LastError() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    int reason = e != 0 ? ERR_GET_REASON(e) : 0;
    return reason > 0 ? -reason : -1;
}

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn FromHex(const std::string& hex) {
    BIGNUM* b = nullptr;
    if (hex.empty()) return Bn(BN_new());
    if (BN_hex2bn(&b, hex.c_str()) == 0) return Bn();
    return Bn(b);
}

std::string ToHex(const BIGNUM* b) {
    char* text = BN_bn2hex(b);
    if (text == nullptr) return std::string();
    std::string out(text);
    OPENSSL_free(text);
    return out;
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

}  // namespace

const char* BackendName() {
    return "openssl";
}

// ---- SHA-256

struct Sha256::Impl {
    EVP_MD* md = nullptr;
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(new (std::nothrow) Impl()) {
    if (!impl_) return;
    impl_->md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    impl_->ctx = EVP_MD_CTX_new();
}

Sha256::~Sha256() {
    if (!impl_) return;
    EVP_MD_CTX_free(impl_->ctx);
    EVP_MD_free(impl_->md);
}

bool Sha256::Digest(const uint8_t* data, size_t len, uint8_t* out) {
    if (!impl_ || impl_->md == nullptr || impl_->ctx == nullptr) return false;
    unsigned int n = 0;
    return EVP_DigestInit_ex(impl_->ctx, impl_->md, nullptr) == 1 &&
           EVP_DigestUpdate(impl_->ctx, data, len) == 1 &&
           EVP_DigestFinal_ex(impl_->ctx, out, &n) == 1 && n == kSha256Size;
}

bool Sha256::Begin() {
    return impl_ && impl_->md != nullptr && impl_->ctx != nullptr &&
           EVP_DigestInit_ex(impl_->ctx, impl_->md, nullptr) == 1;
}

bool Sha256::Update(const uint8_t* data, size_t len) {
    return impl_ && impl_->ctx != nullptr && EVP_DigestUpdate(impl_->ctx, data, len) == 1;
}

bool Sha256::Finish(uint8_t* out) {
    unsigned int n = 0;
    return impl_ && impl_->ctx != nullptr && EVP_DigestFinal_ex(impl_->ctx, out, &n) == 1 &&
           n == kSha256Size;
}

bool Sha256Digest(const uint8_t* data, size_t len, uint8_t* out) {
    Sha256 sha;
    return sha.Digest(data, len, out);
}

// ---- AES-256

struct Aes256::Impl {
    EVP_CIPHER* cipher = nullptr;
    EVP_CIPHER_CTX* ctx = nullptr;
    bool keyed = false;
    int direction = -1;  // 1 enciphering, 0 deciphering, -1 not set up
};

Aes256::Aes256() : impl_(new (std::nothrow) Impl()) {
    if (!impl_) return;
    impl_->cipher = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    impl_->ctx = EVP_CIPHER_CTX_new();
}

Aes256::~Aes256() {
    if (!impl_) return;
    EVP_CIPHER_CTX_free(impl_->ctx);
    EVP_CIPHER_free(impl_->cipher);
}

namespace {
// The first key of a direction sets the cipher up; a later key of the same
// direction only replaces the key schedule, which is much cheaper (the
// deciphering tool changes the key for every block).
bool SetKey(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, const uint8_t* key, int enc,
            int* current) {
    if (ctx == nullptr || cipher == nullptr) return false;
    if (*current == enc) return EVP_CipherInit_ex2(ctx, nullptr, key, nullptr, enc, nullptr) == 1;
    *current = -1;
    if (EVP_CipherInit_ex2(ctx, cipher, key, nullptr, enc, nullptr) != 1) return false;
    if (EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) return false;
    *current = enc;
    return true;
}
}  // namespace

bool Aes256::SetEncryptKey(const uint8_t* key) {
    if (!impl_) return false;
    impl_->keyed = SetKey(impl_->ctx, impl_->cipher, key, 1, &impl_->direction);
    return impl_->keyed;
}

bool Aes256::SetDecryptKey(const uint8_t* key) {
    if (!impl_) return false;
    impl_->keyed = SetKey(impl_->ctx, impl_->cipher, key, 0, &impl_->direction);
    return impl_->keyed;
}

bool Aes256::Block(const uint8_t* in, uint8_t* out) {
    if (!impl_ || !impl_->keyed) return false;
    int n = 0;
    return EVP_CipherUpdate(impl_->ctx, out, &n, in, static_cast<int>(kAesBlockSize)) == 1 &&
           n == static_cast<int>(kAesBlockSize);
}

void Aes256::Clear() {
    if (!impl_) return;
    if (impl_->ctx != nullptr) EVP_CIPHER_CTX_reset(impl_->ctx);
    impl_->keyed = false;
    impl_->direction = -1;
}

// ---- RSA

struct Rsa::Impl {
    Pkey key;
    size_t bytes = 0;
};

Rsa::Rsa() : impl_(new (std::nothrow) Impl()) {}
Rsa::~Rsa() = default;

// libcrypto seeds its own generator from the system.
int Rsa::Seed(const char* /*personalisation*/) {
    return 0;
}

namespace {

int BuildKey(const char* const names[], const Bn values[], size_t count, int selection, Pkey* out) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    if (bld == nullptr) return -1;
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        ok = OSSL_PARAM_BLD_push_BN(bld, names[i], values[i].get()) == 1;
    }
    OSSL_PARAM* params = ok ? OSSL_PARAM_BLD_to_param(bld) : nullptr;
    OSSL_PARAM_BLD_free(bld);
    if (params == nullptr) return LastError();
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    int ret = 0;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params) != 1) {
        ret = LastError();
    }
    OSSL_PARAM_free(params);
    if (ret == 0) out->reset(key);
    return ret;
}

}  // namespace

int Rsa::SetPublic(const std::string& n_hex, const std::string& e_hex) {
    if (!impl_) return -1;
    Bn values[2] = {FromHex(n_hex), FromHex(e_hex)};
    if (!values[0] || !values[1] || BN_is_zero(values[0].get()) || BN_is_zero(values[1].get())) {
        return -1;
    }
    static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E};
    int ret = BuildKey(kNames, values, 2, EVP_PKEY_PUBLIC_KEY, &impl_->key);
    if (ret == 0) impl_->bytes = static_cast<size_t>(BN_num_bytes(values[0].get()));
    return ret;
}

int Rsa::SetPrivate(const RsaKeyText& key) {
    if (!impl_) return -1;
    static const char* const kNames[] = {
        OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
        OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
        OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    Bn values[kRsaNumbers];
    for (size_t i = 0; i < kRsaNumbers; ++i) {
        values[i] = FromHex(key[i]);
        if (!values[i]) return -1;
    }
    if (BN_is_zero(values[kRsaN].get())) return -1;
    int ret = BuildKey(kNames, values, kRsaNumbers, EVP_PKEY_KEYPAIR, &impl_->key);
    if (ret == 0) impl_->bytes = static_cast<size_t>(BN_num_bytes(values[kRsaN].get()));
    return ret;
}

size_t Rsa::KeyBytes() const {
    return impl_ ? impl_->bytes : 0;
}

int Rsa::RecoverType1(const uint8_t* in, uint8_t* out, size_t cap, size_t* out_len) {
    if (!impl_ || !impl_->key) return -1;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
        return LastError();
    }
    // The recovered block never exceeds the modulus; recover into a local
    // buffer so that only the payload reaches the caller.
    uint8_t block[kRsaMaxBytes];
    size_t n = sizeof(block);
    if (EVP_PKEY_verify_recover(ctx.get(), block, &n, in, impl_->bytes) != 1) return LastError();
    int ret = 0;
    if (n > cap) {
        ret = -1;
    } else {
        std::memcpy(out, block, n);
        *out_len = n;
    }
    OPENSSL_cleanse(block, sizeof(block));
    return ret;
}

int Rsa::SignType1(const uint8_t* in, size_t len, uint8_t* out) {
    if (!impl_ || !impl_->key) return -1;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
        return LastError();
    }
    size_t n = impl_->bytes;
    if (EVP_PKEY_sign(ctx.get(), out, &n, in, len) != 1) return LastError();
    return n == impl_->bytes ? 0 : -1;
}

namespace {
// A context for a SHA-256 DigestInfo signature operation (sign or verify).
PkeyCtx Sha256SignatureCtx(EVP_PKEY* key, bool sign) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx) return ctx;
    const int init = sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get());
    if (init != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
        ctx.reset();
    }
    return ctx;
}
}  // namespace

int Rsa::SignSha256(const uint8_t* hash, uint8_t* out) {
    if (!impl_ || !impl_->key) return -1;
    PkeyCtx ctx = Sha256SignatureCtx(impl_->key.get(), true);
    if (!ctx) return LastError();
    size_t n = impl_->bytes;
    if (EVP_PKEY_sign(ctx.get(), out, &n, hash, kSha256Size) != 1) return LastError();
    return n == impl_->bytes ? 0 : -1;
}

int Rsa::VerifySha256(const uint8_t* hash, const uint8_t* sig) {
    if (!impl_ || !impl_->key) return -1;
    PkeyCtx ctx = Sha256SignatureCtx(impl_->key.get(), false);
    if (!ctx) return LastError();
    if (EVP_PKEY_verify(ctx.get(), sig, impl_->bytes, hash, kSha256Size) != 1) {
        const int code = LastError();
        return code != 0 ? code : -1;
    }
    return 0;
}

int RsaGenerate(unsigned bits, unsigned exponent, RsaKeyText* key) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1) {
        return LastError();
    }
    Bn e(BN_new());
    if (!e || BN_set_word(e.get(), exponent) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1) {
        return LastError();
    }
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1) return LastError();
    Pkey pkey(raw);
    static const char* const kNames[] = {
        OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
        OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
        OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    for (size_t i = 0; i < kRsaNumbers; ++i) {
        BIGNUM* b = nullptr;
        if (EVP_PKEY_get_bn_param(pkey.get(), kNames[i], &b) != 1) return LastError();
        Bn held(b);
        (*key)[i] = ToHex(held.get());
        if ((*key)[i].empty()) return -1;
    }
    return 0;
}

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

const char* const kParamNames[kRsaNumbers] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,           OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,     OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

}  // namespace

int RsaKeyFromPem(const std::string& pem, bool private_key, RsaKeyText* key) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return LastError();
    // No passphrase callback: an encrypted key is refused, never prompted for.
    static pem_password_cb* const kNoPassword = [](char*, int, int, void*) { return -1; };
    Pkey pkey(private_key ? PEM_read_bio_PrivateKey(bio.get(), nullptr, kNoPassword, nullptr)
                          : PEM_read_bio_PUBKEY(bio.get(), nullptr, kNoPassword, nullptr));
    if (!pkey && !private_key) {
        // PKCS#1 "RSA PUBLIC KEY" has a reader of its own.
        Bio again(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        ERR_clear_error();
        if (again) {
            EVP_PKEY* raw = nullptr;
            OSSL_DECODER_CTX* dctx = OSSL_DECODER_CTX_new_for_pkey(
                &raw, "PEM", "type-specific", "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr);
            if (dctx != nullptr && OSSL_DECODER_from_bio(dctx, again.get()) == 1) pkey.reset(raw);
            OSSL_DECODER_CTX_free(dctx);
        }
    }
    if (!pkey || EVP_PKEY_is_a(pkey.get(), "RSA") != 1) {
        const int code = LastError();
        return code != 0 ? code : -1;
    }
    const size_t count = private_key ? kRsaNumbers : 2;
    for (size_t i = 0; i < kRsaNumbers; ++i) {
        (*key)[i].clear();
        if (i >= count) continue;
        BIGNUM* b = nullptr;
        if (EVP_PKEY_get_bn_param(pkey.get(), kParamNames[i], &b) != 1) return LastError();
        Bn held(b);
        (*key)[i] = ToHex(held.get());
        if ((*key)[i].empty()) return -1;
    }
    return 0;
}

int RsaKeyToPem(const RsaKeyText& key, bool private_key, std::string* pem) {
    const size_t count = private_key ? kRsaNumbers : 2;
    Bn values[kRsaNumbers];
    for (size_t i = 0; i < count; ++i) {
        values[i] = FromHex(key[i]);
        if (!values[i]) return -1;
    }
    Pkey pkey;
    int ret = BuildKey(kParamNames, values, count,
                       private_key ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, &pkey);
    if (ret != 0) return ret;
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) return LastError();
    const int ok = private_key ? PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr,
                                                          0, nullptr, nullptr)
                               : PEM_write_bio_PUBKEY(bio.get(), pkey.get());
    if (ok != 1) return LastError();
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    if (len <= 0 || data == nullptr) return -1;
    pem->assign(data, static_cast<size_t>(len));
    if (private_key) OPENSSL_cleanse(data, static_cast<size_t>(len));
    return 0;
}

}  // namespace pkg::crypto
