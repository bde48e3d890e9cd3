// The engine's data layer: the settings object and its file, the account
// directory (users, mailing lists, aliases), the user record and mailbox
// store, and the mailing-list definition.
//
// Contract:
//  - Main thread only; nothing is cached: users and lists live in the file
//    system, aliases in TServerInformation::Aliases until SaveToIniFile.
//  - Results are bools; file and profile failures come back as false and
//    nothing logs. The one exception is TPop3UserInformation::StoreMessage,
//    which throws EFCreateError when a message file cannot be written, so
//    that the SMTP session never confirms a message it did not store.
//  - Every stored file (settings, user information, list, message, backup
//    copy) is written whole and durably: a reader sees the old file or the
//    complete new one, never a part (platform/DurableFile.h).
//  - Folder values end in "/"; users of a folder append names directly.
//  - A path built from an account name finds its entry without regard to
//    letter case (platform/Paths.h); a name that IsUsableAccountName refuses
//    names no account and never reaches the file system.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/DurableFile.h"

// --- account names ----------------------------------------------------------

// True when the text holds none of ( ) < > @ , ; : \ [ ] and the double quote
// (an empty text passes).
bool IsValidAccountName(const std::string& text);
// As IsValidAccountName, but "@" is allowed (an alias for one domain).
bool IsValidAliasID(const std::string& text);
// False for a text that can name no user folder or list file: empty, "." or
// "..", holding "/", "\" or a NUL byte, or the stored files' temporary folder.
bool IsUsableAccountName(const std::string& text);
// The one rule for a name that a user or mailing list may be made or renamed
// to: IsUsableAccountName and IsValidAccountName, not beginning with ".", not
// ending in ".ini" in any case, and without control bytes (0..31, 127).
bool IsAccountName(const std::string& text);

// The text between an alias ID and its user in an alias entry.
inline constexpr const char* AliasSeparator = "<==>";

// --- settings object --------------------------------------------------------

class TServerInformation {
public:
    // Seeds the process's random generator, sets BasePath, then SetDefaults
    // (which creates the default folders under BasePath).
    TServerInformation();
    ~TServerInformation();
    TServerInformation(const TServerInformation&) = delete;
    TServerInformation& operator=(const TServerInformation&) = delete;

    std::string BasePath;  // ${XDG_DATA_HOME}/Quentar/Tavrin/, never changed
    bool StartMinimized = false;
    bool ProcessQueueOnStart = false;
    bool AutoStartSmtpServer = true;
    bool AutoStartSmtpAgent = true;
    bool AutoStartPop3Server = true;
    std::string ServerName;
    std::string MailBoxPath;
    std::string MailingListPath;
    std::string QueuePath;
    std::string DNSServerAddress;
    std::int32_t DNSServerTimeout = 15;
    std::string LogFile;
    std::int32_t LogLevel = 0;
    bool LogMessageSpy = false;
    std::uint8_t BannerLevel = 0;  // 0 name, version and service; 1 name and service; 2 service
    std::string Pop3BindAddress;
    std::int32_t Pop3ListenPort = 110;
    bool CreateUserOnDemand = false;
    bool CreateUserPasswordOnDemand = false;
    std::int32_t Pop3InactivityTimeout = 15;
    std::string SmtpBindAddress;
    std::int32_t SmtpListenPort = 25;
    std::vector<std::string> LocalDomains;
    std::int32_t ForwardRetries = 5;
    bool BanDomains = false;
    bool BanMailboxes = false;
    bool BanAddresses = false;
    bool ApplyToMaximum = false;
    std::int32_t ToMaximum = 10000;
    bool Restrict = false;
    std::vector<std::string> AcceptedDomains;
    std::vector<std::string> BannedMailboxes;
    std::vector<std::string> BannedDomains;
    std::vector<std::string> BannedAddresses;
    std::int32_t SmtpInactivityTimeout = 15;
    std::int32_t PollingInterval = 0;
    bool FireQueueImmediately = false;
    bool ForwardToMasterSmtpServer = false;
    std::string MasterSmtpServer;
    std::int32_t AgentInactivityTimeout = 15;
    std::vector<std::string> Aliases;  // alias ID + "<==>" + user, in stored order

    // The construction values (called by the constructor only).
    void SetDefaults();

    // Append "/" when missing, create the folder with its parents (failures
    // ignored) and store it. An empty text stands for the default folder.
    void SetMailBoxPath(const std::string& folder);
    void SetMailingListPath(const std::string& folder);
    void SetQueuePath(const std::string& folder);
    // Stores the value clamped to 10..36000 seconds.
    void SetPollingInterval(std::int32_t seconds);
    // Replace the list by a copy of the given lines.
    void SetLocalDomains(const std::vector<std::string>& list);
    void SetAcceptedDomains(const std::vector<std::string>& list);
    void SetBannedMailboxes(const std::vector<std::string>& list);
    void SetBannedDomains(const std::vector<std::string>& list);
    void SetBannedAddresses(const std::vector<std::string>& list);

    std::string IniFileName() const;  // BasePath + "Tavrin.ini"
    bool IniFileExists() const;
    // Reads every setting (absent keys take their defaults; a missing file
    // reads as empty and is not created). False when the file cannot be read.
    bool LoadFromIniFile();
    // Writes every setting into the file (other sections and keys stay).
    bool SaveToIniFile();

    // True when the trimmed domain names this server: ServerName or an entry
    // of LocalDomains, without regard to case. No wildcards.
    bool IsLocalDomain(const std::string& domain) const;
    // Access-list match: an entry without "*" equals the trimmed, lower-cased
    // text; with "*", its part before the first "*" is a prefix of it.
    bool IsAcceptedDomain(const std::string& text) const;
    bool IsBannedMailbox(const std::string& text) const;
    bool IsBannedDomain(const std::string& text) const;
    bool IsBannedAddress(const std::string& text) const;

    // The "Received:" line's date text of now (see UtilU1.h DateTimeText).
    std::string GetDateTimeText() const;

    // Account directory: users.
    // Folder of a user (ending in "/"), found without regard to case; the name
    // as given when none exists; "" for a name that names no account.
    std::string UserFolder(const std::string& user) const;
    // The same, and whether it exists as a folder, from one look at the disk.
    std::string UserFolder(const std::string& user, bool& exists) const;
    // Lower-cased names of the mailbox folder's entries (not ".ini" ones, not
    // hidden ones), sorted as a Windows folder listing gives them.
    void GetUsers(std::vector<std::string>& list) const;
    bool UserExists(const std::string& user) const;
    bool UserInfoFileExists(const std::string& user) const;
    bool CreateUser(const std::string& user);
    bool DeleteUser(const std::string& user);  // files, folder and aliases
    bool RenameUser(const std::string& oldName, const std::string& newName);

    // Account directory: mailing lists.
    // MailingListPath + name + ".ini", found without regard to case; "" for a
    // name that names no account.
    std::string MailListFileName(const std::string& name) const;
    void GetMailLists(std::vector<std::string>& list) const;
    bool MailListExists(const std::string& name) const;
    bool CreateMailList(const std::string& name);
    bool DeleteMailList(const std::string& name);
    bool RenameMailList(const std::string& oldName, const std::string& newName);

    // Account directory: aliases (in memory; SaveToIniFile stores them).
    void GetAliases(std::vector<std::string>& list) const;
    static void SplitAlias(const std::string& text, std::string& aliasID, std::string& user);
    bool AliasExists(const std::string& text) const;
    bool AddAlias(const std::string& aliasID, const std::string& user);
    void DeleteAlias(const std::string& text);
    // The first entry whose alias ID equals the text's; "" (and false) if none.
    bool FindAlias(const std::string& text, std::string& entry) const;
    bool SetAliasUser(const std::string& text, const std::string& user);
    bool RenameAlias(const std::string& oldName, const std::string& newName);

private:
    // True when the name is taken by a user, a mailing list or an alias.
    bool NameTaken(const std::string& name) const;
};

// The process's one settings object, from start-up to exit.
extern std::unique_ptr<TServerInformation> ServerInformation;

// --- user record and mailbox store -----------------------------------------

// A message file or backup copy could not be created.
class EFCreateError : public std::runtime_error {
public:
    EFCreateError(const std::string& path, int err);
    int Error;  // errno
};

class TPop3UserInformation {
public:
    TPop3UserInformation() = default;

    std::string UserName;
    std::string Password;
    std::string ForwardToAddress;
    std::string RealName;
    bool BackUpMailData = false;
    bool DoNotReportUserExists = false;
    std::int32_t LimitMessageToBytes = 0;
    std::int32_t LimitMailboxToBytes = 0;
    std::int32_t LimitMailboxToMessages = 0;

    // Empties UserName, Password and RealName and clears both flags; the
    // forward address and the limits keep their values.
    void Clear();
    // UserName := user; reads the user information file. False when the user
    // folder or the file is missing or unreadable (other fields unchanged).
    // isUser, when given, tells whether the user's folder exists, whether or
    // not its information file could be read.
    bool LoadUser(const std::string& user, bool* isUser = nullptr);
    // UserName := user; creates the user folder and "BAK/" when missing and
    // writes the eight keys (other keys of the file stay).
    bool SaveUser(const std::string& user);
    // Writes the lines (each followed by CR LF) as a new message file in the
    // user folder (created when missing) and, with BackUpMailData, as a new
    // backup copy in "BAK/". Names: "yyyymmdd-hhnnss.txt" of the local time,
    // and for more messages in one second "yyyymmdd-hhnnss_NNNNNN.txt", which
    // sort after it as text; copies are sender + "_" + that name. Never
    // replaces a file. Throws EFCreateError when a file cannot be written (a
    // message file written before stays). While a delivery batch is current
    // (DeliveryBatch.h) the files are written and left to its commit.
    void StoreMessage(const std::string& senderLocalPart, const std::vector<std::string>& lines);
    // The same with the file's whole text given as blocks written one after
    // the other (the lines with their CR LF): the blocks are shared, not
    // copied, by the message file and its backup copy.
    void StoreMessageText(const std::string& senderLocalPart,
                          const platform::Content& text);
};

// After a group commit failed: a message name given out may have been taken by
// another writer, so the next name of every folder is looked for again.
void MessageNamesMayBeTaken();

struct TMailboxEntry {
    std::int32_t Number = 0;  // 1 for the first listed file
    std::string FileName;     // within TPop3MailInformation::Folder
    std::int64_t Size = -1;   // bytes; -1 when unreadable
    bool Deleted = false;     // marked by the POP3 session
};

class TPop3MailInformation {
public:
    std::string Folder;  // the listed user folder, ending in "/"; "" until listed
    std::vector<std::unique_ptr<TMailboxEntry>> Entries;

    void Clear();  // entries only; Folder stays
    // Lists the user's messages: every file of the user folder except
    // ".ini" files, numbered from 1 in name order. A missing folder changes
    // nothing.
    void LoadMailbox(const std::string& user);
    std::int32_t Count() const { return static_cast<std::int32_t>(Entries.size()); }
    std::int64_t TotalSize() const;  // marked entries included
    TMailboxEntry* GetEntry(std::int32_t index) const;
    TMailboxEntry* FindByNumber(std::int32_t number) const;
    // Deletes the files of the marked entries; returns how many went.
    std::int32_t DeleteMarked();
};

// --- mailing-list definition -------------------------------------------------

struct TMailListMember {
    bool Active = true;
    bool Manager = false;
    std::string Address;  // at most 255 bytes
};

struct TMailListPendingMember {
    double Expires = 0;   // date-time after which Code is no longer accepted
    std::string Address;  // at most 255 bytes
    std::int32_t Code = -1;
};

// What a list file looked like when it was last loaded or saved: the file's
// identity, size and nanosecond modification time, and a digest of its bytes,
// so that a change by another writer is seen even within one clock tick.
struct TListFileStamp {
    platform::FileStamp File;
    std::uint64_t Digest = 0;
    bool operator==(const TListFileStamp&) const = default;
};

class TMailListInformation {
public:
    TMailListInformation() { Clear(); }

    TListFileStamp Stamp;  // of the last load or save; empty at creation
    std::vector<std::unique_ptr<TMailListMember>> Members;
    std::vector<std::unique_ptr<TMailListPendingMember>> PendingMembers;
    std::string Password;        // [Security] "Password"
    std::string MailErrorsTo;    // [General] "Mail Errors To"
    std::string WelcomeFile;     // [Auto Files] "Welcome"
    std::string SignatureFile;   // [Auto Files] "Signature"
    std::string FarewellFile;    // [Auto Files] "Farewell"
    std::vector<std::string> WelcomeMessage;
    std::vector<std::string> SignatureMessage;
    std::vector<std::string> FarewellMessage;
    bool AllowOpenSubscription = true;         // "Allow Open (Public) Subscription"
    bool ForceRepliesToList = true;            // "Force Replies to List"
    bool DoNotReportListMembersToSmtp = false; // "Do not report List Members to SMTP"
    bool DoNotReportListExists = false;        // "Do not report List Exists"
    bool DoNotReportListMembers = false;       // "Do not report List Members"
    bool MemberOnlySubmission = false;         // "Member-Only Submission"
    std::string DigestFile;                    // [Digest] "Filename"

    // Everything but the stamp back to the defaults.
    void Clear();
    void ClearMembers();
    void ClearPendingMembers();

    std::int32_t MemberCount() const { return static_cast<std::int32_t>(Members.size()); }
    TMailListMember* GetMember(std::int32_t index) const;
    // nullptr for an empty address; no duplicate check.
    TMailListMember* AddMember(bool active, bool manager, const std::string& address);
    void DeleteMember(std::int32_t index);

    std::int32_t PendingMemberCount() const { return static_cast<std::int32_t>(PendingMembers.size()); }
    TMailListPendingMember* GetPendingMember(std::int32_t index) const;
    TMailListPendingMember* AddPendingMember(std::int32_t code, const std::string& address, double expires);
    void DeletePendingMember(std::int32_t index);
    void RemovePendingMember(const TMailListPendingMember* member);  // by identity
    TMailListPendingMember* FindPendingMember(std::int32_t code) const;
    // A code 0..9999 that no pending record holds; -1 when all are held.
    std::int32_t NewConfirmationCode() const;

    void SetWelcomeMessage(const std::vector<std::string>& lines) { WelcomeMessage = lines; }
    void SetSignatureMessage(const std::vector<std::string>& lines) { SignatureMessage = lines; }
    void SetFarewellMessage(const std::vector<std::string>& lines) { FarewellMessage = lines; }

    // Clears, then reads the list file. A missing file gives a cleared record
    // and true (the stamp stays); an unreadable one false.
    bool LoadFromFile(const std::string& name);
    // Writes the list file when it does not exist, when it is unchanged since
    // this record last loaded or saved it, or when forced; false otherwise or
    // when the write fails (the file is then as it was).
    bool SaveToFile(const std::string& name, bool force);
};
