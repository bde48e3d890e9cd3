// The SOCKS client layer of the event socket: SOCKS 4 and 4A requests, and
// SOCKS 5 with an optional user name and password sub-negotiation. The
// dialogue runs inside the socket's own notifications; the application sees
// OnSessionConnected only when it is over.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "sockets/WSocket.h"

namespace net = platform::net;

namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void PutPort(std::string& out, std::uint16_t port) {
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xFF);
}

// The text a resolver failure is reported with: the exception's class, then
// its message.
std::string ExceptionText(const std::exception& e) {
    const char* cls = dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
    return std::string(cls) + " " + e.what();
}

// SOCKS 5 reply codes 1 to 8 and their errors.
struct TSocks5Failure {
    int Code;
    const char* Text;
};
constexpr TSocks5Failure kSocks5Failures[] = {
    {20004, "general SOCKS server failure"},
    {20005, "connection not allowed by ruleset"},
    {20006, "network unreachable"},
    {20007, "host unreachable"},
    {20008, "connection refused"},
    {20009, "time to live expired"},
    {20010, "command not supported"},
    {20011, "address type not supported"},
};

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket() = default;

TCustomSocksWSocket::~TCustomSocksWSocket() { BeginDestroy(); }

// ---------------------------------------------------------------------------
// Settings

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (State() != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Upper(Value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (State() != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(Value);
    FSocksPortAssigned = !FSocksPort.empty();
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (State() != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(Value);
    FSocksServerAssigned = !FSocksServer.empty();
}

void TCustomSocksWSocket::SetDefaults() {
    TCustomWSocket::SetDefaults();
    FSocksPhase = 0;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksLeftCount = 0;
    FSocksLeftPos = 0;
    FSocksReplyCount = 0;
    FSocksServerAssigned = false;
    FSocksPortAssigned = false;
}

// ---------------------------------------------------------------------------
// Events

void TCustomSocksWSocket::DoSocksConnected(std::uint16_t Error) {
    if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::DoSocksError(int Error, const std::string& Msg) {
    if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState AuthState) {
    if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}

// ---------------------------------------------------------------------------
// Connect and listen

void TCustomSocksWSocket::Listen() {
    if (FSocksServerAssigned) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
    if (!FSocksServerAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    // A socket in use, or one without its destination, gets the core's own
    // refusal; the dialogue state of a live connection must stay untouched.
    if ((HSocket() != net::INVALID_SOCKET && State() != wsClosed) || !PortAssigned() || !AddrAssigned() ||
        !ProtoAssigned()) {
        TCustomWSocket::Connect();
        return;
    }
    if (Lower(Proto()) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    // SOCKS 5 gives each name and credential a one-byte length; a longer
    // one cannot be sent and would otherwise be cut short.
    if (!SocksLevel4()) {
        if (Addr().size() > SocksMaxFieldLength) {
            ReportError("socks: host name longer than 255 characters");
            return;
        }
        if (FSocksAuthentication == socksAuthenticateUsercode &&
            (FSocksUsercode.size() > SocksMaxFieldLength || FSocksPassword.size() > SocksMaxFieldLength)) {
            ReportError("socks: user code or password longer than 255 characters");
            return;
        }
    }
    std::string failure;
    try {
        std::uint16_t proxyPort = WSocketResolvePort(FSocksPort, Proto());
        std::uint32_t proxyAddr = WSocketResolveHost(FSocksServer);
        FSocksDestPort = WSocketResolvePort(Port(), Proto());
        SetResolvedTarget(proxyAddr, proxyPort);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        ReportError("connect: " + failure);
        return;
    }
    FSocksPhase = 1;
    FSocksReplyCount = 0;
    FSocksLeftCount = 0;
    FSocksLeftPos = 0;
    FSocksBoundAddr.clear();
    FSocksBoundPort.clear();
    TCustomWSocket::Connect();
    // A connect that never got a handle leaves no dialogue behind.
    if (State() == wsClosed) FSocksPhase = 0;
}

void TCustomSocksWSocket::DoSessionConnected(std::uint16_t Error) {
    if (FSocksPhase == 1) {
        TAliveToken alive = AliveToken();
        DoSocksConnected(Error);
        // A handler that closed the socket has ended the dialogue; its close
        // reported OnSessionClosed already.
        if (!*alive || (Error == 0 && HSocket() == net::INVALID_SOCKET)) return;
    }
    if (FSocksPhase == 1 && Error == 0) {
        if (SocksLevel4()) {
            SocksRequest();
        } else {
            FSocksMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
            std::string greeting;
            greeting += '\x05';
            greeting += '\x01';
            greeting += static_cast<char>(FSocksMethod);
            SendSocksBytes(greeting);
        }
        return;
    }
    TCustomWSocket::DoSessionConnected(Error);
}

void TCustomSocksWSocket::DoSessionClosed(std::uint16_t Error) {
    TAliveToken alive = AliveToken();
    if (FSocksPhase == 2) {
        DoSocksAuthState(socksAuthFailure);
        if (!*alive) return;
    }
    TCustomWSocket::DoSessionClosed(Error);
}

// ---------------------------------------------------------------------------
// Requests

void TCustomSocksWSocket::SendSocksBytes(const std::string& Bytes) {
    try {
        Send(Bytes.data(), static_cast<int>(Bytes.size()));
    } catch (...) {
        // A failed send shows as the proxy's silence or the connection's end.
    }
}

void TCustomSocksWSocket::SendSocksCredentials() {
    TAliveToken alive = AliveToken();
    FSocksPhase = 2;
    DoSocksAuthState(socksAuthStart);
    if (!*alive || HSocket() == net::INVALID_SOCKET) return;
    // The lengths were checked by Connect; one byte each.
    std::string req;
    req += '\x01';
    req += static_cast<char>(FSocksUsercode.size());
    req += FSocksUsercode;
    req += static_cast<char>(FSocksPassword.size());
    req += FSocksPassword;
    SendSocksBytes(req);
}

void TCustomSocksWSocket::SocksRequest() {
    FSocksPhase = 3;
    std::string req;
    if (SocksLevel4()) {
        const bool level4A = FSocksLevel == "4A";
        std::uint32_t dest = 0;
        if (level4A) {
            dest = net::htonl(1);  // 0.0.0.1: the proxy resolves the name that follows
        } else {
            std::string failure;
            try {
                dest = WSocketResolveHost(Addr());
            } catch (const std::exception& e) {
                failure = ExceptionText(e);
            }
            if (!failure.empty()) {
                // Reported as every other failure of the dialogue, so that
                // the application also learns it from OnSessionConnected.
                SocksFail(20017, failure);
                return;
            }
        }
        req += '\x04';
        req += '\x01';
        PutPort(req, FSocksDestPort);
        req.append(reinterpret_cast<const char*>(&dest), 4);  // network order already
        req += FSocksUsercode;
        req += '\0';
        if (level4A) {
            req += Addr();
            req += '\0';
        }
    } else {
        req += '\x05';
        req += '\x01';
        req += '\x00';
        req += '\x03';
        req += static_cast<char>(Addr().size());  // at most 255, checked by Connect
        req += Addr();
        PutPort(req, FSocksDestPort);
    }
    SendSocksBytes(req);
}

// ---------------------------------------------------------------------------
// Replies

void TCustomSocksWSocket::SocksFail(int Code, const std::string& Text) {
    TAliveToken alive = AliveToken();
    DoSocksError(Code, Text);
    if (!*alive) return;
    FSocksPhase = 0;
    DoSessionConnected(static_cast<std::uint16_t>(Code));
    if (!*alive) return;
    InternalClose(true, static_cast<std::uint16_t>(Code));
}

bool TCustomSocksWSocket::ReadReply(int Limit) {
    Limit = std::min(Limit, SocksReplyBufferSize);
    if (FSocksReplyCount >= Limit) return true;
    // The core's own read: the layers above hand out application bytes, and
    // these belong to the dialogue.
    int n = TCustomWSocket::ReceiveRaw(FSocksReplyBuffer + FSocksReplyCount, Limit - FSocksReplyCount, 0);
    if (n < 0) return false;
    FSocksReplyCount += n;
    return true;
}

bool TCustomSocksWSocket::DoDataAvailable(std::uint16_t Error) {
    if (FSocksPhase == 0) return TCustomWSocket::DoDataAvailable(Error);
    if (Error != 0) {
        SocksFail(Error, "data receive error");
        return false;
    }
    switch (FSocksPhase) {
        case 1: return ProcessMethodReply();
        case 2: return ProcessAuthReply();
        case 3: return SocksLevel4() ? ProcessSocks4Reply() : ProcessSocks5Reply();
        default: SocksFail(20013, "internal error"); return false;
    }
}

bool TCustomSocksWSocket::ProcessMethodReply() {
    if (SocksLevel4()) {
        SocksFail(20001, "TWSocket logic error");
        return true;
    }
    if (!ReadReply(SocksReplyBufferSize)) return true;
    if (FSocksReplyCount < 2) return true;
    FSocksReplyCount = 0;
    if (FSocksReplyBuffer[0] != 5) {
        SocksFail(20002, "socks version error");
        return true;
    }
    switch (FSocksReplyBuffer[1]) {
        case 0: {
            TAliveToken alive = AliveToken();
            if (FSocksMethod == 2) {
                DoSocksAuthState(socksAuthNotRequired);
                if (!*alive || HSocket() == net::INVALID_SOCKET) return true;
            }
            SocksRequest();
            break;
        }
        case 2: SendSocksCredentials(); break;
        default: SocksFail(20003, "authentification method not acceptable"); break;
    }
    return true;
}

bool TCustomSocksWSocket::ProcessAuthReply() {
    if (!ReadReply(SocksReplyBufferSize)) return true;
    if (FSocksReplyCount >= 1 && FSocksReplyBuffer[0] != 1) {
        SocksFail(20002, "socks version error");
        return true;
    }
    if (FSocksReplyCount < 2) return true;
    if (FSocksReplyCount > 2) {
        SocksFail(20001, "too much data availaible");
        return true;
    }
    if (FSocksReplyBuffer[1] != 0) {
        SocksFail(20015, "socks authentication failed");
        return true;
    }
    FSocksReplyCount = 0;
    TAliveToken alive = AliveToken();
    DoSocksAuthState(socksAuthSuccess);
    if (!*alive || HSocket() == net::INVALID_SOCKET) return true;
    SocksRequest();
    return true;
}

bool TCustomSocksWSocket::ProcessSocks4Reply() {
    // Only the 8 bytes of the reply: what follows is the application's.
    if (!ReadReply(8)) return true;
    if (FSocksReplyCount < 8) return true;
    FSocksReplyCount = 0;
    if (FSocksReplyBuffer[0] != 0) {
        SocksFail(20002, "socks version error");
        return true;
    }
    const int status = FSocksReplyBuffer[1];
    switch (status) {
        case 90: SocksGranted(); break;
        case 91: SocksFail(20016, "request rejected or failed"); break;
        case 92: SocksFail(20008, "connection refused"); break;
        case 93: SocksFail(20015, "authentification failed"); break;
        default: SocksFail(20012, "unassigned error #" + std::to_string(status)); break;
    }
    return true;
}

bool TCustomSocksWSocket::ProcessSocks5Reply() {
    if (!ReadReply(SocksReplyBufferSize)) return true;
    if (FSocksReplyCount >= 1 && FSocksReplyBuffer[0] != 5) {
        SocksFail(20002, "socks version error");
        return true;
    }
    if (FSocksReplyCount >= 2 && FSocksReplyBuffer[1] != 0) {
        const int code = FSocksReplyBuffer[1];
        if (code >= 1 && code <= 8)
            SocksFail(kSocks5Failures[code - 1].Code, kSocks5Failures[code - 1].Text);
        else
            SocksFail(20012, "unassigned error #" + std::to_string(code));
        return true;
    }
    if (FSocksReplyCount < 5) return true;
    int full = 0;
    switch (FSocksReplyBuffer[3]) {
        case 1: full = 10; break;
        case 3: full = 7 + FSocksReplyBuffer[4]; break;
        default: SocksFail(20011, "address type not supported"); return true;
    }
    if (FSocksReplyCount < full) return true;
    if (FSocksReplyBuffer[3] == 1) {
        std::uint32_t a = 0;
        std::memcpy(&a, FSocksReplyBuffer + 4, 4);
        FSocksBoundAddr = WSocket_inet_ntoa(a);
    } else {
        FSocksBoundAddr.assign(reinterpret_cast<const char*>(FSocksReplyBuffer + 5), FSocksReplyBuffer[4]);
    }
    const int port = (FSocksReplyBuffer[full - 2] << 8) | FSocksReplyBuffer[full - 1];
    FSocksBoundPort = std::to_string(port);
    // The bytes behind the reply are the application's; they are handed out
    // before anything read from the socket later, also to an
    // OnSessionConnected handler that reads at once.
    FSocksLeftCount = FSocksReplyCount - full;
    FSocksLeftPos = full;
    FSocksReplyCount = 0;
    SocksGranted();
    return true;
}

void TCustomSocksWSocket::SocksGranted() {
    TAliveToken alive = AliveToken();
    const TSocket h = HSocket();
    auto open = [&] { return *alive && HSocket() == h && h != net::INVALID_SOCKET; };
    FSocksPhase = 0;
    DoSessionConnected(0);
    if (!open()) return;
    // Through the most derived layer, so that line mode also sees them. The
    // bytes held here get no socket notification of their own, so they are
    // offered until the handler takes them all or stops taking any.
    for (;;) {
        const int before = FSocksLeftCount;
        if (!DoDataAvailable(0)) {
            // Nobody reads them: dropped, as the core drops unread socket data.
            if (open()) FSocksLeftCount = 0;
            return;
        }
        if (!open() || FSocksLeftCount <= 0 || FSocksLeftCount == before) return;
    }
}

// ---------------------------------------------------------------------------
// Receiving

int TCustomSocksWSocket::GetRcvdCount() {
    if (FSocksLeftCount > 0) return FSocksLeftCount;
    return TCustomWSocket::GetRcvdCount();
}

int TCustomSocksWSocket::ReceiveRaw(void* Buffer, int BufferSize, int Flags) {
    if (FSocksLeftCount > 0) {
        if (BufferSize <= 0) return 0;
        const int n = std::min(BufferSize, FSocksLeftCount);
        std::memcpy(Buffer, FSocksReplyBuffer + FSocksLeftPos, static_cast<std::size_t>(n));
        FSocksLeftPos += n;
        FSocksLeftCount -= n;
        NoteBufferedRead();
        return n;
    }
    return TCustomWSocket::ReceiveRaw(Buffer, BufferSize, Flags);
}
