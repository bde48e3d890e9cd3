// Mail address and envelope path syntax: the one place where the server reads
// and writes addresses.
//
// TMessageRouteInformation holds one parsed envelope path of the form
//   <@host1,@host2:local@domain>
// Parse() is lenient: it fills what it can and reports the last fault met as
// a code, leaving each caller to decide which codes it accepts (RCPT TO takes
// 0; MAIL FROM takes 0 and 1, the null path "<>"). All comparisons are exact
// and byte-wise; "trimmed" strips bytes 0..32 at both ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Result codes of TMessageRouteInformation::Parse.
enum TRouteParseCode : int {
    rpOK = 0,               // understood
    rpEmptyPath = 1,        // "<>", "" or blanks: stops the parse
    rpUnbalanced = 2,       // only one of "<" and ">": stops the parse
    rpBadLiteral = 3,       // a host with misplaced "[" / "]": parse goes on
    rpBadRouteItem = 4,     // a route item without "@" (dropped): parse goes on
    rpNoMailbox = 5,        // the mailbox part holds no "@": stops the parse
    rpBadQuoting = 6,       // a badly quoted local part: parse goes on
};

// Kinds of path (set at construction, used by neither Parse nor GetPath).
constexpr std::uint8_t rkOther = 0;        // an address from a header or a list
constexpr std::uint8_t rkForwardPath = 1;  // RCPT TO, a queued recipient
constexpr std::uint8_t rkReversePath = 2;  // MAIL FROM, the sender

class TMessageRouteInformation {
public:
    explicit TMessageRouteInformation(std::uint8_t kind = rkOther) : Kind(kind) {}

    std::uint8_t Kind;                    // never changed after construction
    std::vector<std::string> RouteHosts;  // without "@", "#" or literal brackets
    std::string LocalPart;                // without its enclosing double quotes
    std::string Domain;                   // without "#" or literal brackets

    // Empties RouteHosts, LocalPart and Domain; Kind stays.
    void Clear();
    // Clears, then parses text; returns 0..6 (TRouteParseCode). On codes 1, 2
    // and 5 the fields keep what was filled before the parse stopped.
    int Parse(const std::string& text);
    // The path written back: "<" + formatted route hosts joined by "," and
    // closed by ":" + FormatMailbox(LocalPart, Domain) when both are non-empty
    // + ">". Hosts that are not domain text are left out. A cleared record
    // gives "<>".
    std::string GetPath() const;
    // True when GetPath() parses again with code 0 to the same RouteHosts,
    // LocalPart and Domain.
    bool ReadsBackSame() const;
};

// True when the text holds a control byte (0..31 or 127): such a text is no
// address, since a CR or LF in it would end a line of a header or a command.
bool HoldsControlByte(std::string_view text);
// True when every byte is "0".."9" (true for "").
bool IsAllDigits(const std::string& text);
// True for a dotted IPv4 address: exactly three dots, each of the four parts a
// number 0..255 by the integer text rule (StrToIntDefault's).
bool IsIPAddress(const std::string& text);
// True when every byte is a letter a-z/A-Z, a digit, "-" or "." (true for "").
bool IsDomainText(const std::string& text);
// The domain as written in replies: "" when not domain text; "#" + text when
// all digits (so "" gives "#"); "[" + text + "]" for an IPv4 address; else text.
std::string FormatDomain(const std::string& text);
// "@" + FormatDomain(text), or "" when text is not domain text.
std::string FormatRouteHost(const std::string& text);
// Always true: local parts are not checked.
bool IsValidLocalPart(const std::string& text);
// text in double quotes when it holds a blank, else text.
std::string QuoteLocalPart(const std::string& text);
// QuoteLocalPart(local) + FormatRouteHost(domain): the local part alone when
// the domain is not domain text.
std::string FormatMailbox(const std::string& local, const std::string& domain);
// False without "@"; else IsValidLocalPart(before the first "@") and
// IsDomainText(after it).
bool IsValidEMailAddress(const std::string& text);
