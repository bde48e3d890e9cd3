// Registered messages and the broadcast bus over Unix-domain sockets.
//
// Wire format, one request and one reply per connection (same machine, so
// host byte order):
//   request: "TVB1", u16 name length, name bytes, i64 wParam, i64 lParam
//   reply:   "TVA1", i64 result
// The receiver answers after its handler has returned, which is what makes a
// broadcast synchronous.
#include "Bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "Descriptors.h"
#include "MessageLoop.h"
#include "Paths.h"

namespace platform {

// --- registered messages ----------------------------------------------------

namespace {

struct MessageTable {
    std::vector<std::string> names;                  // index = id - FirstRegisteredMessage
    std::unordered_map<std::string, unsigned> byKey;  // lower-cased name -> id
};

MessageTable& table() {
    static MessageTable t;
    return t;
}

constexpr unsigned LastRegisteredMessage = 0xFFFF;

}  // namespace

unsigned registerWindowMessage(std::string_view name) {
    if (name.empty() || name.size() > MaxMessageNameLength) return 0;
    auto& t = table();
    std::string key = lowerCase(name);
    auto it = t.byKey.find(key);
    if (it != t.byKey.end()) return it->second;
    unsigned id = FirstRegisteredMessage + static_cast<unsigned>(t.names.size());
    if (id > LastRegisteredMessage) return 0;
    t.names.emplace_back(name);
    t.byKey.emplace(std::move(key), id);
    return id;
}

std::string registeredMessageName(unsigned id) {
    auto& t = table();
    if (id < FirstRegisteredMessage || id - FirstRegisteredMessage >= t.names.size()) return {};
    return t.names[id - FirstRegisteredMessage];
}

// --- folders ------------------------------------------------------------------

namespace {

// Creates the folder when missing and accepts it only when it is a real
// folder of this user that nobody else may enter.
bool privateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::string runtimeFolder() {
    if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && x[0] == '/') {
        std::string base = x;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        struct stat st{};
        if (::stat(base.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
            std::string f = base + "/tavrin";
            if (privateFolder(f)) return f + "/";
        }
    }
    std::string f = "/tmp/tavrin-" + std::to_string(::geteuid());
    if (privateFolder(f)) return f + "/";
    return {};
}

std::string busFolder() {
    std::string rt = runtimeFolder();
    if (rt.empty()) return {};
    std::string f = rt + "bus";
    return privateFolder(f) ? f + "/" : std::string();
}

// --- frames -------------------------------------------------------------------

namespace {

constexpr char RequestMagic[4] = {'T', 'V', 'B', '1'};
constexpr char ReplyMagic[4] = {'T', 'V', 'A', '1'};
constexpr std::size_t RequestHead = 4 + 2;
constexpr std::size_t ReplySize = 4 + 8;
constexpr std::size_t MaxPending = 64;  // unfinished incoming connections per listener
// A sender writes its whole request at once: a connection that has not within
// this time is a stuck or hostile one, and its descriptor is wanted elsewhere.
constexpr auto RequestTimeout = std::chrono::seconds(5);
// While descriptors are short the listener is not watched (its waiting
// connection would report at once and spin the loop); it looks again after
// this long, as the socket listeners do.
constexpr unsigned AcceptRetryMs = 100;
constexpr std::uintptr_t RetryTimer = 1, SweepTimer = 2;
constexpr unsigned SweepMs = 1000;

std::string encodeRequest(const std::string& name, std::intptr_t w, std::intptr_t l) {
    std::string f(RequestMagic, 4);
    std::uint16_t n = static_cast<std::uint16_t>(name.size());
    std::int64_t w64 = w, l64 = l;
    f.append(reinterpret_cast<const char*>(&n), 2);
    f += name;
    f.append(reinterpret_cast<const char*>(&w64), 8);
    f.append(reinterpret_cast<const char*>(&l64), 8);
    return f;
}

enum class Parse { More, Bad, Done };

Parse decodeRequest(const std::string& buf, std::string& name, std::intptr_t& w, std::intptr_t& l) {
    if (buf.size() >= 4 && std::memcmp(buf.data(), RequestMagic, 4) != 0) return Parse::Bad;
    if (buf.size() < RequestHead) return Parse::More;
    std::uint16_t n;
    std::memcpy(&n, buf.data() + 4, 2);
    if (n == 0 || n > MaxMessageNameLength) return Parse::Bad;
    std::size_t total = RequestHead + n + 16;
    if (buf.size() < total) return Parse::More;
    if (buf.size() > total) return Parse::Bad;  // one request per connection
    name.assign(buf.data() + RequestHead, n);
    std::int64_t w64, l64;
    std::memcpy(&w64, buf.data() + RequestHead + n, 8);
    std::memcpy(&l64, buf.data() + RequestHead + n + 8, 8);
    w = static_cast<std::intptr_t>(w64);
    l = static_cast<std::intptr_t>(l64);
    return Parse::Done;
}

bool sendAll(int fd, const std::string& data, int timeoutMs) {
    std::size_t off = 0;
    while (off < data.size()) {
        ssize_t r = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (r > 0) {
            off += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

// --- listener -------------------------------------------------------------------

struct BusListener::State : std::enable_shared_from_this<BusListener::State> {
    struct Pending {
        std::string request;
        std::chrono::steady_clock::time_point since;
    };

    Handler handler;
    int fd = -1;
    std::string path;
    bool alive = true;
    bool held = false;  // not accepting until the retry timer
    HWND wnd = NullWindow;  // the retry and sweep timers
    std::map<int, Pending> pending;  // accepted, request not complete yet

    void onAccept();
    void onReadable(int cfd);
    void onTimer(std::uintptr_t id);
    void hold();
    void drop(int cfd);
    void shut();
};

namespace {

std::vector<std::weak_ptr<BusListener::State>>& listeners() {
    static std::vector<std::weak_ptr<BusListener::State>> v;
    return v;
}

std::vector<std::shared_ptr<BusListener::State>> liveListeners() {
    std::vector<std::shared_ptr<BusListener::State>> out;
    auto& v = listeners();
    v.erase(std::remove_if(v.begin(), v.end(), [](auto& w) { return w.expired(); }), v.end());
    for (auto& w : v)
        if (auto s = w.lock(); s && s->alive) out.push_back(std::move(s));
    return out;
}

unsigned listenerSerial = 0;

}  // namespace

void BusListener::State::drop(int cfd) {
    loop().unwatchFd(cfd);
    ::close(cfd);
    pending.erase(cfd);
}

void BusListener::State::hold() {
    if (held || fd < 0) return;
    held = true;
    loop().modifyFd(fd, 0);
    loop().setTimer(wnd, RetryTimer, AcceptRetryMs);
}

void BusListener::State::onTimer(std::uintptr_t id) {
    if (id == RetryTimer) {
        loop().killTimer(wnd, RetryTimer);
        held = false;
        if (alive && fd >= 0) loop().modifyFd(fd, FdIn);  // a waiting connection reports again
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> stale;
    for (const auto& [c, p] : pending)
        if (now - p.since >= RequestTimeout) stale.push_back(c);
    for (int c : stale) drop(c);
    if (pending.empty()) loop().killTimer(wnd, SweepTimer);
}

void BusListener::State::onAccept() {
    while (alive && !held) {
        // Within the reserve the socket listeners keep, like them.
        if (descriptorsShort()) {
            hold();
            return;
        }
        int c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) hold();
            return;  // EAGAIN, or nothing acceptable now
        }
        if (pending.size() >= MaxPending) {
            ::close(c);
            continue;
        }
        if (pending.empty()) loop().setTimer(wnd, SweepTimer, SweepMs);
        pending.emplace(c, Pending{std::string(), std::chrono::steady_clock::now()});
        std::weak_ptr<State> weak = shared_from_this();
        loop().watchFd(c, FdIn, [weak, c](std::uint32_t) {
            if (auto s = weak.lock()) s->onReadable(c);
        });
    }
}

void BusListener::State::onReadable(int cfd) {
    auto it = pending.find(cfd);
    if (it == pending.end()) return;  // already served from inside a broadcast
    char chunk[512];
    for (;;) {
        ssize_t r = ::recv(cfd, chunk, sizeof chunk, 0);
        if (r > 0) {
            it->second.request.append(chunk, static_cast<std::size_t>(r));
            if (it->second.request.size() > RequestHead + MaxMessageNameLength + 16) break;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        drop(cfd);  // closed or failed before the request was whole
        return;
    }
    std::string name;
    std::intptr_t w = 0, l = 0;
    Parse p = decodeRequest(it->second.request, name, w, l);
    if (p == Parse::More) return;
    if (p == Parse::Bad) {
        drop(cfd);
        return;
    }
    // The connection leaves the table before the handler runs: the handler may
    // run a nested loop or a broadcast that would otherwise serve it again.
    loop().unwatchFd(cfd);
    pending.erase(it);
    auto keep = shared_from_this();
    std::int64_t result = 0;
    unsigned id = registerWindowMessage(name);
    if (id != 0 && alive && handler) result = handler(id, w, l);
    std::string reply(ReplyMagic, 4);
    reply.append(reinterpret_cast<const char*>(&result), 8);
    sendAll(cfd, reply, 1000);
    ::close(cfd);
}

void BusListener::State::shut() {
    if (!alive) return;
    alive = false;
    if (fd >= 0) {
        loop().unwatchFd(fd);
        ::close(fd);
        fd = -1;
        ::unlink(path.c_str());
    }
    while (!pending.empty()) drop(pending.begin()->first);
    if (wnd != NullWindow) loop().destroyWindow(wnd);
    wnd = NullWindow;
}

BusListener::BusListener(Handler handler) : s_(std::make_shared<State>()) {
    s_->handler = std::move(handler);
    listeners().push_back(s_);
    std::string folder = busFolder();
    if (folder.empty()) return;
    std::string path = folder + std::to_string(::getpid()) + "-" + std::to_string(++listenerSerial);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::unlink(path.c_str());  // left by an earlier process of the same number
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return;
    }
    s_->fd = fd;
    s_->path = path;
    std::weak_ptr<State> weak = s_;
    s_->wnd = loop().createWindow([weak](Message& m) {
        if (m.msg != WM_TIMER) return;
        if (auto s = weak.lock()) s->onTimer(static_cast<std::uintptr_t>(m.wParam));
    });
    loop().watchFd(fd, FdIn, [weak](std::uint32_t) {
        if (auto s = weak.lock()) s->onAccept();
    });
}

BusListener::~BusListener() { s_->shut(); }

bool BusListener::active() const { return s_->alive && s_->fd >= 0; }

std::string BusListener::path() const { return active() ? s_->path : std::string(); }

// --- broadcast -----------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline, bool unlimited) {
    if (unlimited) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits up to timeoutMs for `fd` to report `events`, serving the deliveries
// that reach this process's listeners meanwhile. True when fd is ready.
bool waitServing(int fd, short events, Clock::time_point deadline, bool unlimited) {
    for (;;) {
        std::vector<pollfd> pfds{{fd, events, 0}};
        struct Source {
            std::shared_ptr<BusListener::State> s;
            int fd;
            bool accept;
        };
        std::vector<Source> sources;
        for (auto& s : liveListeners()) {
            if (s->fd >= 0 && !s->held) {
                pfds.push_back({s->fd, POLLIN, 0});
                sources.push_back({s, s->fd, true});
            }
            for (auto& [c, p] : s->pending) {
                pfds.push_back({c, POLLIN, 0});
                sources.push_back({s, c, false});
            }
        }
        int left = remainingMs(deadline, unlimited);
        int r = ::poll(pfds.data(), pfds.size(), left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (pfds[0].revents != 0) return true;
        if (r == 0) return false;  // timed out
        for (std::size_t i = 1; i < pfds.size(); ++i) {
            if (pfds[i].revents == 0) continue;
            auto& src = sources[i - 1];
            if (!src.s->alive) continue;
            if (src.accept)
                src.s->onAccept();
            else
                src.s->onReadable(src.fd);
        }
    }
}

enum class Outcome { Delivered, Dead, Failed, Absent };

Outcome deliverTo(const std::string& path, const std::string& frame, int timeoutMs) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return Outcome::Absent;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    bool unlimited = timeoutMs < 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);

    int fd = -1;
    for (;;) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return Outcome::Failed;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
        int err = errno;
        ::close(fd);
        fd = -1;
        if (err == ECONNREFUSED) return Outcome::Dead;
        if (err == ENOENT) return Outcome::Absent;
        if (err != EAGAIN && err != EINTR) return Outcome::Failed;
        // The listener's backlog is full: let it catch up, serving our own.
        auto retry = Clock::now() + std::chrono::milliseconds(10);
        if (!unlimited && retry > deadline) retry = deadline;
        waitServing(-1, 0, retry, false);
        if (!unlimited && Clock::now() >= deadline) return Outcome::Failed;
    }

    Outcome out = Outcome::Failed;
    if (sendAll(fd, frame, unlimited ? -1 : remainingMs(deadline, false))) {
        std::string reply;
        while (reply.size() < ReplySize) {
            if (!waitServing(fd, POLLIN, deadline, unlimited)) break;
            char buf[ReplySize];
            ssize_t r = ::recv(fd, buf, ReplySize - reply.size(), 0);
            if (r > 0) {
                reply.append(buf, static_cast<std::size_t>(r));
                continue;
            }
            if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            break;  // the listener went away without answering
        }
        if (reply.size() == ReplySize && std::memcmp(reply.data(), ReplyMagic, 4) == 0) out = Outcome::Delivered;
    }
    ::close(fd);
    return out;
}

}  // namespace

BroadcastResult broadcastMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam, int timeoutMs) {
    BroadcastResult res;
    std::string name = registeredMessageName(msg);
    if (name.empty()) return res;

    std::set<std::string> own;
    for (auto& s : liveListeners()) {
        if (!s->path.empty()) own.insert(s->path);
        if (s->alive && s->handler) {
            s->handler(msg, wParam, lParam);
            ++res.delivered;
        }
    }

    std::string folder = busFolder();
    if (folder.empty()) return res;
    std::vector<std::string> others;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            std::string p = folder + n;
            struct stat st{};
            if (::lstat(p.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
            if (own.count(p)) continue;
            others.push_back(std::move(p));
        }
        ::closedir(d);
    }
    std::sort(others.begin(), others.end());

    std::string frame = encodeRequest(name, wParam, lParam);
    for (auto& p : others) {
        // A listener of this process created by one of the handlers above.
        bool mine = false;
        for (auto& s : liveListeners()) mine = mine || s->path == p;
        if (mine) continue;
        switch (deliverTo(p, frame, timeoutMs)) {
        case Outcome::Delivered: ++res.delivered; break;
        case Outcome::Dead:
            if (::unlink(p.c_str()) == 0) ++res.removed;
            break;
        case Outcome::Failed: ++res.failed; break;
        case Outcome::Absent: break;
        }
    }
    return res;
}

}  // namespace platform
