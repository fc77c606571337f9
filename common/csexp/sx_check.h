// Test and fuzzing aids for S-expression trees: a compact rendering that
// shows a tree at a glance, and a check of the block layout that every block
// built by this library must have. Header-only; not part of the library.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstdio>
#include <string>
#include <vector>

// Renders the chain from first: items separated by one space, lists in
// parentheses, atoms bare when they are plain printable words, otherwise in
// double quotes with \" \\ \n \r \t and \xHH for other bytes outside 0x20-0x7e.
inline std::string sx_check_render(const sx_node *first) {
    auto bare = [](const sx_node *n) {
        if (n->len == 0)
            return false;
        const unsigned char *p = static_cast<const unsigned char *>(n->ptr);
        for (size_t i = 0; i < n->len; i++) {
            unsigned char c = p[i];
            if (c <= 0x20 || c >= 0x7f || c == '(' || c == ')' || c == '"' || c == '#' ||
                c == '|' || c == '\\')
                return false;
        }
        return true;
    };
    std::string s;
    std::vector<const sx_node *> open;
    const sx_node *n = first;
    bool first_in_chain = true;
    for (;;) {
        while (n != nullptr) {
            if (!first_in_chain)
                s += ' ';
            first_in_chain = false;
            if (sx_is_list(n)) {
                s += '(';
                if (n->ptr != nullptr) {
                    open.push_back(n);
                    n = sx_first(n);
                    first_in_chain = true;
                    continue;
                }
                s += ')';
            } else if (bare(n)) {
                s.append(sx_text(n), n->len);
            } else {
                s += '"';
                const unsigned char *p = static_cast<const unsigned char *>(n->ptr);
                for (size_t i = 0; i < n->len; i++) {
                    unsigned char c = p[i];
                    char esc[8];
                    switch (c) {
                    case '"':
                        s += "\\\"";
                        break;
                    case '\\':
                        s += "\\\\";
                        break;
                    case '\n':
                        s += "\\n";
                        break;
                    case '\r':
                        s += "\\r";
                        break;
                    case '\t':
                        s += "\\t";
                        break;
                    default:
                        if (c >= 0x20 && c < 0x7f) {
                            s += static_cast<char>(c);
                        } else {
                            std::snprintf(esc, sizeof(esc), "\\x%02x", c);
                            s += esc;
                        }
                    }
                }
                s += '"';
            }
            n = n->next;
        }
        if (open.empty())
            break;
        s += ')';
        n = open.back()->next;
        open.pop_back();
    }
    return s;
}

// Checks the layout of a block built by this library: a NUL at offset 0, the
// nodes in preorder from index 0 with every link inside the array, empty
// atoms at the leading NUL, the other atoms packed in node order each with a
// NUL after it, and dsize and nsize matching. Returns "" or what is wrong.
inline std::string sx_check_layout(const sx_block &b) {
    if (b.data == nullptr || b.dsize == 0 || b.data[0] != '\0')
        return "data does not start with a NUL";
    if (b.nsize == 0)
        return b.dsize == 1 ? "" : "dsize is not 1 without nodes";
    if (b.nodes == nullptr)
        return "null nodes with nsize > 0";
    std::vector<const sx_node *> open;
    size_t k = 0;
    size_t fill = 1;
    const sx_node *n = &b.nodes[0];
    for (;;) {
        while (n != nullptr) {
            if (k >= b.nsize || n != &b.nodes[k])
                return "node " + std::to_string(k) + " is out of preorder";
            k++;
            if (sx_is_list(n)) {
                if (n->ptr != nullptr) {
                    open.push_back(n);
                    n = sx_first(n);
                    continue;
                }
            } else if (n->len == 0) {
                if (n->ptr != b.data)
                    return "empty atom " + std::to_string(k - 1) + " off the leading NUL";
            } else {
                if (n->ptr != b.data + fill || n->len >= b.dsize - fill ||
                    b.data[fill + n->len] != '\0')
                    return "atom " + std::to_string(k - 1) + " out of place";
                fill += n->len + 1;
            }
            n = n->next;
        }
        if (open.empty())
            break;
        n = open.back()->next;
        open.pop_back();
    }
    if (k != b.nsize)
        return "nsize " + std::to_string(b.nsize) + " but " + std::to_string(k) + " nodes linked";
    if (fill != b.dsize)
        return "dsize " + std::to_string(b.dsize) + " but atoms end at " + std::to_string(fill);
    return "";
}
