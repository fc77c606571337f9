// SHA-1 (FIPS 180) over a context that packs bytes straight into the schedule.
#include "common/protocol/sha1.h"

#include "common/protocol/sha1_x86.h"
#include "common/protocol/sha_words.h"

#include <cstring>

namespace {

constexpr uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

constexpr uint32_t f_choose(uint32_t b, uint32_t c, uint32_t d) {
    return d ^ (b & (c ^ d));
}
constexpr uint32_t f_parity(uint32_t b, uint32_t c, uint32_t d) {
    return b ^ c ^ d;
}
constexpr uint32_t f_majority(uint32_t b, uint32_t c, uint32_t d) {
    return (b & c) | (d & (b | c));
}

// Schedule word t, extended in place as the round needs it: the context has
// to hold W16..W79 afterwards anyway, and extending on the fly keeps the
// word in a register for the round that consumes it.
template <int t> inline uint32_t sched(uint32_t *w) {
    if constexpr (t < 16)
        return w[t];
    else
        return w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
}

bool g_fast_enabled = true;

} // namespace

// One round, with the five variables renamed instead of moved.
#define SHA1_ROUND(a, b, c, d, e, f, k, t)                                                         \
    do {                                                                                           \
        e += rotl(a, 5) + f(b, c, d) + (k) + sched<t>(w);                                          \
        b = rotl(b, 30);                                                                           \
    } while (0)

#define SHA1_ROUND5(f, k, t)                                                                       \
    do {                                                                                           \
        SHA1_ROUND(a, b, c, d, e, f, k, (t));                                                      \
        SHA1_ROUND(e, a, b, c, d, f, k, (t) + 1);                                                  \
        SHA1_ROUND(d, e, a, b, c, f, k, (t) + 2);                                                  \
        SHA1_ROUND(c, d, e, a, b, f, k, (t) + 3);                                                  \
        SHA1_ROUND(b, c, d, e, a, f, k, (t) + 4);                                                  \
    } while (0)

void sha1_transform_portable(sha1_ctx *ctx) {
    constexpr uint32_t k0 = 0x5a827999, k1 = 0x6ed9eba1, k2 = 0x8f1bbcdc, k3 = 0xca62c1d6;
    uint32_t *w = ctx->w;
    uint32_t a = ctx->h[0], b = ctx->h[1], c = ctx->h[2], d = ctx->h[3], e = ctx->h[4];

    SHA1_ROUND5(f_choose, k0, 0);
    SHA1_ROUND5(f_choose, k0, 5);
    SHA1_ROUND5(f_choose, k0, 10);
    SHA1_ROUND5(f_choose, k0, 15);
    SHA1_ROUND5(f_parity, k1, 20);
    SHA1_ROUND5(f_parity, k1, 25);
    SHA1_ROUND5(f_parity, k1, 30);
    SHA1_ROUND5(f_parity, k1, 35);
    SHA1_ROUND5(f_majority, k2, 40);
    SHA1_ROUND5(f_majority, k2, 45);
    SHA1_ROUND5(f_majority, k2, 50);
    SHA1_ROUND5(f_majority, k2, 55);
    SHA1_ROUND5(f_parity, k3, 60);
    SHA1_ROUND5(f_parity, k3, 65);
    SHA1_ROUND5(f_parity, k3, 70);
    SHA1_ROUND5(f_parity, k3, 75);

    ctx->work[0] = a;
    ctx->work[1] = b;
    ctx->work[2] = c;
    ctx->work[3] = d;
    ctx->work[4] = e;
    ctx->h[0] += a;
    ctx->h[1] += b;
    ctx->h[2] += c;
    ctx->h[3] += d;
    ctx->h[4] += e;
    std::memset(w, 0, 16 * sizeof w[0]);
}

#undef SHA1_ROUND5
#undef SHA1_ROUND

bool sha1_fast_path_available() {
    static const bool available = sha1_x86_available();
    return available;
}

void sha1_set_fast_path(bool on) {
    g_fast_enabled = on;
}

static bool fast_path_on() {
    return g_fast_enabled && sha1_fast_path_available();
}

void sha1_transform(sha1_ctx *ctx) {
    if (fast_path_on())
        sha1_x86_transform(ctx);
    else
        sha1_transform_portable(ctx);
}

void sha1_init(sha1_ctx *ctx) {
    if (ctx == nullptr)
        return;
    ctx->count = 0;
    std::memset(ctx->work, 0, sizeof ctx->work);
    ctx->h[0] = 0x67452301;
    ctx->h[1] = 0xefcdab89;
    ctx->h[2] = 0x98badcfe;
    ctx->h[3] = 0x10325476;
    ctx->h[4] = 0xc3d2e1f0;
    std::memset(ctx->w, 0, 16 * sizeof ctx->w[0]);
}

void sha1_update(sha1_ctx *ctx, const void *data, size_t n) {
    if (ctx == nullptr || data == nullptr || n == 0)
        return;
    const auto *p = static_cast<const uint8_t *>(data);
    const uint8_t *end = p + n;
    size_t pos = ctx->count % 64;

    // Finish a partly filled word one byte at a time.
    while (pos % 4 != 0 && p != end) {
        ctx->w[pos / 4] |= uint32_t{*p++} << sha_byte_shift(pos);
        if (++pos == 64) {
            sha1_transform(ctx);
            pos = 0;
        }
    }
    // Whole words up to the block's end, whole blocks, then whole words.
    while (pos != 0 && end - p >= 4) {
        ctx->w[pos / 4] = sha_load_be32(p);
        p += 4;
        pos += 4;
        if (pos == 64) {
            sha1_transform(ctx);
            pos = 0;
        }
    }
    if (pos == 0 && end - p >= 64) {
        auto blocks = static_cast<size_t>(end - p) / 64;
        if (fast_path_on()) {
            sha1_x86_blocks(ctx, p, blocks);
            p += 64 * blocks;
        } else {
            for (; blocks != 0; blocks--, p += 64) {
                for (size_t i = 0; i < 16; i++)
                    ctx->w[i] = sha_load_be32(p + 4 * i);
                sha1_transform_portable(ctx);
            }
        }
    }
    while (end - p >= 4) {
        ctx->w[pos / 4] = sha_load_be32(p);
        p += 4;
        pos += 4;
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

void sha1_final(sha1_ctx *ctx, uint8_t *out) {
    if (ctx == nullptr || out == nullptr)
        return;
    size_t pos = ctx->count % 64;
    ctx->w[pos / 4] |= uint32_t{0x80} << sha_byte_shift(pos);
    if (pos >= 56)
        sha1_transform(ctx);
    uint64_t bits = ctx->count * 8;
    ctx->w[14] = static_cast<uint32_t>(bits >> 32);
    ctx->w[15] = static_cast<uint32_t>(bits);
    sha1_transform(ctx);
    for (size_t i = 0; i < 5; i++)
        sha_store_be32(out + 4 * i, ctx->h[i]);
}
