/* SPDX-License-Identifier: ISC */
/* A program from outside the project, built against the installed libraries
 * by CI: the first line of standard input, read with myline, is cracked and
 * run as a pipeline from inside a user-level thread. Exits with the
 * pipeline's status. */
#include <stdio.h>
#include <string.h>

#include <lwp/lwp.h>
#include <pipeline/parser.h>
#include <pipeline/pipeline.h>
#include <slurp/myline.h>
#include <smalltools/version.h>

#if !defined(SMALLTOOLS_VERSION_MAJOR) || !defined(SMALLTOOLS_VERSION_MINOR) || \
    !defined(SMALLTOOLS_VERSION_PATCH)
#error "<smalltools/version.h> does not give the libraries' version"
#endif

static int status = 1;

static void run_line(void *line)
{
    pipeline pl = crack_pipeline(line);
    if (pl)
        status = do_pipeline(pl);
    free_pipeline(pl);
}

int main(void)
{
    char *line = NULL;
    size_t n = 0;

    if (myline(&line, &n, stdin) == (size_t)-1) {
        perror("myline");
        return 1;
    }
    line[strcspn(line, "\n")] = '\0';
    lineno = 1;
    if (new_lwp(run_line, line, 16384) < 0) {
        perror("new_lwp");
        return 1;
    }
    lwp_start();
    return status;
}
