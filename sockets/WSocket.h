// The event socket: a non-blocking TCP/UDP socket whose readiness, connection
// progress and name lookups arrive as messages to its own hidden window of the
// process's message loop and are turned into events (std::function, Sender
// first). It never waits for the network, except for the blocking name
// resolution inside Connect and Listen, and it never starts a thread.
//
// Contract:
//  - Everything runs on the loop's thread. Events fire either inside the
//    owner's call (Connect, Listen, Close, Send ... fire OnChangeState and the
//    like before they return) or from the socket's window messages.
//  - A failed operation is reported through OnError when it is assigned (the
//    handler reads LastError; the operation then returns normally), else it
//    raises ESocketException with "Error <code> in function <label>" CR LF and
//    the error text.
//  - An exception that escapes a handler run from a window message goes to
//    OnBgException and then aborts the socket unless the handler cleared
//    CanClose. One that escapes OnDataAvailable only ends that receive loop.
//  - Every close returns the socket to its defaults: Proto "tcp", LocalAddr
//    "0.0.0.0", LocalPort "0", no handle, wsClosed; Addr and Port keep their
//    texts but count as unset, so an owner sets them again before each Connect
//    or Listen.
//  - OnSessionClosed fires once per connection.
//  - Handlers may close, abort or release the socket. Destroying the socket
//    inside one of its own handlers is tolerated (the dispatch stops at once),
//    but the way meant for it is Release(), which posts the destruction.
//  - Destroying an open socket closes it and fires OnChangeState(old,
//    wsClosed) from the most derived destructor, while the object is whole;
//    OnSessionClosed does not fire then. An owner that must not see that
//    event clears its handlers or destroys the socket first.
//
// The binding to the socket library: every socket call goes through a small
// table of entry points bound by name on first use (LoadWinsockEntry) and
// dropped when the last socket is destroyed (UnloadWinsock).
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Net.h"
#include "sockets/WSockBuf.h"

using TSocket = platform::net::SOCKET;

// ---------------------------------------------------------------------------
// Errors

// One argument of WSocketFormat: "%s" and "%d" both take its text.
struct TFormatArg {
    TFormatArg(const std::string& s) : Text(s) {}
    TFormatArg(const char* s) : Text(s ? s : "") {}
    TFormatArg(int v) : Text(std::to_string(v)) {}
    TFormatArg(long v) : Text(std::to_string(v)) {}
    TFormatArg(unsigned v) : Text(std::to_string(v)) {}
    std::string Text;
};
// Replaces each %s / %d of Format by the next argument ("%%" is one "%").
std::string WSocketFormat(const std::string& Format, std::initializer_list<TFormatArg> Args);

// Raised by the socket layer (and the DNS query) with a plain message, or
// with a format and its arguments.
class ESocketException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    ESocketException(const std::string& Format, std::initializer_list<TFormatArg> Args)
        : std::runtime_error(WSocketFormat(Format, Args)) {}
};

// The English text of a socket error code; "Not a WinSock error" for a code
// outside the table.
std::string WSocketErrorText(int Code);

// ---------------------------------------------------------------------------
// Binding

// The name the binding's failure texts give the socket library.
extern const char* const WinsockLibraryName;

using TWinsockProc = void (*)();
// Loads the binding on first use (raising ESocketException when the library's
// start-up fails) and returns the named entry point; nullptr for an empty
// name; raises "Procedure <Name> not found in ..." for an unknown one.
TWinsockProc LoadWinsockEntry(const std::string& Name);
// Drops the binding (WSACleanup, every cached entry cleared) when it is loaded;
// the live-socket count becomes 0 in any case.
void UnloadWinsock();

bool WinsockLoaded();      // the binding is loaded now
int WinsockLoadCount();    // how many times it has been loaded since start
int WSocketLiveCount();    // sockets constructed and not yet destroyed

// The bound entry points, with the socket library's names. Each binds its
// entry on its first call after a load.
int WSocket_WSAStartup(unsigned short Version);
int WSocket_WSACleanup();
void WSocket_WSASetLastError(int Code);
int WSocket_WSAGetLastError();
int WSocket_WSACancelAsyncRequest(platform::net::AsyncHandle H);
platform::net::AsyncHandle WSocket_WSAAsyncGetHostByName(platform::HWND Wnd, unsigned Msg, const std::string& Name);
platform::net::AsyncHandle WSocket_WSAAsyncGetHostByAddr(platform::HWND Wnd, unsigned Msg, std::uint32_t Addr);
bool WSocket_WSAGetAsyncHostResult(platform::net::AsyncHandle H, platform::net::HostEntry& Out);
int WSocket_WSAAsyncSelect(TSocket S, platform::HWND Wnd, unsigned Msg, long Events);
int WSocket_pauseReceive(TSocket S, bool Paused);
int WSocket_getservbyname(const std::string& Name, const std::string& Proto);
int WSocket_getprotobyname(const std::string& Name);
bool WSocket_gethostbyname(const std::string& Name, platform::net::HostEntry& Out);
int WSocket_gethostname(char* Buf, int Len);
TSocket WSocket_socket(int Af, int Type, int Protocol);
int WSocket_shutdown(TSocket S, int How);
int WSocket_setsockopt(TSocket S, int Level, int OptName, const void* OptVal, int OptLen);
int WSocket_sendto(TSocket S, const void* Buf, int Len, int Flags, const sockaddr_in* To, int ToLen);
int WSocket_send(TSocket S, const void* Buf, int Len, int Flags);
int WSocket_WSASend(TSocket S, const platform::net::WSABUF* Buffers, unsigned Count, unsigned long* Sent, int Flags);
int WSocket_recv(TSocket S, void* Buf, int Len, int Flags);
int WSocket_recvfrom(TSocket S, void* Buf, int Len, int Flags, sockaddr_in* From, int* FromLen);
std::uint16_t WSocket_ntohs(std::uint16_t V);
std::uint32_t WSocket_ntohl(std::uint32_t V);
int WSocket_listen(TSocket S, int Backlog);
int WSocket_ioctlsocket(TSocket S, long Cmd, unsigned long* Arg);
std::string WSocket_inet_ntoa(std::uint32_t Addr);
std::uint32_t WSocket_inet_addr(const std::string& Text);
std::uint16_t WSocket_htons(std::uint16_t V);
int WSocket_getsockname(TSocket S, sockaddr_in* Addr, int* Len);
int WSocket_getpeername(TSocket S, sockaddr_in* Addr, int* Len);
int WSocket_connect(TSocket S, const sockaddr_in* Addr, int Len);
int WSocket_closesocket(TSocket S);
int WSocket_bind(TSocket S, const sockaddr_in* Addr, int Len);
TSocket WSocket_accept(TSocket S, sockaddr_in* Addr, int* Len);

// ---------------------------------------------------------------------------
// Name helpers (all raise ESocketException on failure unless said otherwise)

// Four dotted decimal parts of at most 255, blanks allowed around them.
bool WSocketIsDottedIP(const std::string& Text);
// Leading blanks skipped, then decimal digits up to the first other character;
// 0 without digits. Saturates instead of overflowing.
int ParseLeadingNumber(const std::string& Text);
bool IsDecimalDigit(char Ch);
// IPv4 address in network order; a host name is looked up (blocking).
std::uint32_t WSocketResolveHost(const std::string& Host);
// Port number in host order; a name is looked up in the services database.
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol number; a name is looked up in the protocols database.
int WSocketResolveProto(const std::string& Proto);
// Blocking lookup; std::nullopt when it fails (raises only for a bad name).
std::optional<platform::net::HostEntry> WSocketGetHostByName(const std::string& Name);
std::string WSocketLocalHostName();

// ---------------------------------------------------------------------------
// States, options, messages

enum TSocketState : std::uint8_t {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsConnected = 4,
    wsAccepting = 5,
    wsListening = 6,
    wsClosed = 7,
};
const char* SocketStateName(TSocketState State);  // "wsClosed" ... for traces

// wsoFinishSending: when the peer ends its side while replies are still
// queued, the connection stays until they have gone out (FD_WRITE goes on),
// and only then reports its end and closes. A server's session thus answers
// in full a client that half-closed after its last command.
enum TWSocketOption : std::uint8_t { wsoNoReceiveLoop = 0, wsoTcpNoDelay = 1, wsoFinishSending = 2 };

// A set of TWSocketOption.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> Items) {
        for (auto o : Items) FBits = static_cast<std::uint8_t>(FBits | Bit(o));
    }
    constexpr bool Contains(TWSocketOption O) const { return (FBits & Bit(O)) != 0; }
    constexpr TWSocketOptions With(TWSocketOption O) const { return FromBits(FBits | Bit(O)); }
    constexpr TWSocketOptions Without(TWSocketOption O) const { return FromBits(FBits & ~Bit(O)); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr std::uint8_t Bits() const { return FBits; }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr unsigned Bit(TWSocketOption O) { return 1u << static_cast<unsigned>(O); }
    static constexpr TWSocketOptions FromBits(unsigned B) {
        TWSocketOptions r;
        r.FBits = static_cast<std::uint8_t>(B);
        return r;
    }
    std::uint8_t FBits = 0;
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff : std::uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };
enum TSocksAuthentication : std::uint8_t { socksNoAuthentication = 0, socksAuthenticateUsercode = 1 };
enum TSocksAuthState : std::uint8_t {
    socksAuthStart = 0,
    socksAuthSuccess = 1,
    socksAuthFailure = 2,
    socksAuthNotRequired = 3,
};

constexpr unsigned WM_WSOCKET_SELECT = platform::WM_USER + 1;
constexpr unsigned WM_WSOCKET_HOSTBYNAME = platform::WM_USER + 2;
constexpr unsigned WM_WSOCKET_HOSTBYADDR = platform::WM_USER + 3;
constexpr unsigned WM_WSOCKET_CLOSE_DELAYED = platform::WM_USER + 4;
constexpr unsigned WM_WSOCKET_RELEASE = platform::WM_USER + 5;
constexpr unsigned WM_WSOCKET_TEST_EXCEPTION = platform::WM_USER + 6;
constexpr unsigned WM_WSOCKET_LINE_DATA = platform::WM_USER + 20;

// Select masks armed by Connect, Listen and Dup.
constexpr long WSocketConnectMask = 59;
constexpr long WSocketListenMask = 43;
constexpr long WSocketDupMask = 51;

// ---------------------------------------------------------------------------
// Events

class TCustomWSocket;

using TSessionAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDataAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TCustomWSocket* Sender, int BytesSent)>;
using TChangeState = std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>;
using TSocketNotifyEvent = std::function<void(TCustomWSocket* Sender)>;
using TSocksErrorEvent = std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;
using TLineLimitEvent = std::function<void(TCustomWSocket* Sender, int RcvdLength, bool& ClearData)>;

// ---------------------------------------------------------------------------
// The core

class TCustomWSocket {
public:
    static constexpr int DefaultBlockSize = 1460;

    TCustomWSocket();
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // Properties. The address setters work only while wsClosed (else they
    // report "Cannot change ... if not closed").
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return FLocalPort; }
    void SetLocalPort(const std::string& Value);
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    const std::string& DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    int ReadCount() const { return FReadCount; }
    int RcvdCount() { return GetRcvdCount(); }
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool V) { FMultiThreaded = V; }
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool V) { FMultiCast = V; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool V) { FReuseAddr = V; }
    const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& V) { FMultiCastAddrStr = V; }
    int MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int V) { FMultiCastIpTTL = V; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions V) { FComponentOptions = V; }
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int V) { FFlushTimeout = V; }
    TSocketSendFlags SendFlags() { return GetSendFlags(); }
    TSocketSendFlags GetSendFlags();
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff V) { FLingerOnOff = V; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int V) { FLingerTimeout = V; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& V) { FName = V; }
    std::intptr_t Tag() const { return FTag; }
    void SetTag(std::intptr_t V) { FTag = V; }

    TSocket HSocket() const { return FHSocket; }           // INVALID_SOCKET when none
    platform::HWND Handle() const { return FWindowHandle; }  // the hidden window
    bool AllSent() const { return FAllSent; }
    std::size_t SendQueueBlockCount() const { return FBufList.size(); }
    int SendQueueBytes() const;  // bytes queued and not yet handed to the system
    // Bytes ever accepted by Send on this socket (a running count: the
    // difference of two readings is what was queued in between).
    long long QueuedTotal() const { return FQueuedTotal; }
    bool ReceivingPaused() const { return FReceivePaused; }

    // Operations.
    virtual void Connect();
    virtual void Close();
    virtual void CloseDelayed();  // posts the close to the socket's window
    virtual void Release();       // posts its own destruction; only for sockets made with new and owned by nobody else
    virtual void Abort();
    virtual void FlushSendQueue();
    virtual void WaitUntilClosed();
    virtual void Listen();
    virtual TSocket Accept();
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveStr();
    virtual int ReceiveDatagram(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    virtual int Send(const void* Data, int Len);
    virtual int SendDatagram(const sockaddr_in& ToAddr, int ToAddrLen, const void* Data, int Len);
    virtual int SendStr(const std::string& Str);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int GetPeerSockAddr(sockaddr_in& Addr, int& Len);
    virtual std::string GetBoundPort();
    virtual std::string GetBoundAddr();
    static bool TimevalIsSet(const timeval& T);
    static void TimevalClear(timeval& T);
    static bool TimevalCompare(const timeval& A, const timeval& B, bool IsEqual);
    virtual int GetLocalSockAddr(sockaddr_in& Addr, int& Len);
    virtual void Dup(TSocket NewHSocket);
    virtual void ShutdownSocket(int How);
    // Every notification is ignored while paused. One that would not come
    // again by itself (the connection's end, a connect's outcome) is kept
    // and reported after ResumeEvents.
    virtual int PauseEvents();
    virtual int ResumeEvents();
    // Flow control: while paused, no data and no end of the connection are
    // reported (OnDataAvailable, OnSessionClosed from the peer's close), but
    // the send queue goes on draining with its OnDataSent. After the resume,
    // data waiting and a close that came meanwhile are reported as usual.
    // A close ends the pause. May be called from inside handlers.
    int PauseReceiving();
    int ResumeReceiving();
    virtual void MessagePump();
    virtual int GetRcvdCount();

    // Events.
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSocketNotifyEvent OnLineTooLong;  // never fired
    TDnsLookupDone OnDnsLookupDone;
    TSocketNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual void WndProc(platform::Message& Msg);
    virtual void AllocateSocketWindow();
    virtual void DeallocateSocketWindow();
    virtual void SetDefaults();
    virtual void InternalClose(bool Shut, std::uint16_t Error);
    virtual bool BindLocal();  // false when the bind failed (reported)
    virtual int SendRaw(const void* Data, int Len);
    virtual void ReportErrorFmt(const std::string& Format, std::initializer_list<TFormatArg> Args);
    void StoreTargetText(const char* what, const std::string& Value, std::string& text, bool& assigned,
                         bool& resolved);
    virtual void ReportError(const std::string& Msg);
    virtual void HandleBackgroundException(const std::exception& E);
    virtual bool DoDataAvailable(std::uint16_t Error);
    virtual void DoSessionAvailable(std::uint16_t Error);
    virtual void DoSessionConnected(std::uint16_t Error);
    virtual void DoSessionClosed(std::uint16_t Error);
    virtual void DoDataSent(std::uint16_t Error);
    virtual void DoChangeState(TSocketState OldState, TSocketState NewState);
    virtual void DoDnsLookupDone(std::uint16_t Error);
    virtual void DoError();
    virtual int ReceiveRaw(void* Buffer, int BufferSize, int Flags);
    virtual int ReceiveFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);

    // One send of a piece of the queue, without OnSendData; More: further
    // bytes follow at once.
    int SendPiece(const void* Data, int Len, bool More);
    void SetState(TSocketState NewState);
    void ReportSocketError(const std::string& Operation);
    void DoSendData(int BytesSent);
    void ApplyLingerOption();
    void QueueSendData(const void* Data, int Len);
    void TryToSend();
    void ClearSendQueue();
    void ReceiveLoop(std::uint16_t Error, TWSocketOptions Options);
    void HandleSelectEvent(const platform::Message& Msg);
    void EndAtPeerClose(std::uint16_t Error);
    // Posts the notifications kept while paused (after a resume).
    void PostDeferredEvents();
    void HandleHostByNameDone(const platform::Message& Msg);
    void HandleHostByAddrDone(const platform::Message& Msg);

    // Runs the destruction (close, binding count, queue, window) once; every
    // destructor of the chain calls it first, so it runs from the most
    // derived one while the whole object still exists.
    void BeginDestroy();
    bool Destroying() const { return FDestroying; }

    // Shared by the dispatch paths: false once the object has been destroyed
    // by a handler they called.
    using TAliveToken = std::shared_ptr<bool>;
    TAliveToken AliveToken() const { return FAlive; }

    // For the layers above the core.
    bool AddrAssigned() const { return FAddrAssigned; }
    bool PortAssigned() const { return FPortAssigned; }
    bool ProtoAssigned() const { return FProtoAssigned; }
    bool Terminated() const { return FTerminated; }
    // Sets the address Connect goes to (network order) and its port (host
    // order), both counting as resolved, so Connect does not resolve Addr
    // and Port itself.
    void SetResolvedTarget(std::uint32_t AddrNetOrder, std::uint16_t PortHostOrder);
    // A layer that hands out bytes it holds (instead of reading the socket)
    // counts the read, so the receive loop knows the handler took something.
    void NoteBufferedRead() { ++FRecvCalls; }

private:
    void SocketWindowProc(platform::Message& Msg);
    bool ResolveForOpen(bool ForConnect, const std::string& Prefix);
    void CloseHandleQuietly();
    void FinishHostByName(std::intptr_t LParam, bool Got, const platform::net::HostEntry& Entry);

    TAliveToken FAlive;
    std::string FName;
    std::intptr_t FTag = 0;

    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    TSocket FASocket = platform::net::INVALID_SOCKET;
    std::deque<std::unique_ptr<TMemBuffer>> FBufList;
    int FBufSize = DefaultBlockSize;
    int FSendFlags = 0;
    int FLastError = 0;
    platform::HWND FWindowHandle = platform::NullWindow;
    bool FWindowBound = false;
    platform::net::AsyncHandle FDnsLookupHandle = 0;
    bool FReplyParked = false;
    platform::Message FParkedReply;
    bool FParkedGot = false;
    platform::net::HostEntry FParkedEntry;
    TSocket FHSocket = platform::net::INVALID_SOCKET;
    std::string FAddrStr;
    bool FAddrResolved = false;
    int FAddrFormat = AF_INET;
    bool FAddrAssigned = false;
    int FProto = 6;
    bool FProtoAssigned = false;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    std::string FProtoStr;
    std::string FPortStr;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    int FPortNum = 0;
    std::string FLocalPort;
    int FLocalPortNum = 0;
    std::string FLocalAddr;
    int FType = 1;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    bool FAllSent = true;
    long long FQueuedBytes = 0;  // unsent bytes of the send queue
    long long FQueuedTotal = 0;
    // The handle whose send-completion notice is posted and not yet handled:
    // however many sends complete before it is, the loop carries one notice.
    TSocket FSentNoticeFor = platform::net::INVALID_SOCKET;
    int FReadCount = 0;
    bool FPaused = false;
    bool FReceivePaused = false;
    // Notifications that arrived while paused and would not come again.
    long FDeferredBits = 0;
    std::uint16_t FDeferredConnectError = 0;
    std::uint16_t FDeferredCloseError = 0;
    bool FCloseInvoked = false;
    bool FEndWhenSent = false;  // the peer ended; end the connection once the queue has gone out
    int FFlushTimeout = 60;
    bool FMultiThreaded = false;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    TWSocketOptions FComponentOptions;
    TSocketState FState = wsClosed;
    bool FTerminated = false;
    long FSelectEvent = 0;
    sockaddr_in FSin{};

    bool FDestroying = false;
    bool FReadEmptied = false;     // the last read of this receive loop's turn emptied the socket
    std::uint64_t FRecvCalls = 0;  // recv calls made; lets the receive loop see a handler that reads nothing
};

// ---------------------------------------------------------------------------
// The layers above the core. With no SOCKS server set and line mode off (the
// only way the services use them) they pass everything straight to the core.

// A TCP connection through a SOCKS 4, 4A or 5 proxy (RFC 1928, with the user
// name and password sub-negotiation of RFC 1929). With SocksServer set,
// Connect goes to the proxy, runs the dialogue, and fires OnSessionConnected
// once: 0 when the proxy has connected to Addr:Port, else the failure's code
// (20001 ... 20017, also given to OnSocksError with its text). Then the socket
// carries application data as usual; bytes that came behind the proxy's reply
// reach OnDataAvailable right after OnSessionConnected(0).
// Every close clears SocksServer, SocksPort and SocksLevel ("5"); the user
// code, password and authentication kind are kept.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    // The reply buffer holds the longest SOCKS 5 reply (a 255-byte name).
    static constexpr int SocksReplyBufferSize = 512;
    // Names and credentials travel with a one-byte length in SOCKS 5.
    static constexpr std::size_t SocksMaxFieldLength = 255;

    TCustomSocksWSocket();
    ~TCustomSocksWSocket() override;

    const std::string& SocksServer() const { return FSocksServer; }
    const std::string& SocksLevel() const { return FSocksLevel; }
    // Only while closed; "4", "4A"/"4a" or "5"; stored upper-cased.
    void SetSocksLevel(const std::string& Value);
    const std::string& SocksPort() const { return FSocksPort; }
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& V) { FSocksUsercode = V; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& V) { FSocksPassword = V; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication V) { FSocksAuthentication = V; }
    // The bound address and port (decimal) of the proxy's SOCKS 5 reply.
    const std::string& SocksBoundAddr() const { return FSocksBoundAddr; }
    const std::string& SocksBoundPort() const { return FSocksBoundPort; }

    // Only while closed (else reported); the trimmed text, set when non-empty.
    virtual void SetSocksPort(const std::string& Value);
    virtual void SetSocksServer(const std::string& Value);

    void Connect() override;
    void Listen() override;
    int GetRcvdCount() override;

    TSessionConnected OnSocksConnected;  // the TCP connection to the proxy is up (0) or failed
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    virtual void DoSocksConnected(std::uint16_t Error);
    virtual void DoSocksError(int Error, const std::string& Msg);
    void DoSocksAuthState(TSocksAuthState AuthState);

    void SetDefaults() override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionConnected(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t Error) override;
    int ReceiveRaw(void* Buffer, int BufferSize, int Flags) override;

    // 0 no dialogue; 1 connecting to the proxy or waiting for the method
    // reply; 2 waiting for the sub-negotiation reply; 3 waiting for the
    // reply to the CONNECT request.
    std::uint8_t SocksPhase() const { return FSocksPhase; }
    bool SocksServerAssigned() const { return FSocksServerAssigned; }
    bool SocksPortAssigned() const { return FSocksPortAssigned; }

private:
    bool SocksLevel4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
    void SendSocksBytes(const std::string& Bytes);
    void SendSocksCredentials();
    void SocksRequest();
    void SocksFail(int Code, const std::string& Text);
    // Reads what the socket has into the reply buffer, up to Limit bytes in
    // all; false when the read failed.
    bool ReadReply(int Limit);
    bool ProcessMethodReply();
    bool ProcessAuthReply();
    bool ProcessSocks4Reply();
    bool ProcessSocks5Reply();
    // The proxy granted the connection: OnSessionConnected(0), then the
    // bytes behind the reply and any further data to the application.
    void SocksGranted();

    std::uint8_t FSocksPhase = 0;
    std::string FSocksServer;
    std::string FSocksLevel = "5";
    std::string FSocksPort;
    bool FSocksPortAssigned = false;
    bool FSocksServerAssigned = false;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    std::uint8_t FSocksMethod = 0;
    std::string FSocksBoundAddr;
    std::string FSocksBoundPort;
    std::uint16_t FSocksDestPort = 0;  // host order
    unsigned char FSocksReplyBuffer[SocksReplyBufferSize] = {};
    int FSocksReplyCount = 0;
    int FSocksLeftCount = 0;
    int FSocksLeftPos = 0;  // index into the reply buffer
};

// Line mode: with LineMode on, received bytes are gathered and handed to
// OnDataAvailable one line at a time (up to and including LineEnd); the
// handler takes the line with Receive / ReceiveStr, and RcvdCount is what is
// left of it. Options: echo of received bytes, backspace and tab editing, and
// a limit on the bytes held without a line end (OnLineLimitExceeded, whose
// ClearData answer drops them). LineMode may be switched at any time, also
// inside a handler; bytes already held then reach the handler through a
// posted WM_WSOCKET_LINE_DATA, in order, before newer bytes of the socket.
// A session that closes with bytes held delivers them as a last line without
// a marker before OnSessionClosed.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    TCustomLineWSocket();
    ~TCustomLineWSocket() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    int LineLimit() const { return FLineLimit; }  // 0 or less: no limit
    void SetLineLimit(int V) { FLineLimit = V; }
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& V) { FLineEnd = V; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool V) { FLineEcho = V; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool V) { FLineEdit = V; }
    // Bytes received and not yet handed out; what is left of the line being
    // delivered; set once a line was found or the session closed.
    int HeldCount() const { return FHeldCount; }
    int LineLength() const { return FLineLength; }
    bool LineReceived() const { return FLineReceived; }
    // Time-out of WaitUntilReady in milliseconds; 0 waits without limit.
    int WaitTimeout() const { return FWaitTimeout; }
    void SetWaitTimeout(int V) { FWaitTimeout = V; }

    int GetRcvdCount() override;

    TLineLimitEvent OnLineLimitExceeded;

protected:
    virtual void DoLineLimitExceeded(int RcvdLength, bool& ClearData);
    // Applies backspace and tab editing to the Count bytes behind the held
    // ones; may lower HeldCount and changes Count to the bytes from there.
    virtual void EditLine(int& Count);

    void WndProc(platform::Message& Msg) override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t Error) override;
    int ReceiveRaw(void* Buffer, int BufferSize, int Flags) override;

    std::uint32_t FWaitEndTick = 0;  // tick count at which the current wait times out

private:
    // Lines are cut only in line mode with a line end set.
    bool Framing() const { return FLineMode && !FLineEnd.empty(); }
    void RedeliverLineData();
    // Hands every complete line from the search start on to the handler.
    void DeliverLines(std::size_t SearchStart);
    int TakeHeld(void* Buffer, int Count);
    void DropHeld(int Count);
    void FreeLineBuffer();

    std::string FLineBuffer;     // held bytes start at FLineHead
    std::size_t FLineHead = 0;
    int FHeldCount = 0;
    std::string FLineEnd;
    bool FLineMode = false;
    int FLineLength = 0;
    int FLineLimit = 0;
    bool FLineReceived = false;
    bool FLineClearData = false;
    bool FLineEcho = false;
    bool FLineEdit = false;
    int FWaitTimeout = 0;

    std::string FLineEchoOut;        // echo bytes of the receive being handled
    std::uint64_t FLineTaken = 0;    // bytes handed out or dropped so far
    std::uint64_t FLineBufferGen = 0;  // changes when the buffer is freed
    bool FLineRescan = false;        // the held bytes may hold lines not yet found
    int FLineDelivering = 0;         // nesting of deliveries to the handler
};

// A loop that waits, running the program's other events, until a flag byte
// is set or the time-out (WaitTimeout) passes.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TWaitProc = std::function<void(std::intptr_t Arg)>;
    static constexpr int WaitTimedOut = 12001;

    TCustomSyncWSocket();
    ~TCustomSyncWSocket() override;

    // Clears Flag, runs Proc(Arg) when given, then waits as WaitUntilReady.
    virtual int RunAndWait(std::uint8_t& Flag, const TWaitProc& Proc, std::intptr_t Arg);
    // 0 once Flag is set; 12001 on time-out or when the socket's pump was
    // told to quit. Never raises. Other events of the program run meanwhile.
    virtual int WaitUntilReady(std::uint8_t& Flag);
};

// The socket every user creates.
class TWSocket : public TCustomSyncWSocket {
public:
    TWSocket();
    ~TWSocket() override;
};

// This host's IPv4 addresses in dotted form: those of the host name's lookup,
// else the interface addresses (loopback last). The list is the unit's own and
// is refilled by each call. Raises only when the host name cannot be read.
const std::vector<std::string>& WSocketLocalAddresses();
