// The scheduler's process table and routines, for the program's main and for
// the tests that call them directly.
#pragma once

#include <sys/types.h>

// The children still to be scheduled, in command-line order. Entries
// 0 .. count-1 are launched and not yet reaped, each exactly once; removals
// close the gap, so the array (sized once for every command) never moves.
struct proc_table {
    int count;
    pid_t *pids;
};

// Blocks, for the scheduler's whole life, the signals it waits for. They get
// in only while it sleeps, which unblocks and sleeps in one step, so none of
// them can arrive between a look at the children and the sleep and go
// unnoticed. Called before the first launch, so that an ending signal that
// comes while the children are being started waits until there is a table
// to hand back.
void block_signals();

// Launches every command of argv[2] on (separated by ":" arguments), each
// held stopped before it runs anything, into a new table.
proc_table *make_proc_table(char **argv);

// Lets the children run one at a time, one quantum of milliseconds each in
// table order, until every one has been reaped. Told to end by a signal, it
// continues every child it still holds and ends by that signal. With
// TIMESLICE_TRACE set to a non-empty value it traces each wait and each
// decision on standard error.
void run_procs(proc_table *pt, int quantum);

// Once the run is over: an ending signal held back until now still ends the
// scheduler by that signal, rather than let it report success.
void release_signals();

// The index of the entry whose turn comes after `old`'s. With a `remove` id
// (not 0) that entry is first taken out of the table; an id the table does
// not hold removes nothing.
int schedule_next(int old, proc_table *pt, pid_t remove);

// Tracing aids, on standard error; neither changes any scheduling state.
// One scheduling decision with the whole table:
void schedule_log(const char *str, int old, int next, const proc_table *pt, pid_t remove);
// The meaning of a wait result (`pid` -1 reports errno):
void print_status(pid_t pid, int status);
