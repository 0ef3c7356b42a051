// SPDX-License-Identifier: ISC
// The process of one stage between vfork and execve (not installed): what
// the parent prepares for it, and what it leaves behind for the parent.
#pragma once

#include <signal.h>

namespace pipeline_internal {

// What every stage of one line needs, worked out before the first starts.
struct Plan {
    char where[32];  // "line N: ", before the stage's own failures
    sigset_t mask;   // the signal mask to execute with
    sigset_t reset;  // signals put back to their default actions
    sigset_t hold;   // stop signals held until the command runs
};

// A stop signal the child took before it could execute, for the parent to
// pass on once vfork has returned. The parent clears it before each vfork.
extern volatile sig_atomic_t held_stop;

// In the child of vfork: makes `in` and `out` (-1: as they are) its standard
// input and output, applies the plan and executes `argv`, or says why it
// cannot and ends.
[[noreturn]] void run_stage(const Plan *plan, char *const *argv, int in, int out);

}  // namespace pipeline_internal
