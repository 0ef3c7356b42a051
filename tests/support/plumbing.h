// SPDX-License-Identifier: ISC
// What run.cpp and pty_session.cpp share beneath the API a test uses: the
// way a child is prepared and exec'd, the sweep that clears up after it, and
// the deadlines every wait keeps. Tests do not include this header.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "run.h"

namespace ts {

using Clock = std::chrono::steady_clock;

// A failure of the harness itself (not of the program under test): throws
// with the errno text appended.
[[noreturn]] void fail(const std::string &what);

// A point on the monotonic clock that a wait must not pass.
struct Deadline {
    Clock::time_point at;

    explicit Deadline(milliseconds span) : at(Clock::now() + span) {}
    bool passed() const { return Clock::now() >= at; }
    // The time left as poll() takes it, rounded up so a poll does not wake
    // just short of the deadline; 0 once it has passed.
    int poll_ms() const
    {
        auto left = std::chrono::duration_cast<milliseconds>(at - Clock::now()).count();
        return left < 0 ? 0 : static_cast<int>(left) + 1;
    }
};

// Builds the argv and envp arrays before a fork, so the child only execs.
struct ExecPlan {
    std::vector<std::string> argv_store, envp_store;
    std::vector<char *> argv, envp;
    std::string path, cwd;
};
ExecPlan make_plan(const std::string &program, const Options &opts);

// In a freshly forked child: default signal actions, empty mask, descriptors
// beyond 2 closed, working directory changed, then execve. Never returns.
[[noreturn]] void exec_plan(const ExecPlan &plan);

// Kills every process whose process group (or session, when `session` is
// true) is `id`, and reaps those that are this process's children, waiting
// up to `limit` for them to go.
void kill_and_reap(pid_t id, bool session, milliseconds limit = milliseconds(5000));

// Result::left for the process group (or session) `id` of a program that has
// ended: waits, up to two seconds, while any of its members still runs.
std::string survivors(pid_t id, bool session);

}  // namespace ts
