/* SPDX-License-Identifier: ISC */
/* The ten-entry integer stack shared by the console's modules. */
#ifndef STACK_STACK_H
#define STACK_STACK_H

#ifdef __cplusplus
extern "C" {
#endif

enum { STACK_SLOTS = 10 };

/* Display modes of printStack. */
enum { SHOW_DECIMAL = 0, SHOW_HEX = 1, SHOW_CHAR = 2 };

extern int myStack[STACK_SLOTS];
extern int *top; /* first free slot */
extern int *max; /* one past the last slot; a push is refused when top reaches it */

/* Each returns 0 on success and 1 when refused (stack full or empty). */
int push(int value);
int pop(int *value);

/* "Stack: ", every entry from the bottom in the given display mode, and an
 * empty line. */
void printStack(int mode);

#ifdef __cplusplus
}
#endif

#endif
