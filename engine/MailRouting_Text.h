// The text of a message as it came over SMTP: whole lines, each ended by
// CR LF, kept in blocks of about a mebibyte rather than as a string per line.
// A closed block never changes, so every file made of the message (each
// mailbox copy, the backup copies, the queue file) shares the blocks instead
// of holding a copy of its own, and the group commit writes them off the
// loop's thread.
//
// What a message costs in memory is bounded whatever its size: once spooling
// is asked for (SpoolTo), the text beyond its first MemoryPart bytes (which
// hold its header) goes, a closed block at a time, to an unnamed file written
// on the platform's workers; each written block is then a range of that file
// and its memory goes. The file has no name (or loses it at once), so it
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
    static constexpr std::size_t BlockSize = 1 << 20;
    // Kept in memory: the header, and the whole of most messages, so that
    // only big ones pay for a spool file.
    static constexpr std::uint64_t MemoryPart = 2 * BlockSize;
    // Closed blocks past MemoryPart that may wait in memory for their write
    // before the sender must wait (SpoolBehind).
    static constexpr std::size_t SpoolAhead = 2;

    TMessageText() = default;
    ~TMessageText();
    TMessageText(const TMessageText&) = delete;
    TMessageText& operator=(const TMessageText&) = delete;

    // Adds line + CR LF.
    void AppendLine(std::string_view line);
    bool Empty() const { return FSize == 0; }
    std::size_t Size() const { return FSize; }
    // Adds pieces as they are (shared, not copied): whole lines with their
    // CR LF, in memory or in a file.
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

    std::shared_ptr<TSpool> FSpool;  // while spooling is asked for
    std::function<void()> FOnWritten;
    platform::HWND FWindow = platform::NullWindow;  // receives the writes' ends
    std::size_t FNextToSpool = 0;  // first block not yet given to a write (0: none past MemoryPart yet)
    std::size_t FWriteFrom = 0, FWriteTo = 0;  // the blocks of the write under way
    std::uint64_t FWriteAt = 0;   // where the write under way starts in the file
    std::uint64_t FSpoolEnd = 0;  // where the next block goes in the file
    bool FWriting = false;
    bool FStopped = false;
    int FError = 0;
};
