// SPDX-License-Identifier: ISC
// wren on a terminal, as a user meets it: prompts, Ctrl-C and Ctrl-D.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "pty_session.h"
#include "run.h"

namespace {

using std::chrono::milliseconds;

const std::string kPrompt = "Squeak? ";

// The id of a child of `pid` running `command`, or 0 once `limit` passes.
pid_t child_running(pid_t pid, const std::string &command, milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        for (pid_t kid : ts::children_of(pid))
            if (ts::name_of(kid) == command)
                return kid;
        std::this_thread::sleep_for(milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

// Waits until `pid` is blocked reading descriptor 0 or, when `writing`,
// writing descriptor 1 (x86-64's read and write are system calls 0 and 1,
// i386's 3 and 4; an emulated i386 shell shows the host's), so that an
// interrupt sent now interrupts that call.
bool blocked_on(pid_t pid, bool writing = false)
{
    auto deadline = std::chrono::steady_clock::now() + milliseconds(20000);
    do {
        std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
        std::string call, fd;
        if (in >> call >> fd && (call == (writing ? "1" : "0") || call == (writing ? "4" : "3")) &&
            fd == (writing ? "0x1" : "0x0"))
            return true;
        std::this_thread::sleep_for(milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
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

TEST(WrenTerminal, EndOfInputAtThePromptPrintsANewline)
{
    ts::Pty t(ts::bin("wren"));
    ASSERT_TRUE(t.expect(kPrompt));
    t.send_eof();
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe();
    EXPECT_EQ(ts::visible(t.rest()), "\\r\\n");
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

    ts::Options o;
    o.args = {"--block-signal=INT", ts::bin("wren")};
    ts::Pty blocked("/usr/bin/env", o);
    ASSERT_TRUE(blocked.expect(kPrompt) && blocked_on(blocked.pid()));
    blocked.send_intr();
    ASSERT_TRUE(blocked.expect("\r\n" + kPrompt)) << ts::visible(blocked.transcript());
}

// Ctrl-C ends the running command (long before it would end by itself) and
// the shell prompts again.
TEST(WrenTerminal, InterruptEndsTheRunningPipeline)
{
    ts::Pty t(ts::bin("wren"));
    ASSERT_TRUE(t.expect(kPrompt));
    t.send("sleep 60 | cat\n");
    pid_t sleeper = child_running(t.pid(), "sleep", milliseconds(20000));
    ASSERT_NE(sleeper, 0) << "sleep never started: " << ts::visible(t.transcript());
    ASSERT_NE(child_running(t.pid(), "cat", milliseconds(20000)), 0);
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

}  // namespace
