#include "package/integrity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/trust.h"
#include "sys/fd.h"
#include "sys/log.h"
#include "sys/path.h"

namespace {
constexpr const char* kLogUnit = sys::kUnitUpdate;

void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The printed lines of the CRC counter for a scan result.
int CrcCounterResult(int scan_ret) {
    switch (scan_ret) {
        case 0:
            return 0;
        case -2:
            Print("malloc head memery failed!\n");
            return -2;
        case -4:
            Print("lseek packet file failed!\n");
            return -4;
        default:
            Print("read head file failed!\n");
            return -5;
    }
}

// The digest prints the same lines as the CRC counter and fails with -1.
int DigestResult(int scan_ret) {
    return CrcCounterResult(scan_ret) == 0 ? 0 : -1;
}

int CompareCrc(uint32_t expected, uint32_t counted) {
    ULOG_ONLY("Read head crc: %u, count file crc: %u.\n", expected, counted);
    return expected == counted ? 0 : -1;
}

int CompareDigest(const uint8_t* digsig, const uint8_t* result) {
    if (digsig != nullptr && std::memcmp(digsig, result, kDigestSize) == 0) {
        // The trusted key whose signature held (the one that recovered digsig).
        const std::string key = pkg::DigestKey();
        const std::string name = key.empty() ? kPublicKeyPath : key;
        ULOG_ONLY("Package signed by the trusted key %s (%s).\n", name.c_str(),
                  pkg::KeyFingerprint(sys::DevicePath(name.c_str())).c_str());
        ULOG_ONLY("Head DigSig is equal to DigSigResult!\n");
        return 0;
    }
    ULOG_ONLY("Head DigSig is not equal to DigSigResult!\n");
    return -1;
}

std::atomic<bool> g_full_held{false};
std::atomic<bool> g_full_required{false};  // the device's rule at the latest check

const char* FullText(pkg::FullSignature state) {
    switch (state) {
        case pkg::FullSignature::Ok:
            return "ok";
        case pkg::FullSignature::Absent:
            return "absent";
        case pkg::FullSignature::Bad:
            break;
    }
    return "bad";
}

// The full signature a package's block carries, decoded before the scan
// with the key that recovered the legacy digest first, then the rest of the
// trust set: the whole-file hash is counted only when there is one.
struct FullProbe {
    bool present = false;
    uint8_t hash[kDigestSize] = {};
};

FullProbe ProbeFull(const uint8_t* block) {
    FullProbe probe;
    std::vector<std::string> keys = pkg::TrustedKeyPaths();
    const auto first = std::find(keys.begin(), keys.end(), pkg::DigestKey());
    if (first != keys.end()) std::rotate(keys.begin(), first, first + 1);
    for (const std::string& key : keys) {
        const std::string path = sys::DevicePath(key.c_str());
        (void)pkg::DecodeFullSignature(path.c_str(), block, probe.hash, &probe.present);
        if (probe.present) break;
    }
    return probe;
}

// The full signature of a scanned package and the device's rule for
// packages without one: 0 or -1, with the lines for the log.
// The latest check's verdict is kept for the latch.
int FullSignatureVerdict(const pkg::ScanResult& scan, const FullProbe& probe, int legacy_ret) {
    const pkg::FullSignature state = !probe.present ? pkg::FullSignature::Absent
                                     : std::memcmp(probe.hash, scan.full, kDigestSize) == 0
                                         ? pkg::FullSignature::Ok
                                         : pkg::FullSignature::Bad;
    g_full_held = legacy_ret == 0 && state == pkg::FullSignature::Ok;
    g_full_required = UPDATE_FullSignatureRequired();
    ULOG_ONLY("Package signatures: legacy %s, full %s.\n", legacy_ret == 0 ? "ok" : "bad",
              FullText(state));
    if (state == pkg::FullSignature::Bad) {
        ULOG_ONLY("Full signature does not hold!\n");
        return -1;
    }
    if (state == pkg::FullSignature::Absent && g_full_required) {
        ULOG_ONLY("Package has no full signature, which this device requires!\n");
        return -1;
    }
    return 0;
}

// The CRC (when asked) and both signatures in one pass over an open package.
// The whole-file hash is counted only for a package that carries a full
// signature: a legacy-only one keeps the parallel pass of the chunk digest.
int ScanAndVerify(int fd, bool crc, bool signatures, pkg::ScanResult* result, FullProbe* probe,
                  const std::function<bool(const uint8_t*, size_t, uint64_t)>& sink) {
    pkg::ScanOptions options;
    options.sink = sink;
    options.crc = crc;
    options.digest = signatures;
    options.zero_signature = true;
    uint8_t block[kSigSize] = {};
    if (signatures &&
        pkg::PreadFull(fd, block, kSigSize, kSigOffset) == static_cast<ssize_t>(kSigSize)) {
        *probe = ProbeFull(block);
        options.full = probe->present;
    }
    const int ret = pkg::ScanPackage(fd, options, result);
    std::memcpy(result->signature, block, kSigSize);
    return ret;
}

}  // namespace

int UPDATE_CountPacketCrc(int fd, uint32_t* crc) {
    pkg::ScanOptions options;
    options.crc = true;
    options.threads = 1;
    pkg::ScanResult result;
    int ret = CrcCounterResult(pkg::ScanPackage(fd, options, &result));
    if (ret == 0) *crc = result.crc;
    return ret;
}

int UPDATE_CheckCrc(uint32_t expected, const char* path) {
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG_ONLY("open file %s failed!\n", path);
        return -3;
    }
    uint32_t counted = 0;
    if (UPDATE_CountPacketCrc(fd.get(), &counted) != 0) {
        fd.reset();
        ULOG_ONLY("Count crc failed!\n");
        return -1;
    }
    fd.reset();
    return CompareCrc(expected, counted);
}

int UPDATE_CountSha256(int fd, uint8_t* out) {
    std::memset(out, 0x01, kDigestSize);
    pkg::ScanOptions options;
    options.digest = true;
    pkg::ScanResult result;
    int ret = DigestResult(pkg::ScanPackage(fd, options, &result));
    if (ret == 0) std::memcpy(out, result.digest, kDigestSize);
    return ret;
}

// The package is opened read-only and its signature block is read as zero:
// it is never written, so a crash cannot spoil it and read-only media work.
int UPDATE_CheckDigSig(const char* path, const uint8_t* digsig,
                       const std::function<bool(const uint8_t*, size_t, uint64_t)>& sink) {
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG_ONLY("open packet file failed!\n");
        return -3;
    }
    ULOG_ONLY("start check sha256!\n");
    g_full_held = false;
    pkg::ScanResult scan;
    FullProbe probe;
    int ret = DigestResult(ScanAndVerify(fd.get(), false, true, &scan, &probe, sink));
    fd.reset();
    if (ret != 0) {
        ULOG_ONLY("Count 256 failed!\n");
        return -1;
    }
    const int legacy = CompareDigest(digsig, scan.digest);
    const int full = FullSignatureVerdict(scan, probe, legacy);
    return legacy != 0 ? legacy : full;
}

int UPDATE_CheckCrcAndDigSig(uint32_t expected, const char* path, const uint8_t* digsig,
                             int* crc_result, int* sig_result,
                             const std::function<bool(const uint8_t*, size_t, uint64_t)>& sink) {
    int crc_ret = 0;
    int sig_ret = 0;
    g_full_held = false;
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG_ONLY("open file %s failed!\n", path);
        crc_ret = -3;
        if (digsig != nullptr) sig_ret = -3;
    } else {
        pkg::ScanResult result;
        FullProbe probe;
        const int scan = ScanAndVerify(fd.get(), true, digsig != nullptr, &result, &probe, sink);
        fd.reset();
        // The messages come in the order the two separate checks give them.
        if (CrcCounterResult(scan) != 0) {
            ULOG_ONLY("Count crc failed!\n");
            crc_ret = -1;
        } else {
            crc_ret = CompareCrc(expected, result.crc);
        }
        if (digsig == nullptr) {
            // CRC only.
        } else if (crc_ret != 0) {
            // A caller running the two checks in turn stops at a failed CRC,
            // so the signature's lines are left out; its result still counts.
            sig_ret = scan == 0 && std::memcmp(digsig, result.digest, kDigestSize) == 0 ? 0 : -1;
        } else {
            ULOG_ONLY("start check sha256!\n");
            sig_ret = CompareDigest(digsig, result.digest);
            const int full = FullSignatureVerdict(result, probe, sig_ret);
            if (sig_ret == 0) sig_ret = full;
        }
    }
    if (crc_result != nullptr) *crc_result = crc_ret;
    if (sig_result != nullptr) *sig_result = sig_ret;
    return crc_ret != 0 ? crc_ret : sig_ret;
}

bool UPDATE_HasPublicKey() {
    return !pkg::TrustedKeyPaths().empty();
}

bool UPDATE_FullSignatureRequired() {
#if defined(UPDATE_REQUIRE_FULL_SIGNATURE)
    return true;
#else
    return ::access(sys::DevicePath(kFullSignatureLatchPath).c_str(), F_OK) == 0;
#endif
}

bool UPDATE_FullSignatureHeld() {
    return g_full_held;
}

namespace {

int WriteLatch() {
    const std::string path = sys::DevicePath(kFullSignatureLatchPath);
    if (::access(path.c_str(), F_OK) == 0) return 0;
    sys::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    static const char kText[] = "1\n";
    if (!fd || !pkg::WriteFull(fd.get(), kText, sizeof(kText) - 1) || ::fsync(fd.get()) != 0) {
        ULOG("Set full signature latch %s failed!\n", kFullSignatureLatchPath);
        return -1;
    }
    return 1;
}

}  // namespace

int UPDATE_LatchFullSignature() {
    if (!g_full_held) return 0;
    const int ret = WriteLatch();
    if (ret > 0) ULOG("Full signatures are required from now on.\n");
    return ret < 0 ? -1 : 0;
}

int UPDATE_KeepFullSignatureLatch() {
    return g_full_required && WriteLatch() < 0 ? -1 : 0;
}

int UPDATE_RestoreFullSignatureLatch(bool latched) {
    return latched && WriteLatch() < 0 ? -1 : 0;
}
