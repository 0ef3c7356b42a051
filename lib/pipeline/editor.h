// SPDX-License-Identifier: ISC
// The line editor readLongString uses at a terminal (not installed).
#pragma once

#include <cstddef>
#include <cstdio>

namespace pipeline_internal {

// What became of a line read with the editor.
enum class Edited {
    line,         // entered: the text is terminated and the caller's
    end,          // end of input: feof(stream) is set
    interrupted,  // a signal: the text typed so far is kept for the next call, unless it was the interrupt key
    failed,       // a read error (errno saved by the caller): ferror(stream) is set
    no_memory,    // the line entered does not fit in memory and is dropped
    not_edited,   // the stream is no terminal to edit on now: read it as any other
    typed_ahead,  // a line typed ahead, shown already: read it as any other, then remember_line
};

// The line typed so far, in a block from malloc.
struct Typed {
    char *text;
    size_t len, cap;
};

// Reads one line from `stream` with the editor when both it and standard
// output are the same terminal, in its usual cooked mode with echo, and TERM
// names a terminal that is not dumb; `typed` holds what an earlier call left
// (a line a signal interrupted) and is taken over. With `failed`, `*err`
// says why.
Edited edit_line(FILE *stream, Typed *typed, int *err);

// Adds a line entered to the history the editor recalls.
void remember_line(const char *line);

// Makes `fd` blocking again if a program we ran left it non-blocking. True if
// it was non-blocking and is blocking now.
bool make_blocking(int fd);

}  // namespace pipeline_internal
