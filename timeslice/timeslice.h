// The scheduler's process table and the routines its tests call directly.
#pragma once

#include <sys/types.h>

// The children still to be scheduled, in command-line order. Entries
// 0 .. count-1 are launched and not yet reaped, each exactly once; removals
// close the gap, so the array (sized once for every command) never moves.
struct proc_table {
    int count;
    pid_t *pids;
};

// The index of the entry whose turn comes after `old`'s. With a `remove` id
// (not 0) that entry is first taken out of the table; an id the table does
// not hold removes nothing.
int schedule_next(int old, proc_table *pt, pid_t remove);

// Tracing aids, on standard error; neither changes any scheduling state.
// One scheduling decision with the whole table:
void schedule_log(const char *str, int old, int next, const proc_table *pt, pid_t remove);
// The meaning of a wait result (`pid` -1 reports errno):
void print_status(pid_t pid, int status);
