/* SPDX-License-Identifier: ISC */
/* Reading command lines, and the line counter used in messages. */
#ifndef PIPELINE_PARSER_H
#define PIPELINE_PARSER_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif
/* The shared library exports what is declared here and nothing else. */
#ifdef __GNUC__
#pragma GCC visibility push(default)
#endif

/* Number of the input line being handled (from 1); syntax errors name it.
 * The caller advances it after each line. */
extern int lineno;

/* Reads one line of any length from `stream` and returns it without its
 * newline in newly allocated memory (the caller frees it, or hands it to
 * crack_pipeline). A last line without a newline is returned too. Returns
 * null when no line could be read:
 *  - at end of input, feof(stream) is true and errno is left as it was;
 *  - when a signal interrupted the read, errno is EINTR and the stream's
 *    error indicator is clear, so the next call reads normally; what was
 *    already read of the line is kept for that call unless the stream is a
 *    terminal, where an interrupt abandons the line being typed;
 *  - after a read error, errno tells why and ferror(stream) is true;
 *  - when memory runs out, errno is ENOMEM and the line is dropped: the rest
 *    of it is read and discarded, by the next call if a signal interrupted
 *    this one. At the end of input feof(stream) is true as well.
 * A stream left non-blocking by another program is made blocking again. */
char *readLongString(FILE *stream);

#ifdef __GNUC__
#pragma GCC visibility pop
#endif
#ifdef __cplusplus
}
#endif

#endif
