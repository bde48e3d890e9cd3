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

std::string resolveName(const std::string& folder, const std::string& name, struct stat& found) {
    found = {};
    // The entry's lstat answers both questions when it is no link: whether the
    // exact name exists, and what a stat of it would say.
    if (!name.empty() && !isTempFolderName(name) && ::lstat((folder + name).c_str(), &found) == 0) {
        if (S_ISLNK(found.st_mode) && ::stat((folder + name).c_str(), &found) != 0) found = {};
        return name;
    }
    found = {};
    std::string resolved = name;
    if (!name.empty() && !isTempFolderName(name)) {
        if (DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str())) {
            bool matched = false;
            while (dirent* e = ::readdir(dir)) {
                std::string_view entry(e->d_name);
                if (entry == "." || entry == ".." || isTempFolderName(entry)) continue;
                if (equalsNoCase(entry, name) && (!matched || entry < resolved)) {
                    resolved = entry;
                    matched = true;
                }
            }
            ::closedir(dir);
            // An entry that is gone since the lstat above is looked at again.
            if (!matched) resolved = name;
        }
    }
    if (::stat((folder + resolved).c_str(), &found) != 0) found = {};
    return resolved;
}

std::string resolveName(const std::string& folder, const std::string& name) {
    if (name.empty() || isTempFolderName(name)) return name;
    struct stat st {};
    if (::lstat((folder + name).c_str(), &st) == 0) return name;
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

}  // namespace platform
