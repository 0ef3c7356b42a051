/* SPDX-License-Identifier: ISC */
/* The headers must be usable from C: this file is compiled as C. */
#include "pipeline/parser.h"
#include "pipeline/pipeline.h"

#include <string.h>

int c_stage_count(const char *text)
{
    char *line;
    FILE *in = fmemopen((void *)text, strlen(text), "r");
    int count = -1;
    if (!in)
        return -1;
    line = readLongString(in);
    fclose(in);
    if (line) {
        pipeline pl = crack_pipeline(line);
        clstage st;
        if (pl) {
            count = 0;
            for (st = pl->stage; st; st = st->next)
                count++;
            if (count != pl->length)
                count = -2;
        }
        free_pipeline(pl);
    }
    return count;
}
