// Profile (INI) files with the Windows profile semantics Tavrin relies on.
//
// - Sections and keys are matched without regard to ASCII letter case; blanks
//   around section and key names do not count. Values are read exactly as
//   written after the first "=" (no trimming, no quote stripping).
// - Writing a key replaces the first line of that key in its section (the
//   key keeps its spelling in the file) or appends it to the section; a new
//   section goes to the end. Every other line of the file - other sections,
//   other keys, comments, blank lines - is kept as it stands.
// - Integers are read by the system's integer text rule (parseInteger), and
//   a value that is not a number reads as the default; booleans are written
//   "1"/"0" and read as integers (non-zero is true).
// - A section's key=value lines come back in file order (comment lines
//   beginning with ";" and lines without "=" are not among them).
// - Lines are written with CR LF; LF and CR LF are both read.
//
// The object holds the file in memory; load() reads it and save() writes it
// back whole, durably and atomically (DurableFile.h). Not thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "DurableFile.h"

namespace platform {

class Profile {
public:
    Profile() = default;

    // Reads `path`; a missing file reads as empty and gives true. False when
    // the file exists but cannot be read (the profile is then empty).
    bool load(const std::string& path, FileStamp* stamp = nullptr);
    // Writes the whole profile to `path` (created when missing).
    bool save(const std::string& path, FileStamp* stamp = nullptr) const;

    void parse(std::string_view text);
    std::string text() const;  // the file's bytes, CR LF line ends

    bool sectionExists(std::string_view section) const;
    bool valueExists(std::string_view section, std::string_view key) const;

    std::string readString(std::string_view section, std::string_view key,
                           std::string_view def = {}) const;
    int readInteger(std::string_view section, std::string_view key, int def) const;
    bool readBool(std::string_view section, std::string_view key, bool def) const;

    // A value holding LF, or a section or key that could not be read back as
    // written (empty, holding LF, CR, "=" or "]", or beginning with "[" or
    // ";"), would change the file's structure: these throw
    // std::invalid_argument and leave the profile unchanged.
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, int value);
    void writeBool(std::string_view section, std::string_view key, bool value);

    // Removes every section of that name with all its lines.
    void eraseSection(std::string_view section);
    void deleteKey(std::string_view section, std::string_view key);

    // The key=value lines of the (first) section of that name, in file order.
    std::vector<std::string> sectionValues(std::string_view section) const;
    // Section names in file order.
    std::vector<std::string> sections() const;

    // The system's integer text rule: optional leading blanks, an optional
    // "+" or "-", then decimal digits, or hexadecimal digits after "$", "x",
    // "X", "0x" or "0X"; nothing may follow; the value must fit in 32 bits
    // signed. False (value untouched) for anything else.
    static bool parseInteger(std::string_view text, int& value);

private:
    struct Range {
        std::size_t header;  // index of the "[...]" line
        std::size_t end;     // one past the section's last line
    };
    // The first section of that name, or false.
    bool findSection(std::string_view section, Range& r) const;
    // Index of the key's line within r, or npos.
    std::size_t findKey(const Range& r, std::string_view key) const;

    std::vector<std::string> lines_;
};

}  // namespace platform
