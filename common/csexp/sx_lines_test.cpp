#include "common/csexp/sx_lines.h"

#include "common/csexp/sx_heap.h"
#include "common/csexp/sx_reader.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct read_result {
    std::vector<uint32_t> lines; // of every node, in preorder
    std::vector<uint32_t> open, stray;
    uint32_t unfinished = 0;
    size_t same_tree = 0; // nodes that match sx_read_file's tree
};

read_result read(const std::string &text) {
    read_result r;
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    sx_lines l;
    EXPECT_EQ(sx_lines_read(&l, f, 16, 4), 0);
    rewind(f);
    sx_block plain{};
    EXPECT_EQ(sx_read_file(&plain, f, 7, 16, 4), 0);
    fclose(f);
    for (size_t i = 0; i < l.tree.nsize; i++) {
        r.lines.push_back(sx_lines_of(&l, &l.tree.nodes[i]));
        const sx_node &a = l.tree.nodes[i];
        if (i < plain.nsize && a.len == plain.nodes[i].len &&
            (sx_is_list(&a) || memcmp(a.ptr, plain.nodes[i].ptr, a.len) == 0))
            r.same_tree++;
    }
    EXPECT_EQ(l.tree.nsize, plain.nsize);
    r.open.assign(l.open_lists, l.open_lists + l.nopen);
    r.stray.assign(l.stray_closes, l.stray_closes + l.nstray);
    r.unfinished = l.unfinished;
    sx_free(&plain);
    sx_lines_free(&l);
    sx_lines_free(&l);
    return r;
}

TEST(SxLines, NodesCarryTheLineTheyBeginOn) {
    read_result r = read("(listen 1)\n\n(account (name x)\n  (key \"y\nz\"))\n");
    EXPECT_EQ(r.lines, (std::vector<uint32_t>{1, 1, 1, 3, 3, 3, 3, 3, 4, 4, 5}));
    EXPECT_EQ(r.same_tree, r.lines.size());
    EXPECT_TRUE(r.open.empty());
    EXPECT_TRUE(r.stray.empty());
    EXPECT_EQ(r.unfinished, 0u);
}

TEST(SxLines, WhatTheLenientReaderPassesOverIsReported) {
    struct row {
        const char *text;
        std::vector<uint32_t> open, stray;
        uint32_t unfinished;
    };
    const row rows[] = {
        {"(a\n(b c)\n", {1}, {}, 0},
        {"(a (b\n(c)\n", {1, 1}, {}, 0},
        {"x)\n)\n(\")\")", {}, {1, 2}, 0},
        {"(a)\nfoo", {}, {}, 2},
        {"(a \"b\nc", {1}, {}, 1},
        {"(a)\n5:ab", {}, {}, 2},
        {"(a)\n12", {}, {}, 2},
        {"(a) b\"c", {}, {}, 1},
    };
    for (const row &w : rows) {
        SCOPED_TRACE(w.text);
        read_result r = read(w.text);
        EXPECT_EQ(r.open, w.open);
        EXPECT_EQ(r.stray, w.stray);
        EXPECT_EQ(r.unfinished, w.unfinished);
        EXPECT_EQ(r.same_tree, r.lines.size());
    }
}

TEST(SxLines, ForeignNodesHaveNoLine) {
    FILE *f = fmemopen(const_cast<char *>("(a)\n"), 4, "rb");
    sx_lines l;
    ASSERT_EQ(sx_lines_read(&l, f, 16, 4), 0);
    fclose(f);
    sx_node other{};
    EXPECT_EQ(sx_lines_of(&l, &other), 0u);
    EXPECT_EQ(sx_lines_of(&l, nullptr), 0u);
    sx_lines_free(&l);
    EXPECT_EQ(sx_lines_read(&l, nullptr, 16, 4), -1);
}

// Each allocation fails in turn: the read fails with -1, leaves the record
// as it was and leaks nothing (the sanitizer build checks the leaks).
TEST(SxLines, EveryAllocationFailureFailsCleanly) {
    static long target, calls;
    std::string text;
    for (int i = 0; i < 40; i++)
        text += "(account (name a" + std::to_string(i) + ") (key k)\n";
    bool succeeded = false;
    for (target = 0; target < 1000 && !succeeded; target++) {
        calls = 0;
        FILE *f = fmemopen(text.data(), text.size(), "rb");
        sx_lines l{};
        l.unfinished = 7;
        sx_heap_set_fault([] { return calls++ == target; });
        int rc = sx_lines_read(&l, f, 16, 4);
        sx_heap_set_fault(nullptr);
        fclose(f);
        if (rc == 0) {
            succeeded = true;
            EXPECT_EQ(l.nopen, 40u);
            sx_lines_free(&l);
        } else {
            EXPECT_EQ(l.unfinished, 7u) << "untouched after a failure";
            EXPECT_EQ(l.line, nullptr);
        }
    }
    EXPECT_TRUE(succeeded);
}

} // namespace
