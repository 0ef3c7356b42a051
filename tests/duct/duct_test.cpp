// SPDX-License-Identifier: ISC
// duct as its users meet it: the real pipeline in a scratch directory, and
// stand-in ls and sort programs, first on PATH, that succeed, fail, die or
// report what they were given on demand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "expect.h"
#include "run.h"

namespace {

// A stage's program: the system's own, none at all, or a stand-in script.
const char *const kReal = "<real>";
const char *const kMissing = "<missing>";

// Every stand-in starts with this. `gone PID` holds once that process has
// ended (a zombie or reaped), which lets a stage wait for the other one.
const char *const kPrelude = R"(#!/bin/sh
PATH=/usr/bin:/bin
gone() { s=$(cut -d' ' -f3 /proc/$1/stat 2>/dev/null); [ -z "$s" ] || [ "$s" = Z ]; }
)";

std::string real_path(const char *name)
{
    for (const char *dir : {"/usr/bin/", "/bin/"}) {
        std::string p = std::string(dir) + name;
        if (access(p.c_str(), X_OK) == 0)
            return p;
    }
    ADD_FAILURE() << "no " << name << " on this machine";
    return name;
}

// A scratch area: bin/ holds the stage programs and is all of PATH; run/ is
// the directory duct works in.
struct Bench {
    ts::TempDir dir;
    std::string bin = dir.file("bin"), run = dir.file("run");

    Bench(const char *ls = kReal, const char *sort = kReal)
    {
        EXPECT_EQ(mkdir(bin.c_str(), 0755), 0);
        EXPECT_EQ(mkdir(run.c_str(), 0755), 0);
        stage("ls", ls);
        stage("sort", sort);
    }

    void stage(const char *name, const char *program) const
    {
        std::string at = bin + "/" + name;
        if (program == kReal)
            EXPECT_EQ(symlink(real_path(name).c_str(), at.c_str()), 0);
        else if (program != kMissing)
            dir.write(std::string("bin/") + name, std::string(kPrelude) + program, 0755);
    }

    std::string outfile() const { return dir.read("run/outfile"); }

    // `start`, when given, is a shell line that starts duct as "$0".
    ts::Result duct(std::vector<std::string> args = {}, const char *start = nullptr,
                    const char *fault = "") const
    {
        ts::Options o;
        o.args = std::move(args);
        o.cwd = run;
        o.env = {"PATH=" + bin, "LC_ALL=C"};
        o.fault = fault;
        if (!start)
            return ts::run(ts::bin("duct"), o);
        o.args.insert(o.args.begin(), {"-c", start, ts::bin("duct")});
        return ts::run("/bin/sh", o);
    }
};

mode_t mode_of(const std::string &path)
{
    struct stat st{};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(Duct, WritesTheReverseSortedListing)
{
    // duct has no options: extra words on its command line change nothing.
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-x", "outfile2", "--"}}) {
        Bench b;
        for (const char *name : {"alpha", "Beta", "gamma", "delta 2"})
            b.dir.write(std::string("run/") + name, "");
        ts::Result r = b.duct(args);
        EXPECT_EQ(r.exit_code(), 0) << r.describe();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        // The children race: the listing may or may not have caught outfile.
        const std::string listing = "gamma\ndelta 2\nalpha\nBeta\n";
        std::string got = b.outfile();
        EXPECT_TRUE(got == listing || got == "outfile\n" + listing) << ts::visible(got);
        EXPECT_NE(access(b.dir.file("run/outfile2").c_str(), F_OK), 0);
    }
}

// The listing the stand-in ls gives, and the outfile once sort is done.
const char *const kList = "printf 'a\\nc\\nb\\n'\n";
const char *const kSorted = "c\nb\na\n";

struct Case {
    const char *name;
    const char *ls = kList;
    const char *sort = kReal;
    int status = 0;
    const char *err = "";
    const char *outfile = nullptr;  // null: whatever the children got to write
    const char *start = nullptr;    // see Bench::duct
    const char *fault = "";         // see ts::Options::fault
};

// The calls made to fail, counted from duct's start; each child goes on from
// its parent's count as it stood at the fork:
//  - sigaction:1 the reset of SIGCHLD; pipe:1 the pipe;
//  - fork:1 the ls child, fork:2 the sort child;
//  - dup2:1 in each child, the pipe's end put in place; dup2:2 in the sort
//    child, outfile put in place;
//  - close:1 and close:2 in each process, its closes of the pipe's read and
//    write ends; close:3 in the sort child, outfile's spare descriptor;
//  - waitpid:1 and waitpid:2 the waits for ls and sort, or waitpid:3 the
//    wait for sort when the first was interrupted once.
const Case kCases[] = {
    {"sort_exit_code_is_the_status", kReal, "exit 7\n", 7, "", ""},
    {"sort_exit_code_255", kReal, "exit 255\n", 255, "", ""},
    {"sort_killed_by_a_signal_gives_1", kReal, "kill -TERM $$\n", 1, "", ""},
    {"ls_missing_leaves_an_empty_outfile", kMissing, kReal, 0,
     "execlp: No such file or directory\n", ""},
    {"sort_missing", kReal, kMissing, 1, "execlp: No such file or directory\n", ""},
    {"ls_failure_does_not_count", "echo x\nexit 3\n", kReal, 0, "", "x\n"},
    // Each stand-in reports its arguments and where its input and output lead.
    {"stages_get_their_arguments_and_the_pipe", "echo \"ls $#\"\n", "echo \"sort $*\"\ncat\n", 0,
     "", "sort -r\nls 0\n"},
    // Nothing beyond 0, 1 and 2 may leak into a stage: a stray write end of
    // the pipe would leave sort waiting for input forever.
    {"stages_get_no_other_descriptors",
     "for fd in 3 4 5 6 7 8 9; do [ -e /proc/$$/fd/$fd ] && echo \"ls has $fd\"; done; exit 0\n",
     "for fd in 3 4 5 6 7 8 9; do [ -e /proc/$$/fd/$fd ] && echo \"sort has $fd\"; done; cat\n", 0,
     "", ""},
    // Whichever child the wait returns first, the exit status is sort's
    // (7 here, never ls's 3).
    {"sort_reaped_first",
     "until [ -s ../sortpid ]; do sleep 0.01; done\n"
     "until gone $(cat ../sortpid); do sleep 0.01; done\nexit 3\n",
     "echo $$ >../sortpid\nexit 7\n", 7, "", ""},
    {"ls_reaped_first", "echo $$\nexit 3\n", "read p\nuntil gone $p; do sleep 0.01; done\nexit 7\n",
     7, "", ""},
    // Whatever numbers pipe and open return when standard descriptors are
    // closed, each stage gets the ones it was meant to have.
    {.name = "stdin_closed", .outfile = kSorted, .start = "exec \"$0\" <&-"},
    {.name = "stdout_closed", .outfile = kSorted, .start = "exec \"$0\" >&-"},
    {.name = "stderr_closed", .outfile = kSorted, .start = "exec \"$0\" 2>&-"},
    {.name = "all_three_closed", .outfile = kSorted, .start = "exec \"$0\" <&- >&- 2>&-"},
    // A child duct inherited, already ended, is none of its business.
    {.name = "child_it_did_not_start", .ls = "echo x\n",
     .sort = "until gone $(cat ../stranger); do sleep 0.01; done\ncat\nexit 7\n", .status = 7, .outfile = "x\n",
     .start = "/bin/sh -c 'exit 9' & echo $! >../stranger; exec \"$0\""},
    // dash does not pass an ignored SIGCHLD on; bash does.
    {.name = "sigchld_ignored_at_start", .ls = "echo x\n", .outfile = "x\n",
     .start = "exec /bin/bash -c 'trap \"\" CHLD; exec \"$0\"' \"$0\""},
    // Calls that fail: a status that says so whenever outfile is not whole,
    // one message per process that met the failure (none where the child
    // that would run sort cannot close outfile's spare descriptor), and no
    // child left behind.
    {.name = "sigchld_cannot_be_reset", .status = 1, .err = "sigaction: Invalid argument\n", .outfile = "",
     .fault = "sigaction:1"},
    {.name = "no_pipe", .status = 1, .err = "pipe: Too many open files\n", .outfile = "", .fault = "pipe:1"},
    {.name = "first_fork_fails", .status = 1, .err = "pid1: Resource temporarily unavailable\n", .outfile = "",
     .fault = "fork:1"},
    {.name = "second_fork_fails", .status = 1, .err = "pid2: Resource temporarily unavailable\n", .outfile = "",
     .fault = "fork:2"},
    {.name = "pipe_cannot_be_put_in_place", .status = 1,
     .err = "dup2 c1: Bad file descriptor\ndup2 c2: Bad file descriptor\n", .outfile = "", .fault = "dup2:1"},
    {.name = "outfile_cannot_be_put_in_place", .status = 1, .err = "dup2 outfile: Bad file descriptor\n",
     .outfile = "", .fault = "dup2:2"},
    {.name = "outfile_cannot_be_opened", .status = 1, .err = "output file creation error: Too many open files\n",
     .outfile = "", .fault = "open(outfile):1"},
    {.name = "pipe_ends_cannot_be_closed", .status = 1,
     .err = "close c1: Input/output error\nclose c2: Input/output error\nclose: Input/output error\n",
     .outfile = "", .fault = "close:1"},
    {.name = "write_ends_cannot_be_closed", .status = 1,
     .err = "close c1: Input/output error\nclose c2: Input/output error\nclose: Input/output error\n",
     .outfile = "", .fault = "close:2"},
    {.name = "outfile_spare_descriptor_cannot_be_closed", .status = 1, .outfile = "", .fault = "close:3"},
    {.name = "interrupted_waits_are_repeated", .outfile = kSorted, .fault = "waitpid:1:EINTR,waitpid:3:EINTR"},
    {.name = "wait_for_ls_fails", .status = 1, .err = "child1: No child processes\n", .fault = "waitpid:1"},
    {.name = "wait_for_sort_fails", .status = 1, .err = "child2: No child processes\n", .fault = "waitpid:2"},
};

// The two stages write concurrently, so their lines are compared sorted,
// whatever order they arrived in.
std::string sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        lines.push_back(text.substr(at, end - at + 1));
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const auto &line : lines)
        all += line;
    return all;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Stages : public ::testing::TestWithParam<Case> {};

TEST_P(Stages, Run)
{
    const Case &c = GetParam();
    Bench b(c.ls, c.sort);
    ts::Result r = b.duct({}, c.start, c.fault);
    r.err = sorted_lines(r.err);
    EXPECT_TRUE(ts::ended(r, c.status, "", sorted_lines(c.err)));
    EXPECT_EQ(r.left, "");
    if (c.outfile) {
        EXPECT_EQ(ts::visible(b.outfile()), ts::visible(c.outfile));
    }
}

INSTANTIATE_TEST_SUITE_P(Duct, Stages, ::testing::ValuesIn(kCases),
                         ts::CaseName());

TEST(Duct, ExistingOutfileIsTruncatedAndKeepsItsMode)
{
    for (mode_t mode : {0600, 0666}) {
        Bench b;
        b.dir.write("run/a", "");
        b.dir.write("run/outfile", std::string(4096, 'x').append("\n"), mode);
        ts::Result r = b.duct();
        EXPECT_EQ(r.exit_code(), 0) << r.describe();
        EXPECT_EQ(ts::visible(b.outfile()), "outfile\\na\\n");
        EXPECT_EQ(mode_of(b.dir.file("run/outfile")), mode);
    }
}

TEST(Duct, NewOutfileGets0644LessTheUmask)
{
    for (mode_t mask : {000, 027}) {
        Bench b;
        ts::Options o;
        char set_mask[32];
        snprintf(set_mask, sizeof set_mask, "umask %03o; exec \"$0\"", static_cast<unsigned>(mask));
        o.args = {"-c", set_mask, ts::bin("duct")};
        o.cwd = b.run;
        o.env = {"PATH=" + b.bin};
        ts::Result r = ts::run("/bin/sh", o);
        EXPECT_EQ(r.exit_code(), 0) << r.describe() << r.err;
        EXPECT_EQ(mode_of(b.dir.file("run/outfile")), 0644 & ~mask) << "umask " << mask;
    }
}

TEST(Duct, OutfileThatIsADirectory)
{
    Bench b;
    ASSERT_EQ(mkdir(b.dir.file("run/outfile").c_str(), 0755), 0);
    ts::Result r = b.duct();
    EXPECT_EQ(r.exit_code(), 1) << r.describe();
    EXPECT_EQ(r.err, "output file creation error: Is a directory\n");
}

// Root writes anywhere, so the program runs as an ordinary user here.
TEST(Duct, DirectoryWithoutWritePermission)
{
    Bench b;
    ASSERT_EQ(chmod(b.dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(b.run.c_str(), 0555), 0);
    ts::Options o;
    o.args = {ts::bin("duct")};
    o.cwd = b.run;
    o.env = {"PATH=" + b.bin};
    ts::Result r = ts::run(ts::helper("as_nobody"), o);
    if (r.exit_code() == 125 || r.exit_code() == 127)
        GTEST_SKIP() << "cannot run duct as an ordinary user here: " << r.err;
    EXPECT_EQ(r.exit_code(), 1) << r.describe();
    EXPECT_EQ(r.err, "output file creation error: Permission denied\n");
    EXPECT_NE(access(b.dir.file("run/outfile").c_str(), F_OK), 0);
}

}  // namespace
