// The named mutex that keeps one copy of a program per user: an exclusive
// flock on a lock file in the user's private runtime folder (Bus.h), named
// from the mutex name. The lock is held until release() or the object's end;
// the system drops it with the process however that ends. The lock file
// itself stays (removing it would race with a copy that is opening it).
//
// Main thread only; nothing here throws.
#pragma once

#include <string>

namespace platform {

class NamedMutex {
public:
    // Creates the lock file when missing and tries to take the lock at once.
    explicit NamedMutex(const std::string& name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Another process holds the lock (the mutex "already exists").
    bool alreadyExists() const { return exists_; }
    // This object holds the lock. Neither this nor alreadyExists() when the
    // lock file could not be opened: the caller then runs without the rule.
    bool owned() const { return fd_ >= 0; }
    void release();

    // The lock file's path for a mutex name ("" without a runtime folder):
    // the name percent-encoded except for letters, digits, "-", "_" and ".".
    static std::string lockPath(const std::string& name);

private:
    int fd_ = -1;
    bool exists_ = false;
};

}  // namespace platform
