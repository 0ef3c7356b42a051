/* SPDX-License-Identifier: ISC */
/* Reads lines with readLongString as a program other than the shell does:
 * no prompt given to the line editor, and SIGALRM caught without restart.
 * Prints ">" before each read, left in the stream's buffer as a prompt
 * often is, each line in brackets and "EINTR" for an interrupted read, and
 * ends at the end of input. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <pipeline/parser.h>

static void on_alarm(int sig) { (void)sig; }

int main(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    if (sigaction(SIGALRM, &sa, NULL) != 0)
        return 1;
    for (;;) {
        fputs(">", stdout);
        errno = 0;
        char *line = readLongString(stdin);
        if (line)
            printf("[%s]\n", line);
        else if (errno == EINTR)
            printf("EINTR\n");
        else
            return feof(stdin) ? 0 : 1;
        free(line);
        fflush(stdout);
    }
}
