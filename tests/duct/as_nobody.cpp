// SPDX-License-Identifier: ISC
// Runs a program as the user "nobody", so that permission checks apply to it
// as to an ordinary user even when the tests run as root.
// Usage: as_nobody PROGRAM [ARG...]. Exit status 125: could not change user.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: as_nobody PROGRAM [ARG...]\n");
        return 125;
    }
    if (getuid() == 0) {
        const passwd *pw = getpwnam("nobody");
        if (!pw) {
            fprintf(stderr, "as_nobody: no user named nobody\n");
            return 125;
        }
        if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) {
            perror("as_nobody");
            return 125;
        }
    }
    execv(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
