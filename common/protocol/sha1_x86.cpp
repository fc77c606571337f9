// SHA-1 compression with the x86 SHA extensions.
//
// Only these functions are built for the extensions (a target attribute, not
// a global flag), so the library still runs on CPUs without them; sha1.cpp
// asks sha1_x86_available() before calling them.
#include "common/protocol/sha1_x86.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

#include <cpuid.h>
#include <cstring>
#include <immintrin.h>

bool sha1_x86_available() {
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return false;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0)
        return false;
    const bool sha = (b & (1u << 29)) != 0; // CPUID.(EAX=7,ECX=0):EBX.SHA
    return sse41 && sha;
}

// The instructions hold four schedule words per register with the earliest
// word in the top lane, and a, b, c, d likewise; the context holds them in
// ascending order, hence the lane reversal on every load and store.
#define SHA1_X86_TARGET __attribute__((target("sha,sse4.1")))

namespace {

SHA1_X86_TARGET inline __m128i load_rev(const uint32_t *p) {
    return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), 0x1b);
}

SHA1_X86_TARGET inline void store_rev(uint32_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_shuffle_epi32(v, 0x1b));
}

// Sixteen message bytes as four big-endian words, earliest in the top lane.
SHA1_X86_TARGET inline __m128i load_be(const uint8_t *p) {
    const __m128i swap = _mm_set_epi64x(0x0001020304050607, 0x08090a0b0c0d0e0f);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), swap);
}

// One block: the chaining values in (abcd, e) move on by the block whose
// first sixteen words are m0..m3. The extended schedule goes to w[16..79]
// and the final a..e to work, exactly as the portable code leaves them.
SHA1_X86_TARGET __attribute__((always_inline)) inline void compress(__m128i &abcd, uint32_t &e,
                                                                    __m128i m0, __m128i m1,
                                                                    __m128i m2, __m128i m3,
                                                                    uint32_t *w, uint32_t *work) {
    __m128i m[20] = {m0, m1, m2, m3};
    const __m128i abcd0 = abcd;
    // e rides in the top lane: the first group adds it to W0 directly,
    // every later group derives it from the a of four rounds back.
    __m128i prev = abcd;
    __m128i ev = _mm_add_epi32(_mm_set_epi32(static_cast<int>(e), 0, 0, 0), m[0]);
    abcd = _mm_sha1rnds4_epu32(abcd, ev, 0);

#define SHA1_X86_GROUP(i, f)                                                                       \
    do {                                                                                           \
        ev = _mm_sha1nexte_epu32(prev, m[i]);                                                      \
        prev = abcd;                                                                               \
        abcd = _mm_sha1rnds4_epu32(abcd, ev, f);                                                   \
    } while (0)
    // Schedule words are made just ahead of the rounds that take them, so
    // the two dependency chains overlap.
#define SHA1_X86_SCHED_GROUP(i, f)                                                                 \
    do {                                                                                           \
        m[i] = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m[(i)-4], m[(i)-3]), m[(i)-2]), \
                                  m[(i)-1]);                                                       \
        store_rev(w + 4 * (i), m[i]);                                                              \
        SHA1_X86_GROUP(i, f);                                                                      \
    } while (0)

    SHA1_X86_GROUP(1, 0);
    SHA1_X86_GROUP(2, 0);
    SHA1_X86_GROUP(3, 0);
    SHA1_X86_SCHED_GROUP(4, 0);
    SHA1_X86_SCHED_GROUP(5, 1);
    SHA1_X86_SCHED_GROUP(6, 1);
    SHA1_X86_SCHED_GROUP(7, 1);
    SHA1_X86_SCHED_GROUP(8, 1);
    SHA1_X86_SCHED_GROUP(9, 1);
    SHA1_X86_SCHED_GROUP(10, 2);
    SHA1_X86_SCHED_GROUP(11, 2);
    SHA1_X86_SCHED_GROUP(12, 2);
    SHA1_X86_SCHED_GROUP(13, 2);
    SHA1_X86_SCHED_GROUP(14, 2);
    SHA1_X86_SCHED_GROUP(15, 3);
    SHA1_X86_SCHED_GROUP(16, 3);
    SHA1_X86_SCHED_GROUP(17, 3);
    SHA1_X86_SCHED_GROUP(18, 3);
    SHA1_X86_SCHED_GROUP(19, 3);
#undef SHA1_X86_SCHED_GROUP
#undef SHA1_X86_GROUP

    // After the last four rounds e is the a that entered them, rotated by 30.
    store_rev(work, abcd);
    const auto a76 = static_cast<uint32_t>(_mm_extract_epi32(prev, 3));
    work[4] = (a76 << 30) | (a76 >> 2);
    abcd = _mm_add_epi32(abcd, abcd0);
    e += work[4];
}

} // namespace

SHA1_X86_TARGET void sha1_x86_transform(sha1_ctx *ctx) {
    __m128i abcd = load_rev(ctx->h);
    uint32_t e = ctx->h[4];
    compress(abcd, e, load_rev(ctx->w), load_rev(ctx->w + 4), load_rev(ctx->w + 8),
             load_rev(ctx->w + 12), ctx->w, ctx->work);
    store_rev(ctx->h, abcd);
    ctx->h[4] = e;
    std::memset(ctx->w, 0, 16 * sizeof ctx->w[0]);
}

// The bytes never pass through w[0..15]: they would be cleared again after
// each block, and w[0..15] are clear on entry.
SHA1_X86_TARGET void sha1_x86_blocks(sha1_ctx *ctx, const uint8_t *p, size_t n) {
    if (n == 0)
        return;
    __m128i abcd = load_rev(ctx->h);
    uint32_t e = ctx->h[4];
    for (; n != 0; n--, p += 64)
        compress(abcd, e, load_be(p), load_be(p + 16), load_be(p + 32), load_be(p + 48), ctx->w,
                 ctx->work);
    store_rev(ctx->h, abcd);
    ctx->h[4] = e;
}

#undef SHA1_X86_TARGET

#else

bool sha1_x86_available() {
    return false;
}

void sha1_x86_transform(sha1_ctx *ctx) {
    sha1_transform_portable(ctx);
}

void sha1_x86_blocks(sha1_ctx *ctx, const uint8_t *p, size_t n) {
    for (; n != 0; n--, p += 64) {
        for (size_t i = 0; i < 16; i++)
            ctx->w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 |
                        uint32_t{p[4 * i + 2]} << 8 | uint32_t{p[4 * i + 3]};
        sha1_transform_portable(ctx);
    }
}

#endif
