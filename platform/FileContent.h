// What a file is to hold, as pieces that several files may share: bytes kept
// in memory, or a range of another open file (a message spooled to disk as it
// arrived, the message text of a queue file). A message of any size therefore
// costs the loop's thread and its memory only the pieces' descriptions; the
// bytes are copied file to file by the platform's workers (GroupCommit.h,
// FileWork.h), never read on the loop's thread.
//
// A piece, once handed out, never changes: the bytes are const, and a file
// range is only made of bytes already written to its file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// An open file that pieces refer to, shared by them: the descriptor is closed
// when the last holder lets it go, and a file made to be removed then (a
// spool file) is unlinked too.
class SourceFile {
public:
    // Opens path for reading; nullptr (errno set) when it cannot be opened.
    static std::shared_ptr<SourceFile> open(const std::string& path);
    // Takes over an open descriptor. removeAtEnd: unlink `path` when it goes.
    SourceFile(int fd, std::string path, bool removeAtEnd);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
    bool removeAtEnd_;
};

struct ContentPiece {
    std::shared_ptr<const std::string> bytes;  // set: the piece is these bytes
    std::shared_ptr<const SourceFile> file;    // else: `length` bytes of `file` from `offset`
    std::uint64_t offset = 0;
    std::uint64_t length = 0;

    ContentPiece() = default;
    ContentPiece(std::shared_ptr<const std::string> b) : bytes(std::move(b)) {}  // NOLINT: blocks are pieces
    ContentPiece(std::shared_ptr<const SourceFile> f, std::uint64_t off, std::uint64_t len)
        : file(std::move(f)), offset(off), length(len) {}

    std::uint64_t size() const { return bytes ? bytes->size() : length; }
};

using Content = std::vector<ContentPiece>;

std::uint64_t contentSize(const Content& content);

// For the workers. Appends every piece to `fd` at its current offset: a file
// range is copied in the kernel where it can be (copy_file_range), else read
// and written a bounded buffer at a time. 0, or the errno of the failure (EIO
// for a source file found shorter than its range).
int writeContent(int fd, const Content& content);

// For the workers. Reads up to `max` bytes of the content from `from` into
// `out` (replacing what it held). 0 or an errno; a short result means the end.
int readContent(const Content& content, std::uint64_t from, std::size_t max, std::string& out);

}  // namespace platform
