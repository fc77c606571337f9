// HMAC-SHA256 (RFC 2104) over the module's own SHA-256.
#include "common/protocol/hmac_sha256.h"

#include <cstring>

void hmac_sha256_init(hmac_sha256_ctx *ctx, const void *key, size_t key_len) {
    if (ctx == nullptr)
        return;
    uint8_t k0[SHA256_BLOCK_LEN] = {};
    if (key != nullptr && key_len > SHA256_BLOCK_LEN) {
        sha256_ctx kc;
        sha256_init(&kc);
        sha256_update(&kc, key, key_len);
        sha256_final(&kc, k0);
    } else if (key != nullptr && key_len != 0) {
        std::memcpy(k0, key, key_len);
    }
    uint8_t pad[SHA256_BLOCK_LEN];
    for (size_t i = 0; i < sizeof pad; i++)
        pad[i] = k0[i] ^ 0x36;
    sha256_init(&ctx->inner);
    sha256_update(&ctx->inner, pad, sizeof pad);
    for (size_t i = 0; i < sizeof pad; i++)
        pad[i] = k0[i] ^ 0x5c;
    sha256_init(&ctx->outer);
    sha256_update(&ctx->outer, pad, sizeof pad);
}

void hmac_sha256_update(hmac_sha256_ctx *ctx, const void *data, size_t n) {
    if (ctx != nullptr)
        sha256_update(&ctx->inner, data, n);
}

void hmac_sha256_final(hmac_sha256_ctx *ctx, uint8_t *out) {
    if (ctx == nullptr || out == nullptr)
        return;
    uint8_t inner[SHA256_DIGEST_LEN];
    sha256_final(&ctx->inner, inner);
    sha256_update(&ctx->outer, inner, sizeof inner);
    sha256_final(&ctx->outer, out);
}

void hmac_sha256(uint8_t *out, const void *msg, size_t msg_len, const void *key, size_t key_len) {
    if (out == nullptr || msg == nullptr || key == nullptr || msg_len == 0 || key_len == 0)
        return;
    hmac_sha256_ctx ctx;
    hmac_sha256_init(&ctx, key, key_len);
    hmac_sha256_update(&ctx, msg, msg_len);
    hmac_sha256_final(&ctx, out);
}

bool hmac_sha256_equal(const uint8_t *a, const uint8_t *b) {
    if (a == nullptr || b == nullptr)
        return false;
    // Fold every byte's difference in before deciding; the volatile keeps the
    // compiler from turning the fold back into an early exit.
    volatile uint8_t diff = 0;
    for (size_t i = 0; i < HMAC_SHA256_LEN; i++)
        diff = diff | static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}
