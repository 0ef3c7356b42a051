#include <cstdio>

#include "stack.h"

namespace {

// Drops what is left of the current input line, so that the rest of a bad
// answer is not taken for option letters.
void skip_line()
{
    int ch;
    do
        ch = getchar();
    while (ch != '\n' && ch != EOF);
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
        // The end of input (or a failed read) ends the console as 'x' does.
        if (scanf(" %c", &option) != 1)
            break;

        switch (option) {
        case 'c':
            mode = SHOW_CHAR;
            printStack(mode);
            break;
        case 'd':
            mode = SHOW_DECIMAL;
            printStack(mode);
            break;
        case 'h':
            mode = SHOW_HEX;
            printStack(mode);
            break;
        case 'u': {
            printf("What number? ");
            int got = scanf(" %d", &number);
            if (got == EOF) {
                option = 'x';
                break;
            }
            if (got == 1) {
                if (push(number))
                    puts("Overflow!!!");
            } else {
                puts("Not a number!!!");
                skip_line();
            }
            printStack(mode);
            break;
        }
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
    return 0;
}
