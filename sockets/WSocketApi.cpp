// The binding to the socket library, the error texts and the name helpers.

#include <algorithm>
#include <climits>
#include <cstring>

#include "sockets/WSocket.h"

namespace net = platform::net;

const char* const WinsockLibraryName = "wsock32.dll";

namespace {

// The code a caller sees when the library lacks an entry point.
constexpr int kProcNotFound = 127;

// Entry points as the library offers them. The byte-order helpers go through
// small functions because the C library may define their names as macros.
std::uint16_t EntryHtons(std::uint16_t v) { return net::htons(v); }
std::uint16_t EntryNtohs(std::uint16_t v) { return net::ntohs(v); }
std::uint32_t EntryNtohl(std::uint32_t v) { return net::ntohl(v); }
std::string EntryInetNtoa(std::uint32_t a) { return net::inet_ntoa(a); }
std::uint32_t EntryInetAddr(const std::string& t) { return net::inet_addr(t); }

template <class F>
TWinsockProc AsProc(F* f) {
    return reinterpret_cast<TWinsockProc>(f);
}

struct TExport {
    const char* Name;
    TWinsockProc Proc;
};

const TExport kExports[] = {
    {"WSAStartup", AsProc(&net::WSAStartup)},
    {"WSACleanup", AsProc(&net::WSACleanup)},
    {"WSASetLastError", AsProc(&net::WSASetLastError)},
    {"WSAGetLastError", AsProc(&net::WSAGetLastError)},
    {"WSACancelAsyncRequest", AsProc(&net::WSACancelAsyncRequest)},
    {"WSAAsyncGetHostByName", AsProc(&net::WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", AsProc(&net::WSAAsyncGetHostByAddr)},
    {"WSAGetAsyncHostResult", AsProc(&net::WSAGetAsyncHostResult)},
    {"WSAAsyncSelect", AsProc(&net::WSAAsyncSelect)},
    {"pauseReceive", AsProc(&net::pauseReceive)},
    {"getservbyname", AsProc(&net::getservbyname)},
    {"getprotobyname", AsProc(&net::getprotobyname)},
    {"gethostbyname", AsProc(&net::gethostbyname)},
    {"gethostname", AsProc(&net::gethostname)},
    {"socket", AsProc(&net::socket)},
    {"shutdown", AsProc(&net::shutdown)},
    {"setsockopt", AsProc(&net::setsockopt)},
    {"sendto", AsProc(&net::sendto)},
    {"send", AsProc(&net::send)},
    {"WSASend", AsProc(&net::WSASend)},
    {"recv", AsProc(&net::recv)},
    {"recvfrom", AsProc(&net::recvfrom)},
    {"ntohs", AsProc(&EntryNtohs)},
    {"ntohl", AsProc(&EntryNtohl)},
    {"listen", AsProc(&net::listen)},
    {"ioctlsocket", AsProc(&net::ioctlsocket)},
    {"inet_ntoa", AsProc(&EntryInetNtoa)},
    {"inet_addr", AsProc(&EntryInetAddr)},
    {"htons", AsProc(&EntryHtons)},
    {"getsockname", AsProc(&net::getsockname)},
    {"getpeername", AsProc(&net::getpeername)},
    {"connect", AsProc(&net::connect)},
    {"closesocket", AsProc(&net::closesocket)},
    {"bind", AsProc(&net::bind)},
    {"accept", AsProc(&net::accept)},
};

// The cache of bound entry points; all null while the binding is dropped.
struct TEntryCache {
    decltype(&net::WSAStartup) WSAStartup = nullptr;
    decltype(&net::WSACleanup) WSACleanup = nullptr;
    decltype(&net::WSASetLastError) WSASetLastError = nullptr;
    decltype(&net::WSAGetLastError) WSAGetLastError = nullptr;
    decltype(&net::WSACancelAsyncRequest) WSACancelAsyncRequest = nullptr;
    decltype(&net::WSAAsyncGetHostByName) WSAAsyncGetHostByName = nullptr;
    decltype(&net::WSAAsyncGetHostByAddr) WSAAsyncGetHostByAddr = nullptr;
    decltype(&net::WSAGetAsyncHostResult) WSAGetAsyncHostResult = nullptr;
    decltype(&net::WSAAsyncSelect) WSAAsyncSelect = nullptr;
    decltype(&net::pauseReceive) pauseReceive = nullptr;
    decltype(&net::getservbyname) getservbyname = nullptr;
    decltype(&net::getprotobyname) getprotobyname = nullptr;
    decltype(&net::gethostbyname) gethostbyname = nullptr;
    decltype(&net::gethostname) gethostname = nullptr;
    decltype(&net::socket) socket = nullptr;
    decltype(&net::shutdown) shutdown = nullptr;
    decltype(&net::setsockopt) setsockopt = nullptr;
    decltype(&net::sendto) sendto = nullptr;
    decltype(&net::send) send = nullptr;
    decltype(&net::WSASend) WSASend = nullptr;
    decltype(&net::recv) recv = nullptr;
    decltype(&net::recvfrom) recvfrom = nullptr;
    decltype(&EntryNtohs) ntohs = nullptr;
    decltype(&EntryNtohl) ntohl = nullptr;
    decltype(&net::listen) listen = nullptr;
    decltype(&net::ioctlsocket) ioctlsocket = nullptr;
    decltype(&EntryInetNtoa) inet_ntoa = nullptr;
    decltype(&EntryInetAddr) inet_addr = nullptr;
    decltype(&EntryHtons) htons = nullptr;
    decltype(&net::getsockname) getsockname = nullptr;
    decltype(&net::getpeername) getpeername = nullptr;
    decltype(&net::connect) connect = nullptr;
    decltype(&net::closesocket) closesocket = nullptr;
    decltype(&net::bind) bind = nullptr;
    decltype(&net::accept) accept = nullptr;
};

bool g_loaded = false;
int g_loadCount = 0;
TEntryCache g_entries;

template <class F>
F Bound(F& slot, const char* name) {
    if (!slot) slot = reinterpret_cast<F>(LoadWinsockEntry(name));
    return slot;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

}  // namespace

// Live sockets; kept here beside the binding they keep loaded.
int g_wsocketLiveCount = 0;

std::string WSocketFormat(const std::string& Format, std::initializer_list<TFormatArg> Args) {
    std::string out;
    auto arg = Args.begin();
    for (std::size_t i = 0; i < Format.size(); ++i) {
        char c = Format[i];
        if (c == '%' && i + 1 < Format.size()) {
            char k = Format[i + 1];
            if (k == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (k == 's' || k == 'd') {
                if (arg != Args.end()) out += (arg++)->Text;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

TWinsockProc LoadWinsockEntry(const std::string& Name) {
    if (!g_loaded) {
        // Counted as loaded before start-up, so a failed start-up is not
        // tried again until the binding is dropped.
        g_loaded = true;
        ++g_loadCount;
        int rc = net::WSAStartup(0x0101);
        if (rc != 0) throw ESocketException(WSocketFormat("%s: WSAStartup error #%d", {WinsockLibraryName, rc}));
    }
    if (Name.empty()) return nullptr;
    for (const auto& e : kExports)
        if (Name == e.Name) return e.Proc;
    throw ESocketException("Procedure " + Name + " not found in " + WinsockLibraryName + " Error #" +
                           std::to_string(kProcNotFound));
}

void UnloadWinsock() {
    if (g_loaded) {
        net::WSACleanup();
        g_loaded = false;
        g_entries = TEntryCache{};
    }
    g_wsocketLiveCount = 0;
}

bool WinsockLoaded() { return g_loaded; }
int WinsockLoadCount() { return g_loadCount; }
int WSocketLiveCount() { return g_wsocketLiveCount; }

int WSocket_WSAStartup(unsigned short Version) { return Bound(g_entries.WSAStartup, "WSAStartup")(Version); }
int WSocket_WSACleanup() { return Bound(g_entries.WSACleanup, "WSACleanup")(); }
void WSocket_WSASetLastError(int Code) { Bound(g_entries.WSASetLastError, "WSASetLastError")(Code); }
int WSocket_WSAGetLastError() { return Bound(g_entries.WSAGetLastError, "WSAGetLastError")(); }
int WSocket_WSACancelAsyncRequest(net::AsyncHandle H) {
    return Bound(g_entries.WSACancelAsyncRequest, "WSACancelAsyncRequest")(H);
}
net::AsyncHandle WSocket_WSAAsyncGetHostByName(platform::HWND Wnd, unsigned Msg, const std::string& Name) {
    return Bound(g_entries.WSAAsyncGetHostByName, "WSAAsyncGetHostByName")(Wnd, Msg, Name);
}
net::AsyncHandle WSocket_WSAAsyncGetHostByAddr(platform::HWND Wnd, unsigned Msg, std::uint32_t Addr) {
    return Bound(g_entries.WSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr")(Wnd, Msg, Addr);
}
bool WSocket_WSAGetAsyncHostResult(net::AsyncHandle H, net::HostEntry& Out) {
    return Bound(g_entries.WSAGetAsyncHostResult, "WSAGetAsyncHostResult")(H, Out);
}
int WSocket_WSAAsyncSelect(TSocket S, platform::HWND Wnd, unsigned Msg, long Events) {
    return Bound(g_entries.WSAAsyncSelect, "WSAAsyncSelect")(S, Wnd, Msg, Events);
}
int WSocket_pauseReceive(TSocket S, bool Paused) { return Bound(g_entries.pauseReceive, "pauseReceive")(S, Paused); }
int WSocket_getservbyname(const std::string& Name, const std::string& Proto) {
    return Bound(g_entries.getservbyname, "getservbyname")(Name, Proto);
}
int WSocket_getprotobyname(const std::string& Name) { return Bound(g_entries.getprotobyname, "getprotobyname")(Name); }
bool WSocket_gethostbyname(const std::string& Name, net::HostEntry& Out) {
    return Bound(g_entries.gethostbyname, "gethostbyname")(Name, Out);
}
int WSocket_gethostname(char* Buf, int Len) { return Bound(g_entries.gethostname, "gethostname")(Buf, Len); }
TSocket WSocket_socket(int Af, int Type, int Protocol) { return Bound(g_entries.socket, "socket")(Af, Type, Protocol); }
int WSocket_shutdown(TSocket S, int How) { return Bound(g_entries.shutdown, "shutdown")(S, How); }
int WSocket_setsockopt(TSocket S, int Level, int OptName, const void* OptVal, int OptLen) {
    return Bound(g_entries.setsockopt, "setsockopt")(S, Level, OptName, OptVal, OptLen);
}
int WSocket_sendto(TSocket S, const void* Buf, int Len, int Flags, const sockaddr_in* To, int ToLen) {
    return Bound(g_entries.sendto, "sendto")(S, Buf, Len, Flags, To, ToLen);
}
int WSocket_send(TSocket S, const void* Buf, int Len, int Flags) {
    return Bound(g_entries.send, "send")(S, Buf, Len, Flags);
}
int WSocket_WSASend(TSocket S, const net::WSABUF* Buffers, unsigned Count, unsigned long* Sent, int Flags) {
    return Bound(g_entries.WSASend, "WSASend")(S, Buffers, Count, Sent, Flags);
}
int WSocket_recv(TSocket S, void* Buf, int Len, int Flags) {
    return Bound(g_entries.recv, "recv")(S, Buf, Len, Flags);
}
int WSocket_recvfrom(TSocket S, void* Buf, int Len, int Flags, sockaddr_in* From, int* FromLen) {
    return Bound(g_entries.recvfrom, "recvfrom")(S, Buf, Len, Flags, From, FromLen);
}
std::uint16_t WSocket_ntohs(std::uint16_t V) { return Bound(g_entries.ntohs, "ntohs")(V); }
std::uint32_t WSocket_ntohl(std::uint32_t V) { return Bound(g_entries.ntohl, "ntohl")(V); }
int WSocket_listen(TSocket S, int Backlog) { return Bound(g_entries.listen, "listen")(S, Backlog); }
int WSocket_ioctlsocket(TSocket S, long Cmd, unsigned long* Arg) {
    return Bound(g_entries.ioctlsocket, "ioctlsocket")(S, Cmd, Arg);
}
std::string WSocket_inet_ntoa(std::uint32_t Addr) { return Bound(g_entries.inet_ntoa, "inet_ntoa")(Addr); }
std::uint32_t WSocket_inet_addr(const std::string& Text) { return Bound(g_entries.inet_addr, "inet_addr")(Text); }
std::uint16_t WSocket_htons(std::uint16_t V) { return Bound(g_entries.htons, "htons")(V); }
int WSocket_getsockname(TSocket S, sockaddr_in* Addr, int* Len) {
    return Bound(g_entries.getsockname, "getsockname")(S, Addr, Len);
}
int WSocket_getpeername(TSocket S, sockaddr_in* Addr, int* Len) {
    return Bound(g_entries.getpeername, "getpeername")(S, Addr, Len);
}
int WSocket_connect(TSocket S, const sockaddr_in* Addr, int Len) {
    return Bound(g_entries.connect, "connect")(S, Addr, Len);
}
int WSocket_closesocket(TSocket S) { return Bound(g_entries.closesocket, "closesocket")(S); }
int WSocket_bind(TSocket S, const sockaddr_in* Addr, int Len) { return Bound(g_entries.bind, "bind")(S, Addr, Len); }
TSocket WSocket_accept(TSocket S, sockaddr_in* Addr, int* Len) {
    return Bound(g_entries.accept, "accept")(S, Addr, Len);
}

// ---------------------------------------------------------------------------

std::string WSocketErrorText(int Code) {
    struct Row {
        int code;
        const char* text;
    };
    static const Row rows[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
    };
    for (const auto& r : rows)
        if (r.code == Code) return r.text;
    return "Not a WinSock error";
}

bool IsDecimalDigit(char Ch) { return Ch >= '0' && Ch <= '9'; }

int ParseLeadingNumber(const std::string& Text) {
    std::size_t i = 0;
    while (i < Text.size() && Text[i] == ' ') ++i;
    long long n = 0;
    for (; i < Text.size() && IsDecimalDigit(Text[i]); ++i) n = std::min<long long>(n * 10 + (Text[i] - '0'), INT_MAX);
    return static_cast<int>(n);
}

bool WSocketIsDottedIP(const std::string& Text) {
    std::size_t i = 0, n = Text.size();
    while (i < n && Text[i] == ' ') ++i;
    if (i < n && Text[i] == '.') return false;
    int dots = 0;
    int part = 0;
    for (; i < n; ++i) {
        char c = Text[i];
        if (IsDecimalDigit(c)) {
            part = std::min(part * 10 + (c - '0'), 256);  // anything above 255 is already wrong
        } else if (c == '.') {
            if (++dots > 3 || part > 255 || i + 1 >= n || !IsDecimalDigit(Text[i + 1])) return false;
            part = 0;
        } else if (c == ' ') {
            for (std::size_t j = i; j < n; ++j)
                if (Text[j] != ' ') return false;
            break;
        } else {
            return false;
        }
    }
    return dots == 3 && part <= 255;
}

std::uint32_t WSocketResolveHost(const std::string& Host) {
    if (Host.empty() || Host.size() > 256) throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
    std::string h = Trim(Host);
    if (WSocketIsDottedIP(h)) {
        std::uint32_t a = WSocket_inet_addr(h);
        if (a == INADDR_NONE && h != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + h + "' Invalid IP address.");
        return a;
    }
    net::HostEntry e;
    if (!WSocket_gethostbyname(h, e) || e.addresses.empty()) {
        int code = WSocket_WSAGetLastError();
        if (code == 0) code = net::WSANO_DATA;
        throw ESocketException(
            WSocketFormat("WSocketResolveHost: Cannot convert host address '%s', Error #%d", {h, code}));
    }
    return e.addresses.front();
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDecimalDigit(Port[0])) {
        int n = ParseLeadingNumber(Port);
        // A number that no 16-bit port can hold would otherwise wrap onto an
        // unrelated port.
        if (n > 65535) throw ESocketException("WSocketResolvePort: Invalid Port.");
        return static_cast<std::uint16_t>(n);
    }
    int p = WSocket_getservbyname(Trim(Port), Trim(Proto));
    if (p < 0)
        throw ESocketException(
            WSocketFormat("WSocketResolvePort: Cannot convert port '%s', Error #%d", {Port, WSocket_WSAGetLastError()}));
    return static_cast<std::uint16_t>(p);
}

int WSocketResolveProto(const std::string& Proto) {
    if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string p = Trim(Proto);
    if (!p.empty() && IsDecimalDigit(p[0])) return ParseLeadingNumber(p);
    int n = WSocket_getprotobyname(p);
    if (n < 0)
        throw ESocketException("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                               {Proto, WSocket_WSAGetLastError()});
    return n;
}

std::optional<net::HostEntry> WSocketGetHostByName(const std::string& Name) {
    if (Name.empty() || Name.size() > 256) throw ESocketException("WSocketGetHostByName: Invalid Hostname.");
    net::HostEntry e;
    if (!WSocket_gethostbyname(Name, e)) return std::nullopt;
    return e;
}

std::string WSocketLocalHostName() {
    // Room for the longest host name Linux allows, and more.
    char buf[256] = {};
    if (WSocket_gethostname(buf, sizeof buf) != 0) throw ESocketException("Winsock.GetHostName failed");
    buf[sizeof buf - 1] = 0;
    return buf;
}

const std::vector<std::string>& WSocketLocalAddresses() {
    static std::vector<std::string> list;
    list.clear();
    std::string host = WSocketLocalHostName();
    std::optional<net::HostEntry> e;
    if (!host.empty()) e = WSocketGetHostByName(host);
    if (e)
        for (auto a : e->addresses) list.push_back(WSocket_inet_ntoa(a));
    if (list.empty())
        for (auto a : net::interfaceAddresses()) list.push_back(WSocket_inet_ntoa(a));
    return list;
}

const char* SocketStateName(TSocketState State) {
    switch (State) {
        case wsInvalidState: return "wsInvalidState";
        case wsOpened: return "wsOpened";
        case wsBound: return "wsBound";
        case wsConnecting: return "wsConnecting";
        case wsConnected: return "wsConnected";
        case wsAccepting: return "wsAccepting";
        case wsListening: return "wsListening";
        case wsClosed: return "wsClosed";
    }
    return "?";
}
