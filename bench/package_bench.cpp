// Throughput of the package checks on a large file in the page cache: a plain
// read, the CRC, the digest and the fused CRC + digest check, each as GB/s and
// as a multiple of the plain read's time. The target is the fused check at no
// more than 3 times the plain read. The fused check of a full-signed package
// (the whole-file SHA-256 in the same pass) is shown against the fused check;
// its target is 1.3 times.
//
//   bench_package [--size MIB] [--dir DIR] [--rounds N]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "package/crypto.h"
#include "package/format.h"
#include "package/integrity.h"
#include "sys/fd.h"

namespace {

double Seconds(const std::function<void()>& work, int rounds) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
        if (d.count() < best) best = d.count();
    }
    return best;
}

void PlainRead(const std::string& path) {
    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kPackageChunkSize]);
    volatile uint8_t sink = 0;
    for (;;) {
        ssize_t n = ::read(fd.get(), buf.get(), kPackageChunkSize);
        if (n <= 0) break;
        sink = sink ^ buf[static_cast<size_t>(n) - 1];
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = 1024;
    std::string dir = "/tmp";
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size") == 0) mib = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    }
    const uint64_t size = mib << 20;
    std::string path = dir + "/bench-package-XXXXXX";
    sys::UniqueFd out(::mkstemp(path.data()));
    if (!out) {
        std::perror("mkstemp");
        return 1;
    }
    {
        std::vector<uint8_t> block(1 << 20);
        std::mt19937_64 rng(1);
        for (auto& b : block) b = static_cast<uint8_t>(rng());
        for (uint64_t done = 0; done < size; done += block.size()) {
            block[0] = static_cast<uint8_t>(done >> 20);  // no two blocks alike
            if (!pkg::WriteFull(out.get(), block.data(), block.size())) {
                std::perror("write");
                ::unlink(path.c_str());
                return 1;
            }
        }
        out.reset();
    }
    PlainRead(path);  // into the page cache

    sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint32_t crc = 0;
    uint8_t digest[kDigestSize];
    const double t_read = Seconds([&] { PlainRead(path); }, rounds);
    const double t_crc = Seconds([&] { (void)UPDATE_CountPacketCrc(fd.get(), &crc); }, rounds);
    const double t_digest = Seconds([&] { (void)UPDATE_CountSha256(fd.get(), digest); }, rounds);
    (void)pkg::PackageDigest(fd.get(), digest);  // what a signature holds
    const double t_digest_1 = Seconds(
        [&] {
            pkg::ScanOptions o;
            o.digest = true;
            o.threads = 1;
            pkg::ScanResult r;
            (void)pkg::ScanPackage(fd.get(), o, &r);
        },
        rounds);
    // SHA-256 alone on a buffer that stays in cache: the floor of any digest
    // pass is size / (cores x this rate).
    const double t_sha_cached = Seconds(
        [&] {
            std::vector<uint8_t> chunk(kPackageChunkSize, 0x5A);
            pkg::crypto::Sha256 sha;
            uint8_t h[32];
            for (uint64_t done = 0; done < size; done += kPackageChunkSize) {
                (void)sha.Digest(chunk.data(), chunk.size(), h);
            }
        },
        rounds);
    // The pass of a package with the legacy signature only, and the pass of
    // one with the full signature: the same pass also feeds the whole-file
    // SHA-256, chunk by chunk in file order.
    pkg::ScanResult legacy;
    pkg::ScanResult full;
    auto fused = [&](bool with_full, pkg::ScanResult* r) {
        pkg::ScanOptions o;
        o.crc = true;
        o.digest = true;
        o.zero_signature = true;
        o.full = with_full;
        (void)pkg::ScanPackage(fd.get(), o, r);
    };
    const double t_fused = Seconds([&] { fused(false, &legacy); }, rounds);
    const double t_full = Seconds([&] { fused(true, &full); }, rounds);
    const int crc_result = legacy.crc == crc && full.crc == crc ? 0 : -1;
    const int sig_result = std::memcmp(legacy.digest, digest, kDigestSize) == 0 &&
                                   std::memcmp(full.digest, digest, kDigestSize) == 0
                               ? 0
                               : -1;
    ::unlink(path.c_str());

    const double gb = static_cast<double>(size) / 1e9;
    std::printf(
        "package checks on %llu MiB in the page cache (%s crypto, %s CRC, %u cores, best of %d)\n",
        static_cast<unsigned long long>(mib), pkg::crypto::BackendName(), pkg::CrcBackendName(),
        std::thread::hardware_concurrency(), rounds);
    std::printf("  %-26s %8s %8s %10s\n", "", "seconds", "GB/s", "x read");
    auto row = [&](const char* name, double t) {
        std::printf("  %-26s %8.3f %8.2f %10.2f\n", name, t, gb / t, t / t_read);
    };
    row("plain read", t_read);
    row("CRC", t_crc);
    row("digest (all cores)", t_digest);
    row("digest (one thread)", t_digest_1);
    row("fused CRC + digest", t_fused);
    row("fused + full signature", t_full);
    row("SHA-256 only, in cache", t_sha_cached);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::printf("  floor of a digest pass on %u cores (SHA-256 alone): %.3f s = %.2f x read\n",
                cores, t_sha_cached / cores, t_sha_cached / cores / t_read);
    std::printf("  fused check results: crc %d, signature %d; target fused <= 3.00 x read: %s\n",
                crc_result, sig_result, t_fused <= 3 * t_read ? "met" : "NOT met");
    std::printf("  fused check with the full signature: %.2f x the fused check (target <= 1.30)\n",
                t_full / t_fused);
    return crc_result == 0 && sig_result == 0 ? 0 : 1;
}
