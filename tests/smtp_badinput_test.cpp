// Hostile and broken clients: endless lines, NUL bytes, a burst of
// connections, and clients that vanish in the middle of DATA. The server must
// keep answering every other client and store nothing half-received.

#include <sys/resource.h>

#include "support/SmtpTestFixture.h"

using smtptest::RawClient;

namespace {

class SmtpBadInput : public smtptest::SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        startServer();
    }

    // The other client that must keep being served.
    void expectServed(RawClient& c) { EXPECT_EQ(cmd(c, "NOOP"), "530 SMTP Authentication is required!!"); }
};

TEST_F(SmtpBadInput, EndlessCommandLineBeforeAuthenticationIsCutOff) {
    RawClient other(port());
    other.reply();
    RawClient flood(port());
    flood.reply();
    flood.send(std::string(2 * 1024 * 1024, 'A'));
    EXPECT_TRUE(flood.waitClosed());
    EXPECT_EQ(flood.pending().substr(0, 20), "500 Line too long.\r\n");
    EXPECT_TRUE(hasLog("Command line too long, closing connection", 5));
    expectServed(other);
    EXPECT_TRUE(waitSessions(1));

    // A long line that does end in time is still just a command.
    RawClient fine(port());
    fine.reply();
    EXPECT_EQ(cmd(fine, "X" + std::string(60000, 'y')), "530 SMTP Authentication is required!!");
}

TEST_F(SmtpBadInput, MessageLineOfAnyLengthIsStoredWhole) {
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<alice@local.test>");
    cmd(*c, "RCPT TO:<bob@local.test>");
    cmd(*c, "DATA");
    // Far longer than the part of a line held back for its end: only its
    // first dot goes, its bare LF becomes CR LF, and the dot after that LF
    // and the dots where the server took the line in parts stay text.
    const std::string big(3 * 1024 * 1024, '.');
    c->send("..x" + big + "\n.y" + big + "\r\n");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
    auto files = messageFiles("bob");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(testsupport::readFile(files[0]).find("\r\n.x" + big + "\r\n.y" + big + "\r\n"), std::string::npos);
}

TEST_F(SmtpBadInput, NulBytesStayInLines) {
    auto c = loggedIn();
    EXPECT_EQ(cmd(*c, std::string("NO\0OP", 5)), "500 Command not recognized.");
    // At the ends of a line a NUL is a control character and is trimmed.
    EXPECT_EQ(cmd(*c, std::string("NOOP\0", 5)), "250 OK");
    cmd(*c, "MAIL FROM:<alice@local.test>");
    // Inside a path it makes the path unusable, as in MAIL FROM.
    EXPECT_EQ(cmd(*c, std::string("RCPT TO:<bo\0b@local.test>", 25)), "501 Forward-Path not understood");
    cmd(*c, "RCPT TO:<bob@local.test>");
    cmd(*c, "DATA");
    c->send(std::string("a\0b\r\n\0\r\n", 8));
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
    auto files = messageFiles("bob");
    ASSERT_EQ(files.size(), 1u);
    const std::string text = testsupport::readFile(files[0]);
    EXPECT_NE(text.find(std::string("\r\na\0b\r\n\0\r\n", 10)), std::string::npos);
}

TEST_F(SmtpBadInput, ClientsVanishingDuringDataDeliverNothing) {
    RawClient other(port());
    other.reply();
    for (int i = 0; i < 5; ++i) {
        auto c = loggedIn();
        cmd(*c, "MAIL FROM:<alice@local.test>");
        cmd(*c, "RCPT TO:<bob@local.test>");
        cmd(*c, "RCPT TO:<far@remote.example>");
        cmd(*c, "DATA");
        c->send("Subject: half\r\n\r\nsome text\r\n");
        if (i % 2) c->send(".");  // even a lone dot without its line end
        // The client goes away here.
    }
    EXPECT_TRUE(waitSessions(1));
    expectServed(other);
    EXPECT_TRUE(messageFiles("bob").empty());
    EXPECT_TRUE(queueFiles().empty());
    // Nothing but the information file and the backup folder in bob's folder.
    for (auto& e : std::filesystem::directory_iterator(si().MailBoxPath + "bob")) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "bob.ini" || name == "BAK" || name == ".tmp:") << name;
    }
    EXPECT_TRUE(std::filesystem::is_empty(si().MailBoxPath + "bob/BAK"));
}

TEST_F(SmtpBadInput, LinesAfterQuitInTheSameReadDoNotKeepTheSessionAlive) {
    auto c = loggedIn();
    c->send("QUIT\r\nNOOP\r\nMAIL FROM:<alice@local.test>\r\n");
    EXPECT_EQ(c->reply(), "221 OK, Closed");
    EXPECT_TRUE(c->waitClosed());
    EXPECT_TRUE(waitSessions(0));
    EXPECT_EQ(countLogs("> Closed"), 1);
    // Nothing after QUIT is handled, so nothing is answered on a closed socket.
    EXPECT_FALSE(hasLog("Socket Error", 3));
    EXPECT_EQ(countLogs("Command: MAIL"), 0);
}

// A client that writes commands and never reads its replies: once the
// session's unsent replies pass the bound it takes no more, so the server
// holds no more than that for it, and other clients are served meanwhile.
TEST_F(SmtpBadInput, ClientThatNeverReadsIsHeldToTheOutputBound) {
    RawClient other(port());
    other.reply();
    auto c = loggedIn();
    ASSERT_TRUE(waitSessions(2));
    TSmtpConnection* session = server->Connection(1);
    std::string noops;
    for (int i = 0; i < 10000; ++i) noops += "NOOP\r\n";
    const std::size_t most = 64u * 1024 * 1024;
    std::size_t written = 0;
    auto writeSome = [&] {
        bool progress = false;
        for (;;) {
            const std::size_t off = written % noops.size();
            ssize_t n = ::send(c->fd(), noops.data() + off, noops.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return progress;
            written += static_cast<std::size_t>(n);
            progress = true;
            if (written >= most) return true;
        }
    };
    // Write while the server takes anything; it has stopped once half a
    // second of its loop takes nothing more while replies wait in its queue
    // (on a loaded machine a pause can also end just as the kernel took the
    // queue, and the server then reads on).
    for (int pauses = 0; written < most;) {
        if (testsupport::stepUntil(writeSome, 500)) continue;
        if (session->Socket().SendQueueBytes() > 0 || ++pauses == 20) break;
    }
    EXPECT_LT(written, most) << "the server kept reading";
    EXPECT_GT(session->Socket().SendQueueBytes(), 0);
    EXPECT_LE(session->Socket().SendQueueBytes(), TSessionFlow::OutputBound + 64);
    expectServed(other);
    EXPECT_EQ(session->Socket().State(), wsConnected);
}

TEST_F(SmtpBadInput, ThousandConnectionsAtOnce) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 4096) {
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 4096);
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur < 2100) GTEST_SKIP() << "file descriptor limit too low for this test";

    const std::string py = home.path() + "burst.py";
    testsupport::writeFile(py, R"PY(
import resource, socket, sys
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
port = int(sys.argv[1])
socks = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(1000)]
def reply(s):
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode("latin-1")
greeted = sum(1 for s in socks if reply(s).startswith("220 "))
for s in socks:
    s.sendall(b"EHLO burst\r\nQUIT\r\n")
answered = 0
for s in socks:
    lines = ""
    while "530 " not in lines:
        chunk = s.recv(4096)
        if not chunk:
            break
        lines += chunk.decode("latin-1")
    answered += "530 SMTP Authentication is required!!" in lines
for s in socks:
    s.close()
print("greeted", greeted, "answered", answered)
)PY");
    RawClient other(port());
    other.reply();
    int peak = 0;
    server->OnStatus = [&](void*, bool, int count) { peak = std::max(peak, count); };
    testsupport::Child burst({testsupport::python(), py, std::to_string(port())});
    ASSERT_TRUE(burst.wait(120000)) << burst.output();
    EXPECT_EQ(burst.exitCode(), 0) << burst.output();
    EXPECT_NE(burst.output().find("greeted 1000 answered 1000"), std::string::npos) << burst.output();
    EXPECT_GE(peak, 1000);
    EXPECT_TRUE(waitSessions(1, 20000));
    expectServed(other);
    server->OnStatus = nullptr;
}

}  // namespace
