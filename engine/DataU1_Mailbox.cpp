// The user record (the user information file) and the mailbox store: message
// files, backup copies and the mailbox listing of a POP3 session.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "DataU1.h"
#include "DataU1_Internal.h"
#include "DataU1_MailboxListing.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kSection = "User Information";
constexpr std::size_t kMaxSenderInName = 128;
constexpr int kMaxSuffix = 999999;

std::string mailBoxPath() { return ServerInformation ? ServerInformation->MailBoxPath : std::string(); }

std::string userFolder(const std::string& user) {
    return ServerInformation ? ServerInformation->UserFolder(user) : std::string();
}

// The delivery time as the message names carry it: "yyyymmdd-hhnnss".
std::string deliveryStamp() {
    std::tm tm = platform::localTm(platform::Now());
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// The sender's local part comes from the peer: it must not climb out of the
// backup folder or make a name longer than the file system takes.
std::string senderForName(const std::string& sender) {
    std::string s = sender.substr(0, kMaxSenderInName);
    for (char& c : s)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    return s;
}

// The highest n of the entries stem + "_" + six digits + ".txt" in folder.
int highestSuffix(const std::string& folder, const std::string& stem) {
    int highest = 0;
    const std::string prefix = stem + "_";
    for (const auto& e : datau1::listFolder(folder)) {
        const std::string& n = e.name;
        if (n.size() != prefix.size() + 6 + 4 || n.compare(0, prefix.size(), prefix) != 0 ||
            n.compare(n.size() - 4, 4, ".txt") != 0)
            continue;
        std::string digits = n.substr(prefix.size(), 6);
        if (!IsAllDigits(digits)) continue;
        highest = std::max(highest, std::stoi(digits));
    }
    return highest;
}

// Places data under a new name in folder: stem + ".txt", or when that is
// taken (another delivery in the same second) stem + "_NNNNNN.txt" with N
// above every such name present, so that names sort in arrival order.
void storeNewFile(const std::string& folder, const std::string& stem, const std::string& data) {
    platform::DurableFile file(folder);
    std::string path = folder + stem + ".txt";
    if (!file.write(data)) throw EFCreateError(path, file.error());
    if (file.commitNew(path)) return;
    if (file.error() != EEXIST) throw EFCreateError(path, file.error());
    for (int n = highestSuffix(folder, stem) + 1; n <= kMaxSuffix; ++n) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "_%06d", n);
        path = folder + stem + suffix + ".txt";
        if (file.commitNew(path)) return;
        if (file.error() != EEXIST) throw EFCreateError(path, file.error());
    }
    throw EFCreateError(path, EEXIST);
}

}  // namespace

EFCreateError::EFCreateError(const std::string& path, int err)
    : std::runtime_error("Cannot create file \"" + path + "\". " + std::strerror(err)), Error(err) {}

// --- user record -------------------------------------------------------------

void TPop3UserInformation::Clear() {
    UserName.clear();
    Password.clear();
    RealName.clear();
    BackUpMailData = false;
    DoNotReportUserExists = false;
}

bool TPop3UserInformation::LoadUser(const std::string& user) {
    UserName = user;
    try {
        std::string folder = userFolder(user);
        if (folder.empty() || !datau1::folderExists(folder)) return false;
        std::string file = platform::resolvePath(folder, user + ".ini");
        if (!datau1::regularFileExists(file)) return false;
        platform::Profile ini;
        if (!ini.load(file)) return false;
        Password = ini.readString(kSection, "Password", "");
        ForwardToAddress = ini.readString(kSection, "Forward To Address", "");
        RealName = ini.readString(kSection, "Real Name", "");
        BackUpMailData = ini.readBool(kSection, "BackUp Mail Data", false);
        DoNotReportUserExists = ini.readBool(kSection, "Do not report User Exists (SMTP)", false);
        LimitMessageToBytes = ini.readInteger(kSection, "Limit Message To Bytes", 0);
        LimitMailboxToBytes = ini.readInteger(kSection, "Limit Mailbox To Bytes", 0);
        LimitMailboxToMessages = ini.readInteger(kSection, "Limit Mailbox To Messages", 0);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TPop3UserInformation::SaveUser(const std::string& user) {
    UserName = user;
    try {
        std::string folder = userFolder(user);
        if (folder.empty()) return false;
        datau1::makeFolders(folder);
        datau1::makeFolders(platform::resolvePath(folder, "BAK"));
        std::string file = platform::resolvePath(folder, user + ".ini");
        platform::Profile ini;
        if (!ini.load(file)) return false;
        ini.writeString(kSection, "Password", Password);
        ini.writeString(kSection, "Forward To Address", ForwardToAddress);
        ini.writeString(kSection, "Real Name", RealName);
        ini.writeBool(kSection, "BackUp Mail Data", BackUpMailData);
        ini.writeBool(kSection, "Do not report User Exists (SMTP)", DoNotReportUserExists);
        ini.writeInteger(kSection, "Limit Message To Bytes", LimitMessageToBytes);
        ini.writeInteger(kSection, "Limit Mailbox To Bytes", LimitMailboxToBytes);
        ini.writeInteger(kSection, "Limit Mailbox To Messages", LimitMailboxToMessages);
        return ini.save(file);
    } catch (const std::exception&) {
        return false;
    }
}

void TPop3UserInformation::StoreMessage(const std::string& senderLocalPart,
                                        const std::vector<std::string>& lines) {
    std::string folder = userFolder(UserName);
    if (folder.empty()) throw EFCreateError(mailBoxPath() + UserName, EINVAL);
    datau1::makeFolders(folder);

    std::string data;
    std::size_t size = 0;
    for (const auto& l : lines) size += l.size() + 2;
    data.reserve(size);
    for (const auto& l : lines) {
        data += l;
        data += "\r\n";
    }

    const std::string stamp = deliveryStamp();
    storeNewFile(folder, stamp, data);
    if (BackUpMailData) {
        // A missing backup folder (removed by hand) would fail every later
        // delivery after its message was stored, so it is made again.
        std::string backup = platform::resolvePath(folder, "BAK") + "/";
        datau1::makeFolders(backup);
        storeNewFile(backup, senderForName(senderLocalPart) + "_" + stamp, data);
    }
}

// --- mailbox listing ---------------------------------------------------------

void TPop3MailInformation::Clear() {
    while (!Entries.empty()) Entries.pop_back();
}

void TPop3MailInformation::LoadMailbox(const std::string& user) {
    std::string folder = userFolder(user);
    // Linux folders have no fixed enumeration order; a Windows folder lists its
    // names sorted, which is arrival order for the message names.
    std::vector<datau1::MailboxFile> files;
    if (folder.empty() || !datau1::listMailboxFolder(folder, files)) return;
    Folder = folder;
    Clear();
    Entries.reserve(files.size());
    std::int32_t number = 0;
    for (auto& file : files) {
        auto entry = std::make_unique<TMailboxEntry>();
        entry->Number = ++number;
        entry->FileName = std::move(file.name);
        if (entry->FileName.size() > 255) entry->FileName.resize(255);
        entry->Size = file.size;
        Entries.push_back(std::move(entry));
    }
}

std::int64_t TPop3MailInformation::TotalSize() const {
    std::int64_t total = 0;
    for (const auto& e : Entries) total += e->Size;
    return total;
}

TMailboxEntry* TPop3MailInformation::GetEntry(std::int32_t index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return Entries[static_cast<std::size_t>(index)].get();
}

TMailboxEntry* TPop3MailInformation::FindByNumber(std::int32_t number) const {
    for (const auto& e : Entries)
        if (e->Number == number) return e.get();
    return nullptr;
}

std::int32_t TPop3MailInformation::DeleteMarked() {
    std::int32_t deleted = 0;
    for (const auto& e : Entries) {
        if (!e->Deleted) continue;
        std::string path = Folder + e->FileName;
        if (datau1::regularFileExists(path) && FileOperation(path, "", "DELETE")) ++deleted;
    }
    if (deleted > 0) platform::syncFolder(Folder);
    return deleted;
}
