// Allocation for the S-expression library, with seams for tests.
#include "common/csexp/sx_heap.h"

#include <cstdlib>
#include <cstring>

namespace {

sx_heap_fault g_fault = nullptr;
bool g_moving = false;

bool refused() {
    return g_fault != nullptr && g_fault();
}

} // namespace

void *sx_heap_alloc(size_t size) {
    return refused() ? nullptr : std::malloc(size);
}

void *sx_heap_resize(void *p, size_t keep, size_t size) {
    if (refused())
        return nullptr;
    if (!g_moving)
        return std::realloc(p, size);
    void *q = std::malloc(size);
    if (q != nullptr && keep > 0)
        std::memcpy(q, p, keep);
    if (q != nullptr)
        std::free(p);
    return q;
}

void sx_heap_free(void *p) {
    std::free(p);
}

void sx_heap_set_fault(sx_heap_fault fault) {
    g_fault = fault;
}

void sx_heap_set_moving(bool on) {
    g_moving = on;
}
