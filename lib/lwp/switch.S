/* SPDX-License-Identifier: ISC */
/*
 * The fast context switch for the processor being built for; switch.h says
 * what each file provides and which processors have one.
 */
#include "switch.h"

#ifdef LWP_SWITCH_FILE
#include LWP_SWITCH_FILE
#endif

/* The switch needs no executable stack. */
	.section .note.GNU-stack,"",%progbits
