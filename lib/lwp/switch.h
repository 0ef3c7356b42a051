/* SPDX-License-Identifier: ISC */
/*
 * The context switch, private to the library. Each processor with a switch
 * of its own has one assembly file, included by switch.S; every other
 * processor gets the portable switch of switch_ucontext.cpp, built on the C
 * library's swapcontext (slower: it makes a system call at every switch).
 *
 *   void lwp_ctx_switch(void **save_sp, void *load_sp);
 *       parks the caller's context on its own stack, stores that stack
 *       pointer in *save_sp, and resumes the context parked at load_sp.
 *   void lwp_ctx_leave(void *load_sp, void (*then)(void *), void *arg);
 *       abandons the caller's context and resumes the one parked at load_sp,
 *       once then(arg) has run on the stack of the context resumed.
 *   void *lwp_ctx_make(void *top, void (*entry)(void *), void *arg, void *lo);
 *       lays out a context below top that, once resumed, calls entry(arg)
 *       with the stack aligned as at any call; returns its stack pointer.
 *       The stack runs down to lo, which only the portable switch needs:
 *       the C library wants to be told the whole stack.
 *
 * A switch saves only what the calling convention says survives a call:
 * the callee-saved registers, the stack pointer and the floating-point
 * control state.
 */
#ifndef LWP_SWITCH_H
#define LWP_SWITCH_H

#if defined(LWP_PORTABLE_SWITCH)
/* asked for by the build, to test the portable switch on any processor */
#elif defined(__x86_64__)
#define LWP_SWITCH_FILE "switch_x86_64.S"
#elif defined(__i386__)
#define LWP_SWITCH_FILE "switch_i386.S"
#elif defined(__aarch64__)
#define LWP_SWITCH_FILE "switch_aarch64.S"
#elif defined(__riscv) && __riscv_xlen == 64 && defined(__riscv_float_abi_double)
#define LWP_SWITCH_FILE "switch_riscv64.S"
#endif

#ifndef __ASSEMBLER__
/* Bytes of a stack the switch itself needs beyond what a thread's own calls
 * use: none for the fast switches, whose parked frame is smaller than any
 * function's; the portable switch keeps a thread's starting context at the
 * top for good and parks a whole context of the C library below the thread's
 * frames. */
#ifdef LWP_SWITCH_FILE
#define LWP_CTX_RESERVE 0
#else
#include <ucontext.h>
#define LWP_CTX_RESERVE (2 * sizeof(ucontext_t) + 256)
#endif

/* Never exported. On i386 the switch takes its arguments in registers; the
 * fast switches let lwp_yield end by jumping to them, so that the resumed
 * thread goes straight back to its own caller. */
#if defined(__i386__) && defined(LWP_SWITCH_FILE)
#define LWP_CTX_CALL __attribute__((regparm(3), visibility("hidden")))
#else
#define LWP_CTX_CALL __attribute__((visibility("hidden")))
#endif

#ifdef __cplusplus
extern "C" {
#endif
LWP_CTX_CALL void lwp_ctx_switch(void **save_sp, void *load_sp);
LWP_CTX_CALL __attribute__((noreturn)) void lwp_ctx_leave(void *load_sp, void (*then)(void *), void *arg);
LWP_CTX_CALL void *lwp_ctx_make(void *top, void (*entry)(void *), void *arg, void *lo);
#ifdef __cplusplus
}
#endif
#endif /* __ASSEMBLER__ */

#endif /* LWP_SWITCH_H */
