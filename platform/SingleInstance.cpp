#include "SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Bus.h"

namespace platform {

std::string NamedMutex::lockPath(const std::string& name) {
    std::string folder = runtimeFolder();
    if (folder.empty()) return {};
    std::string file;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_' || c == '.') {
            file += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            file += hex;
        }
    }
    return folder + file + ".lock";
}

NamedMutex::NamedMutex(const std::string& name) {
    std::string path = lockPath(name);
    if (path.empty()) return;
    // Close-on-exec: a program started from this one (the desktop opener)
    // must not keep the lock alive after this process ends.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        exists_ = errno == EWOULDBLOCK;
        ::close(fd);
        return;
    }
    fd_ = fd;
}

NamedMutex::~NamedMutex() { release(); }

void NamedMutex::release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
