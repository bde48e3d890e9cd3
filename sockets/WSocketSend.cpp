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
    // notification once the caller is back in the loop. One notice waiting
    // serves every send that completes before it is handled: a session
    // answering a thousand pipelined commands must not put a thousand
    // messages in the loop ahead of every other socket.
    if (FAllSent && FHSocket != net::INVALID_SOCKET && FSentNoticeFor != FHSocket &&
        platform::loop().post(FWindowHandle, WM_WSOCKET_SELECT, FHSocket, net::MAKELONG(net::FD_WRITE, 0)))
        FSentNoticeFor = FHSocket;
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
    FQueuedTotal += Len;
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
    // A stream hands the kernel every queued block in one call, so a reply of
    // several blocks costs one system call and leaves in as few segments as
    // the kernel makes; a datagram socket sends one block per datagram.
    const unsigned limit = FType == SOCK_DGRAM ? 1u : net::MaxSendBuffers;
    for (;;) {
        net::WSABUF bufs[net::MaxSendBuffers];
        unsigned count = 0;
        long long offered = 0;
        bool more = false;
        for (const auto& block : FBufList) {
            int len = 0;
            const char* p = block->Peek(len);
            if (len <= 0) continue;  // a drained block in front, or the empty last one
            if (count == limit) {
                more = true;
                break;
            }
            bufs[count].buf = const_cast<char*>(p);
            bufs[count].len = static_cast<unsigned long>(len);
            ++count;
            offered += len;
        }
        if (count == 0) {
            while (FBufList.size() > 1) FBufList.pop_front();
            FAllSent = true;
            return;
        }
        int n;
        if (count == 1) {
            n = SendPiece(bufs[0].buf, static_cast<int>(bufs[0].len), more);
        } else {
            unsigned long sent = 0;
            n = WSocket_WSASend(FHSocket, bufs, count, &sent, FSendFlags | (more ? net::WS_MSG_MORE : 0)) < 0
                    ? -1
                    : static_cast<int>(sent);
        }
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
        // the handler must not find those bytes still queued. OnSendData
        // then fires once per block, as if each had been sent by itself.
        int pieces[net::MaxSendBuffers];
        unsigned pieceCount = 0;
        int left = n;
        while (left > 0) {
            TMemBuffer* block = FBufList.front().get();
            int len = 0;
            block->Peek(len);
            if (len > 0) {
                const int take = std::min(len, left);
                block->Remove(take);
                pieces[pieceCount++] = take;
                left -= take;
                if (take < len) break;
            }
            if (FBufList.size() == 1) break;  // the last block stays for the next bytes
            FBufList.pop_front();
        }
        FQueuedBytes -= n;
        for (unsigned i = 0; i < pieceCount; ++i) {
            DoSendData(pieces[i]);
            // The handler may have closed the socket or sent (and so run
            // this loop itself) meanwhile.
            if (!*alive || FHSocket != h) return;
        }
        if (FBufList.empty() || n < offered) return;
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
    const int n = WSocket_recv(FHSocket, Buffer, BufferSize, Flags);
    // A stream read that took less than it asked for emptied the socket.
    if (FType == SOCK_STREAM && !(Flags & MSG_PEEK) && n >= 0 && n < BufferSize) FReadEmptied = true;
    return n;
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
            FReadEmptied = false;
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
            // The handler's read found nothing more waiting: no need to ask.
            // Bytes that come later notify again.
            if (FReadEmptied) return;
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
