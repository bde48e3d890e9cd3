// The POP3 session's file work against a disk that makes it wait: this test
// program puts its own unlink and preadv2 in front of the C
// library's, so that a test can hold them at a gate (a cold cache and a slow
// disk) or make them fail (a mailbox folder the server may not write), for
// one file only. While the gate is shut, other clients must still be served.
// A call that comes to the gate on the loop's thread (the test's thread) is
// let through at once and counted: the test fails on it.
#include <dlfcn.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/FileWork.h"
#include "support/Pop3Fixture.h"

namespace {

struct Gate {
    std::atomic<bool> armed{false};
    bool fail = false;  // the calls fail with EACCES instead of waiting
    std::string path;
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::thread::id loopThread = std::this_thread::get_id();
    std::atomic<int> waiting{0}, onLoop{0};

    bool concerns(const char* p) const { return armed && p && path == p; }
    bool concerns(int fd) const {
        if (!armed) return false;
        char link[4096];
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(self.c_str(), link, sizeof link);
        return n > 0 && path == std::string(link, static_cast<std::size_t>(n));
    }
    // False when the call is to fail.
    bool pass() {
        if (std::this_thread::get_id() == loopThread) ++onLoop;
        if (fail) return false;
        ++waiting;
        if (std::this_thread::get_id() == loopThread) return true;
        std::unique_lock lk(m);
        cv.wait_for(lk, std::chrono::seconds(60), [this] { return open; });
        return true;
    }
    void release() {
        std::lock_guard lk(m);
        open = true;
        cv.notify_all();
    }
};
Gate g_gate;

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int unlink(const char* path) {
    static auto next = real<int (*)(const char*)>("unlink");
    if (g_gate.concerns(path) && !g_gate.pass()) return errno = EACCES, -1;
    return next(path);
}

extern "C" ssize_t preadv2(int fd, const iovec* iov, int count, off_t offset, int flags) {
    static auto next = real<ssize_t (*)(int, const iovec*, int, off_t, int)>("preadv2");
    if (g_gate.concerns(fd)) {
        if (flags & RWF_NOWAIT) return errno = EAGAIN, -1;  // not in the page cache
        g_gate.pass();
    }
    return next(fd, iov, count, offset, flags);
}

namespace {

class Pop3FileWork : public pop3test::Pop3Fixture {
protected:
    void TearDown() override {
        g_gate.release();
        g_gate.armed = false;
        testsupport::stepUntil([] { return platform::fileWorkInFlight() == 0; });
        Pop3Fixture::TearDown();
    }
    void arm(const std::string& path, bool fail = false) {
        g_gate.path = path;
        g_gate.fail = fail;
        g_gate.open = false;
        g_gate.waiting = 0;
        g_gate.onLoop = 0;
        g_gate.loopThread = std::this_thread::get_id();
        g_gate.armed = true;
    }
    // Another user's client is served while the gate is shut.
    void otherClientServed() {
        auto other = login("carol", "pw");
        EXPECT_EQ(other->cmd("NOOP"), "+OK");
        EXPECT_EQ(g_gate.onLoop, 0) << "the loop's thread waited on the disk";
    }
};

// QUIT's deletions wait on the disk: the server serves others meanwhile, the
// mailbox stays locked even when the session is freed before they end, and
// then the file is gone.
TEST_F(Pop3FileWork, QuitDeletesOnTheWorkers) {
    addUser("bob", "secret");
    addUser("carol", "pw");
    const std::string file = deliver("bob", {"Subject: one", "", "x"});
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
    arm(file);
    p->send("QUIT\r\n");
    ASSERT_TRUE(testsupport::stepUntil([] { return g_gate.waiting == 1; }));
    otherClientServed();
    server->RemoveConnection(server->Connections()[0].get());
    auto again = std::make_unique<pop3test::Peer>(port);
    again->line();
    EXPECT_EQ(again->cmd("USER bob"), "+OK Send Password");
    EXPECT_EQ(again->cmd("PASS secret"), "-ERR Cannot Lock Mailbox");
    g_gate.release();
    ASSERT_TRUE(testsupport::stepUntil(
        [] { return platform::fileWorkInFlight() == 0 && platform::loop().processMessages() == 0; }));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(again->cmd("USER bob"), "+OK Send Password");
    EXPECT_EQ(again->cmd("PASS secret"), "+OK 0 0");
}

// A marked file that cannot be deleted: QUIT says so, and the message stays
// for the next visit.
TEST_F(Pop3FileWork, QuitTellsOfFilesNotRemoved) {
    addUser("bob", "secret");
    const std::string kept = deliver("bob", {"Subject: kept", "", "x"});
    const std::string gone = deliver("bob", {"Subject: gone", "", "y"});
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("DELE 1"), "+OK Message 1 Deleted");
    EXPECT_EQ(p->cmd("DELE 2"), "+OK Message 2 Deleted");
    arm(kept, true);
    EXPECT_EQ(p->cmd("QUIT"), "-ERR some deleted messages not removed");
    EXPECT_TRUE(p->waitClosed());
    EXPECT_TRUE(hasLogEnding("> Not Updated: 1 of 2 deleted messages not removed"));
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_FALSE(std::filesystem::exists(gone));
}

// RETR of a message that is not in the page cache: the server serves others
// while the disk is read, then sends the message whole.
TEST_F(Pop3FileWork, RetrReadsOnTheWorkers) {
    addUser("bob", "secret");
    addUser("carol", "pw");
    const std::string file = deliver("bob", {"Subject: cold", "", ".dotted", "body"});
    auto p = login("bob", "secret");
    arm(file);
    p->send("RETR 1\r\n");
    ASSERT_TRUE(testsupport::stepUntil([] { return g_gate.waiting == 1; }));
    otherClientServed();
    g_gate.release();
    EXPECT_EQ(p->line(), "+OK " + std::to_string(std::filesystem::file_size(file)) + " octets");
    EXPECT_EQ(p->body(), "Subject: cold\r\n\r\n..dotted\r\nbody\r\n");
    EXPECT_EQ(p->cmd("NOOP"), "+OK");
}

}  // namespace
