// The text of a message as it came over SMTP: whole lines, each ended by
// CR LF, kept in blocks of about a mebibyte rather than as a string per line.
// A closed block never changes, so every file made of the message (each
// mailbox copy, the backup copies, the queue file) shares the blocks instead
// of holding a copy of its own, and the group commit writes them off the
// loop's thread.
//
// Main thread only; a block handed out may be read on any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileContent.h"

class TMessageText {
public:
    using TBlock = platform::ContentPiece;
    static constexpr std::size_t BlockSize = 1 << 20;

    // Adds line + CR LF.
    void AppendLine(std::string_view line);
    bool Empty() const { return FSize == 0; }
    std::size_t Size() const { return FSize; }
    // Adds pieces as they are (shared, not copied): whole lines with their
    // CR LF, in memory or in a file.
    void AppendContent(const platform::Content& content);
    // Every block, the last one closed; later lines go to a new block.
    const std::vector<TBlock>& Blocks();
    // The lines without their CR LF, appended to lines.
    void SplitInto(std::vector<std::string>& lines) const;
    void Clear();

private:
    void CloseOpen();

    std::vector<TBlock> FClosed;
    std::string FOpen;
    std::size_t FSize = 0;
};
