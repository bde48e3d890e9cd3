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
    // non-blocking dispatch here.
    platform::loop().processMessages();
}

// ---------------------------------------------------------------------------
// Notifications

void TCustomWSocket::HandleSelectEvent(const platform::Message& Msg) {
    const TSocket h = static_cast<TSocket>(Msg.wParam);
    TAliveToken alive = FAlive;
    // A notification left in the queue from a closed handle, or one that
    // arrives while paused, is dropped; the check is repeated between the
    // bits because each handler may close or pause the socket.
    auto same = [&] { return *alive && FHSocket != net::INVALID_SOCKET && FHSocket == h; };
    auto current = [&] { return same() && !FPaused; };
    if (!current()) return;
    const unsigned bits = net::LOWORD(Msg.lParam);
    const auto err = static_cast<std::uint16_t>(net::HIWORD(Msg.lParam));

    if (bits & net::FD_CONNECT) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            if (!*alive) return;
            DoSessionConnected(err);
            if (err != 0 && same() && FState != wsClosed) Close();
        }
        if (!current()) return;
    }
    if (bits & net::FD_READ) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            if (!*alive) return;
            DoSessionConnected(err);
            if (!current()) return;
        }
        ReceiveLoop(err, FComponentOptions);
        if (!current()) return;
    }
    if (bits & net::FD_WRITE) {
        TryToSend();
        if (!current()) return;
        if (FAllSent) {
            DoDataSent(err);
            if (!current()) return;
        }
    }
    if (bits & net::FD_ACCEPT) {
        DoSessionAvailable(err);
        if (!current()) return;
    }
    if ((bits & net::FD_CLOSE) && FState != wsConnecting) {
        ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop));
        // A handler that closed the socket meanwhile has had its
        // OnSessionClosed already.
        if (!current()) return;
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            DoSessionClosed(err);
        }
        if (same() && FState != wsClosed) Close();
    }
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
    FReadCount = 0;
    FCloseInvoked = false;
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
