/* SPDX-License-Identifier: ISC */
/*
 * lwp: cooperative user-level threads.
 *
 * Threads are created with new_lwp and run inside lwp_start, which returns
 * once every one of them has ended. A thread gives up the processor only in
 * lwp_yield or lwp_exit; nothing preempts it.
 *
 * The library keeps its state in plain globals without locks: use it from
 * one process thread only (all calls, and every lwp_start run, on the same
 * thread). It switches only what a function call preserves, so a thread
 * must not leave its function by longjmp or a C++ exception.
 */
#ifndef LWP_H
#define LWP_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
/* The shared library exports what is declared here and nothing else. */
#ifdef __GNUC__
#pragma GCC visibility push(default)
#endif

/* The body of a thread: called once with the argument given to new_lwp. */
typedef void (*lwp_function)(void *argument);

/*
 * A scheduling function: asked at every switch, it answers an index into the
 * list of live threads in creation order. An answer outside that list means
 * "the next one in turn".
 */
typedef int (*lwp_scheduler)(void);

/*
 * Creates a thread that runs function(argument) once lwp_start runs (or at
 * once in turn, when created by a running thread). Its stack holds at least
 * stacksize machine words, rounded up to whole pages, with an inaccessible
 * guard page below it so that an overflow faults.
 * Returns a positive thread id, or -1 with errno set: EINVAL for a null
 * function or a stack size of 0, ENOMEM when memory runs out.
 */
int new_lwp(lwp_function function, void *argument, size_t stacksize);

/*
 * Runs the created threads and returns once all of them have ended; returns
 * at once when there are none, or when called from a thread.
 */
void lwp_start(void);

/*
 * Hands the processor to the thread the scheduling picks; returns when the
 * caller is picked again. Outside a thread it does nothing.
 */
void lwp_yield(void);

/*
 * Ends the calling thread and releases its stack; does not return. Returning
 * from a thread's function has the same effect. Outside a thread it does
 * nothing and returns.
 */
void lwp_exit(void);

/*
 * Installs the scheduling function asked at every switch from now on; null
 * restores the default, round robin in creation order. The function must not
 * call lwp_yield, lwp_exit or lwp_start.
 */
void lwp_set_scheduler(lwp_scheduler scheduler);

#ifdef __GNUC__
#pragma GCC visibility pop
#endif
#ifdef __cplusplus
}
#endif

#endif /* LWP_H */
