// SPDX-License-Identifier: ISC
// A CPU-bound child for the scheduler's tests and benchmark that records
// when it runs. It spins reading the monotonic clock; a jump longer than the
// gap threshold means it was not running in between, which closes a run
// segment.
//
//   probe NAME [hold=MS] [run=MS] [stop=MS] [from=NS] [until=NS] [gap=US] [cpu=N]
//
//   hold=MS   first spend MS milliseconds where a stop signal cannot take it
//             (waiting for a child that shares its memory to end)
//   run=MS    exit after running MS milliseconds in all (default: never)
//   stop=MS   after running MS milliseconds, stop itself once with SIGSTOP
//   from=NS   also report the CPU time used from this CLOCK_MONOTONIC time
//             (in nanoseconds) on
//   until=NS  exit at the first look at the clock past this time
//   gap=US    shortest pause that splits a segment (default 50 microseconds)
//   cpu=N     run on processor N only, from the start on
//
// Standard output gets one line per event, each in a single write:
//   start NAME PID
//   held NAME              once the hold is over
//   seg NAME START END     a run segment, CLOCK_MONOTONIC nanoseconds
//   stop NAME              just before stopping itself
//   done NAME CPU [FROM]   on exit, with the CPU time used in nanoseconds,
//                          in all and (with from=) since that time
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long now_ns(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

__attribute__((format(printf, 1, 2))) void say(const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0 && write(1, line, static_cast<size_t>(n)) != n)
        _exit(3);
}

long long option(int argc, char **argv, const char *name, long long fallback)
{
    size_t len = strlen(name);
    for (int i = 2; i < argc; ++i)
        if (strncmp(argv[i], name, len) == 0 && argv[i][len] == '=')
            return atoll(argv[i] + len + 1);
    return fallback;
}

// The kernel does not stop a process while it waits for a child that
// shares its memory to exec or end. That child has a stack of its own and
// nothing else: it only sleeps, and ends by the bare system call.
alignas(16) char hold_stack[16384];

int sleep_then_end(void *ms)
{
    const long long n = *static_cast<long long *>(ms);
    const timespec length{static_cast<time_t>(n / 1000), static_cast<long>(n % 1000) * 1000000};
    nanosleep(&length, nullptr);
    for (;;)
        syscall(SYS_exit, 0);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: probe NAME [hold=MS] [run=MS] [stop=MS] [from=NS] [until=NS] [gap=US] [cpu=N]\n");
        return 2;
    }
    const char *name = argv[1];
    const long long run = option(argc, argv, "run", -1) * 1000000;
    long long stop_at = option(argc, argv, "stop", -1) * 1000000;
    const long long from = option(argc, argv, "from", -1);
    const long long until = option(argc, argv, "until", -1);
    const long long gap = option(argc, argv, "gap", 50) * 1000;
    long long hold = option(argc, argv, "hold", -1);
    if (long long cpu = option(argc, argv, "cpu", -1); cpu >= 0) {
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(static_cast<int>(cpu), &only);
        if (sched_setaffinity(0, sizeof only, &only) == -1) {
            perror("sched_setaffinity");
            return 2;
        }
    }

    // The clock is read first: whoever sees the start line may stop the
    // probe at once, and the first segment must begin before that.
    long long start = now_ns(CLOCK_MONOTONIC), last = start, ran = 0, cpu_from = -1;
    say("start %s %d\n", name, static_cast<int>(getpid()));
    if (hold >= 0) {
        // The wait makes the hold last where an emulator runs the child as
        // a plain fork (and a stop can take the probe).
        waitpid(clone(sleep_then_end, hold_stack + sizeof hold_stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &hold),
                nullptr, 0);
        say("held %s\n", name);
        start = last = now_ns(CLOCK_MONOTONIC);
    }
    for (;;) {
        long long now = now_ns(CLOCK_MONOTONIC);
        if (now - last > gap) {
            say("seg %s %lld %lld\n", name, start, last);
            start = now;
        } else {
            ran += now - last;
        }
        last = now;
        // A probe held stopped at that moment looks first when it runs
        // again, and has used no CPU in between.
        if (from >= 0 && cpu_from < 0 && now >= from)
            cpu_from = now_ns(CLOCK_PROCESS_CPUTIME_ID);
        if ((run >= 0 && ran >= run) || (until >= 0 && now >= until))
            break;
        if (stop_at >= 0 && ran >= stop_at) {
            stop_at = -1;
            say("seg %s %lld %lld\nstop %s\n", name, start, last, name);
            raise(SIGSTOP);
            start = last = now_ns(CLOCK_MONOTONIC);
        }
    }
    long long cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    if (cpu_from >= 0)
        say("seg %s %lld %lld\ndone %s %lld %lld\n", name, start, last, name, cpu, cpu - cpu_from);
    else
        say("seg %s %lld %lld\ndone %s %lld\n", name, start, last, name, cpu);
    return 0;
}
