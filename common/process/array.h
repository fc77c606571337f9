// Growable array of fixed-size elements, stored contiguously so that the
// server can hand its poll set straight to poll() and qsort/bsearch its
// account table. Elements are plain bytes: the array never constructs,
// copies one by one or destroys them.
#pragma once

#include <cstddef>
#include <cstdint>

struct array {
    void *data;       // null while nothing is allocated
    int32_t count;    // elements in use
    int32_t capacity; // elements the storage holds
    size_t elem_size; // fixed at array_init
};

// Empties the record and fixes the element size. Allocates nothing.
void array_init(array *a, size_t elem_size);
// Makes the capacity at least n, resizing to exactly n. 1 on success
// (also when nothing had to change), 0 when the resize failed; the array
// is then unchanged.
int array_reserve(array *a, int32_t n);
// Adds one element with undefined bytes; grows the storage by exactly one
// element when it is full. Returns the new index, or -1 (array unchanged).
int32_t array_append(array *a);
// Address of element i, or null when a is null or i is out of range. Valid
// until the next resize.
void *array_get(const array *a, int32_t i);
// Releases the storage; the element size stays so the array can be reused.
void array_free(array *a);
