/* SPDX-License-Identifier: ISC */
/* A command line cracked into a pipeline of stages, and running it. */
#ifndef PIPELINE_PIPELINE_H
#define PIPELINE_PIPELINE_H

#ifdef __cplusplus
extern "C" {
#endif
/* The shared library exports what is declared here and nothing else. */
#ifdef __GNUC__
#pragma GCC visibility push(default)
#endif

/* One command of a pipeline. */
struct clstage_rec {
    char *inname;             /* file for standard input (first stage only), or null */
    char *outname;            /* file for standard output (last stage only), or null */
    int argc;                 /* number of arguments */
    char **argv;              /* argc texts and a null; argv[0] is the command name */
    struct clstage_rec *next; /* the following stage, or null */
};
typedef struct clstage_rec *clstage;

struct pipeline_rec {
    char *cline;   /* the line that was cracked; owned by the pipeline */
    int length;    /* number of stages, at least 1 */
    clstage stage; /* the first stage */
};
typedef struct pipeline_rec *pipeline;

/* Parses `line` (taking ownership of it, also on failure). A blank line gives
 * one stage with no command name (argc 0, argv[0] null). On a syntax error,
 * or when memory runs out, prints one message naming the input line `lineno`
 * and returns null. */
pipeline crack_pipeline(char *line);

/* Runs every stage, joined by pipes, waits for all of them and returns the
 * last stage's status: its exit status, 128 + the signal number if a signal
 * ended it, 127 if its command was not found, 126 if it was found but could
 * not be executed, 1 if a redirection failed. 0 for a pipeline without a
 * command; -1 if the pipeline could not be set up, after one message that
 * names the input line `lineno` and the call that failed. */
int do_pipeline(pipeline pl);

/* Releases the pipeline with everything it owns, its line included. Accepts
 * null. */
void free_pipeline(pipeline pl);

#ifdef __GNUC__
#pragma GCC visibility pop
#endif
#ifdef __cplusplus
}
#endif

#endif
