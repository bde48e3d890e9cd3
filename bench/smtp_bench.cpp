// Load generator for the SMTP server. The server runs in this process on the
// message loop; the clients run in a forked child (threads with blocking
// sockets), so the server's resident size is measured alone.
//
//   smtp_bench [seconds-per-run] [idle-sessions] [messages]
//
// With "messages" as the third argument only the message runs are made (the
// quick check of the delivery path).
//
// Runs, each against the same in-process server:
//   - baseline: C clients doing NOOP round trips on one authenticated session
//     each (the dialogue without delivery), and the rate of durable 2 KB file
//     writes on this disk (the storage floor of one delivery);
//   - C = 1, 10, 100 concurrent sessions, each repeating connect, EHLO, AUTH
//     LOGIN, MAIL, RCPT to a local user, DATA of a 2 KB message, QUIT: messages
//     per second and p50/p99 of one whole transaction;
//   - N idle authenticated sessions held open: resident size per session.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
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
#include <string>
#include <thread>
#include <vector>

#include "Base64.h"
#include "DataU1.h"
#include "SmtpServer.h"
#include "platform/DurableFile.h"
#include "platform/MessageLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

// A "Vm...:" figure of /proc/self/status in KB.
long statusKb(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
    return 0;
}
long rssKb() { return statusKb("VmRSS:"); }
long peakRssKb() { return statusKb("VmHWM:"); }

// --- client side (runs in the child) ---------------------------------------

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
        while (done < s.size()) {
            ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                ok_ = false;
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    // The code of one whole reply; 0 when the connection ended.
    int reply() {
        for (;;) {
            std::size_t eol;
            while ((eol = in_.find("\r\n")) != std::string::npos) {
                std::string line = in_.substr(0, eol);
                in_.erase(0, eol + 2);
                if (line.size() >= 4 && line[3] == '-') continue;
                return std::atoi(line.c_str());
            }
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                ok_ = false;
                return 0;
            }
            in_.append(buf, static_cast<std::size_t>(n));
        }
    }
    int cmd(const std::string& line) {
        send(line + "\r\n");
        return reply();
    }
    bool login() {
        return reply() == 220 && cmd("EHLO bench.client") == 250 && cmd("AUTH LOGIN") == 334 &&
               cmd(Base64Encode("bench")) == 334 && cmd(Base64Encode("pw")) == 235;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::string in_;
};

std::string message2k() {
    std::string m = "From: bench@local.test\r\nTo: bench@local.test\r\nSubject: load\r\n\r\n";
    while (m.size() < 2048) m += "The quick brown fox jumps over the lazy dog, 0123456789 abcdefghij\r\n";
    return m;
}

struct RunResult {
    long count = 0;
    double seconds = 0;
    double p50 = 0, p99 = 0;  // ms
    long failures = 0;
};

RunResult runMessages(int port, int clients, double seconds) {
    const std::string body = message2k();
    std::vector<std::vector<double>> lat(clients);
    std::vector<long> fails(clients);
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    const auto start = Clock::now();
    std::vector<std::thread> th;
    for (int i = 0; i < clients; ++i)
        th.emplace_back([&, i] {
            while (Clock::now() < until) {
                auto t0 = Clock::now();
                Conn c(port);
                bool ok = c.ok() && c.login() && c.cmd("MAIL FROM:<bench@local.test>") == 250 &&
                          c.cmd("RCPT TO:<bench@local.test>") == 250 && c.cmd("DATA") == 354;
                if (ok) {
                    c.send(body + ".\r\n");
                    ok = c.reply() == 250 && c.cmd("QUIT") == 221;
                }
                if (!ok) {
                    ++fails[i];
                    continue;
                }
                lat[i].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
        });
    for (auto& t : th) t.join();
    RunResult r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (int i = 0; i < clients; ++i) {
        all.insert(all.end(), lat[i].begin(), lat[i].end());
        r.failures += fails[i];
    }
    std::sort(all.begin(), all.end());
    r.count = static_cast<long>(all.size());
    if (!all.empty()) {
        r.p50 = all[all.size() / 2];
        r.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return r;
}

RunResult runNoops(int port, int clients, double seconds) {
    std::vector<long> counts(clients);
    std::vector<std::vector<double>> lat(clients);
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    const auto start = Clock::now();
    std::vector<std::thread> th;
    for (int i = 0; i < clients; ++i)
        th.emplace_back([&, i] {
            Conn c(port);
            if (!c.ok() || !c.login()) return;
            while (Clock::now() < until) {
                auto t0 = Clock::now();
                if (c.cmd("NOOP") != 250) return;
                lat[i].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
            c.cmd("QUIT");
        });
    for (auto& t : th) t.join();
    RunResult r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& l : lat) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    r.count = static_cast<long>(all.size());
    if (!all.empty()) {
        r.p50 = all[all.size() / 2];
        r.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return r;
}

void print(const char* name, int clients, const RunResult& r, const char* unit) {
    std::printf("%-22s C=%-4d %9.0f %s/s  p50 %7.3f ms  p99 %7.3f ms  (%ld in %.1f s, %ld failed)\n", name, clients,
                r.count / r.seconds, unit, r.p50, r.p99, r.count, r.seconds, r.failures);
    std::fflush(stdout);
}

// The child: every run, reporting to stdout; "idle" waits on the control pipe.
int clientMain(int port, double seconds, int idle, bool messagesOnly, int readyFd, int goFd) {
    if (!messagesOnly)
        for (int c : {1, 10, 100}) print("noop round trips", c, runNoops(port, c, seconds), "rt ");
    for (int c : {1, 10, 20, 100}) print("messages", c, runMessages(port, c, seconds), "msg");

    // Tell the server side that the load runs are over, and wait for its
    // measurement of the resident size before the idle sessions.
    char b = 'L';
    if (::write(readyFd, &b, 1) != 1 || ::read(goFd, &b, 1) != 1) return 1;
    std::vector<std::unique_ptr<Conn>> held;
    held.reserve(static_cast<std::size_t>(idle));
    for (int i = 0; i < idle; ++i) {
        auto c = std::make_unique<Conn>(port);
        if (!c->ok() || !c->login()) {
            std::printf("idle session %d failed to log in\n", i);
            break;
        }
        held.push_back(std::move(c));
    }
    b = static_cast<char>(held.size() == static_cast<std::size_t>(idle) ? 'y' : 'n');
    if (::write(readyFd, &b, 1) != 1) return 1;
    if (::read(goFd, &b, 1) != 1) return 1;
    held.clear();
    return 0;
}

// --- the storage floor -------------------------------------------------------

void durableWrites(const std::string& folder, double seconds) {
    const std::string data = message2k();
    long n = 0;
    const auto start = Clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        platform::DurableFile f(folder);
        if (!f.write(data) || !f.commitNew(folder + "w" + std::to_string(n) + ".txt")) break;
        ++n;
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-22s        %9.0f wr /s  (%ld durable 2 KB files in %.1f s)\n", "storage floor", n / s, n, s);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int idle = argc > 2 ? std::atoi(argv[2]) : 10000;
    const bool messagesOnly = argc > 3 && std::strcmp(argv[3], "messages") == 0;

    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < static_cast<rlim_t>(idle) + 200) {
        std::fprintf(stderr, "file descriptor limit %lu is too low for %d idle sessions\n",
                     static_cast<unsigned long>(rl.rlim_cur), idle);
        return 1;
    }

    char tmpl[] = "/tmp/tavrin-smtp-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string base = std::string(tmpl) + "/";
    setenv("XDG_DATA_HOME", base.c_str(), 1);
    ServerInformation = std::make_unique<TServerInformation>();
    auto& si = *ServerInformation;
    si.ServerName = "mail.test";
    si.LocalDomains = {"local.test"};
    si.SmtpBindAddress = "127.0.0.1";
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        si.SmtpListenPort = ntohs(a.sin_port);
    }
    TPop3UserInformation user;
    user.Password = "pw";
    user.SaveUser("bench");

    std::printf("SMTP server benchmark, %.1f s per run, %u CPUs\n", seconds, std::thread::hardware_concurrency());
    durableWrites(base, seconds);

    TSmtpServer server;
    server.Start();
    if (!server.IsListening()) {
        std::fprintf(stderr, "server did not listen\n");
        return 1;
    }
    std::fflush(stdout);

    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        _exit(clientMain(si.SmtpListenPort, seconds, idle, messagesOnly, ready[1], go[0]));
    }
    ::close(ready[1]);
    ::close(go[0]);

    auto& loop = platform::loop();
    char flag = 0;
    platform::loop().watchFd(ready[0], platform::FdIn, [&](std::uint32_t) {
        if (::read(ready[0], &flag, 1) != 1) flag = 'x';
    });
    auto await = [&](char what) {
        loop.runUntil([&] { return flag == what || flag == 'x' || (what == 'y' && flag == 'n'); }, 3600 * 1000);
    };
    await('L');
    // The server after the load runs, with every session gone.
    loop.runUntil([&] { return server.ConnectionCount() == 0; }, 60 * 1000);
    const long peakAfterLoad = peakRssKb();
    const long before = rssKb();
    char b = 'I';
    if (::write(go[1], &b, 1) != 1) return 1;
    await('y');
    loop.unwatchFd(ready[0]);
    const int held = server.ConnectionCount();
    const long with = rssKb();
    std::printf("%-22s        %d sessions: RSS %ld KB -> %ld KB, %.2f KB per session%s\n", "idle sessions", held,
                before, with, held ? double(with - before) / held : 0.0, flag == 'y' ? "" : " (not all logged in)");
    std::printf("%-22s        %ld KB (load runs), %ld KB (with idle sessions)\n", "server peak RSS", peakAfterLoad,
                peakRssKb());
    b = 'g';
    if (::write(go[1], &b, 1) != 1) return 1;
    int status = 0;
    loop.runUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 600 * 1000);
    loop.runUntil([&] { return server.ConnectionCount() == 0; }, 60 * 1000);
    server.Shutdown();
    ServerInformation.reset();
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    return 0;
}
