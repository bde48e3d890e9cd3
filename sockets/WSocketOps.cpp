// The event socket's operations: address setters, connect, listen, accept,
// adoption of an accepted handle, name lookups, address getters and the ways
// a connection ends.

#include <netinet/tcp.h>
#include <sys/socket.h>

#include "sockets/WSocket.h"

namespace net = platform::net;

namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

constexpr int kTrue = -1;  // the library's way of switching an option on

}  // namespace

// ---------------------------------------------------------------------------
// Setters

// Addr, Port and Proto share one rule: an equal text changes nothing, another
// is taken only while closed, and an empty one leaves the property unassigned.
void TCustomWSocket::StoreTargetText(const char* what, const std::string& Value, std::string& text, bool& assigned,
                                     bool& resolved) {
    if (assigned && Value == text) return;
    if (FState != wsClosed) {
        ReportError(std::string("Cannot change ") + what + " if not closed");
        return;
    }
    text = Trim(Value);
    resolved = false;
    assigned = !text.empty();
}

void TCustomWSocket::SetAddr(const std::string& Value) {
    StoreTargetText("Addr", Value, FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& Value) {
    StoreTargetText("Port", Value, FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& Value) {
    StoreTargetText("Proto", Value, FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPort = Value;
    FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string v = Value.empty() ? std::string("0.0.0.0") : Value;
    std::uint32_t a = WSocket_inet_addr(v);
    if (a == INADDR_NONE && v != "255.255.255.255") ReportError("SetLocalAddr(): Invalid IP address");
    FLocalAddr = WSocket_inet_ntoa(a);
}

// ---------------------------------------------------------------------------
// Connect and listen

bool TCustomWSocket::ResolveForOpen(bool ForConnect, const std::string& Prefix) {
    std::string failure;
    try {
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            FSin.sin_port = WSocket_htons(static_cast<std::uint16_t>(FPortNum));
            FPortResolved = true;
        }
        if (ForConnect && !FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPort, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            FSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
        return true;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    ReportError(Prefix + failure);
    return false;
}

void TCustomWSocket::SetResolvedTarget(std::uint32_t AddrNetOrder, std::uint16_t PortHostOrder) {
    FSin.sin_addr.s_addr = AddrNetOrder;
    FPortNum = PortHostOrder;
    FSin.sin_port = WSocket_htons(PortHostOrder);
    FAddrResolved = true;
    FPortResolved = true;
}

void TCustomWSocket::Connect() {
    if (FHSocket != net::INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    if (!ResolveForOpen(true, "connect: ")) return;

    ClearSendQueue();
    TSocket h = WSocket_socket(FAddrFormat, FType, FProto);
    if (h == net::INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    FHSocket = h;
    FCloseInvoked = false;  // a new connection reports its own close
    FEndWhenSent = false;
    SetState(wsOpened);

    if (FType == SOCK_DGRAM) {
        if (!BindLocal()) return;
        if (FMultiCast && FMultiCastIpTTL != 1) {
            int ttl = FMultiCastIpTTL;
            if (net::setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0) {
                ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
                return;
            }
        }
        if (FSin.sin_addr.s_addr == INADDR_NONE) {
            int on = 1;
            if (net::setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        int on = kTrue;
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (FComponentOptions.Contains(wsoTcpNoDelay) &&
            WSocket_setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
            ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        ApplyLingerOption();
        if (FHSocket == net::INVALID_SOCKET) return;  // the report closed it
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if ((FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindLocal()) return;
    }

    FSelectEvent = WSocketConnectMask;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_WSOCKET_SELECT, FSelectEvent) < 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FType == SOCK_DGRAM) {
        SetState(wsConnected);
        DoSessionConnected(0);
        return;
    }
    if (WSocket_connect(FHSocket, &FSin, sizeof FSin) < 0) {
        int code = WSocket_WSAGetLastError();
        // The library reports a connection in progress as would-block; the
        // system below may say so with the in-progress code.
        if (code != net::WSAEWOULDBLOCK && code != net::WSAEINPROGRESS) {
            FLastError = code;
            ReportSocketError("Connect");
            return;
        }
    }
    SetState(wsConnecting);
}

void TCustomWSocket::ApplyLingerOption() {
    if (FLingerOnOff == wsLingerNoSet) return;
    if (FHSocket == net::INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    linger l{};
    l.l_onoff = FLingerOnOff;
    l.l_linger = FLingerTimeout;
    if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) ReportSocketError("setsockopt(SO_LINGER)");
}

bool TCustomWSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = WSocket_htons(static_cast<std::uint16_t>(FLocalPortNum));
    local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (WSocket_bind(FHSocket, &local, sizeof local) < 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", {WSocket_WSAGetLastError()});
        return false;
    }
    int len = sizeof local;
    if (WSocket_getsockname(FHSocket, &local, &len) < 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", {WSocket_WSAGetLastError()});
        return false;
    }
    FLocalPortNum = WSocket_ntohs(local.sin_port);
    FLocalPort = std::to_string(FLocalPortNum);
    return true;
}

void TCustomWSocket::Listen() {
    if (!FPortAssigned) {
        WSocket_WSASetLastError(net::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        WSocket_WSASetLastError(net::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        WSocket_WSASetLastError(net::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    if (!ResolveForOpen(false, "listen: ")) return;

    ClearSendQueue();
    TSocket h = WSocket_socket(FAddrFormat, FType, FProto);
    if (h == net::INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    FHSocket = h;
    FCloseInvoked = false;
    FEndWhenSent = false;

    // Until the State leaves wsClosed no close would release the handle, so
    // each failure here closes it before it is reported.
    auto failSetup = [this](const char* label) {
        int code = WSocket_WSAGetLastError();
        CloseHandleQuietly();
        WSocket_WSASetLastError(code);
        ReportSocketError(label);
    };
    if (FType == SOCK_DGRAM && FReuseAddr) {
        int on = kTrue;
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
            failSetup("setsockopt(SO_REUSEADDR)");
            return;
        }
    }
    if (WSocket_bind(FHSocket, &FSin, sizeof FSin) < 0) {
        failSetup("Bind");
        return;
    }
    SetState(wsBound);
    if (FType == SOCK_DGRAM && FMultiCast) {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = net::inet_addr(FMultiCastAddrStr);
        mreq.imr_interface.s_addr = INADDR_ANY;
        if (net::setsockopt(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
            ReportSocketError("setsockopt(IP MULTICAST)");
            return;
        }
    }
    if (FType == SOCK_DGRAM) {
        SetState(wsListening);
        SetState(wsConnected);
        DoSessionConnected(0);
    } else {
        // WinSock 1.1's largest backlog stands for the system's largest.
        if (WSocket_listen(FHSocket, SOMAXCONN) < 0) {
            ReportSocketError("Listen");
            return;
        }
        SetState(wsListening);
    }
    if (FHSocket == net::INVALID_SOCKET) return;  // a handler closed it meanwhile
    FSelectEvent = WSocketListenMask;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_WSOCKET_SELECT, FSelectEvent) < 0)
        ReportSocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept() {
    if (FState != wsListening) {
        WSocket_WSASetLastError(net::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return net::INVALID_SOCKET;
    }
    int len = sizeof FSin;
    FASocket = WSocket_accept(FHSocket, &FSin, &len);
    if (FASocket == net::INVALID_SOCKET) {
        ReportSocketError("Accept");
        return net::INVALID_SOCKET;
    }
    return FASocket;
}

void TCustomWSocket::Dup(TSocket NewHSocket) {
    if (NewHSocket == 0 || NewHSocket == net::INVALID_SOCKET) {
        WSocket_WSASetLastError(net::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        int rc = FHSocket == net::INVALID_SOCKET ? 0 : WSocket_closesocket(FHSocket);
        FHSocket = net::INVALID_SOCKET;
        if (rc < 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        SetState(wsClosed);
    }
    CloseHandleQuietly();
    // Bytes queued for an earlier connection must never reach this peer.
    ClearSendQueue();
    FAllSent = true;
    FHSocket = NewHSocket;
    FCloseInvoked = false;
    FEndWhenSent = false;
    FPaused = false;
    FReceivePaused = false;
    FDeferredBits = 0;
    ApplyLingerOption();
    if (FHSocket == net::INVALID_SOCKET) return;
    FSelectEvent = WSocketDupMask;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_WSOCKET_SELECT, FSelectEvent) < 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    SetState(wsConnected);
}

// ---------------------------------------------------------------------------
// Name lookups

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        DoDnsLookupDone(net::WSAEINVAL);
        return;
    }
    if (FDnsLookupHandle != 0) WSocket_WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
    FDnsResult.clear();
    FDnsResultList.clear();

    std::uint32_t a = WSocket_inet_addr(HostName);
    if (a != INADDR_NONE) {
        FDnsResult = WSocket_inet_ntoa(a);
        DoDnsLookupDone(0);
        return;
    }
    FReplyParked = false;
    FDnsLookupHandle = WSocket_WSAAsyncGetHostByName(FWindowHandle, WM_WSOCKET_HOSTBYNAME, HostName);
    if (FDnsLookupHandle == 0) {
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", {HostName, WSocket_WSAGetLastError()});
        return;
    }
    if (FReplyParked) {
        FReplyParked = false;
        if (static_cast<net::AsyncHandle>(FParkedReply.wParam) == FDnsLookupHandle) {
            FDnsLookupHandle = 0;
            FinishHostByName(FParkedReply.lParam, FParkedGot, FParkedEntry);
        }
    }
}

void TCustomWSocket::HandleHostByNameDone(const platform::Message& Msg) {
    const auto h = static_cast<net::AsyncHandle>(Msg.wParam);
    net::HostEntry entry;
    // The result is always taken, so that no reply is left behind unread.
    bool got = WSocket_WSAGetAsyncHostResult(h, entry);
    if (FDnsLookupHandle == 0) {
        FParkedReply = Msg;
        FParkedGot = got;
        FParkedEntry = std::move(entry);
        FReplyParked = true;
        return;
    }
    if (h != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    FinishHostByName(Msg.lParam, got, entry);
}

void TCustomWSocket::FinishHostByName(std::intptr_t LParam, bool Got, const net::HostEntry& Entry) {
    unsigned err = net::HIWORD(LParam);
    if (err == 0) {
        for (auto a : Entry.addresses) FDnsResultList.push_back(WSocket_inet_ntoa(a));
        if (!Got || FDnsResultList.empty())
            err = net::WSANO_DATA;  // success without an address is no answer
        else
            FDnsResult = FDnsResultList.front();
    }
    DoDnsLookupDone(static_cast<std::uint16_t>(err));
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        ReportError("ReverseDnsLookup: Invalid host name.");
        DoDnsLookupDone(net::WSAEINVAL);
        return;
    }
    if (FDnsLookupHandle != 0) WSocket_WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
    FDnsResult.clear();
    FDnsResultList.clear();
    FDnsLookupHandle =
        WSocket_WSAAsyncGetHostByAddr(FWindowHandle, WM_WSOCKET_HOSTBYADDR, WSocket_inet_addr(HostAddr));
    if (FDnsLookupHandle == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", {HostAddr, WSocket_WSAGetLastError()});
}

void TCustomWSocket::HandleHostByAddrDone(const platform::Message& Msg) {
    const auto h = static_cast<net::AsyncHandle>(Msg.wParam);
    net::HostEntry entry;
    bool got = WSocket_WSAGetAsyncHostResult(h, entry);
    if (FDnsLookupHandle == 0 || h != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    unsigned err = net::HIWORD(Msg.lParam);
    if (err == 0) {
        if (got && !entry.name.empty()) {
            FDnsResult = entry.name;
            FDnsResultList.assign(1, entry.name);
        } else {
            err = net::WSANO_DATA;
        }
    }
    DoDnsLookupDone(static_cast<std::uint16_t>(err));
}

void TCustomWSocket::CancelDnsLookup() {
    if (FDnsLookupHandle == 0) return;
    int rc = WSocket_WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
    if (rc < 0) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!FDestroying) DoDnsLookupDone(net::WSAEINTR);
}

// ---------------------------------------------------------------------------
// Addresses

std::string TCustomWSocket::GetPeerAddr() {
    if (FState != wsConnected) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getpeername(FHSocket, &sa, &len) < 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return WSocket_inet_ntoa(sa.sin_addr.s_addr);
}

std::string TCustomWSocket::GetPeerPort() {
    if (FState != wsConnected) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getpeername(FHSocket, &sa, &len) < 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(WSocket_ntohs(sa.sin_port));
}

int TCustomWSocket::GetPeerSockAddr(sockaddr_in& Addr, int& Len) {
    if (FState != wsConnected) return -1;
    return WSocket_getpeername(FHSocket, &Addr, &Len);
}

std::string TCustomWSocket::GetBoundPort() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getsockname(FHSocket, &sa, &len) < 0) return "error";
    return std::to_string(WSocket_ntohs(sa.sin_port));
}

std::string TCustomWSocket::GetBoundAddr() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getsockname(FHSocket, &sa, &len) < 0) return "error";
    return WSocket_inet_ntoa(sa.sin_addr.s_addr);
}

int TCustomWSocket::GetLocalSockAddr(sockaddr_in& Addr, int& Len) { return WSocket_getsockname(FHSocket, &Addr, &Len); }

// ---------------------------------------------------------------------------
// Ending a connection

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::Abort() {
    CancelDnsLookup();
    ClearSendQueue();
    if (FState == wsConnected && FProto == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLingerOption();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::InternalClose(bool Shut, std::uint16_t Error) {
    TAliveToken alive = FAlive;
    if (FHSocket == net::INVALID_SOCKET) {
        if (FState != wsClosed) {
            SetState(wsClosed);
            if (!*alive) return;
            if (FHSocket == net::INVALID_SOCKET) SetDefaults();
        }
        return;
    }
    if (FState == wsClosed) return;
    const TSocket h = FHSocket;
    if (Shut) WSocket_shutdown(h, 1);
    for (;;) {
        if (WSocket_closesocket(h) >= 0) break;
        int code = WSocket_WSAGetLastError();
        if (code == net::WSAEWOULDBLOCK) {
            MessagePump();
            if (!*alive || FHSocket != h) return;
            continue;
        }
        if (code == net::WSANOTINITIALISED) break;
        FLastError = code;
        FHSocket = net::INVALID_SOCKET;
        WSocket_WSASetLastError(code);
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    FHSocket = net::INVALID_SOCKET;
    SetState(wsClosed);
    if (!*alive) return;
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        DoSessionClosed(Error);
        if (!*alive) return;
    }
    // A handler that opened a new connection meanwhile keeps its settings.
    if (FHSocket != net::INVALID_SOCKET) return;
    try {
        SetDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::CloseDelayed() { platform::loop().post(FWindowHandle, WM_WSOCKET_CLOSE_DELAYED, 0, 0); }

void TCustomWSocket::Release() { platform::loop().post(FWindowHandle, WM_WSOCKET_RELEASE, 0, 0); }

void TCustomWSocket::ShutdownSocket(int How) {
    if (FHSocket != net::INVALID_SOCKET) WSocket_shutdown(FHSocket, How);
}

int TCustomWSocket::PauseEvents() {
    FPaused = true;
    return WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

int TCustomWSocket::ResumeEvents() {
    FPaused = false;
    const int rc = WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_WSOCKET_SELECT, FSelectEvent);
    PostDeferredEvents();
    return rc;
}

int TCustomWSocket::PauseReceiving() {
    if (FReceivePaused || FHSocket == net::INVALID_SOCKET) return 0;
    FReceivePaused = true;
    return WSocket_pauseReceive(FHSocket, true);
}

int TCustomWSocket::ResumeReceiving() {
    if (!FReceivePaused) return 0;
    FReceivePaused = false;
    const int rc = FHSocket == net::INVALID_SOCKET ? 0 : WSocket_pauseReceive(FHSocket, false);
    PostDeferredEvents();
    return rc;
}
