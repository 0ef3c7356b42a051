/* SPDX-License-Identifier: ISC */
/* Reading whole lines of any length into a buffer that grows as needed. */
#ifndef SLURP_MYLINE_H
#define SLURP_MYLINE_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif
/* The shared library exports what is declared here and nothing else. */
#ifdef __GNUC__
#pragma GCC visibility push(default)
#endif

/* Reads one line from `stream` into `*lineptr`, a heap block of `*n` bytes
 * that is allocated (when `*lineptr` is null) or grown by doubling as the line
 * requires; the caller frees it. The line keeps its newline and is followed by
 * a zero byte. Returns its length, or (size_t)-1 at the end of the input
 * (errno untouched) or on failure (errno set). See myline(3). */
size_t myline(char **lineptr, size_t *n, FILE *stream);

#ifdef __GNUC__
#pragma GCC visibility pop
#endif
#ifdef __cplusplus
}
#endif

#endif
