#include "UtilU1_Address.h"

#include "UtilU1.h"

#include <string_view>

namespace {

// Every step works on views into the caller's text, so a parse costs time in
// proportion to the text, however many route items it holds.
bool isTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isTrimmed(s[b])) ++b;
    while (e > b && isTrimmed(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool startsWith(std::string_view s, char c) { return !s.empty() && s.front() == c; }
bool endsWith(std::string_view s, char c) { return !s.empty() && s.back() == c; }

// The host rule shared by route items and the domain: strips "#" or the
// brackets of an address literal; code becomes 3 for a misplaced bracket.
std::string_view applyHostRule(std::string_view text, int& code) {
    if (startsWith(text, '#')) return trim(text.substr(1));
    if (text.find_first_of("[]") == std::string_view::npos) return text;
    if (!startsWith(text, '[')) {
        code = rpBadLiteral;
        return text;
    }
    if (text.size() >= 2 && endsWith(text, ']')) return trim(text.substr(1, text.size() - 2));
    code = rpBadLiteral;
    return trim(text.substr(1));
}

}  // namespace

void TMessageRouteInformation::Clear() {
    RouteHosts.clear();
    LocalPart.clear();
    Domain.clear();
}

int TMessageRouteInformation::Parse(const std::string& text) {
    Clear();
    const std::string_view all(text);
    const std::size_t open = all.find('<');
    const std::size_t close = all.find('>');
    const bool hasOpen = open != std::string_view::npos;
    const bool hasClose = close != std::string_view::npos;
    if (hasOpen != hasClose) return rpUnbalanced;

    std::string_view path;
    if (hasOpen) {
        const std::string_view rest = trim(all.substr(open + 1));
        const std::size_t end = rest.find('>');
        if (end != std::string_view::npos) path = trim(rest.substr(0, end));
    } else {
        path = trim(all);
    }
    if (path.empty()) return rpEmptyPath;

    int code = rpOK;
    std::string_view mailbox = path;
    const std::size_t colon = path.find(':');
    if (colon != std::string_view::npos) {
        // The route part with one "," appended: its items are the texts
        // before each ",", so the appended one closes the last item.
        const std::string_view route = trim(path.substr(0, colon));
        mailbox = trim(path.substr(colon + 1));
        std::size_t from = 0;
        for (;;) {
            const std::size_t comma = route.find(',', from);
            const bool last = comma == std::string_view::npos;
            std::string_view item = trim(route.substr(from, last ? std::string_view::npos : comma - from));
            if (!startsWith(item, '@')) {
                code = rpBadRouteItem;
            } else {
                item = applyHostRule(trim(item.substr(1)), code);
                if (!item.empty()) RouteHosts.emplace_back(item);
            }
            if (last) break;
            from = comma + 1;
        }
    }

    const std::size_t at = mailbox.find('@');
    if (at == std::string_view::npos) return rpNoMailbox;
    const std::string_view local = trim(mailbox.substr(0, at));
    const std::string_view domain = trim(mailbox.substr(at + 1));

    if (local.find('"') == std::string_view::npos) {
        LocalPart = local;
    } else if (!startsWith(local, '"')) {
        code = rpBadQuoting;
    } else if (endsWith(local, '"')) {
        // A lone quote is both the opening and the closing one.
        LocalPart = local.size() >= 2 ? trim(local.substr(1, local.size() - 2)) : std::string_view();
    } else {
        LocalPart = trim(local.substr(1));
        code = rpBadQuoting;
    }

    Domain = applyHostRule(domain, code);
    return code;
}

bool TMessageRouteInformation::ReadsBackSame() const {
    TMessageRouteInformation again(Kind);
    return again.Parse(GetPath()) == rpOK && again.RouteHosts == RouteHosts && again.LocalPart == LocalPart &&
           again.Domain == Domain;
}

std::string TMessageRouteInformation::GetPath() const {
    std::string route;
    for (const std::string& host : RouteHosts) {
        std::string written = FormatRouteHost(host);
        if (written.empty()) continue;
        if (!route.empty()) route += ',';
        route += written;
    }
    std::string path = "<";
    if (!route.empty()) path += route + ":";
    if (!LocalPart.empty() && !Domain.empty()) path += FormatMailbox(LocalPart, Domain);
    return path + ">";
}

bool HoldsControlByte(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
    return false;
}

bool IsAllDigits(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool IsIPAddress(const std::string& text) {
    std::size_t dots = 0;
    for (char c : text)
        if (c == '.') ++dots;
    if (dots != 3) return false;
    std::size_t from = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t dot = part < 3 ? text.find('.', from) : text.size();
        std::int32_t value;
        if (!TryStrToInt(text.substr(from, dot - from), value) || value < 0 || value > 255)
            return false;
        from = dot + 1;
    }
    return true;
}

bool IsDomainText(const std::string& text) {
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::string FormatDomain(const std::string& text) {
    if (!IsDomainText(text)) return std::string();
    if (IsAllDigits(text)) return "#" + text;
    if (IsIPAddress(text)) return "[" + text + "]";
    return text;
}

std::string FormatRouteHost(const std::string& text) {
    std::string d = FormatDomain(text);
    return d.empty() ? std::string() : "@" + d;
}

bool IsValidLocalPart(const std::string&) { return true; }

std::string QuoteLocalPart(const std::string& text) {
    if (text.find(' ') == std::string::npos) return text;
    return "\"" + text + "\"";
}

std::string FormatMailbox(const std::string& local, const std::string& domain) {
    return QuoteLocalPart(local) + FormatRouteHost(domain);
}

bool IsValidEMailAddress(const std::string& text) {
    const std::size_t at = text.find('@');
    if (at == std::string::npos) return false;
    return IsValidLocalPart(text.substr(0, at)) && IsDomainText(text.substr(at + 1));
}
