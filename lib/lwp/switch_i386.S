/* SPDX-License-Identifier: ISC */
/*
 * i386 (System V) context switch; included by switch.S. The three entry
 * points take their arguments in eax, edx and ecx (GCC's regparm(3)), so
 * that a yield can jump to the switch instead of calling it. MXCSR needs
 * SSE, which every x86 processor of this century has.
 *
 * A parked context, from its saved stack pointer upwards:
 *
 *    0  MXCSR            (4 bytes)
 *    4  x87 control word (2 bytes, 2 unused)
 *    8  edi
 *   12  esi
 *   16  ebx
 *   20  ebp
 *   24  return address
 *
 * The layout is the same on both sides of the stack-pointer exchange, so the
 * call-frame information below stays true throughout the switch.
 */
	.text

/* void lwp_ctx_switch(void **save_sp [eax], void *load_sp [edx]) */
	.globl	lwp_ctx_switch
	.hidden	lwp_ctx_switch
	.type	lwp_ctx_switch, @function
	.p2align 4
lwp_ctx_switch:
	.cfi_startproc
	pushl	%ebp
	.cfi_adjust_cfa_offset 4
	.cfi_rel_offset %ebp, 0
	pushl	%ebx
	.cfi_adjust_cfa_offset 4
	.cfi_rel_offset %ebx, 0
	pushl	%esi
	.cfi_adjust_cfa_offset 4
	.cfi_rel_offset %esi, 0
	pushl	%edi
	.cfi_adjust_cfa_offset 4
	.cfi_rel_offset %edi, 0
	subl	$8, %esp			/* room for the two control words */
	.cfi_adjust_cfa_offset 8
	stmxcsr	(%esp)				/* SSE control and status */
	fnstcw	4(%esp)				/* x87 control word */
	movzwl	4(%esp), %ecx			/* kept for the comparison below */

	movl	%esp, (%eax)			/* park this context */
	movl	%edx, %esp			/* and take up the other */

	ldmxcsr	(%esp)
	cmpw	4(%esp), %cx			/* loading the x87 control word is slow: */
	jne	.Lx87				/* only when it differs */
.Lregisters:
	.cfi_remember_state
	addl	$8, %esp
	.cfi_adjust_cfa_offset -8
	popl	%edi
	.cfi_adjust_cfa_offset -4
	.cfi_restore %edi
	popl	%esi
	.cfi_adjust_cfa_offset -4
	.cfi_restore %esi
	popl	%ebx
	.cfi_adjust_cfa_offset -4
	.cfi_restore %ebx
	popl	%ebp
	.cfi_adjust_cfa_offset -4
	.cfi_restore %ebp
	popl	%ecx				/* into the resumed context, by a jump: */
	.cfi_adjust_cfa_offset -4
	.cfi_register %eip, %ecx
	jmp	*%ecx				/* a ret would be predicted to return to */
						/* the caller of the context just left */
.Lx87:
	.cfi_restore_state
	fldcw	4(%esp)
	jmp	.Lregisters
	.cfi_endproc
	.size	lwp_ctx_switch, .-lwp_ctx_switch

/*
 * void lwp_ctx_leave(void *load_sp [eax], void (*then)(void *) [edx], void *arg [ecx])
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
	.cfi_undefined %eip			/* no way back: unwinding stops here */
	movl	%eax, %esi			/* kept across the call; the frame restores esi */
	movl	%eax, %esp
	andl	$-16, %esp
	subl	$12, %esp			/* 16-byte aligned once the argument is pushed */
	pushl	%ecx
	call	*%edx				/* then(arg), an ordinary cdecl function */
	movl	%esi, %esp
	ldmxcsr	(%esp)
	jmp	.Lx87
	.cfi_endproc
	.size	lwp_ctx_leave, .-lwp_ctx_leave

/*
 * void *lwp_ctx_make(void *top [eax], void (*entry)(void *) [edx], void *arg [ecx], void *lo [stack])
 *
 * Builds a parked context whose return address is lwp_ctx_boot, with the
 * entry in esi, its argument in edi, a zero ebp to end frame-pointer chains,
 * and the creator's floating-point control state. lo is not needed here (and
 * the caller removes it from the stack).
 */
	.globl	lwp_ctx_make
	.hidden	lwp_ctx_make
	.type	lwp_ctx_make, @function
	.p2align 4
lwp_ctx_make:
	.cfi_startproc
	andl	$-16, %eax			/* the ABI's stack alignment */
	subl	$48, %eax			/* the parked frame, 20 spare bytes above */
	stmxcsr	(%eax)
	fnstcw	4(%eax)
	movl	%ecx, 8(%eax)			/* edi: the argument */
	movl	%edx, 12(%eax)			/* esi: the entry (an ordinary cdecl function) */
	movl	$0, 16(%eax)			/* ebx */
	movl	$0, 20(%eax)			/* ebp */
	call	1f				/* find our own address without */
1:	.cfi_adjust_cfa_offset 4		/* relocations (position independent) */
	popl	%ecx
	.cfi_adjust_cfa_offset -4
	addl	$(lwp_ctx_boot - 1b), %ecx
	movl	%ecx, 24(%eax)			/* where the first switch returns */
	movl	$0, 28(%eax)
	movl	$0, 32(%eax)
	movl	$0, 36(%eax)
	movl	$0, 40(%eax)
	movl	$0, 44(%eax)
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
	.cfi_undefined %eip			/* the outermost frame: unwinding stops */
	andl	$-16, %esp
	subl	$12, %esp			/* 16-byte aligned once the argument is pushed */
	pushl	%edi				/* entry(arg) */
	call	*%esi
	ud2
	.cfi_endproc
	.size	lwp_ctx_boot, .-lwp_ctx_boot
