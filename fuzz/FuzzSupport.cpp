#include "FuzzSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "engine/DataU1.h"
#include "platform/MessageLoop.h"

namespace fuzzsupport {

void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}

namespace {
std::string dataHome;
void removeDataHome() {
    std::error_code ec;
    if (!dataHome.empty()) std::filesystem::remove_all(dataHome, ec);
}
}  // namespace

void setUpDataHome() {
    if (!dataHome.empty()) return;
    std::string tmpl = (std::filesystem::temp_directory_path() / "tavrin-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
    dataHome = tmpl;
    std::atexit(removeDataHome);
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    ServerInformation = std::make_unique<TServerInformation>();
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
    FUZZ_CHECK(f.good());
}

bool stepUntil(const std::function<bool()>& pred, int timeoutMs) {
    return platform::loop().runUntil(pred, timeoutMs);
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

LoopbackClient::LoopbackClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Thousands of connections a second leave their ports in TIME_WAIT and
    // would use up the local ports of one address within seconds: each
    // client takes the next source address of 127.1.0.0 - 127.127.255.255.
    static std::uint32_t next = 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F010000u + next++ % 0x7F0000u);
    FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Non-blocking, so that a signal (libFuzzer's timer) cannot cut the
    // connect short: wait for it to complete, with a bound.
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    int rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        for (int i = 0; i < 100 && ::poll(&p, 1, 100) <= 0; ++i) p.revents = 0;
        int err = ETIMEDOUT;
        socklen_t len = sizeof err;
        if (p.revents != 0) ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        errno = err;
        rc = err == 0 ? 0 : -1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
        FUZZ_CHECK(!"the server took the connection");
    }
}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackClient::drain() {
    char buf[16384];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            in_.append(buf, static_cast<std::size_t>(n));
            if (in_.size() > 65536) in_.erase(0, in_.size() - 4096);  // only the tail matters
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) eof_ = true;
        return !eof_;
    }
}

bool LoopbackClient::sendAll(const std::string& data) {
    std::size_t done = 0;
    stepUntil(
        [&] {
            while (done < data.size() && drain()) {
                ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    return false;
                } else {
                    eof_ = true;
                }
            }
            return true;
        },
        10000);
    return done == data.size();
}

bool LoopbackClient::finish(int timeoutMs) {
    ::shutdown(fd_, SHUT_WR);
    return stepUntil([&] { return !drain(); }, timeoutMs);
}

std::string LoopbackClient::line(int timeoutMs) {
    std::size_t eol = std::string::npos;
    stepUntil(
        [&] {
            drain();
            eol = in_.find("\r\n");
            return eol != std::string::npos || eof_;
        },
        timeoutMs);
    if (eol == std::string::npos) return {};
    std::string l = in_.substr(0, eol);
    in_.erase(0, eol + 2);
    return l;
}

}  // namespace fuzzsupport
