// SPDX-License-Identifier: ISC
// Hundreds of SIGINTs at random moments while wren prints long prompts and
// runs commands: it must neither hang nor crash, and what it writes must
// stay well formed: whole prompts, whole command output, one newline per
// interrupt at most.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pty_session.h"
#include "run.h"

namespace {

using std::chrono::milliseconds;

constexpr int kLines = 300;

TEST(WrenInterrupts, HundredsAtRandomMoments)
{
    // A long prompt takes several writes, so interrupts land inside them.
    const std::string prompt = "<" + std::string(3000, 'p') + ">";
    ts::Options o;
    o.env = {"WRENPROMPT=" + prompt};
    ts::Pty t(ts::bin("wren"), o);
    // Without echo the screen holds only what the shell writes.
    termios quiet = t.attrs();
    quiet.c_lflag &= ~ECHO;
    ASSERT_EQ(tcsetattr(t.master(), TCSANOW, &quiet), 0);
    ASSERT_TRUE(t.expect(prompt)) << "no first prompt";

    std::mt19937 random(20261208);
    std::vector<int> want;
    int signals = 0;
    for (int i = 0; i < kLines; ++i) {
        if (i % 3 == 0) {
            t.send("/bin/echo tok" + std::to_string(i) + "\n");
            want.push_back(i);
        } else {
            t.send("\n");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ASSERT_EQ(kill(t.pid(), SIGINT), 0) << "the shell is gone after " << i << " lines";
        signals++;
        t.settle(milliseconds(1));
    }
    t.send_eof();
    ts::Result r = t.wait(milliseconds(60000));
    ASSERT_TRUE(r.exited()) << r.describe();
    EXPECT_EQ(r.exit_code(), 0);

    // Split the screen into prompts, newlines and the commands' lines.
    const std::string &screen = t.transcript();
    int prompts = 0, newlines = 0;
    std::vector<int> toks;
    size_t at = 0;
    while (at < screen.size()) {
        if (screen.compare(at, prompt.size(), prompt) == 0) {
            prompts++;
            at += prompt.size();
        } else if (screen.compare(at, 2, "\r\n") == 0) {
            newlines++;
            at += 2;
        } else if (screen.compare(at, 3, "tok") == 0) {
            size_t end = screen.find("\r\n", at);
            ASSERT_NE(end, std::string::npos);
            toks.push_back(std::stoi(screen.substr(at + 3, end - at - 3)));
            at = end + 2;
        } else {
            FAIL() << "malformed output at byte " << at << " of " << screen.size() << ": "
                   << ts::visible(screen.substr(at > 20 ? at - 20 : 0, 100));
        }
    }
    EXPECT_EQ(toks, want) << "every command ran once, its output whole";
    // A prompt after the start and after each line, plus one after each
    // interrupted read; each interrupt writes one newline, and the end of
    // input one more.
    EXPECT_GE(prompts, kLines + 1);
    EXPECT_LE(newlines, signals + 1);
    EXPECT_LE(prompts - (kLines + 1), newlines - 1) << "a prompt repeated without an interrupt";
}

}  // namespace
