// Helpers shared by the test suites: temporary folders, loop stepping with a
// bound, and child processes (real clients and peers) on loopback.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// 2026-03-08 06:45:09 local time as a date-time of the system (days since
// 1899-12-30): a fixed moment for tests that set the clock.
double fixedLocalTime();

// A fresh folder under the system's temporary folder, removed with its
// contents on destruction. path() ends in "/".
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Points XDG_DATA_HOME at a temporary folder for the life of the object, so the
// base folder of the server lies inside it; restores the old value after.
class ScopedDataHome {
public:
    ScopedDataHome();
    ~ScopedDataHome();
    const std::string& path() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string old_;
    bool hadOld_ = false;
};

// Steps the process's message loop until pred() holds; false after timeoutMs.
bool stepUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

// A child process whose standard output and error are collected; the loop is
// stepped while waiting, so servers of this process keep serving it.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, const std::string& stdinText = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Steps the loop until the child exits; false (and the child killed) on timeout.
    bool wait(int timeoutMs = 30000);
    int exitCode() const { return exitCode_; }
    const std::string& output() const { return out_; }  // stdout and stderr together

private:
    void drain();
    int pid_ = -1;
    int outFd_ = -1;
    int exitCode_ = -1;
    bool exited_ = false;
    std::string out_;
};

// Debian's python3, which has the packaged modules the tests use.
std::string python();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace testsupport
