// SPDX-License-Identifier: ISC
// binview through pipes and files, and on a terminal as a user at the
// keyboard: keystrokes shown at once without echo, and the terminal handed
// back as it was however the program ends or stops.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <bitset>
#include <cstring>
#include <string>
#include <vector>

#include "expect.h"
#include "pty_session.h"
#include "run.h"

namespace {

std::string groups(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        out += std::bitset<8>(c).to_string() + " ";
    return out;
}

std::string all_bytes()
{
    std::string s;
    for (int c = 0; c < 256; ++c)
        s += static_cast<char>(c);
    return s;
}

TEST(Binview, GroupsFromAPipe)
{
    struct {
        std::string input, output;
    } cases[] = {
        {"", ""},
        {"A\n\xff", "01000001 00001010 11111111 "},
        {all_bytes(), groups(all_bytes())},
    };
    for (const auto &c : cases) {
        ts::Options o;
        o.input = c.input;
        o.args = {"-x", "ignored"};
        ts::Result r = ts::run(ts::bin("binview"), o);
        EXPECT_EQ(r.exit_code(), 0) << r.describe();
        EXPECT_EQ(r.out, c.output);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Binview, GroupsFromAFile)
{
    ts::TempDir dir;
    dir.write("in", all_bytes());
    ts::Options o;
    o.args = {"-c", "exec \"$0\" <\"$1\"", ts::bin("binview"), dir.file("in")};
    ts::Result r = ts::run("/bin/sh", o);
    EXPECT_EQ(r.exit_code(), 0) << r.describe() << r.err;
    EXPECT_EQ(r.out, groups(all_bytes()));
}

// No group waits in a buffer, wherever the output goes: a reader at the
// other end of a pipe has it while binview still waits for its next byte.
TEST(Binview, EachGroupIsWrittenBeforeTheNextByte)
{
    ts::Options o;
    o.input_open = true;
    ts::Process p(ts::bin("binview"), o);
    std::string sent;
    for (const char *byte : {"1", "\x80", "~"}) {
        p.send(byte);
        sent += byte;
        ASSERT_TRUE(ts::eventually([&] { return p.out() == groups(sent); })) << ts::visible(p.out());
    }
    p.close_input();
    EXPECT_EQ(p.wait().exit_code(), 0);
}

// Output that cannot be written, or input that cannot be read, must not end
// in success.
TEST(Binview, FailedReadsAndWritesAreReported)
{
    struct {
        const char *redirect, *err;
    } const cases[] = {
        {">/dev/full", "putchar: No space left on device\n"},
        {"</", "stdin: Is a directory\n"},
        {"<&-", "stdin: Bad file descriptor\n"},
    };
    for (const auto &c : cases) {
        ts::Options o;
        o.input = "AB";
        o.args = {"-c", std::string("exec \"$0\" ") + c.redirect, ts::bin("binview")};
        ts::Result r = ts::run("/bin/sh", o);
        EXPECT_EQ(r.exit_code(), 1) << c.redirect << ": " << r.describe();
        EXPECT_EQ(r.err, c.err) << c.redirect;
    }
}

// ---- On a terminal

std::string show(const termios &t)
{
    char buf[96];
    snprintf(buf, sizeof buf, "iflag %#x oflag %#x cflag %#x lflag %#x", t.c_iflag, t.c_oflag,
             t.c_cflag, t.c_lflag);
    std::string s = buf;
    for (cc_t c : t.c_cc)
        s += " " + std::to_string(c);
    return s;
}

bool same(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool raw(const termios &t) { return !(t.c_lflag & (ICANON | ECHO)); }

// The settings a terminal had before binview changed them, with exactly
// the changes binview makes.
termios changed(termios t)
{
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return t;
}

// The settings of a new pseudo-terminal, as a session starts with them.
termios fresh_attrs()
{
    int master, slave;
    termios t{};
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << strerror(errno);
        return t;
    }
    EXPECT_EQ(tcgetattr(master, &t), 0);
    close(slave);
    close(master);
    return t;
}

TEST(BinviewTerminal, KeystrokesShowAtOnceWithoutEcho)
{
    ts::Pty t(ts::bin("binview"));
    ASSERT_TRUE(t.wait_attrs(raw)) << show(t.attrs());
    EXPECT_TRUE(same(t.attrs(), changed(fresh_attrs()))) << show(t.attrs());

    // Every key's group shows up before the next key goes in. The
    // end-of-file key is an ordinary byte now; Return arrives as a newline.
    std::string typed = "a";
    typed += static_cast<char>(t.attrs().c_cc[VEOF]);
    typed += "\r\xc3\xa9";
    const std::string want = "01100001 00000100 00001010 11000011 10101001 ";
    for (char key : typed) {
        t.send(std::string(1, key));
        ASSERT_TRUE(t.expect(groups(key == '\r' ? "\n" : std::string(1, key))))
            << ts::visible(t.transcript());
    }
    t.settle(std::chrono::milliseconds(100));
    EXPECT_EQ(t.transcript(), want) << "typed keys must not be echoed";
}

// However the program is ended, the terminal is handed back unchanged and
// the status still tells the signal that ended it.
TEST(BinviewTerminal, EndingSignalsRestoreTheTerminal)
{
    struct Case {
        std::string how;
        int sig;
    };
    std::vector<Case> cases = {{"interrupt key", SIGINT}, {"quit key", SIGQUIT}};
    // Every other signal whose default action ends a process, sent from
    // outside: a pipe whose reader has gone (binview | head -c 9), timers,
    // limits and the faults among them.
    for (int sig : {SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
                    SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS, SIGSTKFLT, SIGSEGV, SIGBUS,
                    SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGRTMIN, SIGRTMAX})
        cases.push_back({strsignal(sig), sig});
    const termios before = fresh_attrs();
    for (const auto &c : cases) {
        // qemu-i386 keeps some real-time signals for itself: they cannot be
        // sent to the program, or end it unseen.
        if (c.sig >= SIGRTMIN && ts::under_emulator())
            continue;
        ts::TempDir dir;  // where a core dump would go
        ts::Options o;
        o.cwd = dir.path();
        ts::Pty t(ts::bin("binview"), o);
        ASSERT_TRUE(t.wait_attrs(raw)) << c.how;
        t.send("x");
        ASSERT_TRUE(t.expect(groups("x"))) << c.how;
        if (c.sig == SIGINT)
            t.send_intr();
        else if (c.sig == SIGQUIT)
            t.send_quit();
        else
            ASSERT_EQ(kill(t.pid(), c.sig), 0) << c.how;
        ts::Result r = t.wait();
        EXPECT_EQ(r.term_signal(), c.sig) << c.how << ": " << r.describe();
        EXPECT_TRUE(same(t.attrs(), before)) << c.how << ": " << show(t.attrs());
    }
}

// Calls that fail on a terminal: the program ends with a message and the
// terminal as it was, or works on as if nothing had failed.
struct Fault {
    const char *name;
    const char *fault;  // see ts::Options::fault
    const char *err;    // null: it works on, until interrupted
};

void PrintTo(const Fault &c, std::ostream *os) { *os << c.name; }

// tcgetattr:1 and tcsetattr:1 read and change the settings at the start.
// Each signal to be caught takes two sigaction calls, the query of its
// action and the handler's installing, in the order of the signal numbers:
// sigaction:1 asks about the first of them, sigaction:30 installs the
// handler of the fifteenth.
const Fault kFaults[] = {
    {"settings_cannot_be_read", "tcgetattr:1", "tcgetattr: Input/output error\n"},
    {"first_handler_cannot_be_installed", "sigaction:1", "sigaction: Invalid argument\n"},
    {"later_handlers_cannot_be_installed", "sigaction:30+", "sigaction: Invalid argument\n"},
    {"settings_cannot_be_changed", "tcsetattr:1", "tcsetattr: Input/output error\n"},
    // Input and output go unbuffered.
    {"no_memory_for_buffers", "malloc:1+", nullptr},
};

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, OnATerminal)
{
    const Fault &c = GetParam();
    const termios before = fresh_attrs();
    ts::Options o;
    o.fault = c.fault;
    ts::Pty t(ts::bin("binview"), o);
    if (!c.err) {
        ASSERT_TRUE(t.wait_attrs(raw)) << ts::visible(t.transcript());
        t.send("x");
        ASSERT_TRUE(t.expect(groups("x"))) << ts::visible(t.transcript());
        t.send_intr();
    }
    ts::Result r = t.wait();
    if (c.err) {
        EXPECT_EQ(r.exit_code(), 1) << r.describe();
        EXPECT_EQ(ts::visible(r.out), ts::visible(ts::crlf(c.err)));
    } else {
        EXPECT_EQ(r.term_signal(), SIGINT) << r.describe();
    }
    EXPECT_TRUE(same(t.attrs(), before)) << show(t.attrs());
    EXPECT_EQ(r.left, "");
}

INSTANTIATE_TEST_SUITE_P(BinviewTerminal, Faults, ::testing::ValuesIn(kFaults), ts::CaseName());

// A signal ignored by whoever started the program stays ignored.
TEST(BinviewTerminal, IgnoredInterruptStaysIgnored)
{
    ts::Options o;
    o.args = {"-c", "trap '' INT; exec \"$0\"", ts::bin("binview")};
    if (ts::under_emulator())
        GTEST_SKIP() << "qemu-i386 lets a signal ignored since exec interrupt a blocking read "
                        "(EINTR), which a kernel never does; getchar then ends the input";
    ts::Pty t("/bin/sh", o);
    ASSERT_TRUE(t.wait_attrs(raw));
    t.send_intr();
    t.send("i");
    ASSERT_TRUE(t.expect(groups("i"))) << ts::visible(t.transcript());
    EXPECT_TRUE(raw(t.attrs()));
    ASSERT_EQ(kill(t.pid(), SIGTERM), 0);
    EXPECT_EQ(t.wait().term_signal(), SIGTERM);
}

// With the hang-up ignored, a terminal whose other side has closed is the end
// of the input: no error, and nothing left to hand back.
TEST(BinviewTerminal, IgnoredHangUpEndsTheInput)
{
    if (ts::under_emulator())
        GTEST_SKIP() << "qemu-i386 lets a signal ignored since exec interrupt a blocking read";
    ts::Options o;
    o.args = {"-c", "trap '' HUP; exec \"$0\"", ts::bin("binview")};
    ts::Pty t("/bin/sh", o);
    ASSERT_TRUE(t.wait_attrs(raw));
    t.hang_up();
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
}

// With the output going elsewhere, the keys still come from the terminal,
// in the program's settings: nothing is echoed there.
TEST(BinviewTerminal, OutputElsewhere)
{
    ts::TempDir dir;
    ts::Options o;
    o.args = {"-c", "exec \"$0\" > \"$1\"", ts::bin("binview"), dir.file("out")};
    ts::Pty t("/bin/sh", o);
    ASSERT_TRUE(t.wait_attrs(raw));
    t.send("i");
    ASSERT_TRUE(ts::eventually([&] { return dir.read("out") == groups("i"); })) << dir.read("out");
    ASSERT_EQ(kill(t.pid(), SIGTERM), 0);
    EXPECT_EQ(t.wait().term_signal(), SIGTERM);
    EXPECT_EQ(ts::visible(t.transcript()), "");
}

// A terminal that another program left non-blocking fails the read at once:
// an error to report, not the end of the input that a hang-up is.
TEST(BinviewTerminal, FailedReadIsReported)
{
    ts::Options o;
    o.args = {"-c", "dd iflag=nonblock count=0 2>/dev/null; exec \"$0\"", ts::bin("binview")};
    ts::Pty t("/bin/sh", o);
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 1) << r.describe();
    EXPECT_EQ(ts::visible(r.out), ts::visible(ts::crlf("stdin: Resource temporarily unavailable\n")));
    EXPECT_FALSE(raw(t.attrs())) << "the terminal was not handed back";
}

// Without a shell to continue it the program is not stopped by the suspend
// key, and must go on working in its own settings.
TEST(BinviewTerminal, SuspendKeyWithoutJobControl)
{
    ts::Pty t(ts::bin("binview"));
    ASSERT_TRUE(t.wait_attrs(raw));
    t.send_susp();
    // The key may arrive while the terminal is briefly handed back (and be
    // echoed then), but it must still reach the program as a byte.
    t.send("z");
    ASSERT_TRUE(t.expect(groups("z"))) << ts::visible(t.transcript());
    EXPECT_TRUE(t.wait_attrs(raw)) << show(t.attrs());
}

// A stop the program cannot catch: whatever was done to the terminal in
// the meantime, it works in its own settings again once continued.
TEST(BinviewTerminal, ContinuedAfterAnUncatchableStop)
{
    ts::Pty t(ts::bin("binview"));
    ASSERT_TRUE(t.wait_attrs(raw));
    const termios working = t.attrs();
    ASSERT_EQ(kill(t.pid(), SIGSTOP), 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(t.pid()), &info, WSTOPPED), 0);
    termios cooked = working;
    cooked.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(t.master(), TCSANOW, &cooked), 0);
    ASSERT_EQ(kill(t.pid(), SIGCONT), 0);
    ASSERT_TRUE(t.wait_attrs(raw)) << show(t.attrs());
    EXPECT_TRUE(same(t.attrs(), working)) << show(t.attrs());
    t.send("q");
    EXPECT_TRUE(t.expect(groups("q"))) << ts::visible(t.transcript());
}

}  // namespace
