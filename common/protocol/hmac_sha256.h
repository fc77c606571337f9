// HMAC-SHA256 (RFC 2104 over FIPS 180-4 SHA-256, B = 64, L = 32).
#pragma once

#include "common/protocol/sha256.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t HMAC_SHA256_LEN = 32;

// A running MAC: the inner hash already holds the inner pad, the outer one
// the outer pad. A plain value on the caller's stack.
struct hmac_sha256_ctx {
    sha256_ctx inner;
    sha256_ctx outer;
};

// Starts a MAC under key (key_len bytes; a null key counts as empty). Keys
// longer than 64 bytes are hashed first.
void hmac_sha256_init(hmac_sha256_ctx *ctx, const void *key, size_t key_len);
// Feeds n message bytes; nothing happens for null data or n == 0.
void hmac_sha256_update(hmac_sha256_ctx *ctx, const void *data, size_t n);
// Writes the 32-byte MAC. The context must be started again before reuse.
void hmac_sha256_final(hmac_sha256_ctx *ctx, uint8_t *out);

// Writes the 32-byte MAC of msg under key to out. As hmac_sha1: when out,
// msg or key is null, or either length is 0, out is left untouched.
void hmac_sha256(uint8_t *out, const void *msg, size_t msg_len, const void *key, size_t key_len);

// Compares two 32-byte MACs in time independent of their contents. True
// when equal; false for a null argument.
bool hmac_sha256_equal(const uint8_t *a, const uint8_t *b);
