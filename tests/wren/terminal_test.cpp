// SPDX-License-Identifier: ISC
// wren on a terminal, as a user meets it: prompts, Ctrl-C and Ctrl-D, and
// the line editor.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>

#include "expect.h"
#include "pty_session.h"
#include "run.h"

namespace {

using std::chrono::milliseconds;

const std::string kPrompt = "Squeak? ";

// The id of a child of `pid` running `command`, or 0 if there is none.
pid_t child_running(pid_t pid, const std::string &command)
{
    for (pid_t kid : ts::children_of(pid))
        if (ts::name_of(kid) == command)
            return kid;
    return 0;
}

// Waits until `pid` is blocked reading descriptor 0 or, when `writing`,
// writing descriptor 1, so that an interrupt sent now interrupts that call.
bool blocked_on(pid_t pid, bool writing = false)
{
    return ts::eventually([=] { return ts::blocked_in(pid, writing); });
}

// Whether `seen` ends with two copies of `text`, one of them whole and the
// other perhaps split around it.
bool shown_twice(const std::string &seen, const std::string &text)
{
    if (seen.size() < 2 * text.size())
        return false;
    std::string tail = seen.substr(seen.size() - 2 * text.size());
    for (size_t at = tail.find(text); at != std::string::npos; at = tail.find(text, at + 1))
        if (tail.substr(0, at) + tail.substr(at + text.size()) == text)
            return true;
    return false;
}

TEST(WrenTerminal, PromptsBeforeEveryLineAndExitsQuietly)
{
    ts::Pty t(ts::bin("wren"));
    ASSERT_TRUE(t.expect(kPrompt)) << ts::visible(t.transcript());
    t.send("echo hi\n");
    ASSERT_TRUE(t.expect(ts::crlf("hi\n") + kPrompt)) << ts::visible(t.transcript());
    t.send("\n");
    ASSERT_TRUE(t.expect(ts::crlf("\n") + kPrompt)) << ts::visible(t.transcript());
    // Keys that come after the prompt but before the editor has the terminal
    // are echoed by the terminal too.
    ASSERT_TRUE(blocked_on(t.pid()));
    t.send("exit\n");
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(ts::visible(t.rest()), ts::visible(ts::crlf("exit\n"))) << "no newline after exit";
}

TEST(WrenTerminal, PromptFromTheEnvironment)
{
    ts::Options o;
    o.env = {"WRENPROMPT=$ "};
    ts::Pty t(ts::bin("wren"), o);
    ASSERT_TRUE(t.expect("$ ")) << ts::visible(t.transcript());
    t.send("echo x\n");
    ASSERT_TRUE(t.expect(ts::crlf("x\n") + "$ ")) << ts::visible(t.transcript());
    t.send_eof();
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(t.transcript().find(kPrompt), std::string::npos);
}

// Also when the key was typed while a command ran.
TEST(WrenTerminal, EndOfInputAtThePromptPrintsANewline)
{
    for (bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "typed ahead" : "at the prompt");
        ts::Pty t(ts::bin("wren"));
        ASSERT_TRUE(t.expect(kPrompt));
        if (ahead) {
            t.send("sleep 1\n");
            ASSERT_TRUE(ts::eventually([&] { return child_running(t.pid(), "sleep") != 0; }));
        }
        t.send_eof();
        ts::Result r = t.wait();
        EXPECT_EQ(r.exit_code(), 0) << r.describe();
        EXPECT_EQ(ts::visible(t.rest()), ahead ? "sleep 1\\r\\n" + kPrompt + "\\r\\n" : "\\r\\n");
    }
}

// Also when it comes while the prompt is still being written (output held
// by Ctrl-S), and when whoever started the shell left it blocked.
TEST(WrenTerminal, InterruptAtThePromptGivesAFreshPrompt)
{
    ts::Pty t(ts::bin("wren"));
    ASSERT_TRUE(t.expect(kPrompt));
    t.send("half a li");
    ASSERT_TRUE(blocked_on(t.pid()));
    t.send_intr();
    ASSERT_TRUE(t.expect("\r\n" + kPrompt)) << ts::visible(t.transcript());
    t.send("echo alive\n");
    ASSERT_TRUE(t.expect(ts::crlf("alive\n") + kPrompt)) << ts::visible(t.transcript());

    termios quiet = t.attrs();
    quiet.c_lflag &= ~ECHO;
    ASSERT_EQ(tcsetattr(t.master(), TCSANOW, &quiet), 0);
    t.send(std::string(1, static_cast<char>(quiet.c_cc[VSTOP])) + "\n");
    ASSERT_TRUE(blocked_on(t.pid(), true));
    t.send_intr();
    ASSERT_TRUE(t.expect(kPrompt + "\r\n" + kPrompt)) << ts::visible(t.transcript());
    t.send_eof();
    EXPECT_EQ(t.wait().exit_code(), 0);

    // A signal it was started with ignored stays ignored while editing.
    ts::Options o;
    o.args = {"--block-signal=INT", "--ignore-signal=TERM", ts::bin("wren")};
    o.env = {"TERM=xterm"};
    ts::Pty blocked("/usr/bin/env", o);
    ASSERT_TRUE(blocked.expect(kPrompt) && blocked_on(blocked.pid()));
    blocked.send_intr();
    ASSERT_TRUE(blocked.expect("\r\n" + kPrompt) && blocked_on(blocked.pid())) << ts::visible(blocked.transcript());
    ASSERT_EQ(kill(blocked.pid(), SIGTERM), 0);
    blocked.send("echo alive\n");
    ASSERT_TRUE(blocked.expect(ts::crlf("alive\n") + kPrompt)) << ts::visible(blocked.transcript());
}

// Ctrl-C ends the running command (long before it would end by itself) and
// the shell prompts again.
TEST(WrenTerminal, InterruptEndsTheRunningPipeline)
{
    ts::Pty t(ts::bin("wren"));
    ASSERT_TRUE(t.expect(kPrompt));
    t.send("sleep 60 | cat\n");
    pid_t sleeper = 0;
    ASSERT_TRUE(ts::eventually([&] { return (sleeper = child_running(t.pid(), "sleep")) != 0; }))
        << "sleep never started: " << ts::visible(t.transcript());
    ASSERT_TRUE(ts::eventually([&] { return child_running(t.pid(), "cat") != 0; }));
    t.send_intr();
    ASSERT_TRUE(t.expect("\r\n" + kPrompt, milliseconds(30000))) << ts::visible(t.transcript());
    EXPECT_FALSE(ts::alive(sleeper));
    t.send("echo still here\n");
    ASSERT_TRUE(t.expect(ts::crlf("still here\n"))) << ts::visible(t.transcript());
    t.send("exit\n");
    EXPECT_EQ(t.wait().exit_code(), 0);
}

// The prompt needs both standard input and standard output on a terminal.
TEST(WrenTerminal, NoPromptUnlessBothEndsAreTerminals)
{
    ts::TempDir dir;
    ts::Options piped_in;
    piped_in.args = {"-c", "printf 'echo in\\n' | " + ts::bin("wren")};
    ts::Pty a("/bin/sh", piped_in);
    ts::Result ra = a.wait();
    EXPECT_EQ(ra.exit_code(), 0);
    EXPECT_EQ(ts::visible(a.transcript()), ts::visible(ts::crlf("in\n\n")));

    ts::Options piped_out;
    piped_out.args = {"-c", ts::bin("wren") + " > " + dir.file("out")};
    ts::Pty b("/bin/sh", piped_out);
    b.send("echo out\n");
    b.send_eof();
    ts::Result rb = b.wait();
    EXPECT_EQ(rb.exit_code(), 0);
    EXPECT_EQ(b.transcript().find(kPrompt), std::string::npos) << ts::visible(b.transcript());
    EXPECT_EQ(dir.read("out"), "out\n\n");
}

// Plain typing shows what the terminal's own echo shows, and each of 100
// interrupts in a row the terminal's ^C, a newline and a prompt, nothing else.
TEST(WrenEditor, PlainTypingAndAHundredInterrupts)
{
    ts::Options o;
    o.env = {"TERM=xterm"};
    ts::Pty t(ts::bin("wren"), o);
    ASSERT_TRUE(t.expect(kPrompt) && blocked_on(t.pid()));
    t.send("echo hi\n");
    ASSERT_TRUE(t.expect("hi\r\n" + kPrompt) && blocked_on(t.pid()));
    t.send("half a li");
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(blocked_on(t.pid()) && t.expect(i ? "" : "half a li"));
        t.send_intr();
        ASSERT_TRUE(t.expect("^C\r\n" + kPrompt)) << i << ts::visible(t.transcript());
    }
    t.send_eof();
    EXPECT_EQ(t.wait().exit_code(), 0);
    std::string want = kPrompt + "echo hi\r\nhi\r\n" + kPrompt + "half a li";
    for (int i = 0; i < 100; ++i)
        want += "^C\r\n" + kPrompt;
    EXPECT_EQ(ts::visible(t.transcript()), ts::visible(want + "\r\n"));
    EXPECT_TRUE(ts::as_fresh(t.attrs()));
}

// Keys typed at the editor (TERM=xterm, 80 columns) and what shows next, in
// a directory holding the files alpha.txt, "it's", "odd *|name" and
// "My Documents/f", .hidden, the directory alpine (holding $x\y, "\x80x",
// "éé", "éê", two names of marks alone, "x\x1b[7m" and xy), and bin/zzcmd,
// which PATH leads to twice (it names bin twice, as a PATH may), beside
// bin/zzcdata, which may not be executed, and bin/zzlink, a link to alpine.
// "@cols N" gives the window N columns, "@wait NAME" waits for the shell
// to run NAME, "@intr" is the interrupt key, "@kill N" sends signal N,
// which ends the shell, "@echoctl" turns the terminal's ECHOCTL over (while
// a command runs), "@swapkeys" swaps its erase and kill characters
// (likewise), "@intrkey C" makes C its interrupt key (likewise), "@stop"
// stops the shell and continues it (see stop_and_continue), "@stop quiet"
// likewise without the terminal's echo, "@resume" waits for the shell to
// wait on its output, held by Ctrl-S, resumes it with Ctrl-Q and looks for
// what it shows twice (see shown_twice). Keys are typed once the shell
// waits for them, but after "@wait", while it runs a command. After the last
// step the shell ends (at Ctrl-D), and the terminal's settings are those of
// a fresh one.
struct EditStep {
    std::string keys, shows;
};

struct EditRow {
    const char *name;
    std::vector<EditStep> steps;
    std::string prompt = kPrompt;
    // Someone else changes the terminal's settings while the line is edited:
    // they are left as they are then, not put back.
    bool changed_meanwhile = false;
    std::string fault{};  // calls made to fail, see ts::Options::fault
};

void PrintTo(const EditRow &row, std::ostream *os) { *os << row.name; }

bool flip_echoctl(ts::Pty &t)
{
    termios a = t.attrs();
    a.c_lflag ^= ECHOCTL;
    return tcsetattr(t.master(), TCSANOW, &a) == 0;
}

bool swap_erase_and_kill(ts::Pty &t)
{
    termios a = t.attrs();
    std::swap(a.c_cc[VERASE], a.c_cc[VKILL]);
    return tcsetattr(t.master(), TCSANOW, &a) == 0;
}

bool set_interrupt_key(ts::Pty &t, char key)
{
    termios a = t.attrs();
    a.c_cc[VINTR] = static_cast<cc_t>(key);
    return tcsetattr(t.master(), TCSANOW, &a) == 0;
}

// Stops the shell with a signal it cannot catch, gives the terminal its line
// editing and echo back meanwhile, as a job-control shell would, and
// continues it.
bool stop_and_continue(ts::Pty &t, bool echo)
{
    termios a = t.attrs();
    a.c_lflag |= ICANON | ECHO;
    if (!echo)
        a.c_lflag &= ~ECHO;
    return kill(t.pid(), SIGSTOP) == 0 && ts::eventually([&] { return ts::state_of(t.pid()) == 'T'; }) &&
           tcsetattr(t.master(), TCSANOW, &a) == 0 && kill(t.pid(), SIGCONT) == 0;
}

const std::string P = kPrompt;
const std::string kLeft6 = "\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D\x1b[D";

const EditRow kEditRows[] = {
    // Shift with an arrow moves by a character, however long the number of
    // its modifier is written; a sequence longer than any key's does nothing.
    // A word is made of letters, digits, "_" and characters beyond ASCII, and
    // a move by words goes back over a blank at the start too. A move left
    // at the start stays there; a byte that is no character takes a column.
    {"moves",
     {{"echo abc\x1b[D\x1b[Dx\n", "axbc\r\n" + P},
      {"cho hi\x1b[He\x1b[F!\n", "hi!\r\n" + P},
      {"cho b\x01\x02" "e\x05" "c\n", "bc\r\n" + P}, {"\u00e9\x1b[D\x04" "echo ok\n", "ok\r\n" + P},
      {"echo ab\x02\x02\x06X\n", "aXb\r\n" + P},
      {"echo one two\x1b" "b\x1b" "bX\x1b" "fY\n", "XoneY two\r\n" + P},
      {"echo one two\x1b[1;5D\x1b[1;3DX\n", "Xone two\r\n" + P},
      {"echo ab\x1b[1;2DX\x1b[1;0000000000002DY\x1b[00000000000000000003~\n", "aYXb\r\n" + P},
      {"echo one_tw\u00e9\x1b" "bX\n", "Xone_tw\u00e9\r\n" + P}, {" echo ok\x01\x06\x1b" "b\x04\n", "ok\r\n" + P},
      {"echo a\x1b[@b\n", "ab\r\n" + P}, {"echo a\x80\x1b[D", "a\x80\x1b[1D"}, {"\n", "a\x80\r\n" + P}}},
    {"deletes_cuts_and_puts_back",
     {{"echo abcdef\x7f\x08\x1b[D\x1b[D\x1b[3~\x04\n", "ab\r\n" + P},
      {"echo one tow\x14\x17\x17\x19\n", "one two\r\n" + P}, {"echo ab cd\x17\x15\x19\n", "ab cd\r\n" + P},
      {"zz echo hi\x1b[D" + kLeft6 + "\x15\n", "hi\r\n" + P},
      {"echo hi there" + kLeft6 + "\x0b\n", "hi\r\n" + P},
      {"echo one two  \x17\n", "one\r\n" + P}, {"echo ab\x7f", "\b \b"}, {"\u65e5\x7f", "\x1b[2D\x1b[J"}, {"\n", "a\r\n" + P}}},
    // A line like the one before it, the first one too, is kept once; a
    // blank one is not kept.
    {"history",
     {{"echo one\n", "one\r\n" + P}, {"echo one\n", "one\r\n" + P},
      {"\x12one\x12", "no match [one]: echo one"}, {"\x07", "\x1b[J" + P},
      {"echo two\n", "two\r\n" + P}, {"echo two\n", "two\r\n" + P}, {"  \n", "\r\n" + P},
      {"\x10\x7f\x7f\x7fONE\x10\x0e\n", "two\r\n" + P},
      {"\x10\x10", "\x1b[Jecho one"}, {"\n", "one\r\n" + P},
      {"echo thr\x1b[B\x1b[A\x1b[B\n", "thr\r\n" + P}}},
    {"search",
     {{"echo alpha\n", "alpha\r\n" + P}, {"echo beta\n", "beta\r\n" + P},
      {"\x12", "search []: "}, {"alp", "search [alp]: echo alpha"}, {"\n", "alpha\r\n" + P},
      {"\x12" "echo\x12", "search [echo]: echo beta"}, {"\n", "beta\r\n" + P},
      {"\x12zz", "no match [zz]: "}, {"\x07" "echo back\n", "back\r\n" + P},
      {"\x12" "bet\x05!\n", "beta!\r\n" + P},
      // An unbound key (here a null byte after a broken character) ends it.
      {"\x12" "bet\xc3" + std::string(1, '\0'), P + "echo beta!"}, {"\n", "beta!\r\n" + P}}},
    {"completes_names",
     {{"cat alph\t", "cat alpha.txt "}, {"\n", "in alpha\r\n" + P},
      {"cat My\t", "cat My\\ Documents/"}, {"\t", "f "}, {"\n", "in f\r\n" + P},
      {"cat \"alph\"a\t", "a.txt "}, {"\n", "in alpha\r\n" + P},
      {"cat alph\\\t", "alph\\a.txt "}, {"\n", "in alpha\r\n" + P},
      {"cat .\t", "cat .hidden "}, {"\n", "hid\r\n" + P},
      {"cat \t\t", "\r\nMy Documents/  alpine/        it's\r\nalpha.txt      bin/           odd *|name\r\n" + P + "cat "},
      {"\x15" "echo x\n", "x\r\n" + P},
      {"cat \"it\t", "cat \"it's\" "}, {"\n", "quoted\r\n" + P},
      {"cat 'it\t", "cat 'it'\\''s' "}, {"\n", "quoted\r\n" + P},
      {"cat od\t", "cat odd\\ \\*\\|name "}, {"\n", "odd\r\n" + P},
      {"echo x | zzc\t", "zzcmd "}, {"\n", "ran zzcmd\r\n" + P},
      {"ls bin/zzl\t", "ink/"}, {"\n", "\r\n" + P},
      {"echo al x\x1b[D\x1b[D\t", "p x\x1b[2D"},
      {"\t", "\x1b[2C\r\nalpha.txt  alpine/\r\n" + P + "echo alp x"}, {"\n", "alp x\r\n" + P}}},
    // Inside double quotes a backslash keeps only $ ` " and itself, and only
    // once the character after it is typed.
    {"completes_escapes_in_double_quotes",
     {{"cat \"alph\\\t", "cat \"alp"}, {"Z", "h\\Z"},
      {"\x15" "cat \"alpine/\\$x\\\\\t", "y\" "}, {"\n", "dollar\r\n" + P}}},
    // The seventh realloc, the list of names for the Tab, fails (the first
    // three are the C library's, loading its character tables): no name is
    // added, and the line runs as typed.
    {"completes_nothing_without_memory", {{"cat al\t", "cat al"}, {"\n", "al: No such file or directory\r\n" + P}},
     kPrompt, false, "realloc:7"},
    // Likewise the fifth, which holds the word to complete: nothing is
    // offered for a word that could not be taken whole.
    {"completes_nothing_without_memory_for_the_word",
     {{"cat xal\t", "cat xal"}, {"\n", "xal: No such file or directory\r\n" + P}}, kPrompt, false, "realloc:5"},
    // Likewise the 22nd malloc, the copy of the second name: nothing is
    // offered either, rather than the one name listed before it.
    {"completes_nothing_when_memory_fails_midway", {{"cat al\t", "cat al"}, {"\n", "al: No such file or directory\r\n" + P}},
     kPrompt, false, "malloc:22"},
    {"wraps_long_lines",
     {{"@cols 20", ""}, {"echo 0123456789abcdefghij", "ghij"},
      {"\x01", "\x1b[1A\x1b[5D"},
      {"@cols 40", "\r\x1b[J" + P + "echo 0123456789abcdefghij"},
      {"\x1b" "f\x06Z\x05!\n", "Z0123456789abcdefghij!\r\n" + P}}},
    // A wide character at the margin, or one column short of it, starts the
    // next row, and the cursor goes there to stand on it.
    {"wide_character_at_the_margin",
     {{"@cols 20", ""}, {"echo 1234567\u65e5", "\u65e5"}, {"\x01", "\x1b[1A\x1b[6C"},
      {"\n", "1234567\u65e5\r\n" + P}, {"echo 123456\u65e5", "echo 123456"}, {"\x1b[D", "\u65e5\r"},
      {"\n", "123456\u65e5\r\n" + P}}},
    {"prompt_as_wide_as_the_window",
     {{"@cols 20", ""}, {"echo a", "echo a"}, {"@cols 8", "\x1b[1A\r\x1b[J" + P + "echo a"}, {"\n", "a\r\n" + P}}},
    {"prompt_with_escape_sequences",
     {{"@cols 20", ""}, {"echo 0123456789abc\x01", "\r\x1b[2C"}, {"\n", "0123456789abc\r\n\x1b[1m$\x1b[0m "}},
     "\x1b[1m$\x1b[0m "},
    {"prompt_with_a_carriage_return", {{"echo a", "echo a"}, {"@cols 40", "\x1b[J$ echo a"}, {"\n", "a\r\n"}}, "up\r$ "},
    {"settings_changed_meanwhile", {{"echo a", "echo a"}, {"@echoctl", ""}, {"@kill 15", ""}}, kPrompt, true},
    {"no_prompt", {{"echo a\n", ""}, {"\x10", "a\r\n\x1b[Jecho a"}, {"\n", "\r\na\r\n"}}, ""},
    {"line_to_the_margin",
     {{"@cols 20", ""}, {"echo 1234567", "echo 1234567"}, {"\x02", "\r\x1b[19C"}, {"\x01", "\x1b[11D"},
      {"\n", "\x1b[11C7\r\n1234567\r\n" + P}, {"echo 1234567\x01", "\r\x1b[8C"},
      {"\x05" "8\n", "\r\n8\r\n12345678\r\n" + P}}},
    {"characters_of_several_bytes",
     {{"echo \u65e5\u672c\x1b[D", "\x1b[2D"}, {"\x7f\n", "\u672c\r\n" + P},
      {"echo e\u0301x\x1b[D\x1b[D\x1b[3~\n", "\r\nx\r\n" + P},
      {"echo \xff\xfe\n", "\xff\xfe\r\n" + P},
      {"echo \u00e9", "echo \u00e9"}, {"\xff", "\xff"}, {"\xf8", "\xf8"}, {"\n", "\u00e9\xff\xf8\r\n" + P},
      {"echo \x80\u0301x\x1b[D\x1b[D\x1b[3~\n", "\x80x\r\n" + P},
      {"echo \xf0\u0301\x1b[D\x1b[3~\n", "\r\n\xf0\r\n" + P},
      // Two columns, one or none: wide characters beside narrow ones, a
      // Hebrew letter with its mark, and a character not assigned yet.
      {"echo \u1100\u2654\u2614\u25ff\u274c\u2b55\u27bf\u2b1b\ufe70\U0001f005\u0e3b\u2100\U0001f600"
       "\u05d0\u05bf\u0378\x01",
       "\x1b[27D"},
      {"\x0b\n", "\r\n" + P}}},
    {"interrupt_inside_the_line",
     {{"echo abc\x1b[D\x1b[D", "\x1b[1D\x1b[1D"}, {"@intr", "\x1b[2C^C\r\n" + P},
      {"sleep 1\n", ""}, {"@wait sleep", ""}, {"@echoctl", ""}, {"@intr", "\x03\r\n" + P},
      {"sleep 1\n", ""}, {"@wait sleep", ""}, {"@echoctl", ""}}},
    // A printable interrupt key shows as itself, DEL as ^?. (The command
    // typed while a space interrupts holds none.)
    {"interrupt_keys_of_a_space_and_del",
     {{"echo sleep 1 > nap\n", "\r\n" + P}, {"sh<nap\n", ""}, {"@wait sh", ""}, {"@intrkey  ", ""},
      {"echo", "echo"}, {" ", " \r\n" + P}, {"sh<nap\n", ""}, {"@wait sh", ""}, {"@intrkey \x7f", ""},
      {"echo", "echo"}, {"\x7f", "^?\r\n" + P}, {"sh<nap\n", ""}, {"@wait sh", ""}, {"@intrkey \x03", ""}}},
    {"put_back_when_a_signal_ends_it", {{"echo ab", "echo ab"}, {"@kill 15", ""}}},
    {"taken_again_when_continued",
     {{"echo ab", "echo ab"}, {"@stop", "\r" + P + "echo ab"}, {"\x1b[D", "\x1b[1D"}, {"c\n", "acb\r\n" + P}}},
    // With no shell above it (its process group orphaned), the suspend key
    // stops nothing, and the line goes on in the editor's mode.
    {"suspend_key_with_no_shell_to_stop_for",
     {{"echo ab", "echo a"}, {"\x1a", "b^Z\r" + P + "echo ab"}, {"\x02" "c", "\x1b[1D\x1b[Jcb\x1b[1D"},
      {"\n", "acb\r\n" + P}}},
    // Continued without echo, the interrupt key shows nothing, as the
    // terminal's own echo would not; the settings stay without echo.
    {"taken_again_without_echo",
     {{"echo ab", "echo ab"}, {"@stop quiet", "\r" + P + "echo a"}, {"@intr", "b\r\n" + P},
      {"stty echo\n", P}, {"echo on\n", "echo on\r\non\r\n" + P}}},
    {"put_back_when_the_last_real_time_signal_ends_it", {{"echo ab", "echo ab"}, {"@kill 64", ""}}},
    {"clears_the_screen", {{"echo x\x0c", "\x1b[H\x1b[2J" + P + "echo x"}, {"\n", "x\r\n" + P}}},
    // Drawn again after a search, a prompt of two lines shows its last.
    {"prompt_of_two_lines", {{"\x12\x07", "\x1b[Jb> "}, {"echo x\n", "x\r\na\r\nb> "}}, "a\nb> "},
    {"pasted_lines_run_one_by_one",
     {{"echo a\necho b\n", "echo a\r\na\r\n" + P + "echo b\r\nb\r\n" + P},
      {"echo a\tb", "echo a^Ib"}, {"\x01", "\x1b[9D"}, {"\x05\n", "a b\r\n" + P}}},
    // A whole line typed ahead shows once (the terminal's echo), a part of
    // one again after the prompt, to be edited on.
    {"typed_ahead_runs_as_typed",
     {{"sleep 1\n", ""}, {"@wait sleep", ""}, {"echo ahead\n", "echo ahead\r\n"}, {"", P + "ahead\r\n" + P},
      {"\x1b[A\n", "ahead\r\nahead\r\n" + P},
      {"sleep 1\n", ""}, {"@wait sleep", ""}, {"echo par", "echo par"}, {"", P + "echo par"},
      {"tial\n", "partial\r\n" + P},
      {"sleep 1\n", ""}, {"@wait sleep", ""}, {"echo par", "echo par"}, {"", P + "echo par"}, {"tial\x15", ""},
      {std::string(1, '\0') + "\x19\n", "partial\r\n" + P}}},
    // Typing within the line draws its rest again; at the end, Ctrl-D and
    // Ctrl-F do nothing, and a word to the right stops there. The cursor
    // keys' other sequences do what theirs do; an unbound one does nothing.
    {"edits_within_the_line",
     {{"echo ac\x1b[Db", "\x1b[1D\x1b[Jbc\x1b[1D"}, {"\x05\x04\x06!?\x7f", "\x1b[1C!?\b \b"},
      {"\x01\x1b" "f\x1b" "f\x1b" "fX", "\x1b[9D\x1b[4C\x1b[4C\x1b[1CX"}, {"\n", "abc!X\r\n" + P},
      {"\x12!", "search [!]: echo abc!X"}, {"\n", "abc!X\r\n" + P},
      {"echo ab\x1bOD\x1b[1~\x1b[4~\x1b[7~\x1b[8~\x1b[5~\x1bOH", "\x1b[1D\x1b[6D\x1b[7C\x1b[7D\x1b[7C\x1b[7D"},
      {"\x1b[1;5C\x1bOF!\n", "\x1b[4C\x1b[3C!\r\nab!\r\n" + P},
      // A null byte typed on an empty line is a key of no use, not the end
      // of the input.
      {"x\x7f" + std::string(1, '\0') + "echo b\n", "b\r\n" + P},
      // Ctrl-T swaps characters of several bytes whole; a line of one
      // character comes back whole; a DEL inside a key's sequence is no end.
      {"echo x\u00e9\x14\n", "\u00e9x\r\n\u00e9x\r\n" + P}, {"q\n", "q: No such file or directory\r\n" + P},
      {"\x1b[A\n", "\x1b[Jq\r\nq: No such file or directory\r\n" + P}, {"echo a\x1b[2\x7f~\n", "echo a\r\na\r\n" + P}}},
    {"terminal_keys_of_its_own",
     {{"sleep 1\n", ""}, {"@wait sleep", ""}, {"@swapkeys", ""}, {"echo abx\x15", "abx\b \b"}, {"\x7f", "\x1b[7D\x1b[J"},
      {"sleep 1\n", ""}, {"@wait sleep", ""}, {"@swapkeys", ""}}},
    // Names are completed only as far as they agree in whole characters:
    // here in none, then in one and a byte of the next.
    {"completes_whole_characters_only",
     {{"cat alpine/\t", "cat alpine/"}, {"\u00e9\t", "\u00e9"},
      {"\t", "\r\n\u00e9\u00e9  \u00e9\u00ea\r\n" + P + "cat alpine/\u00e9"}, {"\u00ea\t", " "},
      {"\n", "then\r\n" + P}}},
    {"four_byte_character_shows_at_once", {{"echo \U0001f600", "echo \U0001f600"}, {"\n", "\U0001f600\r\n" + P}}},
    // Up finds no memory to keep the line being typed (the ninth realloc):
    // the line stays as it is.
    {"history_without_memory", {{"echo hi\n", "hi\r\n" + P}, {"\x1b[A", ""}, {"echo no\n", "echo no\r\nno\r\n" + P}},
     kPrompt, false, "realloc:9"},
    // Likewise the search's label, at the tenth: the label shows from the
    // next key on, and the search goes on.
    {"search_without_memory", {{"echo hi\n", "hi\r\n"}, {"\x12h", P + "\r\x1b[Jsearch [h]: echo hi"}, {"\n", "hi\r\n" + P}},
     kPrompt, false, "realloc:10"},
    // A sigaction amid those that take the editor's signals fails (the 70th;
    // they are about the 51st to the 96th, after the shell's own and the
    // editor's look at each): the line is left to the terminal's own mode.
    // The signals taken before it are given back: the shell's own handler
    // answers the interrupt.
    {"signals_not_taken_leave_the_line_to_the_terminal", {{"echo ab\x02" "c\n", "echo ab^Bc\r\nab\x02" "c\r\n" + P}},
     kPrompt, false, "sigaction:70"},
    {"signals_not_taken_leave_the_interrupt_to_the_shell", {{"echo ab", "echo ab"}, {"@intr", "^C\r\n" + P}},
     kPrompt, false, "sigaction:70"},
    // The line's first growth (the fourth realloc, after the C library's
    // three for its character tables) fails: that key is not taken, and the
    // line goes on.
    {"key_without_memory", {{"xecho hi\n", "hi\r\n" + P}}, kPrompt, false, "realloc:4"},
    // The editor's writes fail from the second on: one a signal interrupted
    // is made again; a terminal that takes none shows no more of the line,
    // which runs all the same. A terminal a program left non-blocking is
    // waited on while its output is held (Ctrl-S, typed while sleep runs), as
    // a blocking one is: what was typed meanwhile shows once it is let go.
    {"write_interrupted", {{"echo hi\n", "echo hi\r\nhi\r\n" + P}}, kPrompt, false, "write:2:EINTR"},
    {"writes_failing", {{"echo hi\n", "ehi\r\n" + P}}, kPrompt, false, "write:2+"},
    {"output_held_when_non_blocking",
     {{"dd iflag=nonblock count=0 status=none | sleep 1\n", ""}, {"@wait sleep", ""}, {"\x13" "echo par", ""},
      {"@resume", "echo par"}, {"tial\n", "tial\r\npartial\r\n"}},
     ""},
    // Lines read ahead while the terminal was out of its line mode run
    // before the editor takes it again, down to the last, empty, one.
    {"input_left_non_blocking",
     {{"dd iflag=nonblock count=0 status=none\n", "\r\n" + P}, {"echo ab\x02" "c\n", "acb\r\n" + P}}},
    {"lines_read_ahead_run_first",
     {{"stty -icanon\n", "\r\n" + P}, {"stty icanon\n\n", "stty icanon^J^J" + P + P}}},
    // Names are listed in the columns they show in: marks alone take none,
    // a control character the one of its "?"; as many go on a row as fit
    // there with their gaps.
    {"lists_names_by_their_columns",
     {{"cat alpine/\u0301\t", "cat alpine/\u0301"},
      {"\t", "\r\n\u0301\u0300  \u0301\u0302\r\n" + P + "cat alpine/\u0301"},
      {"\x15" "cat alpine/x\t", "cat alpine/x"}, {"\t", "\r\nx?[7m  xy\r\n" + P + "cat alpine/x"},
      {"\x15" "echo x\n", "x\r\n" + P}, {"@cols 22", "\x1b[J" + P}, {"cat al\t", "cat alp"},
      {"\t", "\r\nalpha.txt  alpine/\r\n" + P + "cat alp"}, {"@cols 20", "\x1b[J" + P + "cat alp"},
      {"\t", "\r\nalpha.txt\r\nalpine/\r\n" + P + "cat alp"}, {"\x15" "echo y\n", "y\r\n" + P}}},

    {"put_back_when_a_hang_up_signal_ends_it", {{"echo ab", "echo ab"}, {"@kill 1", ""}}},
    // A character stays whole only when it is the shortest UTF-8 for a
    // character there is: otherwise Backspace takes its last byte alone, and
    // bytes that would stand for a mark are not taken with the one before.
    {"backspace_over_each_length_of_character",
     {{"echo x\xc2\x80\x7f x\xc1\xbf\x7f\n", "\r\nx x\xc1\r\n" + P},
      {"echo x\xe0\xa0\x80\x7f x\xe0\x9f\xbf\x7f x\xed\x9f\xbf\x7f x\xed\xa0\x80\x7f x\xed\xbf\xbf\x7f x\xee\x80\x80\x7f"
       " x\xe0\x8c\x80\x02\x02\x02\x04\n",
       "\r\nx x\xe0\x9f x x\xed\xa0 x\xed\xbf x x\x8c\x80\r\n" + P},
      {"echo x\xf0\x90\x80\x80\x7f x\xf0\x8f\xbf\xbf\x7f x\xf3\xb0\x80\x80\x7f x\xf4\x8f\xbf\xbf\x7f x\xf4\x90\x80\x80\x7f\n",
       "\r\nx x\xf0\x8f\xbf x x x\xf4\x90\x80\r\n" + P}}},
    // ^I's caret in the last column, its letter on the next row; the line
    // runs on to a third row.
    {"control_character_at_the_margin",
     {{"@cols 20", ""}, {"echo 123456\t0123456789abcdefghijXY", "echo 123456^I0123456789abcdefghijXY"},
      {"\x02\x02\x02\x02", "\x1b[1D\x1b[1D\r\x1b[1A\x1b[19C"}, {"\x1b" "b\x02", "\x1b[18D\x1b[1A\x1b[18C"},
      {"\x0c", "\x1b[H\x1b[2J" + P + "echo 123456^I0123456789abcdefghijXY\x1b[2A\x1b[16C"},
      {"\n", "\r\n123456 0123456789abcdefghijXY\r\n" + P}}},
    // A window one column wide, and one whose size is not known (80 columns).
    {"one_column_and_unknown_width",
     {{"@cols 1", "\r\x1b[J$"}, {"@cols 0", "\r\x1b[J$"}, {"echo " + std::string(74, 'x'), "xxx"},
      {"\x01", "\r\x1b[1C"}, {"\n", std::string(74, 'x') + "\r\n$"}},
     "$"},
    // Sequences ending in the first and the last final byte there is, one
    // with a DEL inside, which terminals pass over: the prompt takes two columns.
    {"prompt_with_every_kind_of_final_byte",
     {{"@cols 20", ""}, {"echo 0123456789abc\x01", "\r\x1b[2C"}, {"\n", "0123456789abc\r\n\x1b[@\x1b[2\x7f~$ "}},
     "\x1b[@\x1b[2\x7f~$ "},
    // The match's first byte in the last column but one, and after a
    // longer label than the one shown.
    {"search_at_the_margin",
     {{"echo 123X\n", "123X\r\n" + P}, {"@cols 20", ""}, {"\x12X", "search [X]: echo 123X\r"},
      {"Y", "\x1b[1A\x1b[Jno match [XY]: echo 123X\x1b[1D"}, {"\x7f", "\x1b[1A\r\x1b[Jsearch [X]: echo 123X\r"},
      {"\x12", "\x1b[1A\x1b[Jno match [X]: echo 123X\x1b[1D"}, {"\x07", "\x1b[J" + P}}},
};

class Editing : public ::testing::TestWithParam<EditRow> {};

TEST_P(Editing, ShowsAndRuns)
{
    ts::TempDir dir;
    dir.write("alpha.txt", "in alpha\n");
    dir.write("it's", "quoted\n");
    dir.write("odd *|name", "odd\n");
    dir.write(".hidden", "hid\n");
    ASSERT_EQ(mkdir(dir.file("alpine").c_str(), 0755), 0);
    dir.write("alpine/$x\\y", "dollar\n");
    dir.write("alpine/\x80x", "no character\n");
    dir.write("alpine/\u00e9\u00e9", "twice\n");
    dir.write("alpine/\u00e9\u00ea", "then\n");
    for (const char *name : {"\u0301\u0300", "\u0301\u0302", "x\x1b[7m", "xy"})
        dir.write(std::string("alpine/") + name, "");
    ASSERT_EQ(mkdir(dir.file("My Documents").c_str(), 0755), 0);
    dir.write("My Documents/f", "in f\n");
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
    dir.write("bin/zzcmd", "#!/bin/sh\necho ran zzcmd\n", 0755);
    dir.write("bin/zzcdata", "data\n", 0666);
    ASSERT_EQ(symlink("../alpine", dir.file("bin/zzlink").c_str()), 0);
    ts::Options o;
    o.cwd = dir.path();
    o.env = {"TERM=xterm", "PATH=" + dir.file("bin") + ":/usr/bin:" + dir.file("bin") + ":/bin",
             "WRENPROMPT=" + GetParam().prompt};
    o.fault = GetParam().fault;
    ts::Pty t(ts::bin("wren"), o);
    std::string shown_prompt = GetParam().prompt;  // the terminal ends a line with \r\n
    for (size_t at = 0; (at = shown_prompt.find('\n', at)) != std::string::npos; at += 2)
        shown_prompt.replace(at, 1, "\r\n");
    ASSERT_TRUE(t.expect(shown_prompt));
    bool ahead = false;
    int killed = 0;
    for (const EditStep &step : GetParam().steps) {
        SCOPED_TRACE("at " + ts::visible(step.keys));
        bool waits = step.keys.starts_with("@wait ") || step.keys == "@resume";
        if (!ahead && !waits && !step.keys.empty()) {
            ASSERT_TRUE(blocked_on(t.pid()));
        }
        ahead = waits;
        if (step.keys.starts_with("@cols "))
            t.resize(std::stoi(step.keys.substr(6)));
        else if (step.keys.starts_with("@wait "))
            ASSERT_TRUE(ts::eventually([&] { return child_running(t.pid(), step.keys.substr(6)) != 0; }));
        else if (step.keys == "@resume") {
            ASSERT_TRUE(blocked_on(t.pid(), true));
            t.send("\x11");
            // Keys typed while the output was held come out twice, echoed by
            // the terminal and redrawn by the editor, and the kernel may put
            // the redraw in the middle of its echo.
            ASSERT_TRUE(ts::eventually([&] {
                t.settle(milliseconds(20));
                return shown_twice(t.transcript(), step.shows);
            })) << ts::visible(t.transcript());
        } else if (step.keys == "@intr")
            t.send_intr();
        else if (step.keys == "@echoctl")
            ASSERT_TRUE(flip_echoctl(t));
        else if (step.keys == "@swapkeys")
            ASSERT_TRUE(swap_erase_and_kill(t));
        else if (step.keys.starts_with("@intrkey "))
            ASSERT_TRUE(set_interrupt_key(t, step.keys.back()));
        else if (step.keys.starts_with("@stop"))
            ASSERT_TRUE(stop_and_continue(t, step.keys == "@stop"));
        else if (step.keys.starts_with("@kill ")) {
            killed = std::stoi(step.keys.substr(6));
            if (killed >= SIGRTMIN && ts::under_emulator())
                GTEST_SKIP() << "the emulator keeps some real-time signals for itself";
            ASSERT_EQ(kill(t.pid(), killed), 0);
        }
        else
            t.send(step.keys);
        ASSERT_TRUE(t.expect(step.shows)) << ts::visible(t.transcript());
    }
    if (!killed) {
        ASSERT_TRUE(blocked_on(t.pid()));
        t.send_eof();
    }
    ts::Result r = t.wait();
    EXPECT_TRUE(killed ? r.term_signal() == killed : r.exit_code() == 0) << r.describe();
    if (GetParam().changed_meanwhile)
        EXPECT_FALSE(t.attrs().c_lflag & ICANON);
    else
        EXPECT_TRUE(ts::as_fresh(t.attrs()));
}

INSTANTIATE_TEST_SUITE_P(WrenEditor, Editing, ::testing::ValuesIn(kEditRows), ts::CaseName());

}  // namespace
