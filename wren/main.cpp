// wren: the top level of a small shell. It prompts, reads a line, has the
// pipeline library crack it, runs the built-ins cd and exit itself and hands
// every other pipeline to the library to run.
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

// The shell writes to standard output only with SIGINT blocked, and always
// flushes before letting it in again. So whenever the handler runs, the
// stream is neither in use by us nor holding anything, and its flush cannot
// tear or repeat our output.
void hold_interrupts(sigset_t *old)
{
    sigset_t intr;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    // Fails only for an invalid "how", which this is not.
    (void)sigprocmask(SIG_BLOCK, &intr, old);
}

void release_interrupts(const sigset_t *old) { (void)sigprocmask(SIG_SETMASK, old, nullptr); }

void handler(int signum)
{
    (void)signum;
    // The main flow may be about to look at errno (an interrupted read).
    int saved = errno;
    // Nothing useful can be done in a handler if the newline is lost.
    (void)!write(1, "\n", 1);
    fflush(stdout);
    errno = saved;
}

void prompt(const char *pr)
{
    if (!isatty(0) || !isatty(1))
        return;
    sigset_t old;
    hold_interrupts(&old);
    printf("%s", pr);
    fflush(stdout);
    release_interrupts(&old);
}

void printusage(const char *name) { fprintf(stderr, "usage: %s\n", name); }

[[noreturn]] void die(const char *context)
{
    perror(context);
    exit(1);
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

}  // namespace

int main(int argc, char *argv[])
{
    char *line;
    pipeline pl;
    int run;
    const char *promptstr;
    int exitvar;
    int fd;
    struct sigaction act;

    // 1.
    exitvar = 0;

    // 2. No SA_RESTART: an interrupt must end the read at the prompt.
    memset(&act, 0, sizeof act);
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    if (sigaction(SIGINT, &act, nullptr) != 0) {
        (void)!write(2, kSigactionFailure, sizeof kSigactionFailure - 1);
        _exit(1);
    }

    // 3.
    if (argc > 2) {
        printusage(argv[0]);
        exit(-1);
    }

    // 4. The script becomes standard input. Its own descriptor stays open
    // but close-on-exec, so commands do not inherit a second copy.
    if (argc == 2) {
        fd = open(argv[1], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            die(argv[1]);
        if (fd == 0) {
            if (fcntl(0, F_SETFD, 0) != 0)
                die("fcntl");
        } else if (dup2(fd, 0) < 0) {
            die("dup2");
        }
        exitvar = 1;
    }

    // 5.
    promptstr = getenv("WRENPROMPT");
    if (!promptstr)
        promptstr = kDefaultPrompt;

    // 6.
    run = 1;
    prompt(promptstr);

    // 7.
    while (run) {
        line = readLongString(stdin);
        if (!line) {
            // An interrupted read just prompts again; any other failure
            // would fail again on every pass.
            if (feof(stdin))
                run = 0;
            else if (errno != EINTR)
                die(argc == 2 ? argv[1] : "read");
        } else {
            pl = crack_pipeline(line);
            if (pl && pl->stage->argv[0]) {
                if (strcmp(pl->stage->argv[0], "cd") == 0) {
                    change_directory(pl->stage->argv[1]);
                } else if (strcmp(pl->stage->argv[0], "exit") == 0) {
                    run = 0;
                    exitvar = 1;
                } else {
                    (void)do_pipeline(pl);
                }
            }
            free_pipeline(pl);
            lineno += 1;
        }
        if (run)
            prompt(promptstr);
    }

    // 8.
    if (exitvar == 0) {
        sigset_t old;
        hold_interrupts(&old);
        putchar('\n');
        fflush(stdout);
        release_interrupts(&old);
    }

    // 9.
    return 0;
}
