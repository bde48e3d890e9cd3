#include "FileContent.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

std::shared_ptr<SourceFile> SourceFile::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_shared<SourceFile>(fd, path, false);
}

SourceFile::SourceFile(int fd, std::string path, bool removeAtEnd)
    : fd_(fd), path_(std::move(path)), removeAtEnd_(removeAtEnd) {}

SourceFile::~SourceFile() {
    if (removeAtEnd_ && !path_.empty()) ::unlink(path_.c_str());
    if (fd_ >= 0) ::close(fd_);
}

std::uint64_t contentSize(const Content& content) {
    std::uint64_t n = 0;
    for (const auto& piece : content) n += piece.size();
    return n;
}

namespace {

constexpr std::size_t kCopyBuffer = 256 * 1024;

int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Reads exactly `size` bytes at `offset`, or fails with EIO at an early end.
int readExactly(int fd, std::uint64_t offset, char* into, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        into += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int copyRange(int fd, const ContentPiece& piece) {
    std::uint64_t offset = piece.offset, left = piece.length;
    bool kernelCopy = true;
    std::string buffer;
    while (left > 0) {
        if (kernelCopy) {
            loff_t in = static_cast<loff_t>(offset);
            const ssize_t n = ::copy_file_range(piece.file->fd(), &in, fd, nullptr, left, 0);
            if (n > 0) {
                offset += static_cast<std::uint64_t>(n);
                left -= static_cast<std::uint64_t>(n);
                continue;
            }
            if (n == 0) return EIO;  // the source ends before its range
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF)
                return errno;
            kernelCopy = false;  // not between these files: copy by hand
        }
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyBuffer));
        buffer.resize(step);
        if (int err = readExactly(piece.file->fd(), offset, buffer.data(), step)) return err;
        if (int err = writeAll(fd, buffer.data(), step)) return err;
        offset += step;
        left -= step;
    }
    return 0;
}

}  // namespace

int writeContent(int fd, const Content& content) {
    for (const auto& piece : content) {
        const int err = piece.bytes ? writeAll(fd, piece.bytes->data(), piece.bytes->size()) : copyRange(fd, piece);
        if (err != 0) return err;
    }
    return 0;
}

int readContent(const Content& content, std::uint64_t from, std::size_t max, std::string& out) {
    out.clear();
    std::uint64_t at = 0;
    for (const auto& piece : content) {
        if (out.size() >= max) break;
        const std::uint64_t size = piece.size();
        if (from >= at + size) {
            at += size;
            continue;
        }
        const std::uint64_t skip = from > at ? from - at : 0;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size - skip, max - out.size()));
        if (piece.bytes) {
            out.append(*piece.bytes, static_cast<std::size_t>(skip), take);
        } else {
            const std::size_t old = out.size();
            out.resize(old + take);
            if (int err = readExactly(piece.file->fd(), piece.offset + skip, out.data() + old, take)) {
                out.resize(old);
                return err;
            }
        }
        at += size;
    }
    return 0;
}

}  // namespace platform
