// SPDX-License-Identifier: ISC
// User-level threads: their stacks, the scheduling, and the switches.
//
// Threads switch directly from one to the next, so a yield costs one
// context switch, and nothing runs after it: the switch goes straight back
// into the caller of the resumed lwp_yield. A thread that ends cannot release
// the stack it is still running on; the switch away from it releases it on
// the stack of the context it resumes.
#include "lwp/lwp.h"
#include "switch.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define LWP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LWP_ASAN 1
#endif
#endif
#ifndef LWP_ASAN
#define LWP_ASAN 0
#endif

#if LWP_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define LWP_VALGRIND 1
#else
#define LWP_VALGRIND 0
#endif

// The C++ runtime keeps, for each process thread, the exceptions whose
// handlers are running and the count of those in flight; the threads here
// share a process thread, so each keeps its own copy while it is parked.
// The layout is the one the runtime's ABI fixes.
struct LwpEhState {
    void *caught;        // innermost handler's exception first
    unsigned uncaught;
#if defined(__arm__) && !defined(__ARM_DWARF_EH__)
    void *propagating;   // kept by the ARM unwinder only
#endif
};

// Weak, so that a program without the C++ runtime links and has no
// exception state to keep; with it, the runtime provides both.
extern "C" __attribute__((weak)) LwpEhState *__cxa_get_globals();
extern "C" __attribute__((weak)) void __cxa_end_catch();

namespace {

// A context: a thread, or the caller of lwp_start. A thread's record lies
// in its stack's mapping, just above the stack.
struct Context {
    void *sp;                 // where it was parked at its last switch away
    LwpEhState eh;            // its exception state while parked
    Context *next, *prev;     // the ring of live threads, in creation order
    lwp_function function;
    void *argument;
    void *mapping;            // guard page, stack and this record, as one mapping
    size_t mapping_size;
    const void *stack_lo;     // the usable stack, for the tools
    size_t stack_size;
    unsigned valgrind_id;
};

constexpr int kProt = PROT_READ | PROT_WRITE;
constexpr int kMapFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK;
constexpr size_t kLine = 64;

// Live threads in creation order once more, for the answers of a
// scheduling function, which the ring could find only by a walk. Round robin
// keeps to the ring, whose next record the switch reads anyway: stepping an
// index through this list made a yield 3 to 14 % slower.
Context **live;
size_t live_count, live_capacity;

Context *running;        // null outside a run of lwp_start
Context origin;          // the caller of lwp_start, parked during the run
lwp_scheduler chooser;   // null: round robin
int next_tid = 1;

// The runtime's exception state for the process thread, found once per run;
// a stand-in without the runtime.
LwpEhState no_runtime;
LwpEhState *eh = &no_runtime;

#if LWP_ASAN
Context *switched_from;  // tells the context resumed where it came from
Context *zombie;         // an ended thread whose stack awaits release
#endif

void release(void *ended)
{
    Context *thread = static_cast<Context *>(ended);
#if LWP_VALGRIND
    VALGRIND_STACK_DEREGISTER(thread->valgrind_id);
#endif
#if LWP_ASAN
    // Frames a thread abandons by ending leave their redzones poisoned; the
    // next user of these addresses must not inherit them.
    __asan_unpoison_memory_region(thread->stack_lo, thread->stack_size);
#endif
    // The record goes with the mapping. Unmapping a whole mapping of our own
    // cannot fail.
    (void)munmap(thread->mapping, thread->mapping_size);
}

#if LWP_ASAN
// With the address sanitizer every switch is announced to it, and the
// context resumed completes the announcement (learning the bounds of the
// stack left, which for the caller of lwp_start are otherwise unknown) and
// then releases an ended thread.
void arrived(void *fake_stack)
{
    const void *lo;
    size_t size;
    __sanitizer_finish_switch_fiber(fake_stack, &lo, &size);
    if (switched_from != zombie) {
        switched_from->stack_lo = lo;
        switched_from->stack_size = size;
    }
    if (zombie) {
        release(zombie);
        zombie = nullptr;
    }
}

void switch_stacks(Context *from, Context *to)
{
    void *fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, to->stack_lo, to->stack_size);
    switched_from = from;
    lwp_ctx_switch(&from->sp, to->sp);
    arrived(fake_stack);
}

// The sanitizer forgets the stack of an ended thread instead of keeping it
// for a return.
[[noreturn]] void leave_to(Context *ended, Context *to)
{
    *eh = to->eh;
    zombie = ended;
    __sanitizer_start_switch_fiber(nullptr, to->stack_lo, to->stack_size);
    switched_from = ended;
    lwp_ctx_switch(&ended->sp, to->sp);
    abort();  // nothing resumes an ended thread
}
#else
inline void arrived(void *) {}

inline void switch_stacks(Context *from, Context *to)
{
    lwp_ctx_switch(&from->sp, to->sp);
}

[[noreturn]] inline void leave_to(Context *ended, Context *to)
{
    *eh = to->eh;
    lwp_ctx_leave(to->sp, release, ended);
}
#endif

// Every switch carries the exception state along: the context left keeps
// its own, the context resumed gets its own back.
inline void switch_to(Context *from, Context *to)
{
    from->eh = *eh;
    *eh = to->eh;
    switch_stacks(from, to);
}

// The thread the scheduling function names, or `in_turn`, the round-robin
// choice, when its answer names none.
Context *ask_chooser(Context *in_turn)
{
    int answer = chooser();
    if (answer >= 0 && static_cast<size_t>(answer) < live_count)
        return live[answer];
    return in_turn;
}

// The thread to run next.
inline Context *choose(Context *in_turn)
{
    return chooser ? ask_chooser(in_turn) : in_turn;
}

// Makes `next` the running thread in place of `self`, unless they are the
// same.
inline void hand_over(Context *self, Context *next)
{
    if (next == self)
        return;
    running = next;
    switch_to(self, next);
}

// A yield that asks the scheduling function; out of line, so that a yield
// without one saves no registers around the call and jumps straight into
// the switch, which makes it about 5 % faster.
__attribute__((noinline)) void yield_as_told(Context *self)
{
    hand_over(self, ask_chooser(self->next));
}

[[noreturn]] void thread_main(void *arg)
{
    arrived(nullptr);
    Context *self = static_cast<Context *>(arg);
    self->function(self->argument);
    lwp_exit();
    abort();  // lwp_exit never returns to a running thread
}

bool make_room()
{
    if (live_count < live_capacity)
        return true;
    size_t capacity = live_capacity ? 2 * live_capacity : 16;
    if (capacity > SIZE_MAX / sizeof *live) {
        errno = ENOMEM;
        return false;
    }
    void *grown = realloc(live, capacity * sizeof *live);
    if (!grown)
        return false;
    live = static_cast<Context **>(grown);
    live_capacity = capacity;
    return true;
}

}  // namespace

extern "C" int new_lwp(lwp_function function, void *argument, size_t stacksize)
{
    if (!function || stacksize == 0) {
        errno = EINVAL;
        return -1;
    }
    // The page size is known to every process; asking cannot fail.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // The record sits just above the stack, in a page of its own with the
    // switch's reserve; stack and record start a different number of cache
    // lines below the end of that page for each thread, so that the parked
    // frames and records of many threads fall in different cache sets
    // rather than all in the same few: with a hundred threads a switch is
    // an eighth faster.
    const size_t record = (sizeof(Context) + kLine - 1) / kLine * kLine;
    const size_t fixed = record + LWP_CTX_RESERVE;
    const size_t colours = fixed + kLine <= page ? (page - fixed) / kLine : 1;
    const size_t colour = static_cast<size_t>(next_tid) % colours * kLine;
    const size_t above = (fixed + colour + page - 1) / page * page;
    // The stack in whole pages, the page above it, and one guard page below.
    if (stacksize > (SIZE_MAX - above - 2 * page) / sizeof(void *)) {
        errno = ENOMEM;
        return -1;
    }
    const size_t stack_bytes = (stacksize * sizeof(void *) + page - 1) / page * page;
    const size_t mapping_size = page + stack_bytes + above;
    if (!make_room())
        return -1;
    void *mapping = mmap(nullptr, mapping_size, kProt, kMapFlags, -1, 0);
    if (mapping == MAP_FAILED)
        return -1;
    char *lo = static_cast<char *>(mapping) + page;
    char *top = static_cast<char *>(mapping) + mapping_size - colour - record;
    void *sp = nullptr;
    if (mprotect(mapping, page, PROT_NONE) == -1 ||
        !(sp = lwp_ctx_make(top, thread_main, top, lo))) {
        int saved = errno;
        (void)munmap(mapping, mapping_size);  // undoing our own fresh mapping
        errno = saved;
        return -1;
    }

    Context *thread = new (top) Context{};
    thread->sp = sp;
    thread->function = function;
    thread->argument = argument;
    thread->mapping = mapping;
    thread->mapping_size = mapping_size;
    thread->stack_lo = lo;
    thread->stack_size = static_cast<size_t>(top - lo);
#if LWP_VALGRIND
    thread->valgrind_id = VALGRIND_STACK_REGISTER(lo, top - 1);
#endif
#if LWP_ASAN
    __asan_unpoison_memory_region(lo, thread->stack_size);
#endif
    if (live_count == 0) {
        thread->next = thread->prev = thread;
    } else {
        Context *first = live[0];
        thread->next = first;
        thread->prev = first->prev;
        first->prev->next = thread;
        first->prev = thread;
    }
    live[live_count++] = thread;

    int tid = next_tid;
    next_tid = next_tid == INT_MAX ? 1 : next_tid + 1;
    return tid;
}

extern "C" void lwp_start(void)
{
    if (running || live_count == 0)
        return;
    if (__cxa_get_globals)
        eh = __cxa_get_globals();
    running = choose(live[0]);
    switch_to(&origin, running);

    // Every thread has ended; the next run starts from an empty list.
    free(live);
    live = nullptr;
    live_capacity = 0;
}

extern "C" void lwp_yield(void)
{
    Context *self = running;
    if (!self)
        return;
    if (chooser)
        yield_as_told(self);
    else
        hand_over(self, self->next);
}

extern "C" void lwp_exit(void)
{
    Context *self = running;
    if (!self)
        return;
    // A thread that ends inside a handler never finishes it; finish it here,
    // so that the exception it caught is released (unless an exception_ptr
    // still holds it) instead of lost.
    while (eh->caught)
        __cxa_end_catch();
    size_t at = 0;
    while (live[at] != self)
        at++;
    memmove(&live[at], &live[at + 1], (live_count - at - 1) * sizeof *live);
    live_count--;
    self->prev->next = self->next;
    self->next->prev = self->prev;
    if (live_count == 0) {
        running = nullptr;
        leave_to(self, &origin);
    }
    running = choose(self->next);
    leave_to(self, running);
}

extern "C" void lwp_set_scheduler(lwp_scheduler scheduler)
{
    chooser = scheduler;
}
