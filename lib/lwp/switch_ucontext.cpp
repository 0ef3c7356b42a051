// SPDX-License-Identifier: ISC
// The portable context switch, for processors without one of their own:
// the C library's contexts, each parked on its thread's own stack as the
// fast switches park their frames. Slow (the C library makes a system call
// at every switch for the signal mask) but correct.
#include "switch.h"

#ifndef LWP_SWITCH_FILE

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <cstdlib>

namespace {

// What lwp_ctx_make leaves at the top of a new stack.
struct Start {
    ucontext_t context;  // first, so that a context resumed can be its Start
    void (*entry)(void *);
    void *arg;
};

static_assert(sizeof(Start) + 16 <= LWP_CTX_RESERVE, "the reserve holds the starting context");

ucontext_t *arriving;          // the context being resumed
void (*pending)(void *);       // what a context left for good asks of the next
void *pending_arg;

void run_pending()
{
    if (pending) {
        void (*then)(void *) = pending;
        pending = nullptr;
        then(pending_arg);
    }
}

void boot()
{
    Start *start = reinterpret_cast<Start *>(arriving);
    run_pending();
    start->entry(start->arg);
    abort();  // the entry ends through lwp_exit and never returns
}

// With the fast switches the signal mask belongs to the process, not to a
// thread; the C library's contexts each carry one, so the context resumed
// is given the mask in force.
void resume(ucontext_t *to)
{
    (void)sigprocmask(SIG_SETMASK, nullptr, &to->uc_sigmask);
    arriving = to;
}

}  // namespace

extern "C" void lwp_ctx_switch(void **save_sp, void *load_sp)
{
    // The caller's context is parked here, on its own stack, which stays as
    // it is until the context is resumed and this call returns.
    ucontext_t here;
    // cppcheck-suppress autoVariables
    *save_sp = &here;
    resume(static_cast<ucontext_t *>(load_sp));
    if (swapcontext(&here, arriving) == -1)
        abort();  // only a bad context can fail, and ours are all made here
    run_pending();
}

extern "C" void lwp_ctx_leave(void *load_sp, void (*then)(void *), void *arg)
{
    pending = then;
    pending_arg = arg;
    resume(static_cast<ucontext_t *>(load_sp));
    setcontext(arriving);
    abort();
}

extern "C" void *lwp_ctx_make(void *top, void (*entry)(void *), void *arg, void *lo)
{
    char *const below = static_cast<char *>(top) - sizeof(Start);
    Start *start = reinterpret_cast<Start *>(below - reinterpret_cast<uintptr_t>(below) % 16);
    // The creator's floating-point modes and signal mask come along.
    if (getcontext(&start->context) == -1)
        return nullptr;
    start->context.uc_stack.ss_sp = lo;
    start->context.uc_stack.ss_size = static_cast<size_t>(reinterpret_cast<char *>(start) - static_cast<char *>(lo));
    start->context.uc_link = nullptr;
    start->entry = entry;
    start->arg = arg;
    makecontext(&start->context, boot, 0);
    return &start->context;
}

#endif  // LWP_SWITCH_FILE
