#include "MailRouting_Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/DurableFile.h"
#include "platform/FileWork.h"

struct TMessageText::TSpool {
    std::string Folder;
    // Made by the first write; touched only by the write under way, and read
    // by the loop's thread only once that write has ended.
    std::shared_ptr<platform::SourceFile> File;
};

namespace {

constexpr unsigned WM_SPOOL_WRITTEN = platform::WM_USER + 1;

// What the spooling texts keep of SharedMemory (main thread only).
std::uint64_t sharedInUse = 0;

// An unnamed file in folder (made when missing): nothing of it stays when
// the last descriptor goes, a crash included. Where the file system has no
// unnamed files, a name in the hidden temporary folder is removed at once.
int openSpoolFile(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    static std::atomic<unsigned> counter{0};
    const std::string hidden = folder + "/" + std::string(platform::TempFolderName);
    ::mkdir(hidden.c_str(), 0700);
    const std::string path =
        hidden + "/spool-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::unlink(path.c_str());
    return fd;
}

int writeAt(int fd, const std::string& bytes, std::uint64_t at) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

TMessageText::~TMessageText() { Clear(); }

void TMessageText::Append(std::string_view bytes) {
    if (FError != 0) return;
    FSize += bytes.size();
    while (!bytes.empty() && FError == 0) {
        if (FOpen.size() == BlockSize) CloseOpen();
        const std::size_t take = std::min(bytes.size(), BlockSize - FOpen.size());
        // A small message grows its one block as it comes; a block that will
        // fill is made its full size at once instead of by doubling, which
        // would copy it and leave up to half of it unused.
        if (FOpen.capacity() < FOpen.size() + take && (!FClosed.empty() || FOpen.size() + take > BlockSize / 2))
            FOpen.reserve(BlockSize);
        FOpen.append(bytes.data(), take);
        bytes.remove_prefix(take);
    }
}

void TMessageText::CloseOpen() {
    if (FOpen.empty()) return;
    const std::uint64_t start = FClosedSize;
    const std::uint64_t size = FOpen.size();
    FClosedSize += size;
    FClosed.push_back(std::make_shared<const std::string>(std::move(FOpen)));
    FOpen = std::string();
    if (FSpool && FNextToSpool == 0 && start >= FirstPiece) {
        if (start < MemoryPart && sharedInUse + size <= SharedMemory) {
            sharedInUse += size;
            FBorrowed += size;
        } else {
            FNextToSpool = FClosed.size() - 1;
        }
    }
    StartWrite();
}

void TMessageText::AppendContent(const platform::Content& content) {
    if (FError != 0) return;
    CloseOpen();
    for (const auto& piece : content) {
        if (piece.size() == 0) continue;
        FClosed.push_back(piece);
        FSize += piece.size();
        FClosedSize += piece.size();
    }
}

const std::vector<TMessageText::TBlock>& TMessageText::Blocks() {
    CloseOpen();
    return FClosed;
}

void TMessageText::Clear() {
    FClosed.clear();
    FClosed.shrink_to_fit();
    FOpen = std::string();
    FSize = 0;
    FClosedSize = 0;
    DropSpool();
}

void TMessageText::SpoolTo(std::string folder, std::function<void()> onWritten) {
    DropSpool();
    FSpool = std::make_shared<TSpool>();
    FSpool->Folder = std::move(folder);
    FOnWritten = std::move(onWritten);
}

bool TMessageText::SpoolBehind() const {
    if (!FSpool || FError != 0 || FNextToSpool == 0) return false;
    const std::size_t writing = FWriting ? FWriteTo - FWriteFrom : 0;
    return writing + (FClosed.size() - FNextToSpool) > SpoolAhead;
}

void TMessageText::StartWrite() {
    if (!FSpool || FWriting || FStopped || FError != 0 || FNextToSpool == 0 || FNextToSpool >= FClosed.size()) return;
    if (FWindow == platform::NullWindow) {
        FWindow = platform::loop().createWindow([this](platform::Message& m) {
            if (m.msg == WM_SPOOL_WRITTEN) WriteEnded(static_cast<int>(m.lParam));
        });
        if (FWindow == platform::NullWindow) {
            Fail(EAGAIN);
            return;
        }
    }
    struct TWrite {
        std::shared_ptr<const std::string> Bytes;
        std::uint64_t At;
    };
    std::vector<TWrite> writes;
    FWriteFrom = FNextToSpool;
    FWriteTo = FClosed.size();
    FWriteAt = FSpoolEnd;
    for (std::size_t i = FWriteFrom; i < FWriteTo; ++i) {
        if (!FClosed[i].bytes) continue;  // a range of a file already
        writes.push_back({FClosed[i].bytes, FSpoolEnd});
        FSpoolEnd += FClosed[i].bytes->size();
    }
    FNextToSpool = FWriteTo;
    FWriting = true;
    platform::startFileWork(
        [spool = FSpool, writes = std::move(writes)]() -> std::intptr_t {
            if (!spool->File) {
                const int fd = openSpoolFile(spool->Folder);
                if (fd < 0) return errno ? errno : EIO;
                spool->File = std::make_shared<platform::SourceFile>(fd, std::string(), false);
            }
            for (const TWrite& w : writes)
                if (const int err = writeAt(spool->File->fd(), *w.Bytes, w.At)) return err;
            return 0;
        },
        FWindow, WM_SPOOL_WRITTEN);
}

void TMessageText::WriteEnded(int error) {
    FWriting = false;
    if (error == 0 && FError == 0) {
        std::uint64_t end = FWriteAt;
        for (std::size_t i = FWriteFrom; i < FWriteTo; ++i) {
            if (!FClosed[i].bytes) continue;
            const std::uint64_t length = FClosed[i].bytes->size();
            FClosed[i] = TBlock(FSpool->File, end, length);
            end += length;
        }
        StartWrite();
    } else {
        Fail(error);
    }
    // A copy: the handler may clear this text, and its handler with it.
    const std::function<void()> written = FOnWritten;
    if (written) written();
}

void TMessageText::Fail(int error) {
    if (FError != 0) return;
    // The text cannot be whole any more: nothing of it is kept.
    FError = error;
    FClosed.clear();
    FClosed.shrink_to_fit();
    FOpen = std::string();
}

void TMessageText::DropSpool() {
    if (FWindow != platform::NullWindow) platform::loop().destroyWindow(FWindow);
    FWindow = platform::NullWindow;
    if (FSpool && (FWriting || FSpool->File)) {
        // The last descriptor of a spool file frees its blocks: that is disk
        // work, done on a worker as the file's writes are.
        platform::startFileWork(
            [spool = std::move(FSpool)]() -> std::intptr_t {
                (void)spool;
                return 0;
            },
            platform::NullWindow, 0);
    }
    FSpool.reset();
    sharedInUse -= FBorrowed;
    FBorrowed = 0;
    FOnWritten = nullptr;
    FNextToSpool = FWriteFrom = FWriteTo = 0;
    FSpoolEnd = 0;
    FWriting = FStopped = false;
    FError = 0;
}
