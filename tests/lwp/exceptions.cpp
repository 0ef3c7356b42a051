// Threads that throw and catch exceptions between their yields, and the
// caller of lwp_start doing the same afterwards. Unwinding must stay within
// each thread's stack; the address sanitizer must know which stack is the
// current one and so stay silent. Prints how many were caught.
#include <cstdio>
#include <stdexcept>

#include "lwp/lwp.h"

namespace {

int caught;

__attribute__((noinline)) void fail_at(int depth)
{
    char frame[64];
    snprintf(frame, sizeof frame, "%d", depth);
    if (depth == 0)
        throw std::runtime_error(frame);
    fail_at(depth - 1);
}

void thrower(void *)
{
    for (int i = 0; i < 3; i++) {
        try {
            fail_at(i * 4);
        } catch (const std::exception &) {
            caught++;
        }
        lwp_yield();
    }
}

}  // namespace

int main()
{
    for (int i = 0; i < 3; i++) {
        if (new_lwp(thrower, nullptr, 4096) < 0) {
            perror("new_lwp");
            return 1;
        }
    }
    lwp_start();
    try {
        fail_at(2);
    } catch (const std::exception &) {
        caught++;
    }
    printf("caught %d\n", caught);
    return 0;
}
