// Assertions for the internal invariants of the S-expression library.
//
// They guard arithmetic that no input can break (growth in whole units,
// exactly sized copies), so they stay on in every build: a failure is a
// programming error and the process stops at once.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void sx_assert_fail(const char *func, const char *expr) {
    std::fprintf(stderr, "csexp: %s: assertion \"%s\" failed\n", func, expr);
    std::abort();
}

#define SX_ASSERT(expr) ((expr) ? static_cast<void>(0) : sx_assert_fail(__func__, #expr))
