// The event socket's send queue and receiving: bytes to send wait in blocks
// of the block size and leave as fast as the system takes them; received
// bytes are read by the OnDataAvailable handler straight from the socket.

#include <sys/socket.h>

#include <algorithm>
#include <limits>

#include "sockets/WSocket.h"

namespace net = platform::net;

namespace {

bool ClosesSession(int code) {
    switch (code) {
        case net::WSAEINVAL:
        case net::WSAENOTSOCK:
        case net::WSAECONNABORTED:
        case net::WSAECONNRESET:
        case net::WSAENOTCONN:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Sending

int TCustomWSocket::Send(const void* Data, int Len) {
    if (FState != wsConnected) {
        WSocket_WSASetLastError(net::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    if (Len > 0 && Data == nullptr) {
        // Nothing to copy from: refused, or the queue would grow for ever.
        WSocket_WSASetLastError(net::WSAEFAULT);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    if (Len > 0)
        QueueSendData(Data, Len);
    else
        Len = 0;
    TryToSend();
    // OnDataSent never fires inside Send: it comes from this posted
    // notification once the caller is back in the loop.
    if (FAllSent && FHSocket != net::INVALID_SOCKET)
        platform::loop().post(FWindowHandle, WM_WSOCKET_SELECT, FHSocket, net::MAKELONG(net::FD_WRITE, 0));
    return Len;
}

int TCustomWSocket::SendStr(const std::string& Str) {
    if (Str.empty()) return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendDatagram(const sockaddr_in& ToAddr, int ToAddrLen, const void* Data, int Len) {
    int n = WSocket_sendto(FHSocket, Data, Len, FSendFlags, &ToAddr, ToAddrLen);
    if (n > 0) DoSendData(n);
    return n;
}

int TCustomWSocket::SendRaw(const void* Data, int Len) {
    int n = SendPiece(Data, Len, false);
    if (n > 0) DoSendData(n);
    return n;
}

int TCustomWSocket::SendPiece(const void* Data, int Len, bool More) {
    if (FType == SOCK_DGRAM) return WSocket_sendto(FHSocket, Data, Len, FSendFlags, &FSin, sizeof FSin);
    return WSocket_send(FHSocket, Data, Len, FSendFlags | (More ? net::WS_MSG_MORE : 0));
}

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Len <= 0) return;
    if (FBufList.empty()) FBufList.push_back(std::make_unique<TMemBuffer>(FBufSize));
    FQueuedBytes += Len;
    const char* p = static_cast<const char*>(Data);
    for (;;) {
        int n = FBufList.back()->Write(p, Len);
        p += n;
        Len -= n;
        if (Len <= 0) break;
        FBufList.push_back(std::make_unique<TMemBuffer>(FBufSize));
    }
}

void TCustomWSocket::TryToSend() {
    if (FHSocket == net::INVALID_SOCKET) return;
    if (FBufList.empty()) {
        // Nothing was ever queued: that is all sent too (else a Send of no
        // bytes would leave the flag down and OnDataSent would never come).
        FAllSent = true;
        return;
    }
    TAliveToken alive = FAlive;
    const TSocket h = FHSocket;
    for (;;) {
        TMemBuffer* block = FBufList.front().get();
        int len = 0;
        const char* p = block->Peek(len);
        if (len <= 0) {
            if (FBufList.size() > 1) {
                FBufList.pop_front();
                continue;
            }
            FAllSent = true;
            return;
        }
        // Blocks behind this one go out right after it: the kernel may join
        // them into full segments instead of sending each block alone.
        int n = SendPiece(p, len, FBufList.size() > 1);
        if (n < 0) {
            int code = WSocket_WSAGetLastError();
            if (ClosesSession(code)) {
                FCloseInvoked = true;
                Close();
                if (!*alive) return;
                DoSessionClosed(static_cast<std::uint16_t>(code));
                return;
            }
            if (code == net::WSAEWOULDBLOCK) return;
            WSocket_WSASetLastError(code);
            ReportSocketError("TryToSend failed");
            return;
        }
        if (n == 0) return;
        // What went out leaves the queue before OnSendData runs: a Send from
        // the handler must not find those bytes still queued.
        block->Remove(n);
        FQueuedBytes -= n;
        DoSendData(n);
        // The handler may have closed the socket or sent (and so run this
        // loop itself) meanwhile.
        if (!*alive || FHSocket != h || FBufList.empty()) return;
        if (n < len) return;
    }
}

void TCustomWSocket::ClearSendQueue() {
    FBufList.clear();
    FQueuedBytes = 0;
}

void TCustomWSocket::FlushSendQueue() {
    TAliveToken alive = FAlive;
    while (*alive && FHSocket != net::INVALID_SOCKET && !FAllSent) {
        TryToSend();
        if (!*alive) return;
        MessagePump();
    }
}

int TCustomWSocket::SendQueueBytes() const {
    return static_cast<int>(std::min<long long>(FQueuedBytes, std::numeric_limits<int>::max()));
}

TSocketSendFlags TCustomWSocket::GetSendFlags() {
    switch (FSendFlags) {
        case 0: return wsSendNormal;
        case MSG_OOB: return wsSendUrgent;
        default:
            ReportError("Invalid internal SendFlags");
            return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    switch (Value) {
        case wsSendNormal: FSendFlags = 0; break;
        case wsSendUrgent: FSendFlags = MSG_OOB; break;
        default: ReportError("Invalid SendFlags"); break;
    }
}

// ---------------------------------------------------------------------------
// Receiving

int TCustomWSocket::ReceiveRaw(void* Buffer, int BufferSize, int Flags) {
    ++FRecvCalls;
    return WSocket_recv(FHSocket, Buffer, BufferSize, Flags);
}

int TCustomWSocket::ReceiveFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    ++FRecvCalls;
    return WSocket_recvfrom(FHSocket, Buffer, BufferSize, 0, &From, &FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    int n = ReceiveRaw(Buffer, BufferSize, 0);
    if (n < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveStr() {
    int count = GetRcvdCount();
    if (count < 0) return {};
    if (count == 0) count = 255;
    std::string s(static_cast<std::size_t>(count), '\0');
    int n = Receive(s.data(), count);
    if (n <= 0) return {};
    s.resize(static_cast<std::size_t>(n));
    return s;
}

int TCustomWSocket::ReceiveDatagram(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    int n = ReceiveFromRaw(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        FReadCount += n;
    return n;
}

int TCustomWSocket::GetRcvdCount() {
    unsigned long pending = 0;
    if (WSocket_ioctlsocket(FHSocket, net::WS_FIONREAD, &pending) < 0) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(pending);
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
    TAliveToken alive = FAlive;
    const TSocket h = FHSocket;
    try {
        for (;;) {
            FLastError = 0;
            const std::uint64_t readsBefore = FRecvCalls;
            if (!DoDataAvailable(Error)) {
                // Nobody reads: the bytes are taken and dropped, so that the
                // socket keeps notifying.
                char scratch[1024];
                if (ReceiveRaw(scratch, sizeof scratch, 0) < 0) {
                    FLastError = WSocket_WSAGetLastError();
                    if (FLastError == net::WSAEWOULDBLOCK) {
                        FLastError = 0;
                        return;
                    }
                }
            }
            if (!*alive) return;
            // A handler that paused wants no more data now.
            if (Options.Contains(wsoNoReceiveLoop) || FPaused || FReceivePaused) return;
            if (FLastError != 0) return;
            unsigned long pending = 0;
            if (WSocket_ioctlsocket(FHSocket, net::WS_FIONREAD, &pending) < 0) {
                FLastError = WSocket_WSAGetLastError();
                return;
            }
            if (pending == 0 || FHSocket != h) return;
            // A handler that left the bytes unread would make this loop turn
            // forever and starve every other socket; it gets them again with
            // the next notification instead.
            if (FRecvCalls == readsBefore) return;
        }
    } catch (...) {
        // An exception in the handler ends this loop and goes no further.
    }
}

void TCustomWSocket::WaitUntilClosed() {
    TAliveToken alive = FAlive;
    while (*alive && FHSocket != net::INVALID_SOCKET && FState != wsClosed) {
        MessagePump();
        if (!*alive || FHSocket == net::INVALID_SOCKET) return;
        unsigned long pending = 0;
        if (WSocket_ioctlsocket(FHSocket, net::WS_FIONREAD, &pending) < 0) return;
        if (pending > 0) {
            DoDataAvailable(0);
            if (!*alive) return;
        }
        char probe = 0;
        if (FHSocket != net::INVALID_SOCKET && ReceiveRaw(&probe, 0, 0) < 1) {
            FLastError = WSocket_WSAGetLastError();
            if (FLastError != net::WSAEWOULDBLOCK) return;
        }
        MessagePump();
    }
}

// ---------------------------------------------------------------------------

bool TCustomWSocket::TimevalIsSet(const timeval& T) { return T.tv_sec != 0 || T.tv_usec != 0; }

void TCustomWSocket::TimevalClear(timeval& T) {
    T.tv_sec = 0;
    T.tv_usec = 0;
}

bool TCustomWSocket::TimevalCompare(const timeval& A, const timeval& B, bool IsEqual) {
    return (A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec) ? IsEqual : !IsEqual;
}
