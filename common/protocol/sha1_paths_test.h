// Test fixture: each digest test runs on the portable compression and,
// where the CPU has it, on the fast path, since either may serve a machine.
#pragma once

#include "common/protocol/sha1.h"

#include <gtest/gtest.h>
#include <string>

struct Sha1PathsTest : ::testing::TestWithParam<bool> {
    void SetUp() override {
        if (GetParam() && !sha1_fast_path_available())
            GTEST_SKIP() << "no SHA extensions on this CPU";
        sha1_set_fast_path(GetParam());
    }
    void TearDown() override { sha1_set_fast_path(true); }
};

inline std::string sha1_path_name(const ::testing::TestParamInfo<bool> &info) {
    return info.param ? "Fast" : "Portable";
}
