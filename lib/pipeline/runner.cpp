// SPDX-License-Identifier: ISC
// do_pipeline: every stage started at once, joined by pipes, then waited for.
//
// Stages start with vfork, for speed: the parent's pages are never copied and
// the parent sleeps until the child has called execve. The child shares our
// memory until then, so it runs only system calls (and plain memory
// functions) on data prepared beforehand, with every signal blocked, and it
// puts every signal that has a handler back to its default action before it
// unblocks anything: no handler of the caller can run in it (the stop
// signals get one of ours, below). It reports its own failure to execute, as
// a forked child would.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "pipeline/parser.h"
#include "pipeline/pipeline.h"
#include "report.h"

extern char **environ;

namespace {

using pipeline_internal::line_failed;

constexpr const char *kDefaultPath = "/bin:/usr/bin";
constexpr const char *kShell = "/bin/sh";
constexpr int kRedirectFailed = 1;
constexpr int kCannotExecute = 126;
constexpr int kNotFound = 127;

// What became of one stage: its process started, it finished without one
// (having said why), or no process could be made and the line is broken.
enum class Outcome { started, finished, broken };
struct Stage {
    Outcome outcome;
    pid_t pid;   // of the process that started, else 0
    int status;  // as a shell gives it, of a stage that finished, else 0
};

// What a child needs, prepared before vfork.
struct Launch {
    const char *where;       // "line N: ", for the child's own failures
    char *const *argv;
    char **envp;
    const char *dirs;        // where to look for a name without a slash
    char *file;              // room for one candidate path of PATH_MAX bytes
    char **shell;            // argv for the system shell; the child fills in slot 1
    int in, out;             // to become standard input and output (-1: as they are)
    const sigset_t *caught;  // signals that may have a handler
    sigset_t mask;           // the signal mask to execute with (set by start)
};

// In the child: a message without stdio, which may not be used here, in one
// write, so that stages failing at the same time cannot tear each other's.
[[noreturn]] void fail(const char *where, const char *what, int err, int status)
{
    const char *why = strerrordesc_np(err);
    iovec parts[] = {
        {const_cast<char *>(where), strlen(where)},
        {const_cast<char *>(what), strlen(what)},
        {const_cast<char *>(": "), 2},
        {const_cast<char *>(why), strlen(why)},
        {const_cast<char *>("\n"), 1},
    };
    (void)!writev(2, parts, std::size(parts));
    _exit(status);
}

// Makes `fd` the descriptor `target` of the program to be executed.
bool place(int fd, int target)
{
    if (fd < 0)
        return true;
    if (fd == target)
        return fcntl(fd, F_SETFD, 0) == 0;
    return dup2(fd, target) == target;
}

// Executes `file`; a file of commands the kernel cannot execute (no #! line)
// is handed to the system shell, as execvp does. Returns the error.
int try_exec(const Launch *l, const char *file)
{
    execve(file, l->argv, l->envp);
    if (errno != ENOEXEC)
        return errno;
    l->shell[1] = const_cast<char *>(file);
    execve(kShell, l->shell, l->envp);
    return errno;
}

// The search execvp makes: a name with a slash as it is, any other in each
// directory of PATH in turn (an empty entry is the current directory), going
// on past files that are missing or may not be executed.
int exec_search(const Launch *l)
{
    const char *name = l->argv[0];
    if (*name == '\0')
        return ENOENT;
    if (strchr(name, '/'))
        return try_exec(l, name);
    size_t namelen = strlen(name);
    bool denied = false;
    const char *dir = l->dirs;
    for (;;) {
        const char *end = dir;
        while (*end && *end != ':')
            end++;
        size_t dirlen = static_cast<size_t>(end - dir);
        if (dirlen + namelen + 2 <= PATH_MAX) {
            size_t at = 0;
            if (dirlen) {
                memcpy(l->file, dir, dirlen);
                l->file[dirlen] = '/';
                at = dirlen + 1;
            }
            memcpy(l->file + at, name, namelen + 1);
            int err = try_exec(l, l->file);
            if (err == EACCES)
                denied = true;
            else if (err != ENOENT && err != ENOTDIR && err != ESTALE && err != ENODEV && err != ETIMEDOUT)
                return err;
        }
        if (*end == '\0')
            return denied ? EACCES : ENOENT;
        dir = end + 1;
    }
}

// A stop signal (Ctrl-Z) that reached the child before it could execute.
// Stopped there, the child would never execute and its parent, which vfork
// holds until then, could not stop: the terminal would hang. The child takes
// it with a handler instead, and the parent passes it on once the child runs
// the command (exec puts the default action back).
volatile sig_atomic_t held_stop;

void hold_stop(int sig) { held_stop = sig; }

constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// The child between vfork and execve: only system calls on prepared data.
[[noreturn]] void child(Launch *l)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (!sigismember(l->caught, sig))
            continue;
        // SIGINT and SIGPIPE always start at their default actions; any
        // other signal keeps being ignored if it was.
        struct sigaction now;
        if (sig != SIGINT && sig != SIGPIPE &&
            (sigaction(sig, nullptr, &now) != 0 ||
             (!(now.sa_flags & SA_SIGINFO) && (now.sa_handler == SIG_IGN || now.sa_handler == SIG_DFL))))
            continue;
        (void)sigaction(sig, &dfl, nullptr);
    }
    struct sigaction hold = dfl, was;
    hold.sa_handler = hold_stop;
    hold.sa_flags = SA_RESTART;
    sigfillset(&hold.sa_mask);
    for (int sig : kStopSignals)
        if (sigaction(sig, &hold, &was) == 0 && !(was.sa_flags & SA_SIGINFO) && was.sa_handler == SIG_IGN)
            (void)sigaction(sig, &was, nullptr);  // an ignored one stays ignored
    // An output that sits on descriptor 0 would be lost to the input's dup2.
    int out = l->out;
    if (out == 0 && l->in > 0)
        out = fcntl(out, F_DUPFD_CLOEXEC, 3);
    // Like a pipe or a process that cannot be had, a failure of the line.
    if (!place(l->in, 0) || !place(out, 1))
        fail(l->where, "dup2", errno, kCannotExecute);
    (void)sigprocmask(SIG_SETMASK, &l->mask, nullptr);
    int err = exec_search(l);
    fail("", l->argv[0], err, err == ENOENT ? kNotFound : kCannotExecute);
}

// Starts the prepared child: its pid, or -1 with errno set. Kept apart so
// that the frame vfork returns into twice holds nothing else.
[[gnu::noinline]] pid_t start(Launch *l)
{
    // Blocked here, a signal waits until the child has gone its own way.
    sigset_t all, old;
    sigfillset(&all);
    (void)sigprocmask(SIG_SETMASK, &all, &old);
    // The child gets SIGINT and SIGPIPE unblocked whatever the caller holds
    // blocked; the rest of the mask is inherited as exec inherits it.
    l->mask = old;
    sigdelset(&l->mask, SIGINT);
    sigdelset(&l->mask, SIGPIPE);
    held_stop = 0;
    pid_t pid = vfork();
    if (pid == 0)
        child(l);
    int err = errno;
    if (pid > 0 && held_stop)
        (void)kill(pid, held_stop);
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return pid;
}

// The signals that have a handler now, from the kernel's own account (one
// read instead of a query per signal); every signal if that cannot be read.
// The child confirms each one before it resets it.
void caught_signals(sigset_t *set)
{
    sigfillset(set);
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char text[4096];
    ssize_t got = read(fd, text, sizeof text - 1);
    (void)close(fd);  // read-only: nothing to lose
    if (got <= 0)
        return;
    text[got] = '\0';
    const char *at = strstr(text, "\nSigCgt:");
    if (!at)
        return;
    at += strlen("\nSigCgt:");
    while (*at == ' ' || *at == '\t')
        at++;
    const char *end = at;
    while ((*end >= '0' && *end <= '9') || (*end >= 'a' && *end <= 'f'))
        end++;
    if (end == at)
        return;
    sigemptyset(set);
    // The last hex digit holds signals 1 to 4, the one before it 5 to 8, ...
    int base = 1;
    for (const char *d = end - 1; d >= at; --d, base += 4) {
        int bits = *d <= '9' ? *d - '0' : *d - 'a' + 10;
        for (int b = 0; b < 4; ++b)
            if ((bits & (1 << b)) && base + b < NSIG)
                sigaddset(set, base + b);
    }
    sigaddset(set, SIGINT);
    sigaddset(set, SIGPIPE);
}

// Makes the process for `argv`: started, or broken when that cannot be done.
Stage make_process(char *const *argv, int in, int out, Launch *l)
{
    size_t argc = 0;
    while (argv[argc])
        argc++;
    char **shell = static_cast<char **>(calloc(argc + 2, sizeof(char *)));
    if (!shell) {
        line_failed("malloc");
        return {Outcome::broken, 0, 0};
    }
    shell[0] = const_cast<char *>("sh");
    for (size_t i = 1; i < argc; ++i)
        shell[i + 1] = argv[i];
    l->argv = argv;
    l->shell = shell;
    l->in = in;
    l->out = out;
    pid_t pid = start(l);
    if (pid < 0)
        line_failed("vfork");
    free(shell);
    return pid < 0 ? Stage{Outcome::broken, 0, 0} : Stage{Outcome::started, pid, 0};
}

// Starts one stage reading `in` and writing `out` (-1: the caller's own
// standard input or output) after its redirections; one that cannot be
// opened says why and finishes the stage.
Stage start_stage(clstage st, int in, int out, Launch *l)
{
    if (!st->argv || !st->argv[0])
        return {Outcome::finished, 0, 0};
    int from = -1, to = -1;
    if (st->inname) {
        from = open(st->inname, O_RDONLY | O_CLOEXEC);
        if (from < 0) {
            perror(st->inname);
            return {Outcome::finished, 0, kRedirectFailed};
        }
    }
    if (st->outname)
        to = open(st->outname, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    Stage s = {Outcome::finished, 0, kRedirectFailed};
    if (st->outname && to < 0)
        perror(st->outname);
    else
        s = make_process(st->argv, from >= 0 ? from : in, to >= 0 ? to : out, l);
    // Only we hold these: read-only or just created, nothing to lose.
    if (from >= 0)
        (void)close(from);
    if (to >= 0)
        (void)close(to);
    return s;
}

// Waits for one stage, through interruptions, and gives its status as a
// shell gives it; false, after a message, if it cannot be waited for.
bool wait_stage(pid_t pid, int *status)
{
    int ws;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR) {
            line_failed("waitpid");
            return false;
        }
    }
    // Without WUNTRACED, and tracing nothing, we see only ended stages.
    *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return true;
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

    pid_t *pids = static_cast<pid_t *>(calloc(static_cast<size_t>(pl->length), sizeof(pid_t)));
    if (!pids) {
        line_failed("malloc");
        return -1;
    }

    char file[PATH_MAX];  // the child builds candidate paths here
    char where[32];
    snprintf(where, sizeof where, "line %d: ", lineno);
    sigset_t caught;
    caught_signals(&caught);
    Launch launch{};
    launch.where = where;
    launch.envp = environ;
    launch.file = file;
    launch.caught = &caught;
    const char *path = getenv("PATH");
    launch.dirs = path ? path : kDefaultPath;

    // What the caller printed must come before what the stages print; a
    // failure stays on the caller's stream for the caller to see.
    (void)fflush(stdout);

    int result = 0;
    bool broken = false;
    int in = -1;       // read end of the pipe from the previous stage
    int started = 0;   // pids[0] to pids[started - 1] are to be waited for
    pid_t last = 0;    // the last stage's, if it started
    int i = 0;
    for (clstage st = pl->stage; st && i < pl->length; st = st->next, ++i) {
        int fds[2] = {-1, -1};
        if (st->next && pipe2(fds, O_CLOEXEC) != 0) {
            line_failed("pipe");
            broken = true;
            break;
        }
        Stage s = start_stage(st, in, fds[1], &launch);
        // The stage holds its ends now; we keep only the next stage's input.
        if (in >= 0)
            (void)close(in);
        if (fds[1] >= 0)
            (void)close(fds[1]);
        in = fds[0];
        if (s.outcome == Outcome::broken) {
            broken = true;
            break;
        }
        if (s.outcome == Outcome::started)
            pids[started++] = s.pid;
        if (!st->next) {
            last = s.pid;
            result = s.status;
        }
    }
    if (in >= 0)
        (void)close(in);

    for (int k = 0; k < started; ++k) {
        int status;
        bool waited = wait_stage(pids[k], &status);
        if (pids[k] == last)
            result = waited ? status : -1;
    }
    free(pids);
    return broken ? -1 : result;
}
