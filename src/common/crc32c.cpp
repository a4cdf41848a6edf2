// CRC-32C, table-driven eight bytes at a time ("slicing by 8"): table k gives
// the CRC of a byte followed by k zero bytes, so eight lookups advance the
// CRC over eight bytes at once.
#include "common/crc32c.h"

#include <array>
#include <cstring>

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;  // 0x1EDC6F41 reflected

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

uint32_t crc32c(const void* data, size_t size, uint32_t crc) {
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t low;
        uint32_t high;
        std::memcpy(&low, p, 4);  // the build is little-endian only (records.h)
        std::memcpy(&high, p + 4, 4);
        low ^= crc;
        crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
              kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
              kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
    }
    for (; size > 0; --size, ++p) crc = (crc >> 8) ^ kTables[0][(crc ^ *p) & 0xFF];
    return ~crc;
}
