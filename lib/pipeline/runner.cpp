// do_pipeline: every stage started at once, joined by pipes, then waited for.
//
// posix_spawnp starts each stage without copying our pages (the child runs on
// them until it executes the command, with none of our handlers left in
// place) and does the redirections and the signal set-up on the way. It
// hands back a failure as an error number, so every message is written here,
// by the caller, in one piece, and a stage that did not start has no process
// to wait for.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// What became of one stage.
enum class Outcome {
    running,  // as `pid`, until it is waited for
    ended,    // with `status`: it ran, or it could not start and said why
    unknown,  // it ran, but waiting for it failed
    broken,   // no process could be made: the line is abandoned
};

struct Stage {
    Outcome outcome;
    pid_t pid;
    int status;
};

// SIGINT and SIGPIPE start at their default actions and unblocked in every
// stage, whatever the caller did with them; other signals keep being ignored
// or blocked if they were, as exec passes them on.
void stage_signals(posix_spawnattr_t *attr)
{
    sigset_t mask, dfl;
    sigemptyset(&mask);
    (void)sigprocmask(SIG_BLOCK, nullptr, &mask);  // a query: cannot fail
    sigdelset(&mask, SIGINT);
    sigdelset(&mask, SIGPIPE);
    sigemptyset(&dfl);
    sigaddset(&dfl, SIGINT);
    sigaddset(&dfl, SIGPIPE);
    // None of these can fail with valid arguments.
    (void)posix_spawnattr_init(attr);
    (void)posix_spawnattr_setsigdefault(attr, &dfl);
    (void)posix_spawnattr_setsigmask(attr, &mask);
    (void)posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

// Where a search of PATH found `name` when it stopped at a file it could not
// execute: the first regular file there that we may execute (an empty entry
// is the current directory). False if there is none.
bool locate(const char *name, char *file)
{
    const char *dir = getenv("PATH");
    if (!dir)
        dir = kDefaultPath;
    for (;;) {
        const char *end = strchrnul(dir, ':');
        int dirlen = static_cast<int>(end - dir);
        struct stat st;
        if (snprintf(file, PATH_MAX, "%.*s%s%s", dirlen, dir, dirlen ? "/" : "", name) < PATH_MAX &&
            stat(file, &st) == 0 && S_ISREG(st.st_mode) && access(file, X_OK) == 0)
            return true;
        if (*end == '\0')
            return false;
        dir = end + 1;
    }
}

// What a stage that did not start comes to. posix_spawnp has one error
// number for every step, and the number shows the step: making the process
// fails for want of memory or processes (the child is made as vfork makes
// it, so that is the call named), placing a descriptor only for a bad or busy
// one, and everything else is the command's own.
Stage not_started(int err, const char *name)
{
    switch (err) {
    case EAGAIN:
    case ENOMEM:
        errno = err;
        line_failed("vfork");
        return {Outcome::broken, 0, 0};
    case EBADF:
    case EBUSY:
        errno = err;
        line_failed("dup2");
        return {Outcome::ended, 0, kCannotExecute};
    default:
        fprintf(stderr, "%s: %s\n", name, strerror(err));
        return {Outcome::ended, 0, err == ENOENT ? kNotFound : kCannotExecute};
    }
}

// A file of commands without a #! line, which the kernel does not execute,
// is handed to the system shell.
Stage spawn_script(char *const argv[], const posix_spawn_file_actions_t *fa, const posix_spawnattr_t *attr)
{
    char file[PATH_MAX];
    const char *script = argv[0];
    if (!strchr(script, '/')) {
        if (!locate(script, file))
            return not_started(ENOEXEC, argv[0]);
        script = file;
    }
    size_t argc = 0;
    while (argv[argc])
        argc++;
    char **shell = static_cast<char **>(calloc(argc + 2, sizeof(char *)));
    if (!shell) {
        line_failed("malloc");
        return {Outcome::broken, 0, 0};
    }
    shell[0] = const_cast<char *>("sh");
    shell[1] = const_cast<char *>(script);
    for (size_t i = 1; i < argc; ++i)
        shell[i + 1] = argv[i];
    Stage s{Outcome::running, 0, 0};
    int err = posix_spawnp(&s.pid, kShell, fa, attr, shell, environ);
    free(shell);
    return err ? not_started(err, argv[0]) : s;
}

// Runs `argv` with `in` and `out` (-1: as they are) as standard input and
// output.
Stage spawn_stage(char *const argv[], int in, int out, const posix_spawnattr_t *attr)
{
    // An output that sits on descriptor 0 would be lost to the input's dup2.
    int moved = -1;
    if (out == 0 && in > 0) {
        moved = fcntl(out, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) {
            line_failed("dup2");
            return {Outcome::ended, 0, kCannotExecute};
        }
        out = moved;
    }
    Stage s{Outcome::running, 0, 0};
    posix_spawn_file_actions_t fa;
    (void)posix_spawn_file_actions_init(&fa);  // allocates nothing
    int err = 0;
    if (in >= 0)
        err = posix_spawn_file_actions_adddup2(&fa, in, 0);
    if (err == 0 && out >= 0)
        err = posix_spawn_file_actions_adddup2(&fa, out, 1);
    if (err != 0) {
        errno = err;
        line_failed("malloc");
        s.outcome = Outcome::broken;
    } else {
        err = posix_spawnp(&s.pid, argv[0], &fa, attr, argv, environ);
        if (err == ENOEXEC)
            s = spawn_script(argv, &fa, attr);
        else if (err != 0)
            s = not_started(err, argv[0]);
    }
    (void)posix_spawn_file_actions_destroy(&fa);
    if (moved >= 0)
        (void)close(moved);
    return s;
}

// Starts one stage reading `in` and writing `out` (-1: the caller's own
// standard input or output) after its own redirections.
Stage start_stage(clstage st, int in, int out, const posix_spawnattr_t *attr)
{
    if (!st->argv || !st->argv[0])
        return {Outcome::ended, 0, 0};
    Stage s{Outcome::ended, 0, kRedirectFailed};
    int from = -1, to = -1;
    if (st->inname && (from = open(st->inname, O_RDONLY | O_CLOEXEC)) < 0)
        perror(st->inname);
    else if (st->outname && (to = open(st->outname, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) < 0)
        perror(st->outname);
    else
        s = spawn_stage(st->argv, from >= 0 ? from : in, to >= 0 ? to : out, attr);
    // Only we hold these: read-only or just created, nothing to lose.
    if (from >= 0)
        (void)close(from);
    if (to >= 0)
        (void)close(to);
    return s;
}

// Waits for one stage, through interruptions; its status as a shell gives it.
void wait_stage(Stage *s)
{
    int ws;
    while (waitpid(s->pid, &ws, 0) < 0) {
        if (errno != EINTR) {
            line_failed("waitpid");
            s->outcome = Outcome::unknown;
            return;
        }
    }
    s->outcome = Outcome::ended;
    s->status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
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

    Stage *stages = static_cast<Stage *>(calloc(static_cast<size_t>(pl->length), sizeof(Stage)));
    if (!stages) {
        line_failed("malloc");
        return -1;
    }
    posix_spawnattr_t attr;
    stage_signals(&attr);

    // What the caller printed must come before what the stages print; a
    // failure stays on the caller's stream for the caller to see.
    (void)fflush(stdout);

    bool broken = false;
    int last = 0;
    int in = -1;  // read end of the pipe from the previous stage
    int i = 0;  // stages reached
    for (clstage st = pl->stage; st && i < pl->length && !broken; st = st->next, ++i) {
        int fds[2] = {-1, -1};
        if (st->next && pipe2(fds, O_CLOEXEC) != 0) {
            line_failed("pipe");
            broken = true;
            break;
        }
        stages[i] = start_stage(st, in, fds[1], &attr);
        // The stage holds its ends now; we keep only the next stage's input.
        if (in >= 0)
            (void)close(in);
        if (fds[1] >= 0)
            (void)close(fds[1]);
        in = fds[0];
        broken = stages[i].outcome == Outcome::broken;
        last = i;
    }
    if (in >= 0)
        (void)close(in);

    for (int k = 0; k < i; ++k)
        if (stages[k].outcome == Outcome::running)
            wait_stage(&stages[k]);
    int result = broken || stages[last].outcome != Outcome::ended ? -1 : stages[last].status;
    (void)posix_spawnattr_destroy(&attr);
    free(stages);
    return result;
}
