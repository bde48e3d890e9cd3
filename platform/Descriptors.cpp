#include "Descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

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

bool descriptorsShort() {
    const std::size_t limit = descriptorLimit();
    if (limit == SIZE_MAX) return false;
    const std::size_t reserve = descriptorReserve(limit);
    if (const std::size_t open = kernelCount()) return open + reserve >= limit;
    // Descriptors are given out lowest first, so with none free below the
    // mark at most the reserve is left above it.
    if (limit <= reserve) return true;
    for (int fd = 0; fd <= 2; ++fd) {
        const int probe = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (probe < 0 && errno == EBADF) continue;
        if (probe < 0) return true;
        ::close(probe);
        return static_cast<std::size_t>(probe) >= limit - reserve;
    }
    const std::size_t open = openDescriptorCount();  // no standard descriptor to probe with
    return open == SIZE_MAX || open + reserve >= limit;
}

}  // namespace platform
