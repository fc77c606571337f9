// SHA-1 compression with the x86 SHA extensions.
//
// Only this function is built for the extensions (a target attribute, not a
// global flag), so the library still runs on CPUs without them; sha1.cpp
// asks sha1_x86_available() before calling it.
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

} // namespace

SHA1_X86_TARGET void sha1_x86_transform(sha1_ctx *ctx) {
    // The whole schedule first: the context must hold W16..W79 afterwards,
    // exactly as the portable code leaves them.
    __m128i m[20];
    for (int i = 0; i < 4; i++)
        m[i] = load_rev(ctx->w + 4 * i);
    for (int i = 4; i < 20; i++) {
        __m128i x = _mm_xor_si128(_mm_sha1msg1_epu32(m[i - 4], m[i - 3]), m[i - 2]);
        m[i] = _mm_sha1msg2_epu32(x, m[i - 1]);
        store_rev(ctx->w + 4 * i, m[i]);
    }

    const __m128i abcd0 = load_rev(ctx->h);
    __m128i abcd = abcd0;
    // e rides in the top lane; the first group adds it to W0 directly,
    // every later group derives it from a four rounds back.
    __m128i prev = abcd;
    __m128i e = _mm_add_epi32(_mm_set_epi32(static_cast<int>(ctx->h[4]), 0, 0, 0), m[0]);
    abcd = _mm_sha1rnds4_epu32(abcd, e, 0);

#define SHA1_X86_GROUP(i, f)                                                                       \
    do {                                                                                           \
        e = _mm_sha1nexte_epu32(prev, m[i]);                                                       \
        prev = abcd;                                                                               \
        abcd = _mm_sha1rnds4_epu32(abcd, e, f);                                                    \
    } while (0)

    SHA1_X86_GROUP(1, 0);
    SHA1_X86_GROUP(2, 0);
    SHA1_X86_GROUP(3, 0);
    SHA1_X86_GROUP(4, 0);
    SHA1_X86_GROUP(5, 1);
    SHA1_X86_GROUP(6, 1);
    SHA1_X86_GROUP(7, 1);
    SHA1_X86_GROUP(8, 1);
    SHA1_X86_GROUP(9, 1);
    SHA1_X86_GROUP(10, 2);
    SHA1_X86_GROUP(11, 2);
    SHA1_X86_GROUP(12, 2);
    SHA1_X86_GROUP(13, 2);
    SHA1_X86_GROUP(14, 2);
    SHA1_X86_GROUP(15, 3);
    SHA1_X86_GROUP(16, 3);
    SHA1_X86_GROUP(17, 3);
    SHA1_X86_GROUP(18, 3);
    SHA1_X86_GROUP(19, 3);
#undef SHA1_X86_GROUP

    // After the last four rounds e is the a that entered them, rotated by 30.
    store_rev(ctx->work, abcd);
    const uint32_t a76 = static_cast<uint32_t>(_mm_extract_epi32(prev, 3));
    ctx->work[4] = (a76 << 30) | (a76 >> 2);
    store_rev(ctx->h, _mm_add_epi32(abcd, abcd0));
    ctx->h[4] += ctx->work[4];
    std::memset(ctx->w, 0, 16 * sizeof ctx->w[0]);
}

#undef SHA1_X86_TARGET

#else

bool sha1_x86_available() {
    return false;
}

void sha1_x86_transform(sha1_ctx *ctx) {
    sha1_transform_portable(ctx);
}

#endif
