// duct: runs the pipeline  ls | sort -r > outfile  built by hand, and exits
// with the status of its sort stage.
#include <fcntl.h>
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

// Interrupted waits are simply repeated; anything else is fatal.
pid_t wait_retrying(int *status, const char *context)
{
    pid_t pid;
    while ((pid = wait(status)) < 0) {
        if (errno != EINTR && errno != EAGAIN)
            die(context);
    }
    return pid;
}

}  // namespace

int main()
{
    int pfd[2];
    if (pipe(pfd) == -1)
        die("pipe");

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
        if (dup2(outfd, 1) < 0)
            die("dup2 outfile");
        if (close(outfd) == -1)
            exit(1);
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
    // counts, whichever wait reaps it.
    int st1, st2;
    wait_retrying(&st1, "child1");
    pid_t c2 = wait_retrying(&st2, "child2");
    int status = c2 == pid2 ? st2 : st1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
