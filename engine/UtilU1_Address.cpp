#include "UtilU1_Address.h"

#include "UtilU1.h"

namespace {

bool isTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isTrimmed(s[b])) ++b;
    while (e > b && isTrimmed(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool startsWith(const std::string& s, char c) { return !s.empty() && s.front() == c; }
bool endsWith(const std::string& s, char c) { return !s.empty() && s.back() == c; }

// The host rule shared by route items and the domain: strips "#" or the
// brackets of an address literal; code becomes 3 for a misplaced bracket.
std::string applyHostRule(const std::string& text, int& code) {
    if (startsWith(text, '#')) return trim(text.substr(1));
    if (text.find_first_of("[]") == std::string::npos) return text;
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
    const std::size_t open = text.find('<');
    const std::size_t close = text.find('>');
    const bool hasOpen = open != std::string::npos;
    const bool hasClose = close != std::string::npos;
    if (hasOpen != hasClose) return rpUnbalanced;

    std::string path;
    if (hasOpen) {
        const std::string rest = trim(text.substr(open + 1));
        const std::size_t end = rest.find('>');
        if (end != std::string::npos) path = trim(rest.substr(0, end));
    } else {
        path = trim(text);
    }
    if (path.empty()) return rpEmptyPath;

    int code = rpOK;
    std::string mailbox = path;
    const std::size_t colon = path.find(':');
    if (colon != std::string::npos) {
        std::string route = trim(path.substr(0, colon)) + ",";
        mailbox = trim(path.substr(colon + 1));
        std::size_t comma;
        while ((comma = route.find(',')) != std::string::npos) {
            std::string item = trim(route.substr(0, comma));
            route = trim(route.substr(comma + 1));
            if (!startsWith(item, '@')) {
                code = rpBadRouteItem;
                continue;
            }
            item = applyHostRule(trim(item.substr(1)), code);
            if (!item.empty()) RouteHosts.push_back(item);
        }
    }

    const std::size_t at = mailbox.find('@');
    if (at == std::string::npos) return rpNoMailbox;
    const std::string local = trim(mailbox.substr(0, at));
    const std::string domain = trim(mailbox.substr(at + 1));

    if (local.find('"') == std::string::npos) {
        LocalPart = local;
    } else if (!startsWith(local, '"')) {
        code = rpBadQuoting;
    } else if (endsWith(local, '"')) {
        // A lone quote is both the opening and the closing one.
        LocalPart = local.size() >= 2 ? trim(local.substr(1, local.size() - 2)) : std::string();
    } else {
        LocalPart = trim(local.substr(1));
        code = rpBadQuoting;
    }

    Domain = applyHostRule(domain, code);
    return code;
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

bool TMessageRouteInformation::ReadsBackSame() const {
    TMessageRouteInformation again(Kind);
    return again.Parse(GetPath()) == rpOK && again.RouteHosts == RouteHosts &&
           again.LocalPart == LocalPart && again.Domain == Domain;
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
