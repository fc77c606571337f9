// Allocation for the S-expression library.
//
// Every buffer the library allocates, resizes, hands out or releases goes
// through these calls, so that a test can make any single allocation fail,
// or make every resize move its buffer, and check that the library fails
// cleanly, leaks nothing and follows its buffers wherever they go.
#pragma once

#include <cstddef>

// malloc, or null when the fault hook refuses. size must not be 0.
void *sx_heap_alloc(size_t size);
// realloc (p may be null) keeping at least the first `keep` bytes, or null
// when the fault hook refuses; p is then still valid and unchanged. size
// must not be 0 and keep not more than size or p's size.
void *sx_heap_resize(void *p, size_t keep, size_t size);
// free; null is ignored.
void sx_heap_free(void *p);

// Test seam: while a hook is set, every allocation and resize asks it first
// and fails when it returns true. A null hook restores plain allocation.
using sx_heap_fault = bool (*)();
void sx_heap_set_fault(sx_heap_fault fault);
// Test seam: while on, every resize moves the buffer to a new block (which a
// plain realloc may or may not do).
void sx_heap_set_moving(bool on);
