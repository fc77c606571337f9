// Reading with line positions gives the tree the plain reader gives, and
// every node a line within the text that never goes back in document order.
#include "common/csexp/sx_check.h"
#include "common/csexp/sx_lines.h"
#include "common/csexp/sx_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_sx_lines: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    require(f != nullptr, "fmemopen failed");
    sx_lines l;
    require(sx_lines_read(&l, f, 16, 4) == 0, "sx_lines_read failed");
    rewind(f);
    sx_block plain{};
    require(sx_read_file(&plain, f, 64, 16, 4) == 0, "sx_read_file failed");
    fclose(f);

    require(l.tree.nsize == plain.nsize, "node counts differ");
    if (plain.nsize > 0)
        require(sx_check_render(&l.tree.nodes[0]) == sx_check_render(&plain.nodes[0]),
                "trees differ");
    auto last = static_cast<uint32_t>(1 + std::count(data, data + size, '\n'));
    uint32_t prev = 1;
    for (size_t i = 0; i < l.tree.nsize; i++) {
        uint32_t line = sx_lines_of(&l, &l.tree.nodes[i]);
        require(line >= prev && line <= last, "node line out of order or range");
        prev = line;
    }
    for (size_t i = 0; i < l.nopen; i++)
        require(l.open_lists[i] >= 1 && l.open_lists[i] <= last, "open list line out of range");
    for (size_t i = 0; i < l.nstray; i++)
        require(l.stray_closes[i] >= 1 && l.stray_closes[i] <= last, "stray line out of range");
    require(l.unfinished <= last, "unfinished atom line out of range");
    sx_free(&plain);
    sx_lines_free(&l);
    return 0;
}
