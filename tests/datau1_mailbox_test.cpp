// The user record, message storage and the mailbox listing, with a crash
// test for durable delivery.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "platform/Clock.h"
#include "platform/Profile.h"
#include "support/DataFixture.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;
using Strings = std::vector<std::string>;

namespace {

Strings namesIn(const std::string& folder, bool filesOnly = true) {
    Strings names;
    for (const auto& e : fs::directory_iterator(folder))
        if (!filesOnly || e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Mailbox : public testsupport::DataFixture {
protected:
    std::string folder(const std::string& user) { return si().MailBoxPath + user + "/"; }
};

TEST_F(Mailbox, LoadUserWithoutInformationFileKeepsFields) {
    fs::create_directory(folder("bob"));
    TPop3UserInformation u;
    u.Password = "previous";
    EXPECT_FALSE(u.LoadUser("bob"));
    EXPECT_EQ(u.UserName, "bob");
    EXPECT_EQ(u.Password, "previous");
    EXPECT_FALSE(u.LoadUser("nobody"));
}

TEST_F(Mailbox, SaveUserThenLoadUserRoundTripsAllKeys) {
    TPop3UserInformation u;
    u.Password = "S3cret =;";
    u.ForwardToAddress = "bob@elsewhere.example";
    u.RealName = "Bob Builder";
    u.BackUpMailData = true;
    u.DoNotReportUserExists = true;
    u.LimitMessageToBytes = 1000;
    u.LimitMailboxToBytes = -2;
    u.LimitMailboxToMessages = 7;
    ASSERT_TRUE(u.SaveUser("bob"));
    EXPECT_TRUE(fs::is_directory(folder("bob") + "BAK"));
    EXPECT_EQ(readFile(folder("bob") + "bob.ini"),
              "[User Information]\r\nPassword=S3cret =;\r\nForward To Address=bob@elsewhere.example\r\n"
              "Real Name=Bob Builder\r\nBackUp Mail Data=1\r\nDo not report User Exists (SMTP)=1\r\n"
              "Limit Message To Bytes=1000\r\nLimit Mailbox To Bytes=-2\r\nLimit Mailbox To Messages=7\r\n");

    TPop3UserInformation v;
    ASSERT_TRUE(v.LoadUser("BOB"));  // found without regard to case
    EXPECT_EQ(v.UserName, "BOB");
    EXPECT_EQ(v.Password, u.Password);
    EXPECT_EQ(v.ForwardToAddress, u.ForwardToAddress);
    EXPECT_EQ(v.RealName, u.RealName);
    EXPECT_TRUE(v.BackUpMailData);
    EXPECT_TRUE(v.DoNotReportUserExists);
    EXPECT_EQ(v.LimitMessageToBytes, 1000);
    EXPECT_EQ(v.LimitMailboxToBytes, -2);
    EXPECT_EQ(v.LimitMailboxToMessages, 7);
}

TEST_F(Mailbox, MissingLimitKeysLoadAsZeroAndForeignKeysStay) {
    fs::create_directories(folder("Amy"));
    writeFile(folder("Amy") + "AMY.INI",
              "[User Information]\nPassword=pw\nLimit Mailbox To Bytes=junk\nNote=mine\n[Extra]\nk=v\n");
    TPop3UserInformation u;
    u.LimitMessageToBytes = 5;
    ASSERT_TRUE(u.LoadUser("amy"));
    EXPECT_EQ(u.Password, "pw");
    EXPECT_EQ(u.LimitMessageToBytes, 0);
    EXPECT_EQ(u.LimitMailboxToBytes, 0);
    u.RealName = "Amy";
    ASSERT_TRUE(u.SaveUser("amy"));
    EXPECT_FALSE(fs::exists(folder("amy")));  // the existing spelling was used
    platform::Profile p;
    ASSERT_TRUE(p.load(folder("Amy") + "AMY.INI"));
    EXPECT_EQ(p.readString("User Information", "Note"), "mine");
    EXPECT_EQ(p.readString("Extra", "k"), "v");
    EXPECT_EQ(p.readString("User Information", "Real Name"), "Amy");
}

TEST_F(Mailbox, ClearKeepsForwardAddressAndLimits) {
    TPop3UserInformation u;
    u.UserName = "x";
    u.Password = "p";
    u.RealName = "r";
    u.ForwardToAddress = "f@x";
    u.BackUpMailData = u.DoNotReportUserExists = true;
    u.LimitMailboxToMessages = 3;
    u.Clear();
    EXPECT_EQ(u.UserName, "");
    EXPECT_EQ(u.Password, "");
    EXPECT_EQ(u.RealName, "");
    EXPECT_FALSE(u.BackUpMailData || u.DoNotReportUserExists);
    EXPECT_EQ(u.ForwardToAddress, "f@x");
    EXPECT_EQ(u.LimitMailboxToMessages, 3);
}

TEST_F(Mailbox, StoreMessageWritesTheLinesUnderTheDeliveryTime) {
    platform::setNowOverride(testsupport::fixedLocalTime());
    TPop3UserInformation u;
    u.UserName = "bob";
    u.StoreMessage("alice", {"Return-Path: <alice@a.example>", "Subject: hi", "", "body \xE9"});
    EXPECT_EQ(namesIn(folder("bob")), Strings{"20260308-064509.txt"});
    EXPECT_EQ(readFile(folder("bob") + "20260308-064509.txt"),
              "Return-Path: <alice@a.example>\r\nSubject: hi\r\n\r\nbody \xE9\r\n");
    EXPECT_FALSE(fs::exists(folder("bob") + "bob.ini"));  // the folder came without a record
    EXPECT_FALSE(fs::exists(folder("bob") + "BAK"));
}

// The record is kept between loads while its file is unchanged: every way the
// file changes must be seen by the very next load.
TEST_F(Mailbox, LoadUserSeesEveryChangeOfTheInformationFile) {
    TPop3UserInformation u;
    u.Password = "old1";
    ASSERT_TRUE(u.SaveUser("bob"));
    const std::string file = folder("bob") + "bob.ini";
    // Written long ago, so the record may be taken from memory.
    const auto setOld = [&] {
        timespec times[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    };
    const auto passwordNow = [] {
        TPop3UserInformation r;
        return r.LoadUser("bob") ? r.Password : std::string("<none>");
    };
    setOld();
    EXPECT_EQ(passwordNow(), "old1");
    EXPECT_EQ(passwordNow(), "old1");

    u.Password = "new2";  // the manager: same size, a new file
    ASSERT_TRUE(u.SaveUser("bob"));
    EXPECT_EQ(passwordNow(), "new2");

    setOld();
    EXPECT_EQ(passwordNow(), "new2");
    std::string text = readFile(file);
    text.replace(text.find("new2"), 4, "hnd3");  // by hand, in place, same size
    {
        FILE* f = std::fopen(file.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    EXPECT_EQ(passwordNow(), "hnd3");

    fs::remove(file);
    EXPECT_EQ(passwordNow(), "<none>");
}

TEST_F(Mailbox, ManyMessagesInOneSecondAllSurviveInArrivalOrder) {
    platform::setNowOverride(testsupport::fixedLocalTime());
    TPop3UserInformation u;
    u.UserName = "bob";
    const int n = 150;
    for (int i = 0; i < n; ++i) u.StoreMessage("s", {"Message " + std::to_string(i)});
    Strings names = namesIn(folder("bob"));
    ASSERT_EQ(names.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(names[0], "20260308-064509.txt");
    EXPECT_EQ(names[1], "20260308-064509_000001.txt");
    // Sorted as text, the names give the messages in the order they came.
    for (int i = 0; i < n; ++i) EXPECT_EQ(readFile(folder("bob") + names[i]), "Message " + std::to_string(i) + "\r\n");

    TPop3MailInformation box;
    box.LoadMailbox("bob");
    ASSERT_EQ(box.Count(), n);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(box.GetEntry(i)->Number, i + 1);
        EXPECT_EQ(readFile(box.Folder + box.GetEntry(i)->FileName), "Message " + std::to_string(i) + "\r\n");
    }
    // The next second sorts after all of them.
    platform::advanceNow(1.0 / 86400.0);
    u.StoreMessage("s", {"later"});
    box.LoadMailbox("bob");
    EXPECT_EQ(box.GetEntry(n)->FileName, "20260308-064510.txt");
}

TEST_F(Mailbox, BackupCopiesAreNamedAfterTheSender) {
    platform::setNowOverride(testsupport::fixedLocalTime());
    TPop3UserInformation u;
    u.BackUpMailData = true;
    ASSERT_TRUE(u.SaveUser("bob"));
    u.StoreMessage("carol", {"one"});
    u.StoreMessage("", {"two"});
    u.StoreMessage("carol", {"three"});
    u.StoreMessage("../../escape", {"four"});
    EXPECT_EQ(namesIn(folder("bob") + "BAK"),
              (Strings{".._.._escape_20260308-064509.txt", "_20260308-064509.txt",
                       "carol_20260308-064509.txt", "carol_20260308-064509_000001.txt"}));
    EXPECT_EQ(readFile(folder("bob") + "BAK/carol_20260308-064509_000001.txt"), "three\r\n");
    EXPECT_EQ(namesIn(folder("bob")).size(), 5u);  // four messages and bob.ini
    EXPECT_FALSE(fs::exists(si().MailBoxPath + "escape_20260308-064509.txt"));
}

TEST_F(Mailbox, MissingBackupFolderIsMadeAgain) {
    TPop3UserInformation u;
    u.BackUpMailData = true;
    ASSERT_TRUE(u.SaveUser("bob"));
    fs::remove_all(folder("bob") + "BAK");
    ASSERT_NO_THROW(u.StoreMessage("x", {"m"}));
    EXPECT_EQ(namesIn(folder("bob") + "BAK").size(), 1u);
}

TEST_F(Mailbox, StoreMessageThatCannotWriteThrows) {
    writeFile(si().MailBoxPath + "blocked", "a file where the folder should be");
    TPop3UserInformation u;
    u.UserName = "blocked";
    EXPECT_THROW(u.StoreMessage("x", {"m"}), EFCreateError);
    u.UserName = "../outside";
    EXPECT_THROW(u.StoreMessage("x", {"m"}), EFCreateError);
    EXPECT_FALSE(fs::exists(base() + "outside"));
}

TEST_F(Mailbox, ListingSkipsIniFilesAndFolders) {
    TPop3UserInformation u;
    ASSERT_TRUE(u.SaveUser("bob"));
    u.StoreMessage("x", {"hello"});  // 7 bytes
    writeFile(folder("bob") + "notes", "abc");
    writeFile(folder("bob") + "other.InI", "skip");
    fs::create_directory(folder("bob") + "sub");
    TPop3MailInformation box;
    box.LoadMailbox("Bob");
    EXPECT_EQ(box.Folder, folder("bob"));
    ASSERT_EQ(box.Count(), 2);
    EXPECT_EQ(box.GetEntry(0)->Number, 1);
    EXPECT_EQ(box.GetEntry(0)->Size, 7);
    EXPECT_EQ(box.GetEntry(1)->FileName, "notes");
    EXPECT_EQ(box.GetEntry(1)->Number, 2);
    EXPECT_EQ(box.GetEntry(1)->Size, 3);
    EXPECT_FALSE(box.GetEntry(1)->Deleted);
    EXPECT_EQ(box.GetEntry(-1), nullptr);
    EXPECT_EQ(box.GetEntry(2), nullptr);
    EXPECT_EQ(box.FindByNumber(0), nullptr);
    EXPECT_EQ(box.FindByNumber(2), box.GetEntry(1));
    EXPECT_EQ(box.TotalSize(), 10);
}

TEST_F(Mailbox, DeleteMarkedRemovesOnlyMarkedFiles) {
    TPop3UserInformation u;
    u.UserName = "bob";
    for (int i = 0; i < 3; ++i) u.StoreMessage("x", {"m" + std::to_string(i)});
    TPop3MailInformation box;
    box.LoadMailbox("bob");
    ASSERT_EQ(box.Count(), 3);
    box.GetEntry(0)->Deleted = true;
    box.GetEntry(2)->Deleted = true;
    EXPECT_EQ(box.TotalSize(), 12);  // marked entries still count
    fs::remove(box.Folder + box.GetEntry(2)->FileName);  // gone meanwhile: not counted
    EXPECT_EQ(box.DeleteMarked(), 1);
    EXPECT_EQ(box.Count(), 3);
    EXPECT_EQ(namesIn(folder("bob")), Strings{box.GetEntry(1)->FileName});
}

TEST_F(Mailbox, ListingOfAMissingUserChangesNothing) {
    TPop3UserInformation u;
    u.UserName = "bob";
    u.StoreMessage("x", {"m"});
    TPop3MailInformation box;
    box.LoadMailbox("bob");
    ASSERT_EQ(box.Count(), 1);
    box.LoadMailbox("nobody");
    box.LoadMailbox("..");
    EXPECT_EQ(box.Folder, folder("bob"));
    EXPECT_EQ(box.Count(), 1);
    box.Clear();
    EXPECT_EQ(box.Count(), 0);
    EXPECT_EQ(box.Folder, folder("bob"));
}

// A child stores large messages until it is killed at a random moment; every
// message file the mailbox then shows must be complete.
std::string crashMessage(int n) {
    std::string text = "Message " + std::to_string(n) + "\r\n";
    for (int line = 0; line < 4000; ++line) text += "line " + std::to_string(line) + " of message " + std::to_string(n) + "\r\n";
    return text + "END " + std::to_string(n) + "\r\n";
}

Strings crashLines(int n) {
    Strings lines;
    std::string text = crashMessage(n);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t crlf = text.find("\r\n", at);
        lines.push_back(text.substr(at, crlf - at));
        at = crlf + 2;
    }
    return lines;
}

TEST_F(Mailbox, KilledWhileStoringLeavesOnlyCompleteMessages) {
    std::mt19937 rng(std::random_device{}());
    int stored = 0;
    for (int round = 0; round < 12; ++round) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(pipeFds[0]);
            TPop3UserInformation u;
            u.UserName = "crash";
            u.BackUpMailData = true;
            // Built before the loop, so that the child spends its time storing.
            std::vector<Strings> messages;
            for (int n = round * 1000; n < round * 1000 + 50; ++n) messages.push_back(crashLines(n));
            for (std::size_t i = 0;; ++i) {
                if (i >= messages.size()) messages.push_back(crashLines(round * 1000 + static_cast<int>(i)));
                u.StoreMessage("s", messages[i]);
                char c = 1;
                if (::write(pipeFds[1], &c, 1) != 1) ::_exit(1);
            }
        }
        ::close(pipeFds[1]);
        // The first notice comes once the child has built its messages.
        int wait = std::uniform_int_distribution<int>(1, 6)(rng);
        char c;
        int got = 0;
        while (got < wait && ::read(pipeFds[0], &c, 1) == 1) ++got;
        ASSERT_EQ(got, wait);
        // Then a random moment within the next deliveries: a spin, not a
        // wait for anything.
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(rng));
        while (std::chrono::steady_clock::now() < until) {
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(pipeFds[0]);
        EXPECT_TRUE(WIFSIGNALED(status));

        TPop3MailInformation box;
        box.LoadMailbox("crash");
        ASSERT_GE(box.Count(), stored + wait);
        stored = box.Count();
        std::set<std::string> seen;
        for (const auto& e : box.Entries) {
            std::string text = readFile(box.Folder + e->FileName);
            int n = std::atoi(text.c_str() + 8);
            EXPECT_EQ(text, crashMessage(n)) << e->FileName;
            EXPECT_TRUE(seen.insert(text.substr(0, 20)).second);
            EXPECT_EQ(e->Size, static_cast<std::int64_t>(text.size()));
        }
        for (const auto& name : namesIn(folder("crash") + "BAK"))
            EXPECT_EQ(readFile(folder("crash") + "BAK/" + name),
                      crashMessage(std::atoi(readFile(folder("crash") + "BAK/" + name).c_str() + 8)));
    }
}

}  // namespace
