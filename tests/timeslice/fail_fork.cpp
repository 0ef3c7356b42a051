// Preloaded into a program under test (LD_PRELOAD) to make its Nth call of
// fork() fail with EAGAIN, N taken from FAIL_FORK_AT: the way to reach the
// handling of a failed fork on a machine where fork does not fail.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" pid_t fork(void)
{
    static int calls = 0;
    const char *at = getenv("FAIL_FORK_AT");
    if (at != nullptr && ++calls == atoi(at)) {
        errno = EAGAIN;
        return -1;
    }
    using fork_fn = pid_t (*)();
    static auto real_fork = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));
    return real_fork();
}
