#include "Descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace platform {

namespace {

std::size_t asSize(rlim_t v) {
    return v == RLIM_INFINITY || v > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(v);
}

// The kernel (Linux 6.2 on) gives the number of open descriptors as the
// size of /proc/self/fd; 0 where it does not (a process always has some).
std::size_t kernelCount() {
    struct stat st {};
    if (::stat("/proc/self/fd", &st) != 0 || st.st_size <= 0) return 0;
    return static_cast<std::size_t>(st.st_size);
}

}  // namespace

std::size_t raiseDescriptorLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return descriptorLimit();
    if (rl.rlim_cur != rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    return descriptorLimit();
}

std::size_t descriptorLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return SIZE_MAX;
    return asSize(rl.rlim_cur);
}

std::size_t openDescriptorCount() {
    if (const std::size_t n = kernelCount()) return n;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return SIZE_MAX;
    std::size_t n = 0;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n > 0 ? n - 1 : 0;  // not the one the count itself held
}

// 64 covers what the program needs beside its sessions at any time: the log
// file, Qt's and the loop's own descriptors, the name lookups' and the agent's
// sockets, and the temporary files and folders of a group commit. A sixteenth
// of the limit grows with the number of sessions a larger limit lets in, each
// of which may open files for its delivery or its mailbox at once.
std::size_t descriptorReserve(std::size_t limit) { return std::max<std::size_t>(64, limit / 16); }

namespace {

std::int64_t coarseMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Without the kernel's count, a listing is the only exact answer, and its
// cost grows with the number open: too much for every accept near the limit.
// So a listing's margin is spent instead. When it finds m descriptors free
// beyond the reserve, the next m - 1 questions are answered "not short"
// without one, as each may be followed by an accept. Descriptors opened
// elsewhere in between are what the reserve is for, and a listing at least
// every quarter second catches up with them. A "short" is never reused: a
// held listener is freed by a fresh count.
bool shortByListing(std::size_t limit, std::size_t reserve) {
    static std::mutex m;
    static std::size_t forLimit = 0, left = 0;
    static std::int64_t until = 0;
    const std::int64_t now = coarseMs();
    std::lock_guard lock(m);
    if (left > 0 && forLimit == limit && now < until) {
        --left;
        return false;
    }
    left = 0;
    const std::size_t open = openDescriptorCount();
    if (open == SIZE_MAX || open + reserve >= limit) return true;
    forLimit = limit;
    left = limit - open - reserve - 1;
    until = now + 250;
    return false;
}

}  // namespace

bool descriptorsShort() {
    const std::size_t limit = descriptorLimit();
    if (limit == SIZE_MAX) return false;
    const std::size_t reserve = descriptorReserve(limit);
    if (const std::size_t open = kernelCount()) return open + reserve >= limit;
    if (limit <= reserve) return true;
    // Descriptors are given out lowest first, so with none free below the
    // mark at most the reserve is left above it: short, without a listing.
    // A free one below the mark says nothing of how many are held above it.
    for (int fd = 0; fd <= 2; ++fd) {
        const int probe = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (probe < 0 && errno == EBADF) continue;
        if (probe < 0) return true;
        ::close(probe);
        if (static_cast<std::size_t>(probe) >= limit - reserve) return true;
        break;
    }
    return shortByListing(limit, reserve);
}

}  // namespace platform
