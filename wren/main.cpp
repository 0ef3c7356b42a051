// SPDX-License-Identifier: ISC
// wren, a shell's front end. The pipeline library reads, cracks and runs
// the command lines; this file owns what belongs to the process itself:
// interrupts, a script taken as input, the prompt, and the two commands that
// must act on the shell rather than in a child, cd and exit.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pipeline/parser.h"
#include "pipeline/pipeline.h"

namespace {

constexpr const char *kDefaultPrompt = "Squeak? ";
constexpr char kSigactionFailure[] = "Sigaction SIGINT failure\n";

// Set by every interrupt; the prompt clears it before it prints.
volatile sig_atomic_t interrupted;

sigset_t interrupt_only()
{
    sigset_t intr;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    return intr;
}

// The shell writes to standard output only with SIGINT blocked, and always
// flushes before letting it in again. So whenever the handler runs, the
// stream is neither in use by us nor holding anything, and its flush cannot
// tear or repeat our output.
void hold_interrupts(sigset_t *old)
{
    sigset_t intr = interrupt_only();
    // Fails only for an invalid "how", which this is not.
    (void)sigprocmask(SIG_BLOCK, &intr, old);
}

void release_interrupts(const sigset_t *old) { (void)sigprocmask(SIG_SETMASK, old, nullptr); }

void printusage(const char *name) { fprintf(stderr, "usage: %s\n", name); }

[[noreturn]] void die(const char *context)
{
    perror(context);
    exit(1);
}

// A prompt or final newline that cannot be written ends the shell: carrying
// on would leave its user, or whatever reads its output, to guess.
void flush_output()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        die("stdout");
}

void handler(int signum)
{
    (void)signum;
    // The main flow may be about to look at errno (an interrupted read).
    int saved = errno;
    interrupted = 1;
    // Nothing useful can be done in a handler if the newline is lost.
    (void)!write(1, "\n", 1);
    fflush(stdout);
    errno = saved;
}

void prompt(const char *pr)
{
    if (!isatty(0) || !isatty(1))
        return;
    // An interrupt that comes while the prompt is being written (to a
    // terminal nobody reads yet, or one whose output is held) is let in,
    // newline and all, only once the prompt is out; like one at the prompt,
    // it then wants a fresh prompt.
    do {
        sigset_t old;
        hold_interrupts(&old);
        interrupted = 0;
        printf("%s", pr);
        flush_output();
        release_interrupts(&old);
    } while (interrupted);
}

// A standard descriptor closed at start stays closed, to the shell and to the
// commands, but its number is taken: otherwise a pipe or a redirection's file
// could get it, and a message meant for a closed standard error would land in
// a command's output. The placeholder is close-on-exec and opened the wrong
// way round, so that using it fails as the closed descriptor did.
void hold_closed_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // Those below are open by now, so this number is the lowest free one.
        // Without /dev/null they stay as they are.
        if (open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC) < 0)
            return;
    }
}

// Gives `sig` the action `fn`, with nothing blocked while it runs and no
// restart of interrupted calls. False if that cannot be done.
bool set_action(int sig, void (*fn)(int))
{
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = fn;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    return sigaction(sig, &act, nullptr) == 0;
}

// No SA_RESTART: an interrupt must end the read at the prompt.
void install_interrupt_handler()
{
    if (!set_action(SIGINT, handler)) {
        (void)!write(2, kSigactionFailure, sizeof kSigactionFailure - 1);
        _exit(1);
    }
}

// Signal state inherited from whoever started the shell that would defeat it:
// a blocked interrupt could never reach the prompt, and with SIGCHLD ignored
// the kernel would reap the commands itself, leaving nothing to wait for.
// Called once the handler is in place, so that an interrupt already pending
// may come in.
void reset_inherited_signals()
{
    // Neither call can fail with these arguments.
    sigset_t intr = interrupt_only();
    (void)sigprocmask(SIG_UNBLOCK, &intr, nullptr);
    (void)set_action(SIGCHLD, SIG_DFL);
}

// The script becomes standard input. Its own descriptor stays open but
// close-on-exec, so commands do not inherit a second copy.
void take_over_script(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die(path);
    if (fd == 0) {
        if (fcntl(0, F_SETFD, 0) != 0)
            die("fcntl");
    } else if (dup2(fd, 0) < 0) {
        die("dup2");
    }
}

enum class Got { line, end, again };

// The next line of input in `*line`, or why there is none. A line too long
// for memory is dropped, as one that cannot be parsed is, and an interrupted
// read just prompts again; any other failure would fail again on every pass
// and ends the shell with a message naming `source`.
Got next_line(char **line, const char *source)
{
    // Cleared first, so that errno tells a dropped last line from the plain
    // end of input.
    errno = 0;
    *line = readLongString(stdin);
    if (*line)
        return Got::line;
    int why = errno;
    if (why == ENOMEM) {
        fprintf(stderr, "line %d: malloc: %s\n", lineno, strerror(why));
        lineno += 1;
    }
    if (feof(stdin))
        return Got::end;
    if (why != EINTR && why != ENOMEM) {
        errno = why;
        die(source);
    }
    return Got::again;
}

// cd ends the shell when it fails, and a cd without a directory is such a
// failure.
void change_directory(const char *dir)
{
    if (!dir) {
        fprintf(stderr, "cd: no directory given\n");
        exit(1);
    }
    if (chdir(dir) == -1)
        die("cd");
}

// Runs one cracked line; false when it tells the shell to exit.
bool dispatch(pipeline pl)
{
    if (!pl || !pl->stage->argv[0])
        return true;
    const char *name = pl->stage->argv[0];
    if (strcmp(name, "cd") == 0)
        change_directory(pl->stage->argv[1]);
    else if (strcmp(name, "exit") == 0)
        return false;
    else
        (void)do_pipeline(pl);
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    hold_closed_descriptors();
    install_interrupt_handler();
    reset_inherited_signals();

    if (argc > 2) {
        printusage(argv[0]);
        exit(-1);
    }
    // The final newline is for the end of the shell's own input only.
    int exitvar = 0;
    if (argc == 2) {
        take_over_script(argv[1]);
        exitvar = 1;
    }
    const char *promptstr = getenv("WRENPROMPT");
    if (!promptstr)
        promptstr = kDefaultPrompt;

    int run = 1;
    while (run) {
        prompt(promptstr);
        char *line;
        Got got = next_line(&line, argc == 2 ? argv[1] : "read");
        if (got == Got::end)
            run = 0;
        if (got != Got::line)
            continue;
        pipeline pl = crack_pipeline(line);
        if (!dispatch(pl)) {
            run = 0;
            exitvar = 1;
        }
        free_pipeline(pl);
        lineno += 1;
    }

    if (exitvar == 0) {
        sigset_t old;
        hold_interrupts(&old);
        putchar('\n');
        flush_output();
        release_interrupts(&old);
    }
    return 0;
}
