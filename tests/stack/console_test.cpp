// SPDX-License-Identifier: ISC
// The stack console as a user meets it: whole transcripts through a pipe,
// and one interactive session on a terminal.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "pty_session.h"
#include "expect.h"
#include "run.h"

namespace {

const std::string kBanner = "Welcome to the Stack Program\n\n";
const std::string kAsk = "Enter Option: ";
const std::string kBye = "Goodbye!";

std::string stack_line(const std::string &entries) { return "Stack: " + entries + "\n\n"; }
// An answer to "What number? " refused, on an empty stack.
const std::string kRefused = kAsk + "What number? Not a number!!!\n" + stack_line("");

struct Case {
    const char *name;
    const char *input;
    std::string output{};  // everything after the banner
    int status = 0;
    const char *err = "";
    const char *redirect = nullptr;  // for the shell that starts the console
    const char *fault = "";          // see ts::Options::fault
};

const Case kCases[] = {
    {"example_session", "u\n7\nh\no\nx\n",
     kAsk + "What number? " + stack_line("7 ") + kAsk + stack_line("7 ") + kAsk + "Popped: 7\n" +
         stack_line("") + kAsk + kBye},
    {"x_first", "x\n", kAsk + kBye},
    {"underflow", "o\nx\n", kAsk + "Popped: Underflow!!!\n" + stack_line("") + kAsk + kBye},
    {"hex_shows_twos_complement", "u -1 u -5 h x",
     kAsk + "What number? " + stack_line("-1 ") + kAsk + "What number? " + stack_line("-1 -5 ") +
         kAsk + stack_line("ffffffff fffffffb ") + kAsk + kBye},
    {"char_mode_shows_low_byte", "c u 65 u 321 x",
     kAsk + stack_line("") + kAsk + "What number? " + stack_line("A ") + kAsk + "What number? " +
         stack_line("A A ") + kAsk + kBye},
    {"popped_value_always_decimal", "u 255 h o x",
     kAsk + "What number? " + stack_line("255 ") + kAsk + stack_line("ff ") + kAsk +
         "Popped: 255\n" + stack_line("") + kAsk + kBye},
    {"several_letters_on_one_line", "dd\nx\n", kAsk + stack_line("") + kAsk + stack_line("") + kAsk + kBye},
    {"upper_case_x_does_not_end", "X\nx\n", kAsk + "error, it defaulted" + kAsk + kBye},
    {"digits_and_punctuation_are_not_options", "7?\nx\n",
     kAsk + "error, it defaulted" + kAsk + "error, it defaulted" + kAsk + kBye},
    {"end_of_input_ends_like_x", "d\n", kAsk + stack_line("") + kAsk + kBye},
    {"empty_input", "", kAsk + kBye},
    {"end_of_input_at_the_number", "u\n", kAsk + "What number? " + kBye},
    {"not_a_number_pushes_nothing_and_drops_the_line", "u\nxyz oo\no\nx\n",
     kAsk + "What number? Not a number!!!\n" + stack_line("") + kAsk + "Popped: Underflow!!!\n" +
         stack_line("") + kAsk + kBye},
    {"not_a_number_keeps_the_popped_value_off_the_stack", "u 4 o u -\nd x",
     kAsk + "What number? " + stack_line("4 ") + kAsk + "Popped: 4\n" + stack_line("") + kAsk +
         "What number? Not a number!!!\n" + stack_line("") + kAsk + stack_line("") + kAsk + kBye},
    {"int_limits_are_accepted", "u 2147483647 u -2147483648 h x",
     kAsk + "What number? " + stack_line("2147483647 ") + kAsk + "What number? " +
         stack_line("2147483647 -2147483648 ") + kAsk + stack_line("7fffffff 80000000 ") + kAsk +
         kBye},
    // The number stops at the first non-digit; the trailing x is left over
    // and read as the next choice.
    {"number_after_white_space_sign_and_zeros", "u \n\t\v +000000000000000000012x",
     kAsk + "What number? " + stack_line("12 ") + kAsk + kBye},
    {"numbers_beyond_int_are_refused_like_words",
     "u 2147483648 dd\nu -2147483649\nu -21474836480\nu 99999999999\nu 4294967296\nx",
     kRefused + kRefused + kRefused + kRefused + kRefused + kAsk + kBye},
    {.name = "output_that_cannot_be_written", .input = "u 1 x", .status = 1,
     .err = "stdout: No space left on device\n", .redirect = ">/dev/full"},
    {.name = "input_that_cannot_be_read", .input = "", .output = kAsk, .status = 1,
     .err = "stdin: Bad file descriptor\n", .redirect = "<&-"},
    // Without memory for buffers the streams work unbuffered, losing nothing.
    {.name = "no_memory_for_buffers", .input = "u 7 h o x",
     .output = kAsk + "What number? " + stack_line("7 ") + kAsk + stack_line("7 ") + kAsk + "Popped: 7\n" +
               stack_line("") + kAsk + kBye,
     .fault = "malloc:1+"},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Console : public ::testing::TestWithParam<Case> {};

TEST_P(Console, Transcript)
{
    const Case &c = GetParam();
    ts::Options o;
    o.input = c.input;
    o.fault = c.fault;
    std::string program = ts::bin("stack"), want = kBanner + c.output;
    if (c.redirect) {
        o.args = {"-c", std::string("exec \"$0\" ") + c.redirect, program};
        program = "/bin/sh";
        if (c.redirect[0] == '>')
            want = "";  // it all went elsewhere
    }
    EXPECT_TRUE(ts::ended(ts::run(program, o), c.status, want, c.err));
}

INSTANTIATE_TEST_SUITE_P(Stack, Console, ::testing::ValuesIn(kCases),
                         ts::CaseName());

TEST(StackConsole, OverflowOnTheEleventhPush)
{
    std::string input, want = kBanner, entries;
    for (int i = 1; i <= 11; ++i) {
        input += "u " + std::to_string(i) + "\n";
        want += kAsk + "What number? ";
        if (i <= 10)
            entries += std::to_string(i) + " ";
        else
            want += "Overflow!!!\n";
        want += stack_line(entries);
    }
    ts::Options o;
    o.input = input + "x\n";
    ts::Result r = ts::run(ts::bin("stack"), o);
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(ts::visible(r.out), ts::visible(want + kAsk + kBye));
}

TEST(StackConsole, ArgumentsAreIgnored)
{
    ts::Options o;
    o.args = {"-x", "u"};
    o.input = "x\n";
    ts::Result r = ts::run(ts::bin("stack"), o);
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(r.out, kBanner + kAsk + kBye);
}

// Someone typing at a terminal has to see each prompt while the console
// sits blocked on their reply; nothing may linger in a buffer.
TEST(StackConsole, PromptsOnATerminal)
{
    ts::Pty t(ts::bin("stack"));
    ASSERT_TRUE(t.expect(ts::crlf(kBanner + kAsk))) << ts::visible(t.transcript());
    t.send("u\n");
    ASSERT_TRUE(t.expect("What number? ")) << ts::visible(t.transcript());
    t.send("-5\n");
    ASSERT_TRUE(t.expect(ts::crlf(stack_line("-5 ") + kAsk))) << ts::visible(t.transcript());
    t.send("x\n");
    ASSERT_TRUE(t.expect(kBye)) << ts::visible(t.transcript());
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
}

// A program at the other end of pipes, too, has each prompt while the
// console waits for its reply, though the output is no terminal; and a
// refusal while the console waits for the rest of the refused line.
TEST(StackConsole, PromptsThroughPipes)
{
    ts::Options o;
    o.input_open = true;
    ts::Process p(ts::bin("stack"), o);
    const std::pair<const char *, std::string> steps[] = {
        {"", kBanner + kAsk}, {"u\n", "What number? "}, {"?", "Not a number!!!\n"}, {"\n", stack_line("") + kAsk},
        {"u\n", "What number? "}, {"-5\n", stack_line("-5 ") + kAsk}, {"x\n", kBye}};
    std::string want;
    for (const auto &[reply, shown] : steps) {
        p.send(reply);
        want += shown;
        ASSERT_TRUE(ts::eventually([&] { return p.out() == want; })) << ts::visible(p.out());
    }
    EXPECT_EQ(p.wait().exit_code(), 0);
}

}  // namespace
