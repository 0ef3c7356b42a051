// SPDX-License-Identifier: ISC
// Messages about the input line being handled (not installed).
#pragma once

namespace pipeline_internal {

// Says on standard error that `call` failed while line `lineno` was handled,
// with the reason from errno, in the form of a syntax error:
// "line N: call: reason".
void line_failed(const char *call);

}  // namespace pipeline_internal
