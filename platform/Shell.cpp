#include "Shell.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

extern char** environ;

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string withoutTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(fs::status(p, ec));
}

bool sameEntry(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

// True when inner is outer or lies below it (a copy into itself never ends).
bool isWithin(const fs::path& inner, const fs::path& outer) {
    std::error_code ec;
    fs::path i = fs::weakly_canonical(inner, ec);
    if (ec) return true;
    fs::path o = fs::weakly_canonical(outer, ec);
    if (ec) return true;
    auto [oe, ie] = std::mismatch(o.begin(), o.end(), i.begin(), i.end());
    return oe == o.end();
}

// Where a copy or move of source lands: into destination when that is a folder.
fs::path targetFor(const fs::path& source, const fs::path& destination) {
    if (isDirectory(destination)) return destination / source.filename();
    return destination;
}

bool copyOne(const fs::path& source, const fs::path& destination) {
    const fs::path target = targetFor(source, destination);
    if (pathExists(target) && sameEntry(source, target)) return false;
    std::error_code ec;
    if (isDirectory(source)) {
        if (isWithin(target, source)) return false;
        fs::copy(source, target,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing |
                     fs::copy_options::copy_symlinks,
                 ec);
    } else {
        fs::copy(source, target, fs::copy_options::overwrite_existing | fs::copy_options::copy_symlinks,
                 ec);
    }
    return !ec;
}

bool moveOne(const fs::path& source, const fs::path& destination) {
    const fs::path target = targetFor(source, destination);
    if (pathExists(target) && sameEntry(source, target)) return false;
    if (isDirectory(source) && isWithin(target, source)) return false;
    std::error_code ec;
    if (!pathExists(target) || !isDirectory(target)) {
        fs::rename(source, target, ec);  // replaces a file that stands there
        if (!ec) return true;
        if (ec != std::errc::cross_device_link) return false;
    }
    // Another file system, or a folder merged into an existing one.
    if (!copyOne(source, target)) return false;
    fs::remove_all(source, ec);
    return !ec;
}

bool renameOne(const fs::path& source, const fs::path& destination) {
    if (destination.empty()) return false;
    if (source == destination) return true;
    if (pathExists(destination)) return false;  // never replaces, as the shell does not
    std::error_code ec;
    fs::rename(source, destination, ec);
    return !ec;
}

bool deleteOne(const fs::path& source) {
    std::error_code ec;
    auto removed = fs::remove_all(source, ec);
    return !ec && removed > 0;
}

bool applyOne(FileOp op, const fs::path& source, const fs::path& destination) {
    switch (op) {
        case FileOp::Delete: return deleteOne(source);
        case FileOp::Rename: return renameOne(source, destination);
        case FileOp::Copy: return !destination.empty() && copyOne(source, destination);
        case FileOp::Move: return !destination.empty() && moveOne(source, destination);
    }
    return false;
}

// The regular files of source's folder whose names match its last name.
std::vector<fs::path> expandPattern(const fs::path& source) {
    std::vector<fs::path> out;
    const std::string pattern = source.filename().string();
    fs::path folder = source.parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        if (!it->is_regular_file(sec)) continue;
        const std::string name = it->path().filename().string();
        if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) out.push_back(it->path());
    }
    return out;
}

std::string findOnPath(const std::string& program) {
    const char* env = std::getenv("PATH");
    std::string path = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t from = 0;
    for (;;) {
        std::size_t colon = path.find(':', from);
        std::string dir = path.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos) return std::string();
        from = colon + 1;
    }
}

}  // namespace

bool fileOperation(FileOp op, const std::string& source, const std::string& destination) {
    try {
        if (source.empty()) return false;
        const fs::path src = withoutTrailingSlash(source);
        const fs::path dst = destination.empty() ? fs::path() : fs::path(withoutTrailingSlash(destination));
        if (pathExists(src)) return applyOne(op, src, dst);

        const std::string last = src.filename().string();
        if (op == FileOp::Rename || last.find_first_of("*?") == std::string::npos) return false;
        const std::vector<fs::path> matches = expandPattern(src);
        if (matches.empty()) return false;
        bool ok = true;
        for (const fs::path& m : matches) ok = applyOne(op, m, dst) && ok;
        return ok;
    } catch (...) {
        return false;  // allocation failures and the like: the operation failed
    }
}

bool shellOpen(const std::string& target) {
    const std::string opener = findOnPath("xdg-open");
    if (opener.empty()) return false;

    // Everything the children need is prepared here: after fork() only
    // async-signal-safe calls are made, as the process may have other threads.
    std::string arg0 = "xdg-open";
    std::string arg1 = target;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const int readEnd = report[0], writeEnd = report[1];

    // Two forks: the middle process exits at once and is reaped here, so the
    // opener is adopted by init and never becomes our zombie. The pipe tells
    // whether exec succeeded: it closes unread on exec, or carries errno.
    pid_t middle = ::fork();
    if (middle < 0) {
        ::close(readEnd);
        ::close(writeEnd);
        return false;
    }
    if (middle == 0) {
        pid_t opener_pid = ::fork();
        if (opener_pid < 0) ::_exit(1);
        if (opener_pid > 0) ::_exit(0);
        ::setsid();
        // Our ignored SIGPIPE and blocked signals would otherwise survive exec.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            if (devnull != 0) ::close(devnull);
        }
        // No descriptor of ours (listening sockets above all) may live on in
        // the opener or in the program it starts.
        if (writeEnd > 3) ::close_range(3, static_cast<unsigned>(writeEnd - 1), 0);
        ::close_range(static_cast<unsigned>(writeEnd + 1), ~0U, 0);
        ::execve(opener.c_str(), argv, environ);
        int err = errno;
        [[maybe_unused]] ssize_t w = ::write(writeEnd, &err, sizeof err);
        ::_exit(127);
    }

    ::close(writeEnd);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    bool started = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (started) {
        int err = 0;
        ssize_t n;
        while ((n = ::read(readEnd, &err, sizeof err)) < 0 && errno == EINTR) {
        }
        started = n == 0;
    }
    ::close(readEnd);
    return started;
}

}  // namespace platform
