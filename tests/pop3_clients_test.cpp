// Real POP3 clients against the server on loopback: Python's poplib through
// every command, mpop and fetchmail emptying a mailbox into local files, and
// a message sent with smtplib to the SMTP server and fetched back by poplib.
#include <filesystem>
#include <fstream>

#include "engine/MD5.h"
#include "engine/SmtpServer.h"
#include "support/Pop3Fixture.h"

namespace fs = std::filesystem;
using testsupport::Child;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Runs one poplib session; each retrieved or topped message is written to
// out/<tag>.eml exactly as poplib gives it back (lines joined with CR LF).
const char* kPoplibScript = R"PY(
import poplib, sys, os
port, user, password, out, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
def save(tag, lines):
    with open(os.path.join(out, tag + ".eml"), "wb") as f:
        f.write(b"".join(l + b"\r\n" for l in lines))
p = poplib.POP3("127.0.0.1", port, timeout=20)
print("welcome", p.getwelcome().decode("latin-1"))
if mode == "apop":
    print("apop", p.apop(user, password).decode())
else:
    print("user", p.user(user).decode())
    print("pass", p.pass_(password).decode())
count, size = p.stat()
print("stat", count, size)
resp, listing, octets = p.list()
print("list", resp.decode(), [l.decode() for l in listing])
print("list1", p.list(1).decode())
print("noop", p.noop().decode())
for i in range(1, count + 1):
    resp, lines, octets = p.retr(i)
    print("retr", i, resp.decode(), octets)
    save("retr%d" % i, lines)
    resp, lines, octets = p.top(i, 0)
    save("top%d" % i, lines)
try:
    p.uidl()
except poplib.error_proto as e:
    print("uidl", e.args[0].decode())
print("dele", p.dele(1).decode())
try:
    p.retr(1)
except poplib.error_proto as e:
    print("retr-deleted", e.args[0].decode())
print("rset", p.rset().decode())
print("stat-after-rset", p.stat())
print("dele", p.dele(1).decode())
print("quit", p.quit().decode())
)PY";

class Pop3Clients : public pop3test::Pop3Fixture {
protected:
    std::string script(const std::string& name, const std::string& text) {
        std::string path = tmp.path() + name;
        writeFile(path, text);
        return path;
    }
    testsupport::TempDir tmp;
};

TEST_F(Pop3Clients, PoplibThroughEveryCommand) {
    addUser("bob", "secret");
    const std::vector<std::string> files{
        deliver("bob", {"From: a@example.test", "Subject: plain", "", "Hello", "world"}),
        deliver("bob", {"Subject: dots", "", ".starts with a dot", ".", "..", "after the dots"}),
        deliver("bob", {"Subject: empty body", ""}),
    };
    const std::string py = script("pop.py", kPoplibScript);
    for (const char* mode : {"user", "apop"}) {
        SCOPED_TRACE(mode);
        const std::string out = tmp.path() + mode + "/";
        fs::create_directory(out);
        std::int64_t total = 0;
        std::vector<std::string> stored;
        for (const auto& f : messageFiles("bob")) {  // in listing order
            total += static_cast<std::int64_t>(fs::file_size(f));
            stored.push_back(readFile(f));
        }
        ASSERT_EQ(stored.size(), 3u);
        const std::string firstListed = messageFiles("bob")[0];
        Child c({testsupport::python(), py, std::to_string(port), "bob", "secret", out, mode});
        ASSERT_TRUE(c.wait(60000));
        const std::string& o = c.output();
        ASSERT_EQ(c.exitCode(), 0) << o;
        EXPECT_NE(o.find(std::string(mode) == std::string("apop") ? "apop +OK 3 " : "pass +OK 3 "), std::string::npos)
            << o;
        EXPECT_NE(o.find("stat 3 " + std::to_string(total)), std::string::npos) << o;
        EXPECT_NE(o.find("list +OK 3 Messages " + std::to_string(total) + " octets"), std::string::npos) << o;
        EXPECT_NE(o.find("uidl -ERR Command Not Supported"), std::string::npos) << o;
        EXPECT_NE(o.find("retr-deleted -ERR Message Deleted"), std::string::npos) << o;
        EXPECT_NE(o.find("rset +OK"), std::string::npos) << o;
        EXPECT_NE(o.find("quit +OK 1 Messages Deleted.  Bye."), std::string::npos) << o;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            EXPECT_EQ(readFile(out + "retr" + std::to_string(i + 1) + ".eml"), stored[i]) << i;
            EXPECT_EQ(readFile(out + "top" + std::to_string(i + 1) + ".eml"),
                      stored[i].substr(0, stored[i].find("\r\n\r\n") + 4))
                << i;
        }
        // The first listed message went with QUIT; the others stay.
        EXPECT_FALSE(fs::exists(firstListed));
        EXPECT_EQ(messageFiles("bob").size(), 2u);
        deliver("bob", {"Subject: next round", "", "more"});
        ASSERT_TRUE(waitSessions(0));
    }
}

// A message of several pieces, with lines of every length cut at the pieces'
// edges, dotted lines and bare CR and LF, comes whole to poplib through RETR,
// and TOP of it stops at the asked line far into the file.
TEST_F(Pop3Clients, PoplibFetchesABigMessageWhole) {
    addUser("bob", "secret");
    std::string stored = "Subject: big\r\nX: y\r\n\r\n";
    for (int i = 0; stored.size() < 10 * Pop3MessagePiece; ++i) {
        stored += (i % 11 ? "" : ".") +
                  std::string(static_cast<std::size_t>(i * 37 % 990), static_cast<char>('a' + i % 26));
        stored += i % 13 == 0 ? "\n" : i % 17 == 0 ? "\r" : "\r\n";
    }
    stored += ".last line without line end";
    writeFile(si().MailBoxPath + "bob/20250101-000000.txt", stored);
    const auto lines = SplitMessageLines(stored);
    const std::size_t topLines = 400;  // some pieces into the file
    std::string whole, top;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        (whole += lines[i]) += "\r\n";
        if (i < 3 + topLines) (top += lines[i]) += "\r\n";
    }
    ASSERT_GT(top.size(), 2 * Pop3MessagePiece);
    ASSERT_LT(top.size() + Pop3MessagePiece, whole.size());
    const std::string py = script("big.py", R"PY(
import poplib, sys, os
port, out, k = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
def save(name, lines):
    open(os.path.join(out, name), "wb").write(b"".join(l + b"\r\n" for l in lines))
p = poplib.POP3("127.0.0.1", port, timeout=20)
p.user("bob"); p.pass_("secret")
resp, lines, octets = p.retr(1)
print("retr", resp.decode())
save("retr.eml", lines)
resp, lines, octets = p.top(1, k)
save("top.eml", lines)
print(p.quit().decode())
)PY");
    Child c({testsupport::python(), py, std::to_string(port), tmp.path(), std::to_string(topLines)});
    ASSERT_TRUE(c.wait(60000));
    ASSERT_EQ(c.exitCode(), 0) << c.output();
    EXPECT_NE(c.output().find("retr +OK " + std::to_string(stored.size()) + " octets"), std::string::npos)
        << c.output();
    EXPECT_TRUE(readFile(tmp.path() + "retr.eml") == whole);
    EXPECT_TRUE(readFile(tmp.path() + "top.eml") == top);
    EXPECT_TRUE(hasLogEnding("> Sent " + std::to_string(2 + topLines) + " lines"));
}

TEST_F(Pop3Clients, MpopEmptiesTheMailboxIntoAMaildir) {
    if (!fs::exists("/usr/bin/mpop")) GTEST_SKIP() << "mpop not installed";
    addUser("bob", "secret");
    std::vector<std::string> bodies;
    for (int i = 0; i < 5; ++i) {
        std::vector<std::string> lines{"From: sender@example.test", "Subject: message " + std::to_string(i), "",
                                       "body of message " + std::to_string(i), ".a dotted line", "."};
        deliver("bob", lines);
        bodies.push_back("body of message " + std::to_string(i));
    }
    const std::string maildir = tmp.path() + "Maildir/";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir + sub);
    const std::string rc = tmp.path() + "mpoprc";
    writeFile(rc, "account default\nhost 127.0.0.1\nport " + std::to_string(port) +
                      "\ntls off\nauth user\nuser bob\npassword secret\ndelivery maildir " + maildir +
                      "\nkeep off\nonly_new off\nuidls_file " + tmp.path() + "uidls\n");
    fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write);
    Child c({"/usr/bin/mpop", "-C", rc, "--quiet"});
    ASSERT_TRUE(c.wait(60000));
    EXPECT_EQ(c.exitCode(), 0) << c.output();
    std::vector<std::string> got;
    for (const auto& e : fs::directory_iterator(maildir + "new")) got.push_back(readFile(e.path().string()));
    ASSERT_EQ(got.size(), 5u) << c.output();
    for (const auto& b : bodies) {
        bool found = false;
        for (const auto& g : got) found = found || g.find(b) != std::string::npos;
        EXPECT_TRUE(found) << b;
    }
    for (const auto& g : got) {
        EXPECT_NE(g.find("\n.a dotted line"), std::string::npos) << g;  // unstuffed again
        EXPECT_NE(g.find("\n.\n"), std::string::npos) << g;
    }
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(messageFiles("bob").empty());
}

TEST_F(Pop3Clients, FetchmailEmptiesTheMailboxIntoAnMbox) {
    if (!fs::exists("/usr/bin/fetchmail")) GTEST_SKIP() << "fetchmail not installed";
    addUser("bob", "secret");
    for (int i = 0; i < 4; ++i)
        deliver("bob", {"From: sender@example.test", "To: bob@example.test", "Subject: fetch " + std::to_string(i),
                        "Message-ID: <m" + std::to_string(i) + "@example.test>", "", "fetched body " + std::to_string(i),
                        "..double", "."});
    const std::string mbox = tmp.path() + "mbox";
    const std::string rc = tmp.path() + "fetchmailrc";
    writeFile(rc, "poll 127.0.0.1 protocol pop3 port " + std::to_string(port) +
                      " user bob password secret is bob here mda \"/bin/sh -c 'cat >> " + mbox +
                      "'\" no keep fetchall sslproto ''\n");
    fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write);
    // fetchmail keeps its id and lock files in HOME.
    Child c({"/usr/bin/env", "HOME=" + tmp.path(), "FETCHMAILHOME=" + tmp.path(), "/usr/bin/fetchmail", "-f", rc,
             "--nodetach", "--nosyslog", "--auth", "password", "--timeout", "20"});
    ASSERT_TRUE(c.wait(90000));
    EXPECT_EQ(c.exitCode(), 0) << c.output();
    const std::string got = readFile(mbox);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(got.find("Subject: fetch " + std::to_string(i)), std::string::npos) << got;
        EXPECT_NE(got.find("fetched body " + std::to_string(i) + "\n..double\n.\n"), std::string::npos) << got;
    }
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(messageFiles("bob").empty());
}

TEST_F(Pop3Clients, SentWithSmtplibFetchedWithPoplib) {
    addUser("bob", "secret");
    addUser("alice", "alicepw");
    si().LocalDomains = {"example.test"};
    const int smtpPort = testsupport::freePort();
    si().SmtpBindAddress = "127.0.0.1";
    si().SmtpListenPort = smtpPort;
    TSmtpServer smtp;
    std::vector<std::string> smtpLogs;
    smtp.OnLog = [&](void*, const std::string& text, int) { smtpLogs.push_back(text); };
    smtp.Start();
    ASSERT_TRUE(smtp.IsListening());

    const std::string message =
        "From: alice@example.test\r\nTo: bob@example.test\r\nSubject: round trip\r\n\r\n"
        "first line\r\n.a line with a dot\r\n.\r\n\r\n\xc3\xa9 8-bit text\r\nlast line\r\n";
    writeFile(tmp.path() + "message.eml", message);
    const std::string send = script("send.py", R"PY(
import smtplib, sys
port, path = int(sys.argv[1]), sys.argv[2]
data = open(path, "rb").read()
s = smtplib.SMTP("127.0.0.1", port, timeout=20)
s.ehlo("client.example.test")
s.login("alice", "alicepw", initial_response_ok=False)
s.sendmail("alice@example.test", ["bob@example.test"], data)
s.quit()
)PY");
    Child sender({testsupport::python(), send, std::to_string(smtpPort), tmp.path() + "message.eml"});
    ASSERT_TRUE(sender.wait(60000));
    ASSERT_EQ(sender.exitCode(), 0) << sender.output();

    const std::string fetch = script("fetch.py", R"PY(
import poplib, sys
port, out = int(sys.argv[1]), sys.argv[2]
p = poplib.POP3("127.0.0.1", port, timeout=20)
p.user("bob"); p.pass_("secret")
resp, lines, octets = p.retr(1)
open(out, "wb").write(b"".join(l + b"\r\n" for l in lines))
p.dele(1)
print(p.quit().decode())
)PY");
    Child fetcher({testsupport::python(), fetch, std::to_string(port), tmp.path() + "fetched.eml"});
    ASSERT_TRUE(fetcher.wait(60000));
    ASSERT_EQ(fetcher.exitCode(), 0) << fetcher.output();
    EXPECT_NE(fetcher.output().find("+OK 1 Messages Deleted.  Bye."), std::string::npos);
    const std::string fetched = readFile(tmp.path() + "fetched.eml");
    // The server adds its own lines on top; the rest is the message as sent.
    ASSERT_GE(fetched.size(), message.size());
    EXPECT_EQ(fetched.substr(fetched.size() - message.size()), message);
    EXPECT_EQ(fetched.rfind("Return-Path: <alice@example.test>\r\n", 0), 0u) << fetched;
    EXPECT_NE(fetched.find("Received: "), std::string::npos);
    EXPECT_TRUE(messageFiles("bob").empty());
    smtp.Shutdown();
}

// A lone CR or LF is a line end on the way out: it is stored as one, so that
// the size LIST gives is what RETR sends (before dot-stuffing).
TEST_F(Pop3Clients, ListedSizeIsWhatRetrSends) {
    addUser("bob", "secret");
    addUser("alice", "alicepw");
    si().LocalDomains = {"example.test"};
    si().SmtpBindAddress = "127.0.0.1";
    si().SmtpListenPort = testsupport::freePort();
    TSmtpServer smtp;
    smtp.Start();
    ASSERT_TRUE(smtp.IsListening());
    const std::string run = script("run.py", R"PY(
import poplib, smtplib, sys
smtp_port, pop_port = int(sys.argv[1]), int(sys.argv[2])
plain = b"Subject: plain\r\n\r\nbody\r\n"
# a lone LF and CR, a "." made by a split, dots only unstuffed at a line start
odd = b"Subject: odd\r\n\r\na\nb\rc\r\nx\n.\r\n..y\n..z\r\n\r\r\n"
s = smtplib.SMTP("127.0.0.1", smtp_port, timeout=20)
s.login("alice", "alicepw", initial_response_ok=False)
s.sendmail("alice@example.test", ["bob@example.test"], plain)
s.mail("alice@example.test"); s.rcpt("bob@example.test"); s.docmd("DATA")
s.send(odd + b".\r\n")  # as it is: smtplib would stuff a dot after a lone LF
print("odd", s.getreply())
s.quit()
p = poplib.POP3("127.0.0.1", pop_port, timeout=20)
p.user("bob"); p.pass_("secret")
count, total = p.stat()
sizes = [int(l.split()[1]) for l in p.list()[1]]
sent = []
for i in (1, 2):
    resp, lines, octets = p.retr(i)
    sent.append(octets)
    print("text", i, repr(b"\r\n".join(lines[lines.index(b"") + 1:]) + b"\r\n"))
print("listed", sizes, total, "sent", sent)
p.quit()
)PY");
    Child c({testsupport::python(), run, std::to_string(si().SmtpListenPort), std::to_string(port)});
    ASSERT_TRUE(c.wait(60000));
    ASSERT_EQ(c.exitCode(), 0) << c.output();
    const std::string out = c.output();
    const auto at = out.find("listed [");
    ASSERT_NE(at, std::string::npos) << out;
    int l1 = 0, l2 = 0, total = 0, s1 = 0, s2 = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "listed [%d, %d] %d sent [%d, %d]", &l1, &l2, &total, &s1, &s2), 5) << out;
    EXPECT_EQ(l1, s1);
    EXPECT_EQ(l2, s2);
    EXPECT_EQ(total, s1 + s2);
    EXPECT_NE(out.find(R"(text 2 b'a\r\nb\r\nc\r\nx\r\n.\r\n.y\r\n..z\r\n\r\n\r\n')"), std::string::npos) << out;
    smtp.Shutdown();
}

}  // namespace
