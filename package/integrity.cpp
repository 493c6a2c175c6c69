#include "package/integrity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "package/format.h"
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
        ULOG_ONLY("Head DigSig is equal to DigSigResult!\n");
        return 0;
    }
    ULOG_ONLY("Head DigSig is not equal to DigSigResult!\n");
    return -1;
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
int UPDATE_CheckDigSig(const char* path, const uint8_t* digsig) {
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG_ONLY("open packet file failed!\n");
        return -3;
    }
    ULOG_ONLY("start check sha256!\n");
    uint8_t result[kDigestSize];
    std::memset(result, 0x01, sizeof(result));
    int ret = DigestResult(pkg::PackageDigest(fd.get(), result));
    fd.reset();
    if (ret != 0) {
        ULOG_ONLY("Count 256 failed!\n");
        return -1;
    }
    return CompareDigest(digsig, result);
}

int UPDATE_CheckCrcAndDigSig(uint32_t expected, const char* path, const uint8_t* digsig,
                             int* crc_result, int* sig_result) {
    int crc_ret = 0;
    int sig_ret = 0;
    sys::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        ULOG_ONLY("open file %s failed!\n", path);
        crc_ret = -3;
        if (digsig != nullptr) sig_ret = -3;
    } else {
        pkg::ScanOptions options;
        options.crc = true;
        options.digest = digsig != nullptr;
        options.zero_signature = true;
        pkg::ScanResult result;
        const int scan = pkg::ScanPackage(fd.get(), options, &result);
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
        }
    }
    if (crc_result != nullptr) *crc_result = crc_ret;
    if (sig_result != nullptr) *sig_result = sig_ret;
    return crc_ret != 0 ? crc_ret : sig_ret;
}

bool UPDATE_HasPublicKey() {
    return ::access(sys::DevicePath(kPublicKeyPath).c_str(), F_OK) == 0;
}
