// SPDX-License-Identifier: ISC
// Random stream contents read through myline from a caller buffer of random
// starting size (none at all for 0). The sanitizers watch every access, as the
// buffer is exactly as large as myline is told. For input without zero bytes
// each line must equal getline's, each result must be its line's length, and
// the lines must rebuild the input.
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "slurp/myline.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose the starting size, up to a few growths' worth.
    size_t n = (data[0] | data[1] << 8) % 600;
    data += 2;
    size -= 2;

    std::string input(reinterpret_cast<const char *>(data), size);
    std::string copy = input;
    FILE *in = fmemopen(input.data(), input.size(), "r");
    FILE *oracle = fmemopen(copy.data(), copy.size(), "r");
    check(in != nullptr && oracle != nullptr);
    const bool plain = memchr(data, '\0', size) == nullptr;

    char *line = n > 0 ? static_cast<char *>(malloc(n)) : nullptr;
    char *theirs = nullptr;
    size_t theirs_n = 0;
    std::string rebuilt;
    for (;;) {
        const size_t got = myline(&line, &n, in);
        const ssize_t want = getline(&theirs, &theirs_n, oracle);
        if (got == static_cast<size_t>(-1)) {
            check(!plain || want == -1);
            break;
        }
        check(line != nullptr && got < n && line[got] == '\0');
        if (plain) {
            check(static_cast<ssize_t>(got) == want && memcmp(line, theirs, got) == 0);
            check(strlen(line) == got);
            rebuilt.append(line, got);
        }
    }
    check(!plain || rebuilt == input);

    free(line);
    free(theirs);
    (void)fclose(in);  // memory streams opened for reading: nothing to flush
    (void)fclose(oracle);
    return 0;
}
