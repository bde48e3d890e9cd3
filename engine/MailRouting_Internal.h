// Helpers shared by the routing unit's source files; not for other units.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mailrouting {

// Trims bytes 0..32 at both ends.
std::string trimText(std::string_view s);
// The lines, each followed by CR LF, as one text.
std::string joinLines(const std::vector<std::string>& lines);
// Splits a stored text file into lines. Files this server writes end their
// lines in CR LF, and only CR LF ends a line then, so a lone CR or LF inside a
// message line survives; a file without any CR LF (edited by hand) is split
// at LF. A last line without an end counts; an end at the very end adds none.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace mailrouting
