// SPDX-License-Identifier: ISC
#include "stack.h"

#include <cstdio>

extern "C" {

int myStack[STACK_SLOTS];
int *top = myStack;
int *max = myStack + STACK_SLOTS;

int push(int value)
{
    if (top >= max)
        return 1;
    *top++ = value;
    return 0;
}

int pop(int *value)
{
    if (top <= myStack)
        return 1;
    *value = *--top;
    return 0;
}

void printStack(int mode)
{
    printf("Stack: ");
    for (const int *entry = myStack; entry < top; ++entry) {
        switch (mode) {
        case SHOW_DECIMAL:
            printf("%d ", *entry);
            break;
        case SHOW_HEX:
            printf("%x ", static_cast<unsigned>(*entry));
            break;
        case SHOW_CHAR:
            printf("%c ", *entry);
            break;
        default:
            break;
        }
    }
    puts("\n");
}

}  // extern "C"
