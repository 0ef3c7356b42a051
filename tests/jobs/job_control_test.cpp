// The tools as jobs of a real interactive shell on a fresh terminal, driven
// with what a person types there: the interrupt, quit and suspend keys, fg,
// bg, kill %1, and closing the terminal. bash puts the terminal back as it
// had it when a job stops or dies by a signal; dash does not, so the
// settings a tool leaves behind show as they are under dash.
#include <sys/types.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "expect.h"
#include "pty_session.h"

namespace {

using ts::milliseconds;

const std::string kPrompt = "@@> ";

// What a person does, and the text that must show next ("" waits for
// nothing; "..." stands for any text in between). `keys` is a line, typed
// with its newline; "key X", the one key X; "^C", "^\", "^Z" (the
// terminal's interrupt, quit and suspend keys); "hang up" (the terminal goes
// away; this ends the row); or nothing typed: "" only looks at the screen,
// "launched", "running", "reading", "stopped" and "ended" wait for the job to
// be so (see job_is), and "one runs" checks that at most one child of the
// job runs.
struct Step {
    std::string keys;
    std::string shows;
};

struct Row {
    const char *name;
    const char *shell;
    std::vector<Step> steps;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

// Whether the shell has taken every signal sent to it (the news of a job
// that stopped or ended) and sleeps: a line typed while its handler runs
// may be lost, which a person typing at human speed never sees.
bool idle(pid_t shell)
{
    std::ifstream in("/proc/" + std::to_string(shell) + "/status");
    std::string line;
    bool pending = false;
    while (std::getline(in, line))
        if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:"))
            pending = pending || line.find_first_not_of("0", line.find_first_not_of(" \t", 7)) != line.npos;
    return !pending && ts::state_of(shell) == 'S';
}

// Waits for the shell's one job to have a child ("launched"), a child that
// runs a program of its own ("running": neither it nor the job stopped; a
// child still runnable just after a stop of the job may not have taken its
// own stop yet), to wait for a key ("reading" its terminal), to be stopped,
// or to have ended (the shell may reap it only when it next runs a command);
// for the last two, also until the shell has been idle for 30 ms.
bool job_is(ts::Pty &t, const std::string &what)
{
    for (int waited = 0, quiet = 0; waited < 10000; ++waited) {
        auto jobs = ts::children_of(t.pid());
        auto kids = jobs.size() == 1 ? ts::children_of(jobs[0]) : std::vector<pid_t>{};
        const bool starting = what == "launched" || what == "running" || what == "reading";
        bool there = false;
        if (what == "ended")
            there = std::all_of(jobs.begin(), jobs.end(), [](pid_t job) { return ts::state_of(job) == 'Z'; });
        else if (what == "launched")
            there = jobs.size() == 1 && !kids.empty();
        else if (what == "reading")
            there = jobs.size() == 1 && ts::blocked_in(jobs[0]);
        else if (jobs.size() == 1 && starting)
            there = ts::state_of(jobs[0]) != 'T' && std::any_of(kids.begin(), kids.end(), [&](pid_t kid) {
                return ts::name_of(kid) != ts::name_of(jobs[0]) && ts::state_of(kid) != 'T';
            });
        else if (jobs.size() == 1)
            there = ts::state_of(jobs[0]) == 'T';
        quiet = there && (starting || idle(t.pid())) ? quiet + 1 : 0;
        if (starting ? quiet > 0 : quiet == 30)
            return true;
        t.settle(milliseconds(1));
    }
    return false;
}

// Sampled every 10 ms for 200 ms, after 50 ms of grace: a runnable child
// counts as running. One sample with two is a turn being handed over; two
// in a row are not.
::testing::AssertionResult one_runs(pid_t shell)
{
    auto jobs = ts::children_of(shell);
    if (jobs.size() != 1)
        return ::testing::AssertionFailure() << jobs.size() << " jobs, expected one";
    std::this_thread::sleep_for(milliseconds(50));
    for (int sample = 0, crowded = 0; sample < 20; ++sample) {
        int running = 0;
        for (pid_t kid : ts::children_of(jobs[0]))
            running += ts::state_of(kid) == 'R';
        crowded = running > 1 ? crowded + 1 : 0;
        if (crowded == 2)
            return ::testing::AssertionFailure()
                   << running << " children run at once " << 50 + 10 * sample << " ms after";
        std::this_thread::sleep_for(milliseconds(10));
    }
    return ::testing::AssertionSuccess();
}

// The terminal's settings as `stty -a` prints them at the prompt. The
// marker is computed, so the echo of the typed line is not taken for it.
bool stty(ts::Pty &t, std::string &settings)
{
    t.send("stty -a; echo =$((6*7))=\n");
    if (!t.expect("speed ") || !t.expect("=42="))
        return false;
    const std::string &seen = t.transcript();
    std::string upto = seen.substr(0, seen.size() - t.rest().size());
    settings = upto.substr(upto.rfind("speed "));
    return t.expect(kPrompt);
}

class Job : public ::testing::TestWithParam<Row> {};

// Afterwards the job is gone: the shell exits at once (neither shell does
// with a stopped job), nothing of the job is left in the session, and the
// terminal's settings are those it had before the first step.
TEST_P(Job, AsAPersonSeesIt)
{
    const Row &row = GetParam();
    const std::string shell = row.shell;
    ts::TempDir home;
    ts::Options o;
    o.cwd = home.path();
    o.env = {"PS1=" + kPrompt, "TERM=dumb", "HOME=" + home.path(), "PATH=" + ts::bin("") + ":/usr/bin:/bin"};
    o.unset = {"ENV", "PROMPT_COMMAND"};
    o.args = {"-i"};
    if (shell == "bash")
        o.args.insert(o.args.begin(), {"--norc", "--noprofile", "--noediting"});
    ts::Pty t("/bin/" + shell, o);
    auto screen = [&t] { return "\nscreen: " + ts::visible(t.transcript()); };
    std::string before, after;
    ASSERT_TRUE(t.expect(kPrompt) && stty(t, before)) << screen();

    for (const Step &step : row.steps) {
        SCOPED_TRACE("at \"" + step.keys + "\"");
        if (step.keys == "^C") {
            t.send_intr();
        } else if (step.keys == "^\\") {
            t.send_quit();
        } else if (step.keys == "^Z") {
            t.send_susp();
        } else if (step.keys.starts_with("key ")) {
            t.send(step.keys.substr(4));
        } else if (step.keys == "one runs") {
            ASSERT_TRUE(one_runs(t.pid())) << screen();
        } else if (step.keys == "launched" || step.keys == "running" || step.keys == "reading" ||
                   step.keys == "stopped" || step.keys == "ended") {
            ASSERT_TRUE(job_is(t, step.keys)) << "the job is not " << step.keys << screen();
        } else if (step.keys == "hang up") {
            t.hang_up();
            ts::Result r = t.wait();
            EXPECT_FALSE(r.timed_out) << shell << " outlived its terminal";
            EXPECT_EQ(r.left, "");
            return;
        } else if (!step.keys.empty()) {
            t.send(step.keys + "\n");
        }
        for (size_t at = 0, end; at < step.shows.size(); at = end + 3) {
            end = std::min(step.shows.find("...", at), step.shows.size());
            ASSERT_TRUE(t.expect(step.shows.substr(at, end - at))) << "no \"" << step.shows << "\"" << screen();
        }
    }
    ASSERT_TRUE(stty(t, after)) << screen();
    EXPECT_EQ(after, before);
    t.send("exit\n");
    ts::Result r = t.wait();
    EXPECT_EQ(r.exit_code(), 0) << r.describe() << screen();
    EXPECT_EQ(r.left, "");
}

// binview echoes each key as its bits.
const Step kBinview = {"binview", ""};
const Step kKeyA = {"key a", "01100001 "};
const Step kKeyB = {"key b", "01100010 "};
// timeslice with four children that never end of themselves, or with a
// thousand that take a while to launch (and, the second time, never end).
const Step kBusy = {"b='while :; do :; done'", kPrompt};
const Step kFour = {"timeslice 200 sh -c \"$b\" : sh -c \"$b\" : sh -c \"$b\" : sh -c \"$b\"", ""};
const Step kThousand = {"timeslice 200 $(printf 'true : %.0s' $(seq 1000))", ""};
const Step kBusyLine = {"c=$(printf 'sha1sum /dev/zero : %.0s' $(seq 1000))", kPrompt};
const Step kThousandBusy = {"timeslice 200 $c", ""};
// ladder in the background is stopped when it first writes.
const Step kTostop = {"stty tostop", kPrompt};
const Step kTostopOff = {"stty -tostop", kPrompt};
const Step kLadderOutput = {"", "Launching LWPS\r\n    1\r\n...    5\r\nBack from LWPS.\r\n"};

// bash may miss the end of a stopped job it has just killed and continued,
// and report it only once another child of its own has ended.
const Step kTerminated = {"/bin/true; jobs", "Terminated"};
const Step kHungUp = {"/bin/true; jobs", "Hangup"};

// Statuses are read back from the shell ("st 130": ended by the interrupt);
// bash's `jobs` tells how a background job ended. bash continues a stopped
// job it sends a signal to, dash does not: the kill rows are bash's.
const Row kRows[] = {
    {"binview_bash_suspend_fg_interrupt", "bash",
     {kBinview, kKeyA, {"^Z", "Stopped..." + kPrompt}, {"fg", "binview"}, kKeyB, {"^C", kPrompt},
      {"echo st $?", "st 130"}}},
    {"binview_dash_suspend_fg_interrupt", "dash",
     {kBinview, kKeyA, {"^Z", "Stopped..." + kPrompt}, {"fg", "binview"}, kKeyB, {"^C", kPrompt},
      {"echo st $?", "st 130"}}},
    {"binview_bash_killed_when_stopped_at_start", "bash",
     {{"binview &", kPrompt}, {"stopped", ""}, {"kill %1", ""}, {"ended", ""}, kTerminated}},
    {"binview_bash_killed_when_suspended", "bash",
     {kBinview, kKeyA, {"^Z", "Stopped..." + kPrompt}, {"kill %1", ""}, {"ended", ""},
      kTerminated}},
    {"binview_bash_killed_after_bg", "bash",
     {kBinview, kKeyA, {"^Z", "Stopped..." + kPrompt}, {"bg", kPrompt}, {"stopped", ""},
      {"kill %1", ""}, {"ended", ""}, kTerminated}},
    {"binview_bash_hung_up_in_background", "bash",
     {{"binview &", kPrompt}, {"stopped", ""}, {"kill -HUP %1", ""}, {"ended", ""}, kHungUp}},
    {"binview_bash_bg_then_fg", "bash",
     {kBinview, kKeyA, {"^Z", "Stopped..." + kPrompt}, {"bg", kPrompt}, {"stopped", ""}, {"fg", "binview"},
      kKeyB, {"^C", kPrompt}, {"echo st $?", "st 130"}}},
    {"binview_dash_started_in_bg_then_fg", "dash",
     {{"binview &", kPrompt}, {"stopped", ""}, {"fg", "binview"}, kKeyA, {"^C", kPrompt},
      {"echo st $?", "st 130"}}},
    {"binview_dash_quit", "dash", {kBinview, kKeyA, {"^\\", "Quit..." + kPrompt}, {"echo st $?", "st 131"}}},
    {"binview_bash_hang_up", "bash", {kBinview, kKeyA, {"hang up", ""}}},
    {"binview_dash_hang_up", "dash", {kBinview, kKeyA, {"hang up", ""}}},

    {"timeslice_bash_fg", "bash",
     {kBusy, kFour, {"launched", ""}, {"one runs", ""}, {"^Z", "Stopped..." + kPrompt}, {"fg", "timeslice"},
      {"one runs", ""}, {"^C", kPrompt}, {"echo st $?", "st 130"}}},
    {"timeslice_dash_fg", "dash",
     {kBusy, kFour, {"launched", ""}, {"^Z", "Stopped..." + kPrompt}, {"fg", "timeslice"}, {"one runs", ""},
      {"^\\", kPrompt}, {"echo st $?", "st 131"}}},
    {"timeslice_bash_bg", "bash",
     {kBusy, kFour, {"launched", ""}, {"^Z", "Stopped..." + kPrompt}, {"bg", kPrompt}, {"one runs", ""},
      {"kill %1", ""}, {"ended", ""}, kTerminated}},
    {"timeslice_bash_suspend_while_launching", "bash",
     {kBusyLine, kThousandBusy, {"launched", ""}, {"^Z", "Stopped..." + kPrompt}, {"fg", "timeslice"}, {"one runs", ""},
      {"^C", kPrompt}, {"echo st $?", "st 130"}}},
    {"timeslice_bash_interrupt_while_launching", "bash",
     {kThousand, {"launched", ""}, {"^C", kPrompt}, {"echo st $?", "st 130"}}},
    {"timeslice_dash_interrupt_while_launching", "dash",
     {kThousand, {"launched", ""}, {"^C", kPrompt}, {"echo st $?", "st 130"}}},
    {"timeslice_bash_hang_up", "bash", {kBusy, kFour, {"launched", ""}, {"hang up", ""}}},
    {"timeslice_dash_hang_up", "dash", {kBusy, kFour, {"launched", ""}, {"hang up", ""}}},

    {"wren_bash_suspend_at_prompt", "bash",
     {{"wren", "Squeak? "}, {"^Z", "Stopped..." + kPrompt}, {"fg", "wren"}, {"echo hi", "hi\r\nSqueak? "},
      {"exit", kPrompt}, {"echo st $?", "st 0"}}},
    {"wren_dash_suspend_while_launching", "dash",
     {{"wren", "Squeak? "}, {"sleep 1", ""}, {"launched", ""}, {"^Z", "Stopped..." + kPrompt},
      {"fg", "wren"}, {"", "Squeak? "}, {"exit", kPrompt}, {"echo st $?", "st 0"}}},
    {"wren_dash_suspend_fg_interrupt", "dash",
     {{"wren", "Squeak? "}, {"sleep 30", ""}, {"running", ""}, {"^Z", "Stopped..." + kPrompt},
      {"fg", "wren"}, {"running", ""}, {"^C", "Squeak? "}, {"exit", kPrompt}, {"echo st $?", "st 0"}}},
    {"wren_bash_started_in_bg_then_fg", "bash",
     {{"wren &", kPrompt}, {"stopped", ""}, {"fg", "wren"}, {"echo hi", "hi\r\nSqueak? "}, {"exit", kPrompt}}},
    {"wren_bash_killed_in_background", "bash",
     {{"wren &", kPrompt}, {"stopped", ""}, {"kill %1", ""}, {"ended", ""}, kTerminated}},
    {"wren_dash_quit", "dash", {{"wren", "Squeak? "}, {"^\\", "Quit..." + kPrompt}, {"echo st $?", "st 131"}}},
    {"wren_bash_hang_up_while_running", "bash",
     {{"wren", "Squeak? "}, {"sleep 30", ""}, {"running", ""}, {"hang up", ""}}},
    {"wren_dash_hang_up", "dash", {{"wren", "Squeak? "}, {"hang up", ""}}},
    {"wren_dash_suspend_while_editing", "dash",
     {{"TERM=xterm wren", "Squeak? "}, {"reading", ""}, {"key echo hel", "echo hel"},
      {"^Z", "^Z...Stopped..." + kPrompt}, {"fg", "Squeak? echo hel"}, {"lo", "hello\r\nSqueak? "},
      {"exit", kPrompt}, {"echo st $?", "st 0"}}},
    {"wren_bash_suspend_while_editing", "bash",
     {{"TERM=xterm wren", "Squeak? "}, {"reading", ""}, {"key echo hel", "echo hel"},
      {"^Z", "^Z...Stopped..." + kPrompt}, {"fg", "Squeak? echo hel"}, {"lo", "hello\r\nSqueak? "},
      {"exit", kPrompt}, {"echo st $?", "st 0"}}},
    {"wren_bash_hang_up_while_editing", "bash",
     {{"TERM=xterm wren", "Squeak? "}, {"reading", ""}, {"key echo hel", "echo hel"}, {"hang up", ""}}},

    {"stack_bash_suspend_fg", "bash",
     {{"stack", "Enter Option: "}, {"^Z", "Stopped..." + kPrompt}, {"fg", "stack"}, {"u", "What number? "},
      {"7", "7"}, {"x", "Goodbye!" + kPrompt}}},
    {"stack_dash_started_in_bg_then_fg", "dash",
     {{"stack &", "Enter Option: "}, {"stopped", ""}, {"fg", "stack"}, {"x", "Goodbye!" + kPrompt}}},
    {"stack_bash_interrupt", "bash", {{"stack", "Enter Option: "}, {"^C", kPrompt}, {"echo st $?", "st 130"}}},
    {"stack_dash_quit", "dash",
     {{"stack", "Enter Option: "}, {"^\\", "Quit..." + kPrompt}, {"echo st $?", "st 131"}}},
    {"stack_bash_killed_in_background", "bash",
     {{"stack &", "Enter Option: "}, {"stopped", ""}, {"kill %1", ""}, {"ended", ""},
      kTerminated}},
    {"stack_bash_hang_up", "bash", {{"stack", "Enter Option: "}, {"hang up", ""}}},
    {"stack_dash_hang_up_in_background", "dash",
     {{"stack &", "Enter Option: "}, {"stopped", ""}, {"hang up", ""}}},

    {"ladder_bash_stopped_writing_then_fg", "bash",
     {kTostop, {"ladder &", kPrompt}, {"stopped", ""}, {"fg", "ladder"}, kLadderOutput, kTostopOff}},
    {"ladder_dash_stopped_writing_then_fg", "dash",
     {kTostop, {"ladder &", kPrompt}, {"stopped", ""}, {"fg", "ladder"}, kLadderOutput, kTostopOff}},
    {"ladder_bash_killed_when_stopped_writing", "bash",
     {kTostop, {"ladder &", kPrompt}, {"stopped", ""}, {"kill %1", ""}, {"ended", ""},
      kTerminated, kTostopOff}},
};

INSTANTIATE_TEST_SUITE_P(JobControl, Job, ::testing::ValuesIn(kRows), ts::CaseName());

}  // namespace
