// The layers between the core and TWSocket. With no SOCKS server and line
// mode off they add only their settings; the proxy dialogue and line handling
// are not built yet.

#include "sockets/WSocket.h"

namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket() = default;

TCustomSocksWSocket::~TCustomSocksWSocket() { BeginDestroy(); }

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

void TCustomSocksWSocket::DoSocksConnected(std::uint16_t Error) {
    if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::DoSocksError(int Error, const std::string& Msg) {
    if (OnSocksError) OnSocksError(this, Error, Msg);
}

TCustomLineWSocket::TCustomLineWSocket() {
    FLineEnd = "\r\n";
    FLineMode = false;
    FLineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() { BeginDestroy(); }

void TCustomLineWSocket::SetLineMode(bool Value) { FLineMode = Value; }

void TCustomLineWSocket::DoLineLimitExceeded(int RcvdLength, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, RcvdLength, ClearData);
}

TCustomSyncWSocket::TCustomSyncWSocket() = default;

TCustomSyncWSocket::~TCustomSyncWSocket() { BeginDestroy(); }

TWSocket::TWSocket() = default;

TWSocket::~TWSocket() { BeginDestroy(); }
