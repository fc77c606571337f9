// The reader's state machine: set-up, feed, and the states between items,
// in a token and in a run of digits.
#include "common/csexp/sx_parser.h"

#include "common/csexp/sx_assert.h"
#include "common/csexp/sx_atoms.h"
#include "common/csexp/sx_heap.h"

#include <array>
#include <cstring>

namespace {

enum : unsigned char {
    SPACE = 1, // SP, TAB, LF, CR: nothing else separates items
    ENDS = 2,  // ends a token: a space, a parenthesis, a quote, "#" or "|"
    DIGIT = 4,
};

constexpr std::array<unsigned char, 256> make_classes() {
    std::array<unsigned char, 256> c{};
    for (unsigned char b : {' ', '\t', '\n', '\r'})
        c[b] = SPACE | ENDS;
    for (unsigned char b : {'(', ')', '"', '#', '|'})
        c[b] = ENDS;
    for (unsigned char b = '0'; b <= '9'; b++)
        c[b] = DIGIT;
    return c;
}

constexpr std::array<unsigned char, 256> classes = make_classes();

bool is(unsigned char b, unsigned char cls) {
    return (classes[b] & cls) != 0;
}

// Links the node at index i after the last item of the current level, or
// makes it the first child of the innermost open list. The very first item
// of the text is node 0 and needs no link.
void attach(parser *parser, size_t i) {
    sx_node *nodes = parser->sxm.nodes;
    if (parser->prev != -1)
        nodes[parser->prev].next = &nodes[i];
    else if (parser->depth > 0)
        nodes[parser->stack[parser->depth - 1]].ptr = &nodes[i];
}

int open_list(parser *parser) {
    if (sxm_add_list(&parser->sxm) == nullptr)
        return -1;
    if (parser->depth == parser->scap) {
        size_t scap = parser->scap + parser->sxm.nunit;
        if (scap < parser->scap || scap > SIZE_MAX / sizeof(size_t))
            return -1;
        void *p =
            sx_heap_resize(parser->stack, parser->depth * sizeof(size_t), scap * sizeof(size_t));
        if (p == nullptr)
            return -1;
        parser->stack = static_cast<size_t *>(p);
        parser->scap = scap;
    }
    size_t i = parser->sxm.nsize - 1;
    attach(parser, i);
    parser->stack[parser->depth++] = i;
    parser->prev = -1;
    return 0;
}

// A handler that ends its item at a delimiter returns to sxp_feed, which
// hands the delimiter to the between-items state; calling that state from
// here would nest one call per item of the chunk. Only a delimiter at the
// very start of a chunk, where there is nothing to return, is passed on.
size_t then_between(parser *parser, const unsigned char *b, size_t j, size_t n) {
    return j > 0 ? j : sxp_between_items(parser, b, n);
}

constexpr std::array<sxp_handler, 7> handlers = {
    sxp_between_items, sxp_token, sxp_quoted, sxp_verbatim, sxp_hex, sxp_base64, sxp_length_prefix,
};

} // namespace

int sxp_init(parser *parser, size_t dunit, size_t nunit) {
    if (parser == nullptr || dunit == 0 || nunit == 0)
        return -1;
    char *data = static_cast<char *>(sx_heap_alloc(1));
    if (data == nullptr)
        return -1;
    data[0] = '\0';
    *parser = {};
    parser->sxm = {data, 1, nullptr, 0, 0, dunit, 0, nunit};
    parser->state = SXP_BETWEEN;
    parser->prev = -1;
    return 0;
}

int sxp_feed(parser *parser, const void *bytes, size_t n) {
    if (parser == nullptr || (n > 0 && bytes == nullptr))
        return -1;
    const unsigned char *b = static_cast<const unsigned char *>(bytes);
    size_t consumed = 0;
    while (consumed < n) {
        SX_ASSERT(parser->state >= 0 && parser->state < 7);
        size_t used = handlers[parser->state](parser, b + consumed, n - consumed);
        if (used == 0)
            return -1;
        SX_ASSERT(used <= n - consumed);
        consumed += used;
    }
    return 0;
}

void sxp_release(parser *parser) {
    if (parser == nullptr)
        return;
    sx_heap_free(parser->sxm.data);
    sx_heap_free(parser->sxm.nodes);
    sx_heap_free(parser->atom);
    sx_heap_free(parser->stack);
    *parser = {};
    parser->prev = -1;
}

int sxp_grow_atom(parser *parser, size_t k) {
    if (k <= parser->acap - parser->alen)
        return 0;
    size_t dunit = parser->sxm.dunit;
    if (k > SIZE_MAX - parser->alen)
        return -1;
    size_t need = parser->alen + k;
    if (need % dunit != 0) {
        if (need - need % dunit > SIZE_MAX - dunit)
            return -1;
        need = need - need % dunit + dunit;
    }
    SX_ASSERT(need % parser->sxm.dunit == 0);
    void *p = sx_heap_resize(parser->atom, parser->alen, need);
    if (p == nullptr)
        return -1;
    parser->atom = static_cast<unsigned char *>(p);
    parser->acap = need;
    return 0;
}

int sxp_complete(parser *parser, const void *bytes, size_t len) {
    if (sxm_add_atom(&parser->sxm, bytes, len) == nullptr)
        return -1;
    size_t i = parser->sxm.nsize - 1;
    attach(parser, i);
    parser->prev = static_cast<int64_t>(i);
    parser->alen = 0;
    parser->state = SXP_BETWEEN;
    return 0;
}

int sxp_complete_atom(parser *parser) {
    return sxp_complete(parser, parser->atom, parser->alen);
}

size_t sxp_between_items(parser *parser, const unsigned char *b, size_t n) {
    parser->acc = 0;
    size_t i = 0;
    while (i < n && is(b[i], SPACE))
        i++;
    if (i == n)
        return n;
    size_t used;
    switch (b[i]) {
    case '"':
        parser->state = SXP_QUOTED;
        return i + 1;
    case '#':
        parser->state = SXP_HEX;
        return i + 1;
    case '|':
        parser->state = SXP_BASE64;
        return i + 1;
    case '(':
        return open_list(parser) == 0 ? i + 1 : 0;
    case ')':
        // A ")" with no list open is ignored.
        if (parser->depth > 0)
            parser->prev = static_cast<int64_t>(parser->stack[--parser->depth]);
        return i + 1;
    default:
        if (is(b[i], DIGIT)) {
            parser->state = SXP_PREFIX;
            used = sxp_length_prefix(parser, b + i, n - i);
        } else {
            parser->state = SXP_TOKEN;
            used = sxp_token(parser, b + i, n - i);
        }
        return used == 0 ? 0 : i + used;
    }
}

size_t sxp_token(parser *parser, const unsigned char *b, size_t n) {
    size_t j = 0;
    while (j < n && !is(b[j], ENDS))
        j++;
    if (j == n)
        return sxp_append(parser, b, n) == 0 ? n : 0;
    // A token that lies whole in this chunk is stored straight from it.
    int r = parser->alen == 0 ? sxp_complete(parser, b, j)
                              : (sxp_append(parser, b, j) == 0 ? sxp_complete_atom(parser) : -1);
    if (r != 0)
        return 0;
    return then_between(parser, b, j, n);
}

size_t sxp_length_prefix(parser *parser, const unsigned char *b, size_t n) {
    size_t j = 0;
    while (j < n && is(b[j], DIGIT)) {
        parser->acc = parser->acc * 10 + (b[j] - '0');
        j++;
    }
    // The digits are kept so that the run can still turn out to be a token.
    if (sxp_append(parser, b, j) != 0)
        return 0;
    if (j == n)
        return n;
    switch (b[j]) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '(':
    case ')':
        if (sxp_complete_atom(parser) != 0)
            return 0;
        return then_between(parser, b, j, n);
    case ':':
        parser->alen = 0;
        if (parser->acc == 0) {
            if (sxp_complete_atom(parser) != 0)
                return 0;
        } else {
            parser->state = SXP_VERBATIM;
        }
        return j + 1;
    case '"':
        parser->alen = 0;
        parser->acc = 0;
        parser->state = SXP_QUOTED;
        return j + 1;
    case '#':
        parser->alen = 0;
        parser->acc = 0;
        parser->state = SXP_HEX;
        return j + 1;
    case '|':
        parser->alen = 0;
        parser->acc = 0;
        parser->state = SXP_BASE64;
        return j + 1;
    default: {
        parser->state = SXP_TOKEN;
        size_t used = sxp_token(parser, b + j, n - j);
        return used == 0 ? 0 : j + used;
    }
    }
}
