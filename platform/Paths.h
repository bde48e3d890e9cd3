// Where Tavrin keeps its files, and how names built from account names find
// their entries.
//
// Windows file systems ignore letter case; Linux ones do not. A path
// built from an account name (a user folder, its information file, a list
// file) therefore looks for an entry of the same name in any ASCII letter case
// when the exact name does not exist. New entries are created with the name as
// given. Only the last component is resolved: the folders from the settings
// are used as written.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace platform {

// ${XDG_DATA_HOME:-$HOME/.local/share}/Quentar/Tavrin/ (always ends in "/").
// A relative or empty XDG_DATA_HOME is ignored, as the XDG rules say.
std::string basePath();

// ASCII letter-case helpers for names and keys (bytes above 127 unchanged).
std::string lowerCase(std::string_view s);
std::string upperCase(std::string_view s);
bool equalsNoCase(std::string_view a, std::string_view b);

// The name under which `name` is found in `folder` (ending in "/"): `name`
// itself when such an entry exists or when no entry matches without regard to
// case; otherwise the matching entry (the lowest in byte order when several
// do). The temporary folder of stored files is never a match.
std::string resolveName(const std::string& folder, const std::string& name);

// resolveName, and in `found` what stat (following links) says of the entry
// it names: all zero (st_mode 0) when there is none. Saves callers a second
// look at the same path.
std::string resolveName(const std::string& folder, const std::string& name, struct stat& found);

// folder + resolveName(folder, name).
inline std::string resolvePath(const std::string& folder, const std::string& name) {
    return folder + resolveName(folder, name);
}

}  // namespace platform
