// SPDX-License-Identifier: ISC
// binview: the bits of each input byte, as eight digits and a blank; at a
// keyboard, shown for each key as it is pressed.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kInfd = 0;
constexpr tcflag_t kCookedFlags = ICANON | ECHO;

// Signals whose default action ends the program, with or without a core
// dump: the terminal must be handed back as the user had it before they take
// effect. The real-time signals end it too; they are added at run time.
constexpr int kEndingSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGSYS,
    SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP,
};

// The settings found at start and the ones the program works in, and the
// set of ending signals. Written before any handler that reads them is
// installed.
termios origattr;
termios newattr;
sigset_t ending;

[[noreturn]] void die(const char *context)
{
    perror(context);
    exit(1);
}

// A handler runs with the suspend and continue signals held, so that none
// of the three that change the settings runs inside another and undoes its
// work. The ending signals are held too while one of them is handled; they
// may cut into suspend or resume, since their handler never returns.
int set_action(int sig, void (*handler)(int), bool ending_too)
{
    struct sigaction sa{};
    sa.sa_handler = handler;
    if (ending_too)
        sa.sa_mask = ending;
    else
        sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGTSTP);
    sigaddset(&sa.sa_mask, SIGCONT);
    // A key read interrupted by suspend and continue simply goes on.
    sa.sa_flags = SA_RESTART;
    return sigaction(sig, &sa, nullptr);
}

// A signal the program was started with ignored (nohup, a background job
// of a shell without job control) stays ignored: catching it would let it
// end the program after all.
int catch_signal(int sig, void (*handler)(int), bool ending_too)
{
    struct sigaction old{};
    if (sigaction(sig, nullptr, &old) != 0)
        return -1;
    return old.sa_handler == SIG_IGN ? 0 : set_action(sig, handler, ending_too);
}

// Blocks or unblocks the one signal `sig`, keeping the mask before in
// `old` if asked.
void mask_one(int how, int sig, sigset_t *old = nullptr)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    (void)sigprocmask(how, &set, old);  // cannot fail with a valid set
}

// Whether `now` are the settings this program works in.
bool in_force(const termios &now)
{
    return now.c_iflag == newattr.c_iflag && now.c_oflag == newattr.c_oflag &&
           now.c_cflag == newattr.c_cflag && now.c_lflag == newattr.c_lflag &&
           memcmp(now.c_cc, newattr.c_cc, sizeof now.c_cc) == 0;
}

// Hands the terminal back as it was found, but only while the program's own
// settings are on it: once the program has been stopped or sent to the
// background, the settings there belong to the shell or to whichever job is
// in the foreground. Changing them from the background would stop the
// program with SIGTTOU unless that is held, so it is held for the call.
// Only async-signal-safe calls; 0, or -1 with errno from tcsetattr.
int put_back()
{
    termios now;
    if (tcgetattr(kInfd, &now) != 0 || !in_force(now))
        return 0;  // a terminal that is gone has nothing to put back
    sigset_t old;
    mask_one(SIG_BLOCK, SIGTTOU, &old);
    int r = tcsetattr(kInfd, TCSANOW, &origattr);
    int saved = errno;
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return r;
}

// The program's settings go back on only in the foreground. From the
// background they would take the terminal from the job that has it (and
// the kernel would stop the program for trying); the shell continues the
// program again when it brings it back to the foreground.
void resume_settings()
{
    if (tcgetpgrp(kInfd) == getpgrp())
        (void)tcsetattr(kInfd, TCSANOW, &newattr);
}

// Lets `sig` take its default action, from inside its handler.
void act_by_default(int sig)
{
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(sig, &dfl, nullptr);
    (void)raise(sig);
    mask_one(SIG_UNBLOCK, sig);  // the pending signal takes effect here
}

// An ending signal: the terminal handed back, then the program dies by the
// same signal, so whoever waits for it learns what ended it.
void end_by(int sig)
{
    (void)put_back();  // nothing better can be done about a failure now
    act_by_default(sig);
}

// The suspend key: hand the terminal back, stop, and after being continued
// work in the changed settings again.
void suspend(int)
{
    int saved = errno;
    (void)put_back();
    act_by_default(SIGTSTP);  // stopped in there until continued
    mask_one(SIG_BLOCK, SIGTSTP);
    (void)set_action(SIGTSTP, suspend, false);
    // The kernel drops the stop when no shell could continue the program
    // (its process group is orphaned); no SIGCONT follows then, so the
    // changed settings are put back here as well.
    resume_settings();
    errno = saved;
}

// After any stop, including one this program could not see coming.
void resume(int)
{
    int saved = errno;
    resume_settings();
    errno = saved;
}

// Writes the byte's eight digits, most significant first, and a blank;
// false (with errno set) when the output fails.
bool put_group(int ch)
{
    for (int i = 7; i >= 0; --i) {
        const int bit = (ch >> i) & 1;
        if (putchar(bit ? '1' : '0') == EOF)
            return false;
    }
    return putchar(' ') != EOF;
}

// Catches every signal that would end or stop the program, so that the
// terminal is handed back first.
void guard()
{
    sigemptyset(&ending);
    for (int sig : kEndingSignals)
        sigaddset(&ending, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&ending, sig);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&ending, sig) == 1 && catch_signal(sig, end_by, true) != 0)
            die("sigaction");
    if (catch_signal(SIGTSTP, suspend, false) != 0 || catch_signal(SIGCONT, resume, false) != 0)
        die("sigaction");
}

// Puts the terminal in the program's settings, guarded first, so that no
// key can end or stop the program while the terminal is changed and not
// yet guarded.
void take_terminal()
{
    if (tcgetattr(kInfd, &origattr) != 0)
        die("tcgetattr");
    newattr = origattr;
    // ISIG stays on: the interrupt and quit keys keep working.
    newattr.c_lflag &= ~kCookedFlags;
    newattr.c_cc[VMIN] = 1;
    newattr.c_cc[VTIME] = 0;
    guard();
    if (tcsetattr(kInfd, TCSANOW, &newattr) != 0)
        die("tcsetattr");
}

// Hands the terminal back for good: a late continue must not put the changed
// settings back.
void give_back_terminal()
{
    mask_one(SIG_BLOCK, SIGTSTP);
    mask_one(SIG_BLOCK, SIGCONT);
    if (put_back() != 0)
        die("tcsetattr");
}

}  // namespace

int main()
{
    const bool on_terminal = isatty(kInfd);
    if (on_terminal)
        take_terminal();
    setbuf(stdout, nullptr);
    int status = 0;
    int ch;
    while (status == 0 && (ch = getchar()) != EOF) {
        if (!put_group(ch)) {
            // Output that cannot be written is not reported as success.
            perror("putchar");
            status = 1;
        }
    }
    // errno is the read's only when the stream says it failed.
    const bool read_failed = status == 0 && ferror(stdin);
    const int read_errno = errno;
    if (on_terminal)
        give_back_terminal();
    // A terminal whose other side has closed fails the read with EIO: that
    // is the end of its input. Any other failed read is not.
    if (read_failed && !(on_terminal && read_errno == EIO)) {
        errno = read_errno;
        die("stdin");
    }
    return status;
}
