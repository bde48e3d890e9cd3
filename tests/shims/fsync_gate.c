/* A disk that a test holds still: loaded with LD_PRELOAD, it makes fsync and
 * fdatasync wait while the file named by TAVRIN_FSYNC_GATE exists (only for
 * files whose path holds TAVRIN_FSYNC_MATCH, when that is set). The first
 * call that waits creates that name + ".held", so the test knows a flush is
 * under way. The wait is bounded (two minutes): a test that dies with its
 * gate closed leaves no program hanging for good. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int matches(int fd) {
    const char* match = getenv("TAVRIN_FSYNC_MATCH");
    if (!match) return 1;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    return strstr(path, match) != NULL;
}

static void waitAtGate(int fd) {
    const char* gate = getenv("TAVRIN_FSYNC_GATE");
    if (!gate || access(gate, F_OK) != 0 || !matches(fd)) return;
    char held[4096];
    snprintf(held, sizeof held, "%s.held", gate);
    int mark = open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (mark >= 0) close(mark);
    const struct timespec step = {0, 5 * 1000 * 1000};
    for (int i = 0; i < 120 * 200 && access(gate, F_OK) == 0; ++i) nanosleep(&step, NULL);
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    waitAtGate(fd);
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    waitAtGate(fd);
    return real(fd);
}
