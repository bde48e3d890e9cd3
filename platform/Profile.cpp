#include "Profile.h"

#include <cerrno>
#include <limits>
#include <stdexcept>

#include "Paths.h"

namespace platform {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The section name of a header line, or false when the line is no header.
bool headerName(std::string_view line, std::string_view& name) {
    std::string_view t = trimBlanks(line);
    if (t.empty() || t.front() != '[') return false;
    t.remove_prefix(1);
    auto close = t.find(']');
    name = trimBlanks(close == std::string_view::npos ? t : t.substr(0, close));
    return true;
}

bool isComment(std::string_view line) {
    std::string_view t = trimBlanks(line);
    return !t.empty() && t.front() == ';';
}

// Key and value of a key line, or false for comments and lines without "=".
bool splitKeyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    if (isComment(line)) return false;
    auto eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trimBlanks(line.substr(0, eq));
    value = line.substr(eq + 1);
    return true;
}

void checkName(std::string_view name, bool isSection) {
    std::string_view t = trimBlanks(name);
    bool bad = t.empty() || name.find_first_of("\r\n") != std::string_view::npos ||
               (isSection ? name.find(']') != std::string_view::npos
                          : (name.find('=') != std::string_view::npos || t.front() == '[' ||
                             t.front() == ';'));
    if (bad)
        throw std::invalid_argument(std::string(isSection ? "bad profile section: " : "bad profile key: ") +
                                    std::string(name));
}

}  // namespace

bool Profile::parseInteger(std::string_view text, int& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    const unsigned long long limit =
        negative ? 2147483648ULL : static_cast<unsigned long long>(std::numeric_limits<int>::max());
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > limit) return false;
    }
    value = negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
    return true;
}

bool Profile::load(const std::string& path, FileStamp* stamp) {
    lines_.clear();
    std::string data;
    if (!readWholeFile(path, data, stamp)) {
        if (stamp) *stamp = {};
        return errno == ENOENT || errno == ENOTDIR;
    }
    parse(data);
    return true;
}

bool Profile::save(const std::string& path, FileStamp* stamp) const {
    return writeFileDurably(path, text(), stamp);
}

void Profile::parse(std::string_view text) {
    lines_.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty()) {
        auto lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines_.emplace_back(line);
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
}

std::string Profile::text() const {
    std::string out;
    for (const auto& l : lines_) {
        out += l;
        out += "\r\n";
    }
    return out;
}

bool Profile::findSection(std::string_view section, Range& r) const {
    std::string_view want = trimBlanks(section);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (!headerName(lines_[i], name) || !equalsNoCase(name, want)) continue;
        std::size_t end = i + 1;
        std::string_view other;
        while (end < lines_.size() && !headerName(lines_[end], other)) ++end;
        r = {i, end};
        return true;
    }
    return false;
}

std::size_t Profile::findKey(const Range& r, std::string_view key) const {
    std::string_view want = trimBlanks(key);
    for (std::size_t i = r.header + 1; i < r.end; ++i) {
        std::string_view k, v;
        if (splitKeyLine(lines_[i], k, v) && equalsNoCase(k, want)) return i;
    }
    return std::string::npos;
}

bool Profile::sectionExists(std::string_view section) const {
    Range r;
    return findSection(section, r);
}

bool Profile::valueExists(std::string_view section, std::string_view key) const {
    Range r;
    return findSection(section, r) && findKey(r, key) != std::string::npos;
}

std::string Profile::readString(std::string_view section, std::string_view key,
                                std::string_view def) const {
    Range r;
    if (!findSection(section, r)) return std::string(def);
    std::size_t i = findKey(r, key);
    if (i == std::string::npos) return std::string(def);
    std::string_view k, v;
    splitKeyLine(lines_[i], k, v);
    return std::string(v);
}

int Profile::readInteger(std::string_view section, std::string_view key, int def) const {
    if (!valueExists(section, key)) return def;
    int v = def;
    return parseInteger(readString(section, key), v) ? v : def;
}

bool Profile::readBool(std::string_view section, std::string_view key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

void Profile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    checkName(section, true);
    checkName(key, false);
    if (value.find('\n') != std::string_view::npos)
        throw std::invalid_argument("profile value holds a line feed");
    Range r;
    if (!findSection(section, r)) {
        if (!lines_.empty() && !trimBlanks(lines_.back()).empty()) lines_.emplace_back();
        lines_.push_back("[" + std::string(section) + "]");
        lines_.push_back(std::string(key) + "=" + std::string(value));
        return;
    }
    std::size_t i = findKey(r, key);
    if (i != std::string::npos) {
        std::string& line = lines_[i];
        line = line.substr(0, line.find('=') + 1) + std::string(value);
        return;
    }
    // After the section's last non-blank line, so a blank line before the
    // next section stays where it is.
    std::size_t at = r.end;
    while (at > r.header + 1 && trimBlanks(lines_[at - 1]).empty()) --at;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                  std::string(key) + "=" + std::string(value));
}

void Profile::writeInteger(std::string_view section, std::string_view key, int value) {
    writeString(section, key, std::to_string(value));
}

void Profile::writeBool(std::string_view section, std::string_view key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

void Profile::eraseSection(std::string_view section) {
    Range r;
    while (findSection(section, r))
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(r.header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(r.end));
}

void Profile::deleteKey(std::string_view section, std::string_view key) {
    Range r;
    if (!findSection(section, r)) return;
    std::size_t i = findKey(r, key);
    if (i != std::string::npos) lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
}

std::vector<std::string> Profile::sectionValues(std::string_view section) const {
    std::vector<std::string> out;
    Range r;
    if (!findSection(section, r)) return out;
    for (std::size_t i = r.header + 1; i < r.end; ++i) {
        std::string_view k, v;
        if (splitKeyLine(lines_[i], k, v)) out.push_back(lines_[i]);
    }
    return out;
}

std::vector<std::string> Profile::sections() const {
    std::vector<std::string> out;
    for (const auto& l : lines_) {
        std::string_view name;
        if (headerName(l, name)) out.emplace_back(name);
    }
    return out;
}

}  // namespace platform
