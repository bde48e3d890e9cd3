#include "DataU1_MailboxListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unordered_map>

#include "DataU1_Internal.h"
#include "platform/DurableFile.h"

namespace datau1 {
namespace {

// How far the folder's last change must lie before the read for the listing
// to be remembered. File times come from a coarse clock (a few milliseconds
// per tick here); a file system that keeps whole seconds only shows a
// nanosecond part of 0, and then a second must pass.
constexpr std::int64_t kFineSlackNs = 50'000'000;
constexpr std::int64_t kCoarseSlackNs = 2'000'000'000;
// Listings kept at most, and names in all of them (some 80 bytes each); the
// least recently used listing goes first. A folder of more names than that is
// read whole at every change.
constexpr std::size_t kMaxListings = 256;
constexpr std::size_t kMaxNames = 256 * 1024;

std::int64_t ns(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

// A folder's status with its birth time (0 where the file system keeps
// none). A folder removed and made again may get the inode number of the old
// one, and its files the old files' numbers and names: the birth time tells
// the new folder from the one remembered.
bool folderStatus(int dirFd, const char* path, int flags, struct stat& st, std::int64_t& bornNs) {
    struct statx sx {};
    if (::statx(dirFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    st = {};
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_mtim = {static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
    st.st_ctim = {static_cast<time_t>(sx.stx_ctime.tv_sec), static_cast<long>(sx.stx_ctime.tv_nsec)};
    bornNs = (sx.stx_mask & STATX_BTIME)
                 ? static_cast<std::int64_t>(sx.stx_btime.tv_sec) * 1'000'000'000 + sx.stx_btime.tv_nsec
                 : 0;
    return true;
}

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
    // The listing stands for the folder as long as these times are the
    // folder's; one read too close to a change serves only to know sizes.
    bool whole = false;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::int64_t bornNs = 0;
    std::uint64_t lastUse = 0;
    std::vector<MailboxFile> files;
    std::vector<ino_t> inos;  // beside files
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

struct Found {
    std::string name;
    ino_t ino;
};

struct Placed {
    std::size_t found;  // index into the names read
    std::int64_t size;
};

// Reads the folder open as dirFd in one pass over its entries, the type from
// the entry itself where the file system gives it. A name the last listing of
// the folder knew, still on the same inode, keeps the size it had (a placed
// message never changes: it comes by a rename and goes by an unlink) and its
// place in that listing's order; only the other names are looked at, relative
// to the folder, and sorted. files and inos come out in the listing's order.
void readFolder(int dirFd, const Listing* known, std::vector<MailboxFile>& files, std::vector<ino_t>& inos) {
    int fd = ::dup(dirFd);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<Found> found;
    if (known) found.reserve(known->files.size() + 16);
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '\0' || (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))))
            continue;
        if (e->d_type == DT_DIR) continue;
        if (hasIniExtension(name)) continue;
        found.push_back({name, e->d_ino});
    }
    ::closedir(dir);

    std::vector<Placed> kept;  // in the known listing's order, which is the listing's
    std::vector<bool> isKept(found.size(), false);
    if (known && !known->files.empty()) {
        std::unordered_map<std::string_view, std::size_t> byName;
        byName.reserve(found.size());
        for (std::size_t i = 0; i < found.size(); ++i) byName.emplace(found[i].name, i);
        kept.reserve(known->files.size());
        for (std::size_t k = 0; k < known->files.size(); ++k) {
            auto hit = byName.find(known->files[k].name);
            if (hit == byName.end() || found[hit->second].ino != known->inos[k]) continue;
            kept.push_back({hit->second, known->files[k].size});
            isKept[hit->second] = true;
        }
    }
    std::vector<Placed> fresh;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (isKept[i]) continue;
        struct stat st {};
        std::int64_t size = -1;
        if (::fstatat(dirFd, found[i].name.c_str(), &st, 0) == 0) {
            if (S_ISDIR(st.st_mode)) continue;  // a link to a folder, or a type not given
            if (S_ISREG(st.st_mode) && readable(dirFd, found[i].name.c_str(), st))
                size = static_cast<std::int64_t>(st.st_size);
        }
        fresh.push_back({i, size});
    }
    const auto less = [&found](const Placed& a, const Placed& b) {
        return lessLikeFolder(found[a.found].name, found[b.found].name);
    };
    std::sort(fresh.begin(), fresh.end(), less);

    files.reserve(kept.size() + fresh.size());
    inos.reserve(kept.size() + fresh.size());
    const auto add = [&](const Placed& p) {
        files.push_back({std::move(found[p.found].name), p.size});
        inos.push_back(found[p.found].ino);
    };
    std::size_t a = 0, b = 0;
    while (a < kept.size() || b < fresh.size()) {
        if (b == fresh.size() || (a < kept.size() && less(kept[a], fresh[b])))
            add(kept[a++]);
        else
            add(fresh[b++]);
    }
}

std::size_t rememberedNames(const Cache& c) {
    std::size_t n = 0;
    for (const auto& [key, listing] : c.listings) n += listing.files.size();
    return n;
}

}  // namespace

bool listMailboxFolder(const std::string& folder, std::vector<MailboxFile>& files) {
    files.clear();
    Cache& c = cache();
    struct stat st {};
    std::int64_t born = 0;
    if (!folderStatus(AT_FDCWD, folder.c_str(), 0, st, born) || !S_ISDIR(st.st_mode)) return false;
    auto it = c.listings.find(FolderKey{st.st_dev, st.st_ino});
    if (it != c.listings.end() && it->second.whole && it->second.mtimeNs == ns(st.st_mtim) &&
        it->second.ctimeNs == ns(st.st_ctim) && it->second.bornNs == born) {
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
    if (!folderStatus(fd, "", AT_EMPTY_PATH, st, born)) {
        ::close(fd);
        return false;
    }
    const FolderKey openedKey{st.st_dev, st.st_ino};
    it = c.listings.find(openedKey);
    std::vector<ino_t> inos;
    readFolder(fd, it == c.listings.end() || it->second.bornNs != born ? nullptr : &it->second, files, inos);
    ::close(fd);

    if (files.size() > kMaxNames) {
        c.listings.erase(openedKey);
        return true;
    }
    Listing& l = c.listings[openedKey];
    l.whole = settled(st, readStart);
    l.mtimeNs = ns(st.st_mtim);
    l.ctimeNs = ns(st.st_ctim);
    l.bornNs = born;
    l.lastUse = ++c.uses;
    l.files = files;
    l.inos = std::move(inos);
    while (c.listings.size() > kMaxListings || rememberedNames(c) > kMaxNames) {
        auto oldest = c.listings.end();
        for (auto i = c.listings.begin(); i != c.listings.end(); ++i)
            if (!(i->first == openedKey) && (oldest == c.listings.end() || i->second.lastUse < oldest->second.lastUse))
                oldest = i;
        c.listings.erase(oldest);
    }
    return true;
}

MailboxDeletion deleteMailboxFiles(const std::string& folder, const std::vector<std::string>& names) {
    MailboxDeletion result;
    for (const std::string& name : names) {
        const std::string path = folder + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            // Gone already, or out of reach: only what may still be there counts.
            if (errno != ENOENT && errno != ENOTDIR) ++result.kept;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            ++result.kept;
            continue;
        }
        if (::unlink(path.c_str()) == 0)
            ++result.deleted;
        else if (errno != ENOENT)
            ++result.kept;
    }
    // Removals that cannot be made to last are not claimed: a crash could
    // bring the messages back after the client was told they are gone.
    if (result.deleted > 0 && !platform::syncFolder(folder)) result.kept += result.deleted;
    return result;
}

void forgetMailboxListings() { cache().listings.clear(); }

}  // namespace datau1
