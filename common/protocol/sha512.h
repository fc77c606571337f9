// SHA-512 and SHA-384 (FIPS 180-4): one compression, two initial values.
//
// SHA-384 is SHA-512 started from other chaining values and cut to 48
// bytes, so one context serves both; it remembers which digest it makes.
// The context owns nothing.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t SHA512_DIGEST_LEN = 64;
inline constexpr size_t SHA384_DIGEST_LEN = 48;
inline constexpr size_t SHA512_BLOCK_LEN = 128;

struct sha512_ctx {
    uint64_t count;                  // message bytes fed so far
    uint64_t h[8];                   // chaining values H0..H7
    uint8_t block[SHA512_BLOCK_LEN]; // the block being filled
    size_t digest_len;               // 64, or 48 for SHA-384
};

// Starts a SHA-512 computation. A null context is ignored.
void sha512_init(sha512_ctx *ctx);
// Starts a SHA-384 computation. A null context is ignored.
void sha512_init_384(sha512_ctx *ctx);
// Feeds n bytes; nothing happens for a null context or data, or n == 0.
void sha512_update(sha512_ctx *ctx, const void *data, size_t n);
// Pads and writes the digest, ctx->digest_len bytes. Nothing happens for a
// null context or output. The context must be started again before reuse.
void sha512_final(sha512_ctx *ctx, uint8_t *out);
