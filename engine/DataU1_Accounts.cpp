// The account directory: users (folders of the mailbox folder), mailing lists
// (".ini" files of the mailing-list folder) and aliases (entries of the
// settings object), one name space compared without regard to case.
#include <sys/stat.h>

#include "DataU1.h"
#include "DataU1_Internal.h"
#include "UtilU1.h"
#include "platform/DurableFile.h"
#include "platform/Paths.h"

namespace {

constexpr std::string_view kAccountForbidden = "()<>@,;:\\[]\"";
constexpr std::string_view kAliasForbidden = "()<>,;:\\[]\"";

std::string aliasIdOf(const std::string& text) {
    std::string id, user;
    TServerInformation::SplitAlias(text, id, user);
    return id;
}

std::string aliasUserOf(const std::string& text) {
    std::string id, user;
    TServerInformation::SplitAlias(text, id, user);
    return user;
}

bool isHidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

}  // namespace

bool IsValidAccountName(const std::string& text) {
    return text.find_first_of(kAccountForbidden) == std::string::npos;
}

bool IsValidAliasID(const std::string& text) {
    return text.find_first_of(kAliasForbidden) == std::string::npos;
}

// "*" and "?" cannot occur in Windows file names, and the shell layer
// reads them as patterns; "/", "\" and NUL would leave the folder.
bool IsUsableAccountName(const std::string& text) {
    if (text.empty() || text == "." || text == "..") return false;
    if (text.find_first_of(std::string_view("/\\*?\0", 5)) != std::string::npos) return false;
    return !platform::isTempFolderName(text);
}

// A leading "." hides the entry from the user list, so the manager could
// never show or delete it; a user "x.ini" would be taken for the list file
// of "x"; control bytes make names that no dialog can show or type.
bool IsAccountName(const std::string& text) {
    if (!IsUsableAccountName(text) || !IsValidAccountName(text)) return false;
    if (text.front() == '.' || datau1::hasIniExtension(text)) return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
    return true;
}

// --- users -------------------------------------------------------------------

std::string TServerInformation::UserFolder(const std::string& user) const {
    if (!IsUsableAccountName(user)) return {};
    return platform::resolvePath(MailBoxPath, user) + "/";
}

std::string TServerInformation::UserFolder(const std::string& user, bool& exists) const {
    exists = false;
    if (!IsUsableAccountName(user)) return {};
    struct stat found {};
    std::string name = platform::resolveName(MailBoxPath, user, found);
    exists = S_ISDIR(found.st_mode);
    return MailBoxPath + name + "/";
}

void TServerInformation::GetUsers(std::vector<std::string>& list) const {
    list.clear();
    if (!datau1::folderExists(MailBoxPath)) return;
    for (const auto& e : datau1::listFolder(MailBoxPath))
        if (!isHidden(e.name) && !datau1::hasIniExtension(e.name)) list.push_back(e.name);
    datau1::sortLikeFolder(list);
    for (std::string& name : list) name = platform::lowerCase(name);
}

bool TServerInformation::UserExists(const std::string& user) const {
    bool exists = false;
    return !UserFolder(user, exists).empty() && exists;
}

bool TServerInformation::UserInfoFileExists(const std::string& user) const {
    std::string folder = UserFolder(user);
    if (folder.empty()) return false;
    struct stat found {};
    platform::resolveName(folder, user + ".ini", found);
    return S_ISREG(found.st_mode);
}

bool TServerInformation::CreateUser(const std::string& user) {
    if (!IsAccountName(user)) return false;
    if (UserExists(user)) return true;
    TPop3UserInformation record;
    return record.SaveUser(user);
}

bool TServerInformation::DeleteUser(const std::string& user) {
    if (!IsUsableAccountName(user)) return false;
    bool result = true;
    std::string folder = UserFolder(user);
    if (datau1::folderExists(folder)) {
        for (const auto& e : datau1::listFolder(folder))
            if (!e.isFolder && !FileOperation(folder + e.name, "", "DELETE")) result = false;
        if (!FileOperation(folder, "", "DELETE")) result = false;
        platform::syncFolder(MailBoxPath);
    }
    for (std::size_t i = Aliases.size(); i-- > 0;)
        if (platform::equalsNoCase(aliasUserOf(Aliases[i]), user)) Aliases.erase(Aliases.begin() + static_cast<std::ptrdiff_t>(i));
    return result;
}

bool TServerInformation::RenameUser(const std::string& oldName, const std::string& newName) {
    if (platform::equalsNoCase(oldName, newName)) return true;
    if (!IsUsableAccountName(oldName) || !IsUsableAccountName(newName)) return false;
    if (NameTaken(newName) || !IsAccountName(newName)) return false;

    std::string from = platform::resolvePath(MailBoxPath, oldName);
    bool folderRenamed = datau1::folderExists(from) && FileOperation(from, MailBoxPath + newName, "RENAME");
    std::string newFolder = MailBoxPath + newName + "/";
    std::string info = platform::resolvePath(newFolder, oldName + ".ini");
    bool infoRenamed =
        datau1::regularFileExists(info) && FileOperation(info, newFolder + newName + ".ini", "RENAME");
    platform::syncFolder(MailBoxPath);
    if (folderRenamed) platform::syncFolder(newFolder);

    for (std::string& entry : Aliases)
        if (platform::equalsNoCase(aliasUserOf(entry), oldName)) entry = aliasIdOf(entry) + AliasSeparator + newName;
    return folderRenamed && infoRenamed;
}

// --- mailing lists -----------------------------------------------------------

std::string TServerInformation::MailListFileName(const std::string& name) const {
    if (!IsUsableAccountName(name)) return {};
    return platform::resolvePath(MailingListPath, name + ".ini");
}

void TServerInformation::GetMailLists(std::vector<std::string>& list) const {
    list.clear();
    if (!datau1::folderExists(MailingListPath)) return;
    for (const auto& e : datau1::listFolder(MailingListPath))
        if (!e.isFolder && datau1::hasIniExtension(e.name) && e.name.size() > 4)
            list.push_back(e.name.substr(0, e.name.size() - 4));
    datau1::sortLikeFolder(list);
    for (std::string& name : list) name = platform::lowerCase(name);
}

bool TServerInformation::MailListExists(const std::string& name) const {
    std::string file = MailListFileName(name);
    return !file.empty() && datau1::regularFileExists(file);
}

bool TServerInformation::CreateMailList(const std::string& name) {
    if (!IsAccountName(name)) return false;
    if (MailListExists(name)) return true;
    TMailListInformation list;
    return list.SaveToFile(name, true);
}

bool TServerInformation::DeleteMailList(const std::string& name) {
    if (!MailListExists(name)) return false;
    bool ok = FileOperation(MailListFileName(name), "", "DELETE");
    platform::syncFolder(MailingListPath);
    return ok;
}

bool TServerInformation::RenameMailList(const std::string& oldName, const std::string& newName) {
    if (platform::equalsNoCase(oldName, newName)) return true;
    if (!IsUsableAccountName(oldName) || !IsUsableAccountName(newName)) return false;
    if (NameTaken(newName) || !IsAccountName(newName)) return false;
    std::string from = MailListFileName(oldName);
    if (!datau1::regularFileExists(from)) return false;
    bool ok = FileOperation(from, MailingListPath + newName + ".ini", "RENAME");
    platform::syncFolder(MailingListPath);
    return ok;
}

// --- aliases -----------------------------------------------------------------

void TServerInformation::GetAliases(std::vector<std::string>& list) const { list = Aliases; }

void TServerInformation::SplitAlias(const std::string& text, std::string& aliasID, std::string& user) {
    auto at = text.find(AliasSeparator);
    if (at == std::string::npos) {
        aliasID = text;
        user.clear();
        return;
    }
    aliasID = text.substr(0, at);
    user = text.substr(at + std::string_view(AliasSeparator).size());
}

bool TServerInformation::AliasExists(const std::string& text) const {
    std::string id = aliasIdOf(text);
    for (const std::string& entry : Aliases)
        if (platform::equalsNoCase(aliasIdOf(entry), id)) return true;
    return false;
}

bool TServerInformation::AddAlias(const std::string& aliasID, const std::string& user) {
    if (AliasExists(aliasID)) return false;
    Aliases.push_back(aliasID + AliasSeparator + user);
    return true;
}

void TServerInformation::DeleteAlias(const std::string& text) {
    std::string id = aliasIdOf(text);
    for (std::size_t i = Aliases.size(); i-- > 0;)
        if (platform::equalsNoCase(aliasIdOf(Aliases[i]), id)) Aliases.erase(Aliases.begin() + static_cast<std::ptrdiff_t>(i));
}

bool TServerInformation::FindAlias(const std::string& text, std::string& entry) const {
    std::string id = aliasIdOf(text);
    for (const std::string& e : Aliases) {
        if (platform::equalsNoCase(aliasIdOf(e), id)) {
            entry = e;
            return true;
        }
    }
    entry.clear();
    return false;
}

bool TServerInformation::SetAliasUser(const std::string& text, const std::string& user) {
    if (!AliasExists(text)) return false;
    std::string id = aliasIdOf(text);
    for (std::string& entry : Aliases)
        if (platform::equalsNoCase(aliasIdOf(entry), id)) entry = id + AliasSeparator + user;
    return true;
}

// An empty new ID would make an alias that no address can reach.
bool TServerInformation::RenameAlias(const std::string& oldName, const std::string& newName) {
    if (newName.empty()) return false;
    if (NameTaken(newName) || !IsValidAccountName(newName)) return false;
    std::string id = aliasIdOf(oldName);
    for (std::size_t i = Aliases.size(); i-- > 0;)
        if (platform::equalsNoCase(aliasIdOf(Aliases[i]), id))
            Aliases[i] = newName + AliasSeparator + aliasUserOf(Aliases[i]);
    return true;
}

bool TServerInformation::NameTaken(const std::string& name) const {
    return UserExists(name) || MailListExists(name) || AliasExists(name);
}
