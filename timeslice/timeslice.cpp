// SPDX-License-Identifier: ISC
// How timeslice shares the processor: every command gets a child that waits,
// stopped, before it runs anything; then the children get the processor in
// turns, a timer marking the end of each, until the last has been reaped.
// Also the two trace printers. main() is in main.cpp.
#include <signal.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "timeslice.h"

static_assert(sizeof(int) == 4 && sizeof(pid_t) == 4, "ids and counts are 32-bit");

namespace {

// One exit status per failure site (1 and 2 belong to the command line).
constexpr int kNoMemory = 3;
constexpr int kForkFailed = 4;
constexpr int kWaitFailed = 5;
constexpr int kPuzzled = 6;
constexpr int kSignalSetup = 7;
constexpr int kTimer = 8;
constexpr int kNotStopped = 10;

// What a slice's wait ended on.
enum class slice_event { child_changed, expired, ending_signal };

// What a stop found: the child held, or already ended (and now reaped).
enum class stop_outcome { stopped, ended };

// The signal that asked the scheduler to end, 0 if none.
volatile sig_atomic_t ending_signal = 0;

// The signal mask the scheduler was started with: its children get it back.
sigset_t inherited_mask;

// The signals that end the scheduler after it has handed its children back:
// those that would end it by default, less any it was started to ignore or
// to block.
sigset_t ending_signals;

// The mask while the scheduler sleeps between slice events: the inherited one
// with the timer's signal, SIGCHLD and the ending signals let in.
sigset_t sleep_mask;

// The table, from before the first launch, for the ways out that must not
// leave a child behind stopped.
proc_table *children = nullptr;

// How many entries, from the first, have been continued at least once and so
// are running their commands. Turns go round the table in its order, so
// these are always its front; the entries after them have never run.
int started = 0;

// Whether TIMESLICE_TRACE asked for every decision and wait result.
bool tracing = false;

// Ends the scheduler on a failure. Left stopped, a child would wait for good
// for a SIGCONT that nobody sends; so one whose command is under way is
// continued and left to finish its work, and one that has never run anything
// is killed, which loses nothing.
[[noreturn]] void fail(int status)
{
    for (int i = 0; children != nullptr && i < children->count; ++i)
        (void)kill(children->pids[i], i < started ? SIGCONT : SIGKILL);
    exit(status);
}

[[noreturn]] void die(const char *context, int status)
{
    perror(context);
    fail(status);
}

// Its delivery is what ends the sleep when a slice runs out.
void quantum_alarm(int)
{
}

// Present only so that a child's change of state wakes the scheduler.
void child_changed(int)
{
}

void record_ending(int signum)
{
    ending_signal = signum;
}

void set_action(int signum, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(signum, &action, nullptr) == -1)
        die("sigaction", kSignalSetup);
}

// Every signal whose default action ends the process and that may come from
// outside at any moment. The timer's own signal is not one: an expiry that
// nobody armed is taken by its handler and ends nothing. Nor are the fault
// signals, which come from a fault of the scheduler itself.
sigset_t ending_candidates()
{
    sigset_t set;
    sigemptyset(&set);
    constexpr int kNamed[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM,   SIGUSR1, SIGUSR2, SIGPIPE,
                              SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};
    for (int signum : kNamed)
        sigaddset(&set, signum);
    for (int signum = SIGRTMIN; signum <= SIGRTMAX; ++signum)
        sigaddset(&set, signum);
    return set;
}

// The handler of an ending signal is installed only once every child has
// been forked, so that the children keep every action they inherited.
void catch_signals()
{
    set_action(SIGCHLD, child_changed);  // whatever was inherited: no child reaped behind our back
    for (int signum = 1; signum < NSIG; ++signum)
        if (sigismember(&ending_signals, signum) == 1)
            set_action(signum, record_ending);
}

// Takes SIGCHLD or an ending signal if one comes within `ns` nanoseconds,
// and returns it; 0 when none did. A SIGCHLD taken here loses nothing: the
// waits that follow look at every child before they sleep.
int take_signal_within(long ns)
{
    sigset_t wanted = ending_signals;
    sigaddset(&wanted, SIGCHLD);
    const timespec limit{0, ns};
    int signum = sigtimedwait(&wanted, nullptr, &limit);
    return signum > 0 ? signum : 0;
}

// An ending signal that came while the children were being launched, taken;
// 0 if none did. Until the slices begin they wait blocked. `info`, if given,
// says where it came from.
int take_ending_signal(siginfo_t *info = nullptr)
{
    const timespec now{0, 0};
    int signum = sigtimedwait(&ending_signals, info, &now);
    return signum > 0 ? signum : 0;
}

// The scheduler has been told to end: every child still in the table is
// continued, so that none is left stopped with nobody to wake it, and then the
// signal is delivered again under its default action so that whoever sent it
// sees the scheduler end by it.
[[noreturn]] void hand_back_and_end(int signum)
{
    for (int i = 0; i < children->count; ++i)
        (void)kill(children->pids[i], SIGCONT);  // one that has just ended needs nothing
    set_action(signum, SIG_DFL);
    (void)raise(signum);  // stays pending while blocked, if it is not already
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signum);
    if (sigprocmask(SIG_UNBLOCK, &just_this, nullptr) == -1)
        die("sigprocmask", kSignalSetup);
    _exit(128 + signum);  // not reached: the default action has ended the process
}

void trace_status(pid_t pid, int status)
{
    if (tracing)
        print_status(pid, status);
}

void say_interrupted()
{
    fprintf(stderr, "wait() was interrupted\n");
}

// A wait cut short by an expiry or an ending signal: no call failed, but the
// trace shows it as the interrupted wait it stands for.
void trace_interrupted_wait()
{
    if (tracing)
        say_interrupted();
}

int index_of(const proc_table *pt, pid_t pid)
{
    for (int i = 0; i < pt->count; ++i)
        if (pt->pids[i] == pid)
            return i;
    return -1;
}

// schedule_next, shown when tracing with `why` as its tag. A removal from the
// front of the table leaves one child fewer there that has started.
int next_turn(const char *why, int old, proc_table *pt, pid_t remove)
{
    if (remove != 0) {
        int at = index_of(pt, remove);
        if (at >= 0 && at < started)
            --started;
    }
    int next = schedule_next(old, pt, remove);
    if (tracing)
        schedule_log(why, old, next, pt, remove);
    return next;
}

pid_t launch_stopped(char **argv)
{
    // Nothing of ours is buffered, but a child that fails ends with exit(),
    // which must not write anything of the scheduler's a second time.
    (void)fflush(nullptr);
    pid_t pid = fork();
    if (pid == -1)
        die("fork", kForkFailed);
    if (pid == 0) {
        // The command must not inherit the scheduler's blocked signals.
        (void)sigprocmask(SIG_SETMASK, &inherited_mask, nullptr);  // cannot fail
        (void)raise(SIGSTOP);
        if (argv[0] == nullptr) {
            fprintf(stderr, "%s: empty command\n", "launch_stopped");
            exit(-1);
        }
        execvp(argv[0], argv);
        perror(argv[0]);
        exit(-1);
    }
    int status = 0;
    pid_t got;
    // Job control may continue it (Ctrl-Z, then fg) before its stop has
    // been seen, and that stop is then never reported: it is stopped again.
    while ((got = waitpid(pid, &status, WUNTRACED | WCONTINUED)) == pid && WIFCONTINUED(status))
        (void)kill(pid, SIGSTOP);
    if (got == pid && WIFSTOPPED(status))
        return pid;
    // Not in the table yet, so nothing else would end it.
    if (got != pid)
        (void)kill(pid, SIGKILL);
    // An interrupt from the terminal reaches the whole group, and may end the
    // child before it has stopped: that is no fault of the child's.
    if (int signum = take_ending_signal(); signum != 0)
        hand_back_and_end(signum);
    fprintf(stderr, "%s: child failed to stop\n", "launch_stopped");
    fail(kNotStopped);
}

void continue_process(pid_t pid)
{
    (void)kill(pid, SIGCONT);  // a child that has gone shows up in the wait
}

// Stops a running child and waits until the stop shows. A child may end on
// its own just before the stop signal reaches it; then this wait reaps it,
// and the caller takes it out of the table. An ending signal does not wait
// for the stop: handing the children back continues this one anyway.
stop_outcome stop_process(pid_t pid)
{
    if (kill(pid, SIGSTOP) == -1) {
        if (errno == ESRCH)
            return stop_outcome::stopped;  // no such process: nothing left to stop
        // Refused, for one that now runs as another user: it runs on.
        fprintf(stderr, "%s: process %d failed to stop\n", "stop_process", pid);
        fail(kNotStopped);
    }
    // The kernel drops a stop signal that reaches a process in the middle of
    // an exec while its other threads are being ended, and the child would
    // run on with the scheduler waiting for good. So it is sent again while
    // the child has not stopped; one sent to a stopped child is discarded by
    // the SIGCONT of its next turn.
    constexpr long kRestopNs = 10'000'000;
    int status = 0;
    pid_t got = 0;
    while ((got = waitpid(pid, &status, WUNTRACED | WNOHANG)) == 0) {
        int signum = take_signal_within(kRestopNs);
        if (signum == 0)
            (void)kill(pid, SIGSTOP);
        else if (signum != SIGCHLD)
            hand_back_and_end(signum);
    }
    trace_status(got, status);
    if (got == pid && WIFSTOPPED(status))
        return stop_outcome::stopped;
    if (got == pid && (WIFEXITED(status) || WIFSIGNALED(status)))
        return stop_outcome::ended;
    fprintf(stderr, "%s: process %d failed to stop\n", "stop_process", pid);
    fail(kNotStopped);
}

void arm_timer(int quantum)
{
    set_action(SIGALRM, quantum_alarm);
    struct itimerval slice {};
    slice.it_value.tv_sec = quantum / 1000;
    slice.it_value.tv_usec = (quantum % 1000) * 1000;
    if (setitimer(ITIMER_REAL, &slice, nullptr) == -1)
        die("setitimer", kTimer);
}

// The timer is stopped first, so no expiry can follow; one that came just
// before is still pending (the signal is blocked) and is taken by the harmless
// handler before the default action, which would end the scheduler, returns.
void disarm_timer()
{
    struct itimerval off {};
    if (setitimer(ITIMER_REAL, &off, nullptr) == -1)
        die("setitimer", kTimer);

    sigset_t pending;
    if (sigpending(&pending) == -1)
        die("sigpending", kSignalSetup);
    if (sigismember(&pending, SIGALRM)) {
        sigset_t alarm_only;
        sigemptyset(&alarm_only);
        sigaddset(&alarm_only, SIGALRM);
        if (sigprocmask(SIG_UNBLOCK, &alarm_only, nullptr) == -1 ||
            sigprocmask(SIG_BLOCK, &alarm_only, nullptr) == -1)
            die("sigprocmask", kSignalSetup);
    }
    set_action(SIGALRM, SIG_DFL);
}

// Whether the slice's one-shot timer has run out: its remaining time reads 0
// from the moment it fires, whether or not its signal has been taken yet.
bool slice_expired()
{
    struct itimerval left {};
    if (getitimer(ITIMER_REAL, &left) == -1)
        die("getitimer", kTimer);
    return left.it_value.tv_sec == 0 && left.it_value.tv_usec == 0;
}

// Waits for one of the table's children to end, stop or be continued by
// someone else, for the slice's timer to expire or for an ending signal. The
// state is looked at with the signals blocked and the sleep lets them in, so
// an expiry can never fall between the look and the sleep and be lost while
// a child runs on past its quantum. A child the scheduler did not start
// (inherited across the exec that started it) may end or stop too: that
// changes no turn, so the holder runs on.
slice_event wait_slice(const proc_table *pt, pid_t holder, pid_t *pid, int *status)
{
    for (;;) {
        *pid = waitpid(-1, status, WUNTRACED | WCONTINUED | WNOHANG);
        if (*pid == -1)
            die("waitpid()", kWaitFailed);
        // The holder's continue is the scheduler's own, at the start of the
        // slice.
        if (*pid == holder && WIFCONTINUED(*status))
            continue;
        if (*pid != 0) {
            trace_status(*pid, *status);
            if (index_of(pt, *pid) >= 0)
                return slice_event::child_changed;
            continue;
        }
        if (ending_signal != 0 || slice_expired()) {
            trace_interrupted_wait();
            return ending_signal != 0 ? slice_event::ending_signal : slice_event::expired;
        }
        sigsuspend(&sleep_mask);  // returns once a handler has run
    }
}

// The stop found the holder already dead (and collected it). It is dropped
// just as if its end had woken the scheduler during the slice, so the turn
// goes to whoever came after it.
int pass_turn(proc_table *pt, pid_t holder)
{
    return next_turn("exited", index_of(pt, holder), pt, holder);
}

// A child other than the holder was continued by someone else, as every one
// is when job control continues the whole group after a stop: it is held
// again, or taken out if it has ended meanwhile. The holder keeps its turn;
// returns its index.
int hold_again(proc_table *pt, pid_t holder, pid_t pid)
{
    if (stop_process(pid) == stop_outcome::ended)
        (void)next_turn("exited", index_of(pt, holder), pt, pid);
    return index_of(pt, holder);
}

// Job control may continue the whole group while the launch goes on (Ctrl-Z,
// then fg): the children launched so far would all run their commands at
// once until the slices begin. Each one continued is held again, or taken
// out if it has ended meanwhile. An inherited child's news changes nothing.
void hold_launched(proc_table *pt)
{
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WCONTINUED | WNOHANG)) != 0) {
        if (pid == -1)
            die("waitpid()", kWaitFailed);
        trace_status(pid, status);
        if (index_of(pt, pid) >= 0 &&
            (!WIFCONTINUED(status) || stop_process(pid) == stop_outcome::ended))
            (void)next_turn("exited", 0, pt, pid);
    }
}

}  // namespace

void block_signals()
{
    sigset_t held = ending_candidates();
    sigaddset(&held, SIGALRM);
    sigaddset(&held, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &held, &inherited_mask) == -1)
        die("sigprocmask", kSignalSetup);
    sleep_mask = inherited_mask;
    sigdelset(&sleep_mask, SIGALRM);
    sigdelset(&sleep_mask, SIGCHLD);

    sigemptyset(&ending_signals);
    sigset_t candidates = ending_candidates();
    for (int signum = 1; signum < NSIG; ++signum) {
        if (sigismember(&candidates, signum) != 1 || sigismember(&inherited_mask, signum) == 1)
            continue;
        struct sigaction was {};
        if (sigaction(signum, nullptr, &was) == -1)
            die("sigaction", kSignalSetup);
        if (was.sa_handler != SIG_IGN) {
            sigaddset(&ending_signals, signum);
            sigdelset(&sleep_mask, signum);
        }
    }
}

void release_signals()
{
    for (int signum = 1; signum < NSIG; ++signum)
        if (sigismember(&ending_signals, signum) == 1)
            set_action(signum, SIG_DFL);
    if (sigprocmask(SIG_UNBLOCK, &ending_signals, nullptr) == -1)
        die("sigprocmask", kSignalSetup);
}

proc_table *make_proc_table(char **argv)
{
    // Without a table nothing can be launched: a failure, not an empty run.
    auto *pt = static_cast<proc_table *>(malloc(sizeof(proc_table)));
    if (pt == nullptr)
        die("malloc", kNoMemory);

    size_t separators = 0;
    for (char **arg = argv + 2; *arg != nullptr; ++arg)
        if (strcmp(*arg, ":") == 0)
            ++separators;
    pt->pids = static_cast<pid_t *>(malloc((separators + 1) * sizeof(pid_t)));
    if (pt->pids == nullptr)
        die("malloc", kNoMemory);

    pt->count = 0;
    children = pt;
    char **cursor = argv + 2;
    while (*cursor != nullptr) {
        char **segment = cursor;
        while (*cursor != nullptr && strcmp(*cursor, ":") != 0)
            ++cursor;
        if (*cursor != nullptr)
            *cursor++ = nullptr;
        pid_t pid = launch_stopped(segment);  // counted once it is known stopped
        pt->pids[pt->count++] = pid;
        hold_launched(pt);
        // Rather than launch a long command line in full first.
        siginfo_t info{};
        if (int signum = take_ending_signal(&info); signum != 0) {
            // The terminal's interrupt, quit or hang-up went to the whole
            // job, but not to a child forked after it was sent, which would
            // run its command on once handed back: it gets it now.
            if (info.si_code == SI_KERNEL && (signum == SIGINT || signum == SIGQUIT || signum == SIGHUP))
                for (int i = 0; i < pt->count; ++i)
                    (void)kill(pt->pids[i], signum);
            hand_back_and_end(signum);
        }
    }
    return pt;
}

void run_procs(proc_table *pt, int quantum)
{
    if (pt == nullptr || pt->count == 0)
        return;
    const char *trace = getenv("TIMESLICE_TRACE");
    tracing = trace != nullptr && *trace != '\0';
    catch_signals();

    int old = 0;
    while (pt->count != 0) {
        pid_t holder = pt->pids[old];
        // The timer first: a child just continued may take the processor
        // from the scheduler at once, and its slice would run long by as
        // long as the scheduler then waits to get it back.
        arm_timer(quantum);
        continue_process(holder);
        if (old >= started)
            started = old + 1;
        pid_t pid = 0;
        int status = 0;
        slice_event event = wait_slice(pt, holder, &pid, &status);
        disarm_timer();

        if (event == slice_event::ending_signal) {
            hand_back_and_end(ending_signal);
        } else if (event == slice_event::expired) {
            if (stop_process(holder) == stop_outcome::ended)
                old = pass_turn(pt, holder);
            else
                old = next_turn("expired", old, pt, 0);
        } else if (WIFEXITED(status) || WIFSIGNALED(status)) {
            // Whoever ended, the turn moves on now; a holder that is still
            // running is stopped first, and may turn out to have ended too.
            bool holder_ended = pid != holder && stop_process(holder) == stop_outcome::ended;
            old = next_turn("exited", old, pt, pid);
            if (holder_ended)
                old = pass_turn(pt, holder);
        } else if (WIFSTOPPED(status)) {
            // Stopped from outside: its turn is over, and nobody else is touched.
            old = next_turn("stopped", old, pt, 0);
        } else if (WIFCONTINUED(status)) {
            // Most often job control has stopped and continued the whole
            // group, and the holder lost the rest of its slice while
            // stopped: it starts a whole one afresh.
            old = hold_again(pt, holder, pid);
        } else {
            fprintf(stderr, "%s: process status (0x%08x) neither exited or stopped.  That's puzzling\n",
                    "run_procs", static_cast<unsigned>(status));
            fail(kPuzzled);
        }
        // One that came while the wait was reaping a child has only been
        // recorded so far.
        if (ending_signal != 0)
            hand_back_and_end(ending_signal);
    }
}

int schedule_next(int old, proc_table *pt, pid_t remove)
{
    if (remove != 0) {
        int i = 0;
        while (i < pt->count && pt->pids[i] != remove)
            ++i;
        // An id the table does not hold, such as a child the scheduler did
        // not start, must not cost a real entry its place.
        if (i < pt->count) {
            --pt->count;
            for (int j = i; j < pt->count; ++j)
                pt->pids[j] = pt->pids[j + 1];
            if (pt->count == 0)
                return 0;
            // The entries from i on have moved down a place, so when i <= old
            // the one that came after the current entry now sits at old.
            return old < i ? (old + 1) % pt->count : old % pt->count;
        }
    }
    return (old + 1) % pt->count;
}

void schedule_log(const char *str, int old, int next, const proc_table *pt, pid_t remove)
{
    fprintf(stderr, "%s: %s: old=%d, new = %d, remove=%d, pt->count=%d, pt: [", "schedule_log", str, old,
            next, remove, pt->count);
    for (int i = 0; i < pt->count; ++i)
        fprintf(stderr, "%d%s", pt->pids[i], i + 1 < pt->count ? ", " : "");
    fprintf(stderr, " ]\n");
}

void print_status(pid_t pid, int status)
{
    if (pid == -1) {
        if (errno == EINTR)
            say_interrupted();
        else
            perror("wait()");
    } else if (WIFEXITED(status)) {
        fprintf(stderr, "pid %d exited\n", pid);
    } else if (WIFSIGNALED(status)) {
        fprintf(stderr, "pid %d signalled\n", pid);
    } else if (WIFSTOPPED(status)) {
        fprintf(stderr, "pid %d stopped\n", pid);
    } else {
        fprintf(stderr, "pid %d did something...\n", pid);
    }
}
