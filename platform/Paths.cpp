#include "Paths.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "DurableFile.h"

namespace platform {

std::string basePath() {
    std::string data;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        data = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = (home && home[0]) ? home : "";
        if (h.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
        }
        data = h + "/.local/share";
    }
    while (data.size() > 1 && data.back() == '/') data.pop_back();
    return data + "/Quentar/Tavrin/";
}

std::string lowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

std::string upperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

namespace {

// The entry of folder that equals name without regard to case (the lowest in
// byte order when several do); name itself when none does.
std::string matchNoCase(const std::string& folder, const std::string& name) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return name;
    std::string best;
    bool found = false;
    while (dirent* e = ::readdir(dir)) {
        std::string_view entry(e->d_name);
        if (entry == "." || entry == ".." || isTempFolderName(entry)) continue;
        if (equalsNoCase(entry, name) && (!found || entry < best)) {
            best = entry;
            found = true;
        }
    }
    ::closedir(dir);
    return found ? best : name;
}

}  // namespace

std::string resolveName(const std::string& folder, const std::string& name, struct stat& found) {
    found = {};
    if (name.empty() || isTempFolderName(name)) {
        if (::stat((folder + name).c_str(), &found) != 0) found = {};
        return name;
    }
    // The lstat answers both questions when the entry is no link: whether the
    // exact name exists, and what a stat of it would say.
    if (::lstat((folder + name).c_str(), &found) == 0) {
        if (S_ISLNK(found.st_mode) && ::stat((folder + name).c_str(), &found) != 0) found = {};
        return name;
    }
    found = {};
    std::string resolved = matchNoCase(folder, name);
    if (resolved != name && ::stat((folder + resolved).c_str(), &found) != 0) found = {};
    return resolved;
}

std::string resolveName(const std::string& folder, const std::string& name) {
    if (name.empty() || isTempFolderName(name)) return name;
    struct stat st {};
    if (::lstat((folder + name).c_str(), &st) == 0) return name;
    return matchNoCase(folder, name);
}

}  // namespace platform
