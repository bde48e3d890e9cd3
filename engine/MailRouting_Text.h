// The text of a message as it came over SMTP: lines, each ended by CR LF,
// kept in blocks of BlockSize bytes rather than as a string per line. A line
// of any length is taken, so a line may run on from one block into the next.
// A closed block never changes, so every file made of the message (each
// mailbox copy, the backup copies, the queue file) shares the blocks instead
// of holding a copy of its own, and the group commit writes them off the
// loop's thread.
//
// What a message costs in memory is bounded whatever its size: once spooling
// is asked for (SpoolTo), the text beyond its first piece (FirstPiece bytes,
// which hold its header) goes, a closed block at a time, to an unnamed file
// written on the platform's workers; each written block is then a range of
// that file and its memory goes. A spooling text may keep more of itself in
// memory, up to MemoryPart, only while one budget shared by every spooling
// text (SharedMemory) lasts, so that many messages arriving at once cost
// little more than one; Clear gives its share back. The file has no name (or loses it at once), so it
// never outlives the text or the process.
//
// Main thread only; a block handed out may be read on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileContent.h"
#include "platform/MessageLoop.h"

class TMessageText {
public:
    using TBlock = platform::ContentPiece;
    // Small, so that the blocks a spooling text holds on their way to the
    // disk cost little.
    static constexpr std::size_t BlockSize = 128 * 1024;
    // Always kept in memory: the header of nearly every message.
    static constexpr std::uint64_t FirstPiece = BlockSize;
    // Kept in memory while SharedMemory lasts: the whole of most messages,
    // so that only big ones pay for a spool file.
    static constexpr std::uint64_t MemoryPart = 2 * 1024 * 1024;
    // What all spooling texts together may keep in memory past their first
    // pieces; beyond it their text goes to the spool at once.
    static constexpr std::uint64_t SharedMemory = 32 * 1024 * 1024;
    // Closed blocks past the memory part that may wait in memory for their
    // write before the sender must wait (SpoolBehind).
    static constexpr std::size_t SpoolAhead = 2;

    TMessageText() = default;
    ~TMessageText();
    TMessageText(const TMessageText&) = delete;
    TMessageText& operator=(const TMessageText&) = delete;

    // Adds bytes as they are; the caller makes every line end CR LF. Part of
    // a line may come in one call and its rest in later ones.
    void Append(std::string_view bytes);
    // Adds line + CR LF.
    void AppendLine(std::string_view line) {
        Append(line);
        Append("\r\n");
    }
    bool Empty() const { return FSize == 0; }
    std::size_t Size() const { return FSize; }
    // Adds pieces as they are (shared, not copied), in memory or in a file.
    void AppendContent(const platform::Content& content);
    // Every block, the last one closed; later lines go to a new block.
    const std::vector<TBlock>& Blocks();
    // Drops the text and its spool file; spooling ends.
    void Clear();

    // From now on, text past MemoryPart is spooled to an unnamed file in
    // `folder`. onWritten runs from the loop (never inside a call of this
    // object) each time a write has ended; it may call anything here.
    void SpoolTo(std::string folder, std::function<void()> onWritten);
    // More text waits in memory for its write than a sender may run ahead:
    // take no more until onWritten says otherwise.
    bool SpoolBehind() const;
    // Starts no further write (the text is complete): what is not written
    // yet stays in memory.
    void StopSpooling() { FStopped = true; }
    // A write is under way; the text may be used once none is.
    bool SpoolWriting() const { return FWriting; }
    // errno of a failed write, else 0. The text is incomplete then: what
    // came was dropped, and what comes is not kept.
    int SpoolError() const { return FError; }

private:
    struct TSpool;

    void CloseOpen();
    void StartWrite();
    void WriteEnded(int error);
    void Fail(int error);
    void DropSpool();

    std::vector<TBlock> FClosed;
    std::string FOpen;
    std::size_t FSize = 0;
    std::uint64_t FClosedSize = 0;  // bytes of FClosed
    std::uint64_t FBorrowed = 0;    // of SharedMemory, until the spool is dropped

    std::shared_ptr<TSpool> FSpool;  // while spooling is asked for
    std::function<void()> FOnWritten;
    platform::HWND FWindow = platform::NullWindow;  // receives the writes' ends
    std::size_t FNextToSpool = 0;  // first block not yet given to a write (0: none past the memory part yet)
    std::size_t FWriteFrom = 0, FWriteTo = 0;  // the blocks of the write under way
    std::uint64_t FWriteAt = 0;   // where the write under way starts in the file
    std::uint64_t FSpoolEnd = 0;  // where the next block goes in the file
    bool FWriting = false;
    bool FStopped = false;
    int FError = 0;
};
