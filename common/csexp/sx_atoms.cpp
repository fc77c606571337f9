// The states of the four atom encodings.
#include "common/csexp/sx_atoms.h"

#include <array>

namespace {

constexpr unsigned char NONE = 0xff;

// Digit values of the hex and base64 alphabets; NONE for other bytes.
constexpr std::array<unsigned char, 256> make_hex() {
    std::array<unsigned char, 256> v{};
    v.fill(NONE);
    for (int i = 0; i < 10; i++)
        v['0' + i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 6; i++) {
        v['a' + i] = static_cast<unsigned char>(10 + i);
        v['A' + i] = static_cast<unsigned char>(10 + i);
    }
    return v;
}

constexpr std::array<unsigned char, 256> make_base64() {
    std::array<unsigned char, 256> v{};
    v.fill(NONE);
    for (int i = 0; i < 26; i++) {
        v['A' + i] = static_cast<unsigned char>(i);
        v['a' + i] = static_cast<unsigned char>(26 + i);
    }
    for (int i = 0; i < 10; i++)
        v['0' + i] = static_cast<unsigned char>(52 + i);
    v['+'] = 62;
    v['/'] = 63;
    return v;
}

constexpr std::array<unsigned char, 256> hex_value = make_hex();
constexpr std::array<unsigned char, 256> base64_value = make_base64();

bool is_octal(unsigned char b) {
    return b >= '0' && b <= '7';
}

unsigned char byte(size_t v) {
    return static_cast<unsigned char>(v);
}

// The first digit of a hex escape as it was written, in the case its phase
// records.
unsigned char hex_digit(size_t phase) {
    bool upper = phase >= SXA_HEX1_UPPER;
    size_t v = phase - (upper ? SXA_HEX1_UPPER : SXA_HEX1);
    if (v < 10)
        return byte('0' + v);
    return byte((upper ? 'A' : 'a') + v - 10);
}

// One byte e after a backslash, or inside an escape that the phase records.
// Appends what the escape yields and returns the next phase, or SIZE_MAX when
// the atom buffer cannot grow. A byte that cuts an escape short is taken
// literally: it neither closes the string nor starts another escape.
size_t escape(parser *parser, size_t phase, unsigned char e) {
    unsigned char out[4];
    size_t k = 0;
    size_t next = SXA_PLAIN;
    if (phase == SXA_BACKSLASH) {
        switch (e) {
        case 'n':
            out[k++] = '\n';
            break;
        case 't':
            out[k++] = '\t';
            break;
        case 'r':
            out[k++] = '\r';
            break;
        case 'v':
            out[k++] = '\v';
            break;
        case 'b':
            out[k++] = '\b';
            break;
        case 'f':
            out[k++] = '\f';
            break;
        case '"':
        case '\'':
        case '\\':
            out[k++] = e;
            break;
        case 'x':
            next = SXA_HEX;
            break;
        case '0':
        case '1':
        case '2':
        case '3':
            next = SXA_OCTAL1 + 64 * static_cast<size_t>(e - '0');
            break;
        case '\n':
            next = SXA_AFTER_LF;
            break;
        case '\r':
            next = SXA_AFTER_CR;
            break;
        default:
            out[k++] = '\\';
            out[k++] = e;
            break;
        }
    } else if (phase == SXA_HEX) {
        unsigned char v = hex_value[e];
        if (v == NONE) {
            out[k++] = '\\';
            out[k++] = 'x';
            out[k++] = e;
        } else {
            next = (e >= 'A' && e <= 'F' ? SXA_HEX1_UPPER : SXA_HEX1) + v;
        }
    } else if (phase >= SXA_HEX1 && phase < SXA_AFTER_LF) {
        unsigned char v = hex_value[e];
        size_t first = phase - (phase >= SXA_HEX1_UPPER ? SXA_HEX1_UPPER : SXA_HEX1);
        if (v == NONE) {
            out[k++] = '\\';
            out[k++] = 'x';
            out[k++] = hex_digit(phase);
            out[k++] = e;
        } else {
            out[k++] = byte(16 * first + v);
        }
    } else if (phase == SXA_AFTER_LF || phase == SXA_AFTER_CR) {
        // A CR LF or LF CR pair after the backslash is one line break.
        if (e != (phase == SXA_AFTER_LF ? '\r' : '\n'))
            out[k++] = e;
    } else if (phase >= SXA_OCTAL1 && phase < SXA_OCTAL2) {
        size_t d1 = (phase - SXA_OCTAL1) / 64;
        if (is_octal(e)) {
            next = SXA_OCTAL2 + 64 * d1 + 8 * static_cast<size_t>(e - '0');
        } else {
            out[k++] = '\\';
            out[k++] = byte('0' + d1);
            out[k++] = e;
        }
    } else {
        size_t v = phase - SXA_OCTAL2;
        if (is_octal(e)) {
            out[k++] = byte(v + static_cast<size_t>(e - '0'));
        } else {
            out[k++] = '\\';
            out[k++] = byte('0' + v / 64);
            out[k++] = byte('0' + v / 8 % 8);
            out[k++] = e;
        }
    }
    if (sxp_append(parser, out, k) != 0)
        return SIZE_MAX;
    return next;
}

// Counts the bytes before the first `close` (all n when there is none) that
// are in an alphabet, so that a handler can make room for a whole run in one
// step and then append without checks.
size_t run_length(const unsigned char *b, size_t n, unsigned char close,
                  const std::array<unsigned char, 256> &alphabet, size_t *end) {
    size_t count = 0;
    size_t i = 0;
    for (; i < n && b[i] != close; i++)
        count += alphabet[b[i]] != NONE;
    *end = i;
    return count;
}

} // namespace

size_t sxp_quoted(parser *parser, const unsigned char *b, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (parser->acc != SXA_PLAIN) {
            size_t next = escape(parser, parser->acc, b[i++]);
            if (next == SIZE_MAX)
                return 0;
            parser->acc = next;
            continue;
        }
        size_t j = i;
        while (j < n && b[j] != '"' && b[j] != '\\')
            j++;
        if (j < n && b[j] == '"' && parser->alen == 0) {
            // A string without escapes that lies whole in this chunk is
            // stored straight from it.
            return sxp_complete(parser, b + i, j - i) == 0 ? j + 1 : 0;
        }
        if (sxp_append(parser, b + i, j - i) != 0)
            return 0;
        if (j == n)
            return n;
        if (b[j] == '"')
            return sxp_complete_atom(parser) == 0 ? j + 1 : 0;
        parser->acc = SXA_BACKSLASH;
        i = j + 1;
    }
    return n;
}

size_t sxp_verbatim(parser *parser, const unsigned char *b, size_t n) {
    if (parser->acc > n) {
        if (sxp_append(parser, b, n) != 0)
            return 0;
        parser->acc -= n;
        return n;
    }
    size_t k = parser->acc;
    int r = parser->alen == 0 ? sxp_complete(parser, b, k)
                              : (sxp_append(parser, b, k) == 0 ? sxp_complete_atom(parser) : -1);
    return r == 0 ? k : 0;
}

size_t sxp_hex(parser *parser, const unsigned char *b, size_t n) {
    size_t end;
    size_t digits = run_length(b, n, '#', hex_value, &end);
    if (sxp_grow_atom(parser, (digits + (parser->acc != 0)) / 2) != 0)
        return 0;
    unsigned char *out = parser->atom + parser->alen;
    for (size_t i = 0; i < end; i++) {
        unsigned char v = hex_value[b[i]];
        if (v == NONE)
            continue;
        if (parser->acc == 0) {
            parser->acc = b[i];
        } else {
            *out++ = byte(16 * hex_value[parser->acc] + v);
            parser->acc = 0;
        }
    }
    parser->alen = static_cast<size_t>(out - parser->atom);
    if (end == n)
        return n;
    // An unpaired digit at the end is dropped.
    return sxp_complete_atom(parser) == 0 ? end + 1 : 0;
}

size_t sxp_base64(parser *parser, const unsigned char *b, size_t n) {
    size_t end;
    size_t chars = run_length(b, n, '|', base64_value, &end);
    if (sxp_grow_atom(parser, chars) != 0)
        return 0;
    // The atom buffer holds the decoded bytes, then the characters of an
    // unfinished group; every fourth character decodes the group in place.
    for (size_t i = 0; i < end; i++) {
        unsigned char c = b[i];
        if (base64_value[c] == NONE)
            continue;
        parser->atom[parser->alen++] = c;
        if (parser->alen - parser->acc < 4)
            continue;
        unsigned char *q = parser->atom + parser->acc;
        unsigned c0 = base64_value[q[0]], c1 = base64_value[q[1]];
        unsigned c2 = base64_value[q[2]], c3 = base64_value[q[3]];
        q[0] = byte(c0 * 4 + c1 / 16);
        q[1] = byte((c1 % 16) * 16 + c2 / 4);
        q[2] = byte((c2 % 4) * 64 + c3);
        parser->acc += 3;
        parser->alen = parser->acc;
    }
    if (end == n)
        return n;
    // At the closing "|", two pending characters make one byte and three make
    // two; a single one carries too few bits for a byte and is dropped.
    unsigned char *q = parser->atom + parser->acc;
    size_t pending = parser->alen - parser->acc;
    size_t made = 0;
    if (pending >= 2) {
        unsigned c0 = base64_value[q[0]], c1 = base64_value[q[1]];
        unsigned c2 = pending == 3 ? base64_value[q[2]] : 0;
        q[0] = byte(c0 * 4 + c1 / 16);
        q[1] = byte((c1 % 16) * 16 + c2 / 4);
        made = pending - 1;
    }
    parser->alen = parser->acc + made;
    return sxp_complete_atom(parser) == 0 ? end + 1 : 0;
}
