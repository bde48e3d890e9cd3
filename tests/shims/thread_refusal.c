/* Preloaded into a test: pthread_create fails with EAGAIN, as under a pids
 * cgroup or RLIMIT_NPROC, once the threads the test allows are made.
 * tavrinShimAllowThreads(n): n more threads; -1 (the start): no limit.
 * For a whole program: none while the file TAVRIN_REFUSE_THREADS_WHILE names
 * exists. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <unistd.h>

static atomic_long allowed = -1;

void tavrinShimAllowThreads(long n) { atomic_store(&allowed, n); }

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    if (!real) real = (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(RTLD_NEXT, "pthread_create");
    const char* flag = getenv("TAVRIN_REFUSE_THREADS_WHILE");
    if (flag && access(flag, F_OK) == 0) return EAGAIN;
    long n = atomic_load(&allowed);
    while (n >= 0) {
        if (n == 0) return EAGAIN;
        if (atomic_compare_exchange_weak(&allowed, &n, n - 1)) break;
    }
    return real(thread, attr, start, arg);
}
