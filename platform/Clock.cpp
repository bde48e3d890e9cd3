#include "Clock.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace platform {
namespace {
std::optional<double> g_override;
constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as days since 1899-12-30
}  // namespace

double dateTimeFromTimeT(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return kUnixEpochDays + (static_cast<double>(t) + static_cast<double>(tm.tm_gmtoff)) / 86400.0;
}

std::tm localTm(double dt) {
    // The double is local time already: read it back as if it were UTC.
    // The fraction of a second is dropped, never rounded up: 23:59:59.6 is
    // still today. The small allowance only absorbs the double's error, so a
    // whole second stored as x.9999999 reads as x+1.
    double secs = std::floor((dt - kUnixEpochDays) * 86400.0 + 1e-5);
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    tm.tm_isdst = -1;
    return tm;
}

std::time_t timeTFromDateTime(double dt) {
    std::tm tm = localTm(dt);
    return std::mktime(&tm);
}

double Now() {
    if (g_override) return *g_override;
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    return dateTimeFromTimeT(t) + static_cast<double>(ms) / 86400000.0;
}

void setNowOverride(std::optional<double> t) { g_override = t; }

void advanceNow(double days) {
    if (g_override) *g_override += days;
}

std::uint32_t GetTickCount() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

long localUtcOffsetSeconds() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm.tm_gmtoff;
}

void Sleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
