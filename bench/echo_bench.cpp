// Echo benchmark of the event socket. The parent process runs an echo server
// on TWSocket (sessions adopted with Accept + Dup, read 1024 bytes a call,
// echoed with Send, released through a posted message, as the services do);
// a forked child is the load generator on plain epoll. Reported: round trips
// per second over N concurrent loopback connections, the server's peak RSS
// and RSS per connection, and the server loop's CPU time while every
// connection is open and idle.
//
//   echo_bench [--connections N] [--seconds S] [--idle S] [--payload BYTES]

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/MessageLoop.h"
#include "sockets/WSocket.h"

namespace {

struct Options {
    int connections = 10000;
    int seconds = 5;
    int idle = 5;
    int payload = 64;
};

double nowSec() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

long statusKb(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    std::size_t n = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, n, key) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
    return -1;
}

double cpuSec() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

void raiseFdLimit(int needed) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rlim_t want = static_cast<rlim_t>(needed);
    if (rl.rlim_cur < want) {
        // All the hard limit allows: the listener keeps a reserve free on top.
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur < want) {
        std::fprintf(stderr, "file-descriptor limit %lu is below the %d needed\n",
                     static_cast<unsigned long>(rl.rlim_cur), needed);
        std::exit(2);
    }
}

bool writeLine(int fd, const std::string& s) {
    std::string l = s + "\n";
    return ::write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

std::string readLine(int fd) {
    std::string s;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') s += c;
    return s;
}

// ---------------------------------------------------------------------------
// Load generator (child)

struct Conn {
    int fd = -1;
    bool connected = false;
    int got = 0;
};

int RunLoad(const Options& o, int port, int ctlIn, int ctlOut) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Conn> conns(static_cast<std::size_t>(o.connections));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<epoll_event> evs(1024);

    // Connect in batches so the listen queue never overflows into SYN retries.
    int connected = 0;
    const int batch = 500;
    for (int start = 0; start < o.connections; start += batch) {
        int end = std::min(o.connections, start + batch);
        for (int i = start; i < end; ++i) {
            Conn& c = conns[static_cast<std::size_t>(i)];
            c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.u32 = static_cast<std::uint32_t>(i);
            epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
        }
        while (connected < end) {
            int n = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 10000);
            if (n <= 0) {
                std::fprintf(stderr, "load: connect stalled at %d\n", connected);
                return 1;
            }
            for (int k = 0; k < n; ++k) {
                Conn& c = conns[evs[static_cast<std::size_t>(k)].data.u32];
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    std::fprintf(stderr, "load: connect failed: %s\n", std::strerror(err));
                    return 1;
                }
                c.connected = true;
                ++connected;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u32 = evs[static_cast<std::size_t>(k)].data.u32;
                epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
            }
        }
    }
    writeLine(ctlOut, "connected");
    if (readLine(ctlIn) != "go") return 1;

    // Round trips: every connection keeps one message in flight.
    std::string msg(static_cast<std::size_t>(o.payload), 'e');
    std::vector<char> buf(65536);
    long long trips = 0;
    int inFlight = 0;
    for (auto& c : conns) {
        if (::send(c.fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size())) ++inFlight;
    }
    const double t0 = nowSec();
    const double stopAt = t0 + o.seconds;
    bool running = true;
    double t1 = t0;
    while (inFlight > 0) {
        int n = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 2000);
        if (n <= 0) break;
        double now = nowSec();
        if (running && now >= stopAt) {
            running = false;
            t1 = now;
        }
        for (int k = 0; k < n; ++k) {
            Conn& c = conns[evs[static_cast<std::size_t>(k)].data.u32];
            ssize_t r = ::recv(c.fd, buf.data(), buf.size(), 0);
            if (r <= 0) continue;
            c.got += static_cast<int>(r);
            while (c.got >= o.payload) {
                c.got -= o.payload;
                --inFlight;
                if (running) {
                    ++trips;
                    if (::send(c.fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size()))
                        ++inFlight;
                }
            }
        }
    }
    if (running) t1 = nowSec();
    std::ostringstream res;
    res << "result " << trips << " " << (t1 - t0);
    writeLine(ctlOut, res.str());

    // Idle until told to end, then close everything.
    if (readLine(ctlIn) != "quit") return 1;
    for (auto& c : conns)
        if (c.fd >= 0) ::close(c.fd);
    ::close(ep);
    return 0;
}

// ---------------------------------------------------------------------------
// Echo server (parent)

class EchoServer {
public:
    static constexpr unsigned WM_RELEASE_SESSION = platform::WM_USER + 200;

    EchoServer() {
        wnd_ = platform::loop().createWindow([this](platform::Message& m) {
            if (m.msg == WM_RELEASE_SESSION) sessions_.erase(reinterpret_cast<TWSocket*>(m.wParam));
        });
        listener_.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) { AcceptOne(); };
        listener_.OnError = [](TCustomWSocket* s) { std::fprintf(stderr, "listener error %d\n", s->LastError()); };
    }
    ~EchoServer() {
        sessions_.clear();
        platform::loop().destroyWindow(wnd_);
    }

    int Start() {
        listener_.SetAddr("127.0.0.1");
        listener_.SetPort("0");
        listener_.SetProto("tcp");
        listener_.Listen();
        return listener_.State() == wsListening ? std::atoi(listener_.GetBoundPort().c_str()) : -1;
    }
    std::size_t Sessions() const { return sessions_.size(); }
    std::function<void()> OnCountChanged;

private:
    void AcceptOne() {
        TSocket h = listener_.Accept();
        if (h == platform::net::INVALID_SOCKET) return;
        auto s = std::make_unique<TWSocket>();
        s->OnDataAvailable = [](TCustomWSocket* x, std::uint16_t) {
            char buf[1024];
            int n = x->Receive(buf, sizeof buf);
            if (n > 0) x->Send(buf, n);
        };
        s->OnSessionClosed = [this](TCustomWSocket* x, std::uint16_t) {
            platform::loop().post(wnd_, WM_RELEASE_SESSION, reinterpret_cast<std::intptr_t>(x));
        };
        s->OnError = [](TCustomWSocket*) {};
        s->Dup(h);
        TWSocket* key = s.get();
        sessions_.emplace(key, std::move(s));
        if (OnCountChanged) OnCountChanged();
    }

    TWSocket listener_;
    platform::HWND wnd_ = platform::NullWindow;
    std::unordered_map<TWSocket*, std::unique_ptr<TWSocket>> sessions_;
};

int Run(const Options& o) {
    raiseFdLimit(o.connections + 64);
    auto& loop = platform::loop();

    int toChild[2], toParent[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(toParent, O_CLOEXEC) != 0) return 1;

    auto server = std::make_unique<EchoServer>();
    int port = server->Start();
    if (port <= 0) return 1;
    const long rssBase = statusKb("VmRSS:");

    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(toChild[1]);
        ::close(toParent[0]);
        std::_Exit(RunLoad(o, port, toChild[0], toParent[1]));
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    const int ctlIn = toParent[0], ctlOut = toChild[1];

    enum Phase { Connecting, Trips, Idle, Closing } phase = Connecting;
    bool childConnected = false;
    long rssConnected = 0;
    long long trips = 0;
    double tripSecs = 0, tripCpu = 0, idleCpu = 0, idleSecs = 0;
    double cpuMark = 0, wallMark = 0;
    platform::Timer idleTimer;
    idleTimer.setEnabled(false);
    idleTimer.setInterval(static_cast<unsigned>(o.idle * 1000));

    // At the end the sessions are released through posted messages; a short
    // timer, on only then, sees the count reach zero.
    platform::Timer closeCheck;
    closeCheck.setEnabled(false);
    closeCheck.setInterval(100);
    closeCheck.OnTimer = [&] {
        if (server->Sessions() == 0) loop.quit();
    };

    auto maybeGo = [&] {
        if (phase != Connecting || !childConnected || server->Sessions() < static_cast<std::size_t>(o.connections))
            return;
        rssConnected = statusKb("VmRSS:");
        phase = Trips;
        cpuMark = cpuSec();
        writeLine(ctlOut, "go");
    };
    server->OnCountChanged = [&] {
        if (phase == Connecting)
            maybeGo();
        else if (phase == Closing && server->Sessions() == 0)
            loop.quit();
    };
    idleTimer.OnTimer = [&] {
        idleTimer.setEnabled(false);
        idleCpu = cpuSec() - cpuMark;
        idleSecs = nowSec() - wallMark;
        phase = Closing;
        closeCheck.setEnabled(true);
        writeLine(ctlOut, "quit");
    };
    std::string ctlBuf;
    loop.watchFd(ctlIn, platform::FdIn, [&](std::uint32_t) {
        char b[256];
        ssize_t n = ::read(ctlIn, b, sizeof b);
        if (n <= 0) {
            loop.unwatchFd(ctlIn);
            if (phase != Closing) loop.quit();
            return;
        }
        ctlBuf.append(b, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = ctlBuf.find('\n')) != std::string::npos) {
            std::string line = ctlBuf.substr(0, nl);
            ctlBuf.erase(0, nl + 1);
            if (line == "connected") {
                childConnected = true;
                maybeGo();
            } else if (line.rfind("result ", 0) == 0) {
                std::istringstream in(line.substr(7));
                in >> trips >> tripSecs;
                tripCpu = cpuSec() - cpuMark;
                // Idle: every connection open, nothing moving.
                phase = Idle;
                cpuMark = cpuSec();
                wallMark = nowSec();
                idleTimer.setEnabled(true);
            }
        }
    });

    const double start = nowSec();
    loop.run();
    loop.unwatchFd(ctlIn);
    const long rssPeak = statusKb("VmHWM:");
    int status = 0;
    ::waitpid(pid, &status, 0);

    std::printf("connections            %d (payload %d bytes, one message in flight each)\n", o.connections,
                o.payload);
    std::printf("round trips            %lld in %.2f s = %.0f per second\n", trips, tripSecs,
                tripSecs > 0 ? trips / tripSecs : 0.0);
    std::printf("server CPU, load       %.2f s (%.1f us per round trip)\n", tripCpu,
                trips > 0 ? tripCpu * 1e6 / static_cast<double>(trips) : 0.0);
    std::printf("RSS before / connected %ld kB / %ld kB\n", rssBase, rssConnected);
    std::printf("RSS per connection     %.2f kB\n",
                static_cast<double>(rssConnected - rssBase) / std::max(1, o.connections));
    std::printf("peak RSS               %ld kB\n", rssPeak);
    std::printf("server CPU, idle       %.3f s over %.2f s with every connection open\n", idleCpu, idleSecs);
    std::printf("total wall time        %.2f s; load generator exit %d\n", nowSec() - start,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    server.reset();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && trips > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        int v = std::atoi(argv[i + 1]);
        if (k == "--connections") o.connections = v;
        else if (k == "--seconds") o.seconds = v;
        else if (k == "--idle") o.idle = v;
        else if (k == "--payload") o.payload = v;
        else {
            std::fprintf(stderr, "usage: echo_bench [--connections N] [--seconds S] [--idle S] [--payload BYTES]\n");
            return 2;
        }
    }
    if (o.connections < 1 || o.seconds < 1 || o.idle < 1 || o.payload < 1) return 2;
    return Run(o);
}
