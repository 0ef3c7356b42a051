// SPDX-License-Identifier: ISC
// User-level threads: their stacks, the scheduling, and the switches.
//
// Threads switch directly from one to the next, so a yield costs one
// context switch, and nothing runs after it: the switch goes straight back
// into the caller of the resumed lwp_yield. A thread that ends cannot release
// the stack it is still running on; the switch away from it releases it on
// the stack of the context it resumes.
#include "lwp/lwp.h"
#include "exception_state.h"
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
// An entry of the list of live threads: a pointer to a record, which is what
// the analyser's warning on the size of such a pointer is about.
constexpr size_t kEntry = sizeof(Context *);  // NOLINT(bugprone-sizeof-expression)

// Everything the library keeps between calls.
struct State {
    // The live threads, in creation order, twice over: as a ring of their
    // records, and as a list for the answers of a scheduling function, which
    // the ring could find only by a walk. Round robin keeps to the ring,
    // whose next record the switch reads anyway: stepping an index through
    // the list made a yield 3 to 14 % slower. Only link_thread and
    // unlink_thread change either.
    Context **live;
    size_t live_count, live_capacity;

    Context *running;       // null outside a run of lwp_start
    Context origin;         // the caller of lwp_start, parked during the run
    lwp_scheduler chooser;  // null: round robin
    int next_tid = 1;
#if LWP_ASAN
    Context *switched_from;  // tells the context resumed where it came from
    Context *zombie;         // an ended thread whose stack awaits release
#endif
};

State state;

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
    if (state.switched_from != state.zombie) {
        state.switched_from->stack_lo = lo;
        state.switched_from->stack_size = size;
    }
    if (state.zombie) {
        release(state.zombie);
        state.zombie = nullptr;
    }
}

void switch_stacks(Context *from, Context *to)
{
    void *fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, to->stack_lo, to->stack_size);
    state.switched_from = from;
    lwp_ctx_switch(&from->sp, to->sp);
    arrived(fake_stack);
}

// The sanitizer forgets the stack of an ended thread instead of keeping it
// for a return.
[[noreturn]] void leave_to(Context *ended, Context *to)
{
    lwp_eh::resume(to->eh);
    state.zombie = ended;
    __sanitizer_start_switch_fiber(nullptr, to->stack_lo, to->stack_size);
    state.switched_from = ended;
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
    lwp_eh::resume(to->eh);
    lwp_ctx_leave(to->sp, release, ended);
}
#endif

inline void switch_to(Context *from, Context *to)
{
    lwp_eh::park(&from->eh);
    lwp_eh::resume(to->eh);
    switch_stacks(from, to);
}

// The thread the scheduling function names, or `in_turn`, the round-robin
// choice, when its answer names none.
Context *ask_chooser(Context *in_turn)
{
    int answer = state.chooser();
    if (answer >= 0 && static_cast<size_t>(answer) < state.live_count)
        return state.live[answer];
    return in_turn;
}

// The thread to run next.
inline Context *choose(Context *in_turn)
{
    return state.chooser ? ask_chooser(in_turn) : in_turn;
}

// Makes `next` the running thread in place of `self`, unless they are the
// same.
inline void hand_over(Context *self, Context *next)
{
    if (next == self)
        return;
    state.running = next;
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

// Room in the list for one more thread.
bool make_room()
{
    if (state.live_count < state.live_capacity)
        return true;
    size_t capacity = state.live_capacity ? 2 * state.live_capacity : 16;
    if (capacity > SIZE_MAX / kEntry) {
        errno = ENOMEM;
        return false;
    }
    void *grown = realloc(state.live, capacity * kEntry);
    if (!grown)
        return false;
    state.live = static_cast<Context **>(grown);
    state.live_capacity = capacity;
    return true;
}

// A new thread goes last in the ring and in the list, which has room.
void link_thread(Context *thread)
{
    if (state.live_count == 0) {
        thread->next = thread->prev = thread;
    } else {
        Context *first = state.live[0];
        thread->next = first;
        thread->prev = first->prev;
        first->prev->next = thread;
        first->prev = thread;
    }
    state.live[state.live_count++] = thread;
}

// An ending thread leaves both; once none is left, the list goes too.
void unlink_thread(Context *thread)
{
    size_t at = 0;
    while (state.live[at] != thread)
        at++;
    memmove(&state.live[at], &state.live[at + 1], (state.live_count - at - 1) * kEntry);
    thread->prev->next = thread->next;
    thread->next->prev = thread->prev;
    if (--state.live_count == 0) {
        free(state.live);
        state.live = nullptr;
        state.live_capacity = 0;
    }
}

// Where a thread's pieces lie in its mapping, from the bottom up: a guard
// page, the stack, the record `top` bytes from the start, then the rest of
// the page the record is in.
struct Layout {
    size_t page, size, top;
};

// The layout for a stack of `stacksize` words. The record sits just above
// the stack, in a page of its own with the switch's reserve; stack and
// record start a different number of cache lines below the end of that page
// for each thread (`tid`), so that the parked frames and records of many
// threads fall in different cache sets rather than all in the same few: with
// a hundred threads a switch is an eighth faster. False, with ENOMEM, for a
// size beyond the address space.
bool lay_out(size_t stacksize, int tid, Layout *l)
{
    // The page size is known to every process; asking cannot fail.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t record = (sizeof(Context) + kLine - 1) / kLine * kLine;
    const size_t fixed = record + LWP_CTX_RESERVE;
    const size_t colours = fixed + kLine <= page ? (page - fixed) / kLine : 1;
    const size_t colour = static_cast<size_t>(tid) % colours * kLine;
    const size_t above = (fixed + colour + page - 1) / page * page;
    if (stacksize > (SIZE_MAX - above - 2 * page) / sizeof(void *)) {
        errno = ENOMEM;
        return false;
    }
    const size_t stack_bytes = (stacksize * sizeof(void *) + page - 1) / page * page;
    l->page = page;
    l->size = page + stack_bytes + above;
    l->top = l->size - colour - record;
    return true;
}

// Maps a thread's stack and record as laid out, with the context that starts
// it; null, with errno set, when that cannot be done.
Context *map_thread(const Layout &l)
{
    void *mapping = mmap(nullptr, l.size, kProt, kMapFlags, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    char *lo = static_cast<char *>(mapping) + l.page;
    char *top = static_cast<char *>(mapping) + l.top;
    void *sp = nullptr;
    if (mprotect(mapping, l.page, PROT_NONE) == -1 || !(sp = lwp_ctx_make(top, thread_main, top, lo))) {
        int saved = errno;
        (void)munmap(mapping, l.size);  // undoing our own fresh mapping
        errno = saved;
        return nullptr;
    }
    Context *thread = new (top) Context{};
    thread->sp = sp;
    thread->mapping = mapping;
    thread->mapping_size = l.size;
    thread->stack_lo = lo;
    thread->stack_size = static_cast<size_t>(top - lo);
#if LWP_VALGRIND
    thread->valgrind_id = VALGRIND_STACK_REGISTER(lo, top - 1);
#endif
#if LWP_ASAN
    __asan_unpoison_memory_region(lo, thread->stack_size);
#endif
    return thread;
}

}  // namespace

extern "C" int new_lwp(lwp_function function, void *argument, size_t stacksize)
{
    if (!function || stacksize == 0) {
        errno = EINVAL;
        return -1;
    }
    Layout layout;
    if (!lay_out(stacksize, state.next_tid, &layout) || !make_room())
        return -1;
    Context *thread = map_thread(layout);
    if (!thread)
        return -1;
    thread->function = function;
    thread->argument = argument;
    link_thread(thread);
    int tid = state.next_tid;
    state.next_tid = tid == INT_MAX ? 1 : tid + 1;
    return tid;
}

extern "C" void lwp_start(void)
{
    if (state.running || state.live_count == 0)
        return;
    lwp_eh::find();
    state.running = choose(state.live[0]);
    switch_to(&state.origin, state.running);
}

extern "C" void lwp_yield(void)
{
    Context *self = state.running;
    if (!self)
        return;
    if (state.chooser)
        yield_as_told(self);
    else
        hand_over(self, self->next);
}

extern "C" void lwp_exit(void)
{
    Context *self = state.running;
    if (!self)
        return;
    lwp_eh::finish_handlers();
    unlink_thread(self);
    if (state.live_count == 0) {
        state.running = nullptr;
        leave_to(self, &state.origin);
    }
    state.running = choose(self->next);
    leave_to(self, state.running);
}

extern "C" void lwp_set_scheduler(lwp_scheduler scheduler)
{
    state.chooser = scheduler;
}
