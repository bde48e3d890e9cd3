#include "DataU1_MailboxListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "DataU1_Internal.h"

namespace datau1 {
namespace {

// How far the folder's last change must lie before the read for the listing
// to be remembered. File times come from a coarse clock (a few milliseconds
// per tick here); a file system that keeps whole seconds only shows a
// nanosecond part of 0, and then a second must pass.
constexpr std::int64_t kFineSlackNs = 50'000'000;
constexpr std::int64_t kCoarseSlackNs = 2'000'000'000;
// Listings kept at most; the least recently used one goes first.
constexpr std::size_t kMaxListings = 256;

std::int64_t ns(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

struct FolderKey {
    dev_t dev;
    ino_t ino;
    bool operator==(const FolderKey&) const = default;
};

struct FolderKeyHash {
    std::size_t operator()(const FolderKey& k) const {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(k.ino) * 1000003u ^ static_cast<std::uint64_t>(k.dev));
    }
};

struct Listing {
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::uint64_t lastUse = 0;
    std::vector<MailboxFile> files;
};

struct Cache {
    std::unordered_map<FolderKey, Listing, FolderKeyHash> listings;
    std::uint64_t uses = 0;
};

Cache& cache() {
    static Cache c;
    return c;
}

bool settled(const struct stat& st, std::int64_t readStartNs) {
    const std::int64_t m = ns(st.st_mtim), c = ns(st.st_ctim);
    const bool wholeSeconds = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0;
    const std::int64_t slack = wholeSeconds ? kCoarseSlackNs : kFineSlackNs;
    return std::max(m, c) < readStartNs - slack;
}

// Whether the file can be opened for reading, as the size of a message is
// only known for a file that can be. The owner's own files (the usual case)
// need no further call.
bool readable(int dirFd, const char* name, const struct stat& st) {
    static const uid_t self = ::geteuid();
    if (self == 0) return true;
    if (st.st_uid == self) return (st.st_mode & S_IRUSR) != 0;
    return ::faccessat(dirFd, name, R_OK, AT_EACCESS) == 0;
}

// Reads the folder open as dirFd: one pass over its entries, the type from
// the entry itself where the file system gives it, sizes relative to the
// folder.
void readFolder(int dirFd, std::vector<MailboxFile>& files) {
    int fd = ::dup(dirFd);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '\0' || (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))))
            continue;
        if (e->d_type == DT_DIR) continue;
        if (hasIniExtension(name)) continue;
        struct stat st {};
        std::int64_t size = -1;
        if (::fstatat(dirFd, name, &st, 0) == 0) {
            if (S_ISDIR(st.st_mode)) continue;  // a link to a folder, or a type not given
            if (S_ISREG(st.st_mode) && readable(dirFd, name, st)) size = static_cast<std::int64_t>(st.st_size);
        }
        files.push_back({name, size});
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const MailboxFile& a, const MailboxFile& b) { return lessLikeFolder(a.name, b.name); });
}

}  // namespace

bool listMailboxFolder(const std::string& folder, std::vector<MailboxFile>& files) {
    files.clear();
    Cache& c = cache();
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    const FolderKey key{st.st_dev, st.st_ino};
    auto it = c.listings.find(key);
    if (it != c.listings.end() && it->second.mtimeNs == ns(st.st_mtim) && it->second.ctimeNs == ns(st.st_ctim)) {
        it->second.lastUse = ++c.uses;
        files = it->second.files;
        return true;
    }

    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t readStart = ns(now);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // The times are taken before the entries are read: a change during the
    // read moves them, and the next login reads again.
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    readFolder(fd, files);
    ::close(fd);

    const FolderKey openedKey{st.st_dev, st.st_ino};
    if (!settled(st, readStart)) {
        c.listings.erase(openedKey);
        return true;
    }
    if (c.listings.size() >= kMaxListings && c.listings.find(openedKey) == c.listings.end()) {
        auto oldest = std::min_element(c.listings.begin(), c.listings.end(),
                                       [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
        c.listings.erase(oldest);
    }
    Listing& l = c.listings[openedKey];
    l.mtimeNs = ns(st.st_mtim);
    l.ctimeNs = ns(st.st_ctim);
    l.lastUse = ++c.uses;
    l.files = files;
    return true;
}

void forgetMailboxListings() { cache().listings.clear(); }

}  // namespace datau1
