// Load generator for the POP3 server. The server runs in this process on the
// message loop; the clients run in a forked child (threads with blocking
// sockets), so the server's resident size is measured alone.
//
//   pop3_bench [logins-per-client] [retr-window]
//   pop3_bench filework     (file work beside an unrelated client: below)
//
// Setup: a mailbox of 1,000 messages of 10 KB filled through the store, and
// 49 more users whose folders hold hard links to the same files, so that 50
// clients can log in at once without meeting each other's mailbox lock.
// Each phase runs against the POP3 server and, in the same run, against a
// baseline: a server on the same event socket and loop that answers every
// line with "+OK" and RETR with a 10 KB message held in memory (the
// dialogue's cost without the store).
//   - logins per second, USER/PASS/QUIT, with 1 and with 50 clients at once;
//   - RETR of all 1,000 messages by one client (five passes, retr-window
//     commands in flight, 16 unless given; 1 waits for each answer before the
//     next command, which shows the cost of one reply's way out): MB/s of
//     message text;
//   - peak resident size of the server process.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DataU1.h"
#include "Pop3Server.h"
#include "platform/MessageLoop.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kMessages = 1000;
constexpr int kUsers = 50;
constexpr int kRetrPasses = 5;
int g_retrWindow = 16;

long statusKb(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
    return 0;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// --- client side (runs in the child) -------------------------------------------

class Conn {
public:
    explicit Conn(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Conn() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }
    void send(const std::string& s) {
        std::size_t done = 0;
        while (ok_ && done < s.size()) {
            ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) ok_ = false;
            else done += static_cast<std::size_t>(n);
        }
    }
    // One line without CR LF; "" when the connection failed.
    std::string line() {
        for (;;) {
            std::size_t p = buf_.find("\r\n", pos_);
            if (p != std::string::npos) {
                std::string l = buf_.substr(pos_, p - pos_);
                pos_ = p + 2;
                compact();
                return l;
            }
            if (!fill()) return {};
        }
    }
    // The body of a multi-line answer; its size in bytes (-1 on failure).
    long body() {
        std::size_t scanned = pos_;
        for (;;) {
            if (buf_.compare(pos_, 3, ".\r\n") == 0) {
                pos_ += 3;
                compact();
                return 0;
            }
            std::size_t p = buf_.find("\r\n.\r\n", scanned > pos_ + 2 ? scanned - 2 : pos_);
            if (p != std::string::npos) {
                long n = static_cast<long>(p + 2 - pos_);
                pos_ = p + 5;
                compact();
                return n;
            }
            scanned = buf_.size();
            if (!fill()) return -1;
        }
    }
    bool waitClosed() {
        while (fill()) {
        }
        return true;
    }

private:
    bool fill() {
        char tmp[65536];
        ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) {
            ok_ = false;
            return false;
        }
        buf_.append(tmp, static_cast<std::size_t>(n));
        return true;
    }
    void compact() {
        if (pos_ > 65536) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    std::string buf_;
    std::size_t pos_ = 0;
};

bool loginOnce(int port, const std::string& user) {
    Conn c(port);
    if (!c.ok() || c.line().compare(0, 3, "+OK") != 0) return false;
    c.send("USER " + user + "\r\n");
    if (c.line().compare(0, 3, "+OK") != 0) return false;
    c.send("PASS pw\r\n");
    if (c.line().compare(0, 3, "+OK") != 0) return false;
    c.send("QUIT\r\n");
    if (c.line().compare(0, 3, "+OK") != 0) return false;
    return c.waitClosed();
}

struct Result {
    double logins1 = 0, logins50 = 0, retrMBs = 0;
    long failures = 0;
};

double loginRate(int port, int clients, int perClient, std::atomic<long>& failures) {
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            const std::string user = "bench" + std::to_string(t);
            for (int i = 0; i < perClient; ++i)
                if (!loginOnce(port, user)) ++failures;
        });
    }
    for (auto& t : threads) t.join();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return clients * perClient / s;
}

double retrRate(int port, std::atomic<long>& failures) {
    Conn c(port);
    c.line();
    c.send("USER bench0\r\n");
    c.line();
    c.send("PASS pw\r\n");
    c.line();
    auto t0 = Clock::now();
    long bytes = 0;
    // Pipelined in windows of 16 by default, as a fetching client may do.
    // Five passes over the mailbox, so that one run lasts long enough to time.
    const int total = kRetrPasses * kMessages;
    int sent = 0, got = 0;
    while (got < total) {
        while (sent < total && sent - got < g_retrWindow) c.send("RETR " + std::to_string(sent++ % kMessages + 1) + "\r\n");
        if (c.line().compare(0, 3, "+OK") != 0) {
            ++failures;
            break;
        }
        long n = c.body();
        if (n < 0) {
            ++failures;
            break;
        }
        bytes += n;
        ++got;
    }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    c.send("QUIT\r\n");
    c.line();
    return bytes / s / 1e6;
}

Result runClients(int port, int perClient) {
    std::atomic<long> failures{0};
    Result r;
    r.logins1 = loginRate(port, 1, perClient * 5, failures);
    r.logins50 = loginRate(port, kUsers, perClient, failures);
    r.retrMBs = retrRate(port, failures);
    r.failures = failures;
    return r;
}

// Runs the clients in a child while this process serves; false on failure.
bool measure(int port, int perClient, Result& out, const std::function<void()>& between = {}) {
    int pipeFd[2];
    if (::pipe(pipeFd) != 0) return false;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFd[0]);
        Result r = runClients(port, perClient);
        ssize_t w = ::write(pipeFd[1], &r, sizeof r);
        _exit(w == sizeof r ? 0 : 1);
    }
    ::close(pipeFd[1]);
    int status = 0;
    bool exited = false;
    platform::loop().runUntil(
        [&] {
            if (between) between();
            exited = ::waitpid(pid, &status, WNOHANG) == pid;
            return exited;
        },
        30 * 60 * 1000);
    bool ok = exited && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
              ::read(pipeFd[0], &out, sizeof out) == sizeof out;
    ::close(pipeFd[0]);
    return ok;
}

// --- the baseline server ---------------------------------------------------------

class BaselineServer {
public:
    explicit BaselineServer(const std::string& message) : message_(message) {
        listener_.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) {
            auto s = std::make_unique<Session>();
            Session* raw = s.get();
            raw->socket.OnDataAvailable = [this, raw](TCustomWSocket*, std::uint16_t) { onData(*raw); };
            sessions_.push_back(std::move(s));
            raw->socket.Dup(listener_.Accept());
            raw->socket.SendStr("+OK ready\r\n");
        };
    }
    void start(int port) {
        listener_.SetAddr("127.0.0.1");
        listener_.SetPort(std::to_string(port));
        listener_.SetProto("TCP");
        listener_.Listen();
    }
    // Frees closed sessions; called from outside every event.
    void reap() {
        std::erase_if(sessions_, [](const std::unique_ptr<Session>& s) { return s->socket.State() == wsClosed; });
    }

private:
    struct Session {
        TWSocket socket;
        std::string buf;
    };
    void onData(Session& s) {
        char tmp[1024];
        int n = s.socket.Receive(tmp, sizeof tmp);
        if (n > 0) s.buf.append(tmp, static_cast<std::size_t>(n));
        std::size_t p;
        while ((p = s.buf.find("\r\n")) != std::string::npos) {
            std::string line = s.buf.substr(0, p);
            s.buf.erase(0, p + 2);
            if (line.compare(0, 4, "RETR") == 0) {
                s.socket.SendStr("+OK\r\n" + message_ + ".\r\n");
            } else if (line == "QUIT") {
                s.socket.SendStr("+OK bye\r\n");
                s.socket.Close();
                return;
            } else {
                s.socket.SendStr("+OK\r\n");
            }
        }
    }
    std::string message_;
    TWSocket listener_;
    std::vector<std::unique_ptr<Session>> sessions_;
};


// --- file work beside an unrelated client (pop3_bench filework) ------------------
//
// One client QUITs after DELE of 2,000 messages of 20 KB; then 8 clients RETR
// a 20 MB message each, every file dropped from the page cache first. Another
// user's client sends NOOP after NOOP all the while: its slowest answer during
// each phase is how long the loop's thread was kept from it. Last, the rate
// of one client's RETR of those messages once they are in the page cache.

constexpr int kQuitMessages = 2000;
constexpr int kColdClients = 8;
constexpr std::size_t kColdSize = 20u * 1024 * 1024;

struct FileWorkResult {
    double quitMs = 0, quitWorstNoopMs = 0;
    double coldMs = 0, coldWorstNoopMs = 0;
    double warmMBs = 0;
    long noops = 0, failures = 0;
};

bool login(Conn& c, const std::string& user) {
    if (c.line().compare(0, 3, "+OK") != 0) return false;
    c.send("USER " + user + "\r\n");
    if (c.line().compare(0, 3, "+OK") != 0) return false;
    c.send("PASS pw\r\n");
    return c.line().compare(0, 3, "+OK") == 0;
}

// Runs work() while the watcher NOOPs; returns work's time and the slowest
// NOOP answer in ms.
void beside(int port, FileWorkResult& r, const std::function<bool()>& work, double& workMs, double& worstMs) {
    Conn w(port);
    if (!login(w, "watcher")) {
        ++r.failures;
        return;
    }
    std::atomic<bool> done{false};
    double worst = 0;
    std::thread watcher([&] {
        while (!done) {
            const auto t = Clock::now();
            w.send("NOOP\r\n");
            if (w.line() != "+OK") {
                std::fprintf(stderr, "NOOP failed\n");
                ++r.failures;
                return;
            }
            worst = std::max(worst, std::chrono::duration<double, std::milli>(Clock::now() - t).count());
            ++r.noops;
        }
    });
    const auto t0 = Clock::now();
    if (!work()) {
        std::fprintf(stderr, "a phase failed\n");
        ++r.failures;
    }
    workMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    done = true;
    watcher.join();
    worstMs = worst;
    w.send("QUIT\r\n");
    w.line();
}

FileWorkResult runFileWorkClients(int port) {
    FileWorkResult r;
    Conn q(port);
    if (!login(q, "quitter")) ++r.failures;
    std::string dele;
    for (int i = 1; i <= kQuitMessages; ++i) dele += "DELE " + std::to_string(i) + "\r\n";
    q.send(dele);
    for (int i = 1; i <= kQuitMessages; ++i)
        if (q.line().compare(0, 3, "+OK") != 0) ++r.failures;
    beside(
        port, r,
        [&] {
            q.send("QUIT\r\n");
            return q.line() == "+OK " + std::to_string(kQuitMessages) + " Messages Deleted.  Bye.";
        },
        r.quitMs, r.quitWorstNoopMs);
    beside(
        port, r,
        [&] {
            std::vector<std::thread> readers;
            std::atomic<int> bad{0};
            for (int i = 0; i < kColdClients; ++i)
                readers.emplace_back([&, i] {
                    Conn c(port);
                    if (!login(c, "cold" + std::to_string(i))) return void(++bad);
                    c.send("RETR 1\r\n");
                    if (c.line().compare(0, 3, "+OK") != 0 || c.body() < static_cast<long>(kColdSize) - 1024) ++bad;
                    c.send("QUIT\r\n");
                    c.line();
                });
            for (auto& t : readers) t.join();
            return bad == 0;
        },
        r.coldMs, r.coldWorstNoopMs);
    // The same messages again, now in the page cache, one client at a time.
    const auto t0 = Clock::now();
    long bytes = 0;
    for (int i = 0; i < kColdClients; ++i) {
        Conn c(port);
        if (!login(c, "cold" + std::to_string(i))) ++r.failures;
        c.send("RETR 1\r\n");
        c.line();
        bytes += c.body();
        c.send("QUIT\r\n");
        c.line();
    }
    r.warmMBs = bytes / std::chrono::duration<double>(Clock::now() - t0).count() / 1e6;
    return r;
}

// A private data folder and settings for a POP3 server on loopback; empty
// when the folder cannot be made.
std::string benchHome() {
    char tmpl[] = "/tmp/pop3-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return {};
    ::setenv("XDG_DATA_HOME", tmpl, 1);
    ServerInformation = std::make_unique<TServerInformation>();
    ServerInformation->Pop3BindAddress = "127.0.0.1";
    ServerInformation->Pop3ListenPort = freePort();
    ServerInformation->ServerName = "bench.test";
    return tmpl;
}

void writeMessage(const std::string& path, std::size_t size) {
    std::string text = "Subject: file work\r\n\r\n";
    while (text.size() + 76 <= size) text += std::string(74, 'x') + "\r\n";
    std::ofstream(path, std::ios::binary) << text;
}

int fileWorkMain() {
    const std::string home = benchHome();
    if (home.empty()) return 1;
    TServerInformation& si = *ServerInformation;
    std::vector<std::string> users{"quitter", "watcher"};
    for (int i = 0; i < kColdClients; ++i) users.push_back("cold" + std::to_string(i));
    for (const auto& u : users) {
        TPop3UserInformation user;
        user.Password = "pw";
        user.SaveUser(u);
    }
    char name[32];
    for (int i = 0; i < kQuitMessages; ++i) {
        std::snprintf(name, sizeof name, "m%05d.txt", i);
        writeMessage(si.MailBoxPath + "quitter/" + name, 20 * 1024);
    }
    std::vector<std::string> cold;
    for (int i = 0; i < kColdClients; ++i) {
        cold.push_back(si.MailBoxPath + "cold" + std::to_string(i) + "/big.txt");
        writeMessage(cold.back(), kColdSize);
    }
    ::sync();
    // The big messages come from the disk, not from memory.
    for (const auto& path : cold) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }

    TPop3Server server;
    server.Start();
    int pipeFd[2];
    if (!server.IsListening() || ::pipe(pipeFd) != 0) return 1;
    const int port = si.Pop3ListenPort;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFd[0]);
        const FileWorkResult r = runFileWorkClients(port);
        _exit(::write(pipeFd[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    ::close(pipeFd[1]);
    int status = 0;
    platform::loop().runUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30 * 60 * 1000);
    FileWorkResult r;
    const bool ok = ::read(pipeFd[0], &r, sizeof r) == sizeof r;
    server.Shutdown();
    std::printf("QUIT deleting %d x 20 KB: %.1f ms; worst NOOP beside it %.2f ms\n", kQuitMessages, r.quitMs,
                r.quitWorstNoopMs);
    std::printf("%d clients RETR of 20 MB, not cached: %.1f ms; worst NOOP beside them %.2f ms\n", kColdClients,
                r.coldMs, r.coldWorstNoopMs);
    std::printf("one client RETR of 20 MB from the page cache: %.0f MB/s\n", r.warmMBs);
    std::printf("NOOPs answered: %ld; failures: %ld\n", r.noops, r.failures);
    ServerInformation.reset();
    fs::remove_all(home);
    return ok && r.failures == 0 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "filework") return fileWorkMain();
    const int perClient = argc > 1 ? std::atoi(argv[1]) : 40;
    if (argc > 2) g_retrWindow = std::max(1, std::atoi(argv[2]));
    const std::string home = benchHome();
    if (home.empty()) return 1;
    TServerInformation& si = *ServerInformation;

    // 10 KB of 76-byte lines (74 characters and CR LF), a few starting with ".".
    std::vector<std::string> lines{"From: bench@bench.test", "Subject: benchmark message", ""};
    std::size_t size = 0;
    for (const auto& l : lines) size += l.size() + 2;
    for (int i = 0; size + 76 <= 10240; ++i) {
        std::string l = (i % 20 == 0 ? "." : "x") + std::string(73, static_cast<char>('a' + i % 26));
        size += l.size() + 2;
        lines.push_back(l);
    }
    std::string message;  // the baseline's copy, as sent on the wire
    for (const auto& l : lines) message += (l[0] == '.' ? "." : "") + l + "\r\n";

    auto t0 = Clock::now();
    for (int u = 0; u < kUsers; ++u) {
        TPop3UserInformation user;
        user.Password = "pw";
        user.SaveUser("bench" + std::to_string(u));
    }
    TPop3UserInformation owner;
    owner.LoadUser("bench0");
    for (int i = 0; i < kMessages; ++i) owner.StoreMessage("bench", lines);
    const std::string first = si.MailBoxPath + "bench0/";
    for (const auto& e : fs::directory_iterator(first)) {
        if (!e.is_regular_file() || e.path().extension() == ".ini") continue;
        for (int u = 1; u < kUsers; ++u)
            fs::create_hard_link(e.path(), si.MailBoxPath + "bench" + std::to_string(u) + "/" +
                                               e.path().filename().string());
    }
    const double setupS = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("setup: %d messages of %zu bytes stored in %.1f s; %d users\n", kMessages, size, setupS, kUsers);

    const long rssBefore = statusKb("VmRSS:");
    Result base, pop3;
    {
        BaselineServer baseline(message);
        const int basePort = freePort();
        baseline.start(basePort);
        if (!measure(basePort, perClient, base, [&] { baseline.reap(); })) {
            std::fprintf(stderr, "baseline run failed\n");
            return 1;
        }
        baseline.reap();
    }
    {
        TPop3Server server;
        server.Start();
        if (!server.IsListening()) {
            std::fprintf(stderr, "POP3 server did not start\n");
            return 1;
        }
        if (!measure(si.Pop3ListenPort, perClient, pop3)) {
            std::fprintf(stderr, "POP3 run failed\n");
            return 1;
        }
        server.Shutdown();
    }
    const long peak = statusKb("VmHWM:");

    std::printf("%-28s %12s %12s %8s\n", "", "baseline", "POP3", "ratio");
    std::printf("%-28s %12.0f %12.0f %8.2f\n", "logins/s, 1 client", base.logins1, pop3.logins1,
                pop3.logins1 / base.logins1);
    std::printf("%-28s %12.0f %12.0f %8.2f\n", "logins/s, 50 clients", base.logins50, pop3.logins50,
                pop3.logins50 / base.logins50);
    std::printf("%-28s %12.1f %12.1f %8.2f\n", "RETR MB/s (1,000 x 10 KB)", base.retrMBs, pop3.retrMBs,
                pop3.retrMBs / base.retrMBs);
    std::printf("failures: baseline %ld, POP3 %ld\n", base.failures, pop3.failures);
    std::printf("server RSS: %ld KB before the runs, peak %ld KB\n", rssBefore, peak);

    ServerInformation.reset();
    fs::remove_all(home);
    return base.failures + pop3.failures == 0 ? 0 : 1;
}
