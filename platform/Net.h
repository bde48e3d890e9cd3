// Socket calls with WinSock 1.1 meaning over POSIX sockets.
//
// - A SOCKET is our own 32-bit id, never reused while the process runs, mapped
//   to the kernel descriptor; a stale id can never reach a newer socket.
// - Failures return -1 (or INVALID_SOCKET / 0 handles) and leave a WinSock
//   error code for WSAGetLastError(); errno is mapped to those codes.
// - WSAAsyncSelect posts (msg, wParam = socket, lParam = MAKELONG(bits, err))
//   to a window of the message loop with WinSock's re-enabling rules: FD_READ
//   after data arrives and again after each recv while data remains; FD_ACCEPT
//   after each accept while connections wait; FD_WRITE once after connect or
//   accept and after a would-block send when space returns; FD_CONNECT once;
//   FD_CLOSE once. A socket whose data is left unread does not spin the loop.
// - A listener reports FD_ACCEPT only while more descriptors than the reserve
//   are free (platform/Descriptors.h); meanwhile its connections wait in the
//   kernel's backlog, and it reports again once a socket closes or a retry a
//   moment later finds enough free.
// - WSAAsyncGetHostByName/ByAddr run the lookup on a worker thread and post
//   the result (wParam = request handle, lParam = MAKELONG(0, err)); the
//   result is collected with WSAGetAsyncHostResult().
// All calls are for the loop's thread.
#pragma once

#include <netinet/in.h>
// The byte-order helpers are our own functions below, not glibc's macros.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include <cstdint>
#include <string>
#include <vector>

#include "MessageLoop.h"

namespace platform::net {

using SOCKET = std::int32_t;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Event bits of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// WinSock error codes used by the system.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// ioctlsocket commands (WinSock's FIONREAD and FIONBIO; the kernel's macros
// of those names stay untouched).
constexpr long WS_FIONREAD = 0x4004667F;
constexpr long WS_FIONBIO = 0x8004667E;

// A send flag of this platform (not WinSock's): more bytes follow at once, so
// the kernel may hold this piece to fill whole segments with what comes next.
constexpr int WS_MSG_MORE = 0x10000;

inline std::intptr_t MAKELONG(unsigned lo, unsigned hi) {
    return static_cast<std::intptr_t>((lo & 0xFFFFu) | ((hi & 0xFFFFu) << 16));
}
inline unsigned LOWORD(std::intptr_t v) { return static_cast<unsigned>(v) & 0xFFFFu; }
inline unsigned HIWORD(std::intptr_t v) { return (static_cast<unsigned>(v) >> 16) & 0xFFFFu; }

int errnoToWsa(int err);  // errno -> WinSock code

int WSAStartup(unsigned short version);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen);
int bind(SOCKET s, const sockaddr_in* addr, int len);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in* addr, int* len);
int connect(SOCKET s, const sockaddr_in* addr, int len);
// Fails with the code of the connection's end when the peer reset it (10054 or
// 10053), also once a notification or a receive has taken that error from the
// kernel; 10058 only after this side's own shutdown of sending.
int send(SOCKET s, const void* buf, int len, int flags);
// Several buffers in one call, in order, as one send of their joined bytes:
// 0 with the count taken in *sent, or SOCKET_ERROR as send() fails. At most
// MaxSendBuffers buffers.
struct WSABUF {
    unsigned long len;
    char* buf;
};
constexpr unsigned MaxSendBuffers = 64;
int WSASend(SOCKET s, const WSABUF* buffers, unsigned count, unsigned long* sent, int flags);
int recv(SOCKET s, void* buf, int len, int flags);
int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr_in* to, int tolen);
int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr_in* from, int* fromlen);
int getsockname(SOCKET s, sockaddr_in* addr, int* len);
int getpeername(SOCKET s, sockaddr_in* addr, int* len);
int ioctlsocket(SOCKET s, long cmd, unsigned long* arg);
int WSAAsyncSelect(SOCKET s, HWND wnd, unsigned msg, long events);
// Holds back the socket's FD_READ and FD_CLOSE notifications while paused;
// sending and FD_WRITE go on. After the pause, data waiting and a close that
// came meanwhile notify as usual. For flow control: a socket whose owner does
// not want more input while its output waits.
int pauseReceive(SOCKET s, bool paused);

// Results of host lookups, in place of the WinSock hostent.
struct HostEntry {
    std::string name;                       // official name
    std::vector<std::uint32_t> addresses;   // IPv4, network order
};

// Blocking lookups (getaddrinfo with AF_INET); false with WSAGetLastError set.
bool gethostbyname(const std::string& name, HostEntry& out);
int gethostname(char* buf, int len);
int getservbyname(const std::string& name, const std::string& proto);  // host-order port or -1
int getprotobyname(const std::string& name);                            // number or -1

std::uint32_t inet_addr(const std::string& text);  // INADDR_NONE when not an address
std::string inet_ntoa(std::uint32_t addr);         // network order in
std::uint16_t htons(std::uint16_t v);
std::uint16_t ntohs(std::uint16_t v);
std::uint32_t htonl(std::uint32_t v);
std::uint32_t ntohl(std::uint32_t v);

using AsyncHandle = std::uint32_t;  // 0 is "no request"
AsyncHandle WSAAsyncGetHostByName(HWND wnd, unsigned msg, const std::string& name);
AsyncHandle WSAAsyncGetHostByAddr(HWND wnd, unsigned msg, std::uint32_t addr);
int WSACancelAsyncRequest(AsyncHandle h);  // 0, or -1 when unknown/finished
// Takes the result of a finished request (once); false when there is none.
bool WSAGetAsyncHostResult(AsyncHandle h, HostEntry& out);

// IPv4 addresses of the interfaces, loopback last (a fallback for the local
// address list when the host name does not resolve).
std::vector<std::uint32_t> interfaceAddresses();

// Bookkeeping for tests and benchmarks: sockets open now.
std::size_t openSocketCount();
// The kernel descriptor behind a handle (-1 when none); tests only.
int descriptorOf(SOCKET s);

}  // namespace platform::net
