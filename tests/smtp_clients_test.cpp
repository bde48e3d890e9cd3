// Real SMTP clients against the in-process server on loopback: Python's
// smtplib, swaks and msmtp, each authenticating with AUTH LOGIN and sending
// to local users, an alias, a mailing list and remote addresses.

#include "support/SmtpTestFixture.h"

namespace {

using testsupport::Child;

class SmtpClients : public smtptest::SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        addUser("carol", "pw", "Carol");
        si().AddAlias("sales", "bob");
        TMailListInformation team;
        team.AddMember(true, false, "carol@local.test");
        ASSERT_TRUE(team.SaveToFile("team", true));
        startServer();
    }

    std::string script(const std::string& name, const std::string& text) {
        const std::string path = home.path() + name;
        testsupport::writeFile(path, text);
        return path;
    }

    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(SmtpClients, SmtplibSendsToUsersAliasListAndRemote) {
    const std::string py = script("send.py", R"PY(
import smtplib, sys
s = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=30)
code, _ = s.ehlo("client.test")
assert code == 250 and s.has_extn("auth"), s.esmtp_features
s.login("alice", "secret", initial_response_ok=False)
msg = ("From: alice@local.test\r\nTo: many\r\nSubject: hello all\r\n\r\n"
       ".leading dot\r\nsecond line\r\n")
refused = s.sendmail("alice@local.test",
                     ["bob@local.test", "sales@local.test", "team@local.test",
                      "remote@far.example", "other@far.example"], msg)
assert refused == {}, refused
try:
    s.sendmail("alice@local.test", ["nobody@local.test"], msg)
    print("unknown recipient accepted")
except smtplib.SMTPRecipientsRefused as e:
    print("refused", e.recipients["nobody@local.test"][0])
code, text = s.docmd("QUIT")
print("quit", code, text.decode())
s.close()
)PY");
    Child c({testsupport::python(), py, std::to_string(port())});
    ASSERT_TRUE(c.wait()) << c.output();
    ASSERT_EQ(c.exitCode(), 0) << c.output();
    EXPECT_TRUE(contains(c.output(), "refused 550")) << c.output();
    EXPECT_TRUE(contains(c.output(), "quit 221 OK, Closed")) << c.output();

    // bob is named twice (directly and through the alias): two files.
    auto bob = messageFiles("bob");
    ASSERT_EQ(bob.size(), 2u);
    for (const auto& f : bob) {
        const std::string text = testsupport::readFile(f);
        const std::string head = "Return-Path: <alice@local.test>\r\nReceived: FROM local.test BY mail.test ; ";
        EXPECT_EQ(text.substr(0, head.size()), head);
        EXPECT_TRUE(contains(text, "\r\nSubject: hello all\r\n\r\n.leading dot\r\nsecond line\r\n")) << text;
    }
    // The list's member got the list's copy.
    auto carol = messageFiles("carol");
    ASSERT_EQ(carol.size(), 1u);
    EXPECT_TRUE(contains(testsupport::readFile(carol[0]), "Subject: hello all"));

    // Both remote recipients share one queue file, in their order.
    auto queued = queueFiles();
    ASSERT_EQ(queued.size(), 1u);
    const std::string q = testsupport::readFile(queued[0]);
    EXPECT_TRUE(contains(q, "[Reverse Path]\r\nFrom=<alice@local.test>\r\n")) << q;
    EXPECT_TRUE(contains(q, "To=<remote@far.example>\r\nTo=<other@far.example>\r\n")) << q;
    EXPECT_TRUE(contains(q, "[Message]\r\nReceived: FROM local.test BY mail.test ; ")) << q;
    EXPECT_TRUE(waitSessions(0));
}

TEST_F(SmtpClients, SmtplibWithWrongPasswordIsRefused) {
    const std::string py = script("bad.py", R"PY(
import smtplib, sys
s = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=30)
s.ehlo("client.test")
try:
    s.login("alice", "wrong", initial_response_ok=False)
    print("logged in")
except smtplib.SMTPAuthenticationError as e:
    print("auth", e.smtp_code, e.smtp_error.decode())
try:
    s.noop()
    print("still open")
except (smtplib.SMTPServerDisconnected, OSError):
    print("closed")
)PY");
    Child c({testsupport::python(), py, std::to_string(port())});
    ASSERT_TRUE(c.wait()) << c.output();
    EXPECT_TRUE(contains(c.output(), "auth 535 SMTP Authentication fail.")) << c.output();
    EXPECT_TRUE(contains(c.output(), "closed")) << c.output();
}

TEST_F(SmtpClients, SwaksSendsThroughAuthLogin) {
    Child c({"swaks", "--server", "127.0.0.1", "--port", std::to_string(port()), "--ehlo", "swaks.test", "--auth",
             "LOGIN", "--auth-user", "bob", "--auth-password", "hunter2", "--from", "bob@local.test", "--to",
             "alice@local.test,far@remote.example", "--header", "Subject: from swaks", "--body", "sent by swaks"});
    ASSERT_TRUE(c.wait()) << c.output();
    ASSERT_EQ(c.exitCode(), 0) << c.output();
    EXPECT_TRUE(contains(c.output(), "235 SMTP Authentication successful")) << c.output();
    EXPECT_TRUE(contains(c.output(), "250 Mail Queued for Delivery")) << c.output();
    auto alice = messageFiles("alice");
    ASSERT_EQ(alice.size(), 1u);
    const std::string text = testsupport::readFile(alice[0]);
    EXPECT_EQ(text.rfind("Return-Path: <bob@local.test>\r\nReceived: FROM local.test BY mail.test ; ", 0), 0u);
    EXPECT_TRUE(contains(text, "Subject: from swaks"));
    EXPECT_TRUE(contains(text, "sent by swaks"));
    ASSERT_EQ(queueFiles().size(), 1u);
    EXPECT_TRUE(contains(testsupport::readFile(queueFiles()[0]), "To=<far@remote.example>\r\n"));
}

TEST_F(SmtpClients, SwaksWithWrongPasswordFails) {
    Child c({"swaks", "--server", "127.0.0.1", "--port", std::to_string(port()), "--auth", "LOGIN",
             "--auth-user", "bob", "--auth-password", "nope", "--from", "bob@local.test", "--to",
             "alice@local.test"});
    ASSERT_TRUE(c.wait()) << c.output();
    EXPECT_NE(c.exitCode(), 0) << c.output();
    EXPECT_TRUE(contains(c.output(), "535 SMTP Authentication fail.")) << c.output();
    EXPECT_TRUE(messageFiles("alice").empty());
}

TEST_F(SmtpClients, MsmtpSendsThroughAuthLogin) {
    const std::string config = script("msmtprc",
                                      "account default\n"
                                      "host 127.0.0.1\n"
                                      "port " + std::to_string(port()) + "\n"
                                      "domain msmtp.test\n"
                                      "auth login\n"
                                      "user carol\n"
                                      "password pw\n"
                                      "tls off\n"
                                      "from carol@local.test\n");
    std::filesystem::permissions(config, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string message =
        "From: carol@local.test\nTo: bob@local.test\nSubject: from msmtp\n\n.dot line\nsent by msmtp\n";
    Child c({"msmtp", "-C", config, "bob@local.test", "team@local.test"}, message);
    ASSERT_TRUE(c.wait()) << c.output();
    ASSERT_EQ(c.exitCode(), 0) << c.output();
    auto bob = messageFiles("bob");
    ASSERT_EQ(bob.size(), 1u);
    const std::string text = testsupport::readFile(bob[0]);
    EXPECT_EQ(text.rfind("Return-Path: <carol@local.test>\r\n", 0), 0u);
    EXPECT_TRUE(contains(text, "Subject: from msmtp\r\n\r\n.dot line\r\nsent by msmtp\r\n")) << text;
    EXPECT_EQ(messageFiles("carol").size(), 1u);  // through the list
}

}  // namespace
