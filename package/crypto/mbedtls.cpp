// mbedTLS 2.28 backend of the crypto interface (for devices whose libcurl is
// built on mbedTLS).
#include <mbedtls/aes.h>
#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <new>
#include <vector>

#include "package/crypto.h"

namespace pkg::crypto {
namespace {

constexpr int kNotReady = -1;

class Mpi {
  public:
    Mpi() { mbedtls_mpi_init(&v_); }
    ~Mpi() { mbedtls_mpi_free(&v_); }
    Mpi(const Mpi&) = delete;
    Mpi& operator=(const Mpi&) = delete;
    mbedtls_mpi* get() { return &v_; }
    int Read(const std::string& hex) { return mbedtls_mpi_read_string(&v_, 16, hex.c_str()); }
    int Write(std::string* hex) {
        size_t n = 0;
        (void)mbedtls_mpi_write_string(&v_, 16, nullptr, 0, &n);
        std::vector<char> buf(n + 1);
        int ret = mbedtls_mpi_write_string(&v_, 16, buf.data(), buf.size(), &n);
        if (ret == 0) hex->assign(buf.data());
        return ret;
    }

  private:
    mbedtls_mpi v_;
};

// Entropy source and CTR-DRBG generator, seeded once with a personalisation.
class Drbg {
  public:
    Drbg() {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
    }
    ~Drbg() {
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    Drbg(const Drbg&) = delete;
    Drbg& operator=(const Drbg&) = delete;
    int Seed(const char* personalisation) {
        const auto* pers = reinterpret_cast<const unsigned char*>(personalisation);
        int ret = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, pers,
                                        std::strlen(personalisation));
        seeded_ = ret == 0;
        return ret;
    }
    bool seeded() const { return seeded_; }
    mbedtls_ctr_drbg_context* get() { return &drbg_; }

  private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    bool seeded_ = false;
};

}  // namespace

const char* BackendName() {
    return "mbedtls";
}

// ---- SHA-256

struct Sha256::Impl {
    mbedtls_sha256_context ctx;
};

Sha256::Sha256() : impl_(new (std::nothrow) Impl()) {
    if (impl_) mbedtls_sha256_init(&impl_->ctx);
}
Sha256::~Sha256() {
    if (impl_) mbedtls_sha256_free(&impl_->ctx);
}

bool Sha256::Digest(const uint8_t* data, size_t len, uint8_t* out) {
    return impl_ && mbedtls_sha256_starts_ret(&impl_->ctx, 0) == 0 &&
           mbedtls_sha256_update_ret(&impl_->ctx, data, len) == 0 &&
           mbedtls_sha256_finish_ret(&impl_->ctx, out) == 0;
}

bool Sha256::Begin() {
    return impl_ && mbedtls_sha256_starts_ret(&impl_->ctx, 0) == 0;
}

bool Sha256::Update(const uint8_t* data, size_t len) {
    return impl_ && mbedtls_sha256_update_ret(&impl_->ctx, data, len) == 0;
}

bool Sha256::Finish(uint8_t* out) {
    return impl_ && mbedtls_sha256_finish_ret(&impl_->ctx, out) == 0;
}

bool Sha256Digest(const uint8_t* data, size_t len, uint8_t* out) {
    return mbedtls_sha256_ret(data, len, out, 0) == 0;
}

// ---- AES-256

struct Aes256::Impl {
    mbedtls_aes_context ctx;
    int mode = MBEDTLS_AES_ENCRYPT;
    bool keyed = false;
};

Aes256::Aes256() : impl_(new (std::nothrow) Impl()) {
    if (impl_) mbedtls_aes_init(&impl_->ctx);
}
Aes256::~Aes256() {
    if (impl_) mbedtls_aes_free(&impl_->ctx);
}

bool Aes256::SetEncryptKey(const uint8_t* key) {
    if (!impl_) return false;
    impl_->keyed = mbedtls_aes_setkey_enc(&impl_->ctx, key, 256) == 0;
    impl_->mode = MBEDTLS_AES_ENCRYPT;
    return impl_->keyed;
}

bool Aes256::SetDecryptKey(const uint8_t* key) {
    if (!impl_) return false;
    impl_->keyed = mbedtls_aes_setkey_dec(&impl_->ctx, key, 256) == 0;
    impl_->mode = MBEDTLS_AES_DECRYPT;
    return impl_->keyed;
}

bool Aes256::Block(const uint8_t* in, uint8_t* out) {
    return impl_ && impl_->keyed && mbedtls_aes_crypt_ecb(&impl_->ctx, impl_->mode, in, out) == 0;
}

void Aes256::Clear() {
    if (!impl_) return;
    mbedtls_aes_free(&impl_->ctx);
    mbedtls_aes_init(&impl_->ctx);
    impl_->keyed = false;
}

// ---- RSA

struct Rsa::Impl {
    mbedtls_rsa_context rsa;
    Drbg drbg;
    bool keyed = false;
};

Rsa::Rsa() : impl_(new (std::nothrow) Impl()) {
    if (impl_) mbedtls_rsa_init(&impl_->rsa, MBEDTLS_RSA_PKCS_V15, 0);
}
Rsa::~Rsa() {
    if (impl_) mbedtls_rsa_free(&impl_->rsa);
}

int Rsa::Seed(const char* personalisation) {
    return impl_ ? impl_->drbg.Seed(personalisation) : kNotReady;
}

int Rsa::SetPublic(const std::string& n_hex, const std::string& e_hex) {
    if (!impl_) return kNotReady;
    Mpi n;
    Mpi e;
    int ret = n.Read(n_hex);
    if (ret == 0) ret = e.Read(e_hex);
    if (ret == 0)
        ret = mbedtls_rsa_import(&impl_->rsa, n.get(), nullptr, nullptr, nullptr, e.get());
    if (ret == 0) ret = mbedtls_rsa_complete(&impl_->rsa);
    if (ret == 0) ret = mbedtls_rsa_check_pubkey(&impl_->rsa);
    impl_->keyed = ret == 0;
    return ret;
}

int Rsa::SetPrivate(const RsaKeyText& key) {
    if (!impl_) return kNotReady;
    Mpi n, e, d, p, q;
    int ret = n.Read(key[kRsaN]);
    if (ret == 0) ret = e.Read(key[kRsaE]);
    if (ret == 0) ret = d.Read(key[kRsaD]);
    if (ret == 0) ret = p.Read(key[kRsaP]);
    if (ret == 0) ret = q.Read(key[kRsaQ]);
    if (ret == 0)
        ret = mbedtls_rsa_import(&impl_->rsa, n.get(), p.get(), q.get(), d.get(), e.get());
    // The CRT values are derived from the primes; they are the file's DP, DQ
    // and QP for any consistent key.
    if (ret == 0) ret = mbedtls_rsa_complete(&impl_->rsa);
    if (ret == 0) ret = mbedtls_rsa_check_privkey(&impl_->rsa);
    impl_->keyed = ret == 0;
    return ret;
}

size_t Rsa::KeyBytes() const {
    return impl_ && impl_->keyed ? mbedtls_rsa_get_len(&impl_->rsa) : 0;
}

int Rsa::RecoverType1(const uint8_t* in, uint8_t* out, size_t cap, size_t* out_len) {
    if (!impl_ || !impl_->keyed) return kNotReady;
    // The public operation takes no random input; the generator is passed
    // only when it was seeded.
    return mbedtls_rsa_pkcs1_decrypt(&impl_->rsa,
                                     impl_->drbg.seeded() ? mbedtls_ctr_drbg_random : nullptr,
                                     impl_->drbg.seeded() ? impl_->drbg.get() : nullptr,
                                     MBEDTLS_RSA_PUBLIC, out_len, in, out, cap);
}

int Rsa::SignType1(const uint8_t* in, size_t len, uint8_t* out) {
    if (!impl_ || !impl_->keyed) return kNotReady;
    if (!impl_->drbg.seeded()) {
        int ret = impl_->drbg.Seed("rsa_encrypt");
        if (ret != 0) return ret;
    }
    // Private mode pads with block type 1 (0x00 0x01 0xFF.. 0x00 payload).
    return mbedtls_rsa_pkcs1_encrypt(&impl_->rsa, mbedtls_ctr_drbg_random, impl_->drbg.get(),
                                     MBEDTLS_RSA_PRIVATE, len, in, out);
}

int Rsa::SignSha256(const uint8_t* hash, uint8_t* out) {
    if (!impl_ || !impl_->keyed) return kNotReady;
    if (!impl_->drbg.seeded()) {
        int ret = impl_->drbg.Seed("rsa_sign");
        if (ret != 0) return ret;
    }
    return mbedtls_rsa_pkcs1_sign(&impl_->rsa, mbedtls_ctr_drbg_random, impl_->drbg.get(),
                                  MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256,
                                  static_cast<unsigned int>(kSha256Size), hash, out);
}

int Rsa::VerifySha256(const uint8_t* hash, const uint8_t* sig) {
    if (!impl_ || !impl_->keyed) return kNotReady;
    return mbedtls_rsa_pkcs1_verify(&impl_->rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                    MBEDTLS_MD_SHA256, static_cast<unsigned int>(kSha256Size), hash,
                                    sig);
}

int RsaGenerate(unsigned bits, unsigned exponent, RsaKeyText* key) {
    Drbg drbg;
    int ret = drbg.Seed("update-pack keygen");
    if (ret != 0) return ret;
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    ret = mbedtls_rsa_gen_key(&rsa, mbedtls_ctr_drbg_random, drbg.get(), bits,
                              static_cast<int>(exponent));
    Mpi n, e, d, p, q, dp, dq, qp;
    if (ret == 0) ret = mbedtls_rsa_export(&rsa, n.get(), p.get(), q.get(), d.get(), e.get());
    if (ret == 0) ret = mbedtls_rsa_export_crt(&rsa, dp.get(), dq.get(), qp.get());
    Mpi* numbers[kRsaNumbers] = {&n, &e, &d, &p, &q, &dp, &dq, &qp};
    for (size_t i = 0; i < kRsaNumbers && ret == 0; ++i) ret = numbers[i]->Write(&(*key)[i]);
    mbedtls_rsa_free(&rsa);
    return ret;
}

namespace {

class Pk {
  public:
    Pk() { mbedtls_pk_init(&pk_); }
    ~Pk() { mbedtls_pk_free(&pk_); }
    Pk(const Pk&) = delete;
    Pk& operator=(const Pk&) = delete;
    mbedtls_pk_context* get() { return &pk_; }

  private:
    mbedtls_pk_context pk_;
};

}  // namespace

int RsaKeyFromPem(const std::string& pem, bool private_key, RsaKeyText* key) {
    Pk pk;
    // The PEM reader wants the terminating NUL counted.
    const auto* text = reinterpret_cast<const unsigned char*>(pem.c_str());
    int ret = private_key ? mbedtls_pk_parse_key(pk.get(), text, pem.size() + 1, nullptr, 0)
                          : mbedtls_pk_parse_public_key(pk.get(), text, pem.size() + 1);
    if (ret != 0) return ret;
    if (mbedtls_pk_get_type(pk.get()) != MBEDTLS_PK_RSA) return -1;
    mbedtls_rsa_context* rsa = mbedtls_pk_rsa(*pk.get());
    Mpi n, e, d, p, q, dp, dq, qp;
    ret = mbedtls_rsa_export(rsa, n.get(), private_key ? p.get() : nullptr,
                             private_key ? q.get() : nullptr, private_key ? d.get() : nullptr,
                             e.get());
    if (ret == 0 && private_key) ret = mbedtls_rsa_export_crt(rsa, dp.get(), dq.get(), qp.get());
    Mpi* numbers[kRsaNumbers] = {&n, &e, &d, &p, &q, &dp, &dq, &qp};
    const size_t count = private_key ? kRsaNumbers : 2;
    for (size_t i = 0; i < kRsaNumbers && ret == 0; ++i) {
        (*key)[i].clear();
        if (i < count) ret = numbers[i]->Write(&(*key)[i]);
    }
    return ret;
}

int RsaKeyToPem(const RsaKeyText& key, bool private_key, std::string* pem) {
    Pk pk;
    int ret = mbedtls_pk_setup(pk.get(), mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (ret != 0) return ret;
    mbedtls_rsa_context* rsa = mbedtls_pk_rsa(*pk.get());
    Mpi n, e, d, p, q;
    Mpi* numbers[] = {&n, &e, &d, &p, &q};
    const size_t count = private_key ? 5 : 2;
    for (size_t i = 0; i < count && ret == 0; ++i) ret = numbers[i]->Read(key[i]);
    if (ret == 0) {
        ret = private_key ? mbedtls_rsa_import(rsa, n.get(), p.get(), q.get(), d.get(), e.get())
                          : mbedtls_rsa_import(rsa, n.get(), nullptr, nullptr, nullptr, e.get());
    }
    if (ret == 0) ret = mbedtls_rsa_complete(rsa);
    std::vector<unsigned char> buf(16384);
    if (ret == 0) {
        ret = private_key ? mbedtls_pk_write_key_pem(pk.get(), buf.data(), buf.size())
                          : mbedtls_pk_write_pubkey_pem(pk.get(), buf.data(), buf.size());
    }
    if (ret == 0) pem->assign(reinterpret_cast<const char*>(buf.data()));
    mbedtls_platform_zeroize(buf.data(), buf.size());
    return ret;
}

}  // namespace pkg::crypto
