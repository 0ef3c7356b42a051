// SPDX-License-Identifier: ISC
// The stack module on its own: capacity, order and the three display modes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "stack.h"

namespace {

class StackModule : public ::testing::Test {
protected:
    void SetUp() override { top = myStack; }
    void TearDown() override { top = myStack; }

    // What printStack(mode) writes to standard output.
    static std::string printed(int mode)
    {
        testing::internal::CaptureStdout();
        printStack(mode);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(StackModule, HoldsTenAndRefusesTheEleventh)
{
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(push(i * 11), 0) << "push " << i;
    EXPECT_EQ(push(999), 1);
    EXPECT_EQ(top, max);
    EXPECT_EQ(printed(SHOW_DECIMAL), "Stack: 0 11 22 33 44 55 66 77 88 99 \n\n");
}

TEST_F(StackModule, PopsInReverseAndRefusesWhenEmpty)
{
    int value = 42;
    EXPECT_EQ(pop(&value), 1);
    EXPECT_EQ(value, 42) << "a refused pop must not touch the caller's int";

    for (int v : {1, 2, 3})
        ASSERT_EQ(push(v), 0);
    for (int want : {3, 2, 1}) {
        ASSERT_EQ(pop(&value), 0);
        EXPECT_EQ(value, want);
    }
    EXPECT_EQ(pop(&value), 1);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(top, myStack);
}

TEST_F(StackModule, DisplayModes)
{
    EXPECT_EQ(printed(SHOW_DECIMAL), "Stack: \n\n");
    for (int v : {-1, 255, 65, 321})
        ASSERT_EQ(push(v), 0);
    EXPECT_EQ(printed(SHOW_DECIMAL), "Stack: -1 255 65 321 \n\n");
    EXPECT_EQ(printed(SHOW_HEX), "Stack: ffffffff ff 41 141 \n\n");
    EXPECT_EQ(printed(SHOW_CHAR), std::string("Stack: \xff \xff A A \n\n"));
    EXPECT_EQ(printed(3), "Stack: \n\n");
    EXPECT_EQ(printed(-1), "Stack: \n\n");
}

}  // namespace
