// HMAC-SHA1 (RFC 2104, B = 64, L = 20).
#pragma once

#include "common/protocol/sha1.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t HMAC_SHA1_LEN = 20;

// A running MAC, for messages that come in pieces: the inner hash already
// holds the inner pad, the outer one the outer pad. A plain stack value.
struct hmac_sha1_ctx {
    sha1_ctx inner;
    sha1_ctx outer;
};

// Starts a MAC under key (key_len bytes; a null key counts as empty). Keys
// longer than 64 bytes are hashed first.
void hmac_sha1_init(hmac_sha1_ctx *ctx, const void *key, size_t key_len);
// Feeds n message bytes; nothing happens for null data or n == 0.
void hmac_sha1_update(hmac_sha1_ctx *ctx, const void *data, size_t n);
// Writes the 20-byte MAC. The context must be started again before reuse.
void hmac_sha1_final(hmac_sha1_ctx *ctx, uint8_t *out);

// Writes the 20-byte MAC of msg under key to out. When out, msg or key is
// null, or either length is 0, nothing is computed and out is untouched.
void hmac_sha1(uint8_t *out, const void *msg, size_t msg_len, const void *key, size_t key_len);

// Compares two 20-byte MACs in time independent of their contents, so a
// forger learns nothing from how long a rejection takes. True when equal.
bool hmac_sha1_equal(const uint8_t *a, const uint8_t *b);
