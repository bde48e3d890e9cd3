#include "Descriptors.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>

namespace platform {

namespace {

std::size_t asSize(rlim_t v) {
    return v == RLIM_INFINITY || v > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(v);
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

}  // namespace platform
