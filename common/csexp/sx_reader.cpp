// Reading an S-expression file into an sx_block.
#include "common/csexp/sx_reader.h"

#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_parser.h"

int sx_read_file(sx_block *out, FILE *stream, size_t chunk, size_t dunit, size_t nunit,
                 sx_read_rest *rest) {
    // A chunk of 0 bytes would read nothing forever without reaching the end.
    if (stream == nullptr || chunk == 0)
        return -1;
    parser p;
    if (sxp_init(&p, dunit, nunit) != 0)
        return -1;
    void *buf = sx_heap_alloc(chunk);
    if (buf == nullptr) {
        sxp_release(&p);
        return -1;
    }
    // A read error ends the input as end of file does: what was read so far
    // is the configuration.
    while (!feof(stream) && !ferror(stream)) {
        size_t got = fread(buf, 1, chunk, stream);
        if (got == 0)
            break;
        if (sxp_feed(&p, buf, got) != 0) {
            sx_heap_free(buf);
            sxp_release(&p);
            return -1;
        }
    }
    sx_heap_free(buf);

    // Whatever is unfinished at the end (an atom still being read, open
    // lists) stays as it is: the atom is dropped with the atom buffer, the
    // lists hold what they got.
    if (rest != nullptr)
        *rest = sx_read_rest{p.depth, p.state != SXP_BETWEEN};
    if (out != nullptr) {
        *out = sx_block{p.sxm.data, p.sxm.dsize, p.sxm.nodes, p.sxm.nsize};
    } else {
        sx_heap_free(p.sxm.data);
        sx_heap_free(p.sxm.nodes);
    }
    sx_heap_free(p.atom);
    sx_heap_free(p.stack);
    return 0;
}
