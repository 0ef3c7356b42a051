/*
 * The context switch for the processor being built for. Each file provides
 *
 *   void lwp_ctx_switch(void **save_sp, void *load_sp);
 *       parks the caller's context on its own stack, stores that stack
 *       pointer in *save_sp, and resumes the context parked at load_sp.
 *   void lwp_ctx_leave(void *load_sp, void (*then)(void *), void *arg);
 *       abandons the caller's context and resumes the one parked at load_sp,
 *       once then(arg) has run on the stack of the context resumed.
 *   void *lwp_ctx_make(void *top, void (*entry)(void *), void *arg);
 *       lays out a context below top that, once resumed, calls entry(arg)
 *       with the stack aligned as at any call; returns its stack pointer.
 *
 * Only what the ABI says survives a call is saved: the callee-saved
 * registers, the stack pointer, the x87 control word and MXCSR.
 */
#if defined(__x86_64__)
#include "switch_x86_64.S"
#elif defined(__i386__)
#include "switch_i386.S"
#else
#error "lwp has no context switch for this processor"
#endif

/* The switch needs no executable stack. */
	.section .note.GNU-stack,"",%progbits
