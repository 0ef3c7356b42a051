/* SPDX-License-Identifier: ISC */
/*
 * aarch64 (AAPCS64) context switch; included by switch.S.
 *
 * A parked context, from its saved stack pointer upwards (176 bytes, so the
 * stack pointer stays 16-byte aligned as the processor demands):
 *
 *     0  x19        8  x20
 *    16  x21       24  x22
 *    32  x23       40  x24
 *    48  x25       56  x26
 *    64  x27       72  x28
 *    80  x29 (fp)  88  x30 (lr): where the context resumes
 *    96  d8       104  d9
 *   112  d10      120  d11
 *   128  d12      136  d13
 *   144  d14      152  d15
 *   160  FPCR     168  unused
 *
 * The layout is the same on both sides of the stack-pointer exchange, so the
 * call-frame information below stays true throughout the switch.
 */
	.text

/* void lwp_ctx_switch(void **save_sp [x0], void *load_sp [x1]) */
	.globl	lwp_ctx_switch
	.hidden	lwp_ctx_switch
	.type	lwp_ctx_switch, %function
	.p2align 4
lwp_ctx_switch:
	.cfi_startproc
	sub	sp, sp, #176			/* room for the parked frame */
	.cfi_def_cfa_offset 176
	stp	x19, x20, [sp, #0]
	.cfi_rel_offset x19, 0
	.cfi_rel_offset x20, 8
	stp	x21, x22, [sp, #16]
	.cfi_rel_offset x21, 16
	.cfi_rel_offset x22, 24
	stp	x23, x24, [sp, #32]
	.cfi_rel_offset x23, 32
	.cfi_rel_offset x24, 40
	stp	x25, x26, [sp, #48]
	.cfi_rel_offset x25, 48
	.cfi_rel_offset x26, 56
	stp	x27, x28, [sp, #64]
	.cfi_rel_offset x27, 64
	.cfi_rel_offset x28, 72
	stp	x29, x30, [sp, #80]		/* frame pointer and return address */
	.cfi_rel_offset x29, 80
	.cfi_rel_offset x30, 88
	stp	d8, d9, [sp, #96]		/* the low halves of v8-v15 */
	.cfi_rel_offset d8, 96
	.cfi_rel_offset d9, 104
	stp	d10, d11, [sp, #112]
	.cfi_rel_offset d10, 112
	.cfi_rel_offset d11, 120
	stp	d12, d13, [sp, #128]
	.cfi_rel_offset d12, 128
	.cfi_rel_offset d13, 136
	stp	d14, d15, [sp, #144]
	.cfi_rel_offset d14, 144
	.cfi_rel_offset d15, 152
	mrs	x9, fpcr			/* floating-point modes: rounding, flush to zero */
	str	x9, [sp, #160]

	mov	x10, sp
	str	x10, [x0]			/* park this context */
	mov	sp, x1				/* and take up the other */

.Lresume:					/* x9: the floating-point modes in force */
	ldr	x10, [sp, #160]
	cmp	x10, x9
	b.eq	1f				/* writing FPCR can be slow: only on change */
	msr	fpcr, x10
1:	ldp	x19, x20, [sp, #0]
	.cfi_restore x19
	.cfi_restore x20
	ldp	x21, x22, [sp, #16]
	.cfi_restore x21
	.cfi_restore x22
	ldp	x23, x24, [sp, #32]
	.cfi_restore x23
	.cfi_restore x24
	ldp	x25, x26, [sp, #48]
	.cfi_restore x25
	.cfi_restore x26
	ldp	x27, x28, [sp, #64]
	.cfi_restore x27
	.cfi_restore x28
	ldp	d8, d9, [sp, #96]
	.cfi_restore d8
	.cfi_restore d9
	ldp	d10, d11, [sp, #112]
	.cfi_restore d10
	.cfi_restore d11
	ldp	d12, d13, [sp, #128]
	.cfi_restore d12
	.cfi_restore d13
	ldp	d14, d15, [sp, #144]
	.cfi_restore d14
	.cfi_restore d15
	ldp	x29, x30, [sp, #80]
	.cfi_restore x29
	.cfi_restore x30
	add	sp, sp, #176
	.cfi_def_cfa_offset 0
	br	x30				/* into the resumed context, by a branch: a ret */
	.cfi_endproc				/* would be predicted to return to the caller */
						/* of the context just left */
	.size	lwp_ctx_switch, .-lwp_ctx_switch

/*
 * void lwp_ctx_leave(void *load_sp [x0], void (*then)(void *) [x1], void *arg [x2])
 *
 * Abandons the calling context for good and resumes the one parked at
 * load_sp, after calling then(arg) on that context's stack, below its parked
 * frame: there the caller's own stack may be released.
 */
	.globl	lwp_ctx_leave
	.hidden	lwp_ctx_leave
	.type	lwp_ctx_leave, %function
	.p2align 4
lwp_ctx_leave:
	.cfi_startproc
	.cfi_undefined x30			/* no way back: unwinding stops here */
	mov	sp, x0				/* parked frames are 16-byte aligned */
	mov	x19, x0				/* kept across the call; the frame restores x19 */
	mov	x0, x2
	blr	x1				/* then(arg) */
	mov	sp, x19
	mrs	x9, fpcr			/* the modes in force, as the switch has them */
	b	.Lresume
	.cfi_endproc
	.size	lwp_ctx_leave, .-lwp_ctx_leave

/*
 * void *lwp_ctx_make(void *top [x0], void (*entry)(void *) [x1], void *arg [x2], void *lo [x3])
 *
 * Builds a parked context whose return address is lwp_ctx_boot, with the
 * entry in x20, its argument in x19, a zero frame pointer to end frame
 * chains, and the creator's floating-point modes. lo is not needed here.
 */
	.globl	lwp_ctx_make
	.hidden	lwp_ctx_make
	.type	lwp_ctx_make, %function
	.p2align 4
lwp_ctx_make:
	.cfi_startproc
	and	x0, x0, #-16			/* the ABI's stack alignment */
	sub	x0, x0, #176			/* the parked frame */
	stp	x2, x1, [x0, #0]		/* x19: the argument, x20: the entry */
	stp	xzr, xzr, [x0, #16]		/* x21-x28 */
	stp	xzr, xzr, [x0, #32]
	stp	xzr, xzr, [x0, #48]
	stp	xzr, xzr, [x0, #64]
	adr	x9, lwp_ctx_boot
	stp	xzr, x9, [x0, #80]		/* x29, and where the first switch returns */
	stp	xzr, xzr, [x0, #96]		/* d8-d15 */
	stp	xzr, xzr, [x0, #112]
	stp	xzr, xzr, [x0, #128]
	stp	xzr, xzr, [x0, #144]
	mrs	x9, fpcr
	stp	x9, xzr, [x0, #160]
	ret
	.cfi_endproc
	.size	lwp_ctx_make, .-lwp_ctx_make

/*
 * The first code of every thread, on its fresh stack. The entry never
 * returns (it ends through lwp_exit); should it ever, trap rather than run
 * off into whatever lies above.
 */
	.type	lwp_ctx_boot, %function
	.p2align 4
lwp_ctx_boot:
	.cfi_startproc
	.cfi_undefined x30			/* the outermost frame: unwinding stops */
	mov	x0, x19				/* entry(arg) */
	blr	x20
	brk	#0
	.cfi_endproc
	.size	lwp_ctx_boot, .-lwp_ctx_boot
