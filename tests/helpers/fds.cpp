// SPDX-License-Identifier: ISC
// Prints the descriptors it was started with, separated by blanks, so tests
// can see what a command inherits.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d) {
        perror("/proc/self/fd");
        return 1;
    }
    const char *sep = "";
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == dirfd(d))
            continue;
        printf("%s%s", sep, e->d_name);
        sep = " ";
    }
    printf("\n");
    closedir(d);
    return 0;
}
