// The mailbox listing that a POP3 login sees follows the folder: a message
// that arrived since the last login is listed, one removed (by QUIT or by
// hand) is not, however close together the changes and the logins come.
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>

#include "support/Pop3Fixture.h"

namespace {

namespace fs = std::filesystem;
using pop3test::Pop3Fixture;

class Pop3ListingTest : public Pop3Fixture {
protected:
    void SetUp() override {
        Pop3Fixture::SetUp();
        addUser("bob", "pw");
        folder = si().MailBoxPath + "bob/";
    }

    // One whole session: login, STAT, QUIT; the STAT reply.
    std::string statOnce() {
        auto p = login("bob", "pw");
        std::string reply = p->cmd("STAT");
        EXPECT_EQ(p->cmd("QUIT").substr(0, 3), "+OK");
        EXPECT_TRUE(p->waitClosed());
        EXPECT_TRUE(waitSessions(0));
        return reply;
    }
    std::string expected() {
        std::int64_t octets = 0;
        auto files = messageFiles("bob");
        for (const auto& f : files) octets += static_cast<std::int64_t>(fs::file_size(f));
        return "+OK " + std::to_string(files.size()) + " " + std::to_string(octets);
    }
    // Waits until the folder's last change lies well back, so that the
    // next login's listing is one that may be remembered.
    void settle() {
        ASSERT_TRUE(testsupport::stepUntil(
            [&] {
                struct stat st {};
                ::stat(folder.c_str(), &st);
                const auto changed = std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
                return std::chrono::system_clock::now() - changed > std::chrono::milliseconds(300);
            },
            5000));
    }
    // A message put into the folder by a rename, as the store does it, but
    // without the flushes, so that changes follow one another closely.
    void dropIn(const std::string& name, std::size_t bytes) {
        const std::string staging = si().MailBoxPath + "staging-" + name;
        std::ofstream(staging, std::ios::binary) << std::string(bytes, 'x') << "\r\n";
        fs::rename(staging, folder + name);
    }

    std::string folder;
};

TEST_F(Pop3ListingTest, RemembersNothingThatMovedBetweenLogins) {
    const std::string first = deliver("bob", {"Subject: one", "", "body"});
    settle();
    EXPECT_EQ(statOnce(), expected());
    EXPECT_EQ(statOnce(), "+OK 1 " + std::to_string(fs::file_size(first)));  // from the remembered listing

    // Arrival right after a remembered listing; two arrivals in one second.
    deliver("bob", {"Subject: two", "", "body"});
    EXPECT_EQ(statOnce(), expected());
    deliver("bob", {"Subject: three", "", "longer body"});
    EXPECT_EQ(statOnce(), expected());
    EXPECT_EQ(messageFiles("bob").size(), 3u);

    // Removed by hand while a listing is remembered.
    settle();
    EXPECT_EQ(statOnce(), expected());
    fs::remove(first);
    EXPECT_EQ(statOnce(), expected());
    EXPECT_EQ(messageFiles("bob").size(), 2u);

    // Deleted by the server at QUIT, then the next login.
    settle();
    EXPECT_EQ(statOnce(), expected());
    {
        auto p = login("bob", "pw");
        EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
        EXPECT_EQ(p->cmd("QUIT"), "+OK 1 Messages Deleted.  Bye.");
        EXPECT_TRUE(p->waitClosed());
        EXPECT_TRUE(waitSessions(0));
    }
    EXPECT_EQ(statOnce(), expected());
    EXPECT_EQ(statOnce(), "+OK 1 " + std::to_string(fs::file_size(messageFiles("bob").at(0))));

    // Changes and logins close together (many within one clock tick of the
    // last read): each login sees the folder as it is.
    for (int i = 0; i < 10; ++i) {
        dropIn("r" + std::to_string(100 + i) + ".txt", 10 + static_cast<std::size_t>(i));
        EXPECT_EQ(statOnce(), expected()) << "after arrival " << i;
        if (i % 3 == 2) {
            fs::remove(folder + "r" + std::to_string(100 + i - 1) + ".txt");
            EXPECT_EQ(statOnce(), expected()) << "after removal " << i;
        }
    }
}

// LIST gives each message its number and size as the folder holds them now,
// whether a name was known to the last listing or not: after arrivals and
// removals between logins, and after a name was given a new file by a rename.
TEST_F(Pop3ListingTest, ListsNumbersAndSizesAfterEveryChange) {
    const auto listOnce = [&] {
        auto p = login("bob", "pw");
        EXPECT_EQ(p->cmd("LIST").substr(0, 4), "+OK ");
        std::string body = p->body();
        EXPECT_EQ(p->cmd("QUIT").substr(0, 3), "+OK");
        EXPECT_TRUE(waitSessions(0));
        return body;
    };
    const auto expectedList = [&] {
        std::string list;
        int n = 0;
        for (const auto& f : messageFiles("bob"))
            list += std::to_string(++n) + " " + std::to_string(fs::file_size(f)) + "\r\n";
        return list;
    };
    for (int i = 0; i < 4; ++i) deliver("bob", {"Subject: " + std::to_string(i), "", std::string(10 * i, 'b')});
    settle();
    EXPECT_EQ(listOnce(), expectedList());
    struct Step {
        const char* what;
        std::function<void()> change;
    } steps[] = {
        {"arrivals and a removal",
         [&] {
             fs::remove(messageFiles("bob").at(1));
             deliver("bob", {"Subject: new", "", "a longer body than before"});
             dropIn("20240101-000000.txt", 333);
         }},
        {"a name given a new file", [&] { dropIn(fs::path(messageFiles("bob").at(2)).filename().string(), 4444); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_EQ(listOnce(), expectedList());
        settle();
        EXPECT_EQ(listOnce(), expectedList());
    }
    EXPECT_EQ(messageFiles("bob").size(), 5u);
}

}  // namespace
