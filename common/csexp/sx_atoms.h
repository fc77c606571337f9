// The states of the four atom encodings: quoted strings with escapes,
// verbatim atoms of a declared length, hex atoms and base64 atoms. Each
// gathers its bytes in the parser's atom buffer, remembers in acc what it
// needs across chunks, and ends by completing the atom.
#pragma once

#include "common/csexp/sx_parser.h"

// Escape phases of a quoted string, held in acc.
enum : size_t {
    SXA_PLAIN = 0,
    SXA_BACKSLASH = 1000,
    SXA_HEX = 2000,        // after "\x"
    SXA_HEX1 = 3000,       // + value of one hex digit written as 0-9 or a-f
    SXA_HEX1_UPPER = 3500, // + value of one hex digit written as A-F
    SXA_AFTER_LF = 4010,   // after a backslash and LF
    SXA_AFTER_CR = 4013,   // after a backslash and CR
    SXA_OCTAL1 = 5000,     // + 64 * first octal digit
    SXA_OCTAL2 = 6000,     // + 64 * first + 8 * second octal digit
};

size_t sxp_quoted(parser *parser, const unsigned char *b, size_t n);
size_t sxp_verbatim(parser *parser, const unsigned char *b, size_t n);
size_t sxp_hex(parser *parser, const unsigned char *b, size_t n);
size_t sxp_base64(parser *parser, const unsigned char *b, size_t n);
