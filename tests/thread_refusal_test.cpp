// A thread the system refuses (a pids cgroup, RLIMIT_NPROC) while the server
// stores mail: no crash, every client answered, the refusal logged once. Run
// with the thread-refusing shim preloaded (the test starts itself again so).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/FileWork.h"
#include "platform/Notice.h"
#include "support/SmtpTestFixture.h"

using smtptest::RawClient;

namespace {

using AllowThreads = void (*)(long);

AllowThreads shim() {
    if (auto f = reinterpret_cast<AllowThreads>(::dlsym(RTLD_DEFAULT, "tavrinShimAllowThreads"))) return f;
    // Not preloaded yet: the same test again, with the shim.
    std::ifstream in("/proc/self/cmdline");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (std::size_t at = 0; at < all.size(); at = all.find('\0', at) + 1) args.emplace_back(all.c_str() + at);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::setenv("LD_PRELOAD", TAVRIN_BINARY_DIR "/tests/libtavrin_thread_refusal.so", 1);
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    ::execv("/proc/self/exe", argv.data());
    return nullptr;
}

class ThreadRefusal : public smtptest::SmtpFixture {
protected:
    void SetUp() override {
        allow = shim();
        ASSERT_NE(allow, nullptr) << "the thread-refusing shim could not be preloaded";
        SmtpFixture::SetUp();
        platform::setNoticeHandler([this](const std::string& text) { notices.push_back(text); });
    }
    void TearDown() override {
        allow(-1);
        SmtpFixture::TearDown();
        platform::setNoticeHandler(nullptr);
    }

    // One message to bob over a logged-in client; its final reply.
    std::string deliver(RawClient& c, const std::string& subject) {
        EXPECT_EQ(cmd(c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
        EXPECT_EQ(cmd(c, "RCPT TO:<bob@local.test>"), "250 Destination Accepted");
        EXPECT_EQ(cmd(c, "DATA").substr(0, 4), "354 ");
        c.send("Subject: " + subject + "\r\n\r\nbody\r\n.\r\n");
        return c.reply(20000);
    }

    int noticesWith(const std::string& text) const {
        int n = 0;
        for (const auto& t : notices) n += t.find(text) != std::string::npos;
        return n;
    }

    AllowThreads allow = nullptr;
    std::vector<std::string> notices;
};

// Not even the committer's thread: the message is refused with 451 and stored
// nowhere; once a thread is to be had again, the next one is stored, its
// flushes done on that one thread.
TEST_F(ThreadRefusal, NoThreadAtAllIsA451AndOneThreadStoresTheNext) {
    startServer();
    auto c = loggedIn();
    allow(0);
    EXPECT_EQ(deliver(*c, "refused"), "451 Error in processing: Mail could not be stored");
    EXPECT_TRUE(messageFiles("bob").empty());
    allow(1);
    EXPECT_EQ(deliver(*c, "stored"), "250 Mail Queued for Delivery");
    ASSERT_EQ(messageFiles("bob").size(), 1u);
    EXPECT_NE(testsupport::readFile(messageFiles("bob")[0]).find("Subject: stored"), std::string::npos);
    ASSERT_TRUE(testsupport::stepUntil([&] { return notices.size() >= 2; }));
    EXPECT_EQ(noticesWith("the system refused the committer's thread"), 1) << notices.size();
    EXPECT_EQ(noticesWith("the system refused a flush thread"), 1);
}

// The pool gets the committer and two flush threads, and no more however
// many messages wait: each is answered 250 and stored once; the refusal is
// logged once.
TEST_F(ThreadRefusal, PoolGoesOnWithTheThreadsItHas) {
    startServer();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(loggedIn());
    allow(3);
    for (int round = 0; round < 3; ++round) {
        for (auto& c : clients) {
            EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
            EXPECT_EQ(cmd(*c, "RCPT TO:<bob@local.test>"), "250 Destination Accepted");
            EXPECT_EQ(cmd(*c, "RCPT TO:<alice@local.test>"), "250 Destination Accepted");
            EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
        }
        for (auto& c : clients) c->send("Subject: many\r\n\r\nbody\r\n.\r\n");
        for (auto& c : clients) EXPECT_EQ(c->reply(20000), "250 Mail Queued for Delivery");
    }
    EXPECT_EQ(messageFiles("bob").size(), 24u);
    EXPECT_EQ(messageFiles("alice").size(), 24u);
    ASSERT_TRUE(testsupport::stepUntil([&] { return !notices.empty(); }));
    testsupport::stepUntil([] { return false; }, 100);  // any second notice would be in by now
    EXPECT_EQ(noticesWith("the system refused a flush thread"), 1);
    EXPECT_EQ(notices.size(), 1u);
}

// File work with no worker to be had runs on the caller's thread; the
// refusal is logged once, not once per job.
TEST(ThreadRefusalFileWork, JobsStillEndAndTheRefusalIsLoggedOnce) {
    const AllowThreads allow = shim();
    ASSERT_NE(allow, nullptr);
    std::vector<std::string> notices;
    platform::setNoticeHandler([&](const std::string& text) { notices.push_back(text); });
    int ended = 0;
    const platform::HWND wnd = platform::loop().createWindow([&](platform::Message& m) { ended += m.lParam; });
    allow(0);
    for (int i = 0; i < 3; ++i) platform::startFileWork([] { return std::intptr_t{1}; }, wnd, platform::WM_USER);
    EXPECT_TRUE(testsupport::stepUntil([&] { return ended == 3 && !notices.empty(); }));
    allow(-1);
    platform::loop().destroyWindow(wnd);
    platform::setNoticeHandler(nullptr);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("File work: the system refused a worker thread"), std::string::npos);
}

}  // namespace
