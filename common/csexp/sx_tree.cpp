// S-expression tree: exactly sized copies and release of blocks.
#include "common/csexp/sx_tree.h"

#include "common/csexp/sx_assert.h"
#include "common/csexp/sx_heap.h"

#include <cstring>

namespace {

// Lists whose children are being measured, innermost last. The first levels
// live on the C++ stack, so a copy of any ordinary configuration costs no
// allocation beyond its two buffers; only nesting deeper than that spills to
// the heap. Walking by an explicit stack rather than by recursion keeps a
// pathologically nested file from overflowing the process stack.
class open_lists {
  public:
    open_lists() = default;
    open_lists(const open_lists &) = delete;
    open_lists &operator=(const open_lists &) = delete;
    ~open_lists() {
        if (items_ != local_)
            sx_heap_free(items_);
    }

    bool empty() const { return len_ == 0; }
    const sx_node *pop() { return items_[--len_]; }
    // false when the stack cannot grow.
    bool push(const sx_node *n) {
        if (len_ == cap_ && !grow())
            return false;
        items_[len_++] = n;
        return true;
    }

  private:
    bool grow() {
        if (cap_ > SIZE_MAX / 2 / sizeof(*items_))
            return false;
        size_t cap = cap_ * 2;
        void *p;
        if (items_ == local_) {
            p = sx_heap_alloc(cap * sizeof(*items_));
            if (p != nullptr)
                std::memcpy(p, local_, sizeof(local_));
        } else {
            p = sx_heap_resize(items_, len_ * sizeof(*items_), cap * sizeof(*items_));
        }
        if (p == nullptr)
            return false;
        items_ = static_cast<const sx_node **>(p);
        cap_ = cap;
        return true;
    }

    const sx_node *local_[64];
    const sx_node **items_ = local_;
    size_t cap_ = sizeof(local_) / sizeof(local_[0]);
    size_t len_ = 0;
};

// Counts the nodes of the chain from src with all descendants, and the data
// bytes their copy needs (the leading NUL, each non-empty atom and its NUL).
// false when the walk cannot keep its stack or a size overflows.
bool measure(const sx_node *src, size_t *nodes, size_t *bytes) {
    open_lists open;
    size_t nsize = 0;
    size_t dsize = 1;
    const sx_node *n = src;
    for (;;) {
        while (n != nullptr) {
            ++nsize;
            if (sx_is_list(n)) {
                if (n->ptr != nullptr) {
                    if (!open.push(n))
                        return false;
                    n = sx_first(n);
                    continue;
                }
            } else if (n->len > 0) {
                if (n->len > SIZE_MAX - 1 - dsize)
                    return false;
                dsize += n->len + 1;
            }
            n = n->next;
        }
        if (open.empty())
            break;
        n = open.pop()->next;
    }
    if (nsize > SIZE_MAX / sizeof(sx_node))
        return false;
    *nodes = nsize;
    *bytes = dsize;
    return true;
}

} // namespace

int sx_dup(sx_block *dest, const sx_node *src) {
    if (dest == nullptr || src == nullptr)
        return -1;
    size_t nsize;
    size_t dsize;
    char *data = nullptr;
    sx_node *nodes = nullptr;
    if (measure(src, &nsize, &dsize)) {
        data = static_cast<char *>(sx_heap_alloc(dsize));
        if (data != nullptr)
            nodes = static_cast<sx_node *>(sx_heap_alloc(nsize * sizeof(sx_node)));
    }
    if (nodes == nullptr) {
        sx_heap_free(data);
        *dest = sx_block{nullptr, 0, nullptr, 0};
        return -1;
    }

    data[0] = '\0';
    dest->data = data;
    dest->dsize = 1;
    dest->nodes = nodes;
    dest->nsize = 0;

    // Preorder copy without a stack of its own: while a list's children are
    // copied, its copy borrows its two link fields to remember the source list
    // (in ptr) and the enclosing list being filled (in next). Both are set
    // right when its last child is done.
    const sx_node *s = src;
    sx_node *before = nullptr; // copy made just before, in the same chain
    sx_node *filling = nullptr;
    for (;;) {
        while (s != nullptr) {
            sx_node *d = &nodes[dest->nsize++];
            if (before != nullptr)
                before->next = d;
            d->next = nullptr;
            d->len = s->len;
            if (sx_is_list(s)) {
                if (s->ptr != nullptr) {
                    d->ptr = const_cast<sx_node *>(s);
                    d->next = filling;
                    filling = d;
                    before = nullptr;
                    s = sx_first(s);
                    continue;
                }
                d->ptr = nullptr;
            } else if (s->len > 0) {
                d->ptr = data + dest->dsize;
                std::memcpy(d->ptr, s->ptr, s->len);
                data[dest->dsize + s->len] = '\0';
                dest->dsize += s->len + 1;
            } else {
                d->ptr = data;
            }
            before = d;
            s = s->next;
        }
        if (filling == nullptr)
            break;
        sx_node *list = filling;
        s = static_cast<const sx_node *>(list->ptr)->next;
        filling = list->next;
        list->ptr = list + 1;
        list->next = nullptr;
        before = list;
    }

    SX_ASSERT(dest->dsize == dsize);
    SX_ASSERT(dest->nsize == nsize);
    return 0;
}

void sx_free(sx_block *block) {
    if (block == nullptr)
        return;
    sx_heap_free(block->data);
    sx_heap_free(block->nodes);
    *block = sx_block{nullptr, 0, nullptr, 0};
}
