// A configuration tree read from text, as the programs hold one.
#pragma once

#include "common/csexp/sx_reader.h"
#include "common/csexp/sx_tree.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

class sx_text_tree {
  public:
    explicit sx_text_tree(const std::string &text) : text_(text) {
        FILE *f = fmemopen(text_.data(), text_.size(), "r");
        if (f == nullptr || sx_read_file(&block_, f, 64, 256, 16) != 0)
            ADD_FAILURE() << "cannot read " << text;
        if (f != nullptr)
            fclose(f);
    }
    ~sx_text_tree() { sx_free(&block_); }
    sx_text_tree(const sx_text_tree &) = delete;
    sx_text_tree &operator=(const sx_text_tree &) = delete;
    // The first top-level item, or null.
    const sx_node *first() const { return block_.nsize > 0 ? &block_.nodes[0] : nullptr; }

  private:
    std::string text_;
    sx_block block_{};
};
