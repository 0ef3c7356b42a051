// SPDX-License-Identifier: ISC
// crack_pipeline on arbitrary lines: no crash, leak or access out of bounds,
// and every pipeline it accepts has the shape its users rely on.
//
// glob is replaced by a stand-in (this program's definition takes the place
// of the C library's), so that patterns go through the expansion paths
// without walking the file system, and so that the patterns the parser builds
// can be checked.
#include <glob.h>
#include <stdio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pipeline/parser.h"
#include "pipeline/pipeline.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

}  // namespace

// Every backslash in a pattern escapes a character; the stand-in matches
// zero, one or two names, as the pattern's length decides.
extern "C" int glob(const char *pattern, int, int (*)(const char *, int), glob_t *g)
{
    size_t len = strlen(pattern);
    for (size_t i = 0; i < len; ++i)
        if (pattern[i] == '\\')
            check(pattern[++i] != '\0');
    size_t n = len % 3;
    if (n == 0)
        return GLOB_NOMATCH;
    g->gl_pathv = static_cast<char **>(calloc(n + 1, sizeof(char *)));
    if (!g->gl_pathv)
        return GLOB_NOSPACE;
    g->gl_pathc = n;
    for (size_t i = 0; i < n; ++i)
        g->gl_pathv[i] = strdup(pattern);
    return 0;
}

extern "C" void globfree(glob_t *g)
{
    for (size_t i = 0; g->gl_pathv && i < g->gl_pathc; ++i)
        free(g->gl_pathv[i]);
    free(g->gl_pathv);
    g->gl_pathv = nullptr;
    g->gl_pathc = 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parser's messages would flood the log; sanitizer reports go to
    // descriptor 2 directly and are kept.
    FILE *quiet = fopen("/dev/null", "w");
    if (quiet)
        stderr = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *line = static_cast<char *>(malloc(size + 1));
    if (!line)
        return 0;
    memcpy(line, data, size);
    line[size] = '\0';
    lineno = static_cast<int>(size);

    pipeline pl = crack_pipeline(line);
    if (pl) {
        check(pl->cline == line);
        check(pl->length >= 1);
        int stages = 0;
        for (clstage st = pl->stage; st; st = st->next, ++stages) {
            check(st->argv != nullptr && st->argc >= 0);
            check(st->argv[st->argc] == nullptr);
            for (int i = 0; i < st->argc; ++i)
                check(st->argv[i] != nullptr);
            check(!st->inname || stages == 0);
            check(!st->outname || !st->next);
            check(st->argc > 0 || (pl->length == 1 && !st->inname && !st->outname));
        }
        check(stages == pl->length);
    }
    free_pipeline(pl);
    return 0;
}
