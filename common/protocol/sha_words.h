// Big-endian words of the SHA family: both hashes read their blocks and
// write their digests most significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t sha_load_be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void sha_store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Bit offset of block byte i inside its word: the first byte is the most
// significant.
constexpr int sha_byte_shift(size_t i) {
    return 24 - 8 * static_cast<int>(i % 4);
}
