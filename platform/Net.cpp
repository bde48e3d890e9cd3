// WinSock-style sockets over POSIX. Each SOCKET id maps to one descriptor;
// the WSAAsyncSelect emulation keeps per-socket "may notify again" flags and
// narrows the epoll interest to what can still be reported, which is what
// keeps an unread socket from spinning the loop.
#include "Net.h"

#include "Descriptors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <strings.h>
#include <thread>
#include <unordered_map>

namespace platform::net {

namespace {

thread_local int t_lastError = 0;

struct Sock {
    int fd = -1;
    int type = SOCK_STREAM;
    HWND wnd = NullWindow;
    unsigned msg = 0;
    long mask = 0;
    bool listening = false;
    bool connectPending = false;
    bool connected = false;
    bool readEnabled = true;
    bool acceptEnabled = true;
    bool writeEnabled = false;
    bool closeNotified = false;
    bool dead = false;  // failed connect: nothing more to report
    int resetError = 0;  // an error the notification path took from the kernel
    bool shutSend = false;       // this side shut its sending down
    bool receivePaused = false;  // FD_READ and FD_CLOSE held back (flow control)
    bool watched = false;
};

std::unordered_map<SOCKET, Sock>& table() {
    static auto* t = new std::unordered_map<SOCKET, Sock>();
    return *t;
}
SOCKET g_nextSocket = 1;

Sock* find(SOCKET s) {
    auto it = table().find(s);
    return it == table().end() ? nullptr : &it->second;
}

int fail(int code) {
    t_lastError = code;
    return SOCKET_ERROR;
}

int failErrno() { return fail(errnoToWsa(errno)); }

void onReady(SOCKET s, std::uint32_t ev);

std::uint32_t interestOf(const Sock& k) {
    if (k.dead || k.mask == 0 || k.wnd == NullWindow) return 0;
    std::uint32_t e = 0;
    if (k.listening) {
        if ((k.mask & FD_ACCEPT) && k.acceptEnabled) e |= FdIn;
        return e;
    }
    if (k.connectPending) return FdOut;
    if (!k.receivePaused) {
        if ((k.mask & FD_READ) && k.readEnabled) e |= FdIn;
        if (k.type == SOCK_STREAM && k.connected && (k.mask & FD_CLOSE) && !k.closeNotified) e |= FdRdHup;
    }
    if ((k.mask & FD_WRITE) && k.writeEnabled) e |= FdOut;
    return e;
}

void updateInterest(SOCKET s, Sock& k) {
    std::uint32_t e = interestOf(k);
    if (!k.watched) {
        if (e == 0) return;
        k.watched = true;
        loop().watchFd(k.fd, e, [s](std::uint32_t ev) { onReady(s, ev); });
    } else {
        loop().modifyFd(k.fd, e);
    }
}

int socketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errnoToWsa(errno);
    return err == 0 ? 0 : errnoToWsa(err);
}

// The code of a connection's failure as WinSock reports it. A reset that
// comes after the peer's FIN is EPIPE on this kernel; unless this side shut
// its sending down, that is the reset, not "can't send after shutdown".
int endCode(const Sock& k, int code) {
    return code == WSAESHUTDOWN && k.type == SOCK_STREAM && !k.shutSend ? WSAECONNRESET : code;
}

// ---- accepting within the descriptors left -------------------------------

// Listeners held back from accepting: fewer descriptors than the reserve were
// free when a connection came, or their accept ran out of descriptors or
// memory. The connections wait in the kernel's backlog. A held listener is
// watched again when a socket closes, or a little later for descriptors that
// files and pipes give back; at once, the waiting connection would notify
// straight away and spin the loop.
constexpr unsigned kAcceptRetryMs = 100;
std::vector<SOCKET>& heldListeners() {
    static auto* v = new std::vector<SOCKET>();
    return *v;
}

void resumeListeners() {
    auto waiting = std::move(heldListeners());
    heldListeners().clear();
    for (SOCKET s : waiting) {
        if (Sock* k = find(s)) {
            k->acceptEnabled = true;
            updateInterest(s, *k);
        }
    }
}

HWND retryWindow() {
    static HWND wnd = loop().createWindow([](Message& m) {
        if (m.msg != WM_TIMER) return;
        loop().killTimer(retryWindow(), 1);
        resumeListeners();
    });
    return wnd;
}

void holdListener(SOCKET s, Sock& k) {
    k.acceptEnabled = false;
    updateInterest(s, k);
    auto& held = heldListeners();
    if (std::find(held.begin(), held.end(), s) != held.end()) return;
    // The timer runs whenever a listener is held.
    if (held.empty()) loop().setTimer(retryWindow(), 1, kAcceptRetryMs);
    held.push_back(s);
}

void notify(const Sock& k, SOCKET s, long bits, int err) {
    if (bits != 0) loop().post(k.wnd, k.msg, s, MAKELONG(static_cast<unsigned>(bits), static_cast<unsigned>(err)));
}

void onReady(SOCKET s, std::uint32_t ev) {
    Sock* kp = find(s);
    if (!kp) return;
    Sock& k = *kp;

    if (k.connectPending) {
        if (!(ev & (FdOut | FdErr | FdHup))) return;
        int err = socketError(k.fd);
        k.connectPending = false;
        if (k.mask & FD_CONNECT) notify(k, s, FD_CONNECT, err);
        if (err == 0) {
            k.connected = true;
            k.readEnabled = true;
            // FD_WRITE once after the connection is made.
            if (k.mask & FD_WRITE) notify(k, s, FD_WRITE, 0);
        } else {
            k.dead = true;
        }
        updateInterest(s, k);
        return;
    }

    if (k.listening) {
        if ((ev & FdIn) && k.acceptEnabled && (k.mask & FD_ACCEPT)) {
            if (descriptorsShort()) {
                holdListener(s, k);
                return;
            }
            k.acceptEnabled = false;
            notify(k, s, FD_ACCEPT, 0);
        }
        updateInterest(s, k);
        return;
    }

    long bits = 0;
    int closeErr = 0;
    bool closing = false;
    if (k.receivePaused) {
        // Only writing is watched now. A hang-up or error is reported with
        // the next FD_WRITE's failing send or after the pause; its code is
        // kept, since the kernel hands it out only once.
        if (k.type == SOCK_STREAM && (ev & FdErr)) {
            int e = endCode(k, socketError(k.fd));
            if (e != 0) k.resetError = e;
        }
        ev &= ~static_cast<std::uint32_t>(FdIn | FdRdHup | FdHup | FdErr);
    }
    if ((ev & FdIn) && k.readEnabled && (k.mask & FD_READ)) {
        if (k.type != SOCK_STREAM) {
            bits |= FD_READ;
            k.readEnabled = false;
        } else {
            // Readable while the end of the stream was watched and not
            // reported: there are bytes, and no need to peek for them.
            char c;
            const bool bytes = (ev & FdRdHupWatched) && !(ev & (FdRdHup | FdHup | FdErr));
            ssize_t n = bytes ? 1 : ::recv(k.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) {
                bits |= FD_READ;
                k.readEnabled = false;
            } else if (n == 0) {
                closing = true;
                k.readEnabled = false;  // nothing to read but the end of stream
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                // The kernel hands a pending error out once; keep it for the
                // owner's next recv, which must fail as WinSock's would.
                closing = true;
                closeErr = endCode(k, errnoToWsa(errno));
                k.resetError = closeErr;
                k.readEnabled = false;
            }
        }
    }
    if (k.type == SOCK_STREAM && (ev & (FdRdHup | FdHup | FdErr))) {
        closing = true;
        if (ev & FdErr) {
            int e = endCode(k, socketError(k.fd));
            if (e != 0) k.resetError = e;
        }
        if (closeErr == 0) closeErr = k.resetError;
    }
    if (closing && !k.closeNotified && (k.mask & FD_CLOSE)) {
        k.closeNotified = true;
        bits |= FD_CLOSE;
    }
    if ((ev & FdOut) && k.writeEnabled && (k.mask & FD_WRITE)) {
        k.writeEnabled = false;
        bits |= FD_WRITE;
    }
    if (closing && k.closeNotified && (ev & (FdHup | FdErr))) {
        // The connection is gone: nothing else will ever become ready. (A
        // peer that only ended its sending still reads: a send waiting for
        // space still gets its FD_WRITE.)
        k.writeEnabled = false;
    }
    notify(k, s, bits, (bits & FD_CLOSE) ? closeErr : 0);
    updateInterest(s, k);
}

// ---- host lookups ---------------------------------------------------------

struct LookupReq {
    HWND wnd = NullWindow;
    unsigned msg = 0;
    bool done = false;
    bool cancelled = false;
    int err = 0;
    HostEntry result;
};

std::mutex& lookupMutex() {
    static auto* m = new std::mutex();
    return *m;
}
std::unordered_map<AsyncHandle, std::shared_ptr<LookupReq>>& lookups() {
    static auto* m = new std::unordered_map<AsyncHandle, std::shared_ptr<LookupReq>>();
    return *m;
}
std::atomic<AsyncHandle> g_nextLookup{1};

int gaiToWsa(int rc) {
    switch (rc) {
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
        case EAI_FAIL: return WSANO_RECOVERY;
        default: return WSANO_DATA;
    }
}

int resolveName(const std::string& name, HostEntry& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0) return gaiToWsa(rc);
    out.name = (res && res->ai_canonname) ? res->ai_canonname : name;
    out.addresses.clear();
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET) continue;
        std::uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        bool dup = false;
        for (auto x : out.addresses) dup = dup || x == a;
        if (!dup) out.addresses.push_back(a);
    }
    ::freeaddrinfo(res);
    return out.addresses.empty() ? WSANO_DATA : 0;
}

int resolveAddr(std::uint32_t addr, HostEntry& out) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) return gaiToWsa(rc);
    out.name = host;
    out.addresses = {addr};
    return 0;
}

// A lookup's result reaches its window through this one, on the loop's
// thread: a lookup cancelled after its thread posted is then still not
// reported, as a cancel promises.
HWND lookupWindow() {
    static HWND wnd = loop().createWindow([](Message& m) {
        const auto h = static_cast<AsyncHandle>(m.wParam);
        std::shared_ptr<LookupReq> req;
        {
            std::lock_guard<std::mutex> lk(lookupMutex());
            auto it = lookups().find(h);
            if (it == lookups().end() || it->second->cancelled) return;
            req = it->second;
        }
        loop().send(req->wnd, req->msg, m.wParam, m.lParam);
    });
    return wnd;
}

template <class Work>
AsyncHandle startLookup(HWND wnd, unsigned msg, Work work) {
    const HWND forward = lookupWindow();
    auto req = std::make_shared<LookupReq>();
    req->wnd = wnd;
    req->msg = msg;
    AsyncHandle h = g_nextLookup++;
    if (h == 0) h = g_nextLookup++;
    {
        std::lock_guard<std::mutex> lk(lookupMutex());
        lookups()[h] = req;
    }
    try {
        std::thread([h, req, work, forward]() {
            HostEntry e;
            int err = work(e);
            std::lock_guard<std::mutex> lk(lookupMutex());
            req->done = true;
            req->err = err;
            req->result = std::move(e);
            if (!req->cancelled) loop().post(forward, WM_USER, static_cast<std::intptr_t>(h), MAKELONG(0, static_cast<unsigned>(err)));
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lk(lookupMutex());
        lookups().erase(h);
        t_lastError = WSAENOBUFS;
        return 0;
    }
    return h;
}

}  // namespace

int errnoToWsa(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES: case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE: case ENFILE: return WSAEMFILE;
        case EAGAIN: return WSAEWOULDBLOCK;
        case EINPROGRESS: return WSAEINPROGRESS;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET: return WSAECONNRESET;
        case ENOBUFS: case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case EPIPE: case ESHUTDOWN: return WSAESHUTDOWN;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        default: return WSAEINVAL;
    }
}

int WSAStartup(unsigned short) { return 0; }
int WSACleanup() { return 0; }
int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int code) { t_lastError = code; }

SOCKET socket(int af, int type, int protocol) {
    if (af != AF_INET) return fail(WSAEAFNOSUPPORT);
    if (type != SOCK_STREAM && type != SOCK_DGRAM) return fail(10044);
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return failErrno();
    SOCKET s = g_nextSocket++;
    Sock k;
    k.fd = fd;
    k.type = type;
    table().emplace(s, k);
    return s;
}

int closesocket(SOCKET s) {
    auto it = table().find(s);
    if (it == table().end()) return fail(WSAENOTSOCK);
    if (it->second.watched) loop().unwatchFd(it->second.fd);
    // A socket set to linger on with no timeout is reset at close, and the
    // kernel drops what it has not sent yet: a server's last reply (QUIT's)
    // would be lost on a slow link. While bytes are still queued, close
    // gracefully instead; they leave before the FIN.
    int queued = 0;
    if (it->second.type == SOCK_STREAM && ::ioctl(it->second.fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
        linger l{};
        socklen_t len = sizeof l;
        if (::getsockopt(it->second.fd, SOL_SOCKET, SO_LINGER, &l, &len) == 0 && l.l_onoff && l.l_linger == 0) {
            linger off{0, 0};
            ::setsockopt(it->second.fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        }
        // Input left unread would make the kernel reset the connection at
        // close and throw those queued bytes away after all. It is not
        // wanted any more. Bounded: a peer that keeps sending gets its reset.
        char sink[16384];
        for (int i = 0; i < 256 && ::recv(it->second.fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    ::close(it->second.fd);
    table().erase(it);
    if (!heldListeners().empty()) resumeListeners();  // a descriptor is free again
    return 0;
}

int shutdown(SOCKET s, int how) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(k->fd, h) != 0) return failErrno();
    if (h != SHUT_RD) k->shutSend = true;
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    // WinSock's linger record is two 16-bit halves; the kernel wants two ints.
    if (level == SOL_SOCKET && optname == SO_LINGER && optlen == 4) {
        const auto* halves = static_cast<const std::uint16_t*>(optval);
        linger l{halves[0] != 0 ? 1 : 0, halves[1]};
        if (::setsockopt(k->fd, level, optname, &l, sizeof l) != 0) return failErrno();
        return 0;
    }
    if (::setsockopt(k->fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0) return failErrno();
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    socklen_t len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(k->fd, level, optname, optval, &len) != 0) return failErrno();
    *optlen = static_cast<int>(len);
    return 0;
}

int bind(SOCKET s, const sockaddr_in* addr, int len) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    if (k->type == SOCK_STREAM) {
        // WinSock binds over connections in TIME_WAIT; Linux needs this, and
        // still refuses a port that another socket listens on.
        int one = 1;
        ::setsockopt(k->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (::bind(k->fd, reinterpret_cast<const sockaddr*>(addr), static_cast<socklen_t>(len)) != 0) return failErrno();
    return 0;
}

int listen(SOCKET s, int) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    // WinSock 1.1's backlog of 5 was its maximum; use the platform's.
    if (::listen(k->fd, SOMAXCONN) != 0) return failErrno();
    k->listening = true;
    k->acceptEnabled = true;
    updateInterest(s, *k);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr_in* addr, int* len) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    if (!k->listening) return fail(WSAEINVAL);
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    int fd = ::accept4(k->fd, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int saved = errno;
    if (fd < 0 && (saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM)) {
        holdListener(s, *k);
        return fail(errnoToWsa(saved));
    }
    // Re-enable FD_ACCEPT: further connections waiting notify again.
    k->acceptEnabled = true;
    updateInterest(s, *k);
    if (fd < 0) return fail(errnoToWsa(saved));
    if (addr) *addr = peer;
    if (len) *len = sizeof peer;
    SOCKET ns = g_nextSocket++;
    Sock n;
    n.fd = fd;
    n.type = SOCK_STREAM;
    n.connected = true;
    table().emplace(ns, n);
    return ns;
}

int connect(SOCKET s, const sockaddr_in* addr, int len) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    int rc = ::connect(k->fd, reinterpret_cast<const sockaddr*>(addr), static_cast<socklen_t>(len));
    if (k->type != SOCK_STREAM) {
        if (rc != 0) return failErrno();
        k->connected = true;
        return 0;
    }
    if (rc != 0 && errno != EINPROGRESS) return failErrno();
    // Completed or not, the outcome is reported by FD_CONNECT, as WinSock does.
    k->connectPending = true;
    updateInterest(s, *k);
    if (rc != 0) return fail(WSAEWOULDBLOCK);
    return 0;
}

namespace {

// What a stream send's result means for the socket: a would-block or short
// send asks for FD_WRITE when space returns, and a reset is reported with its
// own code. n is what the kernel returned for `len` bytes offered.
int sendResult(SOCKET s, Sock& k, ssize_t n, std::size_t len) {
    if (n < 0) {
        int saved = errno;
        if (saved == EAGAIN || saved == EWOULDBLOCK) {
            k.writeEnabled = true;  // FD_WRITE when space returns
            updateInterest(s, k);
            return fail(WSAEWOULDBLOCK);
        }
        if (k.type == SOCK_STREAM && saved == EPIPE && !k.shutSend) {
            // The kernel says EPIPE once the error of a reset has been
            // taken (by a notification or a receive); the reset is what
            // ended the connection, so its code is what the owner gets.
            if (k.resetError == 0) k.resetError = endCode(k, socketError(k.fd));
            return fail(k.resetError != 0 ? k.resetError : WSAECONNRESET);
        }
        if (saved == ECONNRESET || saved == ECONNABORTED) k.resetError = errnoToWsa(saved);
        return fail(errnoToWsa(saved));
    }
    if (static_cast<std::size_t>(n) < len) {
        // A short send means the buffer is full now; WinSock would have
        // refused the rest with would-block, so FD_WRITE must follow too.
        k.writeEnabled = true;
        updateInterest(s, k);
    }
    return static_cast<int>(n);
}

int sendFlags(int flags) {
    int f = (flags & MSG_OOB) | MSG_NOSIGNAL;
    if (flags & WS_MSG_MORE) f |= MSG_MORE;
    return f;
}

}  // namespace

int send(SOCKET s, const void* buf, int len, int flags) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    ssize_t n = ::send(k->fd, buf, static_cast<size_t>(len), sendFlags(flags));
    return sendResult(s, *k, n, static_cast<std::size_t>(len));
}

int WSASend(SOCKET s, const WSABUF* buffers, unsigned count, unsigned long* sent, int flags) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    if (count > MaxSendBuffers || (count > 0 && buffers == nullptr)) return fail(WSAEINVAL);
    iovec iov[MaxSendBuffers];
    std::size_t total = 0;
    for (unsigned i = 0; i < count; ++i) {
        iov[i].iov_base = buffers[i].buf;
        iov[i].iov_len = buffers[i].len;
        total += buffers[i].len;
    }
    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = count;
    ssize_t n = ::sendmsg(k->fd, &mh, sendFlags(flags));
    int r = sendResult(s, *k, n, total);
    if (r < 0) return SOCKET_ERROR;
    if (sent) *sent = static_cast<unsigned long>(r);
    return 0;
}

int recv(SOCKET s, void* buf, int len, int flags) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    if (k->resetError != 0) return fail(k->resetError);
    ssize_t n = ::recv(k->fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK));
    int saved = errno;
    if (!k->readEnabled) {
        k->readEnabled = true;  // FD_READ again while data remains
        updateInterest(s, *k);
    }
    if (n < 0) {
        if (saved == EAGAIN || saved == EWOULDBLOCK || saved == EINTR) return fail(errnoToWsa(saved));
        k->resetError = endCode(*k, errnoToWsa(saved));
        return fail(k->resetError);
    }
    return static_cast<int>(n);
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr_in* to, int tolen) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    ssize_t n = ::sendto(k->fd, buf, static_cast<size_t>(len), (flags & MSG_OOB) | MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(to), static_cast<socklen_t>(tolen));
    if (n < 0) {
        int saved = errno;
        if (saved == EAGAIN) {
            k->writeEnabled = true;
            updateInterest(s, *k);
        }
        return fail(errnoToWsa(saved));
    }
    return static_cast<int>(n);
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr_in* from, int* fromlen) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    sockaddr_in sa{};
    socklen_t slen = sizeof sa;
    ssize_t n = ::recvfrom(k->fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK),
                           reinterpret_cast<sockaddr*>(&sa), &slen);
    int saved = errno;
    if (!k->readEnabled) {
        k->readEnabled = true;
        updateInterest(s, *k);
    }
    if (n < 0) return fail(errnoToWsa(saved));
    if (from) *from = sa;
    if (fromlen) *fromlen = static_cast<int>(slen);
    return static_cast<int>(n);
}

int getsockname(SOCKET s, sockaddr_in* addr, int* len) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    socklen_t l = sizeof(sockaddr_in);
    if (::getsockname(k->fd, reinterpret_cast<sockaddr*>(addr), &l) != 0) return failErrno();
    if (len) *len = static_cast<int>(l);
    return 0;
}

int getpeername(SOCKET s, sockaddr_in* addr, int* len) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    socklen_t l = sizeof(sockaddr_in);
    if (::getpeername(k->fd, reinterpret_cast<sockaddr*>(addr), &l) != 0) return failErrno();
    if (len) *len = static_cast<int>(l);
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* arg) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    if (cmd == WS_FIONREAD) {
        int n = 0;
        if (::ioctl(k->fd, FIONREAD, &n) != 0) return failErrno();
        *arg = static_cast<unsigned long>(n < 0 ? 0 : n);
        return 0;
    }
    if (cmd == WS_FIONBIO) return 0;  // every socket here is non-blocking already
    return fail(WSAEINVAL);
}

int WSAAsyncSelect(SOCKET s, HWND wnd, unsigned msg, long events) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    k->wnd = wnd;
    k->msg = msg;
    k->mask = events;
    // A new selection re-evaluates everything, as WinSock does: pending data
    // or connections notify again, and a connected socket reports FD_WRITE.
    k->readEnabled = true;
    k->acceptEnabled = true;
    k->writeEnabled = k->connected && !k->closeNotified;
    updateInterest(s, *k);
    return 0;
}

int pauseReceive(SOCKET s, bool paused) {
    Sock* k = find(s);
    if (!k) return fail(WSAENOTSOCK);
    if (k->receivePaused == paused) return 0;
    k->receivePaused = paused;
    // Data that came meanwhile notifies again (level-triggered), as does an
    // end of the connection not yet reported.
    if (!paused) k->readEnabled = true;
    updateInterest(s, *k);
    return 0;
}

bool gethostbyname(const std::string& name, HostEntry& out) {
    int err = resolveName(name, out);
    if (err != 0) {
        t_lastError = err;
        return false;
    }
    return true;
}

int gethostname(char* buf, int len) {
    if (::gethostname(buf, static_cast<size_t>(len)) != 0) return failErrno();
    buf[len - 1] = '\0';
    return 0;
}

int getservbyname(const std::string& name, const std::string& proto) {
    // The services database spells names in lower case; WinSock matched them
    // without regard to case ("TCP" is "tcp").
    auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const std::string p = lower(proto);
    servent* se = ::getservbyname(name.c_str(), p.empty() ? nullptr : p.c_str());
    if (!se) se = ::getservbyname(lower(name).c_str(), p.empty() ? nullptr : p.c_str());
    if (!se) {
        t_lastError = WSANO_DATA;
        return -1;
    }
    return __builtin_bswap16(static_cast<std::uint16_t>(se->s_port));
}

int getprotobyname(const std::string& name) {
    // The protocol database does not change while the program runs; reading
    // it again at every connect cost a dozen system calls per connection.
    static std::mutex mu;
    static std::unordered_map<std::string, int> found;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (auto it = found.find(name); it != found.end()) return it->second;
    }
    if (protoent* pe = ::getprotobyname(name.c_str())) {
        const int number = pe->p_proto;
        std::lock_guard<std::mutex> lk(mu);
        if (found.size() < 64) found.emplace(name, number);
        return number;
    }
    // The protocol database may be missing on a minimal system.
    static const struct { const char* name; int number; } known[] = {
        {"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}};
    for (auto& p : known)
        if (::strcasecmp(p.name, name.c_str()) == 0) return p.number;
    t_lastError = WSANO_DATA;
    return -1;
}

std::uint32_t inet_addr(const std::string& text) { return ::inet_addr(text.c_str()); }

std::string inet_ntoa(std::uint32_t addr) {
    in_addr a{};
    a.s_addr = addr;
    char buf[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

std::uint16_t htons(std::uint16_t v) { return __builtin_bswap16(v); }
std::uint16_t ntohs(std::uint16_t v) { return __builtin_bswap16(v); }
std::uint32_t htonl(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint32_t ntohl(std::uint32_t v) { return __builtin_bswap32(v); }

AsyncHandle WSAAsyncGetHostByName(HWND wnd, unsigned msg, const std::string& name) {
    return startLookup(wnd, msg, [name](HostEntry& e) { return resolveName(name, e); });
}

AsyncHandle WSAAsyncGetHostByAddr(HWND wnd, unsigned msg, std::uint32_t addr) {
    return startLookup(wnd, msg, [addr](HostEntry& e) { return resolveAddr(addr, e); });
}

int WSACancelAsyncRequest(AsyncHandle h) {
    std::lock_guard<std::mutex> lk(lookupMutex());
    auto it = lookups().find(h);
    if (it == lookups().end()) return fail(WSAEINVAL);
    it->second->cancelled = true;
    lookups().erase(it);
    return 0;
}

bool WSAGetAsyncHostResult(AsyncHandle h, HostEntry& out) {
    std::lock_guard<std::mutex> lk(lookupMutex());
    auto it = lookups().find(h);
    if (it == lookups().end() || !it->second->done) return false;
    out = std::move(it->second->result);
    lookups().erase(it);
    return true;
}

std::vector<std::uint32_t> interfaceAddresses() {
    std::vector<std::uint32_t> out, loopback;
    ifaddrs* ifs = nullptr;
    if (::getifaddrs(&ifs) != 0) return out;
    for (ifaddrs* p = ifs; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
        std::uint32_t a = reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
        ((p->ifa_flags & IFF_LOOPBACK) ? loopback : out).push_back(a);
    }
    ::freeifaddrs(ifs);
    out.insert(out.end(), loopback.begin(), loopback.end());
    return out;
}

std::size_t openSocketCount() { return table().size(); }

int descriptorOf(SOCKET s) {
    Sock* k = find(s);
    return k ? k->fd : -1;
}

}  // namespace platform::net
