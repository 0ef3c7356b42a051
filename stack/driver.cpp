// SPDX-License-Identifier: ISC
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "stack.h"

namespace {

// Output that cannot be written (a full disk, a terminal gone) ends the
// console with status 1 rather than a success nobody saw. Called before
// every read: what was written goes out here, so that a failed write is
// reported with its own errno, not with whatever a later call left there.
void check_output()
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("stdout");
        exit(1);
    }
}

// The end of input ends the console as 'x' does, but a read that failed (a
// closed descriptor, a terminal gone) is not the user's ending: it is
// reported, with status 1. Called as soon as a read gave nothing.
void check_input()
{
    if (ferror(stdin)) {
        perror("stdin");
        exit(1);
    }
}

// Drops what is left of the current input line, so that the rest of a bad
// answer is not taken for option letters.
void skip_line()
{
    check_output();
    int ch;
    do
        ch = getchar();
    while (ch != '\n' && ch != EOF);
}

// Reads a number as scanf(" %d") does (white space, an optional sign,
// decimal digits; the first character after them stays in the input), but
// one that does not fit an int is refused instead of being stored as
// whatever the overflow made of it. Returns 1 when a number was stored, 0
// when the input holds none there, EOF when it ends first.
int read_number(int *number)
{
    check_output();
    int ch;
    do
        ch = getchar();
    while (isspace(ch));
    if (ch == EOF)
        return EOF;

    bool negative = ch == '-';
    if (ch == '-' || ch == '+')
        ch = getchar();
    if (!isdigit(ch)) {
        if (ch != EOF)
            ungetc(ch, stdin);
        return 0;
    }

    // Every digit is read even once the value is out of range, so that none
    // is left behind to be taken for an option. Growth stops past the limit,
    // which keeps the sum far inside 64 bits.
    constexpr int64_t kLimit = -static_cast<int64_t>(INT_MIN);
    int64_t magnitude = 0;
    for (; isdigit(ch); ch = getchar())
        if (magnitude <= kLimit)
            magnitude = magnitude * 10 + (ch - '0');
    if (ch != EOF)
        ungetc(ch, stdin);

    if (magnitude > (negative ? kLimit : INT_MAX))
        return 0;
    *number = static_cast<int>(negative ? -magnitude : magnitude);
    return 1;
}

// Asks for a number and pushes it, then shows the stack; false when the
// input ended first.
bool push_dialogue(int *number, int mode)
{
    printf("What number? ");
    int got = read_number(number);
    if (got == EOF) {
        check_input();
        return false;
    }
    if (got == 1) {
        if (push(*number))
            puts("Overflow!!!");
    } else {
        puts("Not a number!!!");
        skip_line();
    }
    printStack(mode);
    return true;
}

}  // namespace

int main()
{
    puts("Welcome to the Stack Program\n");

    char option = 'a';
    int number = -9000;
    int mode = SHOW_DECIMAL;

    while (option != 'x') {
        printf("Enter Option: ");
        check_output();
        if (scanf(" %c", &option) != 1) {
            check_input();
            break;
        }

        switch (option) {
        case 'c':
        case 'd':
        case 'h':
            mode = option == 'c' ? SHOW_CHAR : option == 'h' ? SHOW_HEX : SHOW_DECIMAL;
            printStack(mode);
            break;
        case 'u':
            if (!push_dialogue(&number, mode))
                option = 'x';
            break;
        case 'o':
            printf("Popped: ");
            if (pop(&number))
                puts("Underflow!!!");
            else
                printf("%d\n", number);
            printStack(mode);
            break;
        case 'x':
            break;
        default:
            printf("error, it defaulted");
            break;
        }
    }

    printf("Goodbye!");
    check_output();
    return 0;
}
