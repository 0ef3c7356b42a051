// SPDX-License-Identifier: ISC
// crack_pipeline: what a line becomes, and which lines it refuses and how.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "pipeline/parser.h"
#include "pipeline/pipeline.h"
#include "expect.h"
#include "run.h"

namespace {

// A pipeline as text: each argument in braces, then its redirections;
// stages joined by " | ".
std::string render(pipeline pl)
{
    std::string text;
    int stages = 0;
    for (clstage st = pl->stage; st; st = st->next, ++stages) {
        if (stages)
            text += " | ";
        for (int i = 0; i < st->argc; ++i)
            text += "{" + std::string(st->argv[i]) + "}";
        EXPECT_EQ(st->argv[st->argc], nullptr) << "argv not terminated in stage " << stages;
        if (st->inname)
            text += std::string(" <") + st->inname;
        if (st->outname)
            text += std::string(" >") + st->outname;
    }
    EXPECT_EQ(stages, pl->length);
    return text;
}

struct Cracked {
    std::string text;  // the rendering, or "null" when refused
    std::string err;
};

// With `no_descriptors`, every descriptor the parser would open is beyond
// the limit.
Cracked crack(const std::string &line, int number = 7, bool no_descriptors = false)
{
    lineno = number;
    char *copy = strdup(line.c_str());
    testing::internal::CaptureStderr();
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    if (no_descriptors) {
        rlimit low = old;
        low.rlim_cur = static_cast<rlim_t>(dup(0));
        close(static_cast<int>(low.rlim_cur));
        setrlimit(RLIMIT_NOFILE, &low);
    }
    pipeline pl = crack_pipeline(copy);
    setrlimit(RLIMIT_NOFILE, &old);
    Cracked c{pl ? render(pl) : "null", testing::internal::GetCapturedStderr()};
    if (pl) {
        EXPECT_EQ(pl->cline, copy) << "the pipeline owns the very line it was given";
    }
    free_pipeline(pl);
    return c;
}

struct Case {
    const char *name;
    const char *line;
    const char *want;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Case kAccepted[] = {
    {"words", "echo hi there", "{echo}{hi}{there}"},
    {"blanks_and_tabs", " \t echo \t hi  ", "{echo}{hi}"},
    {"single_quotes_keep_everything", "echo 'a  b' '\\n' 'a|b<c>d' 'say \"hi\"'",
     "{echo}{a  b}{\\n}{a|b<c>d}{say \"hi\"}"},
    {"double_quotes", "echo \"c d\" \"it's\" \"<x>|\"", "{echo}{c d}{it's}{<x>|}"},
    {"double_quote_escapes", "echo \"a\\\"b\" \"\\\\\" \"\\$x\" \"\\`\" \"\\n\"",
     "{echo}{a\"b}{\\}{$x}{`}{\\n}"},
    {"quotes_join_into_one_word", "echo a'b'\"c\"d 'it''s'", "{echo}{abcd}{its}"},
    {"empty_quotes_are_words", "echo '' \"\"", "{echo}{}{}"},
    {"backslash_outside_quotes", "echo a\\ b \\'x\\' \\|\\<\\> \\\\", "{echo}{a b}{'x'}{|<>}{\\}"},
    {"input_redirection", "sort < in", "{sort} <in"},
    {"redirections_without_blanks", "sort<in>out", "{sort} <in >out"},
    {"redirection_before_the_command", "< in sort -r", "{sort}{-r} <in"},
    {"quoted_file_name", "echo hi >'my file'", "{echo}{hi} >my file"},
    {"quoted_operators_are_words", "echo '>' \"<\" '|'", "{echo}{>}{<}{|}"},
    {"pipes", "a|b | c", "{a} | {b} | {c}"},
    {"redirections_at_both_ends", "cat <in | tr a b | sort >out", "{cat} <in | {tr}{a}{b} | {sort} >out"},
    {"five_stages", "a 1 | b 2 | c 3 | d 4 | e 5", "{a}{1} | {b}{2} | {c}{3} | {d}{4} | {e}{5}"},
};

class Accepted : public ::testing::TestWithParam<Case> {};

TEST_P(Accepted, Renders)
{
    const Case &c = GetParam();
    Cracked got = crack(c.line);
    EXPECT_EQ(got.text, c.want);
    EXPECT_EQ(got.err, "");
}

INSTANTIATE_TEST_SUITE_P(Crack, Accepted, ::testing::ValuesIn(kAccepted),
                         ts::CaseName());

const Case kRefused[] = {
    {"empty_stage_between_pipes", "a | | b", "missing command before |"},
    {"pipe_first", "| a", "missing command before |"},
    {"pipe_last", "a | ", "missing command after |"},
    {"redirection_only_stage", "< f | b", "missing command before |"},
    {"redirection_only_line", "> f", "missing command"},
    {"input_without_file", "sort <", "missing file name after <"},
    {"output_without_file", "echo >", "missing file name after >"},
    {"operator_for_file", "echo > | b", "missing file name after >"},
    {"doubled_operator", "echo >> f", "missing file name after >"},
    {"two_inputs", "a < x < y", "more than one input redirection"},
    {"two_outputs", "a > x >y", "more than one output redirection"},
    {"input_on_later_stage", "a | b < f", "input redirection conflicts with the pipe"},
    {"output_on_earlier_stage", "a > f | b", "output redirection conflicts with the pipe"},
    {"open_single_quote", "echo 'abc", "unterminated single quote"},
    {"open_double_quote", "echo \"abc", "unterminated double quote"},
    {"escaped_closing_quote", "echo \"abc\\\"", "unterminated double quote"},
    {"backslash_at_end", "echo abc\\", "backslash at end of line"},
};

class Refused : public ::testing::TestWithParam<Case> {};

// One message, naming the line, and no pipeline.
TEST_P(Refused, WithOneMessage)
{
    const Case &c = GetParam();
    Cracked got = crack(c.line, 42);
    EXPECT_EQ(got.text, "null");
    EXPECT_EQ(got.err, std::string("line 42: ") + c.want + "\n");
}

INSTANTIATE_TEST_SUITE_P(Crack, Refused, ::testing::ValuesIn(kRefused),
                         ts::CaseName());

TEST(Crack, BlankLineIsOneStageWithoutCommand)
{
    for (const char *line : {"", "   ", "\t \t"}) {
        pipeline pl = crack_pipeline(strdup(line));
        ASSERT_NE(pl, nullptr) << "'" << line << "'";
        EXPECT_EQ(pl->length, 1);
        ASSERT_NE(pl->stage, nullptr);
        EXPECT_EQ(pl->stage->argc, 0);
        ASSERT_NE(pl->stage->argv, nullptr);
        EXPECT_EQ(pl->stage->argv[0], nullptr);
        EXPECT_EQ(pl->stage->next, nullptr);
        free_pipeline(pl);
    }
}

TEST(Crack, NullIsRefusedAndFreeAcceptsNull)
{
    EXPECT_EQ(crack_pipeline(nullptr), nullptr);
    free_pipeline(nullptr);
}

// Patterns are expanded in glob's order; quoting makes any part literal.
TEST(Crack, FileNamePatterns)
{
    ts::TempDir dir;
    for (const char *name : {"a.txt", "b.txt", "c.log", ".hidden.txt", "*.txt"})
        dir.write(name, "");
    const std::string d = dir.path();
    struct {
        std::string line, want;
        std::string err = "";
        bool no_descriptors = false;
    } cases[] = {
        {"ls " + d + "/[ab].txt", "{ls}{" + d + "/a.txt}{" + d + "/b.txt}"},
        {"ls " + d + "/?.log", "{ls}{" + d + "/c.log}"},
        {"ls " + d + "/*.none", "{ls}{" + d + "/*.none}"},
        {"ls " + d + "/none/*", "{ls}{" + d + "/none/*}"},
        {"ls '" + d + "/*.log'", "{ls}{" + d + "/*.log}"},
        {"ls " + d + "/\\*.log", "{ls}{" + d + "/*.log}"},
        {"ls \"" + d + "/\"?.log", "{ls}{" + d + "/c.log}"},
        {"ls " + d + "/'*'*", "{ls}{" + d + "/*.txt}"},
        {"ls " + d + "/\"*\"*", "{ls}{" + d + "/*.txt}"},
        {"cat < " + d + "/*.log", "{cat} <" + d + "/*.log"},
        {"ls " + d + "/*.log", "null", "line 7: glob: Too many open files\n", true},
    };
    for (const auto &c : cases) {
        Cracked got = crack(c.line, 7, c.no_descriptors);
        EXPECT_EQ(got.text, c.want) << c.line;
        EXPECT_EQ(got.err, c.err) << c.line;
    }
    Cracked all = crack("echo " + d + "/*");
    EXPECT_EQ(all.text, "{echo}{" + d + "/*.txt}{" + d + "/a.txt}{" + d + "/b.txt}{" + d + "/c.log}")
        << "a leading dot is not matched by *";
}

TEST(Crack, LongLineWithManyWords)
{
    std::string line = "echo";
    std::string want = "{echo}";
    for (int i = 0; i < 5000; ++i) {
        line += " w" + std::to_string(i);
        want += "{w" + std::to_string(i) + "}";
    }
    line += " " + std::string(100000, 'x');
    want += "{" + std::string(100000, 'x') + "}";
    EXPECT_EQ(crack(line).text, want);
    // Line after line, as a shell cracks them, holds no more memory than one.
    std::string stages = "a";
    for (int i = 0; i < 1000; ++i)
        stages += " | a";
    auto held = [] { struct mallinfo2 m = mallinfo2(); return static_cast<long>(m.uordblks + m.hblkhd); };
    long before = held();
    for (int i = 0; i < 10; ++i) {
        crack(line);
        crack(stages);
    }
    EXPECT_LT(held() - before, 100000L);
}

}  // namespace
