// SPDX-License-Identifier: ISC
// timeslice's command line: the length of a turn in milliseconds, then the
// commands. The routines in timeslice.cpp start them and take them in turns;
// the program exits 0 once the last of them has ended.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "timeslice.h"

namespace {

// The command line's exit statuses; the scheduler's own start at 3.
constexpr int kUsage = 1;
constexpr int kBadQuantum = 2;

// Decimal, 0x hexadecimal or 0 octal, with an optional sign.
int parse_quantum(const char *text)
{
    char *rest = nullptr;
    long value = strtol(text, &rest, 0);
    if (value == 0 || *rest != '\0') {
        fprintf(stderr, "%s is not a valid quantum\n", text);
        exit(kBadQuantum);
    }
    // A quantum is a 32-bit count of milliseconds whatever the width of long:
    // beyond that it saturates, as strtol does where long has 32 bits.
    return static_cast<int>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc <= 1) {
        fprintf(stderr, "usage: %s <quantum(ms)> p1 [ p1 args ] ; [ p2 [ p2 args ] ; [...]\n", argv[0]);
        exit(kUsage);
    }
    int quantum = parse_quantum(argv[1]);
    block_signals();
    proc_table *pt = make_proc_table(argv);
    run_procs(pt, quantum);
    release_signals();
    free(pt->pids);
    free(pt);
    return 0;
}
