#include "support/Peers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/MessageLoop.h"

namespace testpeers {

namespace {

sockaddr_in makeAddr(const std::string& Address, int Port) {
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = ::htons(static_cast<std::uint16_t>(Port));
    ::inet_pton(AF_INET, Address.c_str(), &A.sin_addr);
    return A;
}

// Starts argv with its standard output and error on a pipe; returns the pid.
int spawn(const std::vector<std::string>& Argv, int& OutFd) {
    int P[2];
    if (::pipe2(P, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int Pid = ::fork();
    if (Pid == 0) {
        ::dup2(P[1], 1);
        ::dup2(P[1], 2);
        int Null = ::open("/dev/null", O_RDONLY);
        if (Null >= 0) ::dup2(Null, 0);
        std::vector<char*> Args;
        for (auto& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
        Args.push_back(nullptr);
        ::execvp(Args[0], Args.data());
        ::_exit(127);
    }
    ::close(P[1]);
    OutFd = P[0];
    return Pid;
}

void stop(int& Pid) {
    if (Pid <= 0) return;
    ::kill(Pid, SIGTERM);
    // Bounded: a peer that ignores SIGTERM for a second is killed.
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < Until) {
        if (::waitpid(Pid, nullptr, WNOHANG) == Pid) {
            Pid = -1;
            return;
        }
        ::poll(nullptr, 0, 5);
    }
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
    Pid = -1;
}

bool alive(int Pid) { return Pid > 0 && ::waitpid(Pid, nullptr, WNOHANG) == 0; }

void drain(int Fd, std::string& Out) {
    char Buf[4096];
    for (;;) {
        pollfd P{Fd, POLLIN, 0};
        if (::poll(&P, 1, 0) <= 0) return;
        const ssize_t N = ::read(Fd, Buf, sizeof Buf);
        if (N <= 0) return;
        Out.append(Buf, static_cast<std::size_t>(N));
    }
}

const char* const SinkScript = R"PY(
import os, sys, threading
from aiosmtpd.controller import Controller

host, port, outdir = sys.argv[1], int(sys.argv[2]), sys.argv[3]
reject = set(a.lower() for a in sys.argv[4:])
seq = [0]
lock = threading.Lock()

class Sink:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in reject:
            return '550 No such user here'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        with lock:
            seq[0] += 1
            n = seq[0]
        tmp = os.path.join(outdir, '.%06d.tmp' % n)
        with open(tmp, 'wb') as f:
            f.write(('FROM %s\n' % envelope.mail_from).encode('latin-1'))
            for r in envelope.rcpt_tos:
                f.write(('TO %s\n' % r).encode('latin-1'))
            f.write(b'\n')
            f.write(envelope.content)
        os.rename(tmp, os.path.join(outdir, '%06d.msg' % n))
        return '250 Message accepted for delivery'

c = Controller(Sink(), hostname=host, port=port)
c.start()
print('READY', flush=True)
threading.Event().wait()
)PY";

}  // namespace

std::string uniqueLoopback(int Net) {
    const unsigned N = static_cast<unsigned>(::getpid());
    return "127." + std::to_string(Net) + "." + std::to_string((N / 254) % 256) + "." + std::to_string(N % 254 + 1);
}

// --- DNS wire helpers -------------------------------------------------------

Bytes encodeName(const std::string& Name) {
    Bytes B;
    std::size_t Start = 0;
    while (Start < Name.size()) {
        std::size_t Dot = Name.find('.', Start);
        if (Dot == std::string::npos) Dot = Name.size();
        B.push_back(static_cast<std::uint8_t>(Dot - Start));
        B.insert(B.end(), Name.begin() + static_cast<std::ptrdiff_t>(Start), Name.begin() + static_cast<std::ptrdiff_t>(Dot));
        Start = Dot + 1;
    }
    B.push_back(0);
    return B;
}

Bytes pointerTo(int Offset) {
    return {static_cast<std::uint8_t>(0xC0 | ((Offset >> 8) & 0x3F)), static_cast<std::uint8_t>(Offset & 0xFF)};
}

void putWord(Bytes& B, std::uint16_t V) {
    B.push_back(static_cast<std::uint8_t>(V >> 8));
    B.push_back(static_cast<std::uint8_t>(V & 0xFF));
}

void putDWord(Bytes& B, std::uint32_t V) {
    putWord(B, static_cast<std::uint16_t>(V >> 16));
    putWord(B, static_cast<std::uint16_t>(V & 0xFFFF));
}

DnsMessage::DnsMessage(std::uint16_t Id, std::uint16_t Flags) : Id_(Id), Flags_(Flags) {}

DnsMessage& DnsMessage::question(const Bytes& Name, std::uint16_t Type, std::uint16_t Class) {
    Body_.insert(Body_.end(), Name.begin(), Name.end());
    putWord(Body_, Type);
    putWord(Body_, Class);
    ++Qd_;
    return *this;
}

DnsMessage& DnsMessage::record(const Bytes& Owner, std::uint16_t Type, const Bytes& Data, std::uint32_t Ttl,
                               std::uint16_t Class) {
    Body_.insert(Body_.end(), Owner.begin(), Owner.end());
    putWord(Body_, Type);
    putWord(Body_, Class);
    putDWord(Body_, Ttl);
    putWord(Body_, static_cast<std::uint16_t>(Data.size()));
    Body_.insert(Body_.end(), Data.begin(), Data.end());
    ++An_;
    return *this;
}

DnsMessage& DnsMessage::mx(const Bytes& Owner, std::uint16_t Preference, const Bytes& Exchange, std::uint32_t Ttl) {
    Bytes Data;
    putWord(Data, Preference);
    Data.insert(Data.end(), Exchange.begin(), Exchange.end());
    return record(Owner, 15, Data, Ttl);
}

DnsMessage& DnsMessage::counts(int Qd, int An, int Ns, int Ar) {
    Fixed_ = true;
    FQd_ = Qd;
    FAn_ = An;
    FNs_ = Ns;
    FAr_ = Ar;
    return *this;
}

int DnsMessage::size() const { return 12 + static_cast<int>(Body_.size()); }

Bytes DnsMessage::bytes() const {
    Bytes B;
    putWord(B, Id_);
    putWord(B, Flags_);
    putWord(B, static_cast<std::uint16_t>(Fixed_ ? FQd_ : Qd_));
    putWord(B, static_cast<std::uint16_t>(Fixed_ ? FAn_ : An_));
    putWord(B, static_cast<std::uint16_t>(Fixed_ ? FNs_ : Ns_));
    putWord(B, static_cast<std::uint16_t>(Fixed_ ? FAr_ : Ar_));
    B.insert(B.end(), Body_.begin(), Body_.end());
    return B;
}

// --- dnsmasq ----------------------------------------------------------------

DnsmasqPeer::DnsmasqPeer(const std::string& Address, int Port, const std::vector<std::string>& ConfigLines) {
    const std::string Conf = Dir_.path() + "dnsmasq.conf";
    {
        std::ofstream F(Conf);
        for (const auto& L : ConfigLines) F << L << "\n";
    }
    int OutFd = -1;
    Pid_ = spawn({"dnsmasq", "--keep-in-foreground", "--conf-file=" + Conf, "--no-resolv", "--no-hosts",
                  "--bind-interfaces", "--listen-address=" + Address, "--port=" + std::to_string(Port),
                  "--pid-file=", "--user=root", "--group=root", "--log-facility=-"},
                 OutFd);

    // Ready once it answers a query; asked again every 100 ms, for at most 10 s.
    const int Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in To = makeAddr(Address, Port);
    const Bytes Probe = DnsMessage(0x5151, 0x0100).question(encodeName("probe.invalid")).bytes();
    for (int Try = 0; Try < 100 && !Ready_ && alive(Pid_); ++Try) {
        ::sendto(Fd, Probe.data(), Probe.size(), 0, reinterpret_cast<const sockaddr*>(&To), sizeof To);
        pollfd P{Fd, POLLIN, 0};
        if (::poll(&P, 1, 100) > 0) {
            std::uint8_t Buf[512];
            if (::recv(Fd, Buf, sizeof Buf, 0) >= 12) Ready_ = true;
        }
    }
    ::close(Fd);
    drain(OutFd, Log_);
    ::close(OutFd);
}

DnsmasqPeer::~DnsmasqPeer() { stop(Pid_); }

// --- UDP responder ----------------------------------------------------------

UdpResponder::UdpResponder(const std::string& Address, int Port, AnswerFn Answer) : Answer_(std::move(Answer)) {
    Fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in A = makeAddr(Address, Port);
    if (::bind(Fd_, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        ::close(Fd_);
        Fd_ = -1;
        return;
    }
    socklen_t L = sizeof A;
    ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&A), &L);
    Port_ = ntohs(A.sin_port);
    platform::loop().watchFd(Fd_, platform::FdIn, [this](std::uint32_t) {
        for (;;) {
            std::uint8_t Buf[2048];
            sockaddr_in From{};
            socklen_t FL = sizeof From;
            const ssize_t N = ::recvfrom(Fd_, Buf, sizeof Buf, 0, reinterpret_cast<sockaddr*>(&From), &FL);
            if (N < 0) return;
            ++Queries_;
            Last_.assign(Buf, Buf + N);
            LastFrom_ = From;
            for (const Bytes& R : Answer_(Last_))
                ::sendto(Fd_, R.data(), R.size(), 0, reinterpret_cast<const sockaddr*>(&From), FL);
        }
    });
}

void UdpResponder::sendToLast(const Bytes& Datagram) {
    ::sendto(Fd_, Datagram.data(), Datagram.size(), 0, reinterpret_cast<const sockaddr*>(&LastFrom_), sizeof LastFrom_);
}

UdpResponder::~UdpResponder() {
    if (Fd_ < 0) return;
    platform::loop().unwatchFd(Fd_);
    ::close(Fd_);
}

// --- SMTP sink --------------------------------------------------------------

SmtpSinkPeer::SmtpSinkPeer(const std::string& Address, int Port, const std::vector<std::string>& Reject)
    : Address_(Address) {
    const std::string Script = Dir_.path() + "sink.py";
    const std::string Out = Dir_.path() + "messages/";
    std::filesystem::create_directories(Out);
    {
        std::ofstream F(Script);
        F << SinkScript;
    }
    std::vector<std::string> Argv{testsupport::python(), Script, Address, std::to_string(Port), Out};
    Argv.insert(Argv.end(), Reject.begin(), Reject.end());
    Pid_ = spawn(Argv, OutFd_);

    std::string Said;
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!Ready_ && std::chrono::steady_clock::now() < Until && alive(Pid_)) {
        pollfd P{OutFd_, POLLIN, 0};
        if (::poll(&P, 1, 100) > 0) {
            char Buf[1024];
            const ssize_t N = ::read(OutFd_, Buf, sizeof Buf);
            if (N <= 0) break;
            Said.append(Buf, static_cast<std::size_t>(N));
            Ready_ = Said.find("READY") != std::string::npos;
        }
    }
}

SmtpSinkPeer::~SmtpSinkPeer() {
    stop(Pid_);
    if (OutFd_ >= 0) ::close(OutFd_);
}

std::size_t SmtpSinkPeer::count() const {
    std::size_t N = 0;
    std::error_code Ec;
    for (const auto& E : std::filesystem::directory_iterator(Dir_.path() + "messages/", Ec))
        if (E.path().extension() == ".msg") ++N;
    return N;
}

std::vector<SinkMessage> SmtpSinkPeer::messages() const {
    std::vector<std::string> Files;
    std::error_code Ec;
    for (const auto& E : std::filesystem::directory_iterator(Dir_.path() + "messages/", Ec))
        if (E.path().extension() == ".msg") Files.push_back(E.path().string());
    std::sort(Files.begin(), Files.end());
    std::vector<SinkMessage> Result;
    for (const auto& F : Files) {
        const std::string Text = testsupport::readFile(F);
        SinkMessage M;
        std::size_t Pos = 0;
        for (;;) {
            const std::size_t End = Text.find('\n', Pos);
            if (End == std::string::npos) break;
            const std::string Line = Text.substr(Pos, End - Pos);
            Pos = End + 1;
            if (Line.empty()) break;
            if (Line.rfind("FROM ", 0) == 0) M.MailFrom = Line.substr(5);
            if (Line.rfind("TO ", 0) == 0) M.RcptTos.push_back(Line.substr(3));
        }
        M.Data = Text.substr(std::min(Pos, Text.size()));
        Result.push_back(std::move(M));
    }
    return Result;
}

// --- closing server ---------------------------------------------------------

ClosingServer::ClosingServer(const std::string& Address, int Port) {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int One = 1;
    ::setsockopt(Fd_, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
    sockaddr_in A = makeAddr(Address, Port);
    if (::bind(Fd_, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(Fd_, 16) != 0) {
        ::close(Fd_);
        Fd_ = -1;
        return;
    }
    platform::loop().watchFd(Fd_, platform::FdIn, [this](std::uint32_t) {
        for (;;) {
            const int C = ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (C < 0) return;
            ++Accepted_;
            ::close(C);
        }
    });
}

ClosingServer::~ClosingServer() {
    if (Fd_ < 0) return;
    platform::loop().unwatchFd(Fd_);
    ::close(Fd_);
}

// --- scripted SMTP server -------------------------------------------------

ScriptedSmtpServer::ScriptedSmtpServer(const std::string& Address, int Port, std::vector<std::string> Greeting,
                                       std::vector<std::string> Replies)
    : Greeting_(std::move(Greeting)), Replies_(std::move(Replies)) {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int One = 1;
    ::setsockopt(Fd_, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
    sockaddr_in A = makeAddr(Address, Port);
    if (::bind(Fd_, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(Fd_, 16) != 0) {
        ::close(Fd_);
        Fd_ = -1;
        return;
    }
    platform::loop().watchFd(Fd_, platform::FdIn, [this](std::uint32_t) {
        const int C = ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (C < 0) return;
        ++Accepted_;
        if (Conn_ >= 0) closeConn();
        Conn_ = C;
        InData_ = false;
        Buffer_.clear();
        std::string G;
        for (const auto& L : Greeting_) G += L + "\r\n";
        if (!G.empty()) (void)!::send(Conn_, G.data(), G.size(), MSG_NOSIGNAL);
        platform::loop().watchFd(Conn_, platform::FdIn, [this](std::uint32_t) { onData(); });
    });
}

void ScriptedSmtpServer::closeConn() {
    platform::loop().unwatchFd(Conn_);
    ::close(Conn_);
    Conn_ = -1;
}

void ScriptedSmtpServer::onData() {
    char Buf[4096];
    const ssize_t N = ::recv(Conn_, Buf, sizeof Buf, 0);
    if (N <= 0) {
        if (N == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closeConn();
        return;
    }
    Buffer_.append(Buf, static_cast<std::size_t>(N));
    for (;;) {
        const std::size_t E = Buffer_.find("\r\n");
        if (E == std::string::npos) break;
        const std::string Line = Buffer_.substr(0, E);
        Buffer_.erase(0, E + 2);
        if (InData_) {
            if (Line != ".") {
                Message_.push_back(Line);
                continue;
            }
            InData_ = false;
        } else {
            Commands_.push_back(Line);
        }
        if (Next_ >= Replies_.size()) continue;
        const std::string R = Replies_[Next_++];
        if (R.rfind("354", 0) == 0) InData_ = true;
        const std::string Out = R + "\r\n";
        (void)!::send(Conn_, Out.data(), Out.size(), MSG_NOSIGNAL);
    }
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    if (Conn_ >= 0) closeConn();
    if (Fd_ < 0) return;
    platform::loop().unwatchFd(Fd_);
    ::close(Fd_);
}

}  // namespace testpeers
