// SPDX-License-Identifier: ISC
// The scheduler's process table and routines, for the program's main and for
// the tests that call them directly.
#pragma once

#include <sys/types.h>

// The children timeslice still has to run, in the order of the command line.
// The first `count` slots are live, one for each child that has been started
// and whose end has not been collected; dropping one shifts the rest down, so
// the array, allocated once with a slot per command, is never reallocated.
struct proc_table {
    int count;
    pid_t *pids;
};

// Blocks, for the scheduler's whole life, the signals it waits for, and
// gives SIGCHLD the scheduler's own action. The waits take the signals one
// at a time, so none can arrive between a look at the children and a sleep
// and go unnoticed. Called before the first launch, so that an ending signal
// that comes while the children are being started waits until there is a
// table to hand back, and no child ends unseen.
void block_signals();

// Launches every command of argv[2] on (separated by ":" arguments), each
// held before it runs anything, into a new table.
proc_table *make_proc_table(char **argv);

// Lets the children run one at a time, one quantum of milliseconds each in
// table order, until every one has been reaped. A child that someone else
// continues runs nothing out of turn. Told to end by a signal, it continues
// the children that have had a turn, kills the others and ends by that
// signal; the terminal's interrupt, quit or hang-up waits for the children
// that survive it. With TIMESLICE_TRACE set to a non-empty value it traces
// each wait and each decision on standard error.
void run_procs(proc_table *pt, int quantum);

// Once the run is over: the terminal's signal that came during it, or an
// ending signal held back until now, ends the scheduler by that signal
// rather than let it report success.
void release_signals();

// Picks whose turn follows `old`'s and returns that index. A non-zero
// `remove` names a child to drop before choosing; an id the table lacks
// changes nothing.
int schedule_next(int old, proc_table *pt, pid_t remove);

// Debugging output on standard error, for watching the scheduler at work;
// both only read what they are given.
// A choice of the next turn, followed by every id in the table:
void schedule_log(const char *str, int old, int next, const proc_table *pt, pid_t remove);
// What a wait call came back with, in words (for `pid` -1, why it failed):
void print_status(pid_t pid, int status);
