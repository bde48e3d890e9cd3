// Messages that end together are committed together: their order and names,
// a commit that fails, and a server killed while commits are under way.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "MailRouting.h"
#include "platform/FileWork.h"
#include "support/SmtpTestFixture.h"

namespace fs = std::filesystem;
using smtptest::RawClient;
using testsupport::readFile;

namespace {

class GroupCommit : public smtptest::SmtpFixture {
protected:
    // MAIL, RCPT and DATA for bob; the client is then inside the message.
    void openMessage(RawClient& c) {
        EXPECT_EQ(cmd(c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
        EXPECT_EQ(cmd(c, "RCPT TO:<bob@local.test>"), "250 Destination Accepted");
        EXPECT_EQ(cmd(c, "DATA").substr(0, 4), "354 ");
    }
};

TEST_F(GroupCommit, ManyMessagesInOneSecondKeepTheirOrderAndNeverReplaceOneAnother) {
    platform::setNowOverride(testsupport::fixedLocalTime());
    startServer();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(loggedIn());
    const int rounds = 8;
    for (int r = 0; r < rounds; ++r) {
        for (auto& c : clients) openMessage(*c);
        // The four messages end at once and so share commits.
        for (std::size_t i = 0; i < clients.size(); ++i)
            clients[i]->send("Subject: r" + std::to_string(r) + "c" + std::to_string(i) + "\r\n\r\nbody\r\n.\r\n");
        for (auto& c : clients) EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery");
    }
    const auto files = messageFiles("bob");
    ASSERT_EQ(files.size(), static_cast<std::size_t>(rounds * 4));
    EXPECT_EQ(fs::path(files[0]).filename(), "20260308-064509.txt");
    std::set<std::string> subjects;
    int lastRound = 0;
    for (const auto& f : files) {
        const std::string text = readFile(f);
        const auto at = text.find("Subject: r");
        ASSERT_NE(at, std::string::npos) << f;
        subjects.insert(text.substr(at, text.find("\r\n", at) - at));
        // Sorted by name, a message of a later round never comes first.
        const int round = std::atoi(text.c_str() + at + 10);
        EXPECT_GE(round, lastRound) << f;
        lastRound = round;
    }
    EXPECT_EQ(subjects.size(), files.size());
}

// A big message is written and flushed apart from the small ones that end
// meanwhile; every one of them is still stored once, whole, under a name of
// its own.
TEST_F(GroupCommit, BigMessageWrittenAheadAndSmallOnesAreEachStoredOnce) {
    platform::setNowOverride(testsupport::fixedLocalTime());
    startServer();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(loggedIn());
    std::string big = "Subject: big\r\n\r\n";
    while (big.size() < 1024 * 1024) big += std::string(76, 'b') + "\r\n";
    for (auto& c : clients) openMessage(*c);
    clients[0]->send(big + ".\r\n");
    for (std::size_t i = 1; i < clients.size(); ++i) clients[i]->send("Subject: small\r\n.\r\n");
    for (auto& c : clients) EXPECT_EQ(c->reply(10000), "250 Mail Queued for Delivery");
    const auto files = messageFiles("bob");
    ASSERT_EQ(files.size(), clients.size());
    int bigs = 0;
    for (const auto& f : files) {
        const std::string text = readFile(f);
        if (text.find("Subject: big") == std::string::npos) continue;
        ++bigs;
        EXPECT_EQ(text.substr(text.find("Subject: big")), big) << f;
    }
    EXPECT_EQ(bigs, 1);
}

// A name taken behind the server's back, after it was given out and before
// the rename (a file restored by hand, another writer): the message takes the
// next free name and is stored, in the mailbox and among the backups alike.
TEST_F(GroupCommit, NameTakenAtTheRenameTakesTheNextFreeName) {
    platform::setNowOverride(testsupport::fixedLocalTime());
    TPop3UserInformation bob;
    bob.Password = "hunter2";
    bob.BackUpMailData = true;
    ASSERT_TRUE(bob.SaveUser("bob"));
    startServer();
    auto c = loggedIn();
    const std::string folder = si().MailBoxPath + "bob/";
    for (const char* subject : {"one", "two", "three"}) {
        openMessage(*c);
        c->send(std::string("Subject: ") + subject + "\r\n.\r\n");
        EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery") << subject;
        if (subject == std::string("one")) {
            testsupport::writeFile(folder + "20260308-064509_000001.txt", "by hand\r\n");
            fs::create_directory(folder + "BAK/alice_20260308-064509_000001.txt");
        }
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"20260308-064509.txt", "one"},
        {"20260308-064509_000001.txt", "by hand"},
        {"20260308-064509_000002.txt", "two"},
        {"20260308-064509_000003.txt", "three"},
        {"BAK/alice_20260308-064509.txt", "one"},
        {"BAK/alice_20260308-064509_000002.txt", "two"},
        {"BAK/alice_20260308-064509_000003.txt", "three"}};
    for (const auto& [name, text] : expected)
        EXPECT_NE(readFile(folder + name).find(text), std::string::npos) << name;
    EXPECT_EQ(messageFiles("bob").size(), 4u);
    EXPECT_TRUE(fs::is_empty(folder + ".tmp:"));
}

// --- all or nothing per message -----------------------------------------------

// While it lives, files can be written for `folder` but not renamed into it:
// its temporary folder is a link to a folder on another file system, so the
// rename fails (EXDEV) as it would in a folder made read-only or immutable.
// Unlike taking away write permission, this holds for root too.
class RenamesFailInto {
public:
    explicit RenamesFailInto(const std::string& folder) : link_(folder + std::string(platform::TempFolderName)) {
        fs::create_directories(folder);
        struct stat here {};
        ::stat(folder.c_str(), &here);
        for (const char* base : {"/dev/shm", "/run", "/var/tmp", "/tmp"}) {
            struct stat there {};
            if (::stat(base, &there) != 0 || there.st_dev == here.st_dev) continue;
            std::string dir = std::string(base) + "/tavrin-elsewhere-XXXXXX";
            if (!::mkdtemp(dir.data())) continue;
            elsewhere_ = dir;
            break;
        }
        if (elsewhere_.empty()) return;
        fs::remove_all(link_);
        fs::create_directory_symlink(elsewhere_, link_);
    }
    ~RenamesFailInto() { end(); }
    bool ready() const { return !elsewhere_.empty(); }
    void end() {
        if (elsewhere_.empty()) return;
        fs::remove(link_);
        fs::remove_all(elsewhere_);
        elsewhere_.clear();
    }

private:
    std::string link_, elsewhere_;
};

// u1 and u2 keep backup copies. A message whose delivery fails part-way at
// the commit is answered 451 and leaves nothing anywhere; the sender's retry,
// once the folder takes files again, leaves exactly one copy at each place.
TEST_F(GroupCommit, DeliveryThatFailsPartWayLeavesNothingAndItsRetryOneCopy) {
    for (const char* user : {"u1", "u2"}) {
        TPop3UserInformation u;
        u.Password = "pw";
        u.BackUpMailData = true;
        ASSERT_TRUE(u.SaveUser(user));
    }
    startServer();
    const std::string send = home.path() + "send.py";
    testsupport::writeFile(send, R"PY(
import smtplib, sys
s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=30)
s.ehlo('client.test')
s.login('alice', 'secret', initial_response_ok=False)
try:
    s.sendmail('alice@local.test', sys.argv[2:], 'Subject: all or nothing\r\n\r\nbody\r\n')
    print('stored')
except smtplib.SMTPDataError as e:
    print('refused', e.smtp_code)
s.quit()
)PY");
    const auto sendMail = [&](const std::vector<std::string>& to) {
        std::vector<std::string> argv = {testsupport::python(), send, std::to_string(port())};
        argv.insert(argv.end(), to.begin(), to.end());
        testsupport::Child child(argv);
        EXPECT_TRUE(child.wait()) << child.output();
        return child.output();
    };
    const auto count = [](const std::string& folder) {
        std::size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec))
            if (e.is_regular_file() && !e.path().filename().string().ends_with(".ini")) ++n;
        return n;
    };
    struct Case {
        const char* what;
        std::vector<std::string> to;
        std::string blocked;  // the folder renames into fail
    };
    const std::string mail = si().MailBoxPath;
    const std::vector<Case> cases = {
        {"a second recipient's folder", {"u1@local.test", "u2@local.test"}, mail + "u2/"},
        {"the queue folder", {"u1@local.test", "far@remote.example"}, si().QueuePath},
        {"the only recipient's backup folder", {"u2@local.test"}, mail + "u2/BAK/"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        for (const char* user : {"u1", "u2"}) {
            for (const auto& f : messageFiles(user)) fs::remove(f);
            for (const auto& e : fs::directory_iterator(mail + user + "/BAK/")) fs::remove(e.path());
        }
        for (const auto& f : queueFiles()) fs::remove(f);

        RenamesFailInto blocked(k.blocked);
        if (!blocked.ready()) GTEST_SKIP() << "no second file system to make a rename fail";
        EXPECT_EQ(sendMail(k.to), "refused 451\n");
        for (const char* user : {"u1", "u2"}) {
            EXPECT_EQ(count(mail + user), 0u) << user;
            EXPECT_EQ(count(mail + user + "/BAK"), 0u) << user;
        }
        EXPECT_EQ(count(si().QueuePath), 0u);
        EXPECT_TRUE(fs::is_empty(mail + "u1/" + std::string(platform::TempFolderName)));

        blocked.end();
        EXPECT_EQ(sendMail(k.to), "stored\n");
        std::size_t foreign = 0;
        for (const auto& to : k.to) {
            const std::string user = to.substr(0, to.find('@'));
            if (!to.ends_with("@local.test")) {
                ++foreign;
                continue;
            }
            EXPECT_EQ(count(mail + user), 1u) << user;
            EXPECT_EQ(count(mail + user + "/BAK"), 1u) << user;
        }
        EXPECT_EQ(count(si().QueuePath), foreign);
    }
}

// The client goes away while its message is being committed: the session is
// freed, the commit still places the message, and its completion finds no
// session to answer.
TEST_F(GroupCommit, ClientGoneWhileCommittingIsHarmless) {
    startServer();
    for (int i = 0; i < 5; ++i) {
        auto c = loggedIn();
        openMessage(*c);
        c->send("Subject: gone " + std::to_string(i) + "\r\n.\r\nQUIT\r\n");
        c.reset();
    }
    EXPECT_TRUE(waitSessions(0));
    EXPECT_TRUE(testsupport::stepUntil([&] { return messageFiles("bob").size() == 5; }));
    auto c = loggedIn();
    openMessage(*c);
    c->send("Subject: after\r\n.\r\n");
    EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery");
    EXPECT_EQ(cmd(*c, "QUIT"), "221 OK, Closed");
}

// The client sends the end of its message and QUIT in one write and ends its
// side at once: it still hears both replies, and the message is stored once.
// One that resets meanwhile is gone, but the queue run its foreign recipient
// asked for still comes, from the commit's completion.
TEST_F(GroupCommit, ClientThatEndsItsSideHearsBothRepliesAndTheQueueRunsForAGoneOne) {
    int queueRuns = 0;
    const platform::HWND window = platform::loop().createWindow([&](platform::Message& m) {
        if (m.msg == WM_SERVICE_QUEUE) ++queueRuns;
    });
    SetServiceQueueWindow(window);
    si().FireQueueImmediately = true;
    startServer();
    auto c = loggedIn();
    openMessage(*c);
    c->send("Subject: half\r\n.\r\nQUIT\r\n");
    ::shutdown(c->fd(), SHUT_WR);
    EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery");
    EXPECT_EQ(c->reply(), "221 OK, Closed");
    EXPECT_TRUE(c->waitClosed());
    EXPECT_EQ(messageFiles("bob").size(), 1u);

    auto gone = loggedIn();
    EXPECT_EQ(cmd(*gone, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
    EXPECT_EQ(cmd(*gone, "RCPT TO:<someone@far.example>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*gone, "DATA").substr(0, 4), "354 ");
    gone->send("Subject: away\r\n.\r\n");
    // Reset once the commit is under way (should it be over already, the
    // session has answered, and the run must have come all the same).
    testsupport::stepUntil([&] {
        TSmtpConnection* s = server->Connection(server->ConnectionCount() - 1);
        return (s && s->CommitTicket() != 0) || !gone->pending().empty();
    });
    linger reset{1, 0};
    ::setsockopt(gone->fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    gone.reset();
    EXPECT_TRUE(testsupport::stepUntil([&] { return queueRuns == 1 && queueFiles().size() == 1; }));
    SetServiceQueueWindow(platform::NullWindow);
    platform::loop().destroyWindow(window);
}

// A post that is answered 451 leaves no archive entry: the sender's retry
// leaves exactly one.
TEST_F(GroupCommit, ListArchiveHoldsAPostOnceItIsStored) {
    TMailListInformation team;
    team.AddMember(true, false, "alice@local.test");
    team.DigestFile = si().BasePath + "team-archive.txt";
    ASSERT_TRUE(team.SaveToFile("team", true));
    const std::string bob = si().MailBoxPath + "bob/";
    fs::remove_all(bob + ".tmp:");
    testsupport::writeFile(bob + ".tmp:", "blocks bob's temporary files");
    startServer();
    auto c = loggedIn();
    for (const char* expected : {"451 Error in processing: Mail could not be stored", "250 Mail Queued for Delivery"}) {
        EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
        EXPECT_EQ(cmd(*c, "RCPT TO:<team@mail.test>"), "250 Destination Accepted");
        EXPECT_EQ(cmd(*c, "RCPT TO:<bob@local.test>"), "250 Destination Accepted");
        EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
        c->send("Subject: post\r\n\r\nbody\r\n.\r\n");
        EXPECT_EQ(c->reply(), expected);
        fs::remove(bob + ".tmp:");
    }
    // Appended on the workers once the post is stored.
    ASSERT_TRUE(testsupport::stepUntil([] { return platform::fileWorkInFlight() == 0; }));
    const std::string archive = readFile(team.DigestFile);
    EXPECT_NE(archive.find("Subject: post"), std::string::npos);
    EXPECT_EQ(archive.find("Subject: post"), archive.rfind("Subject: post"));
}

// --- kill -9 during group commits ---------------------------------------------

// The server of the crash test runs as a process of its own: this test binary
// started again with this one test and the variables below.
TEST(GroupCommitServer, Serve) {
    const char* port = std::getenv("TAVRIN_GROUP_COMMIT_PORT");
    if (!port) GTEST_SKIP() << "only as the crash test's server";
    ServerInformation = std::make_unique<TServerInformation>();
    auto& si = *ServerInformation;
    si.ServerName = "mail.test";
    si.LocalDomains = {"local.test"};
    si.SmtpBindAddress = "127.0.0.1";
    si.SmtpListenPort = std::atoi(port);
    si.QueuePath = si.BasePath + "MQueue/";
    TPop3UserInformation u;
    u.Password = "pw";
    u.BackUpMailData = true;
    ASSERT_TRUE(u.SaveUser("bob"));
    TSmtpServer server;
    server.Start();
    ASSERT_TRUE(server.IsListening());
    std::printf("READY\n");
    std::fflush(stdout);
    platform::loop().run();
}

// Four clients send numbered messages, to bob and to a foreign address (a
// queue file), and print the number of each message that got "250".
const char* const kClients = R"PY(
import smtplib, sys, threading
port = int(sys.argv[1])
lock = threading.Lock()
def body(n):
    return 'Subject: n%d\r\n\r\n' % n + ''.join('line %d of message %d\r\n' % (i, n) for i in range(40)) + 'end %d\r\n' % n
def run(t):
    try:
        for k in range(100000):
            n = t * 100000 + k
            s = smtplib.SMTP('127.0.0.1', port, timeout=10)
            s.ehlo('crash.test')
            s.login('bob', 'pw', initial_response_ok=False)
            s.sendmail('bob@local.test', ['bob@local.test', 'x%d@foreign.test' % n], body(n))
            with lock:
                print(n, flush=True)
            s.quit()
    except Exception as e:
        print('stopped:', e, file=sys.stderr, flush=True)
ts = [threading.Thread(target=run, args=(t,)) for t in range(4)]
for t in ts: t.start()
for t in ts: t.join()
)PY";

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int& outFd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    outFd = fds[0];
    return pid;
}

// Reads what the child has written within timeoutMs; false at its end.
bool readSome(int fd, std::string& out, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return true;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    return true;
}

// Every message file under folder whose name does not start with ".": the
// numbers of the complete ones, and a failure for any other.
std::multiset<long> messagesIn(const std::string& folder, const std::string& prefix) {
    std::multiset<long> found;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file() || name.ends_with(".ini")) continue;
        const std::string text = readFile(e.path().string());
        const auto at = text.find(prefix + "n");
        EXPECT_NE(at, std::string::npos) << "not a whole message: " << e.path();
        if (at == std::string::npos) continue;
        const long n = std::atol(text.c_str() + at + prefix.size() + 1);
        EXPECT_TRUE(text.ends_with("end " + std::to_string(n) + "\r\n")) << "cut message: " << e.path();
        found.insert(n);
    }
    return found;
}

TEST(GroupCommitCrash, KillDuringGroupCommitLosesNoConfirmedMessageAndLeavesNoPartialFile) {
    std::mt19937 rng(std::random_device{}());
    for (int round = 0; round < 3; ++round) {
        testsupport::TempDir home;
        const int port = testsupport::freePort();
        int serverOut = -1, clientOut = -1;
        const pid_t server =
            spawn({"/proc/self/exe", "--gtest_filter=GroupCommitServer.Serve"},
                  {"XDG_DATA_HOME=" + home.path(), "TAVRIN_GROUP_COMMIT_PORT=" + std::to_string(port)}, serverOut);
        ASSERT_GT(server, 0);
        std::string serverText;
        for (int i = 0; i < 100 && serverText.find("READY") == std::string::npos; ++i)
            ASSERT_TRUE(readSome(serverOut, serverText, 100)) << serverText;
        ASSERT_NE(serverText.find("READY"), std::string::npos);

        const std::string script = home.path() + "clients.py";
        testsupport::writeFile(script, kClients);
        const pid_t clients = spawn({testsupport::python(), script, std::to_string(port)}, {}, clientOut);
        ASSERT_GT(clients, 0);
        // Killed after a random number of confirmed messages.
        const long killAfter = std::uniform_int_distribution<long>(20, 120)(rng);
        std::string confirmedText;
        for (int i = 0; i < 300 && std::count(confirmedText.begin(), confirmedText.end(), '\n') < killAfter; ++i)
            if (!readSome(clientOut, confirmedText, 100)) break;
        ::kill(server, SIGKILL);
        ::waitpid(server, nullptr, 0);
        while (readSome(clientOut, confirmedText, 5000)) {
        }
        ::waitpid(clients, nullptr, 0);
        ::close(serverOut);
        ::close(clientOut);

        std::set<long> confirmed;
        std::istringstream lines(confirmedText);
        for (long n; lines >> n;) confirmed.insert(n);
        ASSERT_GE(confirmed.size(), 20u);

        const std::string base = home.path() + "Quentar/Tavrin/";
        const auto inbox = messagesIn(base + "UserMail/bob/", "Subject: ");
        const auto backups = messagesIn(base + "UserMail/bob/BAK/", "Subject: ");
        const auto queued = messagesIn(base + "MQueue/", "Subject: ");
        for (long n : confirmed) {
            EXPECT_EQ(inbox.count(n), 1u) << "message " << n << " got 250 but is not in the mailbox";
            EXPECT_EQ(backups.count(n), 1u) << "message " << n << " has no backup copy";
            EXPECT_EQ(queued.count(n), 1u) << "message " << n << " has no queue file";
        }
        for (long n : inbox) EXPECT_EQ(inbox.count(n), 1u) << "message " << n << " stored twice";
    }
}

}  // namespace
