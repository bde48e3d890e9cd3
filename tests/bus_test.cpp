// Registered messages, the per-user broadcast bus (in-process and across
// processes through the tavrin-send tool), and the single-instance lock.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Bus.h"
#include "platform/Descriptors.h"
#include "platform/MessageLoop.h"
#include "platform/SingleInstance.h"
#include "support/TestSupport.h"

using namespace platform;
using testsupport::Child;
using testsupport::TempDir;

// Every accept4 of this process is counted: a listener that spins on a
// connection it cannot take shows as a stream of them.
static std::atomic<long> g_accepts{0};
extern "C" int accept4(int fd, sockaddr* addr, socklen_t* len, int flags) noexcept {
    static auto real = reinterpret_cast<int (*)(int, sockaddr*, socklen_t*, int)>(::dlsym(RTLD_NEXT, "accept4"));
    ++g_accepts;
    return real(fd, addr, len, flags);
}

// Kernels before 6.2 give /proc/self/fd no size; a test may hide it so that
// the count is taken the way it is there.
static std::atomic<bool> g_hideDescriptorCount{false};
extern "C" int stat(const char* path, struct stat* st) noexcept {
    static auto real = reinterpret_cast<int (*)(const char*, struct stat*)>(::dlsym(RTLD_NEXT, "stat"));
    const int r = real(path, st);
    if (r == 0 && g_hideDescriptorCount && std::strcmp(path, "/proc/self/fd") == 0) st->st_size = 0;
    return r;
}

namespace {

std::string sender() { return std::string(TAVRIN_BINARY_DIR) + "/tools/tavrin-send"; }

// Every test gets its own runtime folder, so no real Tavrin of the user (and
// no other test) is ever reached.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("XDG_RUNTIME_DIR")) {
            old_ = v;
            hadOld_ = true;
        }
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_)
            setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    std::string busDir() { return dir_.path() + "tavrin/bus/"; }

    TempDir dir_;
    std::string old_;
    bool hadOld_ = false;
};

struct Received {
    unsigned msg;
    std::intptr_t w, l;
};

}  // namespace

TEST(RegisteredMessages, NamesGiveStableIdsFromC000) {
    unsigned a = registerWindowMessage("BusTestAlpha");
    unsigned b = registerWindowMessage("BusTestBeta");
    EXPECT_GE(a, FirstRegisteredMessage);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(registerWindowMessage("BusTestAlpha"), a);
    EXPECT_EQ(registerWindowMessage("bustestALPHA"), a) << "names compare without regard to case";
    EXPECT_EQ(registeredMessageName(a), "BusTestAlpha");
    EXPECT_EQ(registeredMessageName(0x0400), "");
    EXPECT_EQ(registerWindowMessage(""), 0u);
    EXPECT_EQ(registerWindowMessage(std::string(256, 'x')), 0u);
    EXPECT_NE(registerWindowMessage(std::string(255, 'x')), 0u);
}

TEST_F(BusTest, RuntimeFolderIsPrivate) {
    std::string rt = runtimeFolder();
    ASSERT_EQ(rt, dir_.path() + "tavrin/");
    struct stat st{};
    ASSERT_EQ(stat(rt.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(busFolder(), rt + "bus/");
}

TEST_F(BusTest, RuntimeFolderOpenToOthersIsRefused) {
    std::filesystem::create_directory(dir_.path() + "tavrin");
    chmod((dir_.path() + "tavrin").c_str(), 0755);
    std::string rt = runtimeFolder();
    EXPECT_NE(rt, dir_.path() + "tavrin/");
    if (!rt.empty()) {
        EXPECT_EQ(rt, "/tmp/tavrin-" + std::to_string(geteuid()) + "/");
    }
}

TEST_F(BusTest, BroadcastReachesEveryListenerOfTheProcess) {
    unsigned m = registerWindowMessage("BusTestLocal");
    std::vector<Received> a, b;
    BusListener la([&](unsigned msg, std::intptr_t w, std::intptr_t l) {
        a.push_back({msg, w, l});
        return 0;
    });
    BusListener lb([&](unsigned msg, std::intptr_t w, std::intptr_t l) {
        b.push_back({msg, w, l});
        return 0;
    });
    EXPECT_TRUE(la.active());
    EXPECT_TRUE(lb.active());
    BroadcastResult r = broadcastMessage(m, 11, -22);
    EXPECT_EQ(r.delivered, 2);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].msg, m);
    EXPECT_EQ(a[0].w, 11);
    EXPECT_EQ(a[0].l, -22);
    EXPECT_EQ(broadcastMessage(0x0400, 0, 0).delivered, 0) << "an unregistered id reaches nobody";
}

TEST_F(BusTest, SenderToolDeliversNameAndArguments) {
    std::vector<Received> got;
    BusListener l([&](unsigned msg, std::intptr_t w, std::intptr_t lp) {
        got.push_back({msg, w, lp});
        return 0;
    });
    ASSERT_TRUE(l.active());
    Child c({sender(), "TavrinStartSMTPServer", "5", "0x10"});
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(c.exitCode(), 0) << c.output();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg, registerWindowMessage("TavrinStartSMTPServer"));
    EXPECT_EQ(got[0].w, 5);
    EXPECT_EQ(got[0].l, 16);
}

TEST_F(BusTest, StatusQuestionIsAnsweredWhileTheAskerWaits) {
    // The answer is broadcast from inside the handler of the question, while
    // the asking tool still waits for its own send to return.
    unsigned ask = registerWindowMessage("TavrinSendStatus");
    unsigned status = registerWindowMessage("TavrinStatus");
    int statusSeenHere = 0;
    BusListener l([&](unsigned msg, std::intptr_t, std::intptr_t) -> std::intptr_t {
        if (msg == ask) broadcastMessage(status, getpid(), 5);
        if (msg == status) ++statusSeenHere;
        return 0;
    });
    Child c({sender(), "TavrinSendStatus"});
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(c.exitCode(), 0) << c.output();
    EXPECT_NE(c.output().find("TavrinStatus wParam=" + std::to_string(getpid()) +
                              " lParam=5 SMTPServer=1 SMTPAgent=0 POP3Server=1\n"),
              std::string::npos)
        << c.output();
    EXPECT_EQ(statusSeenHere, 1) << "the answer reaches its own sender too";
}

TEST_F(BusTest, NobodyListeningIsExitOne) {
    Child c({sender(), "TavrinShutdown"});
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(c.exitCode(), 1);
    Child s({sender(), "TavrinSendStatus"});
    ASSERT_TRUE(s.wait());
    EXPECT_EQ(s.exitCode(), 1);
}

TEST_F(BusTest, SenderToolRefusesBadArguments) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {sender()}, {sender(), "TavrinShutdown", "x"}, {sender(), "-t"}, {sender(), std::string(300, 'a')},
             {sender(), "A", "1", "2", "3"}}) {
        Child c(args);
        ASSERT_TRUE(c.wait());
        EXPECT_EQ(c.exitCode(), 2) << args.size();
    }
}

TEST_F(BusTest, DeadSocketsAreRemoved) {
    ASSERT_FALSE(busFolder().empty());
    std::string stale = busDir() + "999999-1";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(fd);  // the file stays, nobody listens
    BroadcastResult r = broadcastMessage(registerWindowMessage("BusTestDead"), 0, 0);
    EXPECT_EQ(r.removed, 1);
    EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(BusTest, ListenerThatNeverAnswersCostsOnlyTheTimeout) {
    ASSERT_FALSE(busFolder().empty());
    std::string mute = busDir() + "999999-2";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, mute.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    int local = 0;
    BusListener l([&](unsigned, std::intptr_t, std::intptr_t) {
        ++local;
        return 0;
    });
    BroadcastResult r = broadcastMessage(registerWindowMessage("BusTestMute"), 0, 0, 200);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.delivered, 1);
    EXPECT_EQ(local, 1);
    EXPECT_TRUE(std::filesystem::exists(mute)) << "a live but slow listener is not removed";
    close(fd);
}

TEST_F(BusTest, MalformedRequestIsDroppedAndServingGoesOn) {
    std::vector<Received> got;
    BusListener l([&](unsigned msg, std::intptr_t w, std::intptr_t lp) {
        got.push_back({msg, w, lp});
        return 0;
    });
    ASSERT_TRUE(l.active());
    auto connectRaw = [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, l.path().c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    };
    int bad = connectRaw();
    ASSERT_EQ(write(bad, "GET / HTTP/1.0\r\n\r\n", 18), 18);
    int zeroName = connectRaw();
    ASSERT_EQ(write(zeroName, "TVB1\0\0", 6), 6);
    int silent = connectRaw();  // connects and sends nothing
    char c;
    ASSERT_TRUE(testsupport::stepUntil([&] { return recv(bad, &c, 1, MSG_DONTWAIT) == 0; }));
    ASSERT_TRUE(testsupport::stepUntil([&] { return recv(zeroName, &c, 1, MSG_DONTWAIT) == 0; }));
    close(bad);
    close(zeroName);

    Child ok({sender(), "TavrinStopPOP3Server"});
    ASSERT_TRUE(ok.wait());
    EXPECT_EQ(ok.exitCode(), 0) << ok.output();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msg, registerWindowMessage("TavrinStopPOP3Server"));
    close(silent);
}

namespace {

int connectTo(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

// The request frame of the bus: magic, name length, name, wParam, lParam.
std::string requestFrame(const std::string& name) {
    std::string f = "TVB1";
    const std::uint16_t n = static_cast<std::uint16_t>(name.size());
    const std::int64_t w = 1, l = 2;
    f.append(reinterpret_cast<const char*>(&n), 2);
    f += name;
    f.append(reinterpret_cast<const char*>(&w), 8);
    f.append(reinterpret_cast<const char*>(&l), 8);
    return f;
}

}  // namespace

// With no descriptor to spare, a control connection waits in the backlog:
// the listener neither takes it into the reserve nor spins on it, and serves
// it once descriptors are free again. Where the kernel gives no count, the
// descriptors freed below the mark are still within the reserve while those
// above it stay held.
TEST_F(BusTest, ControlConnectionWaitsWhileDescriptorsAreShort) {
    for (const bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "count by probe and listing" : "kernel's count");
        g_hideDescriptorCount = hidden;
        int handled = 0;
        BusListener l([&](unsigned, std::intptr_t, std::intptr_t) { return ++handled; });
        ASSERT_TRUE(l.active());
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = openDescriptorCount() + descriptorReserve(0) + 16;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

        const int client = connectTo(l.path());
        const std::string frame = requestFrame("TavrinSendStatus");
        ASSERT_EQ(write(client, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        std::vector<int> fillers;
        for (int fd; (fd = dup(client)) >= 0;) fillers.push_back(fd);
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers check memory through a pipe of their own.
        for (int i = 0; i < 2; ++i, fillers.pop_back()) close(fillers.back());
#endif
        const long acceptsBefore = g_accepts;
        testsupport::stepUntil([] { return false; }, 300);
        const long acceptsWhileShort = g_accepts - acceptsBefore;
        const int handledWhileShort = handled;

        // Free, but still within the reserve: the connection still waits. The
        // lowest are freed, so a free descriptor lies far below the mark. The
        // count decides when to stop, as the sanitizers may or may not hold
        // descriptors of their own by now.
        const auto freeNow = [&] {
            const std::size_t open = openDescriptorCount();
            return open >= low.rlim_cur ? 0 : low.rlim_cur - open;
        };
        while (freeNow() + 1 < descriptorReserve(0) && !fillers.empty()) {
            close(fillers.front());
            fillers.erase(fillers.begin());
        }
        testsupport::stepUntil([] { return false; }, 300);
        const int handledWithinReserve = handled;

        for (int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        char reply[12];
        EXPECT_TRUE(testsupport::stepUntil([&] { return recv(client, reply, sizeof reply, MSG_DONTWAIT) == 12; }));
        close(client);
        EXPECT_LT(acceptsWhileShort, 10);
        EXPECT_EQ(handledWhileShort, 0);
        EXPECT_EQ(handledWithinReserve, 0);
        EXPECT_EQ(handled, 1);
    }
    g_hideDescriptorCount = false;
}

// A control connection that sends nothing (or not a whole request) is closed
// after a few seconds; it would otherwise hold its descriptor for ever.
TEST_F(BusTest, SilentControlConnectionIsClosed) {
    BusListener l([](unsigned, std::intptr_t, std::intptr_t) { return 0; });
    ASSERT_TRUE(l.active());
    const int silent = connectTo(l.path());
    const int partial = connectTo(l.path());
    ASSERT_EQ(write(partial, "TVB1", 4), 4);
    char c;
    EXPECT_TRUE(testsupport::stepUntil([&] { return recv(silent, &c, 1, MSG_DONTWAIT) == 0; }, 20000));
    EXPECT_TRUE(testsupport::stepUntil([&] { return recv(partial, &c, 1, MSG_DONTWAIT) == 0; }, 1000));
    close(silent);
    close(partial);
}

TEST_F(BusTest, ListenerMayEndInsideItsOwnHandler) {
    std::unique_ptr<BusListener> l;
    int calls = 0;
    l = std::make_unique<BusListener>([&](unsigned, std::intptr_t, std::intptr_t) {
        ++calls;
        l.reset();
        return 0;
    });
    std::string path = l->path();
    Child c({sender(), "TavrinForceShutdown"});
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(c.exitCode(), 0) << c.output();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(l);
    EXPECT_FALSE(std::filesystem::exists(path)) << "the socket file goes with its listener";
    Child again({sender(), "TavrinForceShutdown"});
    ASSERT_TRUE(again.wait());
    EXPECT_EQ(again.exitCode(), 1);
}

TEST_F(BusTest, NamedMutexIsHeldOncePerUser) {
    NamedMutex first("Tavrin SMTP/POP3 Server");
    EXPECT_TRUE(first.owned());
    EXPECT_FALSE(first.alreadyExists());
    EXPECT_EQ(NamedMutex::lockPath("Tavrin SMTP/POP3 Server"),
              dir_.path() + "tavrin/Tavrin%20SMTP%2FPOP3%20Server.lock");
    {
        NamedMutex second("Tavrin SMTP/POP3 Server");
        EXPECT_FALSE(second.owned());
        EXPECT_TRUE(second.alreadyExists());
    }
    NamedMutex other("Another Program");
    EXPECT_TRUE(other.owned());
    first.release();
    NamedMutex third("Tavrin SMTP/POP3 Server");
    EXPECT_TRUE(third.owned()) << "released means free again";
}
