// SHA-1 (FIPS 180).
//
// Bytes go straight into their big-endian place in the schedule's first 16
// words; there is no separate byte buffer. The context owns nothing.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t SHA1_DIGEST_LEN = 20;

struct sha1_ctx {
    uint64_t count;   // message bytes fed so far
    uint32_t work[5]; // a..e as the last compression left them
    uint32_t h[5];    // chaining values H0..H4
    uint32_t w[80];   // schedule; words 0..15 are the block being filled
};

// Starts a computation. A null context is ignored.
void sha1_init(sha1_ctx *ctx);
// Feeds n bytes; nothing happens for a null context or data, or n == 0.
void sha1_update(sha1_ctx *ctx, const void *data, size_t n);
// Pads and writes the 20-byte digest. Nothing happens for a null context or
// output. The context must be initialised again before further use.
void sha1_final(sha1_ctx *ctx, uint8_t *out);

// The compression of the block in w[0..15]: extends w[16..79], adds into h,
// leaves the final a..e in work and clears w[0..15]. It takes the CPU's SHA
// instructions when they are there and enabled, else sha1_transform_portable;
// both leave the context in the same state. Exposed for the tests that hold
// the two paths against each other; callers hash through sha1_update.
void sha1_transform(sha1_ctx *ctx);
void sha1_transform_portable(sha1_ctx *ctx);

// True when this CPU can take the fast compression.
bool sha1_fast_path_available();
// Allows (the default) or forbids the fast compression, so tests and
// benchmarks can drive the portable code through the whole hash. Not for use
// while another thread hashes.
void sha1_set_fast_path(bool on);
