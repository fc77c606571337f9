// S-expression tree: nodes and self-contained blocks of nodes.
//
// A block holds every atom byte in one data buffer (a NUL at offset 0, each
// non-empty atom followed by a NUL) and every node in one array in preorder,
// so a tree is released with two frees and copied with two allocations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// len of a list node.
inline constexpr size_t SX_LIST = SIZE_MAX;

struct sx_node {
    void *ptr;     // atom: its bytes, never null; list: first child or null
    size_t len;    // atom: byte count; list: SX_LIST
    sx_node *next; // following sibling, or null
};

struct sx_block {
    char *data;     // data buffer
    size_t dsize;   // bytes of data in use
    sx_node *nodes; // node array; nodes[0] is the first top-level item
    size_t nsize;   // nodes in use
};

inline bool sx_is_list(const sx_node *n) {
    return n->len == SX_LIST;
}
// An atom's bytes, NUL-terminated in every block this library builds.
inline const char *sx_text(const sx_node *n) {
    return static_cast<const char *>(n->ptr);
}
// Whether n is an atom whose bytes are exactly word: the one way keywords
// are matched, so that an atom with a NUL inside never passes for the word
// before the NUL.
inline bool sx_atom_is(const sx_node *n, std::string_view word) {
    return !sx_is_list(n) && std::string_view(sx_text(n), n->len) == word;
}
// A list's first child, or null.
inline sx_node *sx_first(const sx_node *n) {
    return static_cast<sx_node *>(n->ptr);
}

// Copies src, every sibling after it and all their descendants into dest,
// exactly sized, in two allocations; the copy of src is dest->nodes[0].
// dest must be empty: its old buffers are not released. 0 on success; -1 for
// a null argument (dest untouched) or a failed allocation (dest left empty).
int sx_dup(sx_block *dest, const sx_node *src);
// Releases both buffers and zeroes the block. Null or empty blocks are left
// alone, so a second call is harmless.
void sx_free(sx_block *block);
