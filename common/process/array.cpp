// Growable array.
#include "common/process/array.h"

#include <cstdlib>

namespace {

// Resizes to exactly n elements, refusing sizes that overflow.
int resize(array *a, int32_t n) {
    if (n < 0 || (a->elem_size != 0 && static_cast<size_t>(n) > SIZE_MAX / a->elem_size))
        return 0;
    size_t bytes = static_cast<size_t>(n) * a->elem_size;
    void *p = realloc(a->data, bytes != 0 ? bytes : 1);
    if (p == nullptr)
        return 0;
    a->data = p;
    a->capacity = n;
    return 1;
}

} // namespace

void array_init(array *a, size_t elem_size) {
    if (a == nullptr)
        return;
    a->data = nullptr;
    a->count = 0;
    a->capacity = 0;
    a->elem_size = elem_size;
}

int array_reserve(array *a, int32_t n) {
    if (a == nullptr)
        return 0;
    if (a->capacity >= n)
        return 1;
    return resize(a, n);
}

int32_t array_append(array *a) {
    if (a == nullptr || a->count == INT32_MAX)
        return -1;
    if (a->count == a->capacity && !resize(a, a->count + 1))
        return -1;
    return a->count++;
}

void *array_get(const array *a, int32_t i) {
    if (a == nullptr || i < 0 || i >= a->count)
        return nullptr;
    return static_cast<char *>(a->data) + static_cast<size_t>(i) * a->elem_size;
}

void array_free(array *a) {
    if (a == nullptr)
        return;
    free(a->data);
    a->data = nullptr;
    a->count = 0;
    a->capacity = 0;
}
