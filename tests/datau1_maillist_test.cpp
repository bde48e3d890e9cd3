// The mailing-list definition, its file and the change stamp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "engine/UtilU1.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "support/DataFixture.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;
using Strings = std::vector<std::string>;

namespace {

class MailList : public testsupport::DataFixture {
protected:
    std::string file(const std::string& name) { return si().MailingListPath + name + ".ini"; }
};

TEST_F(MailList, ClearGivesTheDefaults) {
    TMailListInformation l;
    EXPECT_TRUE(l.AllowOpenSubscription);
    EXPECT_TRUE(l.ForceRepliesToList);
    EXPECT_FALSE(l.DoNotReportListMembersToSmtp || l.DoNotReportListExists || l.DoNotReportListMembers ||
                 l.MemberOnlySubmission);
    EXPECT_FALSE(l.Stamp.File.exists);
    l.AddMember(true, false, "a@b");
    l.AddPendingMember(1, "c@d", 1.0);
    l.WelcomeMessage = {"hi"};
    l.DigestFile = "x";
    l.AllowOpenSubscription = false;
    l.Clear();
    EXPECT_EQ(l.MemberCount(), 0);
    EXPECT_EQ(l.PendingMemberCount(), 0);
    EXPECT_TRUE(l.WelcomeMessage.empty());
    EXPECT_EQ(l.DigestFile, "");
    EXPECT_TRUE(l.AllowOpenSubscription);
}

TEST_F(MailList, MemberValuesAreParsedByTheirWords) {
    writeFile(file("club"),
              "[Members]\n"
              "0=active;manager;one@example.org\n"
              "1=inactive;whatever;two@example.org\n"
              "2=INACTIVE;NOMANAGER;three@example.org\n"
              "3=ACTIVE;NOMANAGER;\n"
              "4=ACTIVE;only-one-separator@example.org\n"
              "5=Active;NoManager; spaced;and;semicolons \n"
              "6=;;empty-words@example.org\n"
              "9=ACTIVE;MANAGER;a=b@example.org\n");
    TMailListInformation l;
    ASSERT_TRUE(l.LoadFromFile("CLUB"));
    ASSERT_EQ(l.MemberCount(), 6);
    struct Row {
        bool active, manager;
        const char* address;
    } rows[] = {{true, true, "one@example.org"},
                {false, true, "two@example.org"},
                {false, false, "three@example.org"},
                {true, false, " spaced;and;semicolons "},
                {true, true, "empty-words@example.org"},
                {true, true, "a=b@example.org"}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(l.GetMember(i)->Active, rows[i].active) << i;
        EXPECT_EQ(l.GetMember(i)->Manager, rows[i].manager) << i;
        EXPECT_EQ(l.GetMember(i)->Address, rows[i].address) << i;
    }
    EXPECT_EQ(l.GetMember(-1), nullptr);
    EXPECT_EQ(l.GetMember(6), nullptr);
}

TEST_F(MailList, PendingValuesFallBackWhenNumbersDoNotParse) {
    platform::setNowOverride(46000.25);
    writeFile(file("club"),
              "[Pending Members]\n"
              "0=46001.5;1234; new@example.org \n"
              "1=tomorrow;77;late@example.org\n"
              "2=46001,75;abc;comma@example.org\n"
              "3=46001.5;5;   \n"
              "4=46001.5;no-second-separator\n");
    TMailListInformation l;
    ASSERT_TRUE(l.LoadFromFile("club"));
    ASSERT_EQ(l.PendingMemberCount(), 3);
    EXPECT_DOUBLE_EQ(l.GetPendingMember(0)->Expires, 46001.5);
    EXPECT_EQ(l.GetPendingMember(0)->Code, 1234);
    EXPECT_EQ(l.GetPendingMember(0)->Address, "new@example.org");
    EXPECT_DOUBLE_EQ(l.GetPendingMember(1)->Expires, 46000.25);  // expires at once
    EXPECT_EQ(l.GetPendingMember(1)->Code, 77);
    EXPECT_DOUBLE_EQ(l.GetPendingMember(2)->Expires, 46001.75);
    EXPECT_EQ(l.GetPendingMember(2)->Code, -1);
    EXPECT_EQ(l.FindPendingMember(77), l.GetPendingMember(1));
    EXPECT_EQ(l.FindPendingMember(5), nullptr);
}

TEST_F(MailList, GoldenFileAndRoundTrip) {
    TMailListInformation l;
    l.AddMember(true, false, "one@example.org");
    l.AddMember(false, true, "two@example.org");
    l.AddPendingMember(42, "wait@example.org", 46123.5);
    l.SetWelcomeMessage({"Welcome!", "", "   ", "Bye for now"});
    l.SetSignatureMessage({"--", "The list"});
    l.SetFarewellMessage({});
    l.Password = "pw";
    l.MailErrorsTo = "owner@example.org";
    l.WelcomeFile = "w.txt";
    l.DigestFile = "/tmp/archive.txt";
    l.ForceRepliesToList = false;
    l.MemberOnlySubmission = true;
    ASSERT_TRUE(l.SaveToFile("club", false));
    EXPECT_EQ(readFile(file("club")),
              "[Members]\r\n0=ACTIVE;NOMANAGER;one@example.org\r\n1=INACTIVE;MANAGER;two@example.org\r\n\r\n"
              "[Pending Members]\r\n0=46123.5;42;wait@example.org\r\n\r\n"
              "[Welcome Message]\r\n0=Welcome!\r\n1=<This line intentionally left blank.>\r\n"
              "2=<This line intentionally left blank.>\r\n3=Bye for now\r\n\r\n"
              "[Signature Message]\r\n0=--\r\n1=The list\r\n\r\n"
              "[Security]\r\nPassword=pw\r\n\r\n"
              "[General]\r\nMail Errors To=owner@example.org\r\n\r\n"
              "[Auto Files]\r\nWelcome=w.txt\r\nSignature=\r\nFarewell=\r\n\r\n"
              "[List Behavior]\r\nAllow Open (Public) Subscription=1\r\nForce Replies to List=0\r\n"
              "Do not report List Members to SMTP=0\r\nDo not report List Exists=0\r\n"
              "Do not report List Members=0\r\nMember-Only Submission=1\r\n\r\n"
              "[Digest]\r\nFilename=/tmp/archive.txt\r\n");

    TMailListInformation r;
    ASSERT_TRUE(r.LoadFromFile("club"));
    ASSERT_EQ(r.MemberCount(), 2);
    EXPECT_FALSE(r.GetMember(1)->Active);
    EXPECT_TRUE(r.GetMember(1)->Manager);
    ASSERT_EQ(r.PendingMemberCount(), 1);
    EXPECT_DOUBLE_EQ(r.GetPendingMember(0)->Expires, 46123.5);
    EXPECT_EQ(r.WelcomeMessage, (Strings{"Welcome!", "", "", "Bye for now"}));
    EXPECT_EQ(r.SignatureMessage, (Strings{"--", "The list"}));
    EXPECT_TRUE(r.FarewellMessage.empty());
    EXPECT_EQ(r.Password, "pw");
    EXPECT_EQ(r.MailErrorsTo, "owner@example.org");
    EXPECT_EQ(r.WelcomeFile, "w.txt");
    EXPECT_EQ(r.DigestFile, "/tmp/archive.txt");
    EXPECT_FALSE(r.ForceRepliesToList);
    EXPECT_TRUE(r.MemberOnlySubmission);
}

TEST_F(MailList, ExpiryKeepsItsPrecision) {
    TMailListInformation l;
    double expires = platform::Now() + 1.0;
    l.AddPendingMember(1, "a@b", expires);
    ASSERT_TRUE(l.SaveToFile("club", false));
    TMailListInformation r;
    ASSERT_TRUE(r.LoadFromFile("club"));
    EXPECT_NEAR(r.GetPendingMember(0)->Expires, expires, 1e-9);
}

TEST_F(MailList, SavingWithoutMembersLeavesNoMembersSection) {
    writeFile(file("club"), "[Members]\n0=ACTIVE;NOMANAGER;a@b\n[Custom]\nk=v\n");
    TMailListInformation l;
    ASSERT_TRUE(l.LoadFromFile("club"));
    l.DeleteMember(0);
    l.DeleteMember(5);
    ASSERT_TRUE(l.SaveToFile("club", false));
    platform::Profile p;
    ASSERT_TRUE(p.load(file("club")));
    EXPECT_FALSE(p.sectionExists("Members"));
    EXPECT_EQ(p.readString("Custom", "k"), "v");  // other sections stay
    TMailListInformation r;
    ASSERT_TRUE(r.LoadFromFile("club"));
    EXPECT_EQ(r.MemberCount(), 0);
}

TEST_F(MailList, AnotherWritersChangeIsNeverOverwritten) {
    TMailListInformation editor;
    editor.AddMember(true, false, "first@example.org");
    ASSERT_TRUE(editor.SaveToFile("club", true));
    ASSERT_TRUE(editor.LoadFromFile("club"));

    // The list processor changes the file right after the editor loaded it.
    TMailListInformation processor;
    ASSERT_TRUE(processor.LoadFromFile("club"));
    processor.AddPendingMember(7, "new@example.org", 46000);
    ASSERT_TRUE(processor.SaveToFile("club", false));

    editor.AddMember(true, false, "second@example.org");
    EXPECT_FALSE(editor.SaveToFile("club", false));
    TMailListInformation check;
    ASSERT_TRUE(check.LoadFromFile("club"));
    EXPECT_EQ(check.PendingMemberCount(), 1);
    EXPECT_EQ(check.MemberCount(), 1);

    EXPECT_TRUE(editor.SaveToFile("club", true));
    ASSERT_TRUE(check.LoadFromFile("club"));
    EXPECT_EQ(check.MemberCount(), 2);
    EXPECT_EQ(check.PendingMemberCount(), 0);
}

TEST_F(MailList, InPlaceEditWithTheSameSizeAndTimeIsSeen) {
    TMailListInformation l;
    l.AddMember(true, false, "aaaa@example.org");
    ASSERT_TRUE(l.SaveToFile("club", true));
    ASSERT_TRUE(l.LoadFromFile("club"));
    struct stat before {};
    ASSERT_EQ(::stat(file("club").c_str(), &before), 0);

    // Rewrite the bytes in place (same inode, same size) and put the
    // modification time back, as a coarse clock tick would leave it.
    std::string text = readFile(file("club"));
    text.replace(text.find("aaaa"), 4, "bbbb");
    int fd = ::open(file("club").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);

    EXPECT_FALSE(l.SaveToFile("club", false));
    EXPECT_NE(readFile(file("club")).find("bbbb"), std::string::npos);
}

TEST_F(MailList, SaveRefreshesTheStamp) {
    TMailListInformation l;
    ASSERT_TRUE(l.SaveToFile("club", false));  // no file yet: written
    ASSERT_TRUE(l.LoadFromFile("club"));
    l.AddMember(true, false, "a@b");
    EXPECT_TRUE(l.SaveToFile("club", false));
    l.AddMember(true, false, "c@d");
    EXPECT_TRUE(l.SaveToFile("club", false));
    // A record that never loaded the existing file may not write over it.
    TMailListInformation stranger;
    EXPECT_FALSE(stranger.SaveToFile("club", false));
}

TEST_F(MailList, MissingFileLoadsClearedAndKeepsTheStamp) {
    TMailListInformation l;
    ASSERT_TRUE(l.SaveToFile("club", false));
    ASSERT_TRUE(l.LoadFromFile("club"));
    TListFileStamp stamp = l.Stamp;
    l.AddMember(true, false, "x@y");
    EXPECT_TRUE(l.LoadFromFile("none"));
    EXPECT_EQ(l.MemberCount(), 0);
    EXPECT_EQ(l.Stamp, stamp);
    EXPECT_FALSE(l.LoadFromFile("../escape"));
    EXPECT_FALSE(l.SaveToFile("../escape", true));
    EXPECT_FALSE(l.SaveToFile("", true));
    EXPECT_FALSE(fs::exists(base() + "escape.ini"));
}

TEST_F(MailList, FileFoundWithoutRegardToCase) {
    writeFile(si().MailingListPath + "Club.INI", "[Members]\n0=ACTIVE;NOMANAGER;a@b\n");
    TMailListInformation l;
    ASSERT_TRUE(l.LoadFromFile("club"));
    EXPECT_EQ(l.MemberCount(), 1);
    l.AddMember(true, false, "c@d");
    ASSERT_TRUE(l.SaveToFile("CLUB", false));
    EXPECT_FALSE(fs::exists(file("club")));
    EXPECT_FALSE(fs::exists(file("CLUB")));
    EXPECT_NE(readFile(si().MailingListPath + "Club.INI").find("c@d"), std::string::npos);
}

TEST_F(MailList, RecordOperations) {
    TMailListInformation l;
    EXPECT_EQ(l.AddMember(true, true, ""), nullptr);
    EXPECT_EQ(l.AddPendingMember(1, "", 0), nullptr);
    std::string longAddress(300, 'a');
    EXPECT_EQ(l.AddMember(true, false, longAddress)->Address.size(), 255u);
    EXPECT_EQ(l.AddPendingMember(1, longAddress, 0)->Address.size(), 255u);
    l.AddMember(true, false, "dup@x");
    l.AddMember(true, false, "dup@x");
    EXPECT_EQ(l.MemberCount(), 3);

    TMailListPendingMember* a = l.AddPendingMember(2, "a@x", 0);
    l.AddPendingMember(2, "b@x", 0);
    EXPECT_EQ(l.FindPendingMember(2), a);
    l.RemovePendingMember(a);
    EXPECT_EQ(l.PendingMemberCount(), 2);
    EXPECT_EQ(l.FindPendingMember(2)->Address, "b@x");
    l.DeletePendingMember(9);
    l.DeletePendingMember(0);
    EXPECT_EQ(l.PendingMemberCount(), 1);
}

TEST_F(MailList, ConfirmationCodesAreUnusedOnes) {
    RandSeed(12345);
    TMailListInformation l;
    for (int i = 0; i < 200; ++i) {
        std::int32_t code = l.NewConfirmationCode();
        ASSERT_GE(code, 0);
        ASSERT_LT(code, 10000);
        ASSERT_EQ(l.FindPendingMember(code), nullptr);
        l.AddPendingMember(code, "x@y", 0);
    }
    l.ClearPendingMembers();
    for (int code = 0; code < 10000; ++code)
        if (code != 4321) l.AddPendingMember(code, "x@y", 0);
    EXPECT_EQ(l.NewConfirmationCode(), 4321);
    l.AddPendingMember(4321, "x@y", 0);
    EXPECT_EQ(l.NewConfirmationCode(), -1);
}

TEST_F(MailList, ValueWithALineFeedIsRefusedWithoutTouchingTheFile) {
    TMailListInformation l;
    l.AddMember(true, false, "a@b");
    ASSERT_TRUE(l.SaveToFile("club", false));
    std::string before = readFile(file("club"));
    l.SetWelcomeMessage({"one\ntwo"});
    EXPECT_FALSE(l.SaveToFile("club", false));
    EXPECT_EQ(readFile(file("club")), before);
}

}  // namespace
