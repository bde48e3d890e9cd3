// Clock helpers. Date-times the system computes with are Delphi-style doubles:
// days since 1899-12-30 in local time, the fraction being the time of day.
// Tests may fix Now() so that sweeps and expiries are checked without waiting.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace platform {

double Now();                                  // the injected time, when set
void setNowOverride(std::optional<double> t);  // tests only
void advanceNow(double days);                  // tests only: moves a fixed Now()

double dateTimeFromTimeT(std::time_t t);       // local time
std::time_t timeTFromDateTime(double dt);      // local time
std::tm localTm(double dt);                    // broken-down local time

std::uint32_t GetTickCount();                  // steady milliseconds, wraps at 2^32
long localUtcOffsetSeconds();                  // of the current time (tm_gmtoff)
void Sleep(unsigned ms);

}  // namespace platform
