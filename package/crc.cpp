// The package CRC (CRC-32/MPEG-2) and the boot-environment CRC (reflected
// CRC-32 of zlib's convention).
#include <cstring>

#include "package/integrity.h"

#if defined(UPDATE_CRC_ISAL)
#include <isa-l/crc.h>
#endif

namespace {

constexpr uint32_t kMpeg2Poly = 0x04C11DB7u;
constexpr uint32_t kReflectedPoly = 0xEDB88320u;

struct Mpeg2Table {
    uint32_t v[256];
    constexpr Mpeg2Table() : v() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t reg = n << 24;
            for (int k = 0; k < 8; ++k)
                reg = (reg & 0x80000000u) ? (reg << 1) ^ kMpeg2Poly : reg << 1;
            v[n] = reg;
        }
    }
};
constexpr Mpeg2Table kMpeg2Table;

struct ReflectedTable {
    uint32_t v[256];
    constexpr ReflectedTable() : v() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t reg = n;
            for (int k = 0; k < 8; ++k) reg = (reg & 1u) ? (reg >> 1) ^ kReflectedPoly : reg >> 1;
            v[n] = reg;
        }
    }
};
constexpr ReflectedTable kReflectedTable;

// Product of two polynomials modulo the MPEG-2 polynomial (bit 31 = x^31).
uint32_t MulMod(uint32_t a, uint32_t b) {
    uint32_t r = 0;
    for (int i = 31; i >= 0; --i) {
        r = (r & 0x80000000u) ? (r << 1) ^ kMpeg2Poly : r << 1;
        if ((b >> i) & 1u) r ^= a;
    }
    return r;
}

}  // namespace

namespace pkg {

uint32_t PacketCrcTable(const uint8_t* buf, size_t len, uint32_t reg) {
    for (size_t i = 0; i < len; ++i) {
        reg = kMpeg2Table.v[((reg >> 24) ^ buf[i]) & 0xFFu] ^ (reg << 8);
    }
    return reg;
}

uint32_t CrcShift(uint32_t reg, uint64_t len) {
    // reg * x^(8 len) mod P by squaring x^8.
    uint32_t power = 0x100u;  // x^8
    uint32_t result = reg;
    while (len != 0) {
        if (len & 1u) result = MulMod(result, power);
        power = MulMod(power, power);
        len >>= 1;
    }
    return result;
}

const char* CrcBackendName() {
#if defined(UPDATE_CRC_ISAL)
    return "isal";
#else
    return "table";
#endif
}

}  // namespace pkg

uint32_t UPDATE_PacketCrc(const uint8_t* buf, size_t len, uint32_t reg) {
#if defined(UPDATE_CRC_ISAL)
    // crc32_ieee inverts its register on entry and exit; MPEG-2 does neither.
    // It takes a 64-bit length, so one call covers any buffer.
    return ~crc32_ieee(~reg, buf, static_cast<uint64_t>(len));
#else
    return pkg::PacketCrcTable(buf, len, reg);
#endif
}

uint32_t UPDATE_EnvCrc32(uint32_t prev, const uint8_t* buf, size_t len) {
    uint32_t crc = ~prev;
    // Bytes up to a 4-byte boundary, then whole little-endian words, then the
    // rest; the result is that of the plain byte-wise definition.
    while (len > 0 && (reinterpret_cast<uintptr_t>(buf) & 3u) != 0) {
        crc = kReflectedTable.v[(crc ^ *buf++) & 0xFFu] ^ (crc >> 8);
        --len;
    }
    while (len >= 4) {
        uint32_t word = static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
                        static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24;
        crc ^= word;
        for (int k = 0; k < 4; ++k) crc = kReflectedTable.v[crc & 0xFFu] ^ (crc >> 8);
        buf += 4;
        len -= 4;
    }
    while (len > 0) {
        crc = kReflectedTable.v[(crc ^ *buf++) & 0xFFu] ^ (crc >> 8);
        --len;
    }
    return ~crc;
}
