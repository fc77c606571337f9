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
int sx_read_file(sx_block *out, FILE *stream, size_t chunk, size_t dunit, size_t nunit);
