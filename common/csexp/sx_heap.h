// Allocation for the S-expression library.
//
// Every buffer the library allocates, resizes, hands out or releases goes
// through these three calls, so that a test can make any single allocation
// fail and check that the library fails cleanly and leaks nothing.
#pragma once

#include <cstddef>

// malloc, or null when the fault hook refuses. size must not be 0.
void *sx_heap_alloc(size_t size);
// realloc (p may be null), or null when the fault hook refuses; p is then
// still valid and unchanged. size must not be 0.
void *sx_heap_resize(void *p, size_t size);
// free; null is ignored.
void sx_heap_free(void *p);

// Test seam: while a hook is set, every allocation and resize asks it first
// and fails when it returns true. A null hook restores plain allocation.
using sx_heap_fault = bool (*)();
void sx_heap_set_fault(sx_heap_fault fault);
