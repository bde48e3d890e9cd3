// The event socket's core: construction and destruction, the hidden window and
// its dispatch, the notification handler, error reporting and background
// exceptions.

#include "sockets/WSocket.h"

namespace net = platform::net;

extern int g_wsocketLiveCount;

TCustomWSocket::TCustomWSocket() : FAlive(std::make_shared<bool>(true)) {
    AllocateSocketWindow();
    FBufSize = DefaultBlockSize;
    FMultiCastIpTTL = 1;
    SetDefaults();
    ++g_wsocketLiveCount;
}

TCustomWSocket::~TCustomWSocket() { BeginDestroy(); }

void TCustomWSocket::BeginDestroy() {
    if (FDestroying) return;
    FDestroying = true;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    if (FState != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    CloseHandleQuietly();
    if (--g_wsocketLiveCount < 1) {
        UnloadWinsock();
        g_wsocketLiveCount = 0;
    }
    ClearSendQueue();
    FDnsResultList.clear();
    DeallocateSocketWindow();
    // Any dispatch frame still running for this object stops at its next check.
    *FAlive = false;
}

void TCustomWSocket::CloseHandleQuietly() {
    // A handle can be left behind while the State says wsClosed (a setup that
    // failed half-way); it must not outlive the object.
    if (FHSocket != net::INVALID_SOCKET) {
        try {
            WSocket_closesocket(FHSocket);
        } catch (...) {
        }
        FHSocket = net::INVALID_SOCKET;
    }
}

// ---------------------------------------------------------------------------
// Hidden window

void TCustomWSocket::AllocateSocketWindow() {
    FWindowHandle = platform::loop().createWindow([this](platform::Message& m) { SocketWindowProc(m); });
    FWindowBound = FWindowHandle != platform::NullWindow;
}

void TCustomWSocket::DeallocateSocketWindow() {
    FWindowBound = false;
    if (FWindowHandle != platform::NullWindow) platform::loop().destroyWindow(FWindowHandle);
    FWindowHandle = platform::NullWindow;
}

void TCustomWSocket::SocketWindowProc(platform::Message& Msg) {
    if (!FWindowBound) {
        Msg.result = 0;
        return;
    }
    WndProc(Msg);
}

void TCustomWSocket::WndProc(platform::Message& Msg) {
    TAliveToken alive = FAlive;
    try {
        switch (Msg.msg) {
            case WM_WSOCKET_SELECT: HandleSelectEvent(Msg); break;
            case WM_WSOCKET_HOSTBYNAME: HandleHostByNameDone(Msg); break;
            case WM_WSOCKET_HOSTBYADDR: HandleHostByAddrDone(Msg); break;
            case WM_WSOCKET_CLOSE_DELAYED: Close(); break;
            case WM_WSOCKET_RELEASE: delete this; return;
            case WM_WSOCKET_TEST_EXCEPTION: throw ESocketException("Test exception in WSocket");
            default: Msg.result = 0; break;
        }
    } catch (const std::exception& e) {
        if (*alive) HandleBackgroundException(e);
    } catch (...) {
        // Nothing may cross the loop's dispatch; treat it as any other
        // background failure.
        if (*alive) HandleBackgroundException(ESocketException("Unknown exception in WSocket"));
    }
}

void TCustomWSocket::MessagePump() {
    // Both the application's pump and the socket's own one are the loop's
    // non-blocking dispatch here. The loop keeps a quit for its run(); the
    // socket's own pump takes note of it as its own WM_QUIT.
    platform::loop().processMessages();
    if (FMultiThreaded && platform::loop().quitRequested()) FTerminated = true;
}

// ---------------------------------------------------------------------------
// Notifications

void TCustomWSocket::HandleSelectEvent(const platform::Message& Msg) {
    const TSocket h = static_cast<TSocket>(Msg.wParam);
    TAliveToken alive = FAlive;
    // A notification left in the queue from a closed handle is dropped; the
    // check is repeated between the bits because each handler may close the
    // socket.
    auto same = [&] { return *alive && FHSocket != net::INVALID_SOCKET && FHSocket == h; };
    if (!same()) return;
    const unsigned bits = net::LOWORD(Msg.lParam);
    const auto err = static_cast<std::uint16_t>(net::HIWORD(Msg.lParam));
    // A bit that comes while paused (a handler may pause between two bits)
    // is dropped. The platform reports data, space and connections again
    // after the resume, but not the connection's end or a connect's
    // outcome: those are kept here for then.
    auto held = [&](unsigned bit) {
        const bool paused = FPaused || (FReceivePaused && (bit == net::FD_READ || bit == net::FD_CLOSE));
        if (paused && (bit == net::FD_CONNECT || bit == net::FD_CLOSE)) {
            FDeferredBits |= static_cast<long>(bit);
            (bit == net::FD_CONNECT ? FDeferredConnectError : FDeferredCloseError) = err;
        }
        return paused;
    };

    if ((bits & net::FD_CONNECT) && !held(net::FD_CONNECT)) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            if (!*alive) return;
            DoSessionConnected(err);
            if (err != 0 && same() && FState != wsClosed) Close();
        }
        if (!same()) return;
    }
    if ((bits & net::FD_READ) && !held(net::FD_READ)) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            if (!*alive) return;
            DoSessionConnected(err);
            if (!same()) return;
        }
        ReceiveLoop(err, FComponentOptions);
        if (!same()) return;
    }
    // Any FD_WRITE for this handle, posted by Send or reported by the
    // platform, answers the notice Send may have posted: a send completed
    // from here on needs a notice of its own.
    if ((bits & net::FD_WRITE) && FSentNoticeFor == h) FSentNoticeFor = net::INVALID_SOCKET;
    if ((bits & net::FD_WRITE) && !held(net::FD_WRITE)) {
        TryToSend();
        if (!same()) return;
        if (FAllSent) {
            DoDataSent(err);
            if (!same()) return;
            // The handler may have queued more; the end waits for that too.
            if (FEndWhenSent && FAllSent) {
                EndAtPeerClose(0);
                return;
            }
        }
    }
    if ((bits & net::FD_ACCEPT) && !held(net::FD_ACCEPT)) {
        DoSessionAvailable(err);
        if (!same()) return;
    }
    if ((bits & net::FD_CLOSE) && FState != wsConnecting && !held(net::FD_CLOSE)) {
        ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop));
        // A handler that closed the socket meanwhile has had its
        // OnSessionClosed already; one that paused gets the end after the
        // resume.
        if (!same() || held(net::FD_CLOSE)) return;
        if (err == 0 && !FAllSent && FType == SOCK_STREAM && FComponentOptions.Contains(wsoFinishSending)) {
            // Only the peer's sending has ended: it still reads.
            FEndWhenSent = true;
            return;
        }
        EndAtPeerClose(err);
    }
}

void TCustomWSocket::EndAtPeerClose(std::uint16_t Error) {
    TAliveToken alive = FAlive;
    const TSocket h = FHSocket;
    FEndWhenSent = false;
    if (!FCloseInvoked) {
        FCloseInvoked = true;
        DoSessionClosed(Error);
    }
    if (*alive && FHSocket == h && FHSocket != net::INVALID_SOCKET && FState != wsClosed) Close();
}

void TCustomWSocket::PostDeferredEvents() {
    if (FHSocket == net::INVALID_SOCKET || FDeferredBits == 0) return;
    const long bits = FDeferredBits;
    FDeferredBits = 0;
    auto& loop = platform::loop();
    if (bits & net::FD_CONNECT)
        loop.post(FWindowHandle, WM_WSOCKET_SELECT, FHSocket, net::MAKELONG(net::FD_CONNECT, FDeferredConnectError));
    if (bits & net::FD_CLOSE)
        loop.post(FWindowHandle, WM_WSOCKET_SELECT, FHSocket, net::MAKELONG(net::FD_CLOSE, FDeferredCloseError));
}

// ---------------------------------------------------------------------------
// Errors

void TCustomWSocket::ReportError(const std::string& Msg) {
    if (OnError)
        DoError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const std::string& Format, std::initializer_list<TFormatArg> Args) {
    if (OnError)
        DoError();
    else
        throw ESocketException(WSocketFormat(Format, Args));
}

void TCustomWSocket::ReportSocketError(const std::string& Operation) {
    TAliveToken alive = FAlive;
    const int code = WSocket_WSAGetLastError();
    const std::string msg =
        "Error " + std::to_string(code) + " in function " + Operation + "\r\n" + WSocketErrorText(code);
    if (code == net::WSAECONNRESET || code == net::WSAENOTCONN) {
        if (FHSocket != net::INVALID_SOCKET) WSocket_closesocket(FHSocket);
        FHSocket = net::INVALID_SOCKET;
        if (FState != wsClosed) {
            DoSessionClosed(static_cast<std::uint16_t>(code));
            if (!*alive) return;
        }
        SetState(wsClosed);
        if (!*alive) return;
    }
    FLastError = code;
    ReportError(msg);
}

void TCustomWSocket::HandleBackgroundException(const std::exception& E) {
    TAliveToken alive = FAlive;
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (!*alive) return;
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------
// State and events

void TCustomWSocket::SetDefaults() {
    FSin = sockaddr_in{};
    FSin.sin_family = AF_INET;
    FAddrFormat = AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = SOCK_STREAM;
    FLocalPort = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = net::INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReceivePaused = false;
    FDeferredBits = 0;
    FReadCount = 0;
    FCloseInvoked = false;
    FEndWhenSent = false;
    FFlushTimeout = 60;
}

void TCustomWSocket::SetState(TSocketState NewState) {
    TSocketState old = FState;
    FState = NewState;
    DoChangeState(old, NewState);
}

bool TCustomWSocket::DoDataAvailable(std::uint16_t Error) {
    if (!OnDataAvailable) return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::DoSessionAvailable(std::uint16_t Error) {
    if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::DoSessionConnected(std::uint16_t Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::DoSessionClosed(std::uint16_t Error) {
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomWSocket::DoDataSent(std::uint16_t Error) {
    if (OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::DoChangeState(TSocketState OldState, TSocketState NewState) {
    if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::DoDnsLookupDone(std::uint16_t Error) {
    if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::DoError() {
    if (OnError) OnError(this);
}

void TCustomWSocket::DoSendData(int BytesSent) {
    if (OnSendData) OnSendData(this, BytesSent);
}
