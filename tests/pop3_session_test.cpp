// The POP3 dialogue against the real server on loopback, driven line by line:
// every reply text, the states, the mailbox lock, the multi-line answers byte
// for byte, and bad input.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/MD5.h"
#include "platform/FileWork.h"
#include "platform/Paths.h"
#include "support/Pop3Fixture.h"

namespace fs = std::filesystem;
using pop3test::Peer;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class Pop3Session : public pop3test::Pop3Fixture {
protected:
    // bob with three messages: a plain one, one with dotted lines, one
    // without an empty line.
    void fillBob() {
        addUser("bob", "secret");
        files.push_back(deliver("bob", {"Subject: one", "", "first body", "second line"}));
        files.push_back(deliver("bob", {"Subject: dots", "", ".leading dot", ".", "..two", "end"}));
        files.push_back(deliver("bob", {"Header-Only: yes", "Another: header"}));
    }
    std::string greetingTimestamp(const std::string& greeting) {
        auto lt = greeting.find('<');
        return lt == std::string::npos ? std::string() : greeting.substr(lt);
    }
    // A stored message as a RETR sends it: dot-stuffed, without its terminator.
    static std::string asSent(const std::string& file) {
        const std::string stored = readFile(file);
        std::string stuffed;
        for (auto line : SplitMessageLines(stored)) AppendDotStuffed(stuffed, line);
        return stuffed;
    }
    // Steps the loop until the server is idle: no file work on the workers
    // and nothing left to dispatch (a socket that takes no more holds it).
    static void settle() {
        testsupport::stepUntil(
            [] { return platform::fileWorkInFlight() == 0 && platform::loop().processMessages() == 0; }, 2000);
    }
    std::vector<std::string> files;
};

TEST_F(Pop3Session, GreetingFollowsBannerLevelAndCarriesTimestamp) {
    struct Row {
        int level;
        const char* greeting;
    } rows[] = {
        {0, "+OK Tavrin 1.4.0.0 POP3 Ready. "},
        {1, "+OK Tavrin POP3 Ready. "},
        {2, "+OK POP3 Ready. "},
        {9, "+OK Tavrin POP3 Ready. "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.level);
        si().BannerLevel = static_cast<std::uint8_t>(r.level);
        Peer p(port);
        std::string g = p.line();
        ASSERT_EQ(g.substr(0, g.find('<')), r.greeting);
        // "<" + session number + "." + date-time + "@" + server name + ">"
        const std::string ts = greetingTimestamp(g);
        const std::string tail = "@pop.example.test>";
        ASSERT_GT(ts.size(), tail.size() + 1);
        ASSERT_EQ(ts.substr(ts.size() - tail.size()), tail);
        ASSERT_TRUE(waitSessions(1));
        const std::string id = std::to_string(server->Connections()[0]->ID);
        ASSERT_EQ(ts.substr(0, id.size() + 2), "<" + id + ".");
        const std::string when = ts.substr(id.size() + 2, ts.size() - tail.size() - id.size() - 2);
        EXPECT_EQ(when.find_first_not_of("0123456789."), std::string::npos) << when;
        EXPECT_NEAR(std::stod(when), platform::Now(), 1.0 / 1440);
        EXPECT_EQ(server->Connections()[0]->ApopTimestamp(), ts);
        const std::string prefix = "<POP3 ID " + id + "> ";
        EXPECT_TRUE(hasLog(prefix + "Accepted", 4));
        EXPECT_TRUE(hasLog(prefix + "Connected", 4));
        EXPECT_EQ(p.cmd("QUIT"), "+OK Signing Off");
        EXPECT_TRUE(p.waitClosed());
        ASSERT_TRUE(waitSessions(0));
        EXPECT_TRUE(hasLog(prefix + "NOT Updated", 4));
        EXPECT_TRUE(hasLog(prefix + "Closed", 4));
    }
}

TEST_F(Pop3Session, UserAndPassDialogue) {
    fillBob();
    Peer p(port);
    p.line();
    EXPECT_EQ(p.cmd("PASS secret"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("STAT"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("USER"), "-ERR Unknown User");
    EXPECT_EQ(p.cmd("USER nobody"), "-ERR Unknown User");
    EXPECT_TRUE(hasLogEnding("> User nobody BAD"));
    EXPECT_EQ(p.cmd("user BOB"), "+OK Send Password");  // verbs in any case; user folders too
    EXPECT_EQ(p.cmd("USER bob"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("APOP bob 0123"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("PASS Secret"), "-ERR Password Invalid");
    EXPECT_TRUE(hasLogEnding("> User Password BAD"));
    EXPECT_EQ(p.cmd("PASS secret"), "-ERR Unrecognized Command");  // back in authorisation
    EXPECT_EQ(p.cmd("USER bob"), "+OK Send Password");
    const std::int64_t octets = fs::file_size(files[0]) + fs::file_size(files[1]) + fs::file_size(files[2]);
    EXPECT_EQ(p.cmd("PASS secret"), "+OK 3 " + std::to_string(octets));
    EXPECT_TRUE(hasLogEnding("> User BOB OK"));
    EXPECT_TRUE(hasLogEnding("> User Password OK"));
    EXPECT_EQ(p.cmd("USER bob"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("NOOP"), "+OK");
    EXPECT_EQ(p.cmd("STAT"), "+OK 3 " + std::to_string(octets));
    EXPECT_TRUE(hasLogEnding("> Status: 3 " + std::to_string(octets)));
    // The argument never reaches the log.
    for (const auto& l : logs) EXPECT_EQ(l.text.find("secret"), std::string::npos) << l.text;
}

TEST_F(Pop3Session, EmptyAndOnDemandPasswords) {
    addUser("amy", "");
    {
        Peer p(port);
        p.line();
        EXPECT_EQ(p.cmd("USER amy"), "+OK Send Password");
        EXPECT_EQ(p.cmd("PASS anything"), "-ERR Password Invalid");
        EXPECT_EQ(p.cmd("QUIT"), "+OK Signing Off");
    }
    si().CreateUserPasswordOnDemand = true;
    {
        Peer p(port);
        p.line();
        EXPECT_EQ(p.cmd("USER amy"), "+OK Send Password");
        EXPECT_EQ(p.cmd("PASS"), "-ERR Password Invalid");  // an empty password is never stored
        EXPECT_EQ(p.cmd("USER amy"), "+OK Send Password");
        EXPECT_EQ(p.cmd("PASS first"), "+OK 0 0");
        EXPECT_EQ(p.cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
    }
    TPop3UserInformation u;
    ASSERT_TRUE(u.LoadUser("amy"));
    EXPECT_EQ(u.Password, "first");
    {
        Peer p(port);
        p.line();
        EXPECT_EQ(p.cmd("USER amy"), "+OK Send Password");
        EXPECT_EQ(p.cmd("PASS second"), "-ERR Password Invalid");
    }
    ASSERT_TRUE(u.LoadUser("amy"));
    EXPECT_EQ(u.Password, "first");
}

TEST_F(Pop3Session, CreateUserOnDemandOnlyForUsableNewNames) {
    ASSERT_TRUE(si().CreateMailList("sales"));
    ASSERT_TRUE(si().AddAlias("orders", "bob"));
    Peer p(port);
    p.line();
    EXPECT_EQ(p.cmd("USER carol"), "-ERR Unknown User");
    EXPECT_FALSE(si().UserExists("carol"));
    si().CreateUserOnDemand = true;
    for (const char* bad : {"..", ".", "a/b", "a\\b", "x@example.test", "sales", "orders", "SALES"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(p.cmd(std::string("USER ") + bad), "-ERR Unknown User");
    }
    // Names the user manager could not show, and control bytes that trimming
    // would hide, make no user either.
    for (const std::string& bad : {std::string(".hidden"), std::string("x.ini"), std::string("\0x", 2), std::string("y\x01", 2)})
        EXPECT_EQ(p.cmd("USER " + bad), "-ERR Unknown User") << bad;
    for (const char* made : {".hidden", "x.ini", "x", "y"}) EXPECT_FALSE(fs::exists(si().MailBoxPath + made)) << made;
    EXPECT_FALSE(fs::exists(si().MailBoxPath + "x@example.test"));
    EXPECT_FALSE(fs::exists(si().MailBoxPath + "sales"));
    EXPECT_EQ(p.cmd("USER carol"), "+OK Send Password");
    EXPECT_TRUE(si().UserExists("carol"));
    EXPECT_TRUE(si().UserInfoFileExists("carol"));
}

TEST_F(Pop3Session, NoPasswordCarriesOverFromAnEarlierUser) {
    addUser("alice", "alicepw");
    ASSERT_TRUE(fs::create_directory(si().MailBoxPath + "noinfo"));  // a user without information file
    si().CreateUserPasswordOnDemand = true;
    Peer p(port);
    p.line();
    EXPECT_EQ(p.cmd("USER alice"), "+OK Send Password");
    EXPECT_EQ(p.cmd("PASS wrong"), "-ERR Password Invalid");
    EXPECT_EQ(p.cmd("USER noinfo"), "+OK Send Password");
    // The on-demand password goes to the new user; nothing of alice's record
    // (password, forward address) comes along.
    EXPECT_EQ(p.cmd("PASS alicepw"), "+OK 0 0");
    TPop3UserInformation u;
    ASSERT_TRUE(u.LoadUser("noinfo"));
    EXPECT_EQ(u.Password, "alicepw");
    EXPECT_EQ(u.ForwardToAddress, "");
    p.cmd("QUIT");

    si().CreateUserPasswordOnDemand = false;
    ASSERT_TRUE(fs::create_directory(si().MailBoxPath + "noinfo2"));
    Peer q(port);
    q.line();
    EXPECT_EQ(q.cmd("USER alice"), "+OK Send Password");
    EXPECT_EQ(q.cmd("PASS wrong"), "-ERR Password Invalid");
    EXPECT_EQ(q.cmd("USER noinfo2"), "+OK Send Password");
    EXPECT_EQ(q.cmd("PASS alicepw"), "-ERR Password Invalid");
}

TEST_F(Pop3Session, Apop) {
    fillBob();
    addUser("amy", "");
    struct Row {
        const char* name;
        bool lowerHex;
    } rows[] = {{"bob", true}, {"BOB", false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Peer p(port);
        std::string ts = greetingTimestamp(p.line());
        std::string digest = MD5HexOfString(ts + "secret");
        if (r.lowerHex) digest = platform::lowerCase(digest);
        EXPECT_EQ(p.cmd(std::string("APOP ") + r.name + " " + digest).substr(0, 6), "+OK 3 ");
        EXPECT_EQ(p.cmd("STAT").substr(0, 6), "+OK 3 ");
        EXPECT_EQ(p.cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
        EXPECT_TRUE(p.waitClosed());
        ASSERT_TRUE(waitSessions(0));
    }
    Peer p(port);
    std::string ts = greetingTimestamp(p.line());
    EXPECT_EQ(p.cmd("APOP bob"), "-ERR Command Incomplete");
    EXPECT_TRUE(hasLogEnding("> Command missing parameters"));
    EXPECT_EQ(p.cmd("APOP"), "-ERR Command Incomplete");
    EXPECT_EQ(p.cmd("APOP nobody 00"), "-ERR Unknown User");
    EXPECT_TRUE(hasLogEnding("> User NOBODY BAD"));
    EXPECT_EQ(p.cmd("APOP ../bob " + MD5HexOfString(ts + "secret")), "-ERR Unknown User");
    EXPECT_EQ(p.cmd("APOP bob " + MD5HexOfString(ts + "wrong")), "-ERR Bad Digest");
    EXPECT_TRUE(hasLogEnding("> User Digest BAD"));
    // A user without a password never logs in with APOP, not even with the
    // digest of the timestamp alone.
    EXPECT_EQ(p.cmd("APOP amy " + MD5HexOfString(ts)), "-ERR Bad Digest");
    si().CreateUserPasswordOnDemand = true;
    EXPECT_EQ(p.cmd("APOP amy " + MD5HexOfString(ts)), "-ERR Bad Digest");
}

TEST_F(Pop3Session, OneSessionPerMailbox) {
    fillBob();
    Peer first(port);
    first.line();
    EXPECT_EQ(first.cmd("USER bob"), "+OK Send Password");  // only USER so far
    Peer second(port);
    std::string ts = greetingTimestamp(second.line());
    EXPECT_EQ(second.cmd("USER Bob"), "+OK Send Password");
    EXPECT_EQ(second.cmd("PASS secret"), "-ERR Cannot Lock Mailbox");
    EXPECT_TRUE(hasLogEnding("> User Password OK, but mailbox locked."));
    EXPECT_EQ(second.cmd("STAT"), "-ERR Unrecognized Command");
    EXPECT_EQ(second.cmd("APOP bob " + MD5HexOfString(ts + "secret")), "-ERR Cannot Lock Mailbox");
    EXPECT_EQ(second.cmd("QUIT"), "+OK Signing Off");
    EXPECT_TRUE(second.waitClosed());
    ASSERT_TRUE(waitSessions(1));
    EXPECT_EQ(first.cmd("PASS secret").substr(0, 6), "+OK 3 ");
    Peer third(port);
    third.line();
    EXPECT_EQ(third.cmd("USER bob"), "+OK Send Password");
    EXPECT_EQ(third.cmd("PASS secret"), "-ERR Cannot Lock Mailbox");
    EXPECT_EQ(first.cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
    EXPECT_TRUE(first.waitClosed());
    ASSERT_TRUE(waitSessions(1));
    EXPECT_EQ(third.cmd("USER bob"), "+OK Send Password");
    EXPECT_EQ(third.cmd("PASS secret").substr(0, 6), "+OK 3 ");
}

TEST_F(Pop3Session, ListDeleteAndReset) {
    fillBob();
    auto p = login("bob", "secret");
    const auto size = [&](int i) { return std::to_string(fs::file_size(files[static_cast<std::size_t>(i)])); };
    const std::int64_t all = fs::file_size(files[0]) + fs::file_size(files[1]) + fs::file_size(files[2]);
    EXPECT_EQ(p->cmd("LIST"), "+OK 3 Messages " + std::to_string(all) + " octets");
    EXPECT_EQ(p->body(), "1 " + size(0) + "\r\n2 " + size(1) + "\r\n3 " + size(2) + "\r\n");
    EXPECT_EQ(p->cmd("LIST 2"), "+OK 2 " + size(1));
    EXPECT_TRUE(hasLogEnding("> Info: 2 " + size(1)));
    EXPECT_EQ(p->cmd("LIST 4"), "-ERR No Such Message");
    EXPECT_TRUE(hasLogEnding("> No such message"));
    EXPECT_EQ(p->cmd("LIST x"), "-ERR No Such Message");
    EXPECT_EQ(p->cmd("DELE"), "-ERR No Message Specified");
    EXPECT_EQ(p->cmd("DELE 0"), "-ERR No Such Message");
    EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
    EXPECT_TRUE(hasLogEnding("> Message 1 Deleted"));
    EXPECT_EQ(p->cmd("DELE 1"), "-ERR Message Already Deleted");
    EXPECT_EQ(p->cmd("LIST 1"), "-ERR Message Deleted");
    EXPECT_EQ(p->cmd("RETR 1"), "-ERR Message Deleted");
    EXPECT_EQ(p->cmd("TOP 1 0"), "-ERR Message Deleted");
    const std::int64_t rest = all - static_cast<std::int64_t>(fs::file_size(files[0]));
    EXPECT_EQ(p->cmd("STAT"), "+OK 2 " + std::to_string(rest));
    EXPECT_EQ(p->cmd("LIST"), "+OK 2 Messages " + std::to_string(rest) + " octets");
    EXPECT_EQ(p->body(), "2 " + size(1) + "\r\n3 " + size(2) + "\r\n");
    EXPECT_EQ(p->cmd("RSET"), "+OK");
    EXPECT_TRUE(hasLogEnding("> Message(s) Un-Deleted"));
    EXPECT_EQ(p->cmd("STAT"), "+OK 3 " + std::to_string(all));
    EXPECT_EQ(p->cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
    EXPECT_EQ(messageFiles("bob").size(), 3u);
}

TEST_F(Pop3Session, RetrSendsTheFileDotStuffed) {
    fillBob();
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("RETR 2"), "+OK " + std::to_string(fs::file_size(files[1])) + " octets");
    EXPECT_EQ(p->body(), "Subject: dots\r\n\r\n..leading dot\r\n..\r\n...two\r\nend\r\n");
    EXPECT_TRUE(hasLogEnding("> Message: " + std::to_string(fs::file_size(files[1])) + " octets"));
    EXPECT_TRUE(hasLog(logs.back().text.substr(0, logs.back().text.find('>') + 2) + "Sent: 0 of 6 lines.", 8));
    EXPECT_TRUE(hasLogEnding("> Sent: Terminator."));
    EXPECT_EQ(p->cmd("RETR 1"), "+OK " + std::to_string(fs::file_size(files[0])) + " octets");
    EXPECT_EQ(p->body(), readFile(files[0]));
    struct Row {
        const char* command;
        const char* reply;
    } rows[] = {
        {"RETR", "-ERR No Message Specified"}, {"RETR 99", "-ERR No Such Message"},
        {"RETR four", "-ERR No Such Message"}, {"RETR -1", "-ERR No Such Message"},
        {"RETR 1 2", "-ERR No Such Message"},  {"RETR 99999999999999", "-ERR No Such Message"},
    };
    for (const auto& r : rows) EXPECT_EQ(p->cmd(r.command), r.reply) << r.command;
    EXPECT_EQ(p->cmd("RETR $3"), "+OK " + std::to_string(fs::file_size(files[2])) + " octets");  // integer text rule
    EXPECT_EQ(p->body(), readFile(files[2]));
}

TEST_F(Pop3Session, RetrKeepsEveryByteOfOddFiles) {
    addUser("bob", "secret");
    const std::string folder = si().MailBoxPath + "bob/";
    // Written past the store, as a hand-made or foreign file might be.
    const std::string binary("NUL\0inside\r\n\xff\xfe high\r\n", 21);
    writeFile(folder + "20250101-000001.txt", binary);
    writeFile(folder + "20250101-000002.txt", "no final line end\r\n.last");
    writeFile(folder + "20250101-000003.txt", "bare\nline\n.ends\rand\r\r\ncr\r\n");
    writeFile(folder + "20250101-000004.txt", "");
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("RETR 1"), "+OK 21 octets");
    EXPECT_EQ(p->body(), binary);
    p->cmd("RETR 2");
    EXPECT_EQ(p->body(), "no final line end\r\n..last\r\n");
    p->cmd("RETR 3");
    // Every kind of line end is a line end (so a "." after a bare LF is
    // stuffed, and no client can take it for the end of the answer).
    EXPECT_EQ(p->body(), "bare\r\nline\r\n..ends\r\nand\r\n\r\ncr\r\n");
    EXPECT_EQ(p->cmd("RETR 4"), "+OK 0 octets");
    EXPECT_EQ(p->body(), "");
    EXPECT_EQ(p->cmd("TOP 4 5"), "+OK");
    EXPECT_EQ(p->body(), "");
}

TEST_F(Pop3Session, Top) {
    addUser("bob", "secret");
    deliver("bob", {"A: 1", ".B: 2", "", "l1", ".l2", "l3"});
    deliver("bob", {"Only: header", "No: body"});
    auto p = login("bob", "secret");
    struct Row {
        const char* command;
        const char* body;
        const char* log;
    } rows[] = {
        {"TOP 1 0", "A: 1\r\n..B: 2\r\n\r\n", "Sent 2 lines"},
        {"TOP 1 2", "A: 1\r\n..B: 2\r\n\r\nl1\r\n..l2\r\n", "Sent 4 lines"},
        {"TOP 1 1000", "A: 1\r\n..B: 2\r\n\r\nl1\r\n..l2\r\nl3\r\n", "Sent 5 lines"},
        {"TOP 1", "A: 1\r\n..B: 2\r\n\r\n", "Sent 1 lines"},
        {"TOP 1 -5", "A: 1\r\n..B: 2\r\n\r\n", "Sent -3 lines"},
        {"TOP 1 many", "A: 1\r\n..B: 2\r\n\r\n", "Sent 1 lines"},
        {"TOP  1   2 ", "A: 1\r\n..B: 2\r\n\r\nl1\r\n..l2\r\n", "Sent 4 lines"},
        {"TOP 2 0", "Only: header\r\nNo: body\r\n", "Sent 1 lines"},
        {"TOP 2 2147483647", "Only: header\r\nNo: body\r\n", "Sent 1 lines"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.command);
        EXPECT_EQ(p->cmd(r.command), "+OK");
        EXPECT_EQ(p->body(), r.body);
        EXPECT_TRUE(hasLogEnding(std::string("> ") + r.log)) << logs.back().text;
    }
    EXPECT_EQ(p->cmd("TOP"), "-ERR No Message Specified");
    EXPECT_EQ(p->cmd("TOP 3 0"), "-ERR No Such Message");
    EXPECT_EQ(p->cmd("TOP x 0"), "-ERR No Such Message");
}

TEST_F(Pop3Session, QuitDeletesExactlyTheMarkedFiles) {
    fillBob();
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
    EXPECT_EQ(p->cmd("DELE 3"), "+OK Message 3 Deleted");
    // Delivered while the listing is held: not in it, and never deleted by it.
    std::string late = deliver("bob", {"Subject: late", "", "body"});
    EXPECT_EQ(p->cmd("STAT").substr(0, 6), "+OK 1 ");
    EXPECT_EQ(p->cmd("QUIT"), "+OK 2 Messages Deleted.  Bye.");
    EXPECT_TRUE(hasLogEnding("> Updated"));
    EXPECT_TRUE(p->waitClosed());
    EXPECT_EQ(messageFiles("bob"), (std::vector<std::string>{files[1], late}));
    EXPECT_TRUE(fs::exists(si().MailBoxPath + "bob/bob.ini"));
    EXPECT_TRUE(fs::is_directory(si().MailBoxPath + "bob/BAK"));
}

TEST_F(Pop3Session, EndingWithoutQuitDeletesNothing) {
    fillBob();
    {
        auto p = login("bob", "secret");
        EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
        EXPECT_EQ(p->cmd("DELE 2"), "+OK Message 2 Deleted");
    }  // hangs up
    ASSERT_TRUE(waitSessions(0));
    EXPECT_EQ(messageFiles("bob"), files);
    {
        auto p = login("bob", "secret");
        EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
        p->raw().reset();
    }
    ASSERT_TRUE(waitSessions(0));
    EXPECT_EQ(messageFiles("bob"), files);
}

TEST_F(Pop3Session, UidlInEveryState) {
    fillBob();
    Peer p(port);
    p.line();
    EXPECT_EQ(p.cmd("UIDL"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("USER bob"), "+OK Send Password");
    EXPECT_EQ(p.cmd("UIDL 1"), "-ERR Unrecognized Command");
    EXPECT_EQ(p.cmd("PASS secret").substr(0, 4), "+OK ");
    EXPECT_EQ(p.cmd("UIDL"), "-ERR Command Not Supported");
    EXPECT_EQ(p.cmd("uidl 1"), "-ERR Command Not Supported");
    EXPECT_TRUE(hasLogEnding("> Command Not Supported"));
    EXPECT_EQ(p.cmd("CAPA"), "-ERR Unrecognized Command");
}

TEST_F(Pop3Session, LinesAcrossAndWithinPackets) {
    fillBob();
    Peer p(port);
    p.line();
    p.send("USER bob\r\nPASS secret\r\nNOOP\r\n");
    EXPECT_EQ(p.line(), "+OK Send Password");
    EXPECT_EQ(p.line().substr(0, 6), "+OK 3 ");
    EXPECT_EQ(p.line(), "+OK");
    p.send("ST");
    EXPECT_TRUE(p.quiet());
    p.send("AT\r");
    EXPECT_TRUE(p.quiet());
    p.send("\nNO\nOP\r\n");  // a lone LF does not end a line
    EXPECT_EQ(p.line().substr(0, 6), "+OK 3 ");
    EXPECT_EQ(p.line(), "-ERR Unrecognized Command");
    p.send("\r\n\r\n");  // empty lines: no reply, no log line
    const std::size_t logCount = logs.size();
    EXPECT_TRUE(p.quiet());
    EXPECT_EQ(logs.size(), logCount);
    // Commands after QUIT in the same packet get nothing.
    p.send("QUIT\r\nSTAT\r\n");
    EXPECT_EQ(p.line(), "+OK 0 Messages Deleted.  Bye.");
    EXPECT_TRUE(p.waitClosed());
    EXPECT_EQ(p.line(), "<closed>");
}

TEST_F(Pop3Session, BadInputLeavesOtherClientsServed) {
    fillBob();
    addUser("amy", "pw");
    deliver("amy", {"Subject: for amy", "", "hello"});
    auto good = login("amy", "pw");

    Peer flood(port);
    flood.line();
    const std::string chunk(64 * 1024, 'A');
    bool closed = false;
    for (int i = 0; i < 32 && !closed; ++i) {  // 2 MB without CR LF
        closed = !flood.raw().sendAll(chunk, 2000) || flood.raw().closed();
        flood.raw().readNow();
        closed = closed || flood.raw().closed();
    }
    EXPECT_EQ(flood.line(), "-ERR Line Too Long");
    EXPECT_TRUE(flood.waitClosed());
    EXPECT_TRUE(hasLogEnding("> Line Too Long, Closing Connection"));

    Peer nul(port);
    nul.line();
    EXPECT_EQ(nul.cmd(std::string("US\0ER bob", 9)), "-ERR Unrecognized Command");
    EXPECT_EQ(nul.cmd(std::string("USER b\0b", 8)), "-ERR Unknown User");
    EXPECT_EQ(nul.cmd("USER bob\nX"), "-ERR Unknown User");
    // Control bytes at the ends of an argument are trimmed like blanks.
    EXPECT_EQ(nul.cmd(std::string("USER bob\0", 9)), "+OK Send Password");
    EXPECT_EQ(nul.cmd(std::string("PASS \0secret", 12)).substr(0, 6), "+OK 3 ");
    for (const auto& l : logs) EXPECT_EQ(l.text.find_first_of(std::string("\0\n\r", 3)), std::string::npos);

    EXPECT_EQ(good->cmd("STAT").substr(0, 6), "+OK 1 ");
    EXPECT_EQ(good->cmd("RETR 1").substr(0, 4), "+OK ");
    EXPECT_EQ(good->body(), "Subject: for amy\r\n\r\nhello\r\n");
    EXPECT_EQ(good->cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
    EXPECT_EQ(messageFiles("bob"), files);
}

TEST_F(Pop3Session, ClientGoneInTheMiddleOfRetr) {
    addUser("bob", "secret");
    std::vector<std::string> big{"Subject: big", ""};
    for (int i = 0; i < 200000; ++i) big.push_back("line " + std::to_string(i) + " of a big message body");
    std::string bigFile = deliver("bob", big);
    deliver("bob", {"Subject: small", "", "x"});
    {
        auto p = login("bob", "secret");
        EXPECT_EQ(p->cmd("DELE 2"), "+OK Message 2 Deleted");
        p->send("RETR 1\r\n");
        ASSERT_TRUE(p->raw().readUntilBytes(p->raw().received().size() + 100000));
        p->raw().reset();
    }
    ASSERT_TRUE(waitSessions(0, 10000));
    EXPECT_EQ(messageFiles("bob").size(), 2u);
    auto q = login("bob", "secret");
    EXPECT_EQ(q->cmd("RETR 1").substr(0, 4), "+OK ");
    std::string expected;
    const std::string stored = readFile(bigFile);
    for (auto line : SplitMessageLines(stored)) AppendDotStuffed(expected, line);
    const std::string got = q->body(30000);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// RETR, DELE and QUIT of a 10 MB message in one write: the whole message, its
// terminator and both replies arrive before the close, and the file is gone.
// While the client reads nothing, the server makes no more of the answer than
// a piece beyond what the socket took, and answers no command behind it.
TEST_F(Pop3Session, PipelinedRetrDeleQuitOfABigMessage) {
    addUser("bob", "secret");
    std::vector<std::string> big{"Subject: big", ""};
    for (std::size_t size = 0; size < 10u * 1024 * 1024; size += 100)
        big.push_back((size % 7000 == 0 ? "." : "x") + std::string(97, static_cast<char>('a' + size % 26)));
    const std::string file = deliver("bob", big);
    const std::string stuffed = asSent(file);
    auto p = login("bob", "secret");
    ASSERT_EQ(server->ConnectionCount(), 1u);
    TWSocket& socket = server->Connections()[0]->Socket();
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    ASSERT_EQ(::getsockopt(platform::net::descriptorOf(socket.HSocket()), IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
    EXPECT_NE(noDelay, 0) << "replies leave without waiting for Nagle's rule";

    p->send("RETR 1\r\nDELE 1\r\nQUIT\r\n");
    ASSERT_TRUE(testsupport::stepUntil([&] { return hasLogEnding(" octets"); }));
    settle();
    EXPECT_FALSE(hasLogEnding("> Sent: Terminator.")) << "the answer is made as it leaves";
    EXPECT_FALSE(hasLogEnding("> Message 1 Deleted")) << "DELE waits until the message has been made";
    EXPECT_GT(socket.SendQueueBytes(), 0);
    EXPECT_LE(socket.SendQueueBytes(), static_cast<int>(2 * Pop3MessagePiece));

    EXPECT_EQ(p->line(), "+OK " + std::to_string(fs::file_size(file)) + " octets");
    const std::string body = p->body(60000);
    EXPECT_EQ(body.size(), stuffed.size());
    EXPECT_TRUE(body == stuffed);
    EXPECT_EQ(p->line(), "+OK Message 1 Deleted");
    EXPECT_EQ(p->line(), "+OK 1 Messages Deleted.  Bye.");
    EXPECT_TRUE(p->waitClosed());
    EXPECT_TRUE(messageFiles("bob").empty());
}

// A client that ends its side right after RETR still gets the whole message
// of several pieces: the session stays until its answer has been made and
// has gone out, then ends.
TEST_F(Pop3Session, ClientThatEndsItsSideGetsTheWholeAnswer) {
    addUser("bob", "secret");
    std::vector<std::string> lines{"Subject: half", ""};
    for (int i = 0; i < 12000; ++i) lines.push_back(std::string(98, static_cast<char>('a' + i % 26)));
    const std::string file = deliver("bob", lines);
    const std::string stuffed = asSent(file);
    auto p = login("bob", "secret");
    ASSERT_EQ(server->ConnectionCount(), 1u);
    TWSocket& socket = server->Connections()[0]->Socket();
    const int small = 4096;
    ASSERT_EQ(::setsockopt(platform::net::descriptorOf(socket.HSocket()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);

    p->send("RETR 1\r\n");
    ASSERT_EQ(::shutdown(p->raw().fd(), SHUT_WR), 0);
    ASSERT_TRUE(testsupport::stepUntil([&] { return hasLogEnding(" octets"); }));
    settle();
    ASSERT_EQ(server->ConnectionCount(), 1u) << "the session waits for its answer to leave";
    EXPECT_GT(socket.SendQueueBytes(), 0);

    EXPECT_EQ(p->line(), "+OK " + std::to_string(fs::file_size(file)) + " octets");
    const std::string body = p->body(60000);
    EXPECT_EQ(body.size(), stuffed.size());
    EXPECT_TRUE(body == stuffed);
    EXPECT_TRUE(p->waitClosed());
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(fs::exists(file)) << "nothing is deleted without QUIT";
}

// The file of a message is removed or cut by hand while its answer is being
// made: a removed file is still sent whole; a file that ends before its
// listed size ends the connection without the terminator, so the client
// never takes the cut copy for the message (and keeps the original).
TEST_F(Pop3Session, MessageFileChangedWhileSent) {
    struct Row {
        const char* change;
        bool whole;  // the removed file is still read to its end
    } rows[] = {{"unlink", true}, {"truncate", false}};
    addUser("bob", "secret");
    std::vector<std::string> lines{"Subject: changing", ""};
    for (int i = 0; i < 15000; ++i) lines.push_back((i % 9 ? "" : ".") + std::string(i % 150, 'a' + i % 26));
    for (const auto& r : rows) {
        SCOPED_TRACE(r.change);
        const std::string file = deliver("bob", lines);
        const std::string stuffed = asSent(file);
        logs.clear();
        auto p = login("bob", "secret");
        ASSERT_EQ(server->ConnectionCount(), 1u);
        const int small = 4096;
        ASSERT_EQ(::setsockopt(platform::net::descriptorOf(server->Connections()[0]->Socket().HSocket()), SOL_SOCKET,
                               SO_SNDBUF, &small, sizeof small),
                  0);
        p->send("RETR 1\r\n");
        ASSERT_TRUE(testsupport::stepUntil([&] { return hasLogEnding(" octets"); }));
        settle();
        ASSERT_TRUE(server->Connections()[0]->Socket().SendQueueBytes() > 0) << "the answer has begun";
        ASSERT_FALSE(hasLogEnding("> Sent: Terminator.")) << "the change must come while the answer is made";
        if (r.whole)
            ASSERT_TRUE(fs::remove(file));
        else
            fs::resize_file(file, 1000);

        EXPECT_EQ(p->line().substr(0, 4), "+OK ");
        const std::string body = p->body(60000);
        if (!r.whole) {
            EXPECT_EQ(body, "<incomplete>");
            EXPECT_TRUE(p->waitClosed());
            EXPECT_TRUE(hasLogEnding("> Message File Cut Short, Closing Connection"));
            ASSERT_TRUE(waitSessions(0));
            EXPECT_EQ(messageFiles("bob").size(), 1u);
            continue;
        }
        EXPECT_TRUE(body == stuffed);
        EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
        EXPECT_EQ(p->cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
        EXPECT_TRUE(p->waitClosed());
        ASSERT_TRUE(waitSessions(0));
        EXPECT_TRUE(messageFiles("bob").empty());
    }
}

TEST_F(Pop3Session, UnreadableMessageFileEndsTheConnection) {
    fillBob();
    const std::string size2 = std::to_string(fs::file_size(files[1]));
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
    // Gone after the listing was taken: the answer cannot be completed, and a
    // "." would pass a cut message off as whole. The connection ends, so the
    // client neither waits nor deletes, and the session's marks are dropped.
    ASSERT_TRUE(fs::remove(files[1]));
    EXPECT_EQ(p->cmd("RETR 2"), "+OK " + size2 + " octets");
    EXPECT_TRUE(p->waitClosed());
    EXPECT_EQ(p->line(), "<closed>");
    EXPECT_TRUE(hasLogEnding("> Message File Unreadable, Closing Connection"));
    ASSERT_TRUE(waitSessions(0));
    EXPECT_EQ(messageFiles("bob"), (std::vector<std::string>{files[0], files[2]}));

    auto q = login("bob", "secret");
    ASSERT_TRUE(fs::remove(files[2]));
    ASSERT_TRUE(fs::create_directory(files[2]));  // not a file any more
    EXPECT_EQ(q->cmd("TOP 2 0"), "+OK");
    EXPECT_TRUE(q->waitClosed());
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(fs::exists(files[0]));
}

TEST(Pop3Text, SplitMessageLines) {
    struct Row {
        std::string text;
        std::vector<std::string> lines;
    } rows[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"\r\n\r\n", {"", ""}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {std::string("a\0b\r\n", 5), {std::string("a\0b", 3)}},
    };
    for (const auto& r : rows) {
        auto got = SplitMessageLines(r.text);
        std::vector<std::string> lines(got.begin(), got.end());
        EXPECT_EQ(lines, r.lines) << testing::PrintToString(r.text);
    }
}

// The answer made piece by piece, cut anywhere (empty pieces too), is the one
// the whole file gives: line ends of every kind split across a cut, a dot
// first in a piece, a last line without line end, and where TOP stops.
TEST(Pop3Text, MessageTextInAnyCut) {
    const std::string texts[] = {
        "", ".", "a\r\n.b\r\n\r\nbody\r\n..\r\nlast", "x\r\r\n\n.\r.y\n\r\n",
        std::string("h\0\r\n\r\n.\r\nz", 10), "no empty line\r\n.dot\r", "\r\n\r\n.a\r\nb\n",
    };
    for (const auto& text : texts) {
        const auto lines = SplitMessageLines(text);
        const std::int64_t last = static_cast<std::int64_t>(lines.size()) - 1;
        std::int64_t headerEnd = last;
        for (std::int64_t i = 0; i <= last; ++i)
            if (lines[static_cast<std::size_t>(i)].empty()) {
                headerEnd = i;
                break;
            }
        for (std::size_t a = 0; a <= text.size(); ++a)
            for (std::size_t b = a; b <= text.size(); ++b) {
                SCOPED_TRACE(testing::PrintToString(text) + " cut at " + std::to_string(a) + ", " + std::to_string(b));
                const std::string_view pieces[] = {std::string_view(text).substr(0, a),
                                                   std::string_view(text).substr(a, b - a),
                                                   std::string_view(text).substr(b)};
                for (const std::int64_t count : {-1, 0, 1, 2, 100, -2}) {
                    // -2 stands for RETR.
                    TRetrText made = count == -2 ? TRetrText() : TRetrText::Top(count);
                    std::string got;
                    if (made.Add(pieces[0], got) && made.Add(pieces[1], got) && made.Add(pieces[2], got)) made.End(got);
                    const std::int64_t end = count == -2 ? last : std::min(headerEnd + count, last);
                    std::string expected;
                    for (std::int64_t i = 0; i <= std::max(std::min(headerEnd, last), end); ++i)
                        AppendDotStuffed(expected, lines[static_cast<std::size_t>(i)]);
                    EXPECT_EQ(got, expected) << count;
                    if (count == -2) EXPECT_EQ(made.Lines(), last + 1);
                    else EXPECT_EQ(made.TopLast(), end) << count;
                }
            }
    }
}

TEST(Pop3Text, DotStuffingAndDateText) {
    std::string out;
    for (const char* l : {"", ".", "..", ".a", "a.", " ."}) AppendDotStuffed(out, l);
    EXPECT_EQ(out, "\r\n..\r\n...\r\n..a\r\na.\r\n .\r\n");
    EXPECT_EQ(FloatToText(46000.5), "46000.5");
    EXPECT_EQ(FloatToText(46000), "46000");
    EXPECT_EQ(FloatToText(45356.43090277778), "45356.4309027778");  // 15 significant digits
}

}  // namespace
