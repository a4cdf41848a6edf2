// CRC-32C (the Castagnoli polynomial, reflected, as used by iSCSI and ext4):
// the checksum that guards a snapshot file.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32C of `size` bytes at `data`. To checksum data in pieces, pass the
// result for the pieces before as `crc`: crc32c(b, n, crc32c(a, m)) is the
// CRC of a followed by b. crc32c("123456789", 9) is 0xE3069283.
uint32_t crc32c(const void* data, size_t size, uint32_t crc = 0);
