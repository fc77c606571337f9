// HMAC-SHA512 and HMAC-SHA384 (RFC 2104 over FIPS 180-4, B = 128; L = 64
// or 48), the two sharing one context as their hashes do.
#pragma once

#include "common/protocol/sha512.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t HMAC_SHA512_LEN = SHA512_DIGEST_LEN;
inline constexpr size_t HMAC_SHA384_LEN = SHA384_DIGEST_LEN;

// A running MAC: the inner hash already holds the inner pad, the outer one
// the outer pad. A plain value on the caller's stack.
struct hmac_sha512_ctx {
    sha512_ctx inner;
    sha512_ctx outer;
};

// Starts an HMAC-SHA512 under key (key_len bytes; a null key counts as
// empty). Keys longer than 128 bytes are hashed first.
void hmac_sha512_init(hmac_sha512_ctx *ctx, const void *key, size_t key_len);
// The same for HMAC-SHA384 (its long keys are hashed with SHA-384).
void hmac_sha512_init_384(hmac_sha512_ctx *ctx, const void *key, size_t key_len);
// Feeds n message bytes; nothing happens for null data or n == 0.
void hmac_sha512_update(hmac_sha512_ctx *ctx, const void *data, size_t n);
// Writes the MAC, 64 bytes (48 for HMAC-SHA384). The context must be
// started again before reuse.
void hmac_sha512_final(hmac_sha512_ctx *ctx, uint8_t *out);

// Compares two n-byte MACs in time independent of their contents. True
// when equal; false for a null argument.
bool hmac_sha512_equal(const uint8_t *a, const uint8_t *b, size_t n);
