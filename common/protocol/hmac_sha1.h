// HMAC-SHA1 (RFC 2104, B = 64, L = 20).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t HMAC_SHA1_LEN = 20;

// Writes the 20-byte MAC of msg under key to out. When out, msg or key is
// null, or either length is 0, nothing is computed and out is untouched.
void hmac_sha1(uint8_t *out, const void *msg, size_t msg_len, const void *key, size_t key_len);

// Compares two 20-byte MACs in time independent of their contents, so a
// forger learns nothing from how long a rejection takes. True when equal.
bool hmac_sha1_equal(const uint8_t *a, const uint8_t *b);
