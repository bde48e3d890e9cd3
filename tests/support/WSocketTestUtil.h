// Helpers for the event-socket suites: a plain POSIX peer on loopback that
// the tests drive by hand, an event recorder, and a listening TWSocket that
// adopts each accepted connection into a TWSocket of its own.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "sockets/WSocket.h"
#include "support/TestSupport.h"

namespace wstest {

inline std::string Ev(const char* name, int a) { return std::string(name) + "(" + std::to_string(a) + ")"; }
inline std::string Ev(const char* name, TSocketState a, TSocketState b) {
    return std::string(name) + "(" + SocketStateName(a) + "," + SocketStateName(b) + ")";
}

// Records the socket's events as short texts, in order.
struct EventLog {
    std::vector<std::string> items;

    void attach(TCustomWSocket& s) {
        s.OnChangeState = [this](TCustomWSocket*, TSocketState o, TSocketState n) {
            items.push_back(Ev("ChangeState", o, n));
        };
        s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { items.push_back(Ev("SessionConnected", e)); };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { items.push_back(Ev("SessionClosed", e)); };
        s.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) { items.push_back(Ev("SessionAvailable", e)); };
        s.OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { items.push_back(Ev("DataSent", e)); };
        s.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { items.push_back(Ev("DnsLookupDone", e)); };
        s.OnError = [this](TCustomWSocket* x) { items.push_back(Ev("Error", x->LastError())); };
    }
    int count(const std::string& item) const {
        int n = 0;
        for (const auto& i : items) n += i == item;
        return n;
    }
    bool has(const std::string& item) const { return count(item) > 0; }
    std::string joined() const {
        std::string s;
        for (const auto& i : items) s += (s.empty() ? "" : " ") + i;
        return s;
    }
};

// A blocking-connect, then non-blocking, POSIX client. The loop is stepped
// while it waits, so the sockets under test keep running.
class RawPeer {
public:
    RawPeer() = default;
    explicit RawPeer(int port) { connectTo(port); }
    ~RawPeer() { close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connectTo(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        return true;
    }
    // Adopts a descriptor accepted by a RawListener.
    explicit RawPeer(int fd, bool) : fd_(fd) { ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK); }

    int fd() const { return fd_; }

    bool sendAll(const std::string& data, int timeoutMs = 10000) {
        std::size_t off = 0;
        return testsupport::stepUntil(
            [&] {
                while (off < data.size()) {
                    ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
                    if (n <= 0) return false;
                    off += static_cast<std::size_t>(n);
                }
                return true;
            },
            timeoutMs);
    }

    // Reads what is there now (non-blocking); sets closed() at end of stream.
    std::string readNow() {
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) eof_ = true;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) eof_ = true;
            break;
        }
        received_ += out;
        return out;
    }
    // Steps the loop until `bytes` bytes have come in total (or end of stream).
    // The descriptor is watched meanwhile, so the loop wakes when data comes.
    bool readUntilBytes(std::size_t bytes, int timeoutMs = 10000) {
        Watch w(*this);
        return testsupport::stepUntil(
            [&] {
                readNow();
                return received_.size() >= bytes || eof_;
            },
            timeoutMs) &&
               received_.size() >= bytes;
    }
    bool waitClosed(int timeoutMs = 10000) {
        Watch w(*this);
        return testsupport::stepUntil(
            [&] {
                readNow();
                return eof_;
            },
            timeoutMs);
    }
    const std::string& received() const { return received_; }
    bool closed() const { return eof_; }

    // Ends the connection with a reset instead of an orderly close.
    void reset() {
        if (fd_ < 0) return;
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    struct Watch {
        explicit Watch(RawPeer& p) : fd(p.fd_) {
            platform::loop().watchFd(fd, platform::FdIn | platform::FdRdHup, [&p](std::uint32_t) { p.readNow(); });
        }
        ~Watch() { platform::loop().unwatchFd(fd); }
        int fd;
    };

    int fd_ = -1;
    bool eof_ = false;
    std::string received_;
};

// A POSIX listening socket on 127.0.0.1 with a kernel-chosen port.
class RawListener {
public:
    RawListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~RawListener() { ::close(fd_); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    int port() const { return port_; }
    // Steps the loop until a connection comes; -1 on time-out.
    int accept(int timeoutMs = 5000) {
        int got = -1;
        testsupport::stepUntil(
            [&] {
                got = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                return got >= 0;
            },
            timeoutMs);
        return got;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A listening TWSocket on 127.0.0.1 that adopts every connection it is told
// about into a new TWSocket (Accept + Dup), as the servers do. `setup` runs
// on each session socket before Dup, so the test can wire its events.
class Acceptor {
public:
    std::unique_ptr<TWSocket> listener = std::make_unique<TWSocket>();
    std::vector<std::unique_ptr<TWSocket>> sessions;
    std::function<void(TWSocket&)> setup;
    int port = 0;

    bool start() {
        port = testsupport::freePort();
        listener->SetAddr("127.0.0.1");
        listener->SetPort(std::to_string(port));
        listener->SetProto("tcp");
        listener->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) {
            TSocket h = listener->Accept();
            if (h == platform::net::INVALID_SOCKET) return;
            auto s = std::make_unique<TWSocket>();
            if (setup) setup(*s);
            s->Dup(h);
            sessions.push_back(std::move(s));
        };
        listener->Listen();
        return listener->State() == wsListening;
    }
    bool waitSessions(std::size_t n, int timeoutMs = 5000) {
        return testsupport::stepUntil([&] { return sessions.size() >= n; }, timeoutMs);
    }
};

// Steps the loop until nothing is posted any more (bounded).
inline void drainLoop() {
    testsupport::stepUntil([] { return platform::loop().processMessages() == 0; }, 2000);
}

}  // namespace wstest
