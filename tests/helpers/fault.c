/* SPDX-License-Identifier: ISC */
/*
 * Preloaded into a program under test (LD_PRELOAD) to make chosen calls
 * fail, the way to reach failure handling that a healthy machine never
 * shows. FAULT lists the failures, separated by commas:
 *
 *     FAULT=pipe:1            the first pipe fails (with its usual errno)
 *     FAULT=malloc:3+:ENOMEM  every malloc from the third on fails
 *     FAULT=fork:2:EAGAIN,dup2:1
 *     FAULT=open(outfile):1   the first open of the path "outfile" fails
 *     FAULT=kill(STOP):2      the second kill that sends SIGSTOP fails
 *     FAULT=waitpid(pid):3    the third wait for one given process fails
 *
 * A call is counted when the program (or the C library on its behalf, where
 * the library goes through the public symbol) makes it; a call that names a
 * path (open), a signal (kill, by its name without "SIG") or one process to
 * wait for (waitpid, "pid" rather than "any") is counted by a rule that
 * names one only when the two are the same, as the program wrote it. A
 * forked child goes on counting from where its parent was. The library
 * takes itself and FAULT out of the environment at start, so the programs a
 * tested program executes run unharmed. A failed call changes nothing and returns the function's
 * failure value with errno set; only a failed close releases the descriptor
 * all the same, as the kernel's does.
 *
 * vfork cannot be wrapped by a function (the child would return through a
 * frame the parent still needs), so when it is not to fail it is carried out
 * as a fork: the same for a child that only executes or exits.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

/* The calls that can be made to fail, with the errno each fails with unless
 * FAULT names another. */
#define CALLS(X)                \
    X(fork, EAGAIN)             \
    X(vfork, EAGAIN)            \
    X(pipe, EMFILE)             \
    X(dup2, EBADF)              \
    X(open, EMFILE)             \
    X(close, EIO)               \
    X(read, EIO)                \
    X(write, EIO)               \
    X(malloc, ENOMEM)           \
    X(calloc, ENOMEM)           \
    X(realloc, ENOMEM)          \
    X(mmap, ENOMEM)             \
    X(sigaction, EINVAL)        \
    X(sigprocmask, EINVAL)      \
    X(setitimer, EINVAL)        \
    X(tcgetattr, EIO)           \
    X(tcsetattr, EIO)           \
    X(waitpid, ECHILD)          \
    X(wait, ECHILD)             \
    X(kill, EPERM)

#define AS_ENUM(name, err) CALL_##name,
enum { CALLS(AS_ENUM) CALL_COUNT };
#define AS_NAME(name, err) #name,
static const char *const call_names[] = {CALLS(AS_NAME)};
#define AS_ERRNO(name, err) err,
static const int call_errnos[] = {CALLS(AS_ERRNO)};

static const struct {
    const char *name;
    int value;
} errno_names[] = {
    {"EAGAIN", EAGAIN}, {"EBADF", EBADF},   {"ECHILD", ECHILD}, {"EINTR", EINTR},
    {"EINVAL", EINVAL}, {"EIO", EIO},       {"EMFILE", EMFILE}, {"ENFILE", ENFILE},
    {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM}, {"ENOSPC", ENOSPC}, {"EPERM", EPERM},
    {"EPIPE", EPIPE},   {"ENOTTY", ENOTTY},
};

struct rule {
    int call;
    char path[256];  /* the calls counted: those of this path; "": all */
    long at;         /* the counted call's number, from 1 */
    int onwards;     /* and every counted call after it */
    int err;
    long seen;       /* calls counted so far */
};

static struct rule rules[16];
static int nrules;
static int armed;  /* counting starts once FAULT has been read */

/* Whether this call of `call`, on `path` if it takes one, is to fail; sets
 * errno if so. */
static int failing_on(int call, const char *path)
{
    if (!armed)
        return 0;
    int fail = 0;
    for (int i = 0; i < nrules; i++) {
        struct rule *r = &rules[i];
        if (r->call != call || (r->path[0] && (!path || strcmp(r->path, path) != 0)))
            continue;
        long n = ++r->seen;
        if (!fail && (n == r->at || (r->onwards && n > r->at))) {
            errno = r->err;
            fail = 1;
        }
    }
    return fail;
}

static int failing(int call)
{
    return failing_on(call, NULL);
}

static int parse_errno(const char *text, size_t len)
{
    for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; i++)
        if (strlen(errno_names[i].name) == len && strncmp(errno_names[i].name, text, len) == 0)
            return errno_names[i].value;
    return atoi(text);
}

/* One "name[(path)]:N[+][:ERRNO]" entry; false if it names no known call. */
static int parse_rule(const char *text, size_t len, struct rule *r)
{
    const char *colon = memchr(text, ':', len);
    if (!colon)
        return 0;
    const char *paren = memchr(text, '(', (size_t)(colon - text));
    size_t name_len = (size_t)((paren ? paren : colon) - text);
    r->path[0] = '\0';
    if (paren) {
        size_t path_len = (size_t)(colon - paren - 2);
        if (colon[-1] != ')' || path_len == 0 || path_len >= sizeof r->path)
            return 0;
        memcpy(r->path, paren + 1, path_len);
        r->path[path_len] = '\0';
    }
    r->call = -1;
    for (int c = 0; c < CALL_COUNT; c++)
        if (strlen(call_names[c]) == name_len && strncmp(call_names[c], text, name_len) == 0)
            r->call = c;
    if (r->call < 0)
        return 0;
    char *rest;
    r->at = strtol(colon + 1, &rest, 10);
    r->onwards = *rest == '+';
    if (r->onwards)
        rest++;
    r->err = call_errnos[r->call];
    if (rest < text + len && *rest == ':')
        r->err = parse_errno(rest + 1, (size_t)(text + len - rest - 1));
    return r->at > 0;
}

__attribute__((constructor)) static void read_faults(void)
{
    const char *list = getenv("FAULT");
    while (list && *list && nrules < (int)(sizeof rules / sizeof rules[0])) {
        size_t len = strcspn(list, ",");
        if (parse_rule(list, len, &rules[nrules]))
            nrules++;
        list += len;
        if (*list == ',')
            list++;
    }
    unsetenv("FAULT");
    unsetenv("LD_PRELOAD");
    armed = 1;
}

/* The next definition of `name` after this library's. */
static void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

/* Declares real_NAME, the definition this library's NAME stands in front of. */
#define REAL(name) \
    static __typeof__(&name) real_##name; \
    if (!real_##name) \
        real_##name = (__typeof__(&name))next(#name)

pid_t fork(void)
{
    REAL(fork);
    return failing(CALL_fork) ? -1 : real_fork();
}

pid_t vfork(void)
{
    REAL(fork);
    return failing(CALL_vfork) ? -1 : real_fork();
}

int pipe(int fds[2])
{
    REAL(pipe);
    return failing(CALL_pipe) ? -1 : real_pipe(fds);
}

int pipe2(int fds[2], int flags)
{
    REAL(pipe2);
    return failing(CALL_pipe) ? -1 : real_pipe2(fds, flags);
}

int dup2(int from, int to)
{
    REAL(dup2);
    return failing(CALL_dup2) ? -1 : real_dup2(from, to);
}

static mode_t open_mode(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
}

int open(const char *path, int flags, ...)
{
    REAL(open);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return failing_on(CALL_open, path) ? -1 : real_open(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    REAL(open64);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return failing_on(CALL_open, path) ? -1 : real_open64(path, flags, mode);
}
/* What a fortified build calls for an open whose flags are not constant. */
int __open_2(const char *path, int flags) { return open(path, flags); }
int __open64_2(const char *path, int flags) { return open64(path, flags); }

int close(int fd)
{
    REAL(close);
    if (!failing(CALL_close))
        return real_close(fd);
    /* Only a descriptor that was not open stays as it was. */
    int err = errno;
    if (err != EBADF)
        (void)real_close(fd);
    errno = err;
    return -1;
}

ssize_t read(int fd, void *buf, size_t len)
{
    REAL(read);
    return failing(CALL_read) ? -1 : real_read(fd, buf, len);
}

ssize_t write(int fd, const void *buf, size_t len)
{
    REAL(write);
    return failing(CALL_write) ? -1 : real_write(fd, buf, len);
}

/*
 * The allocator's own entry points are asked for the memory when the next
 * allocator is not known yet: looking it up may allocate.
 */
extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);

void *malloc(size_t size)
{
    static void *(*real_malloc)(size_t);
    static int looking;
    if (!real_malloc) {
        if (looking)
            return __libc_malloc(size);
        looking = 1;
        real_malloc = (void *(*)(size_t))next("malloc");
        looking = 0;
    }
    return failing(CALL_malloc) ? NULL : real_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    static void *(*real_calloc)(size_t, size_t);
    static int looking;
    if (!real_calloc) {
        if (looking)
            return __libc_calloc(count, size);
        looking = 1;
        real_calloc = (void *(*)(size_t, size_t))next("calloc");
        looking = 0;
    }
    return failing(CALL_calloc) ? NULL : real_calloc(count, size);
}

void *realloc(void *block, size_t size)
{
    REAL(realloc);
    return failing(CALL_realloc) ? NULL : real_realloc(block, size);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    REAL(mmap);
    return failing(CALL_mmap) ? MAP_FAILED : real_mmap(addr, len, prot, flags, fd, offset);
}

#if defined(__i386__)
void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t offset)
{
    REAL(mmap64);
    return failing(CALL_mmap) ? MAP_FAILED : real_mmap64(addr, len, prot, flags, fd, offset);
}
#endif

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    REAL(sigaction);
    return failing(CALL_sigaction) ? -1 : real_sigaction(sig, act, old);
}

int sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
    REAL(sigprocmask);
    return failing(CALL_sigprocmask) ? -1 : real_sigprocmask(how, set, old);
}

int setitimer(__itimer_which_t which, const struct itimerval *value, struct itimerval *old)
{
    REAL(setitimer);
    return failing(CALL_setitimer) ? -1 : real_setitimer(which, value, old);
}

int tcgetattr(int fd, struct termios *attr)
{
    REAL(tcgetattr);
    return failing(CALL_tcgetattr) ? -1 : real_tcgetattr(fd, attr);
}

int tcsetattr(int fd, int when, const struct termios *attr)
{
    REAL(tcsetattr);
    return failing(CALL_tcsetattr) ? -1 : real_tcsetattr(fd, when, attr);
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    REAL(waitpid);
    return failing_on(CALL_waitpid, pid > 0 ? "pid" : "any") ? -1 : real_waitpid(pid, status, options);
}

pid_t wait(int *status)
{
    REAL(wait);
    return failing(CALL_wait) ? -1 : real_wait(status);
}

int kill(pid_t pid, int sig)
{
    REAL(kill);
    const char *name = sigabbrev_np(sig);  /* "STOP": kill(STOP):1 is the first SIGSTOP sent */
    return failing_on(CALL_kill, name) ? -1 : real_kill(pid, sig);
}
