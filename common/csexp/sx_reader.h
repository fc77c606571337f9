// Incremental, lenient reader of S-expression text into an sx_block.
//
// The reader never reports a syntax error: what it cannot make sense of is
// skipped, ignored or dropped by fixed rules, and the tree does not depend on
// how the input is split into chunks. It fails only on bad arguments and
// exhausted memory.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstdio>

// Reads stream to its end (a read error ends the input like end of file) in
// chunks of `chunk` bytes, growing the data buffer in units of `dunit` bytes
// and the node array in units of `nunit` nodes. On success returns 0 and, when out is not
// null, hands the tree to *out (the caller releases it with sx_free); an
// input without a complete item gives nsize 0. On failure returns -1, leaves
// *out untouched and releases everything it built.
//
// With rest, a success also says what the text left unfinished at its end:
// the lenient reader keeps open lists as they stand and drops an atom still
// being read, so a text cut short reads as a shorter one unless its reader
// asks.
struct sx_read_rest {
    size_t open_lists; // lists not closed at the end
    bool open_atom;    // an atom was still being read at the end
};
int sx_read_file(sx_block *out, FILE *stream, size_t chunk, size_t dunit, size_t nunit,
                 sx_read_rest *rest = nullptr);
