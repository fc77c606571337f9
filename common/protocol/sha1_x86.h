// SHA-1 compression with the x86 SHA extensions, private to the sha1 module.
#pragma once

#include "common/protocol/sha1.h"

// True when the CPU has the SHA extensions and SSE4.1; always false where
// the code was not built for x86.
bool sha1_x86_available();
// Same contract and same resulting context as sha1_transform_portable. Only
// to be called when sha1_x86_available() is true.
void sha1_x86_transform(sha1_ctx *ctx);
