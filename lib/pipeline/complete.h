// SPDX-License-Identifier: ISC
// Completion of the word before the cursor, for the line editor (not
// installed).
#pragma once

#include <cstddef>

namespace pipeline_internal {

// The names that may complete the word that ends at the cursor, read the way
// crack_pipeline reads words: the first word of a stage (not a redirection's
// file) is a command looked for along PATH, unless it holds a slash; any
// other word is a file name.
struct Completion {
    char quote;    // the quote ' or " the word is open in at the cursor, else 0
    size_t typed;  // bytes of the word's last path part typed (quotes removed)
    char **names;  // last path parts that start with it, sorted, no two alike; a directory's ends in /
    size_t count;
};

// Finds the completions of the word that ends at `point` in `line` (`len`
// bytes). False when memory or descriptors ran out.
bool find_completions(const char *line, size_t point, Completion *c);
void free_completions(Completion *c);

// Bytes of `name` from `from` to `to`, written so that crack_pipeline reads
// them back as they are inside the word's quote (`quote`, or none), into
// `out`, which has room for four times as many and a terminating byte.
// Returns the length written.
size_t quote_name(const char *name, size_t from, size_t to, char quote, char *out);

}  // namespace pipeline_internal
