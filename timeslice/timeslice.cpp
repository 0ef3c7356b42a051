// SPDX-License-Identifier: ISC
// How timeslice shares the processor: every command gets a child that waits
// before it runs anything; then the children get the processor in turns, a
// timer marking the end of each, until the last has been reaped. Also the two
// trace printers. main() is in main.cpp.
#include <sched.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
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

// A stop that has not shown after this long is sent again: the kernel drops
// a stop signal that reaches a process in the middle of an exec while its
// other threads are being ended, and the child would run on with the
// scheduler waiting for good.
constexpr timespec kRestop{0, 10'000'000};

// How long the scheduler waits for a stop to show with the processor kept,
// before it sleeps. A stop shows within microseconds, sooner than a sleeping
// scheduler would wake to see it; yielding the processor meanwhile lets the
// child take the stop where the two share one. In timeslice_bench this
// halves the median handoff from one child to the next with the scheduler on
// a processor of its own (65 to 31 us), and shortens it by 10 to 54 % with
// the scheduler on the children's processor.
constexpr long long kStopSpinNs = 100'000;

// What one of the scheduler's waits found.
struct report {
    pid_t pid;
    int status;
};

// What a stop found: the child held, or already ended (and now reaped).
enum class stop_outcome { stopped, ended };

// How the wait for the end of a turn came to an end: the turn's time ran
// out; a child of the table ended, or the holder was stopped by someone
// else; or job control stopped and continued the job, and the holder starts
// its turn afresh.
enum class turn_end { expired, changed, restart };

// Everything the scheduler knows between its calls.
struct scheduler {
    proc_table *table = nullptr;  // from before the first launch, for the ways out
    // How many entries, from the first, have had their first turn. Turns go
    // round the table in its order, so these are always its front; the
    // entries after them wait before their commands.
    int started = 0;
    pid_t holder = 0;  // whose turn it is; 0 until the first
    // Children sent a stop that has not shown yet, `stopping` of them.
    pid_t *stops = nullptr;
    int stopping = 0;
    // What the commands get back: the mask and the SIGCHLD action the
    // scheduler was started with.
    sigset_t inherited_mask;
    struct sigaction inherited_child_action;
    // The signals that end the scheduler: those that would end it by default,
    // less any it was started to ignore or to block.
    sigset_t ending_signals;
    // What the scheduler's waits take: the ending signals, the timer's and
    // SIGCHLD. All of them stay blocked for its whole life.
    sigset_t wanted;
    // The terminal's interrupt, quit or hang-up, to end by once the last
    // child has ended; 0 if none came.
    int terminal_signal = 0;
    bool expired = false;  // the turn's timer has run out
    bool tracing = false;  // TIMESLICE_TRACE asked for every decision and wait result
};

scheduler state;

// A child waits before its command until the scheduler gives it its first
// turn, and a continue cannot tell it so: job control's SIGCONT (after
// Ctrl-Z, then fg or bg) reaches every child of the job. This signal, sent by
// the scheduler alone and held blocked by the child until it comes, does.
// Being queued rather than merged with another of its kind, it is never lost.
int go_signal()
{
    return SIGRTMIN;
}

// Left stopped, a child would wait for good for a SIGCONT that nobody sends;
// so one whose command is under way is continued and left to finish its
// work, and one that has never run anything is killed, which loses nothing.
void release_children()
{
    const proc_table *pt = state.table;
    for (int i = 0; pt != nullptr && i < pt->count; ++i)
        (void)kill(pt->pids[i], i < state.started ? SIGCONT : SIGKILL);
}

[[noreturn]] void fail(int status)
{
    release_children();
    exit(status);
}

[[noreturn]] void die(const char *context, int status)
{
    perror(context);
    fail(status);
}

// Never runs: the timer's signal is blocked for the scheduler's whole life
// and taken by its waits. Installed so that no expiry could ever reach the
// default action, which would end the scheduler.
void quantum_alarm(int)
{
}

void set_action(int signum, void (*handler)(int), struct sigaction *was = nullptr)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(signum, &action, was) == -1)
        die("sigaction", kSignalSetup);
}

long long monotonic_ns()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

sigset_t just(int signum)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signum);
    return set;
}

// Every signal whose default action ends the process and that may come from
// outside at any moment. The timer's own signal is not one: an expiry that
// nobody armed is taken by a wait and ends nothing. Nor are the fault
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

// Ends the scheduler by `signum`, whose action is still the default one it
// was started with, so that whoever sent it sees the scheduler end by it.
[[noreturn]] void end_by(int signum)
{
    (void)raise(signum);  // stays pending while blocked, if it is not already
    sigset_t just_this = just(signum);
    if (sigprocmask(SIG_UNBLOCK, &just_this, nullptr) == -1)
        die("sigprocmask", kSignalSetup);
    _exit(128 + signum);  // not reached: the default action has ended the process
}

[[noreturn]] void hand_back_and_end(int signum)
{
    release_children();
    end_by(signum);
}

// An ending signal that has come, taken; 0 if none has.
int take_ending_signal()
{
    const timespec now{0, 0};
    int signum = sigtimedwait(&state.ending_signals, nullptr, &now);
    return signum > 0 ? signum : 0;
}

void trace_status(pid_t pid, int status)
{
    if (state.tracing)
        print_status(pid, status);
}

void say_interrupted()
{
    fprintf(stderr, "wait() was interrupted\n");
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
        if (at >= 0 && at < state.started)
            --state.started;
    }
    int next = schedule_next(old, pt, remove);
    if (state.tracing)
        schedule_log(why, old, next, pt, remove);
    return next;
}

// In the child: waits, first stopped and then asleep, for its first turn,
// then puts back the signal state timeslice was started with and runs the
// command. Every call before the exec is given arguments it cannot refuse.
[[noreturn]] void run_command(char **argv)
{
    sigset_t go = just(go_signal());
    sigset_t waiting = state.inherited_mask;
    sigaddset(&waiting, go_signal());
    (void)sigaction(SIGCHLD, &state.inherited_child_action, nullptr);
    (void)sigprocmask(SIG_SETMASK, &waiting, nullptr);
    (void)raise(SIGSTOP);
    // Anyone's continue brings it only this far. A stop and continue while
    // it waits cut the wait short.
    while (sigwaitinfo(&go, nullptr) != go_signal()) {
    }
    (void)sigprocmask(SIG_SETMASK, &state.inherited_mask, nullptr);
    if (argv[0] == nullptr) {
        fprintf(stderr, "%s: empty command\n", "launch_stopped");
        exit(-1);
    }
    execvp(argv[0], argv);
    perror(argv[0]);
    exit(-1);
}

pid_t launch_stopped(char **argv)
{
    // Nothing of ours is buffered, but a child that fails ends with exit(),
    // which must not write anything of the scheduler's a second time.
    (void)fflush(nullptr);
    pid_t pid = fork();
    if (pid == -1)
        die("fork", kForkFailed);
    if (pid == 0)
        run_command(argv);
    // Job control may have continued it (Ctrl-Z, then fg) before its stop
    // was seen: then only the continue is reported, and it waits all the same.
    int status = 0;
    pid_t got = waitpid(pid, &status, WUNTRACED | WCONTINUED);
    if (got == pid && (WIFSTOPPED(status) || WIFCONTINUED(status)))
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

// Whether a stop of `pid` was awaited; it is not any more.
bool stop_shown(pid_t pid)
{
    for (int i = 0; i < state.stopping; ++i)
        if (state.stops[i] == pid) {
            state.stops[i] = state.stops[--state.stopping];
            return true;
        }
    return false;
}

// Sends a stop to be awaited; false when `pid` is no process any more.
bool send_stop(pid_t pid)
{
    if (kill(pid, SIGSTOP) == -1) {
        if (errno == ESRCH)
            return false;
        // Refused, for one that now runs as another user: it runs on.
        fprintf(stderr, "%s: process %d failed to stop\n", "stop_process", pid);
        fail(kNotStopped);
    }
    (void)stop_shown(pid);  // awaited once, however often sent
    state.stops[state.stopping++] = pid;
    return true;
}

// A child's first turn is the one it has waited for before its command: it
// is told so before it is continued.
void give_turn(const proc_table *pt, int old)
{
    state.holder = pt->pids[old];
    (void)stop_shown(state.holder);  // a stop still on its way is overtaken
    if (old >= state.started) {
        (void)kill(state.holder, go_signal());  // it exists: it has not been reaped
        state.started = old + 1;
    }
    continue_process(state.holder);
}

// The terminal's interrupt, quit or hang-up went to the whole foreground
// group, so every child has it too. Those it ends must not wait for a turn
// to die (a stopped child ends only once continued); those that survive it
// go on taking turns, and the scheduler ends by it after the last, as a
// shell waits for its job before it acts on the interrupt. Any other ending
// signal, such as one sent with kill to the scheduler alone, ends it now.
void on_ending_signal(int signum, const siginfo_t &info)
{
    bool from_terminal = info.si_code == SI_KERNEL && (signum == SIGINT || signum == SIGQUIT || signum == SIGHUP);
    if (!from_terminal)
        hand_back_and_end(signum);
    state.terminal_signal = signum;
    for (int i = 0; i < state.table->count; ++i)
        if (state.table->pids[i] != state.holder)
            continue_process(state.table->pids[i]);
}

// Sleeps until a signal the scheduler waits for comes, and acts on it. While
// a stop is awaited it wakes after a while to send the stop again.
void sleep_for_news()
{
    siginfo_t info{};
    int signum = sigtimedwait(&state.wanted, &info, state.stopping > 0 ? &kRestop : nullptr);
    if (signum == SIGALRM) {
        state.expired = true;
    } else if (signum > 0 && signum != SIGCHLD) {
        on_ending_signal(signum, info);
    } else if (signum == -1 && errno == EAGAIN) {
        for (int i = 0; i < state.stopping; ++i)
            (void)kill(state.stops[i], SIGSTOP);  // one that has ended shows up in the wait
    }
}

// Stops a running child and waits until the stop shows. A child may end on
// its own just before the stop signal reaches it; then this wait reaps it,
// and the caller takes it out of the table.
stop_outcome stop_process(pid_t pid)
{
    if (!send_stop(pid))
        return stop_outcome::stopped;  // no such process: nothing left to stop
    int status = 0;
    pid_t got;
    const long long spin_until = monotonic_ns() + kStopSpinNs;
    while ((got = waitpid(pid, &status, WUNTRACED | WNOHANG)) == 0) {
        if (monotonic_ns() < spin_until)
            (void)sched_yield();
        else
            sleep_for_news();
    }
    trace_status(got, status);
    (void)stop_shown(pid);
    if (got == pid && WIFSTOPPED(status))
        return stop_outcome::stopped;
    if (got == pid && (WIFEXITED(status) || WIFSIGNALED(status)))
        return stop_outcome::ended;
    fprintf(stderr, "%s: process %d failed to stop\n", "stop_process", pid);
    fail(kNotStopped);
}

void arm_timer(int quantum)
{
    struct itimerval slice {};
    slice.it_value.tv_sec = quantum / 1000;
    slice.it_value.tv_usec = static_cast<suseconds_t>(quantum % 1000) * 1000;
    if (setitimer(ITIMER_REAL, &slice, nullptr) == -1)
        die("setitimer", kTimer);
}

// A timer that has run out is spent. One that has not is stopped, and an
// expiry that came just before is taken, so that it cannot cut the next
// turn short.
void disarm_timer()
{
    if (state.expired)
        return;
    struct itimerval off {};
    if (setitimer(ITIMER_REAL, &off, nullptr) == -1)
        die("setitimer", kTimer);
    const sigset_t alarm = just(SIGALRM);
    const timespec now{0, 0};
    (void)sigtimedwait(&alarm, nullptr, &now);
}

// Takes the next report the children have ready, if there is one.
bool take_report(report *r)
{
    r->pid = waitpid(-1, &r->status, WUNTRACED | WCONTINUED | WNOHANG);
    if (r->pid == -1)
        die("waitpid()", kWaitFailed);
    return r->pid != 0;
}

// Waits for the end of the holder's turn. A child the scheduler did not
// start (inherited across the exec that started it) may end or stop too:
// that changes no turn. One that someone else continues (job control
// continues every child of the job) and that has had a turn would run its
// command out of turn: every such child is sent its stop at once, and the
// turn ends only once all those stops have shown.
turn_end wait_turn(const proc_table *pt, report *r)
{
    state.expired = false;
    bool restart = false;
    for (;;) {
        while (take_report(r)) {
            int at = index_of(pt, r->pid);
            if (at < 0 || (r->pid == state.holder && WIFCONTINUED(r->status)))
                continue;  // the holder's continue is the turn's own
            trace_status(r->pid, r->status);
            if (WIFCONTINUED(r->status)) {
                restart = true;
                if (at < state.started)
                    (void)send_stop(r->pid);
            } else if (WIFSTOPPED(r->status)) {
                if (!stop_shown(r->pid) && r->pid == state.holder)
                    return turn_end::changed;
            } else {
                (void)stop_shown(r->pid);
                return turn_end::changed;
            }
        }
        if (state.stopping == 0 && restart)
            return turn_end::restart;
        if (state.stopping == 0 && state.expired) {
            if (state.tracing)
                say_interrupted();
            return turn_end::expired;
        }
        sleep_for_news();
    }
}

// Whose turn follows one that ended as `end` says, with `r` the report that
// ended it.
int decide(proc_table *pt, int old, turn_end end, const report &r)
{
    const pid_t holder = state.holder;
    if (end == turn_end::restart)
        return old;
    if (end == turn_end::expired)
        return stop_process(holder) == stop_outcome::ended ? next_turn("exited", old, pt, holder)
                                                           : next_turn("expired", old, pt, 0);
    if (WIFSTOPPED(r.status))  // the holder, from outside: its turn is over, and nobody else is touched
        return next_turn("stopped", old, pt, 0);
    if (WIFEXITED(r.status) || WIFSIGNALED(r.status)) {
        // Whoever ended, the turn moves on now; a holder that is still
        // running is stopped first, and may turn out to have ended too.
        bool holder_ended = r.pid != holder && stop_process(holder) == stop_outcome::ended;
        old = next_turn("exited", old, pt, r.pid);
        return holder_ended ? next_turn("exited", index_of(pt, holder), pt, holder) : old;
    }
    fprintf(stderr, "%s: process status (0x%08x) neither exited or stopped.  That's puzzling\n", "run_procs",
            static_cast<unsigned>(r.status));
    fail(kPuzzled);
}

}  // namespace

void block_signals()
{
    sigset_t held = ending_candidates();
    sigaddset(&held, SIGALRM);
    sigaddset(&held, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &held, &state.inherited_mask) == -1)
        die("sigprocmask", kSignalSetup);

    sigemptyset(&state.ending_signals);
    sigset_t candidates = ending_candidates();
    for (int signum = 1; signum < NSIG; ++signum) {
        if (sigismember(&candidates, signum) != 1 || sigismember(&state.inherited_mask, signum) == 1)
            continue;
        struct sigaction was {};
        if (sigaction(signum, nullptr, &was) == -1)
            die("sigaction", kSignalSetup);
        if (was.sa_handler != SIG_IGN)
            sigaddset(&state.ending_signals, signum);
    }
    state.wanted = state.ending_signals;
    sigaddset(&state.wanted, SIGALRM);
    sigaddset(&state.wanted, SIGCHLD);
    // Started with SIGCHLD ignored, the scheduler would have its children
    // reaped behind its back; so its own action is in force before the
    // first fork.
    set_action(SIGCHLD, SIG_DFL, &state.inherited_child_action);
}

void release_signals()
{
    if (state.terminal_signal != 0)
        end_by(state.terminal_signal);
    if (sigprocmask(SIG_UNBLOCK, &state.ending_signals, nullptr) == -1)
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
    state.stops = static_cast<pid_t *>(malloc((separators + 1) * sizeof(pid_t)));
    if (pt->pids == nullptr || state.stops == nullptr)
        die("malloc", kNoMemory);

    pt->count = 0;
    state.table = pt;
    char **cursor = argv + 2;
    while (*cursor != nullptr) {
        char **segment = cursor;
        while (*cursor != nullptr && strcmp(*cursor, ":") != 0)
            ++cursor;
        if (*cursor != nullptr)
            *cursor++ = nullptr;
        pt->pids[pt->count++] = launch_stopped(segment);
        // Told to end, it ends rather than launch a long command line in
        // full first. No child has run anything yet, so every one is killed,
        // also one started after the terminal's interrupt went to the job.
        if (int signum = take_ending_signal(); signum != 0)
            hand_back_and_end(signum);
    }
    return pt;
}

void run_procs(proc_table *pt, int quantum)
{
    if (pt == nullptr || pt->count == 0)
        return;
    const char *trace = getenv("TIMESLICE_TRACE");
    state.tracing = trace != nullptr && *trace != '\0';
    set_action(SIGALRM, quantum_alarm);

    int old = 0;
    while (pt->count != 0) {
        // The timer first: a child just continued may take the processor
        // from the scheduler at once, and its turn would run long by as long
        // as the scheduler then waits to get it back.
        arm_timer(quantum);
        give_turn(pt, old);
        report r{};
        turn_end end = wait_turn(pt, &r);
        disarm_timer();
        old = decide(pt, old, end, r);
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
