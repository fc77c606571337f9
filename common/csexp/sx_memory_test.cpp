// Tree memory and parser growth: capacities in whole units, pointers moved
// with their buffers, argument checks, and the invariant assertion.
#include "common/csexp/sx_memory.h"

#include "common/csexp/sx_assert.h"
#include "common/csexp/sx_check.h"
#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_parser.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

// A parser released at the end of the scope.
struct reading {
    parser p{};
    int rc;
    reading(size_t dunit, size_t nunit) : rc(sxp_init(&p, dunit, nunit)) {}
    ~reading() { sxp_release(&p); }
    reading(const reading &) = delete;
    reading &operator=(const reading &) = delete;
    int feed(const std::string &s) { return sxp_feed(&p, s.data(), s.size()); }
    sx_block block() const { return sx_block{p.sxm.data, p.sxm.dsize, p.sxm.nodes, p.sxm.nsize}; }
};

TEST(SxMemory, ServerUnitsGrowInWholeUnits) {
    reading r(4096, 64);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.p.sxm.dsize, 1u);
    EXPECT_EQ(r.p.sxm.dcap, 0u);
    EXPECT_EQ(r.p.sxm.nodes, nullptr);
    EXPECT_EQ(r.p.sxm.data[0], '\0');

    ASSERT_EQ(r.feed("(a "), 0);
    EXPECT_EQ(r.p.sxm.dcap, 4096u);
    EXPECT_EQ(r.p.sxm.ncap, 64u);
    // 62 more atoms fill the array to 64 nodes; the 65th moves it to 128.
    for (int i = 0; i < 62; i++)
        ASSERT_EQ(r.feed("b "), 0);
    EXPECT_EQ(r.p.sxm.nsize, 64u);
    EXPECT_EQ(r.p.sxm.ncap, 64u);
    ASSERT_EQ(r.feed("c "), 0);
    EXPECT_EQ(r.p.sxm.ncap, 128u);
    // The open-list stack grows by nunit entries too.
    EXPECT_EQ(r.p.scap, 64u);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(r.feed("("), 0);
    EXPECT_EQ(r.p.depth, 65u);
    EXPECT_EQ(r.p.scap, 128u);
    EXPECT_EQ(sx_check_layout(r.block()), "");
}

// Capacities are the smallest multiple of the unit that holds what is
// needed: the data buffer its bytes with the new atom's NUL, the atom buffer
// the bytes gathered so far.
TEST(SxMemory, CapacityIsSmallestMultipleOfUnit) {
    struct row {
        const char *text;
        size_t dunit;
        size_t dcap, acap;
    };
    const row rows[] = {
        {"abc ", 4, 8, 0},          // 1 + 3 + NUL = 5 bytes
        {"ab ", 4, 4, 0},           // exactly 4
        {"ab cd ", 4, 8, 0},        // 7 bytes
        {"\"abcde\" ", 4, 8, 0},    // straight from the chunk: no atom buffer
        {"\"a\\tbcde\" ", 4, 8, 8}, // an escape gathers in the atom buffer
        {"#6162636465#", 3, 9, 6},  {"x", 1, 0, 1},
    };
    for (const row &w : rows) {
        SCOPED_TRACE(w.text);
        reading r(w.dunit, 1);
        ASSERT_EQ(r.feed(w.text), 0);
        EXPECT_EQ(r.p.sxm.dcap, w.dcap);
        EXPECT_EQ(r.p.acap, w.acap);
    }
}

// Each growth adds at least half the capacity, so a large configuration
// moves its buffers a logarithmic number of times, not once per unit.
TEST(SxMemory, GrowthIsGeometricInWholeUnits) {
    reading r(4096, 64);
    ASSERT_EQ(r.rc, 0);
    std::string atoms;
    for (int i = 0; i < 100000; i++)
        atoms += "abcdefgh ";
    size_t ncaps = 0, dcaps = 0, ncap = 0, dcap = 0;
    for (size_t at = 0; at < atoms.size(); at += 9) {
        ASSERT_EQ(sxp_feed(&r.p, atoms.data() + at, 9), 0);
        if (r.p.sxm.ncap != ncap) {
            ncaps++;
            ncap = r.p.sxm.ncap;
            EXPECT_EQ(ncap % 64, 0u);
        }
        if (r.p.sxm.dcap != dcap) {
            dcaps++;
            dcap = r.p.sxm.dcap;
            EXPECT_EQ(dcap % 4096, 0u);
        }
    }
    EXPECT_EQ(r.p.sxm.nsize, 100000u);
    EXPECT_LT(ncaps, 30u);
    EXPECT_LT(dcaps, 30u);
    EXPECT_EQ(sx_check_layout(r.block()), "");
}

TEST(SxMemory, AddAtomChecksArguments) {
    reading r(16, 4);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(sxm_add_atom(nullptr, "a", 1), nullptr);
    EXPECT_EQ(sxm_add_atom(&r.p.sxm, nullptr, 1), nullptr);
    // A length that cannot be stored, even if the bytes were there.
    EXPECT_EQ(sxm_add_atom(&r.p.sxm, "a", SIZE_MAX), nullptr);
    EXPECT_EQ(r.p.sxm.nsize, 0u);
    sx_node *n = sxm_add_atom(&r.p.sxm, nullptr, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->ptr, r.p.sxm.data);
    n = sxm_add_atom(&r.p.sxm, "a\0b", 3);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::memcmp(n->ptr, "a\0b\0", 4), 0);
    EXPECT_EQ(r.p.sxm.dsize, 5u);
}

// A failed growth changes nothing: the memory stays usable.
TEST(SxMemory, FailedGrowthChangesNothing) {
    reading r(2, 1);
    ASSERT_EQ(r.feed("(ab cd) "), 0);
    sxm before = r.p.sxm;
    sx_heap_set_fault([] { return true; });
    EXPECT_EQ(sxm_grow_data(&r.p.sxm, 5), -1);
    EXPECT_EQ(sxm_grow_nodes(&r.p.sxm), -1);
    EXPECT_EQ(sxm_add_atom(&r.p.sxm, "x", 1), nullptr);
    sx_heap_set_fault(nullptr);
    EXPECT_EQ(std::memcmp(&before, &r.p.sxm, sizeof(before)), 0);
    ASSERT_EQ(r.feed("e "), 0);
    EXPECT_EQ(sx_check_layout(r.block()), "");
    EXPECT_EQ(sx_check_render(&r.p.sxm.nodes[0]), "(ab cd) e");
}

TEST(SxParser, ArgumentChecks) {
    parser p;
    EXPECT_EQ(sxp_init(nullptr, 1, 1), -1);
    EXPECT_EQ(sxp_init(&p, 0, 1), -1);
    EXPECT_EQ(sxp_init(&p, 1, 0), -1);
    ASSERT_EQ(sxp_init(&p, 1, 1), 0);
    EXPECT_EQ(sxp_feed(nullptr, "a", 1), -1);
    EXPECT_EQ(sxp_feed(&p, nullptr, 1), -1);
    EXPECT_EQ(sxp_feed(&p, nullptr, 0), 0);
    sxp_release(&p);
    sxp_release(&p);
}

TEST(SxAssertDeathTest, NamesModuleFunctionAndExpression) {
    auto check = [](size_t needed) { SX_ASSERT(needed % 4 == 0); };
    check(8);
    EXPECT_DEATH(check(6), "^csexp: operator\\(\\): assertion \"needed % 4 == 0\" failed\n");
}

} // namespace
