// SPDX-License-Identifier: ISC
// wren with the calls it and the pipeline library make failing: whatever
// fails, each line either does all it should or is dropped with one message
// that names it, and the shell reads on.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "expect.h"
#include "run.h"

namespace {

// The script every row runs, each line with what it writes, in a directory
// holding a1, a2 and "in".
const struct {
    const char *line, *out;
} kScript[] = {
    {"echo one | tr a-z A-Z", "ONE\n"},
    {"cat < in", "two\n"},
    {"echo a*", "a1 a2\n"},
};

struct FaultCase {
    const char *name;
    const char *fault;  // see ts::Options::fault; "%d" stands for each count from 1 to `upto`
    std::string out{};
    std::string err{};
    int status = 0;
    int upto = 0;         // out and err not given: each run is whole but for the lines it names
    bool script = false;  // the script is named as an argument rather than read from standard input
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

const std::string kAll = "ONE\ntwo\na1 a2\n\n";

// The calls made to fail, counted from the shell's start; a stage's process
// goes on from the shell's count, as a fork does:
//  - pipe:1 the first line's pipe; vfork:N its Nth stage; waitpid:1 the
//    wait for its first stage;
//  - dup2:1 in each stage, its first descriptor put in place (the shell
//    itself makes none when it reads standard input); with a script, the
//    shell's own dup2 of the script onto standard input;
//  - sigaction:1 the shell's interrupt handler, installed first.
const FaultCase kCases[] = {
    {"no_pipe", "pipe:1", "two\na1 a2\n\n", "line 1: pipe: Too many open files\n"},
    {"no_process", "vfork:1", "two\na1 a2\n\n", "line 1: vfork: Resource temporarily unavailable\n"},
    {"no_process_for_a_later_stage", "vfork:2", "two\na1 a2\n\n",
     "line 1: vfork: Resource temporarily unavailable\n"},
    {"stage_descriptors_cannot_be_placed", "dup2:1", "a1 a2\n\n",
     "line 1: dup2: Bad file descriptor\nline 1: dup2: Bad file descriptor\nline 2: dup2: Bad file descriptor\n"},
    {"wait_for_a_stage_fails", "waitpid:1", kAll, "line 1: waitpid: No child processes\n"},
    {"signal_list_unreadable", "open(/proc/self/status):1", kAll, ""},
    {"redirection_cannot_be_opened", "open(in):1", "ONE\na1 a2\n\n", "in: Too many open files\n"},
    {.name = "interrupt_handler_cannot_be_installed", .fault = "sigaction:1", .err = "Sigaction SIGINT failure\n",
     .status = 1},
    {.name = "script_cannot_be_opened", .fault = "open(/dev/stdin):1", .err = "/dev/stdin: Too many open files\n",
     .status = 1, .script = true},
    {.name = "script_cannot_become_input", .fault = "dup2:1", .err = "dup2: Bad file descriptor\n", .status = 1,
     .script = true},
    {"no_memory_at_all", "malloc:1+,calloc:1+,realloc:1+", "\n",
     "line 1: malloc: Cannot allocate memory\nline 2: malloc: Cannot allocate memory\n"
     "line 3: malloc: Cannot allocate memory\n"},
    // Reading, cracking, matching and running each allocate: every
    // allocation the script makes (fewer than 16 of each kind) fails in turn.
    {.name = "each_malloc_in_turn", .fault = "malloc:%d", .upto = 16},
    {.name = "each_calloc_in_turn", .fault = "calloc:%d", .upto = 16},
    {.name = "each_realloc_in_turn", .fault = "realloc:%d", .upto = 16},
};

// The output and messages of a run whose dropped lines are the ones its
// messages name, in order, each once and for want of memory.
::testing::AssertionResult whole_but_dropped(const ts::Result &r)
{
    std::string out, err;  // err: what r.err holds so far, as it should be
    for (size_t i = 0; i < std::size(kScript); ++i) {
        bool dropped = false;
        for (const char *call : {"malloc", "glob"}) {
            std::string message = "line " + std::to_string(i + 1) + ": " + call + ": Cannot allocate memory\n";
            if (!dropped && r.err.compare(err.size(), message.size(), message) == 0) {
                err += message;
                dropped = true;
            }
        }
        if (!dropped)
            out += kScript[i].out;
    }
    return ts::ended(r, 0, out + "\n", err);
}

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, Run)
{
    const FaultCase &c = GetParam();
    ts::TempDir dir;
    dir.write("a1", "");
    dir.write("a2", "");
    dir.write("in", "two\n");
    ts::Options o;
    o.cwd = dir.path();
    for (const auto &line : kScript)
        o.input += std::string(line.line) + "\n";
    if (c.script)
        o.args = {"/dev/stdin"};
    for (int n = c.upto ? 1 : 0; n <= c.upto; ++n) {
        o.fault = c.fault;
        if (c.upto)
            o.fault.replace(o.fault.find("%d"), 2, std::to_string(n));
        ts::Result r = ts::run(ts::bin("wren"), o);
        EXPECT_TRUE(c.upto ? whole_but_dropped(r) : ts::ended(r, c.status, c.out, c.err)) << o.fault;
        EXPECT_EQ(r.left, "") << o.fault;
    }
}

INSTANTIATE_TEST_SUITE_P(Wren, Faults, ::testing::ValuesIn(kCases), ts::CaseName());

}  // namespace
