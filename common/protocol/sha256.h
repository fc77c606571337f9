// SHA-256 (FIPS 180-4).
//
// Packed like SHA-1: bytes go straight into their big-endian place in the
// schedule's first 16 words, with no separate byte buffer. The context owns
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t SHA256_DIGEST_LEN = 32;
inline constexpr size_t SHA256_BLOCK_LEN = 64;

struct sha256_ctx {
    uint64_t count; // message bytes fed so far
    uint32_t h[8];  // chaining values H0..H7
    uint32_t w[64]; // schedule; words 0..15 are the block being filled
};

// Starts a computation. A null context is ignored.
void sha256_init(sha256_ctx *ctx);
// Feeds n bytes; nothing happens for a null context or data, or n == 0.
void sha256_update(sha256_ctx *ctx, const void *data, size_t n);
// Pads and writes the 32-byte digest. Nothing happens for a null context or
// output. The context must be initialised again before further use.
void sha256_final(sha256_ctx *ctx, uint8_t *out);
