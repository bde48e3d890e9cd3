/* A disk that fills: loaded with LD_PRELOAD, it lets a file whose path holds
 * TAVRIN_FULL_MATCH grow to TAVRIN_FULL_BYTES and no further. A write that
 * would pass that size is cut there (a short write) and the next one fails
 * with ENOSPC, as on a full file system; cutting the file back makes room.
 * Only write() is held: the test's messages are small enough to be written
 * from memory. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* How many bytes the file behind fd may still take; -1 for no limit. */
static long long room(int fd) {
    const char* match = getenv("TAVRIN_FULL_MATCH");
    const char* cap = getenv("TAVRIN_FULL_BYTES");
    char link[64], path[4096];
    struct stat st;
    if (!match || !cap) return -1;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return -1;
    path[n] = 0;
    if (!strstr(path, match) || fstat(fd, &st) != 0) return -1;
    const long long left = atoll(cap) - (long long)st.st_size;
    return left > 0 ? left : 0;
}

ssize_t write(int fd, const void* data, size_t size) {
    static ssize_t (*real)(int, const void*, size_t);
    if (!real) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    const long long left = room(fd);
    if (left == 0 && size > 0) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, data, left > 0 && (long long)size > left ? (size_t)left : size);
}
