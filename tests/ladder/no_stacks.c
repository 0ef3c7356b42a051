/* Preloaded into a program under test: every mapping requested as a stack,
 * from the NO_STACKS_FROM-th on (1 if unset), fails for want of memory, as
 * it does when memory runs out. Other mappings are left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    static void *(*real)(void *, size_t, int, int, int, off_t);
    static long stacks;
    if (flags & MAP_STACK) {
        const char *from = getenv("NO_STACKS_FROM");
        if (++stacks >= (from ? atol(from) : 1)) {
            errno = ENOMEM;
            return MAP_FAILED;
        }
    }
    if (!real)
        real = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
    return real(addr, length, prot, flags, fd, offset);
}
