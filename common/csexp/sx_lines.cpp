// Reading an S-expression file with line positions.
#include "common/csexp/sx_lines.h"

#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_parser.h"

#include <cstdint>

namespace {

// A growable run of line numbers.
struct line_list {
    uint32_t *v = nullptr;
    size_t n = 0;
    size_t cap = 0;
};

bool line_push(line_list *l, uint32_t line) {
    if (l->n == l->cap) {
        size_t cap = l->cap == 0 ? 64 : l->cap;
        if (cap > SIZE_MAX / 2 / sizeof(uint32_t))
            return false;
        void *p = sx_heap_resize(l->v, l->n * sizeof(uint32_t), 2 * cap * sizeof(uint32_t));
        if (p == nullptr)
            return false;
        l->v = static_cast<uint32_t *>(p);
        l->cap = 2 * cap;
    }
    l->v[l->n++] = line;
    return true;
}

// Bytes in which a ")" is an atom's content rather than a delimiter.
bool inside_atom(int state) {
    return state == SXP_QUOTED || state == SXP_VERBATIM || state == SXP_HEX || state == SXP_BASE64;
}

struct reading {
    parser p{}; // empty, so releasing it is harmless when sxp_init fails
    line_list nodes, open, stray;
    ~reading() {
        sxp_release(&p);
        sx_heap_free(nodes.v);
        sx_heap_free(open.v);
        sx_heap_free(stray.v);
    }
};

} // namespace

int sx_lines_read(sx_lines *out, FILE *stream, size_t dunit, size_t nunit) {
    if (out == nullptr || stream == nullptr)
        return -1;
    reading r;
    if (sxp_init(&r.p, dunit, nunit) != 0)
        return -1;
    uint32_t line = 1;
    uint32_t atom_line = 0;
    unsigned char buf[4096];
    // The parser takes one byte at a time, so every node it adds is known to
    // begin on the line of the byte that added it. A check reads one small
    // file once; the cost does not matter.
    while (!feof(stream) && !ferror(stream)) {
        size_t got = fread(buf, 1, sizeof buf, stream);
        if (got == 0)
            break;
        for (size_t i = 0; i < got; i++) {
            int state = r.p.state;
            size_t before = r.p.sxm.nsize;
            if (buf[i] == ')' && r.p.depth == 0 && !inside_atom(state) &&
                !line_push(&r.stray, line))
                return -1;
            if (sxp_feed(&r.p, &buf[i], 1) != 0)
                return -1;
            for (size_t k = before; k < r.p.sxm.nsize; k++)
                if (!line_push(&r.nodes, line))
                    return -1;
            // A new atom began with this byte: after a gap, or right after
            // the one it completed.
            if (r.p.state != SXP_BETWEEN && (state == SXP_BETWEEN || r.p.sxm.nsize > before))
                atom_line = line;
            if (buf[i] == '\n' && line < UINT32_MAX)
                line++;
        }
    }
    for (size_t k = 0; k < r.p.depth; k++)
        if (!line_push(&r.open, r.nodes.v[r.p.stack[k]]))
            return -1;

    *out = sx_lines{};
    out->tree = sx_block{r.p.sxm.data, r.p.sxm.dsize, r.p.sxm.nodes, r.p.sxm.nsize};
    r.p.sxm.data = nullptr;
    r.p.sxm.nodes = nullptr;
    r.p.sxm.nsize = 0;
    out->line = r.nodes.v;
    r.nodes.v = nullptr;
    out->open_lists = r.open.v;
    out->nopen = r.open.n;
    r.open.v = nullptr;
    out->stray_closes = r.stray.v;
    out->nstray = r.stray.n;
    r.stray.v = nullptr;
    out->unfinished = r.p.state != SXP_BETWEEN ? atom_line : 0;
    return 0;
}

uint32_t sx_lines_of(const sx_lines *lines, const sx_node *node) {
    if (lines == nullptr || node == nullptr || lines->tree.nodes == nullptr)
        return 0;
    const sx_node *first = lines->tree.nodes;
    if (node < first || node >= first + lines->tree.nsize)
        return 0;
    return lines->line[node - first];
}

void sx_lines_free(sx_lines *lines) {
    if (lines == nullptr)
        return;
    sx_free(&lines->tree);
    sx_heap_free(lines->line);
    sx_heap_free(lines->open_lists);
    sx_heap_free(lines->stray_closes);
    *lines = sx_lines{};
}
