// binview: writes every byte of standard input as eight binary digits and a
// blank; on a terminal, every keystroke the moment it is typed.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

int set_action(int sig, void (*handler)(int))
{
    struct sigaction sa{};
    sa.sa_handler = handler;
    // No handler may run inside another: one of them could otherwise put
    // the changed settings back after another has restored the terminal.
    sa.sa_mask = ending;
    sigaddset(&sa.sa_mask, SIGTSTP);
    sigaddset(&sa.sa_mask, SIGCONT);
    // A key read interrupted by suspend and continue simply goes on.
    sa.sa_flags = SA_RESTART;
    return sigaction(sig, &sa, nullptr);
}

// A signal the program was started with ignored (nohup, a background job
// of a shell without job control) stays ignored: catching it would let it
// end the program after all.
int catch_signal(int sig, void (*handler)(int))
{
    struct sigaction old{};
    if (sigaction(sig, nullptr, &old) != 0)
        return -1;
    return old.sa_handler == SIG_IGN ? 0 : set_action(sig, handler);
}

// Blocks or unblocks the one signal `sig`.
void mask_one(int how, int sig)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    (void)sigprocmask(how, &set, nullptr);  // cannot fail with a valid set
}

// Restores the terminal, then lets the signal take its default action, so
// the program still dies (or stops) by it. Only async-signal-safe calls.
void restore_and_raise(int sig)
{
    // Nothing better can be done about a failure while the program ends.
    (void)tcsetattr(kInfd, TCSANOW, &origattr);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(sig, &dfl, nullptr);
    (void)raise(sig);
    mask_one(SIG_UNBLOCK, sig);  // the pending signal takes effect here
}

// The suspend key: restore the terminal, stop, and after being continued
// work in the changed settings again.
void suspend(int)
{
    int saved = errno;
    restore_and_raise(SIGTSTP);  // stopped in there until continued
    mask_one(SIG_BLOCK, SIGTSTP);
    (void)set_action(SIGTSTP, suspend);
    // The kernel drops the stop when no shell could continue the program
    // (its process group is orphaned); no SIGCONT follows then, so the
    // changed settings are put back here as well.
    (void)tcsetattr(kInfd, TCSANOW, &newattr);
    errno = saved;
}

// After any stop, including one this program could not see coming.
void resume(int)
{
    int saved = errno;
    (void)tcsetattr(kInfd, TCSANOW, &newattr);
    errno = saved;
}

// Writes the byte's eight digits, most significant first, and a blank;
// false (with errno set) when the output fails.
bool put_group(int ch)
{
    for (int i = 7; i >= 0; --i) {
        char bit = (ch >> i) & 1;
        if (putchar(bit ? '1' : '0') == EOF)
            return false;
    }
    return putchar(' ') != EOF;
}

}  // namespace

int main()
{
    int infd = kInfd;

    if (isatty(infd)) {
        if (tcgetattr(infd, &origattr) != 0)
            die("tcgetattr");
        newattr = origattr;
        // ISIG stays on: the interrupt and quit keys keep working.
        newattr.c_lflag &= ~kCookedFlags;
        newattr.c_cc[VMIN] = 1;
        newattr.c_cc[VTIME] = 0;
        // Installed first, so that no key can end or stop the program while
        // the terminal is changed and not yet guarded.
        sigemptyset(&ending);
        for (int sig : kEndingSignals)
            sigaddset(&ending, sig);
        for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
            sigaddset(&ending, sig);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sigismember(&ending, sig) == 1 && catch_signal(sig, restore_and_raise) != 0)
                die("sigaction");
        if (catch_signal(SIGTSTP, suspend) != 0 || catch_signal(SIGCONT, resume) != 0)
            die("sigaction");
        if (tcsetattr(infd, TCSANOW, &newattr) != 0)
            die("tcsetattr");
    }

    setbuf(stdout, nullptr);

    int status = 0;
    int ch;
    while ((ch = getchar()) != EOF) {
        if (!put_group(ch)) {
            // Output that cannot be written is not reported as success.
            perror("putchar");
            status = 1;
            break;
        }
    }

    if (isatty(infd)) {
        // A late continue must not put the changed settings back.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTSTP);
        sigaddset(&set, SIGCONT);
        (void)sigprocmask(SIG_BLOCK, &set, nullptr);
        if (tcsetattr(infd, TCSANOW, &origattr) != 0)
            die("tcsetattr");
    }
    return status;
}
