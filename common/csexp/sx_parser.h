// The incremental reader's state machine: the parser record, its set-up and
// feed, the between-items, token and length-prefix states, and the steps the
// atom states share (atom buffer growth, completing an atom).
//
// The parser holds everything needed to resume in the middle of any item, so
// the tree does not depend on where the input is split into chunks.
#pragma once

#include "common/csexp/sx_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : int {
    SXP_BETWEEN = 0,  // between items
    SXP_TOKEN = 1,    // a token
    SXP_QUOTED = 2,   // a quoted string
    SXP_VERBATIM = 3, // the raw bytes of a verbatim atom
    SXP_HEX = 4,      // a hex atom
    SXP_BASE64 = 5,   // a base64 atom
    SXP_PREFIX = 6,   // a run of digits: a token or a length prefix
};

struct parser {
    ::sxm sxm;           // the memory being filled
    int state;           // SXP_*: the handler of the next byte
    size_t acc;          // per-state accumulator, 0 on entering SXP_BETWEEN
    int64_t prev;        // index of the item last completed at this level, -1
    unsigned char *atom; // bytes of the atom being read
    size_t alen;         // bytes in atom
    size_t acap;         // capacity of atom
    size_t *stack;       // indices of the open lists, innermost last
    size_t depth;        // open lists
    size_t scap;         // capacity of stack
};

// A state handler takes n >= 1 bytes and returns how many it consumed, 1 to
// n, or 0 when memory ran out.
using sxp_handler = size_t (*)(parser *parser, const unsigned char *b, size_t n);

// Prepares an empty parser with the given growth units (neither may be 0).
// 0, or -1 for a 0 unit or a failed allocation (nothing to release then).
int sxp_init(parser *parser, size_t dunit, size_t nunit);
// Hands n bytes to the state handlers until all are consumed. 0, or -1 for a
// null parser, null bytes with n > 0, or exhausted memory; after a failure
// the parser may only be released.
int sxp_feed(parser *parser, const void *bytes, size_t n);
// Releases everything the parser holds, the tree included, and empties it.
void sxp_release(parser *parser);

// Makes room for k more bytes in the atom buffer, growing it to a multiple
// of dunit. 0, or -1 (buffer unchanged).
int sxp_grow_atom(parser *parser, size_t k);
// Appends k bytes to the atom buffer, growing it first. 0, or -1.
inline int sxp_append(parser *parser, const void *bytes, size_t k) {
    if (k == 0)
        return 0;
    if (k > parser->acap - parser->alen && sxp_grow_atom(parser, k) != 0)
        return -1;
    std::memcpy(parser->atom + parser->alen, bytes, k);
    parser->alen += k;
    return 0;
}
// Stores len bytes as an atom, links it after the last item of the current
// level, empties the atom buffer and returns to SXP_BETWEEN. bytes may be
// the atom buffer or input not yet copied into it. 0, or -1.
int sxp_complete(parser *parser, const void *bytes, size_t len);
// Completes the atom gathered in the atom buffer. 0, or -1.
int sxp_complete_atom(parser *parser);

size_t sxp_between_items(parser *parser, const unsigned char *b, size_t n);
size_t sxp_token(parser *parser, const unsigned char *b, size_t n);
size_t sxp_length_prefix(parser *parser, const unsigned char *b, size_t n);
