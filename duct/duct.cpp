// SPDX-License-Identifier: ISC
// duct: runs the pipeline  ls | sort -r > outfile  built by hand, and exits
// with the status of its sort stage.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char *kOutfile = "outfile";
constexpr mode_t kOutfileMode = 0644;

[[noreturn]] void die(const char *context)
{
    perror(context);
    exit(1);
}

// A child whose descriptors are not as planned does not start its program.
void close_or_die(int fd, const char *context)
{
    if (close(fd) == -1)
        die(context);
}

// With a standard descriptor closed at start, pipe may return its number,
// and the children's own redirections would then close or overwrite the
// end they had just set up. Such an end is moved above them.
int above_standard(int fd)
{
    if (fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD, 3);
    // A copy left open would keep sort from seeing the end of its input.
    if (moved < 0 || close(fd) == -1)
        die("pipe");
    return moved;
}

// Waits for the child `pid` only: one inherited across exec is none of our
// business, and its status must not be taken for sort's. Interrupted waits
// are simply repeated; anything else is fatal.
void wait_retrying(pid_t pid, int *status, const char *context)
{
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR && errno != EAGAIN)
            die(context);
    }
}

}  // namespace

int main()
{
    // An ignored SIGCHLD, inherited across exec, would have the kernel reap
    // the children itself and leave no status to wait for.
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    if (sigaction(SIGCHLD, &dfl, nullptr) == -1)
        die("sigaction");

    int pfd[2];
    if (pipe(pfd) == -1)
        die("pipe");
    pfd[0] = above_standard(pfd[0]);
    pfd[1] = above_standard(pfd[1]);

    pid_t pid1 = fork();
    if (pid1 < 0)
        die("pid1");
    if (pid1 == 0) {
        if (dup2(pfd[1], 1) < 0)
            die("dup2 c1");
        close_or_die(pfd[0], "close c1");
        close_or_die(pfd[1], "close c1");
        execlp("ls", "ls", (char *)nullptr);
        die("execlp");
    }

    pid_t pid2 = fork();
    if (pid2 < 0)
        die("pid2");  // the ls child is left to run on its own
    if (pid2 == 0) {
        if (dup2(pfd[0], 0) < 0)
            die("dup2 c2");
        close_or_die(pfd[0], "close c2");
        close_or_die(pfd[1], "close c2");
        int outfd = open(kOutfile, O_WRONLY | O_CREAT | O_TRUNC, kOutfileMode);
        if (outfd < 0)
            die("output file creation error");
        // Otherwise sort would write its result wherever our output goes.
        // With standard output closed at start, the file is it already.
        if (outfd != 1) {
            if (dup2(outfd, 1) < 0)
                die("dup2 outfile");
            if (close(outfd) == -1)
                exit(1);
        }
        execlp("sort", "sort", "-r", (char *)nullptr);
        die("execlp");
    }

    // Both children have started; a failed close here is worth a word, but
    // the sort stage's status is still the one to report.
    if (close(pfd[0]) == -1)
        perror("close");
    if (close(pfd[1]) == -1)
        perror("close");

    // The children may end in either order; only the sort child's status
    // counts.
    int st1, st2;
    wait_retrying(pid1, &st1, "child1");
    wait_retrying(pid2, &st2, "child2");
    return WIFEXITED(st2) ? WEXITSTATUS(st2) : 1;
}
