// A big message on its way in: its text past the first part lives in an
// unnamed spool file, not in memory; a client that goes leaves no file; a
// spool that cannot be written is answered 451; the files of a delivery to
// many recipients take descriptors at the commit, a few at a time.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "platform/Descriptors.h"
#include "platform/FileWork.h"
#include "support/SmtpTestFixture.h"

namespace fs = std::filesystem;
using smtptest::RawClient;
using testsupport::readFile;

namespace {

class Spool : public smtptest::SmtpFixture {
protected:
    // Open descriptors of this process that are files in the queue folder,
    // named or not (an unnamed file shows as "<folder>/#<inode> (deleted)").
    std::vector<off_t> spoolFiles() const {
        std::vector<off_t> sizes;
        std::error_code ec;
        for (auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
            const std::string target = fs::read_symlink(e.path(), ec).string();
            struct stat st {};
            if (!ec && target.rfind(si().QueuePath, 0) == 0 && ::stat(e.path().c_str(), &st) == 0 &&
                S_ISREG(st.st_mode))
                sizes.push_back(st.st_size);
        }
        return sizes;
    }

    static std::string body(std::size_t mb, char fill) {
        const std::string line = std::string(78, fill) + "\r\n";
        std::string text = "Subject: big\r\n\r\n";
        text.reserve(mb * 1000000 + 64);
        while (text.size() < mb * 1000000) text += line;
        return text;
    }

    std::unique_ptr<RawClient> inData(const std::vector<std::string>& to) {
        auto c = loggedIn();
        EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
        for (const auto& r : to) EXPECT_EQ(cmd(*c, "RCPT TO:<" + r + ">"), "250 Destination Accepted");
        EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
        return c;
    }
};

TEST_F(Spool, BigMessageIsSpooledStoredWholeAndADroppedOneLeavesNothing) {
    TPop3UserInformation bob;
    bob.LoadUser("bob");
    bob.BackUpMailData = true;
    ASSERT_TRUE(bob.SaveUser("bob"));
    startServer();
    const std::string kept = body(8, 'k'), dropped = body(7, 'd');
    auto a = inData({"bob@local.test", "carol@remote.test"});
    auto b = inData({"bob@local.test"});
    ASSERT_TRUE(a->send(kept));
    ASSERT_TRUE(b->send(dropped));
    // Both texts are on disk beyond their first part, in files with no name.
    ASSERT_TRUE(testsupport::stepUntil([&] {
        const auto files = spoolFiles();
        return files.size() == 2 && std::min(files[0], files[1]) >= 3000000;
    }));
    EXPECT_TRUE(queueFiles().empty());

    b.reset();  // the client goes without its "."
    ASSERT_TRUE(testsupport::stepUntil([&] { return spoolFiles().size() == 1; }));
    ASSERT_TRUE(a->send(".\r\n"));
    EXPECT_EQ(a->reply(10000), "250 Mail Queued for Delivery");
    EXPECT_TRUE(testsupport::stepUntil([&] { return spoolFiles().empty(); }));

    const auto files = messageFiles("bob");
    ASSERT_EQ(files.size(), 1u);
    const std::string stored = readFile(files[0]);
    ASSERT_GT(stored.size(), kept.size());
    EXPECT_EQ(stored.substr(stored.size() - kept.size()), kept);
    std::vector<std::string> backups;
    for (auto& e : fs::directory_iterator(si().MailBoxPath + "bob/BAK"))
        if (e.is_regular_file()) backups.push_back(e.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(readFile(backups[0]), stored);
    const auto queued = queueFiles();
    ASSERT_EQ(queued.size(), 1u);
    const std::string queue = readFile(queued[0]);
    EXPECT_EQ(queue.substr(queue.size() - kept.size()), kept);
    // Nothing else in the queue folder, hidden ones included.
    std::size_t entries = 0;
    for (auto& e : fs::recursive_directory_iterator(si().QueuePath))
        if (e.is_regular_file()) ++entries;
    EXPECT_EQ(entries, 1u);
}

// A client faster than the disk: while its text waits for the workers, the
// session takes no more of it, so its memory does not grow with the message.
TEST_F(Spool, SenderWaitsWhileTheSpoolIsBehind) {
    startServer();
    auto c = inData({"bob@local.test"});
    ASSERT_TRUE(waitSessions(1));
    const TSmtpConnection& session = *server->Connection(0);
    // Every worker busy until the gate opens: no spool write can end.
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    for (int i = 0; i < 64; ++i)
        platform::startFileWork([open]() -> std::intptr_t { open.wait(); return 0; }, platform::NullWindow, 0);
    const std::string text = body(40, 'h');
    std::size_t sent = 0;
    auto push = [&] {
        while (sent < text.size()) {
            const ssize_t n = ::send(c->fd(), text.data() + sent, text.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    };
    ASSERT_TRUE(testsupport::stepUntil([&] {
        push();
        return session.Message().Text.SpoolBehind();
    }));
    const std::size_t held = session.Message().Text.Size();
    for (int i = 0; i < 200; ++i) {
        push();
        platform::loop().processMessages();
    }
    EXPECT_EQ(session.Message().Text.Size(), held);
    EXPECT_LT(sent, text.size());
    gate.set_value();
    ASSERT_TRUE(c->send(text.substr(sent) + ".\r\n"));
    EXPECT_EQ(c->reply(20000), "250 Mail Queued for Delivery");
    const auto files = messageFiles("bob");
    ASSERT_EQ(files.size(), 1u);
    const std::string stored = readFile(files[0]);
    EXPECT_EQ(stored.substr(stored.size() - text.size()), text);
}

TEST_F(Spool, SpoolThatCannotBeWrittenIsAnswered451AndStoresNothing) {
    startServer();
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 3000000;  // the spool file cannot grow past this
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto c = inData({"bob@local.test", "carol@remote.test"});
    ASSERT_TRUE(c->send(body(8, 'x') + ".\r\n"));
    const std::string reply = c->reply(10000);
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(reply, "451 Error in processing: Mail could not be stored");
    EXPECT_TRUE(messageFiles("bob").empty());
    EXPECT_TRUE(queueFiles().empty());
    // The session goes on.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
}

TEST_F(Spool, MessageToManyRecipientsIsStoredUnderALowDescriptorLimit) {
    std::vector<std::string> to;
    for (int i = 0; i < 150; ++i) {
        const std::string alias = "copy" + std::to_string(i);
        ASSERT_TRUE(si().AddAlias(alias, "bob"));
        to.push_back(alias + "@local.test");
    }
    startServer();
    auto c = inData(to);
    ASSERT_TRUE(c->send("Subject: many\r\n\r\nbody\r\n"));
    // Far fewer descriptors left than the message has files.
    const std::size_t open = platform::openDescriptorCount();
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit low = old;
    low.rlim_cur = open + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    c->send(".\r\n");
    const std::string reply = c->reply(20000);
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(reply, "250 Mail Queued for Delivery");
    EXPECT_EQ(messageFiles("bob").size(), 150u);
}

}  // namespace
