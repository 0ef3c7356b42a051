// SPDX-License-Identifier: ISC
// What the library's own files share (not installed).
#pragma once

#include <cstddef>

namespace pipeline_internal {

// Makes room for `need` items of `size` bytes in `block`, which has room for
// `*cap`, doubling from `first`. Returns the block, perhaps moved, with
// `*cap` updated; null with errno ENOMEM, the block and `*cap` untouched,
// when the size would overflow or memory runs out.
void *grow(void *block, size_t *cap, size_t need, size_t size, size_t first);

// Says on standard error that `call` failed while line `lineno` was handled,
// with the reason from errno, in the form of a syntax error:
// "line N: call: reason".
void line_failed(const char *call);

}  // namespace pipeline_internal
