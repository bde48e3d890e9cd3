// The user record (the user information file) and the mailbox store: message
// files, backup copies and the mailbox listing of a POP3 session.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <unordered_map>

#include "DataU1.h"
#include "DataU1_Internal.h"
#include "DataU1_MailboxListing.h"
#include "DeliveryBatch.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/GroupCommit.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kSection = "User Information";
constexpr std::size_t kMaxSenderInName = 128;
constexpr std::size_t kUserRecordCacheEntries = 4096;
constexpr std::int64_t kRacyNs = 1000000000;
constexpr std::size_t kNameMemoryEntries = 1024;
constexpr std::size_t kStampLength = 15;  // "yyyymmdd-hhnnss"

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

// Message names within one second: stem + ".txt" first, then stem +
// "_NNNNNN.txt" counting up (a numbered series, platform/GroupCommit.h), so
// that the names of a folder sort in arrival order. The last number given out
// is remembered per folder and stem; the folder is listed only when that
// memory has nothing (the first message of a second) or may be behind (a
// commit found a name taken, or failed). The commit itself moves a message
// whose name was taken meanwhile on to the next free number.
struct NameMemory {
    int last = -1;       // 0 stands for stem + ".txt" itself
    bool stale = false;  // list before the next one
};

std::unordered_map<std::string, NameMemory>& nameMemory() {
    static std::unordered_map<std::string, NameMemory> memory;
    return memory;
}

// Gives out the next number for stem in folder; its name sorts after every
// name given out or found before.
int nextNumber(const std::string& folder, const std::string& stem) {
    auto& memory = nameMemory();
    static std::uint64_t movedSeen = 0;
    if (const std::uint64_t moved = platform::numberedNamesMoved(); moved != movedSeen) {
        movedSeen = moved;
        MessageNamesMayBeTaken();
    }
    const std::string key = folder + '\0' + stem;
    auto it = memory.find(key);
    if (it == memory.end()) {
        // Only the current second matters: entries of earlier ones go once
        // the memory grows.
        if (memory.size() >= kNameMemoryEntries) {
            for (auto e = memory.begin(); e != memory.end();)
                e = e->first.ends_with(stem.substr(stem.size() - kStampLength)) ? std::next(e) : memory.erase(e);
        }
        it = memory.emplace(key, NameMemory{platform::highestNumberInUse(folder, stem), false}).first;
    } else if (it->second.stale) {
        it->second.last = std::max(it->second.last, platform::highestNumberInUse(folder, stem));
        it->second.stale = false;
    }
    if (it->second.last >= platform::MaxNameNumber)
        throw EFCreateError(platform::numberedName(folder, stem, platform::MaxNameNumber), EEXIST);
    return ++it->second.last;
}

// Places data under a new name in folder (see nextNumber): with the
// delivery's other files when a delivery batch is current, otherwise at once,
// in turn with the commits under way, so that names still appear in their
// order.
void storeNewFile(const std::string& folder, const std::string& stem,
                  const platform::Content& data) {
    const int number = nextNumber(folder, stem);
    // The temporary file is made, written and closed by the commit's
    // workers, not here: a message to many users holds no descriptor per
    // copy while it waits for its commit.
    if (TDeliveryBatch* batch = TDeliveryBatch::Current()) {
        batch->Files.addNumbered(folder, stem, number, data);
        return;
    }
    platform::CommitSet set;
    set.addNumbered(folder, stem, number, data);
    if (const int error = platform::commitNow(std::move(set)); error != 0) {
        MessageNamesMayBeTaken();
        throw EFCreateError(platform::numberedName(folder, stem, number), error);
    }
}

// The user information file is read at every AUTH and every delivery. Its
// values are kept per file and used again while the file's stamp (inode,
// size, modification and change time in nanoseconds) is the one they were
// read with; a file rewritten by the manager (a new inode) or edited by hand
// (a new change time, even with its old modification time put back) is read
// anew.
struct CachedUserRecord {
    CachedUserRecord() = default;
    CachedUserRecord(const platform::FileStamp& stamp, const TPop3UserInformation& u)
        : Stamp(stamp), Password(u.Password), ForwardToAddress(u.ForwardToAddress), RealName(u.RealName),
          BackUpMailData(u.BackUpMailData), DoNotReportUserExists(u.DoNotReportUserExists),
          LimitMessageToBytes(u.LimitMessageToBytes), LimitMailboxToBytes(u.LimitMailboxToBytes),
          LimitMailboxToMessages(u.LimitMailboxToMessages) {}
    void CopyTo(TPop3UserInformation& u) const {
        u.Password = Password;
        u.ForwardToAddress = ForwardToAddress;
        u.RealName = RealName;
        u.BackUpMailData = BackUpMailData;
        u.DoNotReportUserExists = DoNotReportUserExists;
        u.LimitMessageToBytes = LimitMessageToBytes;
        u.LimitMailboxToBytes = LimitMailboxToBytes;
        u.LimitMailboxToMessages = LimitMailboxToMessages;
    }

    platform::FileStamp Stamp;
    // An edit in the same tick of the file system's clock as the version
    // read would keep the stamp: only a version whose last change (its change
    // time, which no one can set back) is older than the read by a margin is
    // taken from here, a newer one is read again.
    std::int64_t ReadAtNs = 0;
    std::string Password, ForwardToAddress, RealName;
    bool BackUpMailData = false, DoNotReportUserExists = false;
    std::int32_t LimitMessageToBytes = 0, LimitMailboxToBytes = 0, LimitMailboxToMessages = 0;
};

std::int64_t realTimeNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::unordered_map<std::string, CachedUserRecord>& userRecordCache() {
    static std::unordered_map<std::string, CachedUserRecord> cache;
    return cache;
}

}  // namespace

void MessageNamesMayBeTaken() {
    for (auto& entry : nameMemory()) entry.second.stale = true;
}

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

bool TPop3UserInformation::LoadUser(const std::string& user, bool* isUser) {
    UserName = user;
    if (isUser) *isUser = false;
    try {
        if (!ServerInformation) return false;
        bool exists = false;
        std::string folder = ServerInformation->UserFolder(user, exists);
        if (folder.empty() || !exists) return false;
        if (isUser) *isUser = true;
        struct stat found {};
        std::string file = folder + platform::resolveName(folder, user + ".ini", found);
        const platform::FileStamp current = platform::fileStamp(found);
        if (!current.exists) return false;
        auto& cache = userRecordCache();
        if (auto it = cache.find(file); it != cache.end() && it->second.Stamp == current &&
                                        current.ctimeNs + kRacyNs < it->second.ReadAtNs) {
            it->second.CopyTo(*this);
            return true;
        }
        platform::Profile ini;
        platform::FileStamp read;
        if (!ini.load(file, &read)) return false;
        Password = ini.readString(kSection, "Password", "");
        ForwardToAddress = ini.readString(kSection, "Forward To Address", "");
        RealName = ini.readString(kSection, "Real Name", "");
        BackUpMailData = ini.readBool(kSection, "BackUp Mail Data", false);
        DoNotReportUserExists = ini.readBool(kSection, "Do not report User Exists (SMTP)", false);
        LimitMessageToBytes = ini.readInteger(kSection, "Limit Message To Bytes", 0);
        LimitMailboxToBytes = ini.readInteger(kSection, "Limit Mailbox To Bytes", 0);
        LimitMailboxToMessages = ini.readInteger(kSection, "Limit Mailbox To Messages", 0);
        // A file that changed while it was read has a stamp of no version.
        if (read.exists && read.size >= 0) {
            if (cache.size() >= kUserRecordCacheEntries) cache.clear();
            cache[file] = CachedUserRecord(read, *this);
            cache[file].ReadAtNs = realTimeNs();
        }
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
    std::string data;
    std::size_t size = 0;
    for (const auto& l : lines) size += l.size() + 2;
    data.reserve(size);
    for (const auto& l : lines) {
        data += l;
        data += "\r\n";
    }
    StoreMessageText(senderLocalPart, {std::make_shared<const std::string>(std::move(data))});
}

void TPop3UserInformation::StoreMessageText(const std::string& senderLocalPart,
                                            const platform::Content& data) {
    bool exists = false;
    std::string folder = ServerInformation ? ServerInformation->UserFolder(UserName, exists) : std::string();
    if (folder.empty()) throw EFCreateError(mailBoxPath() + UserName, EINVAL);
    if (!exists) datau1::makeFolders(folder);

    const std::string stamp = deliveryStamp();
    storeNewFile(folder, stamp, data);
    if (BackUpMailData) {
        // A missing backup folder (removed by hand) would fail every later
        // delivery after its message was stored, so it is made again.
        struct stat found {};
        std::string backup = folder + platform::resolveName(folder, "BAK", found) + "/";
        if (!S_ISDIR(found.st_mode)) datau1::makeFolders(backup);
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
    // A listing numbers its entries 1, 2, ... in order: look there first, so
    // that fetching a large mailbox message by message stays linear.
    if (number >= 1 && static_cast<std::size_t>(number) <= Entries.size() && Entries[number - 1]->Number == number)
        return Entries[number - 1].get();
    for (const auto& e : Entries)
        if (e->Number == number) return e.get();
    return nullptr;
}

std::int32_t TPop3MailInformation::DeleteMarked() {
    std::vector<std::string> marked;
    for (const auto& e : Entries)
        if (e->Deleted) marked.push_back(e->FileName);
    return datau1::deleteMailboxFiles(Folder, marked).deleted;
}
