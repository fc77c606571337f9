// HMAC-SHA512 and HMAC-SHA384 (RFC 2104) over the module's own SHA-512.
#include "common/protocol/hmac_sha512.h"

#include <cstring>

namespace {

void start(hmac_sha512_ctx *ctx, const void *key, size_t key_len, void (*init)(sha512_ctx *)) {
    uint8_t k0[SHA512_BLOCK_LEN] = {};
    if (key != nullptr && key_len > SHA512_BLOCK_LEN) {
        sha512_ctx kc;
        init(&kc);
        sha512_update(&kc, key, key_len);
        sha512_final(&kc, k0);
    } else if (key != nullptr && key_len != 0) {
        std::memcpy(k0, key, key_len);
    }
    uint8_t pad[SHA512_BLOCK_LEN];
    for (size_t i = 0; i < sizeof pad; i++)
        pad[i] = k0[i] ^ 0x36;
    init(&ctx->inner);
    sha512_update(&ctx->inner, pad, sizeof pad);
    for (size_t i = 0; i < sizeof pad; i++)
        pad[i] = k0[i] ^ 0x5c;
    init(&ctx->outer);
    sha512_update(&ctx->outer, pad, sizeof pad);
}

} // namespace

void hmac_sha512_init(hmac_sha512_ctx *ctx, const void *key, size_t key_len) {
    if (ctx != nullptr)
        start(ctx, key, key_len, sha512_init);
}

void hmac_sha512_init_384(hmac_sha512_ctx *ctx, const void *key, size_t key_len) {
    if (ctx != nullptr)
        start(ctx, key, key_len, sha512_init_384);
}

void hmac_sha512_update(hmac_sha512_ctx *ctx, const void *data, size_t n) {
    if (ctx != nullptr)
        sha512_update(&ctx->inner, data, n);
}

void hmac_sha512_final(hmac_sha512_ctx *ctx, uint8_t *out) {
    if (ctx == nullptr || out == nullptr)
        return;
    uint8_t inner[SHA512_DIGEST_LEN];
    sha512_final(&ctx->inner, inner);
    sha512_update(&ctx->outer, inner, ctx->inner.digest_len);
    sha512_final(&ctx->outer, out);
}

bool hmac_sha512_equal(const uint8_t *a, const uint8_t *b, size_t n) {
    if (a == nullptr || b == nullptr)
        return false;
    // Fold every byte's difference in before deciding; the volatile keeps the
    // compiler from turning the fold back into an early exit.
    volatile uint8_t diff = 0;
    for (size_t i = 0; i < n; i++)
        diff = diff | static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}
