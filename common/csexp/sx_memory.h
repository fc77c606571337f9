// The memory in which the reader builds a tree: a data buffer and a node
// array that grow in whole units and are handed over as an sx_block.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstddef>

// The first four fields are an sx_block, in the same order and with the same
// meaning; a finished tree is handed over by copying exactly these four.
struct sxm {
    char *data;     // NUL at offset 0, then every stored non-empty atom + NUL
    size_t dsize;   // bytes of data in use; 1 for an empty memory
    sx_node *nodes; // null until the first node is stored
    size_t nsize;   // nodes in use
    size_t dcap;    // capacity of data; 0 while it holds only its first NUL
    size_t dunit;   // growth unit of data (and of the parser's atom buffer)
    size_t ncap;    // capacity of nodes
    size_t nunit;   // growth unit of nodes (and of the parser's list stack)
};

// Makes room in data for an atom of len bytes and its NUL, growing the
// buffer to a multiple of dunit at least half again its capacity, and every
// atom's byte pointer with it. 0, or -1 when the allocation fails (nothing
// changed).
int sxm_grow_data(sxm *sxm, size_t len);
// Makes room for one more node, growing the array to a multiple of nunit at
// least half again its capacity, and every link into it. 0, or -1 when the
// allocation fails (nothing changed).
int sxm_grow_nodes(sxm *sxm);
// Stores len bytes as a new atom node with a null next: its bytes are copied
// into data (an empty atom points at the leading NUL). The node is not linked
// to anything. Returns the node, or null for a null sxm, null bytes with a
// non-zero len, a len too large to store, or a failed allocation (nothing
// stored).
sx_node *sxm_add_atom(sxm *sxm, const void *bytes, size_t len);
// Appends an empty list node with a null next, not linked to anything.
// Returns the node, or null when the node array cannot grow.
sx_node *sxm_add_list(sxm *sxm);
