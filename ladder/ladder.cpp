// SPDX-License-Identifier: ISC
// ladder: five user-level threads print a staircase of numbers, yielding to
// one another after every line.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "lwp/lwp.h"

namespace {

constexpr int kThreads = 5;
constexpr size_t kStackSize = 2048;  // machine words
constexpr int kFieldWidth = 5;       // columns per unit of a thread's number

// The errno of the first write to standard output that failed, 0 while none
// has. Kept here because a thread cannot end the program, and errno would
// not survive the library's calls until the end.
int output_errno;

// Notes the result of an output call: negative when a write failed.
void check_output(int result)
{
    if (result < 0 && output_errno == 0)
        output_errno = errno;
}

// The body of every thread: its number, right-aligned in a field five times
// as wide, on as many lines as the number says. A thread loses the processor
// only in lwp_yield and lwp_exit, so each line is written whole.
void indentnum(void *num)
{
    int howfar = static_cast<int>(reinterpret_cast<intptr_t>(num));
    for (int i = 0; i < howfar; i++) {
        check_output(printf("%*d\n", howfar * kFieldWidth, howfar));
        lwp_yield();
    }
    lwp_exit();
}

}  // namespace

// The scheduling of "-z": always the first live thread.
extern "C" int AlwaysZero(void)
{
    return 0;
}

int main(int argc, char *argv[])
{
    // Every argument must be "-z"; those before a bad one have taken effect.
    for (int i = 1; i < argc; i++) {
        if (std::string_view(argv[i]) == "-z") {
            lwp_set_scheduler(AlwaysZero);
        } else {
            fprintf(stderr, "%s: unknown option\n", argv[i]);
            exit(-1);
        }
    }

    check_output(puts("Launching LWPS"));

    // A thread that cannot be made would silently drop its lines, and the
    // run would still end as a success.
    for (int k = 1; k <= kThreads; k++) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the number is carried, never dereferenced
        if (new_lwp(indentnum, reinterpret_cast<void *>(static_cast<intptr_t>(k)), kStackSize) == -1) {
            perror("new_lwp");
            exit(1);
        }
    }

    lwp_start();
    check_output(puts("Back from LWPS."));
    // Output to a file is still buffered here; a full disk shows only now.
    check_output(fflush(stdout));
    if (output_errno != 0) {
        errno = output_errno;
        perror("stdout");
        return 1;
    }
    return 0;
}
