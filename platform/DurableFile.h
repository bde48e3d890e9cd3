// Durable, atomic file writes for the mail store and the settings.
//
// A stored file is written whole to a temporary file in a hidden folder beside
// its target (TempFolderName, a name that holds ":" and so can be no account,
// no message and no list), flushed with fsync, then renamed into place, and the
// target's folder is flushed too. Readers, listings and the agent therefore see
// either the old file or the complete new one, never a part; once a commit
// returns true the file survives a crash of the process or of the machine.
//
// Nothing here logs; failures come back as false with errno-style codes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FileContent.h"

namespace platform {

// The hidden folder beside stored files that holds their temporary copies.
inline constexpr std::string_view TempFolderName = ".tmp:";

// True for the temporary folder's name in any letter case: such an entry is
// never an account, a message or a list.
bool isTempFolderName(std::string_view name);

// Temporary files of earlier runs. A run's names hold its pid and a random
// token of its own, so that those of a run killed while writing are told from
// this run's own even when the pid comes back (pid 1 in a container).
//
// The start of every temporary name of this run ("t<pid>-<token>-"). Any
// other file that this run keeps in a temporary folder must begin with it,
// or a sweep below takes it for an earlier run's.
const std::string& temporaryNamePrefix();

// Removes every file in the temporary folders of `folder` and of its
// subfolders down to `depth` levels that this run did not make; returns how
// many. Its cost grows with the folders it lists: for a worker thread.
std::size_t removeEarlierTempFiles(const std::string& folder, int depth);

struct TempSweepRoot {
    std::string folder;
    int depth = 0;
};
// The same for each root, on a platform worker (FileWork.h); returns at once.
// For the start, before the services write: this run's files are safe anyway.
void startEarlierTempFilesSweep(std::vector<TempSweepRoot> roots);

// What identifies one version of a file: a rename-based write always gives a
// new inode, an in-place edit a new change time (nanoseconds), even when the
// old modification time is put back afterwards (cp -p, touch -r): only the
// kernel sets the change time.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;

    bool operator==(const FileStamp&) const = default;
};

// The stamp of a regular file; exists is false when there is none.
FileStamp fileStamp(const std::string& path);
// The same from what a stat of the path gave.
FileStamp fileStamp(const struct stat& st);

// Reads a whole regular file. False (errno set) when it is missing or cannot
// be read. The stamp, when asked for, is taken from the open file itself.
bool readWholeFile(const std::string& path, std::string& data, FileStamp* stamp = nullptr);

// One temporary file on its way to a target in `folder` (a path ending in "/"
// or not). The temporary file is removed by the destructor unless committed.
class DurableFile {
public:
    explicit DurableFile(const std::string& folder);
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // True while the file can still be written (or, once closed, placed).
    bool ok() const { return (fd_ >= 0 || closed_) && !failed_; }
    // errno of the last failed call (EEXIST after a refused commitNew).
    int error() const { return error_; }

    // Appends bytes; false (and not ok() any more) when the write failed.
    bool write(std::string_view data);
    // Appends the pieces (for the workers: file ranges are copied from disk).
    bool write(const Content& content);

    // Flushes, then renames over `path`, replacing a file of that name (its
    // permission bits are kept). The folder of `path` must be `folder`.
    bool commit(const std::string& path);

    // Flushes, then places the file under `path` only when no entry of that
    // name exists. When one does, the result is false with error() EEXIST and
    // the temporary file stays ready for commitNew with another name.
    bool commitNew(const std::string& path);

    // The two halves of a commit, for group commits (GroupCommit.h), which
    // flush the folder once for many files. Either may run on a worker
    // thread, one thread at a time per file.
    // Flushes the written bytes.
    bool sync();
    // Flushes the written bytes and gives back the descriptor: the file can
    // then only be placed under a new name (place with replace false) or
    // dropped. A commit of many files so holds one descriptor per file being
    // written, not one per file of the set.
    bool syncAndClose();
    // Renames the file to `path` (replacing, or only when the name is free,
    // error() EEXIST otherwise) without flushing the folder.
    bool place(const std::string& path, bool replace);

    // The committed file's stamp (valid after a successful commit).
    const FileStamp& stamp() const { return stamp_; }

private:
    bool flush();
    bool fail(int err);
    void finish(const std::string& path);

    std::string tempPath_;
    int fd_ = -1;
    int error_ = 0;
    bool failed_ = false;
    bool synced_ = false;
    bool committed_ = false;
    bool closed_ = false;  // flushed and closed by syncAndClose
    FileStamp stamp_;
};

// Writes `data` as the whole new content of `path`, durably and atomically.
bool writeFileDurably(const std::string& path, std::string_view data, FileStamp* stamp = nullptr);

// Appends `data` to `path` (following a symbolic link) with one write per
// piece, creating the file when it is missing, and flushes it (for the
// workers: file ranges are copied from disk); a new file's folder is flushed too.
// False (errno set) when it cannot be opened, written or flushed; the file
// is then cut back to its former length (removed when this call made it), so
// a failed append leaves nothing of itself. Unlike a stored file this is not
// atomic across a crash: one in the middle may leave the tail half-written,
// which suits logs and archives that are only ever added to.
bool appendFileDurably(const std::string& path, const Content& data);

// Flushes a folder's entries (after a rename or an unlink in it).
bool syncFolder(const std::string& folder);

}  // namespace platform
