// The user's date and time formats (the C library's %x and %X in the LC_TIME
// locale of the environment, whatever the process's own setlocale state is).
// Falls back to the "C" formats when the environment names no usable locale.
#pragma once

#include <string>

namespace platform {

std::string shortDateText(double dateTime);  // %x of a Delphi-style local date-time
std::string longTimeText(double dateTime);   // %X of a Delphi-style local date-time

}  // namespace platform
