// The SOCKS client of the event socket: against real proxies on loopback
// (Dante for SOCKS 4 and 5, microsocks for the user name and password
// sub-negotiation) and against a proxy scripted by the test for the replies a
// real one will not give: every refusal code, malformed replies, replies that
// arrive a byte at a time, bound names and data behind the reply.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>

#include "support/WSocketTestUtil.h"

using namespace wstest;
using testsupport::stepUntil;
namespace net = platform::net;

namespace {

using Events = std::vector<std::string>;

// ---------------------------------------------------------------------------
// A proxy daemon in its own process group, ended with the group.

class Daemon {
public:
    Daemon(const std::vector<std::string>& argv, const std::string& logPath) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            FILE* f = fopen(logPath.c_str(), "w");
            if (f) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
    }
    ~Daemon() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        bool gone = stepUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 3000);
        if (!gone) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        kill(-pid_, SIGKILL);  // any child left behind
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Steps the loop until the port takes connections; false when the daemon
    // died or never listened.
    bool waitListening(int port, int timeoutMs = 10000) {
        return stepUntil(
            [&] {
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    return true;
                }
                RawPeer probe;
                return probe.connectTo(port);
            },
            timeoutMs) &&
               pid_ > 0;
    }

private:
    pid_t pid_ = -1;
};

bool Executable(const char* path) { return access(path, X_OK) == 0; }

// ---------------------------------------------------------------------------
// The client under test, with every event written down in order.

struct Client {
    TWSocket s;
    Events ev;
    std::string data;
    std::vector<std::string> errors;  // OnSocksError texts

    Client() {
        s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { ev.push_back(Ev("SessionConnected", e)); };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { ev.push_back(Ev("SessionClosed", e)); };
        s.OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) { ev.push_back(Ev("SocksConnected", e)); };
        s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
            ev.push_back(Ev("SocksError", e));
            errors.push_back(m);
        };
        s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState a) { ev.push_back(Ev("AuthState", a)); };
        s.OnDataAvailable = [this](TCustomWSocket* x, std::uint16_t) {
            std::string got = x->ReceiveStr();
            if (!got.empty()) {
                data += got;
                ev.push_back("Data(" + got + ")");
            }
        };
    }
    void connect(int proxyPort, const std::string& level, const std::string& addr, int port) {
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(proxyPort));
        s.SetSocksLevel(level);
        s.SetAddr(addr);
        s.SetPort(std::to_string(port));
        s.Connect();
    }
    bool has(const std::string& e) const { return std::find(ev.begin(), ev.end(), e) != ev.end(); }
    bool waitFor(const std::string& e, int timeoutMs = 5000) {
        return stepUntil([&] { return has(e); }, timeoutMs);
    }
    std::string joined() const {
        std::string j;
        for (auto& e : ev) j += (j.empty() ? "" : " ") + e;
        return j;
    }
};

// A destination server: a listening TWSocket whose sessions keep what they
// receive.
struct Target {
    Acceptor acc;
    std::string got;
    Target() {
        acc.setup = [this](TWSocket& s) {
            s.OnDataAvailable = [this](TCustomWSocket* x, std::uint16_t) { got += x->ReceiveStr(); };
        };
        acc.start();
    }
    int port() const { return acc.port; }
    TWSocket& session() { return *acc.sessions.back(); }
};

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

std::string PortBytes(int port) { return Bytes({port >> 8, port & 0xFF}); }

// ---------------------------------------------------------------------------
// Real proxies

class RealProxy : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new testsupport::TempDir;
        if (Executable("/usr/sbin/danted")) {
            dantePort_ = testsupport::freePort();
            blockedPort_ = testsupport::freePort();
            std::string conf = "logoutput: stderr\n"
                               "internal: 127.0.0.1 port = " + std::to_string(dantePort_) + "\n"
                               "external: 127.0.0.1\n"
                               "socksmethod: none\n"
                               "clientmethod: none\n";
            if (geteuid() == 0) conf += "user.privileged: root\nuser.unprivileged: nobody\n";
            conf += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                    "socks block { from: 0.0.0.0/0 to: 127.0.0.1/32 port = " + std::to_string(blockedPort_) + " }\n"
                    "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n";
            testsupport::writeFile(dir_->path() + "danted.conf", conf);
            dante_ = new Daemon({"/usr/sbin/danted", "-f", dir_->path() + "danted.conf", "-p",
                                 dir_->path() + "danted.pid", "-N", "1"},
                                dir_->path() + "danted.log");
            if (!dante_->waitListening(dantePort_))
                danteFailure_ = "no listener; log: " + testsupport::readFile(dir_->path() + "danted.log");
        }
        if (Executable("/usr/bin/microsocks")) {
            microPort_ = testsupport::freePort();
            micro_ = new Daemon({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(microPort_), "-u",
                                 "alice", "-P", "s3cret"},
                                dir_->path() + "microsocks.log");
            if (!micro_->waitListening(microPort_))
                microFailure_ = "no listener; log: " + testsupport::readFile(dir_->path() + "microsocks.log");
        }
    }
    static void TearDownTestSuite() {
        delete dante_;
        delete micro_;
        delete dir_;
        dante_ = micro_ = nullptr;
        dir_ = nullptr;
    }
    void needDante() {
        if (!dante_) GTEST_SKIP() << "/usr/sbin/danted is not installed (Debian package dante-server)";
        ASSERT_TRUE(danteFailure_.empty()) << "danted did not start: " << danteFailure_;
    }
    void needMicrosocks() {
        if (!micro_) GTEST_SKIP() << "/usr/bin/microsocks is not installed (Debian package microsocks)";
        ASSERT_TRUE(microFailure_.empty()) << "microsocks did not start: " << microFailure_;
    }

    // Data both ways once connected.
    void exchange(Client& c, Target& t) {
        ASSERT_TRUE(t.acc.waitSessions(1));
        c.s.SendStr("ping\r\n");
        ASSERT_TRUE(stepUntil([&] { return t.got == "ping\r\n"; })) << t.got;
        t.session().SendStr("pong\r\n");
        ASSERT_TRUE(stepUntil([&] { return c.data == "pong\r\n"; })) << c.data;
    }

    static inline testsupport::TempDir* dir_ = nullptr;
    static inline Daemon* dante_ = nullptr;
    static inline Daemon* micro_ = nullptr;
    static inline int dantePort_ = 0, blockedPort_ = 0, microPort_ = 0;
    static inline std::string danteFailure_, microFailure_;
};

TEST_F(RealProxy, Socks4Granted) {
    needDante();
    Target t;
    Client c;
    c.connect(dantePort_, "4", "127.0.0.1", t.port());
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SessionConnected(0)"}));
    EXPECT_EQ(c.s.State(), wsConnected);
    exchange(c, t);
    c.s.Close();
    EXPECT_EQ(c.ev.back(), "SessionClosed(0)");
}

TEST_F(RealProxy, Socks4RefusedByRule) {
    needDante();
    Client c;
    c.connect(dantePort_, "4", "127.0.0.1", blockedPort_);
    ASSERT_TRUE(c.waitFor("SessionClosed(20016)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SocksError(20016)", "SessionConnected(20016)",
                            "SessionClosed(20016)"}));
    EXPECT_EQ(c.errors, (std::vector<std::string>{"request rejected or failed"}));
    EXPECT_EQ(c.s.State(), wsClosed);
    EXPECT_EQ(c.s.SocksServer(), "");
}

TEST_F(RealProxy, Socks5WithoutAuthentication) {
    needDante();
    Target t;
    Client c;
    c.connect(dantePort_, "5", "127.0.0.1", t.port());
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SessionConnected(0)"}));
    EXPECT_EQ(c.s.SocksBoundAddr(), "127.0.0.1");
    EXPECT_NE(c.s.SocksBoundPort(), "0");
    exchange(c, t);
}

TEST_F(RealProxy, Socks5RefusedByRuleset) {
    needDante();
    Client c;
    c.connect(dantePort_, "5", "127.0.0.1", blockedPort_);
    ASSERT_TRUE(c.waitFor("SessionClosed(20005)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SocksError(20005)", "SessionConnected(20005)",
                            "SessionClosed(20005)"}));
    EXPECT_EQ(c.errors, (std::vector<std::string>{"connection not allowed by ruleset"}));
}

TEST_F(RealProxy, Socks5ProxyRefusesTheOnlyMethodOffered) {
    needDante();
    Client c;
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("alice");
    c.s.SetSocksPassword("s3cret");
    c.connect(dantePort_, "5", "127.0.0.1", blockedPort_);
    ASSERT_TRUE(c.waitFor("SessionClosed(20003)")) << c.joined();
    EXPECT_EQ(c.errors, (std::vector<std::string>{"authentification method not acceptable"}));
    EXPECT_TRUE(c.has("SessionConnected(20003)"));
}

TEST_F(RealProxy, Socks5WithUserNameAndPassword) {
    needMicrosocks();
    Target t;
    Client c;
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("alice");
    c.s.SetSocksPassword("s3cret");
    c.connect(microPort_, "5", "127.0.0.1", t.port());
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", Ev("AuthState", socksAuthStart), Ev("AuthState", socksAuthSuccess),
                            "SessionConnected(0)"}));
    exchange(c, t);
    c.s.Close();
    // Credentials outlive the close; the proxy itself does not.
    EXPECT_EQ(c.s.SocksUsercode(), "alice");
    EXPECT_EQ(c.s.SocksPassword(), "s3cret");
    EXPECT_EQ(c.s.SocksAuthentication(), socksAuthenticateUsercode);
    EXPECT_EQ(c.s.SocksServer(), "");
    EXPECT_EQ(c.s.SocksPort(), "");
    EXPECT_EQ(c.s.SocksLevel(), "5");
}

TEST_F(RealProxy, Socks5WrongPassword) {
    needMicrosocks();
    Client c;
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("alice");
    c.s.SetSocksPassword("wrong");
    c.connect(microPort_, "5", "127.0.0.1", 9);
    ASSERT_TRUE(c.waitFor("SessionClosed(20015)")) << c.joined();
    EXPECT_EQ(c.errors, (std::vector<std::string>{"socks authentication failed"}));
    EXPECT_TRUE(c.has("SessionConnected(20015)")) << c.joined();
}

TEST(SocksConnect, ProxyNotListening) {
    Client c;
    c.connect(testsupport::freePort(), "5", "127.0.0.1", 25);
    ASSERT_TRUE(c.waitFor("SessionClosed(0)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(10061)", "SessionConnected(10061)", "SessionClosed(0)"}));
}

// ---------------------------------------------------------------------------
// A proxy scripted by the test

class Scripted : public ::testing::Test {
protected:
    // Connects the client to the scripted proxy and takes the connection.
    void start(const std::string& level, const std::string& addr = "127.0.0.1", int port = 2525) {
        c.connect(lst.port(), level, addr, port);
        int fd = lst.accept();
        ASSERT_GE(fd, 0);
        proxy = std::make_unique<RawPeer>(fd, true);
    }
    // Reads exactly the next `n` bytes the client sent.
    std::string expectBytes(std::size_t n) {
        std::size_t want = taken + n;
        EXPECT_TRUE(proxy->readUntilBytes(want)) << "got " << proxy->received().size() << " of " << want;
        std::string got = proxy->received().substr(taken, n);
        taken = std::min(want, proxy->received().size());
        return got;
    }
    void greet5(int method) {
        EXPECT_EQ(expectBytes(3), Bytes({5, 1, method}));
        proxy->sendAll(Bytes({5, method}));
    }
    std::string request5(const std::string& host = "127.0.0.1", int port = 2525) {
        return Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + PortBytes(port);
    }
    std::string ipv4Reply() { return Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x1F, 0x90}); }

    RawListener lst;
    std::unique_ptr<RawPeer> proxy;
    std::size_t taken = 0;
    Client c;
};

TEST_F(Scripted, Socks4RequestAndDataBehindTheReply) {
    c.s.SetSocksUsercode("bob");
    start("4", "127.0.0.1", 2525);
    EXPECT_EQ(expectBytes(12), Bytes({4, 1, 0x09, 0xDD, 127, 0, 0, 1}) + "bob" + Bytes({0}));
    proxy->sendAll(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "hello");
    ASSERT_TRUE(c.waitFor("Data(hello)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SessionConnected(0)", "Data(hello)"}));
}

TEST_F(Scripted, Socks4ARequestCarriesTheName) {
    c.s.SetSocksUsercode("bob");
    start("4a", "mail.example.org", 25);
    EXPECT_EQ(c.s.SocksLevel(), "4A");
    const std::string want = Bytes({4, 1, 0, 25, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "mail.example.org" + Bytes({0});
    EXPECT_EQ(expectBytes(want.size()), want);
    proxy->sendAll(Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
}

TEST_F(Scripted, Socks4WithoutUserIdSendsOnlyTheZero) {
    start("4", "127.0.0.1", 80);
    EXPECT_EQ(expectBytes(9), Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0}));
}

struct Refusal {
    const char* name;
    std::string reply;
    int code;
    std::string text;
};

class Socks4Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Socks4Refusals, ReportedAndClosed) {
    RawListener lst;
    Client c;
    c.connect(lst.port(), "4", "127.0.0.1", 25);
    int fd = lst.accept();
    ASSERT_GE(fd, 0);
    RawPeer proxy(fd, true);
    ASSERT_TRUE(proxy.readUntilBytes(9));
    proxy.sendAll(GetParam().reply);
    const std::string closed = Ev("SessionClosed", GetParam().code);
    ASSERT_TRUE(c.waitFor(closed)) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", Ev("SocksError", GetParam().code),
                            Ev("SessionConnected", GetParam().code), closed}));
    EXPECT_EQ(c.errors, (std::vector<std::string>{GetParam().text}));
    EXPECT_TRUE(proxy.waitClosed());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Socks4Refusals,
    ::testing::Values(Refusal{"rejected", Bytes({0, 91, 0, 0, 0, 0, 0, 0}), 20016, "request rejected or failed"},
                      Refusal{"refused", Bytes({0, 92, 0, 0, 0, 0, 0, 0}), 20008, "connection refused"},
                      Refusal{"ident", Bytes({0, 93, 0, 0, 0, 0, 0, 0}), 20015, "authentification failed"},
                      Refusal{"other", Bytes({0, 95, 0, 0, 0, 0, 0, 0}), 20012, "unassigned error #95"},
                      Refusal{"version", Bytes({4, 90, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"}),
    [](const auto& info) { return std::string(info.param.name); });

class Socks5Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Socks5Refusals, ReportedAndClosed) {
    RawListener lst;
    Client c;
    c.connect(lst.port(), "5", "127.0.0.1", 25);
    int fd = lst.accept();
    ASSERT_GE(fd, 0);
    RawPeer proxy(fd, true);
    ASSERT_TRUE(proxy.readUntilBytes(3));
    proxy.sendAll(Bytes({5, 0}));
    ASSERT_TRUE(proxy.readUntilBytes(3 + 7 + 9));
    proxy.sendAll(GetParam().reply);
    const std::string closed = Ev("SessionClosed", GetParam().code);
    ASSERT_TRUE(c.waitFor(closed)) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", Ev("SocksError", GetParam().code),
                            Ev("SessionConnected", GetParam().code), closed}));
    EXPECT_EQ(c.errors, (std::vector<std::string>{GetParam().text}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Socks5Refusals,
    ::testing::Values(Refusal{"general", Bytes({5, 1}), 20004, "general SOCKS server failure"},
                      Refusal{"ruleset", Bytes({5, 2}), 20005, "connection not allowed by ruleset"},
                      Refusal{"network", Bytes({5, 3}), 20006, "network unreachable"},
                      Refusal{"host", Bytes({5, 4}), 20007, "host unreachable"},
                      Refusal{"refused", Bytes({5, 5}), 20008, "connection refused"},
                      Refusal{"ttl", Bytes({5, 6}), 20009, "time to live expired"},
                      Refusal{"command", Bytes({5, 7}), 20010, "command not supported"},
                      Refusal{"address", Bytes({5, 8}), 20011, "address type not supported"},
                      Refusal{"unassigned", Bytes({5, 9}), 20012, "unassigned error #9"},
                      Refusal{"version", Bytes({4, 0}), 20002, "socks version error"},
                      Refusal{"ipv6_bound", Bytes({5, 0, 0, 4, 0}), 20011, "address type not supported"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scripted, MethodReplyErrors) {
    start("5");
    EXPECT_EQ(expectBytes(3), Bytes({5, 1, 0}));
    proxy->sendAll(Bytes({4, 0}));
    ASSERT_TRUE(c.waitFor("SessionClosed(20002)")) << c.joined();
    EXPECT_EQ(c.errors, (std::vector<std::string>{"socks version error"}));
}

TEST_F(Scripted, Socks5RequestBoundNameAndDataBehindTheReply) {
    start("5", "mx.example.net", 587);
    greet5(0);
    EXPECT_EQ(expectBytes(7 + 14), request5("mx.example.net", 587));
    // A bound name of 13 characters, its port, then application bytes in the
    // same write.
    proxy->sendAll(Bytes({5, 0, 0, 3, 13}) + "relay.example" + PortBytes(4321) + "220 ready\r\n");
    ASSERT_TRUE(c.waitFor("Data(220 ready\r\n)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SessionConnected(0)", "Data(220 ready\r\n)"}));
    EXPECT_EQ(c.s.SocksBoundAddr(), "relay.example");
    EXPECT_EQ(c.s.SocksBoundPort(), "4321");
    // Later bytes come after them, from the socket.
    proxy->sendAll("250 ok\r\n");
    ASSERT_TRUE(stepUntil([&] { return c.data == "220 ready\r\n250 ok\r\n"; })) << c.data;
}

TEST_F(Scripted, BytesBehindTheReplyComeFirstAlsoInsideSessionConnected) {
    std::string early;
    c.s.OnSessionConnected = [&](TCustomWSocket* x, std::uint16_t e) {
        c.ev.push_back(Ev("SessionConnected", e));
        early = x->ReceiveStr();
    };
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    proxy->sendAll(ipv4Reply() + "first");
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
    EXPECT_EQ(early, "first");
    proxy->sendAll("second");
    ASSERT_TRUE(c.waitFor("Data(second)")) << c.joined();
    EXPECT_EQ(c.data, "second");
}

TEST_F(Scripted, BytesBehindTheReplyAreAllHandedToASlowReader) {
    c.s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
        char ch;
        if (x->Receive(&ch, 1) == 1) c.data += ch;
    };
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    proxy->sendAll(ipv4Reply() + "abcd");
    // No further socket data comes to prompt another notification.
    ASSERT_TRUE(stepUntil([&] { return c.data == "abcd"; }, 2000)) << c.data;
}

TEST_F(Scripted, Socks5Ipv4BoundAddress) {
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    proxy->sendAll(ipv4Reply());
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
    EXPECT_EQ(c.s.SocksBoundAddr(), "10.1.2.3");
    EXPECT_EQ(c.s.SocksBoundPort(), "8080");
}

TEST_F(Scripted, Socks5LongestBoundNameFits) {
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    const std::string name(255, 'n');
    proxy->sendAll(Bytes({5, 0, 0, 3, 255}) + name + PortBytes(25) + "x");
    ASSERT_TRUE(c.waitFor("Data(x)")) << c.joined();
    EXPECT_EQ(c.s.SocksBoundAddr(), name);
    EXPECT_EQ(c.s.SocksBoundPort(), "25");
}

TEST_F(Scripted, Socks5ReplyOneByteAtATime) {
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    const std::string reply = ipv4Reply();
    for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
        proxy->sendAll(reply.substr(i, 1));
        // Each byte is read before the next comes; none completes the reply.
        drainLoop();
        ASSERT_EQ(c.s.RcvdCount(), 0) << i;
        ASSERT_FALSE(c.has("SessionConnected(0)")) << i;
    }
    proxy->sendAll(reply.substr(reply.size() - 1) + "z");
    ASSERT_TRUE(c.waitFor("Data(z)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SessionConnected(0)", "Data(z)"}));
}

TEST_F(Scripted, CredentialsAndSubNegotiationOneByteAtATime) {
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("carol");
    c.s.SetSocksPassword("pw");
    start("5");
    greet5(2);
    EXPECT_EQ(expectBytes(10), Bytes({1, 5}) + "carol" + Bytes({2}) + "pw");
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", Ev("AuthState", socksAuthStart)}));
    proxy->sendAll(Bytes({1}));
    drainLoop();
    ASSERT_EQ(c.s.RcvdCount(), 0);
    EXPECT_FALSE(c.has(Ev("AuthState", socksAuthSuccess))) << "taken with one byte";
    proxy->sendAll(Bytes({0}));
    ASSERT_TRUE(c.waitFor(Ev("AuthState", socksAuthSuccess))) << c.joined();
    EXPECT_EQ(expectBytes(7 + 9), request5());
    proxy->sendAll(ipv4Reply());
    ASSERT_TRUE(c.waitFor("SessionConnected(0)")) << c.joined();
}

TEST_F(Scripted, MethodZeroAfterMethodTwoWasOffered) {
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("carol");
    start("5");
    EXPECT_EQ(expectBytes(3), Bytes({5, 1, 2}));
    proxy->sendAll(Bytes({5, 0}));
    // Straight to the request, no credentials.
    EXPECT_EQ(expectBytes(7 + 9), request5());
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", Ev("AuthState", socksAuthNotRequired)}));
}

TEST_F(Scripted, SubNegotiationFaults) {
    struct Case {
        std::string reply;
        int code;
        const char* text;
    };
    for (const Case& k : {Case{Bytes({5, 0}), 20002, "socks version error"},
                          Case{Bytes({1, 0, 0}), 20001, "too much data availaible"},
                          Case{Bytes({1, 1}), 20015, "socks authentication failed"}}) {
        Client cl;
        cl.s.SetSocksAuthentication(socksAuthenticateUsercode);
        cl.s.SetSocksUsercode("u");
        cl.s.SetSocksPassword("p");
        cl.connect(lst.port(), "5", "127.0.0.1", 25);
        int fd = lst.accept();
        ASSERT_GE(fd, 0);
        RawPeer px(fd, true);
        ASSERT_TRUE(px.readUntilBytes(3));
        px.sendAll(Bytes({5, 2}));
        ASSERT_TRUE(px.readUntilBytes(3 + 5));
        px.sendAll(k.reply);
        ASSERT_TRUE(cl.waitFor(Ev("SessionClosed", k.code))) << k.text << ": " << cl.joined();
        EXPECT_EQ(cl.errors, (std::vector<std::string>{k.text}));
        EXPECT_TRUE(cl.has(Ev("SessionConnected", k.code)));
    }
}

TEST_F(Scripted, ProxyClosingDuringSubNegotiationIsAnAuthFailure) {
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("u");
    c.s.SetSocksPassword("p");
    start("5");
    greet5(2);
    expectBytes(5);
    proxy->close();
    ASSERT_TRUE(c.waitFor("SessionClosed(0)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", Ev("AuthState", socksAuthStart), Ev("AuthState", socksAuthFailure),
                            "SessionClosed(0)"}));
}

TEST_F(Scripted, Socks4UnresolvableDestination) {
    // A name no resolver takes, refused before any lookup.
    start("4", std::string(300, 'h'), 25);
    ASSERT_TRUE(c.waitFor("SessionClosed(20017)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SocksError(20017)", "SessionConnected(20017)",
                            "SessionClosed(20017)"}));
    ASSERT_EQ(c.errors.size(), 1u);
    EXPECT_EQ(c.errors[0].rfind("ESocketException WSocketResolveHost: ", 0), 0u) << c.errors[0];
    EXPECT_TRUE(proxy->waitClosed());
    EXPECT_EQ(proxy->received(), "");
}

TEST_F(Scripted, Socks5LongestNameIsSentWhole) {
    const std::string host(255, 'a');
    start("5", host, 25);
    greet5(0);
    EXPECT_EQ(expectBytes(7 + 255), request5(host, 25));
}

TEST_F(Scripted, ConnectOnALiveConnectionLeavesItAlone) {
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    proxy->sendAll(ipv4Reply());
    ASSERT_TRUE(c.waitFor("SessionConnected(0)"));
    EXPECT_THROW(c.s.Connect(), ESocketException);
    proxy->sendAll("still here");
    ASSERT_TRUE(c.waitFor("Data(still here)")) << c.joined();
    EXPECT_TRUE(c.errors.empty());
}

TEST_F(Scripted, LineModeSplitsTheBytesBehindTheReply) {
    c.s.SetLineMode(true);
    start("5");
    greet5(0);
    expectBytes(7 + 9);
    proxy->sendAll(ipv4Reply() + "one\r\ntwo\r\nthr");
    ASSERT_TRUE(c.waitFor("Data(two\r\n)")) << c.joined();
    EXPECT_EQ(c.ev, (Events{"SocksConnected(0)", "SessionConnected(0)", "Data(one\r\n)", "Data(two\r\n)"}));
    proxy->sendAll("ee\r\n");
    ASSERT_TRUE(c.waitFor("Data(three\r\n)")) << c.joined();
}

// ---------------------------------------------------------------------------
// Setters and refusals

std::string RefusalText(const std::function<void()>& f) {
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(nothing)";
}

TEST(SocksSettings, LevelValues) {
    TWSocket s;
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksLevel("4");
    EXPECT_EQ(s.SocksLevel(), "4");
    EXPECT_EQ(RefusalText([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(RefusalText([&] { s.SetSocksLevel("5 "); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4");
    s.SetSocksServer("  proxy.example  ");
    EXPECT_EQ(s.SocksServer(), "proxy.example");
    s.SetSocksPort(" 1080 ");
    EXPECT_EQ(s.SocksPort(), "1080");
}

TEST(SocksSettings, RefusedWhileConnectedAndForListenAndUdp) {
    RawListener lst;
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(lst.port()));
    s.Connect();
    ASSERT_TRUE(stepUntil([&] { return s.State() == wsConnected; }));
    EXPECT_EQ(RefusalText([&] { s.SetSocksLevel("4"); }), "Can't change socks level if not closed");
    EXPECT_EQ(RefusalText([&] { s.SetSocksPort("1080"); }), "Can't change socks port if not closed");
    EXPECT_EQ(RefusalText([&] { s.SetSocksServer("127.0.0.1"); }), "Can't change socks server if not closed");
    // With OnError assigned the refusal goes there and the setter returns.
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    s.SetSocksLevel("4");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.SocksLevel(), "5");
    s.Close();

    TWSocket l;
    l.SetSocksServer("127.0.0.1");
    l.SetAddr("127.0.0.1");
    l.SetPort("0");
    EXPECT_EQ(RefusalText([&] { l.Listen(); }), "Listening is not supported thru socks server");
    EXPECT_EQ(l.State(), wsClosed);

    TWSocket u;
    u.SetSocksServer("127.0.0.1");
    u.SetSocksPort("1080");
    u.SetAddr("127.0.0.1");
    u.SetPort("53");
    u.SetProto("udp");
    EXPECT_EQ(RefusalText([&] { u.Connect(); }), "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(u.State(), wsClosed);
}

TEST(SocksSettings, OverlongNamesAndCredentialsRefusedForSocks5) {
    TWSocket s;
    auto prepare = [&](const std::string& addr) {
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort("1");
        s.SetAddr(addr);
        s.SetPort("25");
    };
    prepare(std::string(256, 'a'));
    EXPECT_EQ(RefusalText([&] { s.Connect(); }), "socks: host name longer than 255 characters");
    EXPECT_EQ(s.State(), wsClosed);
    prepare("127.0.0.1");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksUsercode(std::string(256, 'u'));
    EXPECT_EQ(RefusalText([&] { s.Connect(); }), "socks: user code or password longer than 255 characters");
    s.SetSocksUsercode("u");
    s.SetSocksPassword(std::string(300, 'p'));
    EXPECT_EQ(RefusalText([&] { s.Connect(); }), "socks: user code or password longer than 255 characters");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(SocksSettings, UnresolvableProxyAndCoreChecksFirst) {
    TWSocket s;
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("1080");
    EXPECT_EQ(RefusalText([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("25");
    EXPECT_EQ(RefusalText([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetSocksPort("");
    EXPECT_EQ(RefusalText([&] { s.Connect(); }).rfind("connect: WSocketResolvePort", 0), 0u);
    EXPECT_EQ(s.State(), wsClosed);
    // Without a proxy the same socket connects directly.
    RawListener lst;
    s.SetSocksServer("");
    s.SetPort(std::to_string(lst.port()));
    s.Connect();
    ASSERT_TRUE(stepUntil([&] { return s.State() == wsConnected; }));
    s.Close();
}

}  // namespace
