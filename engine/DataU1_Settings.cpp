// The settings object: defaults, the settings file, and the local-domain and
// access-list questions.
#include <exception>

#include "DataU1.h"
#include "DataU1_Internal.h"
#include "UtilU1.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "sockets/WSocket.h"

std::unique_ptr<TServerInformation> ServerInformation;

namespace {

using datau1::trimText;

constexpr const char* kIniName = "Tavrin.ini";

constexpr const char* kGeneral = "General";
constexpr const char* kDirectories = "Directories";
constexpr const char* kPop3 = "Pop 3 Server";
constexpr const char* kSmtp = "Smtp Server";
constexpr const char* kSmtpDomains = "Smtp Server Domains";
constexpr const char* kAccepted = "Smtp Server Access - Accepted Domains";
constexpr const char* kBannedMailboxes = "Smtp Server Access - Banned Mailboxes";
constexpr const char* kBannedDomains = "Smtp Server Access - Banned Domains";
constexpr const char* kBannedAddresses = "Smtp Server Access - Banned Addresses";
constexpr const char* kAccess = "Smtp Server Access Control";
constexpr const char* kAgent = "Smtp Agent";
constexpr const char* kAliases = "User EMail Aliases";

constexpr const char* kBannerTexts[] = {"Name, Version and Service", "Name and Service", "Service"};

// The host's first IPv4 address, the server's name when none is configured.
std::string firstLocalAddress() {
    const std::vector<std::string>& addresses = WSocketLocalAddresses();
    return addresses.empty() ? std::string() : addresses.front();
}

void loadList(const platform::Profile& ini, const char* section, std::vector<std::string>& list) {
    list.clear();
    for (const std::string& line : ini.sectionValues(section)) list.push_back(line.substr(line.find('=') + 1));
}

void saveList(platform::Profile& ini, const char* section, const std::vector<std::string>& list) {
    ini.eraseSection(section);
    for (std::size_t i = 0; i < list.size(); ++i) ini.writeString(section, std::to_string(i), list[i]);
}

std::uint8_t bannerLevelOf(const std::string& text) {
    std::string t = trimText(text);
    if (platform::equalsNoCase(t, kBannerTexts[2])) return 2;
    if (platform::equalsNoCase(t, kBannerTexts[1])) return 1;
    return 0;
}

bool matchesAccessList(const std::vector<std::string>& list, const std::string& text) {
    std::string t = platform::lowerCase(trimText(text));
    if (t.empty()) return false;
    for (const std::string& raw : list) {
        std::string entry = platform::lowerCase(raw);
        auto star = entry.find('*');
        if (star == std::string::npos) {
            if (entry == t) return true;
        } else if (t.size() >= star && t.compare(0, star, entry, 0, star) == 0) {
            return true;
        }
    }
    return false;
}

// A folder value as stored: "/" appended, created when missing.
std::string completeFolder(const std::string& folder) {
    std::string f = datau1::withSlash(folder);
    datau1::makeFolders(f);
    return f;
}

}  // namespace

TServerInformation::TServerInformation() {
    Randomize();
    BasePath = platform::basePath();
    SetDefaults();
}

TServerInformation::~TServerInformation() = default;

void TServerInformation::SetDefaults() {
    StartMinimized = false;
    ProcessQueueOnStart = false;
    AutoStartSmtpServer = true;
    AutoStartSmtpAgent = true;
    AutoStartPop3Server = true;
    ServerName = "Unknown";
    if (std::string a = firstLocalAddress(); !a.empty()) ServerName = a;
    SetMailBoxPath(BasePath + "UserMail/");
    SetQueuePath(BasePath + "MQueue/");
    SetMailingListPath(BasePath + "UserMail/");
    DNSServerAddress.clear();
    DNSServerTimeout = 15;
    Pop3BindAddress = "0.0.0.0";
    Pop3ListenPort = 110;
    CreateUserOnDemand = false;
    CreateUserPasswordOnDemand = false;
    Pop3InactivityTimeout = 15;
    SmtpBindAddress = "0.0.0.0";
    SmtpListenPort = 25;
    LocalDomains.clear();
    SmtpInactivityTimeout = 15;
    AcceptedDomains.clear();
    BannedMailboxes.clear();
    BannedDomains.clear();
    BannedAddresses.clear();
    BanDomains = false;
    BanAddresses = false;
    BanMailboxes = false;
    ApplyToMaximum = false;
    ToMaximum = 10000;
    Restrict = false;
    ForwardRetries = 5;
    ForwardToMasterSmtpServer = false;
    MasterSmtpServer.clear();
    AgentInactivityTimeout = 15;
    Aliases.clear();
}

// An empty folder would make the file system's root the mail store, where
// deleting a user deletes a top-level folder: it stands for the default.
void TServerInformation::SetMailBoxPath(const std::string& folder) {
    MailBoxPath = completeFolder(folder.empty() ? BasePath + "UserMail/" : folder);
}

void TServerInformation::SetMailingListPath(const std::string& folder) {
    MailingListPath = completeFolder(folder.empty() ? BasePath + "UserMail/" : folder);
}

void TServerInformation::SetQueuePath(const std::string& folder) {
    QueuePath = completeFolder(folder.empty() ? BasePath + "MQueue/" : folder);
}

void TServerInformation::SetPollingInterval(std::int32_t seconds) {
    PollingInterval = seconds > 36000 ? 36000 : (seconds < 10 ? 10 : seconds);
}

void TServerInformation::SetLocalDomains(const std::vector<std::string>& list) { LocalDomains = list; }
void TServerInformation::SetAcceptedDomains(const std::vector<std::string>& list) { AcceptedDomains = list; }
void TServerInformation::SetBannedMailboxes(const std::vector<std::string>& list) { BannedMailboxes = list; }
void TServerInformation::SetBannedDomains(const std::vector<std::string>& list) { BannedDomains = list; }
void TServerInformation::SetBannedAddresses(const std::vector<std::string>& list) { BannedAddresses = list; }

std::string TServerInformation::IniFileName() const { return BasePath + kIniName; }

bool TServerInformation::IniFileExists() const { return datau1::regularFileExists(IniFileName()); }

bool TServerInformation::LoadFromIniFile() {
    try {
        platform::Profile ini;
        if (!ini.load(IniFileName())) return false;

        // Folder rows: an empty value is the default; the folder is created.
        auto folder = [&](const char* key, const std::string& def) {
            std::string v = ini.readString(kDirectories, key, def);
            return completeFolder(v.empty() ? def : v);
        };

        StartMinimized = ini.readBool(kGeneral, "Start Minimized", false);
        ProcessQueueOnStart = ini.readBool(kGeneral, "Process Queue on Start", false);
        AutoStartSmtpServer = ini.readBool(kGeneral, "AutoStart Smtp Server", true);
        AutoStartSmtpAgent = ini.readBool(kGeneral, "AutoStart Smtp Agent", true);
        AutoStartPop3Server = ini.readBool(kGeneral, "AutoStart Pop3 Server", true);
        ServerName = ini.readString(kGeneral, "Server Name", "");
        if (ServerName.empty()) ServerName = firstLocalAddress();
        MailBoxPath = folder("Mail Box Path", BasePath + "UserMail/");
        QueuePath = folder("Queue Path", BasePath + "MQueue/");
        MailingListPath = folder("Mailing List Path", BasePath + "UserMail/");
        DNSServerAddress = ini.readString(kGeneral, "DNS Server Address", "");
        if (!DNSServerAddress.empty() && !IsIPAddress(DNSServerAddress)) DNSServerAddress.clear();
        DNSServerTimeout = ini.readInteger(kGeneral, "DNS Server Timeout", 15);
        LogFile = ini.readString(kGeneral, "Log File", "");
        LogLevel = ini.readInteger(kGeneral, "Log Level", 0);
        LogMessageSpy = ini.readBool(kGeneral, "Log Message Spy", false);
        BannerLevel = bannerLevelOf(ini.readString(kGeneral, "Banner Level", ""));

        Pop3BindAddress = ini.readString(kPop3, "Bind Address", "0.0.0.0");
        if (Pop3BindAddress.empty()) Pop3BindAddress = "0.0.0.0";
        Pop3ListenPort = ini.readInteger(kPop3, "Listen Port", 110);
        if (Pop3ListenPort < 1) Pop3ListenPort = 110;
        CreateUserOnDemand = ini.readBool(kPop3, "Create User On Demand", false);
        CreateUserPasswordOnDemand = ini.readBool(kPop3, "Create User Password On Demand", false);
        Pop3InactivityTimeout = ini.readInteger(kPop3, "Inactivity Timeout (in minutes)", 15);

        SmtpBindAddress = ini.readString(kSmtp, "Bind Address", "0.0.0.0");
        if (SmtpBindAddress.empty()) SmtpBindAddress = "0.0.0.0";
        SmtpListenPort = ini.readInteger(kSmtp, "Listen Port", 25);
        if (SmtpListenPort < 1) SmtpListenPort = 25;
        loadList(ini, kSmtpDomains, LocalDomains);
        SmtpInactivityTimeout = ini.readInteger(kSmtp, "Inactivity Timeout (in minutes)", 15);
        loadList(ini, kAccepted, AcceptedDomains);
        loadList(ini, kBannedMailboxes, BannedMailboxes);
        loadList(ini, kBannedDomains, BannedDomains);
        loadList(ini, kBannedAddresses, BannedAddresses);
        BanDomains = ini.readBool(kAccess, "Ban Domains", false);
        BanAddresses = ini.readBool(kAccess, "Ban Addresses", false);
        BanMailboxes = ini.readBool(kAccess, "Ban Mailboxes", false);
        ApplyToMaximum = ini.readBool(kAccess, "Apply To Maximum", false);
        ToMaximum = ini.readInteger(kAccess, "To Maximum", 1000);
        Restrict = ini.readBool(kAccess, "Restrict", false);
        ForwardRetries = ini.readInteger(kSmtp, "Forward Retries", 5);

        PollingInterval = ini.readInteger(kAgent, "Polling Interval (in seconds)", 300);
        FireQueueImmediately = ini.readBool(kAgent, "Fire Queue Immediately", false);
        ForwardToMasterSmtpServer = ini.readBool(kAgent, "Forward to Master SMTP Server", false);
        MasterSmtpServer = ini.readString(kAgent, "Master SMTP Server", "");
        AgentInactivityTimeout = ini.readInteger(kAgent, "Inactivity Timeout (in minutes)", 15);
        loadList(ini, kAliases, Aliases);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TServerInformation::SaveToIniFile() {
    try {
        platform::Profile ini;
        // Keeps what others put into the file; an unreadable file is never
        // replaced by one without it.
        if (!ini.load(IniFileName())) return false;

        ini.writeBool(kGeneral, "Start Minimized", StartMinimized);
        ini.writeBool(kGeneral, "Process Queue on Start", ProcessQueueOnStart);
        ini.writeBool(kGeneral, "AutoStart Smtp Server", AutoStartSmtpServer);
        ini.writeBool(kGeneral, "AutoStart Smtp Agent", AutoStartSmtpAgent);
        ini.writeBool(kGeneral, "AutoStart Pop3 Server", AutoStartPop3Server);
        ini.writeString(kGeneral, "Server Name", ServerName);
        ini.writeString(kDirectories, "Mail Box Path", MailBoxPath);
        ini.writeString(kDirectories, "Queue Path", QueuePath);
        ini.writeString(kDirectories, "Mailing List Path", MailingListPath);
        ini.writeString(kGeneral, "DNS Server Address", DNSServerAddress);
        ini.writeInteger(kGeneral, "DNS Server Timeout", DNSServerTimeout);
        ini.writeString(kGeneral, "Log File", LogFile);
        ini.writeInteger(kGeneral, "Log Level", LogLevel);
        ini.writeBool(kGeneral, "Log Message Spy", LogMessageSpy);
        ini.writeString(kGeneral, "Banner Level", kBannerTexts[BannerLevel <= 2 ? BannerLevel : 0]);

        ini.writeString(kPop3, "Bind Address", Pop3BindAddress);
        ini.writeInteger(kPop3, "Listen Port", Pop3ListenPort);
        ini.writeBool(kPop3, "Create User On Demand", CreateUserOnDemand);
        ini.writeBool(kPop3, "Create User Password On Demand", CreateUserPasswordOnDemand);
        ini.writeInteger(kPop3, "Inactivity Timeout (in minutes)", Pop3InactivityTimeout);

        ini.writeString(kSmtp, "Bind Address", SmtpBindAddress);
        ini.writeInteger(kSmtp, "Listen Port", SmtpListenPort);
        saveList(ini, kSmtpDomains, LocalDomains);
        ini.writeInteger(kSmtp, "Inactivity Timeout (in minutes)", SmtpInactivityTimeout);
        saveList(ini, kAccepted, AcceptedDomains);
        saveList(ini, kBannedMailboxes, BannedMailboxes);
        saveList(ini, kBannedDomains, BannedDomains);
        saveList(ini, kBannedAddresses, BannedAddresses);
        ini.writeBool(kAccess, "Ban Domains", BanDomains);
        ini.writeBool(kAccess, "Ban Addresses", BanAddresses);
        ini.writeBool(kAccess, "Ban Mailboxes", BanMailboxes);
        ini.writeBool(kAccess, "Apply To Maximum", ApplyToMaximum);
        ini.writeInteger(kAccess, "To Maximum", ToMaximum);
        ini.writeBool(kAccess, "Restrict", Restrict);
        ini.writeInteger(kSmtp, "Forward Retries", ForwardRetries);

        ini.writeInteger(kAgent, "Polling Interval (in seconds)", PollingInterval);
        ini.writeBool(kAgent, "Fire Queue Immediately", FireQueueImmediately);
        ini.writeBool(kAgent, "Forward to Master SMTP Server", ForwardToMasterSmtpServer);
        ini.writeString(kAgent, "Master SMTP Server", MasterSmtpServer);
        ini.writeInteger(kAgent, "Inactivity Timeout (in minutes)", AgentInactivityTimeout);
        saveList(ini, kAliases, Aliases);

        return ini.save(IniFileName());
    } catch (const std::exception&) {
        return false;
    }
}

bool TServerInformation::IsLocalDomain(const std::string& domain) const {
    std::string d = platform::lowerCase(trimText(domain));
    if (d.empty()) return false;
    if (platform::equalsNoCase(d, ServerName)) return true;
    for (const std::string& entry : LocalDomains)
        if (platform::lowerCase(entry) == d) return true;
    return false;
}

bool TServerInformation::IsAcceptedDomain(const std::string& text) const {
    return matchesAccessList(AcceptedDomains, text);
}
bool TServerInformation::IsBannedMailbox(const std::string& text) const {
    return matchesAccessList(BannedMailboxes, text);
}
bool TServerInformation::IsBannedDomain(const std::string& text) const {
    return matchesAccessList(BannedDomains, text);
}
bool TServerInformation::IsBannedAddress(const std::string& text) const {
    return matchesAccessList(BannedAddresses, text);
}

std::string TServerInformation::GetDateTimeText() const { return ::DateTimeText(); }
