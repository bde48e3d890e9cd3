// The settings file: any file loads without harm; a text value (and a list
// entry) set in the object reads back the same after a save and a reload;
// a value that cannot be stored (a line break) makes the save fail rather
// than change the file's structure; and a second save and reload still give
// the same.
//
// Input: the settings file's bytes, then optionally a NUL and the value.
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "engine/DataU1.h"
#include "platform/Profile.h"

namespace {

std::string dump(const TServerInformation& s) {
    std::ostringstream o;
    auto list = [&](const std::vector<std::string>& l) {
        o << l.size() << '[';
        for (const auto& e : l) o << e.size() << ':' << e;
        o << ']';
    };
    o << s.StartMinimized << s.ProcessQueueOnStart << s.AutoStartSmtpServer << s.AutoStartSmtpAgent
      << s.AutoStartPop3Server << '|' << s.ServerName << '|' << s.MailBoxPath << '|' << s.MailingListPath
      << '|' << s.QueuePath << '|' << s.DNSServerAddress << '|' << s.DNSServerTimeout << '|' << s.LogFile
      << '|' << s.LogLevel << s.LogMessageSpy << int(s.BannerLevel) << '|' << s.Pop3BindAddress << '|'
      << s.Pop3ListenPort << s.CreateUserOnDemand << s.CreateUserPasswordOnDemand << '|'
      << s.Pop3InactivityTimeout << '|' << s.SmtpBindAddress << '|' << s.SmtpListenPort << '|'
      << s.ForwardRetries << s.BanDomains << s.BanMailboxes << s.BanAddresses << s.ApplyToMaximum << '|'
      << s.ToMaximum << s.Restrict << '|' << s.SmtpInactivityTimeout << '|' << s.PollingInterval
      << s.FireQueueImmediately << s.ForwardToMasterSmtpServer << '|' << s.MasterSmtpServer << '|'
      << s.AgentInactivityTimeout;
    list(s.LocalDomains);
    list(s.AcceptedDomains);
    list(s.BannedMailboxes);
    list(s.BannedDomains);
    list(s.BannedAddresses);
    list(s.Aliases);
    return o.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::setUpDataHome();
    TServerInformation& si = *ServerInformation;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string file = input.substr(0, nul);
    const std::string value = nul == std::string::npos ? std::string() : input.substr(nul + 1);

    // Folder rows would make the loader create folders wherever they point.
    platform::Profile ini;
    ini.parse(file);
    ini.eraseSection("Directories");
    fuzzsupport::writeFile(si.IniFileName(), ini.text());
    FUZZ_CHECK(si.LoadFromIniFile());

    si.LogFile = value;
    si.MasterSmtpServer = value;
    si.LocalDomains.push_back(value);
    si.Aliases.insert(si.Aliases.begin(), value);
    const std::string before = dump(si);
    const std::string fileBefore = fuzzsupport::readFile(si.IniFileName());
    const bool storable = value.find('\n') == std::string::npos;
    FUZZ_CHECK(si.SaveToIniFile() == storable);
    if (!storable) {
        FUZZ_CHECK(fuzzsupport::readFile(si.IniFileName()) == fileBefore);
        return 0;
    }
    FUZZ_CHECK(si.LoadFromIniFile());
    FUZZ_CHECK(dump(si) == before);
    // A save rewrites the list sections at the file's end, so the bytes may
    // change once; what reads back may not, and the next save is stable.
    FUZZ_CHECK(si.SaveToIniFile());
    const std::string saved = fuzzsupport::readFile(si.IniFileName());
    FUZZ_CHECK(si.LoadFromIniFile());
    FUZZ_CHECK(dump(si) == before);
    FUZZ_CHECK(si.SaveToIniFile());
    FUZZ_CHECK(fuzzsupport::readFile(si.IniFileName()) == saved);
    si.IsLocalDomain(value);
    si.IsAcceptedDomain(value);
    return 0;
}
