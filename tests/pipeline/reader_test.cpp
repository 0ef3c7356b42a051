// SPDX-License-Identifier: ISC
// readLongString: whole lines of any length, and what each kind of failed
// read leaves for the caller and for the next call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/parser.h"
#include "pty_session.h"
#include "run.h"

namespace {

std::string take(char *line)
{
    std::string s = line;
    free(line);
    return s;
}

// Every line readLongString returns for `input`, until it returns null.
std::vector<std::string> lines_of(const std::string &input)
{
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    if (input.empty())
        in = fopen("/dev/null", "r");
    std::vector<std::string> got;
    while (char *line = readLongString(in))
        got.push_back(take(line));
    EXPECT_TRUE(feof(in));
    EXPECT_EQ(readLongString(in), nullptr) << "the end of input stays the end";
    fclose(in);
    return got;
}

using Lines = std::vector<std::string>;

TEST(ReadLongString, SplitsLines)
{
    EXPECT_EQ(lines_of(""), Lines{});
    EXPECT_EQ(lines_of("a\nb\n"), (Lines{"a", "b"}));
    EXPECT_EQ(lines_of("a\nlast"), (Lines{"a", "last"}));
    EXPECT_EQ(lines_of("a\nz"), (Lines{"a", "z"}));
    EXPECT_EQ(lines_of("\n\n"), (Lines{"", ""}));
    EXPECT_EQ(lines_of("tab\tand \r\n"), (Lines{"tab\tand \r"}));
}

TEST(ReadLongString, LinesAroundEveryGrowth)
{
    for (size_t n : {126u, 127u, 128u, 129u, 255u, 256u, 257u, 4095u, 4096u, 4097u, 300000u}) {
        std::string a(n, 'a'), b(n + 1, 'b');
        EXPECT_EQ(lines_of(a + "\n" + b), (Lines{a, b})) << n;
    }
    // A long line holds less than twice its length in memory.
    std::string big(300000, 'x');
    FILE *in = fmemopen(big.data(), big.size(), "r");
    char *line = readLongString(in);
    EXPECT_LT(malloc_usable_size(line), 2 * big.size());
    free(line);
    fclose(in);
}

void on_alarm(int) {}

// A read that blocks is interrupted by SIGALRM (no SA_RESTART) every 20 ms
// while this lives.
struct Interrupter {
    struct sigaction old{};
    Interrupter()
    {
        struct sigaction sa{};
        sa.sa_handler = on_alarm;
        sigaction(SIGALRM, &sa, &old);
        itimerval every{{0, 20000}, {0, 20000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Interrupter()
    {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

void put(int fd, const std::string &text) { ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size())); }

// From a pipe, what was read before the interrupt is the start of the next
// line, and the stream reads on normally.
TEST(ReadLongString, InterruptedReadKeepsThePartialLine)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    FILE *in = fdopen(p[0], "r");
    put(p[1], "echo hel");
    {
        Interrupter alarm;
        errno = 0;
        EXPECT_EQ(readLongString(in), nullptr);
        EXPECT_EQ(errno, EINTR);
    }
    EXPECT_FALSE(feof(in));
    EXPECT_FALSE(ferror(in)) << "the next call must not find the error indicator set";
    put(p[1], "lo\nnext\n");
    close(p[1]);
    char *line = readLongString(in);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(take(line), "echo hello");
    line = readLongString(in);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(take(line), "next");
    EXPECT_EQ(readLongString(in), nullptr);
    EXPECT_TRUE(feof(in));
    fclose(in);
}

// On a terminal an interrupt abandons what was typed, as the terminal does.
TEST(ReadLongString, InterruptOnATerminalAbandonsTheLine)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FILE *in = fdopen(slave, "r");
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    put(master, "abc" + std::string(1, static_cast<char>(t.c_cc[VEOF])));  // sent without a newline
    {
        Interrupter alarm;
        EXPECT_EQ(readLongString(in), nullptr);
        EXPECT_EQ(errno, EINTR);
    }
    put(master, "xyz\n");
    char *line = readLongString(in);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(take(line), "xyz");
    fclose(in);
    close(master);
}

// Edited at a terminal (the one standard output goes to), the end of input
// and a failed read are marked on the stream as stdio marks them, and the
// stream is left free to other threads.
TEST(ReadLongString, EditedInputIsMarkedOnTheStream)
{
    const char *term = getenv("TERM");
    const std::string saved_term = term ? term : "";
    setenv("TERM", "xterm", 1);
    for (bool fails : {false, true}) {
        int master, slave;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        FILE *in = fdopen(slave, "r");
        if (fails) {
            // The same terminal, opened for writing only: reads fail.
            int writing = open(ptsname(master), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            ASSERT_EQ(dup2(writing, slave), slave);
            close(writing);
        } else {
            put(master, "\x04");
        }
        fflush(stdout);
        int out = dup(1);
        dup2(slave, 1);
        char *line = readLongString(in);
        dup2(out, 1);
        close(out);
        EXPECT_EQ(line, nullptr);
        EXPECT_EQ(feof(in) != 0, !fails);
        EXPECT_EQ(ferror(in) != 0, fails);
        bool free_to_others = false;
        std::thread([&] {
            free_to_others = ftrylockfile(in) == 0;
            if (free_to_others)
                funlockfile(in);
        }).join();
        EXPECT_TRUE(free_to_others);
        fclose(in);
        close(master);
    }
    if (term)
        setenv("TERM", saved_term.c_str(), 1);
    else
        unsetenv("TERM");
}

// A directory opens but cannot be read, and a socket's time limit for a
// read runs out: the error is reported at once, and again on the next call,
// never as end of input or as an interrupt, nor waited through.
TEST(ReadLongString, ReadErrorIsNotEndOfInput)
{
    ts::TempDir dir;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    timeval limit{0, 10000};
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    const struct {
        FILE *in;
        int err;
    } cases[] = {{fopen(dir.path().c_str(), "r"), EISDIR}, {fdopen(sv[0], "r"), EAGAIN}};
    for (const auto &c : cases) {
        ASSERT_NE(c.in, nullptr);
        for (int i = 0; i < 2; ++i) {
            errno = 0;
            EXPECT_EQ(readLongString(c.in), nullptr);
            EXPECT_EQ(errno, c.err);
            EXPECT_TRUE(ferror(c.in));
            EXPECT_FALSE(feof(c.in));
        }
        fclose(c.in);
    }
    close(sv[1]);
    errno = 0;
    EXPECT_EQ(readLongString(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// Input left non-blocking (by a program sharing it) is waited for anyway:
// the line is written only once the reader, having found nothing to read,
// has made its input blocking. The wait leaves no error behind: the input's
// end, in the same read, still ends the last line and then the input.
TEST(ReadLongString, NonBlockingInputIsWaitedFor)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    FILE *in = fdopen(p[0], "r");
    std::thread writer([in = p[0], out = p[1]] {
        (void)ts::eventually([in] { return (fcntl(in, F_GETFL) & O_NONBLOCK) == 0; });
        (void)!write(out, "late", 4);
        close(out);
    });
    char *line = readLongString(in);
    writer.join();
    ASSERT_NE(line, nullptr) << "errno " << errno;
    EXPECT_EQ(take(line), "late");
    errno = 0;
    EXPECT_EQ(readLongString(in), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(feof(in) && !ferror(in));
    fclose(in);
}

// Another program reading its terminal: without a prompt given, what it
// printed shows first, and what a signal of its own interrupts is kept,
// shown again by the next call and edited on; Ctrl-D ends the input, the
// terminal as it was. The quit key echoes after the line, as the terminal's
// echo would, before it ends it; SIGQUIT from another process is no key and
// echoes nothing; with the echo turned on meanwhile by someone else, the
// terminal's own is all there is, and the settings stay as that someone
// made them. A terminal hung up is the end of input.
TEST(ReadLongString, AtATerminalTheLineIsEdited)
{
    ts::TempDir dir;  // where a core dump would go
    ts::Options o;
    o.env = {"TERM=xterm"};
    o.cwd = dir.path();
    ts::Pty t(ts::helper("pipeline_line_reader"), o);
    auto reading = [](const ts::Pty &p) {
        for (int i = 0; i < 4000 && !ts::blocked_in(p.pid()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ts::blocked_in(p.pid());
    };
    ASSERT_TRUE(reading(t));
    t.send("a");
    ASSERT_TRUE(t.expect(">a") && reading(t)) << ts::visible(t.transcript());
    ASSERT_EQ(kill(t.pid(), SIGALRM), 0);
    ASSERT_TRUE(t.expect("EINTR\r\n>a") && reading(t)) << ts::visible(t.transcript());
    t.send("bc\x1b[D");
    ASSERT_TRUE(t.expect("bc\x1b[1D") && reading(t)) << ts::visible(t.transcript());
    ASSERT_EQ(kill(t.pid(), SIGALRM), 0);
    ASSERT_TRUE(t.expect("\x1b[1CEINTR\r\n>abc") && reading(t)) << ts::visible(t.transcript());
    t.send("d\n");
    ASSERT_TRUE(t.expect("d\r\n[abcd]\r\n") && reading(t)) << ts::visible(t.transcript());
    // The history keeps the last 1000 lines: going up stops at the oldest.
    for (int i = 1; i <= 1000; ++i) {
        t.send(std::to_string(i) + "\n");
        ASSERT_TRUE(t.expect("[" + std::to_string(i) + "]\r\n>")) << ts::visible(t.rest());
    }
    t.send(std::string(1001, '\x10') + "\n");
    ASSERT_TRUE(t.expect("\r\n[1]\r\n>") && reading(t)) << ts::visible(t.rest());
    t.send_eof();
    EXPECT_EQ(t.wait().exit_code(), 0);
    EXPECT_TRUE(ts::as_fresh(t.attrs()));

    enum class Quit { key, signal, key_echoed };
    const struct {
        Quit how;
        const char *shows;
    } quits[] = {{Quit::key, "\x1b[1C^\\"}, {Quit::signal, ""}, {Quit::key_echoed, "^\\"}};
    for (const auto &c : quits) {
        ts::Pty q(ts::helper("pipeline_line_reader"), o);
        ASSERT_TRUE(reading(q));
        q.send("ab\x1b[D");
        ASSERT_TRUE(q.expect("ab\x1b[1D") && reading(q));
        if (c.how == Quit::key_echoed) {
            termios echoing = q.attrs();
            echoing.c_lflag |= ECHO;
            ASSERT_EQ(tcsetattr(q.master(), TCSANOW, &echoing), 0);
        }
        if (c.how == Quit::signal) {
            ASSERT_EQ(kill(q.pid(), SIGQUIT), 0);
        } else {
            q.send_quit();
        }
        EXPECT_EQ(q.wait().term_signal(), SIGQUIT);
        // The emulator says on the terminal that the program dumped core.
        std::string rest = q.rest();
        if (ts::under_emulator())
            rest = rest.substr(0, rest.find("qemu:"));
        EXPECT_EQ(ts::visible(rest), ts::visible(c.shows));
        EXPECT_EQ(ts::as_fresh(q.attrs()), c.how != Quit::key_echoed);
    }

    // A reader that is not the session's leader is sent no signal by the
    // hang-up; its leader here ignores the one it is sent.
    o.args = {"--ignore-signal=HUP", "/bin/sh", "-c", ts::helper("pipeline_line_reader") + "; echo $? > status"};
    ts::Pty h("/usr/bin/env", o);
    ASSERT_TRUE(h.wait_attrs([](const termios &a) { return !(a.c_lflag & ICANON); }));
    int slave = open(ptsname(h.master()), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    int refused = ioctl(slave, TIOCVHANGUP) == 0 ? 0 : errno;
    close(slave);
    if (refused)
        GTEST_SKIP() << "this process may not hang a terminal up: " << strerror(refused);
    EXPECT_TRUE(ts::eventually([&] { return dir.read("status") == "0\n"; })) << dir.read("status");
}

extern "C" int c_stage_count(const char *text);

TEST(Headers, UsableFromC)
{
    EXPECT_EQ(c_stage_count("a | b | c\n"), 3);
    EXPECT_EQ(c_stage_count("a | | c\n"), -1);
}

}  // namespace
