#include "Locale.h"

#include <locale.h>

#include <ctime>

#include "Clock.h"

namespace platform {
namespace {

// The environment's LC_TIME, opened once; the process's global locale is left
// alone (it may be "C" for the rest of the program).
locale_t timeLocale() {
    static locale_t loc = [] {
        locale_t l = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
        if (!l) l = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

std::string format(const char* fmt, double dateTime) {
    std::tm tm = localTm(dateTime);
    char buf[128];
    locale_t loc = timeLocale();
    std::size_t n = loc ? ::strftime_l(buf, sizeof buf, fmt, &tm, loc) : std::strftime(buf, sizeof buf, fmt, &tm);
    return std::string(buf, n);
}

}  // namespace

std::string shortDateText(double dateTime) { return format("%x", dateTime); }
std::string longTimeText(double dateTime) { return format("%X", dateTime); }

}  // namespace platform
