// HMAC-SHA1 (RFC 2104) over the module's own SHA-1.
#include "common/protocol/hmac_sha1.h"

#include "common/protocol/sha1.h"

#include <cstring>

namespace {
constexpr size_t block_len = 64;
}

void hmac_sha1(uint8_t *out, const void *msg, size_t msg_len, const void *key, size_t key_len) {
    if (out == nullptr || msg == nullptr || key == nullptr || msg_len == 0 || key_len == 0)
        return;

    uint8_t k0[block_len] = {};
    if (key_len > block_len) {
        sha1_ctx kc;
        sha1_init(&kc);
        sha1_update(&kc, key, key_len);
        sha1_final(&kc, k0);
    } else {
        std::memcpy(k0, key, key_len);
    }

    uint8_t pad[block_len];
    uint8_t inner[SHA1_DIGEST_LEN];
    sha1_ctx ctx;

    for (size_t i = 0; i < block_len; i++)
        pad[i] = k0[i] ^ 0x36;
    sha1_init(&ctx);
    sha1_update(&ctx, pad, block_len);
    sha1_update(&ctx, msg, msg_len);
    sha1_final(&ctx, inner);

    for (size_t i = 0; i < block_len; i++)
        pad[i] = k0[i] ^ 0x5c;
    sha1_init(&ctx);
    sha1_update(&ctx, pad, block_len);
    sha1_update(&ctx, inner, sizeof inner);
    sha1_final(&ctx, out);
}

bool hmac_sha1_equal(const uint8_t *a, const uint8_t *b) {
    if (a == nullptr || b == nullptr)
        return false;
    // Fold every byte's difference in before deciding; the volatile keeps the
    // compiler from turning the fold back into an early exit.
    volatile uint8_t diff = 0;
    for (size_t i = 0; i < HMAC_SHA1_LEN; i++)
        diff = diff | static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}
