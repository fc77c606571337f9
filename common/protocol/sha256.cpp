// SHA-256 (FIPS 180-4) over a context that packs bytes straight into the
// schedule.
#include "common/protocol/sha256.h"

#include "common/protocol/sha_words.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

// The compression of the block in w[0..15]; clears w[0..15] afterwards so
// partial words can be filled by OR-ing bytes in.
void transform(sha256_ctx *ctx) {
    uint32_t *w = ctx->w;
    for (int t = 16; t < 64; t++) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = ctx->h[0], b = ctx->h[1], c = ctx->h[2], d = ctx->h[3];
    uint32_t e = ctx->h[4], f = ctx->h[5], g = ctx->h[6], h = ctx->h[7];
    for (int t = 0; t < 64; t++) {
        uint32_t t1 =
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + k[t] + w[t];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->h[0] += a;
    ctx->h[1] += b;
    ctx->h[2] += c;
    ctx->h[3] += d;
    ctx->h[4] += e;
    ctx->h[5] += f;
    ctx->h[6] += g;
    ctx->h[7] += h;
    std::fill(w, w + 16, 0u);
}

} // namespace

void sha256_init(sha256_ctx *ctx) {
    if (ctx == nullptr)
        return;
    static constexpr uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    ctx->count = 0;
    std::memcpy(ctx->h, iv, sizeof iv);
    std::fill(ctx->w, ctx->w + 16, 0u);
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t n) {
    if (ctx == nullptr || data == nullptr || n == 0)
        return;
    const auto *p = static_cast<const uint8_t *>(data);
    const uint8_t *end = p + n;
    size_t pos = ctx->count % SHA256_BLOCK_LEN;

    // Finish a partly filled word one byte at a time.
    while (pos % 4 != 0 && p != end) {
        ctx->w[pos / 4] |= uint32_t{*p++} << sha_byte_shift(pos);
        if (++pos == SHA256_BLOCK_LEN) {
            transform(ctx);
            pos = 0;
        }
    }
    while (end - p >= 4) {
        ctx->w[pos / 4] = sha_load_be32(p);
        p += 4;
        pos += 4;
        if (pos == SHA256_BLOCK_LEN) {
            transform(ctx);
            pos = 0;
        }
    }
    // The word is still clear here, so the tail can be stored whole.
    if (p != end) {
        uint32_t v = 0;
        for (size_t i = 0; p != end; i++)
            v |= uint32_t{*p++} << sha_byte_shift(i);
        ctx->w[pos / 4] = v;
    }
    ctx->count += n;
}

void sha256_final(sha256_ctx *ctx, uint8_t *out) {
    if (ctx == nullptr || out == nullptr)
        return;
    size_t pos = ctx->count % SHA256_BLOCK_LEN;
    ctx->w[pos / 4] |= uint32_t{0x80} << sha_byte_shift(pos);
    if (pos >= 56)
        transform(ctx);
    uint64_t bits = ctx->count * 8;
    ctx->w[14] = static_cast<uint32_t>(bits >> 32);
    ctx->w[15] = static_cast<uint32_t>(bits);
    transform(ctx);
    for (size_t i = 0; i < 8; i++)
        sha_store_be32(out + 4 * i, ctx->h[i]);
}
