#include "DataU1_Internal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/DurableFile.h"
#include "platform/Paths.h"

namespace datau1 {

std::string trimText(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
    return std::string(s);
}

bool hasIniExtension(std::string_view name) {
    auto dot = name.rfind('.');
    return dot != std::string_view::npos && platform::equalsNoCase(name.substr(dot), ".ini");
}

bool lessLikeFolder(std::string_view a, std::string_view b) {
    const auto up = [](char c) { return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (up(a[i]) != up(b[i])) return up(a[i]) < up(b[i]);
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

void sortLikeFolder(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return lessLikeFolder(a, b); });
}

std::vector<FolderEntry> listFolder(const std::string& folder) {
    std::vector<FolderEntry> out;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return out;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name == "." || name == "..") continue;
        struct stat st {};
        bool isFolder = ::stat((folder + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out.push_back({std::move(name), isFolder});
    }
    ::closedir(dir);
    return out;
}

bool folderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool regularFileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool makeFolders(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path target = fs::path(path).lexically_normal();
    if (target.has_filename() == false) target = target.parent_path();
    // The levels that do not exist yet: once made, each one's entry in its
    // parent is flushed, so a message stored in a new folder survives a
    // power loss together with the folder.
    std::vector<fs::path> missing;
    for (fs::path p = target; !p.empty() && !folderExists(p.string()); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    if (missing.empty()) return true;
    std::error_code ec;
    fs::create_directories(target, ec);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) platform::syncFolder(it->parent_path().string());
    return folderExists(path);
}

std::uint64_t digestOf(std::string_view bytes) {
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

std::string withSlash(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + "/";
}

}  // namespace datau1
