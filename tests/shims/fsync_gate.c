/* A disk that a test holds still: loaded with LD_PRELOAD, it makes fsync and
 * fdatasync wait while the file named by TAVRIN_FSYNC_GATE exists. The first
 * call that waits creates that name + ".held", so the test knows a flush is
 * under way. The wait is bounded (two minutes): a test that dies with its
 * gate closed leaves no program hanging for good. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static void waitAtGate(void) {
    const char* gate = getenv("TAVRIN_FSYNC_GATE");
    if (!gate || access(gate, F_OK) != 0) return;
    char held[4096];
    snprintf(held, sizeof held, "%s.held", gate);
    int fd = open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    const struct timespec step = {0, 5 * 1000 * 1000};
    for (int i = 0; i < 120 * 200 && access(gate, F_OK) == 0; ++i) nanosleep(&step, NULL);
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    waitAtGate();
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    waitAtGate();
    return real(fd);
}
