/* SPDX-License-Identifier: ISC */
/*
 * riscv64 (LP64D) context switch; included by switch.S, for processors with
 * the F and D extensions.
 *
 * A parked context, from its saved stack pointer upwards (208 bytes, so the
 * stack pointer stays 16-byte aligned as the ABI says):
 *
 *     0  ra: where the context resumes
 *     8  s0 (fp)   16  s1     24  s2     32  s3     40  s4     48  s5
 *    56  s6        64  s7     72  s8     80  s9     88  s10    96  s11
 *   104  fs0      112  fs1   120  fs2   128  fs3   136  fs4   144  fs5
 *   152  fs6      160  fs7   168  fs8   176  fs9   184  fs10  192  fs11
 *   200  frm, the rounding mode
 *
 * The layout is the same on both sides of the stack-pointer exchange, so the
 * call-frame information below stays true throughout the switch.
 */
	.text

/* void lwp_ctx_switch(void **save_sp [a0], void *load_sp [a1]) */
	.globl	lwp_ctx_switch
	.hidden	lwp_ctx_switch
	.type	lwp_ctx_switch, @function
	.p2align 2
lwp_ctx_switch:
	.cfi_startproc
	addi	sp, sp, -208			/* room for the parked frame */
	.cfi_def_cfa_offset 208
	sd	ra, 0(sp)			/* the return address */
	.cfi_rel_offset ra, 0
	sd	s0, 8(sp)
	.cfi_rel_offset s0, 8
	sd	s1, 16(sp)
	.cfi_rel_offset s1, 16
	sd	s2, 24(sp)
	.cfi_rel_offset s2, 24
	sd	s3, 32(sp)
	.cfi_rel_offset s3, 32
	sd	s4, 40(sp)
	.cfi_rel_offset s4, 40
	sd	s5, 48(sp)
	.cfi_rel_offset s5, 48
	sd	s6, 56(sp)
	.cfi_rel_offset s6, 56
	sd	s7, 64(sp)
	.cfi_rel_offset s7, 64
	sd	s8, 72(sp)
	.cfi_rel_offset s8, 72
	sd	s9, 80(sp)
	.cfi_rel_offset s9, 80
	sd	s10, 88(sp)
	.cfi_rel_offset s10, 88
	sd	s11, 96(sp)
	.cfi_rel_offset s11, 96
	fsd	fs0, 104(sp)
	.cfi_rel_offset fs0, 104
	fsd	fs1, 112(sp)
	.cfi_rel_offset fs1, 112
	fsd	fs2, 120(sp)
	.cfi_rel_offset fs2, 120
	fsd	fs3, 128(sp)
	.cfi_rel_offset fs3, 128
	fsd	fs4, 136(sp)
	.cfi_rel_offset fs4, 136
	fsd	fs5, 144(sp)
	.cfi_rel_offset fs5, 144
	fsd	fs6, 152(sp)
	.cfi_rel_offset fs6, 152
	fsd	fs7, 160(sp)
	.cfi_rel_offset fs7, 160
	fsd	fs8, 168(sp)
	.cfi_rel_offset fs8, 168
	fsd	fs9, 176(sp)
	.cfi_rel_offset fs9, 176
	fsd	fs10, 184(sp)
	.cfi_rel_offset fs10, 184
	fsd	fs11, 192(sp)
	.cfi_rel_offset fs11, 192
	frrm	t0				/* the rounding mode; the flags are not kept */
	sd	t0, 200(sp)

	sd	sp, 0(a0)			/* park this context */
	mv	sp, a1				/* and take up the other */

.Lresume:
	ld	t0, 200(sp)
	fsrm	t0
	ld	s0, 8(sp)
	.cfi_restore s0
	ld	s1, 16(sp)
	.cfi_restore s1
	ld	s2, 24(sp)
	.cfi_restore s2
	ld	s3, 32(sp)
	.cfi_restore s3
	ld	s4, 40(sp)
	.cfi_restore s4
	ld	s5, 48(sp)
	.cfi_restore s5
	ld	s6, 56(sp)
	.cfi_restore s6
	ld	s7, 64(sp)
	.cfi_restore s7
	ld	s8, 72(sp)
	.cfi_restore s8
	ld	s9, 80(sp)
	.cfi_restore s9
	ld	s10, 88(sp)
	.cfi_restore s10
	ld	s11, 96(sp)
	.cfi_restore s11
	fld	fs0, 104(sp)
	.cfi_restore fs0
	fld	fs1, 112(sp)
	.cfi_restore fs1
	fld	fs2, 120(sp)
	.cfi_restore fs2
	fld	fs3, 128(sp)
	.cfi_restore fs3
	fld	fs4, 136(sp)
	.cfi_restore fs4
	fld	fs5, 144(sp)
	.cfi_restore fs5
	fld	fs6, 152(sp)
	.cfi_restore fs6
	fld	fs7, 160(sp)
	.cfi_restore fs7
	fld	fs8, 168(sp)
	.cfi_restore fs8
	fld	fs9, 176(sp)
	.cfi_restore fs9
	fld	fs10, 184(sp)
	.cfi_restore fs10
	fld	fs11, 192(sp)
	.cfi_restore fs11
	ld	t1, 0(sp)			/* into the resumed context, through t1: a */
	.cfi_register ra, t1			/* jump through ra would be predicted to */
	addi	sp, sp, 208			/* return to the caller of the context */
	.cfi_def_cfa_offset 0			/* just left */
	jr	t1
	.cfi_endproc
	.size	lwp_ctx_switch, .-lwp_ctx_switch

/*
 * void lwp_ctx_leave(void *load_sp [a0], void (*then)(void *) [a1], void *arg [a2])
 *
 * Abandons the calling context for good and resumes the one parked at
 * load_sp, after calling then(arg) on that context's stack, below its parked
 * frame: there the caller's own stack may be released.
 */
	.globl	lwp_ctx_leave
	.hidden	lwp_ctx_leave
	.type	lwp_ctx_leave, @function
	.p2align 2
lwp_ctx_leave:
	.cfi_startproc
	.cfi_undefined ra			/* no way back: unwinding stops here */
	mv	sp, a0				/* parked frames are 16-byte aligned */
	mv	s0, a0				/* kept across the call; the frame restores s0 */
	mv	a0, a2
	jalr	a1				/* then(arg) */
	mv	sp, s0
	j	.Lresume
	.cfi_endproc
	.size	lwp_ctx_leave, .-lwp_ctx_leave

/*
 * void *lwp_ctx_make(void *top [a0], void (*entry)(void *) [a1], void *arg [a2], void *lo [a3])
 *
 * Builds a parked context whose return address is lwp_ctx_boot, with the
 * entry in s1, its argument in s2, a zero frame pointer to end frame chains,
 * and the creator's rounding mode. lo is not needed here.
 */
	.globl	lwp_ctx_make
	.hidden	lwp_ctx_make
	.type	lwp_ctx_make, @function
	.p2align 2
lwp_ctx_make:
	.cfi_startproc
	andi	a0, a0, -16			/* the ABI's stack alignment */
	addi	a0, a0, -208			/* the parked frame */
	lla	t0, lwp_ctx_boot
	sd	t0, 0(a0)			/* where the first switch returns */
	sd	zero, 8(a0)			/* s0 */
	sd	a1, 16(a0)			/* s1: the entry */
	sd	a2, 24(a0)			/* s2: the argument */
	addi	t1, a0, 32			/* s3-s11 and fs0-fs11: zero */
	addi	t2, a0, 200
1:	sd	zero, 0(t1)
	addi	t1, t1, 8
	bne	t1, t2, 1b
	frrm	t0
	sd	t0, 200(a0)
	ret
	.cfi_endproc
	.size	lwp_ctx_make, .-lwp_ctx_make

/*
 * The first code of every thread, on its fresh stack. The entry never
 * returns (it ends through lwp_exit); should it ever, trap rather than run
 * off into whatever lies above.
 */
	.type	lwp_ctx_boot, @function
	.p2align 2
lwp_ctx_boot:
	.cfi_startproc
	.cfi_undefined ra			/* the outermost frame: unwinding stops */
	mv	a0, s2				/* entry(arg) */
	jalr	s1
	unimp
	.cfi_endproc
	.size	lwp_ctx_boot, .-lwp_ctx_boot
