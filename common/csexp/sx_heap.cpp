// Allocation for the S-expression library, with a fault seam for tests.
#include "common/csexp/sx_heap.h"

#include <cstdlib>

namespace {

sx_heap_fault g_fault = nullptr;

bool refused() {
    return g_fault != nullptr && g_fault();
}

} // namespace

void *sx_heap_alloc(size_t size) {
    return refused() ? nullptr : std::malloc(size);
}

void *sx_heap_resize(void *p, size_t size) {
    return refused() ? nullptr : std::realloc(p, size);
}

void sx_heap_free(void *p) {
    std::free(p);
}

void sx_heap_set_fault(sx_heap_fault fault) {
    g_fault = fault;
}
