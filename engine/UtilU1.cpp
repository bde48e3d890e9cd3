#include "UtilU1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <unordered_set>

#include "platform/Clock.h"
#include "platform/Locale.h"
#include "platform/Shell.h"

namespace fs = std::filesystem;

namespace {

std::string upperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

std::string trimBlanks(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isBlankOrTab(s[b])) ++b;
    while (e > b && isBlankOrTab(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::mt19937& generator() {
    static std::mt19937 g(5489u);
    return g;
}

constexpr std::int32_t kQueueNameRange = 99999;  // names 0..99998

}  // namespace

// --- file system and shell -------------------------------------------------

bool FileOperation(const std::string& source, const std::string& destination,
                   const std::string& operation) {
    const std::string op = upperAscii(operation);
    platform::FileOp kind;
    if (op == "COPY")
        kind = platform::FileOp::Copy;
    else if (op == "DELETE")
        kind = platform::FileOp::Delete;
    else if (op == "MOVE")
        kind = platform::FileOp::Move;
    else if (op == "RENAME")
        kind = platform::FileOp::Rename;
    else
        return false;  // an unknown operation does nothing
    return platform::fileOperation(kind, source, destination);
}

bool ShellOpen(const std::string& target) { return platform::shellOpen(target); }

std::int64_t FileSizeByName(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    std::int64_t size = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = static_cast<std::int64_t>(st.st_size);
    ::close(fd);
    return size;
}

std::string UniqueFileName(const std::string& folder) {
    std::string dir = folder;
    if (dir.empty() || dir.back() != '/') dir += '/';
    std::error_code ec;
    fs::create_directories(dir, ec);

    // A number is taken by any entry named "n" or "n.<anything>": collect the
    // part before the first dot of every all-digit-stemmed entry once.
    std::unordered_set<std::int32_t> taken;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string stem = name.substr(0, name.find('.'));
        if (stem.empty() || stem.size() > 5 || !IsAllDigits(stem)) continue;
        if (stem.size() > 1 && stem[0] == '0') continue;  // "007" never equals a drawn name
        taken.insert(static_cast<std::int32_t>(std::stoi(stem)));
    }

    // Random draws while free numbers are plentiful; when the folder is nearly
    // full, a bounded number of draws is followed by a scan so that the search
    // always ends.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::int32_t n = Random(kQueueNameRange);
        if (!taken.count(n)) return std::to_string(n);
    }
    std::int32_t start = Random(kQueueNameRange);
    for (std::int32_t i = 0; i < kQueueNameRange; ++i) {
        std::int32_t n = (start + i) % kQueueNameRange;
        if (!taken.count(n)) return std::to_string(n);
    }
    return std::string();
}

void SplitNameServerValue(const std::string& value, const std::string& separators,
                          std::vector<std::string>& list) {
    if (value.empty()) return;
    std::size_t from = 0;
    for (;;) {
        std::size_t sep = value.find_first_of(separators, from);
        if (sep == std::string::npos) {
            list.push_back(value.substr(from));
            return;
        }
        list.push_back(trimBlanks(value.substr(from, sep - from)));
        from = sep + 1;
    }
}

void GetDNSServersFromResolvConf(const std::string& path, std::vector<std::string>& list) {
    list.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    static const std::string keyword = "nameserver";
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t b = 0;
        while (b < line.size() && isBlankOrTab(line[b])) ++b;
        if (line.compare(b, keyword.size(), keyword) != 0) continue;
        std::size_t after = b + keyword.size();
        if (after >= line.size() || !isBlankOrTab(line[after])) continue;  // "nameservers" ...
        // The value as the registry would hold it: the words after the keyword.
        SplitNameServerValue(trimBlanks(line.substr(after)), ", ", list);
    }
}

void GetSystemDNSServers(std::vector<std::string>& list) {
    GetDNSServersFromResolvConf("/etc/resolv.conf", list);
}

// --- date and time texts ---------------------------------------------------

std::string DayName(int dayOfWeek) {
    static const char* const names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    if (dayOfWeek < 1 || dayOfWeek > 7) return std::string();
    return names[dayOfWeek - 1];
}

std::string MonthName(int month) {
    static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (month < 1 || month > 12) return std::string();
    return names[month - 1];
}

std::string TimeZoneText(long utcOffsetSeconds) {
    long minutes = utcOffsetSeconds / 60;
    char sign = minutes >= 0 ? '+' : '-';
    long a = minutes < 0 ? -minutes : minutes;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%02ld:%02ld ", sign, a / 60, a % 60);
    return buf;
}

std::string GetTimeZoneText() { return TimeZoneText(platform::localUtcOffsetSeconds()); }

std::string DateTimeText(double dateTime, long utcOffsetSeconds) {
    std::tm tm = platform::localTm(dateTime);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d ", DayName(tm.tm_wday + 1).c_str(),
                  tm.tm_mday, MonthName(tm.tm_mon + 1).c_str(), tm.tm_year + 1900, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    return buf + TimeZoneText(utcOffsetSeconds);
}

std::string DateTimeText() {
    // One reading of the clock for date and time alike, so that a line
    // written at midnight cannot pair one day's date with the next day's time.
    const double now = platform::Now();
    std::tm tm = platform::localTm(now);
    std::time_t t = std::mktime(&tm);
    std::tm local{};
    long offset = platform::localUtcOffsetSeconds();
    if (t != static_cast<std::time_t>(-1) && localtime_r(&t, &local)) offset = local.tm_gmtoff;
    return DateTimeText(now, offset);
}

std::string DateToStr(double dateTime) { return platform::shortDateText(dateTime); }
std::string TimeToStr(double dateTime) { return platform::longTimeText(dateTime); }

// --- integer text rule -----------------------------------------------------

bool TryStrToInt(const std::string& text, std::int32_t& out) {
    std::size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (; i < n; ++i) {
        char c = text[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        value = value * base + d;
        if (value > limit) return false;
    }
    out = static_cast<std::int32_t>(negative ? -value : value);
    return true;
}

std::string Printable(std::string text) {
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) c = '?';
    }
    return text;
}

std::int32_t StrToIntDefault(const std::string& text, std::int32_t def) {
    std::int32_t v;
    return TryStrToInt(text, v) ? v : def;
}

// --- the process's pseudo-random generator ---------------------------------

void Randomize() {
    auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    generator().seed(static_cast<std::uint32_t>(ticks ^ (ticks >> 32)));
}

void RandSeed(std::uint32_t seed) { generator().seed(seed); }

std::int32_t Random(std::int32_t range) {
    if (range <= 0) return 0;
    std::uniform_int_distribution<std::int32_t> dist(0, range - 1);
    return dist(generator());
}
