/* SPDX-License-Identifier: ISC */
/*
 * x86_64 (System V) context switch; included by switch.S.
 *
 * A parked context, from its saved stack pointer upwards:
 *
 *    0  MXCSR            (4 bytes)
 *    4  x87 control word (2 bytes, 2 unused)
 *    8  r15
 *   16  r14
 *   24  r13
 *   32  r12
 *   40  rbx
 *   48  rbp
 *   56  return address
 *
 * The layout is the same on both sides of the stack-pointer exchange, so the
 * call-frame information below stays true throughout the switch.
 */
	.text

/* void lwp_ctx_switch(void **save_sp [rdi], void *load_sp [rsi]) */
	.globl	lwp_ctx_switch
	.hidden	lwp_ctx_switch
	.type	lwp_ctx_switch, @function
	.p2align 4
lwp_ctx_switch:
	.cfi_startproc
	pushq	%rbp
	.cfi_adjust_cfa_offset 8
	.cfi_rel_offset %rbp, 0
	pushq	%rbx
	.cfi_adjust_cfa_offset 8
	.cfi_rel_offset %rbx, 0
	pushq	%r12
	.cfi_adjust_cfa_offset 8
	.cfi_rel_offset %r12, 0
	pushq	%r13
	.cfi_adjust_cfa_offset 8
	.cfi_rel_offset %r13, 0
	pushq	%r14
	.cfi_adjust_cfa_offset 8
	.cfi_rel_offset %r14, 0
	pushq	%r15
	.cfi_adjust_cfa_offset 8
	.cfi_rel_offset %r15, 0
	subq	$8, %rsp			/* room for the two control words */
	.cfi_adjust_cfa_offset 8
	stmxcsr	(%rsp)				/* SSE control and status */
	fnstcw	4(%rsp)				/* x87 control word */
	movzwl	4(%rsp), %eax			/* kept for the comparison below */

	movq	%rsp, (%rdi)			/* park this context */
	movq	%rsi, %rsp			/* and take up the other */

	ldmxcsr	(%rsp)
	cmpw	4(%rsp), %ax			/* loading the x87 control word is slow: */
	jne	.Lx87				/* only when it differs */
.Lregisters:
	.cfi_remember_state
	addq	$8, %rsp
	.cfi_adjust_cfa_offset -8
	popq	%r15
	.cfi_adjust_cfa_offset -8
	.cfi_restore %r15
	popq	%r14
	.cfi_adjust_cfa_offset -8
	.cfi_restore %r14
	popq	%r13
	.cfi_adjust_cfa_offset -8
	.cfi_restore %r13
	popq	%r12
	.cfi_adjust_cfa_offset -8
	.cfi_restore %r12
	popq	%rbx
	.cfi_adjust_cfa_offset -8
	.cfi_restore %rbx
	popq	%rbp
	.cfi_adjust_cfa_offset -8
	.cfi_restore %rbp
	popq	%rcx				/* into the resumed context, by a jump: */
	.cfi_adjust_cfa_offset -8
	.cfi_register %rip, %rcx
	jmp	*%rcx				/* a ret would be predicted to return to */
						/* the caller of the context just left */
.Lx87:
	.cfi_restore_state
	fldcw	4(%rsp)
	jmp	.Lregisters
	.cfi_endproc
	.size	lwp_ctx_switch, .-lwp_ctx_switch

/*
 * void lwp_ctx_leave(void *load_sp [rdi], void (*then)(void *) [rsi], void *arg [rdx])
 *
 * Abandons the calling context for good and resumes the one parked at
 * load_sp, after calling then(arg) on that context's stack, below its parked
 * frame: there the caller's own stack may be released.
 */
	.globl	lwp_ctx_leave
	.hidden	lwp_ctx_leave
	.type	lwp_ctx_leave, @function
	.p2align 4
lwp_ctx_leave:
	.cfi_startproc
	.cfi_undefined %rip			/* no way back: unwinding stops here */
	movq	%rdi, %rsp
	movq	%rdi, %rbx			/* kept across the call; the frame restores rbx */
	andq	$-16, %rsp			/* aligned at the call */
	movq	%rdx, %rdi
	callq	*%rsi				/* then(arg) */
	movq	%rbx, %rsp
	ldmxcsr	(%rsp)
	jmp	.Lx87
	.cfi_endproc
	.size	lwp_ctx_leave, .-lwp_ctx_leave

/*
 * void *lwp_ctx_make(void *top [rdi], void (*entry)(void *) [rsi], void *arg [rdx], void *lo [rcx])
 *
 * Builds a parked context whose return address is lwp_ctx_boot, with the
 * entry in r12, its argument in r13, a zero rbp to end frame-pointer chains,
 * and the creator's floating-point control state. lo is not needed here.
 */
	.globl	lwp_ctx_make
	.hidden	lwp_ctx_make
	.type	lwp_ctx_make, @function
	.p2align 4
lwp_ctx_make:
	.cfi_startproc
	andq	$-16, %rdi			/* the ABI's stack alignment */
	leaq	-80(%rdi), %rax			/* the parked frame, 16 spare bytes above */
	stmxcsr	(%rax)
	fnstcw	4(%rax)
	movq	$0, 8(%rax)			/* r15 */
	movq	$0, 16(%rax)			/* r14 */
	movq	%rdx, 24(%rax)			/* r13: the argument */
	movq	%rsi, 32(%rax)			/* r12: the entry */
	movq	$0, 40(%rax)			/* rbx */
	movq	$0, 48(%rax)			/* rbp */
	leaq	lwp_ctx_boot(%rip), %rcx
	movq	%rcx, 56(%rax)			/* where the first switch returns */
	movq	$0, 64(%rax)
	movq	$0, 72(%rax)
	ret
	.cfi_endproc
	.size	lwp_ctx_make, .-lwp_ctx_make

/*
 * The first code of every thread, on its fresh stack. The entry never
 * returns (it ends through lwp_exit); should it ever, trap rather than run
 * off into whatever lies above.
 */
	.type	lwp_ctx_boot, @function
	.p2align 4
lwp_ctx_boot:
	.cfi_startproc
	.cfi_undefined %rip			/* the outermost frame: unwinding stops */
	andq	$-16, %rsp			/* aligned at the call, as the ABI says */
	movq	%r13, %rdi			/* entry(arg) */
	callq	*%r12
	ud2
	.cfi_endproc
	.size	lwp_ctx_boot, .-lwp_ctx_boot
