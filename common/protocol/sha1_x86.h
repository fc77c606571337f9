// SHA-1 compression with the x86 SHA extensions, private to the sha1 module.
#pragma once

#include "common/protocol/sha1.h"

// True when the CPU has the SHA extensions and SSE4.1; always false where
// the code was not built for x86.
bool sha1_x86_available();
// Same contract and same resulting context as sha1_transform_portable. Only
// to be called when sha1_x86_available() is true.
void sha1_x86_transform(sha1_ctx *ctx);
// Compresses n whole 64-byte blocks read from p, leaving h, work and w as
// packing each block into w[0..15] and calling sha1_x86_transform would.
// w[0..15] must be clear, as they are at a block boundary; count is the
// caller's. Only to be called when sha1_x86_available() is true.
void sha1_x86_blocks(sha1_ctx *ctx, const uint8_t *p, size_t n);
