#include "MailRouting_Internal.h"

namespace mailrouting {

std::string trimText(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
    return std::string(s.substr(b, e - b));
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const std::string& line : lines) size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    const bool crlf = text.find("\r\n") != std::string_view::npos;
    const std::string_view end = crlf ? std::string_view("\r\n") : std::string_view("\n");
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t at = text.find(end, from);
        if (at == std::string_view::npos) {
            lines.emplace_back(text.substr(from));
            break;
        }
        std::string_view line = text.substr(from, at - from);
        if (!crlf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        from = at + end.size();
    }
    return lines;
}

}  // namespace mailrouting
