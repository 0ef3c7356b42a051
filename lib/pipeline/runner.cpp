// SPDX-License-Identifier: ISC
// do_pipeline: every stage started at once, joined by pipes, then waited for.
// Each line is planned once here; its stages start with vfork, and each
// child only carries out the plan (child.cpp).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "child.h"
#include "internal.h"
#include "pipeline/parser.h"
#include "pipeline/pipeline.h"

namespace {

using pipeline_internal::held_stop;
using pipeline_internal::line_failed;
using pipeline_internal::Plan;

constexpr int kRedirectFailed = 1;

// The processes of the line being run.
struct Line {
    pid_t *pids;  // pids[0] to pids[started - 1] are to be waited for
    int started;
    pid_t last;   // the last stage's process, if it started
    int status;   // the last stage's status, if it finished without one
};

// Bit sig - 1 stands for signal sig: the kernel's order in /proc.
static_assert(NSIG - 1 <= 64, "every signal has a bit");

// The signals of one kind ("SigCgt:", "SigIgn:") in /proc/self/status.
bool status_field(const char *text, const char *field, unsigned long long *bits)
{
    const char *at = strstr(text, field);
    if (!at)
        return false;
    char *end;
    *bits = strtoull(at + strlen(field), &end, 16);
    return end != at + strlen(field);
}

// The signals that have a handler and those that are ignored. The kernel
// tells them all in one read of /proc/self/status; asking for each signal
// takes 64 calls, which made a line of /bin/true cost 11 % more CPU time,
// and is done only when that cannot be read.
void dispositions(unsigned long long *caught, unsigned long long *ignored)
{
    char text[4096];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
    if (fd >= 0)
        (void)close(fd);  // read-only: nothing to lose
    text[got > 0 ? got : 0] = '\0';
    if (status_field(text, "\nSigCgt:", caught) && status_field(text, "\nSigIgn:", ignored))
        return;
    *caught = *ignored = 0;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) != 0)
            continue;  // one the C library keeps for itself
        if (now.sa_handler == SIG_IGN)
            *ignored |= 1ULL << (sig - 1);
        else if (now.sa_handler != SIG_DFL)
            *caught |= 1ULL << (sig - 1);
    }
}

// What every stage of the line starts with. SIGINT and SIGPIPE are unblocked
// and at their default actions whatever the caller does with them; the rest
// of the mask is inherited as exec inherits it. A signal with a handler goes
// back to its default action, so that no handler of the caller runs in a
// child; an ignored one stays ignored.
void plan_line(Plan *plan)
{
    snprintf(plan->where, sizeof plan->where, "line %d: ", lineno);
    (void)sigprocmask(SIG_BLOCK, nullptr, &plan->mask);
    sigdelset(&plan->mask, SIGINT);
    sigdelset(&plan->mask, SIGPIPE);
    sigemptyset(&plan->reset);
    sigemptyset(&plan->hold);
    unsigned long long caught, ignored;
    dispositions(&caught, &ignored);
    for (int sig = 1; sig < NSIG; ++sig) {
        bool has_handler = caught >> (sig - 1) & 1, is_ignored = ignored >> (sig - 1) & 1;
        if (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) {
            if (!is_ignored)
                sigaddset(&plan->hold, sig);
        } else if (has_handler || (is_ignored && (sig == SIGINT || sig == SIGPIPE))) {
            sigaddset(&plan->reset, sig);
        }
    }
}

// Starts the process of one stage: its pid, or -1 with errno set. Kept apart
// so that the frame vfork returns into twice holds nothing else.
[[gnu::noinline]] pid_t spawn(const Plan *plan, char *const *argv, int in, int out)
{
    // Blocked here, a signal waits until the child has gone its own way.
    sigset_t all, old;
    sigfillset(&all);
    (void)sigprocmask(SIG_SETMASK, &all, &old);
    held_stop = 0;
    // vfork by choice (child.cpp says why); the child keeps to what is safe
    // on the parent's memory, which the analyser cannot see across files.
    pid_t pid = vfork();  // NOLINT(clang-analyzer-security.insecureAPI.vfork)
    if (pid == 0)
        pipeline_internal::run_stage(plan, argv, in, out);  // NOLINT(clang-analyzer-unix.Vfork)
    if (pid > 0 && held_stop)
        (void)kill(pid, held_stop);
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);  // errno stays vfork's
    return pid;
}

// Starts one stage reading `in` and writing `out` (-1: the caller's own
// standard input or output) after its redirections, and notes its process.
// A redirection that cannot be opened says why and finishes the stage with
// status 1. False, after a message, when no process could be made and the
// line is broken.
bool start_stage(clstage st, int in, int out, const Plan *plan, Line *line)
{
    pid_t pid = 0;
    int status = 0;
    int from = -1, to = -1;
    if (!st->argv || !st->argv[0]) {
        // nothing to run
    } else if (st->inname && (from = open(st->inname, O_RDONLY | O_CLOEXEC)) < 0) {
        perror(st->inname);
        status = kRedirectFailed;
    } else if (st->outname && (to = open(st->outname, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) < 0) {
        perror(st->outname);
        status = kRedirectFailed;
    } else if ((pid = spawn(plan, st->argv, from >= 0 ? from : in, to >= 0 ? to : out)) < 0) {
        line_failed("vfork");
    } else {
        line->pids[line->started++] = pid;
    }
    // Only we hold these: read-only or just created, nothing to lose.
    if (from >= 0)
        (void)close(from);
    if (to >= 0)
        (void)close(to);
    if (!st->next) {
        line->last = pid;
        line->status = status;
    }
    return pid >= 0;
}

// Starts every stage, each one's output joined to the next one's input by a
// pipe. False, after a message, when the line broke; the stages started by
// then are to be waited for all the same.
bool start_stages(pipeline pl, const Plan *plan, Line *line)
{
    bool whole = true;
    int in = -1;  // read end of the pipe from the previous stage
    clstage st = pl->stage;
    for (int i = 0; whole && st && i < pl->length; st = st->next, ++i) {
        int fds[2] = {-1, -1};
        if (st->next && pipe2(fds, O_CLOEXEC) != 0) {
            line_failed("pipe");
            whole = false;
            break;
        }
        whole = start_stage(st, in, fds[1], plan, line);
        // The stage holds its ends now; we keep only the next stage's input.
        if (in >= 0)
            (void)close(in);
        if (fds[1] >= 0)
            (void)close(fds[1]);
        in = fds[0];
    }
    if (in >= 0)
        (void)close(in);
    return whole;
}

// Waits for every stage that started, through interruptions: the last
// stage's status as a shell gives it, or -1, after a message, when it could
// not be waited for.
int wait_stages(const Line *line)
{
    int result = line->status;
    for (int k = 0; k < line->started; ++k) {
        int ws;
        pid_t got;
        while ((got = waitpid(line->pids[k], &ws, 0)) < 0 && errno == EINTR) {
        }
        if (got < 0)
            line_failed("waitpid");
        // Without WUNTRACED, and tracing nothing, we see only ended stages.
        if (line->pids[k] == line->last)
            result = got < 0 ? -1 : WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    }
    return result;
}

}  // namespace

int do_pipeline(pipeline pl)
{
    if (!pl || !pl->stage || pl->length < 1) {
        errno = EINVAL;
        return -1;
    }
    if (!pl->stage->argv || !pl->stage->argv[0])
        return 0;
    pid_t *const pids = static_cast<pid_t *>(calloc(static_cast<size_t>(pl->length), sizeof(pid_t)));
    if (!pids) {
        line_failed("malloc");
        return -1;
    }
    Line line{pids, 0, 0, 0};
    Plan plan;
    plan_line(&plan);
    // What the caller printed must come before what the stages print; a
    // failure stays on the caller's stream for the caller to see.
    (void)fflush(stdout);
    bool whole = start_stages(pl, &plan, &line);
    int result = wait_stages(&line);
    free(pids);
    return whole ? result : -1;
}
