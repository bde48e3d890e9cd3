#include "support/TestSupport.h"

#include <ctime>

#include "platform/Clock.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "MessageLoop.h"

namespace testsupport {

double fixedLocalTime() {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 8;
    tm.tm_hour = 6;
    tm.tm_min = 45;
    tm.tm_sec = 9;
    tm.tm_isdst = -1;
    return platform::dateTimeFromTimeT(std::mktime(&tm));
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tavrin-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedDataHome::ScopedDataHome() {
    if (const char* v = std::getenv("XDG_DATA_HOME")) {
        old_ = v;
        hadOld_ = true;
    }
    setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
}

ScopedDataHome::~ScopedDataHome() {
    if (hadOld_)
        setenv("XDG_DATA_HOME", old_.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

bool stepUntil(const std::function<bool()>& pred, int timeoutMs) {
    return platform::loop().runUntil(pred, timeoutMs);
}

// A port below the kernel's ephemeral range, free now. One that bind() hands
// out for port 0 lies inside that range, where any test's outgoing connection
// or port-0 pick can take it before the server binds it; below the range only
// a deliberate bind can.
int freePort() {
    int low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    static std::minstd_rand rng(static_cast<unsigned>(::getpid()) * 2654435761u ^ static_cast<unsigned>(::time(nullptr)));
    for (int i = 0; i < 1000; ++i) {
        const int port = 10000 + static_cast<int>(rng() % static_cast<unsigned>(std::max(1, low - 10000)));
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
        ::close(fd);
        if (!taken) return port;
    }
    throw std::runtime_error("no free port below the ephemeral range");
}

Child::Child(const std::vector<std::string>& argv, const std::string& stdinText) {
    int outPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(outPipe[1], 2);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(inPipe[0]);
    outFd_ = outPipe[0];
    fcntl(outFd_, F_SETFL, O_NONBLOCK);
    if (!stdinText.empty()) {
        ssize_t r = ::write(inPipe[1], stdinText.data(), stdinText.size());
        (void)r;
    }
    ::close(inPipe[1]);
}

Child::~Child() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) ::close(outFd_);
}

void Child::drain() {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(outFd_, buf, sizeof buf);
        if (n <= 0) break;
        out_.append(buf, static_cast<size_t>(n));
    }
}

bool Child::wait(int timeoutMs) {
    bool ok = stepUntil([&] {
        drain();
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exited_;
    }, timeoutMs);
    drain();
    if (!ok) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        exited_ = true;
    }
    return ok;
}

std::string python() { return "/usr/bin/python3"; }

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

}  // namespace testsupport
