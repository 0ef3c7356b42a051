// SPDX-License-Identifier: ISC
// The harness itself: if it misreports how a program ended, leaks processes
// or hangs, every other test is worthless.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "pty_session.h"
#include "run.h"

namespace {

ts::Options shell(const std::string &script)
{
    ts::Options o;
    o.args = {"-c", script};
    return o;
}

TEST(Run, SeparatesStreamsAndStatus)
{
    ts::Result r = ts::run("/bin/sh", shell("echo out; echo err >&2; exit 3"));
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_TRUE(r.exited());
    EXPECT_EQ(r.exit_code(), 3);
    EXPECT_EQ(r.describe(), "exit 3");
}

TEST(Run, ReportsDeathBySignal)
{
    ts::Result r = ts::run("/bin/sh", shell("kill -TERM $$"));
    EXPECT_TRUE(r.signaled());
    EXPECT_EQ(r.term_signal(), SIGTERM);
    EXPECT_EQ(r.exit_code(), -1);
}

TEST(Run, FeedsInputLargerThanAPipe)
{
    std::string big;
    for (int i = 0; big.size() < (1u << 20); ++i)
        big += std::to_string(i) + "\n";
    ts::Options o;
    o.input = big;
    ts::Result r = ts::run("/bin/cat", o);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_TRUE(r.out == big) << "cat returned " << r.out.size() << " of " << big.size() << " bytes";
}

TEST(Run, WritersAtTheSameTimeLoseNothing)
{
    ts::Result r = ts::run("/bin/sh", shell("for p in 1 2 3; do (i=0; while [ $i -lt 3000 ]; do "
                                            "echo \"$p $i\"; i=$((i + 1)); done) & done; wait"));
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 9000);
}

TEST(Run, EnvironmentDirectoryAndName)
{
    ts::TempDir dir;
    ts::Options o = shell("echo \"$0|$TS_ONE|${HOME-unset}|$(pwd)\"");
    o.env = {"TS_ONE=1"};
    o.unset = {"HOME"};
    o.cwd = dir.path();
    o.argv0 = "named";
    ts::Result r = ts::run("/bin/sh", o);
    EXPECT_EQ(r.out, "named|1|unset|" + dir.path() + "\n");

    o.clean_env = true;
    o.args = {"-c", "env"};
    r = ts::run("/bin/sh", o);
    EXPECT_EQ(r.out.find("PATH=/"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TS_ONE=1"), std::string::npos) << r.out;
}

TEST(Run, OnlyTheStandardDescriptorsAreInherited)
{
    ts::Options o;
    o.args = {"/proc/self/fd"};
    ts::Result r = ts::run("/bin/ls", o);
    // ls itself holds one more descriptor for the directory it lists.
    EXPECT_EQ(r.out, "0\n1\n2\n3\n");
}

TEST(Run, TimeoutKillsAndSaysSo)
{
    auto start = std::chrono::steady_clock::now();
    ts::Options o = shell("sleep 30");
    o.timeout = std::chrono::milliseconds(300);
    ts::Result r = ts::run("/bin/sh", o);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.exited());
    EXPECT_EQ(r.describe(), "timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(Run, LeavesNoProcessesBehind)
{
    ts::Result r = ts::run("/bin/sh", shell("sleep 30 & echo $!"));
    ASSERT_EQ(r.exit_code(), 0);
    pid_t left = std::stoi(r.out);
    EXPECT_FALSE(ts::alive(left)) << "the background sleep survived";
    EXPECT_TRUE(ts::child_pids().empty());
}

// A stopped child is left behind; one that ends a moment after the program
// is not.
TEST(Run, TellsWhatTheProgramLeftBehind)
{
    EXPECT_EQ(ts::run("/bin/sh", shell("sleep 0.2 &")).left, "");
    if (ts::under_emulator())
        GTEST_SKIP() << "qemu-i386 cannot make the test a subreaper: a stopped orphan goes to init, its "
                        "group is orphaned and the kernel ends it with SIGHUP before it can be seen";
    ts::Result r = ts::run("/bin/sh", shell("sleep 30 & kill -STOP $!"));
    EXPECT_NE(r.left.find(" T ("), std::string::npos) << r.left;
}

TEST(Process, SignalsWhileRunningAndReadsOutputSoFar)
{
    ts::Options o = shell("trap 'echo got; exit 5' USR1; echo ready; while :; do sleep 0.01; done");
    ts::Process p("/bin/sh", o);
    ASSERT_TRUE(ts::eventually([&] { return p.out() == "ready\n"; })) << p.out();
    EXPECT_TRUE(p.signal(SIGUSR1));
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 5) << r.describe();
    EXPECT_EQ(r.out, "ready\ngot\n");
    EXPECT_FALSE(p.signal(0)) << "a reaped program cannot be signalled";
}

TEST(Process, InputSentPieceByPiece)
{
    ts::Options o;
    o.input_open = true;
    ts::Process p("/bin/cat", o);
    p.send("one\n");
    p.send("two\n");
    p.close_input();
    ts::Result r = p.wait();
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "one\ntwo\n");
}

TEST(Pty, IsATerminalAndEchoes)
{
    ts::Pty t("/bin/sh", shell("test -t 0 && test -t 1 && echo tty; exec cat"));
    ASSERT_TRUE(t.expect("tty\r\n")) << ts::visible(t.transcript());
    t.send("hello\n");
    // The terminal echoes the line, then cat writes it back.
    EXPECT_TRUE(t.expect("hello\r\nhello\r\n")) << ts::visible(t.transcript());
    t.send_intr();
    ts::Result r = t.wait();
    EXPECT_EQ(r.term_signal(), SIGINT) << r.describe();
}

TEST(Pty, SeesTheProgramsTerminalSettings)
{
    ts::Pty t("/bin/sh", shell("stty -echo -icanon; echo set; exec cat"));
    EXPECT_TRUE(t.wait_attrs([](const termios &a) { return !(a.c_lflag & (ECHO | ICANON)); }));
    ASSERT_TRUE(t.expect("set")) << ts::visible(t.transcript());
    EXPECT_FALSE(t.expect("nothing comes", std::chrono::milliseconds(100)));
    t.send_eof();  // an ordinary byte now
    t.send_intr();
    EXPECT_EQ(t.wait().term_signal(), SIGINT);
}

TEST(Pty, HangUpCleansUpTheSession)
{
    pid_t left;
    {
        ts::Pty t("/bin/sh", shell("sleep 30 & echo $!; exec sleep 30"));
        ASSERT_TRUE(t.expect("\r\n")) << ts::visible(t.transcript());
        left = std::stoi(t.transcript());
    }
    EXPECT_FALSE(ts::alive(left)) << "the background sleep survived";
    EXPECT_TRUE(ts::child_pids().empty());
}

TEST(Visible, EscapesWhatCannotBeSeen)
{
    EXPECT_EQ(ts::visible("a b\n\t\x01\xff\\"), "a b\\n\\t\\x01\\xff\\\\");
}

}  // namespace
