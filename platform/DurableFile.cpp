#include "DurableFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>  // renameat2
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "FileWork.h"

namespace platform {
namespace {

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string withoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder.empty() ? std::string(".") : folder;
}

FileStamp stampOf(const struct stat& st) {
    FileStamp s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::atomic<unsigned> g_counter{0};

// Temporary folders this process has made or found: the mkdir is done once
// per folder, not once per file.
std::mutex g_tempFoldersMu;
std::set<std::string> g_tempFolders;

bool tempFolderKnown(const std::string& tempFolder) {
    std::lock_guard<std::mutex> lk(g_tempFoldersMu);
    return g_tempFolders.count(tempFolder) != 0;
}

// What tells this run's temporary files from those of earlier ones: a random
// token in every name, beside the pid. A pid alone does not, since a restarted
// server may have the same one (pid 1 in a container, every time).
// Never destroyed: the sweep at start runs on a worker that may still be
// listing folders when exit begins.
const std::string& runToken() {
    static const std::string* const token = new std::string([] {
        unsigned long long v = 0;
        if (::getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v))
            v = static_cast<unsigned long long>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                (static_cast<unsigned long long>(::getpid()) << 40);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", v);
        return std::string(hex);
    }());
    return *token;
}

// A name of an earlier run. Without knowing every run, only what is sure:
// a writer that no longer runs, or this process's pid under another token.
bool staleTempName(const char* name, const std::string& own) {
    if (name[0] != 't' || std::strncmp(name, own.c_str(), own.size()) == 0) return false;
    char* end = nullptr;
    const long pid = std::strtol(name + 1, &end, 10);
    if (end == name + 1 || *end != '-' || pid <= 0) return false;
    if (pid == ::getpid()) return true;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// A process killed while writing leaves its temporary file behind. The first
// time this process uses a temporary folder it removes the files that are
// surely not of a writer still running; the sweep at start removes the rest.
void removeStaleTempFiles(const std::string& tempFolder) {
    {
        std::lock_guard<std::mutex> lk(g_tempFoldersMu);
        if (!g_tempFolders.insert(tempFolder).second) return;
    }
    DIR* dir = ::opendir(tempFolder.c_str());
    if (!dir) return;
    const std::string own = temporaryNamePrefix();
    while (dirent* e = ::readdir(dir))
        if (staleTempName(e->d_name, own)) ::unlinkat(::dirfd(dir), e->d_name, 0);
    ::closedir(dir);
}

bool isFolder(int dirFd, const dirent* e) {
    if (e->d_type != DT_UNKNOWN) return e->d_type == DT_DIR;
    struct stat st {};
    return ::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Every file of the temporary folder that this run did not make; 0 or more.
std::size_t removeOthersTempFiles(const std::string& tempFolder, const std::string& own) {
    DIR* dir = ::opendir(tempFolder.c_str());
    if (!dir) return 0;
    std::size_t removed = 0;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' || std::strncmp(e->d_name, own.c_str(), own.size()) == 0) continue;
        if (isFolder(::dirfd(dir), e)) continue;
        if (::unlinkat(::dirfd(dir), e->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

std::size_t sweepFolder(const std::string& folder, int depth, const std::string& own) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    std::size_t removed = 0;
    std::vector<std::string> subfolders;
    while (dirent* e = ::readdir(dir)) {
        const std::string_view n(e->d_name);
        if (n == "." || n == ".." || !isFolder(::dirfd(dir), e)) continue;
        if (isTempFolderName(n))
            removed += removeOthersTempFiles(folder + "/" + e->d_name, own);
        else if (depth > 0)
            subfolders.push_back(folder + "/" + e->d_name);
    }
    ::closedir(dir);
    for (const auto& sub : subfolders) removed += sweepFolder(sub, depth - 1, own);
    return removed;
}

// Makes the temporary folder when missing; 0 or the error.
int makeTempFolder(const std::string& tempFolder) {
    if (::mkdir(tempFolder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    removeStaleTempFiles(tempFolder);
    return 0;
}

}  // namespace

const std::string& temporaryNamePrefix() {
    // A child made by fork names its files with its own pid.
    thread_local pid_t pid = 0;
    thread_local std::string prefix;
    if (pid != ::getpid()) {
        pid = ::getpid();
        prefix = "t" + std::to_string(pid) + "-" + runToken() + "-";
    }
    return prefix;
}

std::size_t removeEarlierTempFiles(const std::string& folder, int depth) {
    return sweepFolder(withoutTrailingSlash(folder), depth, temporaryNamePrefix());
}

void startEarlierTempFilesSweep(std::vector<TempSweepRoot> roots) {
    startFileWork(
        [roots = std::move(roots)]() -> std::intptr_t {
            std::size_t removed = 0;
            for (const auto& r : roots) removed += removeEarlierTempFiles(r.folder, r.depth);
            return static_cast<std::intptr_t>(removed);
        },
        NullWindow, 0);
}

bool isTempFolderName(std::string_view name) {
    if (name.size() != TempFolderName.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char a = name[i], b = TempFolderName[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

FileStamp fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return fileStamp(st);
}

FileStamp fileStamp(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return {};
    return stampOf(st);
}

bool readWholeFile(const std::string& path, std::string& data, FileStamp* stamp) {
    data.clear();
    if (stamp) *stamp = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : (errno ? errno : EINVAL);
        ::close(fd);
        errno = e;
        return false;
    }
    if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            data.clear();
            errno = e;
            return false;
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    if (stamp) {
        // The stamp of the version the read began with; a file that changed
        // while it was read gets a stamp that matches no version at all.
        *stamp = stampOf(st);
        struct stat after {};
        if (::fstat(fd, &after) != 0 || !(stampOf(after) == *stamp) ||
            after.st_size != static_cast<off_t>(data.size()))
            stamp->size = -1;
    }
    ::close(fd);
    return true;
}

bool syncFolder(const std::string& folder) {
    int fd = ::open(withoutTrailingSlash(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync folders
    ::close(fd);
    return ok;
}

DurableFile::DurableFile(const std::string& folder) {
    std::string tempFolder = withoutTrailingSlash(folder) + "/" + std::string(TempFolderName);
    // A folder made before may have been removed since (by hand): then the
    // file cannot be created, and the folder is made again.
    bool known = tempFolderKnown(tempFolder);
    if (!known) {
        if (int err = makeTempFolder(tempFolder); err != 0) {
            error_ = err;
            failed_ = true;
            return;
        }
    }
    auto ticks = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath_ = tempFolder + "/" + temporaryNamePrefix() + std::to_string(g_counter.fetch_add(1)) + "-" +
                    std::to_string(ticks % 1000000007ULL);
        fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ >= 0) return;
        if (errno == ENOENT && known) {
            known = false;
            if (int err = makeTempFolder(tempFolder); err != 0) {
                error_ = err;
                failed_ = true;
                tempPath_.clear();
                return;
            }
            continue;
        }
        if (errno != EEXIST) break;
    }
    error_ = errno;
    failed_ = true;
    tempPath_.clear();
}

DurableFile::~DurableFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !tempPath_.empty()) ::unlink(tempPath_.c_str());
}

bool DurableFile::fail(int err) {
    error_ = err ? err : EIO;
    failed_ = true;
    return false;
}

bool DurableFile::write(std::string_view data) {
    if (!ok()) return false;
    if (!writeAll(fd_, data)) return fail(errno);
    synced_ = false;
    return true;
}

bool DurableFile::write(const Content& content) {
    if (!ok()) return false;
    if (const int err = writeContent(fd_, content)) return fail(err);
    synced_ = false;
    return true;
}

bool DurableFile::flush() {
    if (!ok()) {
        if (error_ == 0) error_ = EBADF;
        return false;
    }
    if (!synced_) {
        if (::fsync(fd_) != 0) return fail(errno);
        synced_ = true;
    }
    return true;
}

void DurableFile::finish(const std::string& path) {
    committed_ = true;
    struct stat st {};
    if (fd_ >= 0 ? ::fstat(fd_, &st) == 0 : ::stat(path.c_str(), &st) == 0) stamp_ = stampOf(st);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool DurableFile::sync() { return flush(); }

bool DurableFile::syncAndClose() {
    if (closed_) return ok();
    if (!flush()) return false;
    const int fd = fd_;
    fd_ = -1;
    closed_ = true;
    if (::close(fd) != 0 && errno != EINTR) return fail(errno);
    return true;
}

bool DurableFile::place(const std::string& path, bool replace) {
    if (replace && closed_) return fail(EBADF);  // a replacement keeps the old bits: needs its descriptor
    if (replace && ok()) {
        // The new version keeps the old one's permission bits.
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) && ::fchmod(fd_, old.st_mode & 07777) == 0)
            synced_ = false;
    }
    if (!flush()) return false;
    if (replace) {
        if (::rename(tempPath_.c_str(), path.c_str()) != 0) return fail(errno);
        finish(path);
        return true;
    }
    if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        finish(path);
        return true;
    }
    if (errno == EEXIST) {
        error_ = EEXIST;  // not a failure of the file: another name may be tried
        return false;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return fail(errno);
    // A file system without RENAME_NOREPLACE: a hard link never replaces.
    if (::link(tempPath_.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) {
            error_ = EEXIST;
            return false;
        }
        return fail(errno);
    }
    ::unlink(tempPath_.c_str());
    finish(path);
    return true;
}

// The file is in place once renamed; without the folder's flush it may not
// survive a power loss, which the caller must hear about.
bool DurableFile::commit(const std::string& path) {
    if (!ok()) return flush();  // reports the earlier failure
    if (!place(path, true)) return false;
    if (!syncFolder(folderOf(path))) {
        error_ = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool DurableFile::commitNew(const std::string& path) {
    if (!place(path, false)) return false;
    if (!syncFolder(folderOf(path))) {
        error_ = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool appendFileDurably(const std::string& path, const Content& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        created = fd >= 0;
    }
    if (fd < 0) return false;
    // Where the file ended before: a failed append is cut back to it, so that
    // what follows never runs on from half an entry.
    struct stat before {};
    if (::fstat(fd, &before) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return false;
    }
    int e = writeContent(fd, data);
    if (e == 0 && ::fsync(fd) != 0) e = errno ? errno : EIO;
    if (e == 0 && created && !syncFolder(folderOf(path))) e = errno ? errno : EIO;
    if (e != 0) {
        if (created) {
            ::unlink(path.c_str());
        } else if (::ftruncate(fd, before.st_size) == 0) {
            ::fsync(fd);
        }
    }
    ::close(fd);
    if (e != 0) errno = e;
    return e == 0;
}

bool writeFileDurably(const std::string& path, std::string_view data, FileStamp* stamp) {
    DurableFile f(folderOf(path));
    if (!f.write(data) || !f.commit(path)) {
        errno = f.error() ? f.error() : EIO;
        return false;
    }
    if (stamp) *stamp = f.stamp();
    return true;
}

}  // namespace platform
