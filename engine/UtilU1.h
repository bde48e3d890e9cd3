// Small helpers of the engine: file operations through the platform shell
// layer, opening a document or link, file sizes, free queue-file names, the
// system's DNS servers, the date-time text of the "Received:" line, the
// integer text rule, and the process's one pseudo-random generator.
// None of them logs and none throws. The mail address and path syntax is in
// UtilU1_Address.h, included here so that callers need only this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "UtilU1_Address.h"

// --- file system and shell -------------------------------------------------

// operation is "COPY", "DELETE", "MOVE" or "RENAME" in any letter case; silent,
// no confirmation, permanent. True on success; false on any failure and for any
// other operation name. destination is ignored by DELETE (pass "").
bool FileOperation(const std::string& source, const std::string& destination,
                   const std::string& operation);

// Opens a file or a link with the desktop's opener, without waiting; true when
// the opener was started.
bool ShellOpen(const std::string& target);

// Size in bytes of the regular file at path; -1 when it is missing, is not a
// regular file, or cannot be opened for reading.
std::int64_t FileSizeByName(const std::string& path);

// Creates folder (with parents) and returns a decimal number 0..99998, drawn
// from Random(), such that no entry named that number, with or without any
// extension, exists in it. Returns "" only when all 99,999 numbers are taken.
// Nothing reserves the name: the caller creates its file at once.
std::string UniqueFileName(const std::string& folder);

// Fills list (cleared first) with the DNS servers the system is configured
// with: the "nameserver" lines of /etc/resolv.conf in order, each value split
// at "," and " " as SplitNameServerValue does. Empty when the file is missing.
void GetSystemDNSServers(std::vector<std::string>& list);
// The same from another resolver file (tests).
void GetDNSServersFromResolvConf(const std::string& path, std::vector<std::string>& list);
// Appends the parts of a name-server value split at every character of
// separators: each part before a separator trimmed of blanks, the rest after
// the last one as it is; two separators in a row give an empty entry.
// An empty value adds nothing.
void SplitNameServerValue(const std::string& value, const std::string& separators,
                          std::vector<std::string>& list);

// --- date and time texts ---------------------------------------------------

// "Sun".."Sat" for 1..7 (1 = Sunday); "" for any other number.
std::string DayName(int dayOfWeek);
// "Jan".."Dec" for 1..12; "" for any other number.
std::string MonthName(int month);

// Zone text of a UTC offset: sign ("+" for 0 or more), two-digit hours, ":",
// two-digit minutes, then one blank: "+05:30 ", "-10:00 ", "+00:00 ".
std::string TimeZoneText(long utcOffsetSeconds);
// TimeZoneText of the local offset now.
std::string GetTimeZoneText();

// "Received:" line date: "Tue, 8 Dec 2026 06:45:09 +01:00 " (day name, day of
// month without leading zero, month name, year, hh:mm:ss, zone text with its
// trailing blank) for a Delphi-style local date-time and its UTC offset.
std::string DateTimeText(double dateTime, long utcOffsetSeconds);
// DateTimeText of platform::Now(), read once, with the local offset of that
// moment. TServerInformation::GetDateTimeText returns this (call it as
// ::DateTimeText() from inside the class).
std::string DateTimeText();

// The system's short date / long time format of a Delphi-style local date-time
// (log lines, list notices).
std::string DateToStr(double dateTime);
std::string TimeToStr(double dateTime);

// --- log text --------------------------------------------------------------

// Text from a peer (client, next hop, message) as it goes into a log line:
// control bytes (0..31 and 127) become "?", so that no peer can end a log
// line early and write one of its own.
std::string Printable(std::string text);

// --- integer text rule -----------------------------------------------------

// Optional leading blanks, optional "+"/"-", then decimal digits, or hex digits
// after "$", "x", "X", "0x" or "0X"; nothing may follow; the value must fit in
// a signed 32-bit integer. True and the value in out when the text is a number
// (out is untouched otherwise).
bool TryStrToInt(const std::string& text, std::int32_t& out);
// The value of text by that rule, or def when text is not a number.
std::int32_t StrToIntDefault(const std::string& text, std::int32_t def);

// --- the process's pseudo-random generator ---------------------------------

// Seeds the generator from the clock (the settings object does this once at
// start-up).
void Randomize();
// Seeds the generator with a fixed value (tests).
void RandSeed(std::uint32_t seed);
// A whole number 0..range-1 from the generator; 0 when range <= 0.
std::int32_t Random(std::int32_t range);
