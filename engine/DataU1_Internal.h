// Helpers shared by the data layer's source files; not for other units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace datau1 {

// Trim as the Delphi string library does: bytes 0..32 at both ends.
std::string trimText(std::string_view s);
// True when the name's extension (from its last ".") is ".ini" in any case.
bool hasIniExtension(std::string_view name);
// Sorts names as a Windows folder enumeration gives them: without regard
// to ASCII case first, then by bytes, so the order is total.
void sortLikeFolder(std::vector<std::string>& names);
// The order of sortLikeFolder, without allocating.
bool lessLikeFolder(std::string_view a, std::string_view b);
// Names of a folder's entries ("." and ".." left out); empty when unreadable.
struct FolderEntry {
    std::string name;
    bool isFolder = false;
};
std::vector<FolderEntry> listFolder(const std::string& folder);
bool folderExists(const std::string& path);
bool regularFileExists(const std::string& path);
// Creates a folder with its parents; the result is true when it exists after.
bool makeFolders(const std::string& path);
// 64-bit FNV-1a of bytes.
std::uint64_t digestOf(std::string_view bytes);
// Folder text with "/" appended when it does not end in one.
std::string withSlash(const std::string& folder);

}  // namespace datau1
