// The settings object and the settings file.
#include <filesystem>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "platform/Profile.h"
#include "sockets/WSocket.h"
#include "support/DataFixture.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;
using Strings = std::vector<std::string>;

namespace {

std::string firstLocalAddress() {
    const auto& a = WSocketLocalAddresses();
    return a.empty() ? std::string() : a.front();
}

class Settings : public testsupport::DataFixture {
protected:
    std::string ini() { return si().IniFileName(); }
    void writeIni(const std::string& text) { writeFile(ini(), text); }
    // A fresh object that reads the file as it now is.
    std::unique_ptr<TServerInformation> reloaded() {
        auto s = std::make_unique<TServerInformation>();
        EXPECT_TRUE(s->LoadFromIniFile());
        return s;
    }
};

TEST_F(Settings, ConstructionValues) {
    EXPECT_EQ(base(), home_.path() + "Quentar/Tavrin/");
    EXPECT_EQ(si().MailBoxPath, base() + "UserMail/");
    EXPECT_EQ(si().MailingListPath, base() + "UserMail/");
    EXPECT_EQ(si().QueuePath, base() + "MQueue/");
    EXPECT_TRUE(fs::is_directory(si().MailBoxPath));
    EXPECT_TRUE(fs::is_directory(si().QueuePath));
    std::string first = firstLocalAddress();
    EXPECT_EQ(si().ServerName, first.empty() ? "Unknown" : first);
    EXPECT_EQ(si().ToMaximum, 10000);
    EXPECT_EQ(si().PollingInterval, 0);
    EXPECT_TRUE(si().AutoStartSmtpServer && si().AutoStartSmtpAgent && si().AutoStartPop3Server);
    EXPECT_EQ(si().Pop3BindAddress, "0.0.0.0");
    EXPECT_EQ(si().Pop3ListenPort, 110);
    EXPECT_EQ(si().SmtpListenPort, 25);
    EXPECT_EQ(si().DNSServerTimeout, 15);
    EXPECT_EQ(si().ForwardRetries, 5);
    EXPECT_FALSE(si().IniFileExists());
}

TEST_F(Settings, NoFileGivesTheMissingColumnAndWritesNothing) {
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_FALSE(si().IniFileExists());
    EXPECT_FALSE(fs::exists(ini()));
    EXPECT_EQ(si().ToMaximum, 1000);
    EXPECT_EQ(si().PollingInterval, 300);
    EXPECT_EQ(si().ServerName, firstLocalAddress());
    EXPECT_FALSE(si().StartMinimized);
    EXPECT_FALSE(si().ProcessQueueOnStart);
    EXPECT_TRUE(si().AutoStartSmtpServer);
    EXPECT_EQ(si().MailBoxPath, base() + "UserMail/");
    EXPECT_EQ(si().QueuePath, base() + "MQueue/");
    EXPECT_EQ(si().BannerLevel, 0);
    EXPECT_EQ(si().AgentInactivityTimeout, 15);
    EXPECT_TRUE(si().Aliases.empty());
    EXPECT_TRUE(si().LocalDomains.empty());
}

TEST_F(Settings, GoldenFileOfASave) {
    ASSERT_TRUE(si().LoadFromIniFile());
    si().ServerName = "mail.example.test";
    si().LocalDomains = {"example.test"};
    si().Aliases = {"sales<==>bob"};
    ASSERT_TRUE(si().SaveToIniFile());
    const std::string b = base();
    EXPECT_EQ(readFile(ini()),
              "[General]\r\n"
              "Start Minimized=0\r\n"
              "Process Queue on Start=0\r\n"
              "AutoStart Smtp Server=1\r\n"
              "AutoStart Smtp Agent=1\r\n"
              "AutoStart Pop3 Server=1\r\n"
              "Server Name=mail.example.test\r\n"
              "DNS Server Address=\r\n"
              "DNS Server Timeout=15\r\n"
              "Log File=\r\n"
              "Log Level=0\r\n"
              "Log Message Spy=0\r\n"
              "Banner Level=Name, Version and Service\r\n"
              "\r\n"
              "[Directories]\r\n"
              "Mail Box Path=" + b + "UserMail/\r\n"
              "Queue Path=" + b + "MQueue/\r\n"
              "Mailing List Path=" + b + "UserMail/\r\n"
              "\r\n"
              "[Pop 3 Server]\r\n"
              "Bind Address=0.0.0.0\r\n"
              "Listen Port=110\r\n"
              "Create User On Demand=0\r\n"
              "Create User Password On Demand=0\r\n"
              "Inactivity Timeout (in minutes)=15\r\n"
              "\r\n"
              "[Smtp Server]\r\n"
              "Bind Address=0.0.0.0\r\n"
              "Listen Port=25\r\n"
              "Inactivity Timeout (in minutes)=15\r\n"
              "Forward Retries=5\r\n"
              "\r\n"
              "[Smtp Server Domains]\r\n"
              "0=example.test\r\n"
              "\r\n"
              "[Smtp Server Access Control]\r\n"
              "Ban Domains=0\r\n"
              "Ban Addresses=0\r\n"
              "Ban Mailboxes=0\r\n"
              "Apply To Maximum=0\r\n"
              "To Maximum=1000\r\n"
              "Restrict=0\r\n"
              "\r\n"
              "[Smtp Agent]\r\n"
              "Polling Interval (in seconds)=300\r\n"
              "Fire Queue Immediately=0\r\n"
              "Forward to Master SMTP Server=0\r\n"
              "Master SMTP Server=\r\n"
              "Inactivity Timeout (in minutes)=15\r\n"
              "\r\n"
              "[User EMail Aliases]\r\n"
              "0=sales<==>bob\r\n");
    // Nothing but the file and the hidden temporary folder is left behind.
    EXPECT_TRUE(fs::is_empty(base() + ".tmp:"));
}

TEST_F(Settings, SaveThenLoadRoundTripsEveryKey) {
    TServerInformation& s = si();
    s.StartMinimized = true;
    s.ProcessQueueOnStart = true;
    s.AutoStartSmtpServer = false;
    s.AutoStartSmtpAgent = false;
    s.AutoStartPop3Server = false;
    s.ServerName = "mx.example.org";
    s.SetMailBoxPath(home_.path() + "boxes");
    s.SetQueuePath(home_.path() + "queue/");
    s.SetMailingListPath(home_.path() + "lists");
    s.DNSServerAddress = "10.0.0.53";
    s.DNSServerTimeout = 33;
    s.LogFile = home_.path() + "log.txt";
    s.LogLevel = 8;
    s.LogMessageSpy = true;
    s.BannerLevel = 1;
    s.Pop3BindAddress = "127.0.0.1";
    s.Pop3ListenPort = 1110;
    s.CreateUserOnDemand = true;
    s.CreateUserPasswordOnDemand = true;
    s.Pop3InactivityTimeout = 3;
    s.SmtpBindAddress = "127.0.0.2";
    s.SmtpListenPort = 2525;
    s.LocalDomains = {"example.org", "Example.NET"};
    s.SmtpInactivityTimeout = 4;
    s.AcceptedDomains = {"192.168.*", "friend.org"};
    s.BannedMailboxes = {"spam"};
    s.BannedDomains = {"bad.example", " leading"};
    s.BannedAddresses = {"10.1.*"};
    s.BanDomains = true;
    s.BanAddresses = true;
    s.BanMailboxes = true;
    s.ApplyToMaximum = true;
    s.ToMaximum = 77;
    s.Restrict = true;
    s.ForwardRetries = 9;
    s.PollingInterval = 45;
    s.FireQueueImmediately = true;
    s.ForwardToMasterSmtpServer = true;
    s.MasterSmtpServer = "10.0.0.25";
    s.AgentInactivityTimeout = 6;
    s.Aliases = {"sales<==>bob", "info@example.org<==>amy", "odd=entry<==>rob"};
    ASSERT_TRUE(s.SaveToIniFile());

    auto r = reloaded();
    EXPECT_TRUE(r->StartMinimized);
    EXPECT_TRUE(r->ProcessQueueOnStart);
    EXPECT_FALSE(r->AutoStartSmtpServer);
    EXPECT_FALSE(r->AutoStartSmtpAgent);
    EXPECT_FALSE(r->AutoStartPop3Server);
    EXPECT_EQ(r->ServerName, "mx.example.org");
    EXPECT_EQ(r->MailBoxPath, home_.path() + "boxes/");
    EXPECT_EQ(r->QueuePath, home_.path() + "queue/");
    EXPECT_EQ(r->MailingListPath, home_.path() + "lists/");
    EXPECT_EQ(r->DNSServerAddress, "10.0.0.53");
    EXPECT_EQ(r->DNSServerTimeout, 33);
    EXPECT_EQ(r->LogFile, home_.path() + "log.txt");
    EXPECT_EQ(r->LogLevel, 8);
    EXPECT_TRUE(r->LogMessageSpy);
    EXPECT_EQ(r->BannerLevel, 1);
    EXPECT_EQ(r->Pop3BindAddress, "127.0.0.1");
    EXPECT_EQ(r->Pop3ListenPort, 1110);
    EXPECT_TRUE(r->CreateUserOnDemand);
    EXPECT_TRUE(r->CreateUserPasswordOnDemand);
    EXPECT_EQ(r->Pop3InactivityTimeout, 3);
    EXPECT_EQ(r->SmtpBindAddress, "127.0.0.2");
    EXPECT_EQ(r->SmtpListenPort, 2525);
    EXPECT_EQ(r->LocalDomains, s.LocalDomains);
    EXPECT_EQ(r->SmtpInactivityTimeout, 4);
    EXPECT_EQ(r->AcceptedDomains, s.AcceptedDomains);
    EXPECT_EQ(r->BannedMailboxes, s.BannedMailboxes);
    EXPECT_EQ(r->BannedDomains, s.BannedDomains);
    EXPECT_EQ(r->BannedAddresses, s.BannedAddresses);
    EXPECT_TRUE(r->BanDomains && r->BanAddresses && r->BanMailboxes && r->ApplyToMaximum && r->Restrict);
    EXPECT_EQ(r->ToMaximum, 77);
    EXPECT_EQ(r->ForwardRetries, 9);
    EXPECT_EQ(r->PollingInterval, 45);
    EXPECT_TRUE(r->FireQueueImmediately);
    EXPECT_TRUE(r->ForwardToMasterSmtpServer);
    EXPECT_EQ(r->MasterSmtpServer, "10.0.0.25");
    EXPECT_EQ(r->AgentInactivityTimeout, 6);
    EXPECT_EQ(r->Aliases, s.Aliases);
}

TEST_F(Settings, ReloadReplacesEveryFieldAndKeepsForeignLines) {
    writeIni("[General]\nLog Level=5\nMy Own Key=mine\n[Private]\nx=1\n");
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_EQ(si().LogLevel, 5);
    si().Aliases = {"a<==>b"};
    si().ToMaximum = 3;
    ASSERT_TRUE(si().SaveToIniFile());
    platform::Profile p;
    ASSERT_TRUE(p.load(ini()));
    EXPECT_EQ(p.readString("General", "My Own Key"), "mine");
    EXPECT_EQ(p.readString("Private", "x"), "1");

    writeIni("[General]\r\nLog Level=2\r\n");  // hand-edited, most keys gone
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_EQ(si().LogLevel, 2);
    EXPECT_EQ(si().ToMaximum, 1000);
    EXPECT_TRUE(si().Aliases.empty());
}

TEST_F(Settings, ListSectionsLoadInFileOrderAndSaveRenumbered) {
    writeIni("[Smtp Server Domains]\n7=seven.example\n0=zero.example\n3=three.example\n"
             "[User EMail Aliases]\nb=x<==>y\n0=a=b<==>c\n");
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_EQ(si().LocalDomains, (Strings{"seven.example", "zero.example", "three.example"}));
    EXPECT_EQ(si().Aliases, (Strings{"x<==>y", "a=b<==>c"}));
    ASSERT_TRUE(si().SaveToIniFile());
    platform::Profile p;
    ASSERT_TRUE(p.load(ini()));
    EXPECT_EQ(p.sectionValues("Smtp Server Domains"),
              (Strings{"0=seven.example", "1=zero.example", "2=three.example"}));
}

TEST_F(Settings, DeletedAliasLeavesExactlyTheRemainingKeys) {
    si().Aliases = {"a<==>x", "b<==>y", "c<==>z"};
    ASSERT_TRUE(si().SaveToIniFile());
    si().DeleteAlias("b");
    ASSERT_TRUE(si().SaveToIniFile());
    platform::Profile p;
    ASSERT_TRUE(p.load(ini()));
    EXPECT_EQ(p.sectionValues("User EMail Aliases"), (Strings{"0=a<==>x", "1=c<==>z"}));
    EXPECT_EQ(reloaded()->Aliases.size(), 2u);
    si().Aliases.clear();
    ASSERT_TRUE(si().SaveToIniFile());
    ASSERT_TRUE(p.load(ini()));
    EXPECT_FALSE(p.sectionExists("User EMail Aliases"));
}

TEST_F(Settings, PortsBelowOneFallBack) {
    struct Row {
        const char* text;
        int smtp, pop3;
    } rows[] = {{"0", 25, 110}, {"-3", 25, 110}, {"abc", 25, 110}, {"70000", 70000, 70000},
                {"0x50", 80, 80}, {"", 25, 110}};
    for (const Row& r : rows) {
        writeIni(std::string("[Smtp Server]\nListen Port=") + r.text + "\n[Pop 3 Server]\nListen Port=" +
                 r.text + "\n");
        ASSERT_TRUE(si().LoadFromIniFile());
        EXPECT_EQ(si().SmtpListenPort, r.smtp) << r.text;
        EXPECT_EQ(si().Pop3ListenPort, r.pop3) << r.text;
    }
}

TEST_F(Settings, BannerLevelTexts) {
    struct Row {
        const char* text;
        int level;
    } rows[] = {{"Service", 2},          {"service", 2},        {"  Service  ", 2},
                {"Name and Service", 1}, {"NAME AND SERVICE", 1}, {"Name, Version and Service", 0},
                {"", 0},                 {"2", 0},              {"Services", 0}};
    for (const Row& r : rows) {
        writeIni(std::string("[General]\nBanner Level=") + r.text + "\n");
        ASSERT_TRUE(si().LoadFromIniFile());
        EXPECT_EQ(si().BannerLevel, r.level) << r.text;
    }
    for (std::uint8_t level : {0, 1, 2}) {
        si().BannerLevel = level;
        ASSERT_TRUE(si().SaveToIniFile());
        EXPECT_EQ(reloaded()->BannerLevel, level);
    }
}

TEST_F(Settings, LoadRules) {
    writeIni("[General]\nDNS Server Address=dns.example.com\nServer Name=\nDNS Server Timeout=$10\n"
             "Start Minimized=2\nLog Level=junk\n"
             "[Pop 3 Server]\nBind Address=\n"
             "[Smtp Agent]\nPolling Interval (in seconds)=5\n"
             "[Directories]\nMail Box Path=\nQueue Path=" + home_.path() + "q\n");
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_EQ(si().DNSServerAddress, "");
    EXPECT_EQ(si().ServerName, firstLocalAddress());
    EXPECT_EQ(si().DNSServerTimeout, 16);
    EXPECT_TRUE(si().StartMinimized);
    EXPECT_EQ(si().LogLevel, 0);
    EXPECT_EQ(si().Pop3BindAddress, "0.0.0.0");
    EXPECT_EQ(si().PollingInterval, 5);  // no clamp on load
    EXPECT_EQ(si().MailBoxPath, base() + "UserMail/");
    EXPECT_EQ(si().QueuePath, home_.path() + "q/");  // completed and created
    EXPECT_TRUE(fs::is_directory(home_.path() + "q"));

    writeIni("[General]\nDNS Server Address=192.168.1.1\n");
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_EQ(si().DNSServerAddress, "192.168.1.1");
}

TEST_F(Settings, UnreadableFileGivesFalseAndIsNotReplaced) {
    fs::create_directory(ini());  // a folder cannot be read as the file
    si().LogLevel = 4;
    EXPECT_FALSE(si().LoadFromIniFile());
    EXPECT_EQ(si().LogLevel, 4);
    EXPECT_FALSE(si().SaveToIniFile());
    EXPECT_TRUE(fs::is_directory(ini()));
}

TEST_F(Settings, Setters) {
    si().SetPollingInterval(5);
    EXPECT_EQ(si().PollingInterval, 10);
    si().SetPollingInterval(40000);
    EXPECT_EQ(si().PollingInterval, 36000);
    si().SetPollingInterval(600);
    EXPECT_EQ(si().PollingInterval, 600);

    si().SetQueuePath(home_.path() + "a/b/queue");
    EXPECT_EQ(si().QueuePath, home_.path() + "a/b/queue/");
    EXPECT_TRUE(fs::is_directory(si().QueuePath));
    // An empty folder would make the root folder the store: the default.
    si().SetQueuePath("");
    EXPECT_EQ(si().QueuePath, base() + "MQueue/");
    si().SetMailBoxPath("");
    EXPECT_EQ(si().MailBoxPath, base() + "UserMail/");

    Strings domains{"a.example", "b.example"};
    si().SetLocalDomains(domains);
    si().SetAcceptedDomains({"x"});
    si().SetBannedMailboxes({"m"});
    si().SetBannedDomains({"d"});
    si().SetBannedAddresses({"1.2.3.4"});
    EXPECT_EQ(si().LocalDomains, domains);
    EXPECT_EQ(si().AcceptedDomains, Strings{"x"});
    EXPECT_EQ(si().BannedMailboxes, Strings{"m"});
    EXPECT_EQ(si().BannedDomains, Strings{"d"});
    EXPECT_EQ(si().BannedAddresses, Strings{"1.2.3.4"});
}

TEST_F(Settings, IsLocalDomain) {
    si().ServerName = "Mail.Example.COM";
    si().LocalDomains = {"Example.org", " spaced.example"};
    struct Row {
        const char* text;
        bool local;
    } rows[] = {{"mail.example.com", true}, {"  MAIL.example.com\t", true}, {"example.ORG", true},
                {"example.org.", false},    {"sub.example.org", false},      {"", false},
                {"   ", false},             {"spaced.example", false},      {"*", false}};
    for (const Row& r : rows) EXPECT_EQ(si().IsLocalDomain(r.text), r.local) << "\"" << r.text << "\"";
    si().ServerName.clear();
    EXPECT_FALSE(si().IsLocalDomain(""));
}

TEST_F(Settings, AccessListMatching) {
    si().AcceptedDomains = {"192.168.*", "Friend.ORG", " leading.example"};
    si().BannedMailboxes = {"*"};
    si().BannedDomains = {"bad*ignored"};
    si().BannedAddresses = {};
    struct Row {
        const char* text;
        bool accepted;
    } rows[] = {{"192.168.1.5", true},   {"192.168.", true},        {"192.169.1.5", false},
                {"friend.org", true},    {"  FRIEND.org  ", true},  {"friend.org.uk", false},
                {"leading.example", false}, {" leading.example", false}, {"", false}};
    for (const Row& r : rows) EXPECT_EQ(si().IsAcceptedDomain(r.text), r.accepted) << "\"" << r.text << "\"";
    EXPECT_TRUE(si().IsBannedMailbox("anyone"));
    EXPECT_FALSE(si().IsBannedMailbox("  "));
    EXPECT_TRUE(si().IsBannedDomain("badlands.example"));
    EXPECT_FALSE(si().IsBannedDomain("ba"));
    EXPECT_FALSE(si().IsBannedAddress("1.2.3.4"));
}

TEST_F(Settings, LfOnlyFileEditedByHandLoads) {
    writeIni("[Smtp Server Access - Banned Domains]\n0=spam.example\n1=junk.example\n[Smtp Server Access Control]\n"
             "Ban Domains=1\n");
    ASSERT_TRUE(si().LoadFromIniFile());
    EXPECT_EQ(si().BannedDomains, (Strings{"spam.example", "junk.example"}));
    EXPECT_TRUE(si().BanDomains);
}

}  // namespace
