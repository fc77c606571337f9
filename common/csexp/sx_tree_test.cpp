// Tree: exactly sized copies and release.
#include "common/csexp/sx_tree.h"

#include "common/csexp/sx_check.h"
#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_reader.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

// A block read from text; released when it goes out of scope.
struct tree {
    sx_block b{};
    explicit tree(const std::string &text, size_t nunit = 64) {
        FILE *f = std::tmpfile();
        if (f == nullptr)
            return;
        std::fwrite(text.data(), 1, text.size(), f);
        std::rewind(f);
        if (sx_read_file(&b, f, 4096, 4096, nunit) != 0)
            b = sx_block{};
        std::fclose(f);
    }
    ~tree() { sx_free(&b); }
    tree(const tree &) = delete;
    tree &operator=(const tree &) = delete;
    const sx_node *at(size_t i) const { return &b.nodes[i]; }
};

std::string render(const sx_block &b) {
    return sx_check_render(b.nsize ? &b.nodes[0] : nullptr);
}

TEST(SxDup, CopiesChainWithDescendantsExactlySized) {
    struct row {
        const char *text;
        size_t from; // index of the source node in the read tree
        const char *copy;
        size_t nsize, dsize;
    };
    const row rows[] = {
        {"abc ", 0, "abc", 1, 5},
        {"() ", 0, "()", 1, 1},
        {"\"\" ", 0, R"("")", 1, 1},
        {"\"a\\000b\" ", 0, R"("a\x00b")", 1, 5},
        // The first value of a statement: both lists with all children,
        // nothing before the value.
        {"(effectors (zone a b) (kill (c \"\") d)) after", 2, R"((zone a b) (kill (c "") d))", 10,
         19},
        // Only the chain from the source on, not what lies before it.
        {"(a b c)", 2, "b c", 2, 5},
        {"x (y) z ", 0, "x (y) z", 4, 7},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        tree src(r.text);
        ASSERT_GT(src.b.nsize, r.from);
        sx_block copy{};
        ASSERT_EQ(sx_dup(&copy, src.at(r.from)), 0);
        EXPECT_EQ(render(copy), r.copy);
        EXPECT_EQ(sx_check_layout(copy), "");
        EXPECT_EQ(copy.nsize, r.nsize);
        EXPECT_EQ(copy.dsize, r.dsize);
        sx_free(&copy);
    }
}

TEST(SxDup, EmptyAtomsAndListsPointWhereTheyShould) {
    tree src("(() \"\" #00#) ");
    sx_block copy{};
    ASSERT_EQ(sx_dup(&copy, src.at(1)), 0);
    ASSERT_EQ(copy.nsize, 3u);
    EXPECT_EQ(copy.nodes[0].ptr, nullptr);
    EXPECT_EQ(copy.nodes[0].len, SX_LIST);
    EXPECT_EQ(copy.nodes[1].ptr, copy.data);
    EXPECT_EQ(copy.nodes[1].len, 0u);
    EXPECT_EQ(copy.nodes[2].len, 1u);
    EXPECT_EQ(copy.nodes[2].next, nullptr);
    sx_free(&copy);
}

// A copy of a copy is the same block byte for byte, apart from where the
// buffers lie.
TEST(SxDup, CopyOfCopyHasSameLayout) {
    tree src("(account gw1 |c2VjcmV0| (effectors (zone \"/z\" h) () \"\" (kill p (x))))");
    sx_block a{}, b{};
    ASSERT_EQ(sx_dup(&a, src.at(0)), 0);
    ASSERT_EQ(sx_dup(&b, &a.nodes[0]), 0);
    ASSERT_EQ(a.nsize, b.nsize);
    ASSERT_EQ(a.dsize, b.dsize);
    EXPECT_EQ(std::memcmp(a.data, b.data, a.dsize), 0);
    for (size_t i = 0; i < a.nsize; i++) {
        SCOPED_TRACE(i);
        const sx_node &x = a.nodes[i], &y = b.nodes[i];
        EXPECT_EQ(x.len, y.len);
        if (sx_is_list(&x))
            EXPECT_EQ(sx_first(&x) ? sx_first(&x) - a.nodes : -1,
                      sx_first(&y) ? sx_first(&y) - b.nodes : -1);
        else
            EXPECT_EQ(sx_text(&x) - a.data, sx_text(&y) - b.data);
        EXPECT_EQ(x.next ? x.next - a.nodes : -1, y.next ? y.next - b.nodes : -1);
    }
    EXPECT_EQ(render(a), render(src.b));
    sx_free(&a);
    sx_free(&b);
}

// The source need not be in preorder: the copy is, whatever the source's
// array order.
TEST(SxDup, SourceInAnyOrder) {
    char ab[] = "ab";
    sx_node n[4];
    n[3] = {ab, 2, nullptr};          // (ab
    n[2] = {nullptr, SX_LIST, &n[1]}; //     ()
    n[0] = {&n[3], SX_LIST, nullptr}; // (ab ())
    n[3].next = &n[2];
    n[1] = {ab + 1, 1, nullptr}; // b
    sx_block copy{};
    ASSERT_EQ(sx_dup(&copy, &n[0]), 0);
    EXPECT_EQ(render(copy), "(ab () b)");
    EXPECT_EQ(sx_check_layout(copy), "");
    sx_free(&copy);
}

// Nesting far deeper than any stack frame budget is copied without
// recursion.
TEST(SxDup, DeepNesting) {
    const size_t depth = 200000;
    std::string text = std::string(depth, '(') + "x" + std::string(depth, ')');
    tree src(text, 1 << 16);
    ASSERT_EQ(src.b.nsize, depth + 1);
    sx_block copy{};
    ASSERT_EQ(sx_dup(&copy, src.at(0)), 0);
    EXPECT_EQ(copy.nsize, depth + 1);
    EXPECT_EQ(sx_check_layout(copy), "");
    EXPECT_EQ(render(copy), text);
    sx_free(&copy);
}

TEST(SxDup, NullArgumentsLeaveDestinationAlone) {
    tree src("a ");
    sx_block untouched{reinterpret_cast<char *>(1), 2, reinterpret_cast<sx_node *>(3), 4};
    sx_block dest = untouched;
    EXPECT_EQ(sx_dup(&dest, nullptr), -1);
    EXPECT_EQ(std::memcmp(&dest, &untouched, sizeof(dest)), 0);
    EXPECT_EQ(sx_dup(nullptr, src.at(0)), -1);
}

// Each allocation fails in turn; the copy fails with -1 and an empty
// destination and leaks nothing. The deep source also makes the walk's own
// stack leave its fixed part.
TEST(SxDup, EveryAllocationFailureLeavesDestinationEmpty) {
    static long target, calls;
    for (const std::string &text :
         {std::string("(a (b \"\") ())"), std::string(300, '(') + "x" + std::string(300, ')')}) {
        tree src(text);
        bool finished = false;
        for (long k = 0; k < 100 && !finished; k++) {
            target = k;
            calls = 0;
            sx_block dest{reinterpret_cast<char *>(1), 2, reinterpret_cast<sx_node *>(3), 4};
            sx_heap_set_fault([] { return calls++ == target; });
            int rc = sx_dup(&dest, src.at(0));
            sx_heap_set_fault(nullptr);
            if (calls > k) {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(dest.data, nullptr);
                EXPECT_EQ(dest.nodes, nullptr);
                EXPECT_EQ(dest.dsize, 0u);
                EXPECT_EQ(dest.nsize, 0u);
                sx_free(&dest);
            } else {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(render(dest), text);
                sx_free(&dest);
                finished = true;
            }
        }
        EXPECT_TRUE(finished);
    }
}

TEST(SxFree, NullEmptyAndTwice) {
    sx_free(nullptr);
    sx_block empty{};
    sx_free(&empty);
    tree src("(a) ");
    sx_block copy{};
    ASSERT_EQ(sx_dup(&copy, src.at(0)), 0);
    sx_free(&copy);
    EXPECT_EQ(copy.data, nullptr);
    EXPECT_EQ(copy.dsize, 0u);
    EXPECT_EQ(copy.nodes, nullptr);
    EXPECT_EQ(copy.nsize, 0u);
    sx_free(&copy);
}

} // namespace
