#include "common/process/array.h"

#include <gtest/gtest.h>

namespace {

struct ArrayTest : ::testing::Test {
    array a;
    void SetUp() override { array_init(&a, sizeof(int)); }
    void TearDown() override { array_free(&a); }
};

TEST_F(ArrayTest, FreshArrayHoldsNothingAndAppendsFromZero) {
    EXPECT_EQ(array_get(&a, 0), nullptr);
    EXPECT_EQ(array_append(&a), 0);
    EXPECT_EQ(a.count, 1);
}

TEST_F(ArrayTest, AppendGrowsByExactlyOneElement) {
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(array_append(&a), i);
        *static_cast<int *>(array_get(&a, i)) = 100 + i;
    }
    EXPECT_EQ(a.capacity, 3);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(*static_cast<int *>(array_get(&a, i)), 100 + i);
}

TEST_F(ArrayTest, ReserveSetsExactCapacityThenAppendsGrowOneByOne) {
    for (int i = 0; i < 3; i++)
        array_append(&a);
    ASSERT_EQ(array_reserve(&a, 10), 1);
    EXPECT_EQ(a.capacity, 10);
    EXPECT_EQ(a.count, 3);
    void *storage = a.data;
    for (int i = 0; i < 7; i++)
        array_append(&a);
    EXPECT_EQ(a.data, storage) << "appends within the reserve must not resize";
    EXPECT_EQ(a.capacity, 10);
    array_append(&a);
    EXPECT_EQ(a.capacity, 11);
}

TEST_F(ArrayTest, ReserveBelowCapacityChangesNothing) {
    ASSERT_EQ(array_reserve(&a, 4), 1);
    void *storage = a.data;
    EXPECT_EQ(array_reserve(&a, 2), 1);
    EXPECT_EQ(array_reserve(&a, 4), 1);
    EXPECT_EQ(a.capacity, 4);
    EXPECT_EQ(a.data, storage);
}

TEST_F(ArrayTest, GetOutsideTheCountIsNull) {
    array_append(&a);
    array_append(&a);
    EXPECT_EQ(array_get(&a, -1), nullptr);
    EXPECT_EQ(array_get(&a, 2), nullptr);
    EXPECT_NE(array_get(&a, 1), nullptr);
    EXPECT_EQ(array_get(nullptr, 0), nullptr);
}

TEST_F(ArrayTest, FreeKeepsTheElementSizeForReuse) {
    array_append(&a);
    array_free(&a);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.capacity, 0);
    EXPECT_EQ(a.elem_size, sizeof(int));
    EXPECT_EQ(array_append(&a), 0);
}

TEST(ArrayNull, NullArrayIsLeftAlone) {
    array_init(nullptr, 4);
    array_free(nullptr);
    EXPECT_EQ(array_append(nullptr), -1);
}

} // namespace
