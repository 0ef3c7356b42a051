/* SPDX-License-Identifier: ISC */
/* Echoes standard input as "<length>:<line>" for every line myline returns:
 * a C program built against the header and libslurp.a. */
#include <stdio.h>
#include <stdlib.h>

#include "slurp/myline.h"

int main(void)
{
    char *line = NULL;
    size_t n = 0;
    size_t len;

    while ((len = myline(&line, &n, stdin)) != (size_t)-1)
        printf("%zu:%s", len, line);
    free(line);
    return ferror(stdin) ? 1 : 0;
}
