// The memory in which the reader builds a tree.
#include "common/csexp/sx_memory.h"

#include "common/csexp/sx_assert.h"
#include "common/csexp/sx_heap.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(offsetof(sxm, data) == offsetof(sx_block, data));
static_assert(offsetof(sxm, dsize) == offsetof(sx_block, dsize));
static_assert(offsetof(sxm, nodes) == offsetof(sx_block, nodes));
static_assert(offsetof(sxm, nsize) == offsetof(sx_block, nsize));

// The buffers grow in whole units of the caller's choosing, and by at least
// half their capacity each time: a growth that moves a buffer rebases every
// pointer into it, so growing by one fixed unit would make reading a large
// configuration quadratic in its size. Growth resizes in place where the
// allocator can; only when a buffer did move are the pointers into it
// rebased, by their offset from the old address, taken as an integer before
// the resize.

namespace {

// The larger of `needed` and the capacity half again above `cap`, rounded up
// to a multiple of unit (just `needed` when that would not fit a size).
size_t grown_capacity(size_t needed, size_t cap, size_t unit) {
    size_t half = cap - cap / 2;
    if (cap <= SIZE_MAX - half && cap + half > needed) {
        size_t want = cap + half;
        size_t rest = want % unit;
        if (rest != 0) {
            if (want > SIZE_MAX - (unit - rest))
                return needed;
            want += unit - rest;
        }
        return want;
    }
    return needed;
}

template <typename T> T *rebase(const void *p, uintptr_t from, T *to) {
    return to + (reinterpret_cast<uintptr_t>(p) - from) / sizeof(T);
}

} // namespace

int sxm_grow_data(sxm *sxm, size_t len) {
    if (len > SIZE_MAX - 1 - sxm->dsize)
        return -1;
    size_t needed = sxm->dsize + len + 1;
    if (needed <= sxm->dcap)
        return 0;
    size_t end = sxm->dsize + len;
    if (end - end % sxm->dunit > SIZE_MAX - sxm->dunit)
        return -1;
    needed = grown_capacity(end - end % sxm->dunit + sxm->dunit, sxm->dcap, sxm->dunit);
    SX_ASSERT(needed % sxm->dunit == 0);

    uintptr_t old = reinterpret_cast<uintptr_t>(sxm->data);
    char *data = static_cast<char *>(sx_heap_resize(sxm->data, sxm->dsize, needed));
    if (data == nullptr)
        return -1;
    if (reinterpret_cast<uintptr_t>(data) != old) {
        for (size_t i = 0; i < sxm->nsize; i++) {
            sx_node *n = &sxm->nodes[i];
            if (!sx_is_list(n))
                n->ptr = rebase(n->ptr, old, data);
        }
    }
    sxm->data = data;
    sxm->dcap = needed;
    return 0;
}

int sxm_grow_nodes(sxm *sxm) {
    if (sxm->nsize + 1 <= sxm->ncap)
        return 0;
    size_t base = sxm->nsize - sxm->nsize % sxm->nunit;
    if (base > SIZE_MAX - sxm->nunit)
        return -1;
    size_t needed = grown_capacity(base + sxm->nunit, sxm->ncap, sxm->nunit);
    SX_ASSERT(needed % sxm->nunit == 0);
    if (needed > SIZE_MAX / sizeof(sx_node))
        return -1;

    uintptr_t old = reinterpret_cast<uintptr_t>(sxm->nodes);
    void *p = sx_heap_resize(sxm->nodes, sxm->nsize * sizeof(sx_node), needed * sizeof(sx_node));
    if (p == nullptr)
        return -1;
    sx_node *nodes = static_cast<sx_node *>(p);
    if (reinterpret_cast<uintptr_t>(nodes) != old) {
        for (size_t i = 0; i < sxm->nsize; i++) {
            sx_node *n = &nodes[i];
            if (sx_is_list(n) && n->ptr != nullptr)
                n->ptr = rebase(n->ptr, old, nodes);
            if (n->next != nullptr)
                n->next = rebase(n->next, old, nodes);
        }
    }
    sxm->nodes = nodes;
    sxm->ncap = needed;
    return 0;
}

sx_node *sxm_add_atom(sxm *sxm, const void *bytes, size_t len) {
    if (sxm == nullptr || (len > 0 && bytes == nullptr))
        return nullptr;
    // The common case, room in both buffers, costs two comparisons.
    bool room = sxm->dcap > sxm->dsize && len < sxm->dcap - sxm->dsize;
    if (!room && sxm_grow_data(sxm, len) != 0)
        return nullptr;
    if (sxm->nsize >= sxm->ncap && sxm_grow_nodes(sxm) != 0)
        return nullptr;
    sx_node *n = &sxm->nodes[sxm->nsize++];
    n->len = len;
    n->next = nullptr;
    if (len > 0) {
        n->ptr = sxm->data + sxm->dsize;
        std::memcpy(n->ptr, bytes, len);
        sxm->data[sxm->dsize + len] = '\0';
        sxm->dsize += len + 1;
    } else {
        n->ptr = sxm->data;
    }
    return n;
}

sx_node *sxm_add_list(sxm *sxm) {
    if (sxm_grow_nodes(sxm) != 0)
        return nullptr;
    sx_node *n = &sxm->nodes[sxm->nsize++];
    *n = sx_node{nullptr, SX_LIST, nullptr};
    return n;
}
