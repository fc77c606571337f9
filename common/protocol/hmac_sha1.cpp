// HMAC-SHA1 (RFC 2104) over the module's own SHA-1.
#include "common/protocol/hmac_sha1.h"

#include "common/protocol/sha1.h"

#include <cstring>

namespace {
constexpr size_t block_len = 64;
}

void hmac_sha1_init(hmac_sha1_ctx *ctx, const void *key, size_t key_len) {
    if (ctx == nullptr)
        return;
    uint8_t k0[block_len] = {};
    if (key != nullptr && key_len > block_len) {
        sha1_ctx kc;
        sha1_init(&kc);
        sha1_update(&kc, key, key_len);
        sha1_final(&kc, k0);
    } else if (key != nullptr && key_len != 0) {
        std::memcpy(k0, key, key_len);
    }
    uint8_t pad[block_len];
    for (size_t i = 0; i < block_len; i++)
        pad[i] = k0[i] ^ 0x36;
    sha1_init(&ctx->inner);
    sha1_update(&ctx->inner, pad, block_len);
    for (size_t i = 0; i < block_len; i++)
        pad[i] = k0[i] ^ 0x5c;
    sha1_init(&ctx->outer);
    sha1_update(&ctx->outer, pad, block_len);
}

void hmac_sha1_update(hmac_sha1_ctx *ctx, const void *data, size_t n) {
    if (ctx != nullptr)
        sha1_update(&ctx->inner, data, n);
}

void hmac_sha1_final(hmac_sha1_ctx *ctx, uint8_t *out) {
    if (ctx == nullptr || out == nullptr)
        return;
    uint8_t inner[SHA1_DIGEST_LEN];
    sha1_final(&ctx->inner, inner);
    sha1_update(&ctx->outer, inner, sizeof inner);
    sha1_final(&ctx->outer, out);
}

void hmac_sha1(uint8_t *out, const void *msg, size_t msg_len, const void *key, size_t key_len) {
    if (out == nullptr || msg == nullptr || key == nullptr || msg_len == 0 || key_len == 0)
        return;
    hmac_sha1_ctx ctx;
    hmac_sha1_init(&ctx, key, key_len);
    hmac_sha1_update(&ctx, msg, msg_len);
    hmac_sha1_final(&ctx, out);
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
