// SPDX-License-Identifier: ISC
// wren fed through pipes and script files: what it prints, where, and how
// it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "expect.h"
#include "run.h"

namespace {

struct Case {
    const char *name;
    std::string input;
    std::string out;
    std::string err;
    int status;
    // How the shell is started: a shell command in which "$0" is wren.
    const char *start = "exec \"$0\"";
    // A first line too big for the memory the shell is then given (it can
    // be read but not cracked when it has many words).
    std::string (*too_big)() = nullptr;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const std::string kDropped = "line 1: malloc: Cannot allocate memory\nline 2: unterminated single quote\n";

const Case kPiped[] = {
    {"end_of_input_prints_a_newline", "echo hi\n", "hi\n\n", "", 0},
    {"last_line_without_newline", "echo hi", "hi\n\n", "", 0},
    {"empty_input", "", "\n", "", 0},
    {"exit_prints_no_newline", "echo a\nexit\necho b\n", "a\n", "", 0},
    {"exit_ignores_its_status", "exit 3\n", "", "", 0},
    {"exit_ignores_later_stages", "exit | cat\necho b\n", "", "", 0},
    {"blank_lines_run_nothing", "\n   \n\t\necho x\n", "x\n\n", "", 0},
    {"interrupt_prints_a_newline", "sh -c 'kill -INT $PPID'\necho after\n", "\nafter\n\n", "", 0},
    {"pipelines_run", "echo hi | tr a-z A-Z | sed s/H/J/\n", "JI\n\n", "", 0},
    {"parse_error_names_the_line_and_carries_on", "echo a\n\necho 'b\necho c\n", "a\nc\n\n",
     "line 3: unterminated single quote\n", 0},
    {"missing_command_carries_on", "wren-no-such-command\necho after\n", "after\n\n",
     "wren-no-such-command: No such file or directory\n", 0},
    {"builtin_names_are_exact", "EXIT\nexit2\necho exit cd\n", "exit cd\n\n",
     "EXIT: No such file or directory\nexit2: No such file or directory\n", 0},
    {"cd_changes_the_shell_directory", "cd /tmp\npwd\n", "/tmp\n\n", "", 0},
    {"cd_ignores_extra_words", "cd /tmp /etc | cat\npwd\n", "/tmp\n\n", "", 0},
    {"cd_to_missing_directory_ends_the_shell", "cd /wren-no-such-dir\necho no\n", "",
     "cd: No such file or directory\n", 1},
    {"cd_without_directory_ends_the_shell", "cd\necho no\n", "", "cd: no directory given\n", 1},
    {"line_too_long_for_memory_is_dropped", "echo 'b\necho next\n", "next\n\n", kDropped, 0, "exec \"$0\"",
     [] { return std::string(4 << 20, 'x'); }},
    {"script_line_too_long_for_memory_is_dropped", "echo 'b\necho next\n", "next\n", kDropped, 0,
     "exec \"$0\" /dev/stdin", [] { return std::string(4 << 20, 'x'); }},
    {"line_too_many_words_for_memory_is_dropped", "echo 'b\necho next\n", "next\n\n", kDropped, 0, "exec \"$0\"",
     [] { std::string line = "x "; while (line.size() < 400000) line += line; return line; }},
    {"quoted_word_too_long_for_memory_is_dropped", "echo 'b\necho next\n", "next\n\n", kDropped, 0, "exec \"$0\"",
     [] { return "echo '" + std::string(1200000, 'x') + "'"; }},
    // The script takes the last descriptor there is: the directory a pattern
    // searches cannot be opened, which is no empty match. (A sanitizer's leak
    // check would need one more at the end.)
    {"pattern_search_without_descriptors", "echo *\necho next\n", "next\n",
     "line 1: glob: Too many open files\n", 0,
     "ulimit -n 4 && ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "
     "LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}detect_leaks=0 exec \"$0\" /dev/stdin"},
    {"unwritable_output_is_reported", "echo a > f\n", "", "stdout: No space left on device\n", 1,
     "exec \"$0\" > /dev/full"},
    {"closed_output_is_reported", "", "", "stdout: Bad file descriptor\n", 1, "exec \"$0\" >&-"},
    {"closed_error_output_gets_no_command_output", "wren-no-such-command > f\ncat f\n", "\n", "", 0,
     "exec \"$0\" 2>&-"},
    // Several closed at once keep a number each: the input fails to be read
    // as a closed one does, and a message meant for standard error is lost.
    {"closed_input_and_output_are_both_held", "", "", "read: Bad file descriptor\n", 1, "exec \"$0\" <&- >&-"},
    {"all_three_closed_are_held", "", "", "", 0,
     "printf 'wren-no-such-command > f\\n' > s && \"$0\" s <&- >&- 2>&-; cat f"},
    {"ignored_child_signal_is_reset", "echo hi | cat\n", "hi\n\n", "", 0,
     "exec env --ignore-signal=CHLD \"$0\""},
    // The script takes over the one closed descriptor's placeholder; the open
    // ones get none, whatever errno held when they were looked at.
    {"closed_input_leaves_no_placeholder", "", "0\n", "", 0,
     "printf '%s\\n' 'sh -c \"ls -l /proc/$PPID/fd | grep -c /dev/null\"' > s && exec \"$0\" s <&-"},
    // Without /dev/null to hold a closed standard input's number, the script
    // gets it, and its commands get the script as their standard input.
    {"script_opened_as_descriptor_0", "", "hi\necho hi\ncat /dev/stdin\n", "", 0,
     "printf 'echo hi\\ncat /dev/stdin\\n' > s && ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 "
     "LD_PRELOAD=\"$FAULTLIB\" FAULT='open(/dev/null):1' exec \"$0\" s <&-"},
};

class Piped : public ::testing::TestWithParam<Case> {};

TEST_P(Piped, Transcript)
{
    const Case &c = GetParam();
    if (c.too_big && ts::under_emulator())
        GTEST_SKIP() << "the emulator cannot run under a memory limit";
    ts::TempDir dir;
    ts::Options o;
    o.input = c.too_big ? c.too_big() + "\n" + c.input : c.input;
    o.cwd = dir.path();
    o.env = {"WRENPROMPT=never shown> ", "FAULTLIB=" + ts::helper("libfault.so")};
    std::string start = c.start;
    if (c.too_big && ts::sanitizer_runtime()) {
        // Its allocator refuses large blocks instead, and its reports go to
        // a log file.
        const std::string refuse = "allocator_may_return_null=1:max_allocation_size_mb=2:log_path=" + dir.file("san");
        o.env.insert(o.env.end(), {"ASAN_OPTIONS=" + refuse, "LSAN_OPTIONS=" + refuse});
    } else if (c.too_big) {
        start = "ulimit -v 8192 && " + start;
    }
    o.args = {"-c", start, ts::bin("wren")};
    EXPECT_TRUE(ts::ended(ts::run("/bin/sh", o), c.status, c.out, c.err));
}

INSTANTIATE_TEST_SUITE_P(Wren, Piped, ::testing::ValuesIn(kPiped),
                         ts::CaseName());

// A script given as argument: no prompt, and no newline at its end.
TEST(WrenScript, RunsWithoutPromptOrFinalNewline)
{
    ts::TempDir dir;
    struct {
        std::string script, out;
    } cases[] = {
        {"echo one\necho two\n", "one\ntwo\n"},
        {"echo one\necho two", "one\ntwo\n"},
        {"echo one\nexit\necho two\n", "one\n"},
        {"", ""},
    };
    for (const auto &c : cases) {
        dir.write("script", c.script);
        ts::Options o;
        o.args = {dir.file("script")};
        o.input = "echo from stdin\n";
        ts::Result r = ts::run(ts::bin("wren"), o);
        EXPECT_EQ(r.exit_code(), 0) << r.describe();
        EXPECT_EQ(ts::visible(r.out), ts::visible(c.out)) << c.script;
        EXPECT_EQ(r.err, "");
    }
}

TEST(WrenScript, RelativeRedirectionsUseTheShellDirectory)
{
    ts::TempDir dir;
    dir.write("script", "echo hi > f\ncat < f | tr a-z A-Z\ncd /\ncat f\n");
    ts::Options o;
    o.args = {"script"};
    o.cwd = dir.path();
    ts::Result r = ts::run(ts::bin("wren"), o);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "HI\n");
    EXPECT_EQ(r.err, "cat: f: No such file or directory\n");
}

// Commands get the script as standard input, but not a second descriptor
// for it.
TEST(WrenScript, CommandsDoNotInheritTheScriptDescriptor)
{
    ts::TempDir dir;
    dir.write("script", ts::helper("wren_fds") + "\n");
    ts::Options o;
    o.args = {dir.file("script")};
    ts::Result r = ts::run(ts::bin("wren"), o);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "0 1 2\n");
}

// Whether this 32-bit build runs under a user-mode emulator registered
// without the flag that keeps argv[0]: programs then see their path instead.
bool emulator_replaces_argv0()
{
#if defined(__i386__)
    std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
    std::string line;
    while (std::getline(entry, line))
        if (line.rfind("flags:", 0) == 0)
            return line.find('P') == std::string::npos;
#endif
    return false;
}

TEST(WrenScript, UsageNamesTheProgram)
{
    ts::Options usage;
    usage.args = {"a", "b"};
    usage.argv0 = "myshell";
    ts::Result r = ts::run(ts::bin("wren"), usage);
    EXPECT_EQ(r.exit_code(), 255);
    EXPECT_EQ(r.out, "");
    if (emulator_replaces_argv0())
        GTEST_SKIP() << "qemu-i386 is registered in binfmt_misc without the P flag, so the program "
                        "cannot see the name it was started under; it printed: " << r.err;
    EXPECT_EQ(r.err, "usage: myshell\n");
}

TEST(WrenScript, UnreadableScripts)
{
    ts::TempDir dir;
    ts::Options missing;
    missing.args = {dir.file("missing")};
    ts::Result r = ts::run(ts::bin("wren"), missing);
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dir.file("missing") + ": No such file or directory\n");

    // A directory opens but every read fails: one message, status 1, and
    // no spinning (the harness would time it out).
    ts::Options directory;
    directory.args = {dir.path()};
    directory.timeout = std::chrono::seconds(20);
    r = ts::run(ts::bin("wren"), directory);
    EXPECT_EQ(r.exit_code(), 1) << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dir.path() + ": Is a directory\n");
}

}  // namespace
