// A disk a test holds still, for the test executable that includes this
// header (in one file only): its fsync is linked before the C library's, so
// the platform's flushes come here. While a FlushGate is closed, every flush
// (or only every folder's flush, so that files are placed and then wait)
// waits in it.
#pragma once

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace flushgate {
inline std::atomic<bool> closed{false};
inline std::atomic<bool> foldersOnly{false};
inline std::atomic<int> waiting{0};
}  // namespace flushgate

struct FlushGate {
    explicit FlushGate(bool onlyFolders = false) {
        flushgate::foldersOnly = onlyFolders;
        flushgate::closed = true;
    }
    ~FlushGate() { open(); }
    FlushGate(const FlushGate&) = delete;
    FlushGate& operator=(const FlushGate&) = delete;
    void open() { flushgate::closed = false; }
    // A flush waits in the gate now.
    bool holding() const { return flushgate::waiting > 0; }
};

extern "C" int fsync(int fd) {
    struct stat st {};
    const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    if (flushgate::closed && (folder || !flushgate::foldersOnly)) {
        ++flushgate::waiting;
        while (flushgate::closed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --flushgate::waiting;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}
