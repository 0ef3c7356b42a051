/* SPDX-License-Identifier: ISC */
/* The library used from C, through its header alone. */
#include <stdint.h>

#include "lwp/lwp.h"

static char *out;
static int room;

static void take_turns(void *arg)
{
    int id = (int)(intptr_t)arg;
    for (int i = 0; i < 4 - id; i++) {
        if (room > 1) {
            *out++ = (char)('0' + id);
            *out = '\0';
            room--;
        }
        lwp_yield();
    }
    lwp_exit();
}

/* Two threads taking turns write "12121" into trace; 0, or -1 if a thread
 * could not be made. */
int run_from_c(char *trace, int size)
{
    out = trace;
    room = size;
    if (new_lwp(take_turns, (void *)(intptr_t)1, 2048) < 0)
        return -1;
    if (new_lwp(take_turns, (void *)(intptr_t)2, 2048) < 0)
        return -1;
    lwp_start();
    return 0;
}
