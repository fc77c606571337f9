// Reading an S-expression file with the line on which every node begins, and
// with what the lenient reader passes over without a word: text that ends
// inside a list or an atom, and a ")" that closes nothing. For configuration
// checks, which must say where a problem stands.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstdint>
#include <cstdio>

struct sx_lines {
    sx_block tree;          // the tree exactly as sx_read_file reads it
    uint32_t *line;         // line of each node of tree, by index; from 1
    uint32_t *open_lists;   // line of each list still open at the end, outermost first
    size_t nopen;           // entries of open_lists
    uint32_t *stray_closes; // line of each ")" that closed nothing
    size_t nstray;          // entries of stray_closes
    uint32_t unfinished;    // line on which an atom left unfinished began; 0 for none
};

// Reads stream to its end with the given growth units. A list's line is that
// of its "(", an atom's that of the byte that completed it. 0 with *out
// filled (release with sx_lines_free), or -1 for a null argument, a 0 unit or
// exhausted memory (*out untouched).
int sx_lines_read(sx_lines *out, FILE *stream, size_t dunit, size_t nunit);
// The line of a node of lines->tree, 0 for a node that is not in it.
uint32_t sx_lines_of(const sx_lines *lines, const sx_node *node);
// Releases everything and empties the record; a second call is harmless.
void sx_lines_free(sx_lines *lines);
