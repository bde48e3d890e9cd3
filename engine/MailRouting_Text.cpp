#include "MailRouting_Text.h"

#include <algorithm>

void TMessageText::AppendLine(std::string_view line) {
    const std::size_t need = line.size() + 2;
    if (!FOpen.empty() && FOpen.size() + need > BlockSize) CloseOpen();
    // A small message grows its one block as it comes; once a message has
    // filled a block, each next one is made its full size at once instead of
    // by doubling, which would copy it and leave up to half of it unused.
    if (FOpen.empty() && !FClosed.empty()) FOpen.reserve(std::max(BlockSize, need));
    FOpen.append(line);
    FOpen.append("\r\n");
    FSize += need;
}

void TMessageText::CloseOpen() {
    if (FOpen.empty()) return;
    FClosed.push_back(std::make_shared<const std::string>(std::move(FOpen)));
    FOpen = std::string();
}

void TMessageText::AppendContent(const platform::Content& content) {
    CloseOpen();
    for (const auto& piece : content) {
        if (piece.size() == 0) continue;
        FClosed.push_back(piece);
        FSize += piece.size();
    }
}

const std::vector<TMessageText::TBlock>& TMessageText::Blocks() {
    CloseOpen();
    return FClosed;
}

void TMessageText::SplitInto(std::vector<std::string>& lines) const {
    // Lines never straddle two blocks: a block ends with a line's CR LF.
    auto split = [&lines](std::string_view block) {
        std::size_t from = 0;
        while (from < block.size()) {
            const std::size_t eol = block.find("\r\n", from);
            // Only a line's own end is looked for: a CR LF inside a line
            // cannot be, since lines were taken at their CR LF.
            lines.emplace_back(block.substr(from, eol - from));
            from = eol + 2;
        }
    };
    for (const TBlock& block : FClosed) split(*block.bytes);
    split(FOpen);
}

void TMessageText::Clear() {
    FClosed.clear();
    FClosed.shrink_to_fit();
    FOpen = std::string();
    FSize = 0;
}
