// SPDX-License-Identifier: ISC
// do_pipeline: real commands joined by real pipes, their statuses, and what
// they and the caller are left holding.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/parser.h"
#include "pipeline/pipeline.h"
#include "run.h"

namespace {

struct Ran {
    int status;
    std::string err;
};

// Cracks and runs one line, collecting what the library printed (unless
// `capture` is false: the capture holds a descriptor commands would inherit).
// With `descriptors` >= 0, the library finds only that many free (the lowest
// ones), but the commands it executes have one more (for their loader).
Ran run_line(const std::string &line, bool capture = true, int descriptors = -1)
{
    pipeline pl = crack_pipeline(strdup(line.c_str()));
    EXPECT_NE(pl, nullptr) << line;
    if (!pl)
        return {-100, ""};
    if (capture)
        testing::internal::CaptureStderr();
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    std::vector<int> taken;
    for (int i = 0; i <= descriptors; ++i)
        taken.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int spare = descriptors >= 0 ? taken.back() : -1;
    rlimit low{static_cast<rlim_t>(spare + 1), old.rlim_max};
    if (spare >= 0)
        setrlimit(RLIMIT_NOFILE, &low);
    for (int i = 0; i < descriptors; ++i)
        close(taken[i]);
    errno = EINTR;  // as an interrupted call of the caller leaves it: no failure of the run
    int status = do_pipeline(pl);
    setrlimit(RLIMIT_NOFILE, &old);
    if (spare >= 0)
        close(spare);
    std::string err = capture ? testing::internal::GetCapturedStderr() : "";
    free_pipeline(pl);
    return {status, err};
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override { ts::prepare_process(); }
    void TearDown() override { EXPECT_TRUE(ts::child_pids().empty()) << "a stage was left unreaped"; }
    ts::TempDir dir;
    std::string at(const char *name) const { return dir.file(name); }
};

TEST_F(Runner, PipesAndRedirections)
{
    EXPECT_EQ(run_line("echo hi | tr a-z A-Z > " + at("out")).status, 0);
    EXPECT_EQ(dir.read("out"), "HI\n");

    dir.write("in", "pear\napple\nfig\napple\n");
    EXPECT_EQ(run_line("sort < " + at("in") + " > " + at("out")).status, 0);
    EXPECT_EQ(dir.read("out"), "apple\napple\nfig\npear\n");

    EXPECT_EQ(run_line("cat " + at("in") + " | sort | uniq -c | tr -s ' ' | sed s/^/-/ >" + at("out")).status, 0);
    EXPECT_EQ(dir.read("out"), "- 2 apple\n- 1 fig\n- 1 pear\n");

    // Our standard input and output closed, pipes and the last stage's file
    // take their numbers.
    int saved = fcntl(0, F_DUPFD_CLOEXEC, 3), saved_out = fcntl(1, F_DUPFD_CLOEXEC, 3);
    close(0);
    close(1);
    Ran closed = run_line("echo hi | cat | cat > " + at("out"), false);
    Ran both = run_line("cat < " + at("in") + " > " + at("copy"), false);
    bool left_open = fcntl(0, F_GETFD) != -1 || fcntl(1, F_GETFD) != -1;
    dup2(saved, 0);
    dup2(saved_out, 1);
    close(saved);
    close(saved_out);
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(dir.read("out"), "hi\n");
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(dir.read("copy"), "pear\napple\nfig\napple\n");
    EXPECT_FALSE(left_open);
}

TEST_F(Runner, OutputFileIsTruncatedAndHonoursTheUmask)
{
    dir.write("out", std::string(1000, 'x'));
    mode_t old = umask(027);
    Ran r = run_line("echo short > " + at("out"));
    run_line("echo new > " + at("fresh"));
    umask(old);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.read("out"), "short\n");
    struct stat st{};
    ASSERT_EQ(stat(at("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Runner, StatusOfTheLastStage)
{
    EXPECT_EQ(run_line("sh -c 'exit 7'").status, 7);
    EXPECT_EQ(run_line("sh -c 'exit 7' | true").status, 0);
    EXPECT_EQ(run_line("true | sh -c 'exit 3'").status, 3);
    EXPECT_EQ(run_line("sh -c 'kill -TERM $$'").status, 128 + SIGTERM);

    // Ignoring SIGCHLD, we leave the kernel to reap the stage before we can.
    struct sigaction ign{}, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ign, &old);
    lineno = 4;
    Ran reaped = run_line("true");
    sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(reaped.status, -1);
    EXPECT_EQ(reaped.err, "line 4: waitpid: No child processes\n");
}

// A command that cannot be executed says so by name; that stage ends 127
// when nothing was found, 126 when what was found cannot be executed.
TEST_F(Runner, CommandsThatCannotBeExecuted)
{
    dir.write("plain", "echo never\n", 0644);
    mkdir(at("sub").c_str(), 0755);
    struct {
        std::string line;
        int status;
        std::string err;
    } cases[] = {
        {"wren-no-such-command", 127, "wren-no-such-command: No such file or directory\n"},
        {at("missing"), 127, at("missing") + ": No such file or directory\n"},
        {at("plain"), 126, at("plain") + ": Permission denied\n"},
        {at("sub"), 126, at("sub") + ": Permission denied\n"},
        {"''", 127, ": No such file or directory\n"},
        {"echo x | wren-no-such-command | cat", 0, "wren-no-such-command: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        Ran r = run_line(c.line);
        EXPECT_EQ(r.status, c.status) << c.line;
        EXPECT_EQ(r.err, c.err) << c.line;
    }
}

TEST_F(Runner, SearchesPathAndPassesOverFilesThatMayNotBeExecuted)
{
    mkdir(at("a").c_str(), 0755);
    mkdir(at("b").c_str(), 0755);
    dir.write("a/wren-tool", "#!/bin/sh\necho from a\n", 0644);
    dir.write("b/wren-tool", "#!/bin/sh\necho from b \"$@\"\n", 0755);
    dir.write("a/wren-denied", "#!/bin/sh\n", 0644);
    const char *old = getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", (at("a") + ":" + at("b") + ":/usr/bin:/bin").c_str(), 1);
    Ran found = run_line("wren-tool x > " + at("out"));
    Ran denied = run_line("wren-denied");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(dir.read("out"), "from b x\n");
    EXPECT_EQ(denied.status, 126);
    EXPECT_EQ(denied.err, "wren-denied: Permission denied\n");
}

// A file of commands without a #! line is read by the system shell.
TEST_F(Runner, ScriptWithoutInterpreterLine)
{
    dir.write("script", "echo from script \"$1\"\n", 0755);
    EXPECT_EQ(run_line(at("script") + " arg > " + at("out")).status, 0);
    EXPECT_EQ(dir.read("out"), "from script arg\n");
}

TEST_F(Runner, RedirectionOrPipeThatCannotBeOpened)
{
    Ran in = run_line("cat < " + at("missing"));
    EXPECT_EQ(in.status, 1);
    EXPECT_EQ(in.err, at("missing") + ": No such file or directory\n");
    Ran out = run_line("echo x > " + at("no/dir"));
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, at("no/dir") + ": No such file or directory\n");
    lineno = 5;
    Ran pipe = run_line("true | true", true, 0);
    EXPECT_EQ(pipe.status, -1);
    EXPECT_EQ(pipe.err, "line 5: pipe: Too many open files\n");
    // Room for one pipe of two, our standard input closed: the first pipe
    // takes its number, and is not left open when the second cannot be made.
    int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
    close(0);
    Ran second = run_line("true | true | true", false, 2);
    bool left_open = fcntl(0, F_GETFD) != -1;
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(second.status, -1);
    EXPECT_FALSE(left_open);
}

// What a command would inherit from us anyway: our descriptors without
// close-on-exec, as the helper lists them.
std::string inheritable()
{
    std::string list;
    for (int fd : ts::open_fds())
        if (fd <= 2 || !(fcntl(fd, F_GETFD) & FD_CLOEXEC))
            list += (list.empty() ? "" : " ") + std::to_string(fd);
    return list + "\n";
}

// None of the pipes or files the library opens reaches a command, except as
// its standard input or output.
TEST_F(Runner, StagesInheritNothingOfTheLibrary)
{
    std::string fds = ts::helper("wren_fds");
    std::string want = inheritable();
    EXPECT_EQ(run_line(fds + " < /dev/null > " + at("one"), false).status, 0);
    EXPECT_EQ(run_line("echo | " + fds + " | cat > " + at("middle"), false).status, 0);
    EXPECT_EQ(dir.read("one"), want);
    EXPECT_EQ(dir.read("middle"), want);
}

// Bit `sig` - 1 of a mask as /proc/PID/status prints it.
bool has_signal(const std::string &status, const std::string &field, int sig)
{
    auto at = status.find(field + ":\t");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
    return (mask >> (sig - 1)) & 1;
}

void on_signal(int) {}

// SIGINT and SIGPIPE start at their defaults and unblocked, whatever the
// caller did with them; other ignored signals stay ignored (the stop signals,
// which the stage holds until it executes, too), other blocked ones blocked.
TEST_F(Runner, ChildrenGetDefaultInterruptAndBrokenPipe)
{
    struct sigaction ign{}, catcher{}, old_int{}, old_pipe{}, old_hup{}, old_tstp{}, old_quit{};
    ign.sa_handler = SIG_IGN;
    catcher.sa_handler = on_signal;
    sigaction(SIGINT, &ign, &old_int);
    sigaction(SIGPIPE, &ign, &old_pipe);
    sigaction(SIGHUP, &ign, &old_hup);
    sigaction(SIGTSTP, &ign, &old_tstp);
    sigaction(SIGQUIT, &catcher, &old_quit);
    const int rt = SIGRTMIN + 4;  // caught, between two ignored ones on each side
    const int ignored_rt[] = {rt - 2, rt - 1, rt + 1, rt + 2};
    struct sigaction old_rt[5]{};
    for (int i = 0; i < 5; ++i)
        sigaction(rt - 2 + i, i == 2 ? &catcher : &ign, &old_rt[i]);
    sigset_t block, old_mask;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGPIPE, SIGUSR1})
        sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old_mask);

    Ran r = run_line("grep -E '^Sig(Blk|Ign|Cgt)' /proc/self/status > " + at("out"));
    // Without a descriptor for the list of dispositions, asked one by one:
    // the stage ends by the first signal it does not ignore.
    std::string kills = "kill -HUP $$; ";
    if (!ts::under_emulator())  // which gives the real-time signals other numbers on the host
        for (int sig : ignored_rt)
            kills += "kill -" + std::to_string(sig) + " $$; ";
    Ran asked = run_line("sh -c '" + kills + "kill -PIPE $$'", true, 0);

    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    sigaction(SIGTSTP, &old_tstp, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    for (int i = 0; i < 5; ++i)
        sigaction(rt - 2 + i, &old_rt[i], nullptr);

    ASSERT_EQ(r.status, 0) << r.err;
    std::string status = dir.read("out");
    EXPECT_FALSE(has_signal(status, "SigIgn", SIGINT)) << status;
    EXPECT_FALSE(has_signal(status, "SigIgn", SIGPIPE)) << status;
    EXPECT_FALSE(has_signal(status, "SigBlk", SIGINT)) << status;
    EXPECT_FALSE(has_signal(status, "SigBlk", SIGPIPE)) << status;
    EXPECT_TRUE(has_signal(status, "SigIgn", SIGHUP)) << status;
    EXPECT_TRUE(has_signal(status, "SigIgn", SIGTSTP)) << status;
    EXPECT_TRUE(has_signal(status, "SigBlk", SIGUSR1)) << status;
    EXPECT_FALSE(has_signal(status, "SigCgt", SIGQUIT)) << status;
    // The emulator gives the real-time signals other numbers on the host.
    if (!ts::under_emulator()) {
        for (int sig : ignored_rt)
            EXPECT_TRUE(has_signal(status, "SigIgn", sig)) << sig << "\n" << status;
    }
    EXPECT_EQ(asked.status, 128 + SIGPIPE) << asked.err;
}

// A signal that comes while a stage is being started (a PATH of many
// directories keeps it searching for a while): a hang-up the caller catches
// ends it as it would end the command, and a stop (from the terminal, or for
// reading or writing it) waits until the command runs, rather than stopping
// the stage where we wait for it to execute. Run in a process group of its
// own within our session: in one without a parent in the session (as when
// the tests run detached) stops are discarded.
TEST_F(Runner, SignalsWhileAStageStarts)
{
    if (ts::under_emulator())
        GTEST_SKIP() << "the emulator loses a stop signal held across an exec";
    std::string path;
    while (path.size() < 100000)
        path += "/nonexistent:";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        setenv("PATH", (path + "/usr/bin:/bin").c_str(), 1);
        struct sigaction catcher{};
        catcher.sa_handler = on_signal;
        sigaction(SIGHUP, &catcher, nullptr);
        std::string seen;
        for (int sig : {SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU}) {
            std::thread sender([&] {
                std::vector<pid_t> kids;
                if (!ts::eventually([&] { return !(kids = ts::children_of(getpid())).empty(); }))
                    return;
                kill(kids[0], sig);
                if (sig != SIGHUP) {
                    if (ts::eventually([&] { return ts::state_of(kids[0]) == 'T'; }))
                        seen += "stopped as " + ts::name_of(kids[0]) + ", ";
                    kill(kids[0], SIGKILL);
                }
            });
            pipeline pl = crack_pipeline(strdup("sleep 10"));
            int status = do_pipeline(pl);
            free_pipeline(pl);
            sender.join();
            seen += "ended " + std::to_string(status) + "; ";
        }
        dir.write("seen", seen);
        _exit(0);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(pid, &ws, 0), pid);
    std::string stop = "stopped as sleep, ended " + std::to_string(128 + SIGKILL) + "; ";
    EXPECT_EQ(dir.read("seen"), "ended " + std::to_string(128 + SIGHUP) + "; " + stop + stop + stop);
}

TEST_F(Runner, NothingToRun)
{
    EXPECT_EQ(run_line("").status, 0);
    EXPECT_EQ(do_pipeline(nullptr), -1);
}

// Hundreds of pipelines, succeeding and failing, under a limit of 64
// descriptors, so that a leak of even one per pipeline makes pipe() or
// open() fail within about sixty of them: afterwards the caller holds
// exactly the descriptors it had, and no child is left.
TEST_F(Runner, NoDescriptorLeakAfterHundredsOfPipelines)
{
    auto before = ts::open_fds();
    rlimit old{}, low{};
    getrlimit(RLIMIT_NOFILE, &old);
    low = old;
    low.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &low);
    const std::string lines[] = {
        "true | true",
        "true < /dev/null | true > /dev/null",
        "wren-no-such-command | true",
        "true < " + at("missing") + " | true",
        "true | true > " + at("no/dir"),
    };
    int failures = 0;
    for (int i = 0; i < 400; ++i) {
        pipeline pl = crack_pipeline(strdup(lines[i % 5].c_str()));
        ASSERT_NE(pl, nullptr);
        testing::internal::CaptureStderr();
        int status = do_pipeline(pl);
        testing::internal::GetCapturedStderr();
        free_pipeline(pl);
        if (status == -1)
            failures++;
    }
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ts::open_fds(), before);
}

}  // namespace
