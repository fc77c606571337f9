// Arbitrary bytes never make the reader fail or crash; the tree does not
// depend on how the input is split or on the growth units; a copy of the
// tree reproduces it.
#include "common/csexp/sx_check.h"
#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_parser.h"
#include "common/csexp/sx_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_sx_reader: %s\n", what);
        std::abort();
    }
}

// Feeds the input in pieces of at most `piece` bytes and hands the tree over.
sx_block read_pieces(const uint8_t *data, size_t size, size_t piece, size_t dunit, size_t nunit) {
    parser p;
    require(sxp_init(&p, dunit, nunit) == 0, "sxp_init failed");
    for (size_t at = 0; at < size; at += piece) {
        size_t k = size - at < piece ? size - at : piece;
        require(sxp_feed(&p, data + at, k) == 0, "sxp_feed failed");
    }
    sx_block b{p.sxm.data, p.sxm.dsize, p.sxm.nodes, p.sxm.nsize};
    p.sxm = {};
    sxp_release(&p);
    return b;
}

void require_same(const sx_block &a, const sx_block &b, const char *what) {
    require(sx_check_layout(a).empty() && sx_check_layout(b).empty(), "bad block layout");
    require(a.nsize == b.nsize && a.dsize == b.dsize, what);
    require(std::memcmp(a.data, b.data, a.dsize) == 0, what);
    if (a.nsize > 0)
        require(sx_check_render(&a.nodes[0]) == sx_check_render(&b.nodes[0]), what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sx_block whole = read_pieces(data, size, size > 0 ? size : 1, 4096, 64);
    // Byte at a time, with every growth moving its buffer.
    sx_heap_set_moving(true);
    sx_block bytes = read_pieces(data, size, 1, 7, 3);
    sx_heap_set_moving(false);
    require_same(whole, bytes, "whole and byte-at-a-time trees differ");
    sx_free(&bytes);

    // The file interface with a chunk size taken from the input's length.
    if (size > 0) {
        FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
        require(f != nullptr, "fmemopen failed");
        sx_block file{};
        require(sx_read_file(&file, f, 1 + size % 13, 1 + size % 5, 1 + size % 3) == 0,
                "sx_read_file failed");
        std::fclose(f);
        require_same(whole, file, "sx_read_file tree differs");
        sx_free(&file);
    }

    if (whole.nsize > 0) {
        sx_block copy{};
        require(sx_dup(&copy, &whole.nodes[0]) == 0, "sx_dup failed");
        require_same(whole, copy, "sx_dup copy differs");
        sx_free(&copy);
    }
    sx_free(&whole);
    return 0;
}
