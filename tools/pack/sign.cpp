#include "tools/pack/sign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "package/crypto.h"
#include "package/format.h"
#include "package/integrity.h"
#include "sys/fd.h"
#include "sys/io.h"
#include "tools/pack/output.h"
#include "tools/pack/reader.h"

namespace pack {
namespace {

struct Digests {
    uint8_t legacy[kDigestSize] = {};
    uint8_t full[kDigestSize] = {};
};

std::string Hex(const uint8_t* data, size_t len) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

std::vector<uint8_t> FullPayload(const uint8_t* hash) {
    constexpr size_t kInfo = sizeof(pkg::kSha256DigestInfo);
    std::vector<uint8_t> payload(kInfo + kDigestSize);
    std::memcpy(payload.data(), pkg::kSha256DigestInfo, kInfo);
    std::memcpy(payload.data() + kInfo, hash, kDigestSize);
    return payload;
}

int CountDigests(int fd, Digests* d, std::string* why) {
    pkg::ScanOptions options;
    options.digest = true;
    options.zero_signature = true;
    options.full = true;
    pkg::ScanResult scan;
    if (pkg::ScanPackage(fd, options, &scan) != 0) {
        *why = "cannot read the package for its digests";
        return -1;
    }
    std::memcpy(d->legacy, scan.digest, kDigestSize);
    std::memcpy(d->full, scan.full, kDigestSize);
    return 0;
}

// "" when the block's signatures hold with N and E over the digests (the
// legacy one always, the full one when asked), else what does not hold.
std::string CheckBlock(const uint8_t* block, const std::string& n, const std::string& e,
                       const Digests& d, bool full) {
    pkg::crypto::Rsa rsa;
    if (rsa.SetPublic(n, e) != 0) return "the public key does not load";
    const size_t k = rsa.KeyBytes();
    uint8_t payload[pkg::crypto::kRsaMaxBytes];
    size_t len = 0;
    if (rsa.RecoverType1(block, payload, sizeof payload, &len) != 0 || len != kDigestSize ||
        std::memcmp(payload, d.legacy, kDigestSize) != 0) {
        return "the legacy signature does not hold with this key";
    }
    if (!full) return "";
    const std::vector<uint8_t> want = FullPayload(d.full);
    if (k > pkg::kFullSigMaxBytes ||
        rsa.RecoverType1(block + kSigSize - k, payload, sizeof payload, &len) != 0 ||
        len != want.size() || std::memcmp(payload, want.data(), len) != 0) {
        return "the full signature does not hold with this key";
    }
    return "";
}

// Copies the package at in_fd to out_fd, all of it: in the kernel where it
// can (a reflink or a copy without a trip through this process), else by reads.
bool CopyAll(int in_fd, int out_fd, std::string* why) {
    struct stat st {};
    if (::fstat(in_fd, &st) != 0) {
        *why = std::string("cannot read the package: ") + std::strerror(errno);
        return false;
    }
    loff_t in_at = 0;
    loff_t out_at = 0;
    while (in_at < st.st_size) {
        const ssize_t n = ::copy_file_range(in_fd, &in_at, out_fd, &out_at,
                                            static_cast<size_t>(st.st_size - in_at), 0);
        if (n <= 0) break;
    }
    if (in_at == st.st_size) return true;
    off_t at = 0;
    if (in_at != 0) {
        *why = std::string("cannot copy the package: ") + std::strerror(errno);
        return false;
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t n = sys::PreadFull(in_fd, buf.data(), buf.size(), at);
        if (n < 0) {
            *why = std::string("cannot read the package: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        if (!sys::WriteFull(out_fd, buf.data(), static_cast<size_t>(n))) {
            *why = std::string("cannot write the copy: ") + std::strerror(errno);
            return false;
        }
        at += n;
    }
}

bool WriteBlock(int fd, const uint8_t* block, std::string* why) {
    if (::pwrite(fd, block, kSigSize, kSigOffset) != static_cast<ssize_t>(kSigSize)) {
        *why = std::string("cannot write the signature block: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Opens IN, checks it is a package and opens the output beside OUT; the
// copy of IN is then in output.fd(). kExitOk or the status (printed).
int CopyPackage(const char* command, const std::string& in, Output* output) {
    std::string why = CheckOutput(output->name(), {in});
    if (!why.empty()) return Usage(command, why);
    sys::UniqueFd fd(::open(in.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return Fail(command, "cannot open '" + in + "': " + std::strerror(errno), kExitIo);
    Package p;
    if (ReadPackage(fd.get(), in, &p, &why) != 0) return Fail(command, why);
    if (!output->Open(&why)) return Fail(command, why, kExitIo);
    if (!CopyAll(fd.get(), output->fd(), &why)) return Fail(command, why, kExitIo);
    return kExitOk;
}

bool ReadSignature(const std::string& path, size_t k, uint8_t* out, std::string* why) {
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        *why = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (static_cast<size_t>(st.st_size) != k ||
        sys::ReadFull(fd.get(), out, k) != static_cast<ssize_t>(k)) {
        *why = "'" + path + "' is not a signature of this key (" + std::to_string(st.st_size) +
               " bytes, a " + std::to_string(k * 8) + "-bit key makes " + std::to_string(k) + ")";
        return false;
    }
    return true;
}

}  // namespace

int SignOpenPackage(int fd, SigningKey& key, bool full, bool keep_legacy, std::string* why) {
    const size_t k = key.Bytes();
    if (k == 0 || k > kSigSize) {
        *why = "the key's length does not fit the signature block";
        return -1;
    }
    if (full && k > pkg::kFullSigMaxBytes) {
        *why = "a key of " + std::to_string(k * 8) +
               " bits leaves no room for the full signature (at most 2048 bits)";
        return -1;
    }
    uint8_t block[kSigSize] = {};
    if (keep_legacy && sys::PreadFull(fd, block, k, kSigOffset) != static_cast<ssize_t>(k)) {
        *why = "cannot read the signature block";
        return -1;
    }
    Digests d;
    if (CountDigests(fd, &d, why) != 0) return -1;
    if (!keep_legacy && key.SignRaw(d.legacy, kDigestSize, block) != 0) {
        *why = "the key did not make the legacy signature";
        return -1;
    }
    const std::vector<uint8_t> payload = FullPayload(d.full);
    if (full && key.SignRaw(payload.data(), payload.size(), block + kSigSize - k) != 0) {
        *why = "the key did not make the full signature";
        return -1;
    }
    *why = CheckBlock(block, key.n, key.e, d, full);
    if (!why->empty()) {
        if (keep_legacy) *why += " (--full-only keeps it: sign both with this key)";
        return -1;
    }
    return WriteBlock(fd, block, why) ? 0 : -1;
}

int Sign(const Args& args) {
    if (args.Plain().size() != 1) return Usage("sign", "give exactly one package file");
    const std::string out = args.Get("output");
    if (out.empty()) return Usage("sign", "the package to write is missing (-o OUT)");
    if (!args.Has("key")) return Usage("sign", "the key is missing (--key KEY)");
    std::string why;
    std::unique_ptr<SigningKey> key = OpenSigningKey(args.Get("key"), &why);
    if (!key) return Fail("sign", why);
    Output output(out);
    const int copied = CopyPackage("sign", args.Plain()[0], &output);
    if (copied != kExitOk) return copied;
    if (SignOpenPackage(output.fd(), *key, true, args.Has("full-only"), &why) != 0) {
        return Fail("sign", why);
    }
    if (!output.Commit(&why)) return Fail("sign", why, kExitIo);
    if (!args.Has("quiet")) {
        std::fprintf(output.ToStdout() ? stderr : stdout,
                     "signed %s with a %zu-bit key (legacy and full signatures%s)\n",
                     output.ToStdout() ? "standard output" : out.c_str(), key->Bytes() * 8,
                     args.Has("full-only") ? ", the legacy one kept" : "");
    }
    return kExitOk;
}

int Digest(const Args& args) {
    if (args.Plain().size() != 1) return Usage("digest", "give exactly one package file");
    const std::string in = args.Plain()[0];
    sys::UniqueFd fd(::open(in.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return Fail("digest", "cannot open '" + in + "': " + std::strerror(errno), kExitIo);
    Package p;
    std::string why;
    if (ReadPackage(fd.get(), in, &p, &why) != 0) return Fail("digest", why);
    Digests d;
    if (CountDigests(fd.get(), &d, &why) != 0) return Fail("digest", why, kExitIo);
    for (auto [option, bytes] : {std::pair{"legacy-out", d.legacy}, {"full-out", d.full}}) {
        if (!args.Has(option)) continue;
        Output output(args.Get(option));
        why = CheckOutput(output.name(), {in});
        if (!why.empty()) return Usage("digest", why);
        if (!output.Open(&why) || !sys::WriteFull(output.fd(), bytes, kDigestSize) ||
            !output.Commit(&why)) {
            return Fail("digest", why.empty() ? "cannot write " + output.name() : why, kExitIo);
        }
    }
    std::printf("legacy %s  PKCS#1 v1.5 type 1 over these 32 bytes as they are (no DigestInfo)\n",
                Hex(d.legacy, kDigestSize).c_str());
    std::printf("full   %s  PKCS#1 v1.5 signature of this SHA-256 hash (SHA-256 DigestInfo)\n",
                Hex(d.full, kDigestSize).c_str());
    return kExitOk;
}

int Attach(const Args& args) {
    if (args.Plain().size() != 1) return Usage("attach", "give exactly one package file");
    const std::string out = args.Get("output");
    if (out.empty()) return Usage("attach", "the package to write is missing (-o OUT)");
    if (!args.Has("pub-key")) return Usage("attach", "the public key is missing (--pub-key KEY)");
    if (!args.Has("legacy-sig")) return Usage("attach", "the legacy signature is missing");
    std::string n, e, why;
    if (!ReadPublicKey(args.Get("pub-key"), &n, &e, &why)) return Fail("attach", why);
    pkg::crypto::Rsa rsa;
    if (rsa.SetPublic(n, e) != 0) return Fail("attach", "the public key does not load");
    const size_t k = rsa.KeyBytes();
    const bool full = args.Has("full-sig");
    if (full && k > pkg::kFullSigMaxBytes) {
        return Fail("attach", "a key over 2048 bits leaves no room for the full signature");
    }
    uint8_t block[kSigSize] = {};
    if (!ReadSignature(args.Get("legacy-sig"), k, block, &why) ||
        (full && !ReadSignature(args.Get("full-sig"), k, block + kSigSize - k, &why))) {
        return Fail("attach", why);
    }
    Output output(out);
    const int copied = CopyPackage("attach", args.Plain()[0], &output);
    if (copied != kExitOk) return copied;
    Digests d;
    if (CountDigests(output.fd(), &d, &why) != 0) return Fail("attach", why, kExitIo);
    why = CheckBlock(block, n, e, d, full);
    if (!why.empty()) return Fail("attach", why + "; nothing written");
    if (!WriteBlock(output.fd(), block, &why) || !output.Commit(&why)) {
        return Fail("attach", why, kExitIo);
    }
    return kExitOk;
}

}  // namespace pack
