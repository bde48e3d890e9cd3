// One SMTP session's life: taking over the accepted handle, the greeting,
// receiving and splitting lines, the socket events, and the release request.
// The dialogue itself is in SmtpServer_Commands.cpp.

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cstring>

#include "DataU1.h"
#include "SmtpServer.h"
#include "platform/Clock.h"

TSmtpConnection::TSmtpConnection(TSmtpServer* server)
    : FIdentity(NewObjectIdentity()),
      FRegistration(this, FIdentity),
      FServer(server),
      FSocket(std::make_unique<TWSocket>()),
      FFlow(*FSocket, [this] { ProcessReceived(); }),
      FMessage(std::make_unique<TSmtpMessageInformation>()) {
    auto& s = *FSocket;
    s.OnDataAvailable = [this](TCustomWSocket* sender, std::uint16_t error) { SocketDataAvailable(sender, error); };
    s.OnDataSent = [this](TCustomWSocket* sender, std::uint16_t error) { SocketDataSent(sender, error); };
    s.OnSessionClosed = [this](TCustomWSocket* sender, std::uint16_t error) { SocketSessionClosed(sender, error); };
    s.OnError = [this](TCustomWSocket* sender) { SocketError(sender); };
    s.OnBgException = [this](TCustomWSocket* sender, const std::exception& e, bool& canClose) {
        SocketBgException(sender, e, canClose);
    };
    // A client that ends its side after its last command still gets every
    // reply that is queued. One read per notice: a client sending a big
    // message then takes its turn with every other socket, read by read,
    // instead of having its whole socket buffer handled in one step.
    s.SetComponentOptions(s.ComponentOptions().With(wsoFinishSending).With(wsoNoReceiveLoop));
}

// Freed by the server only (release message, sweep, shutdown). The socket's
// own close must not call back into a session that is going away.
TSmtpConnection::~TSmtpConnection() {
    FMessage.reset();
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnDataSent = nullptr;
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnError = nullptr;
    FSocket->OnBgException = nullptr;
    FSocket.reset();
}

void TSmtpConnection::Log(const std::string& text, int level) {
    if (OnLog) OnLog(this, text, level);
}

void TSmtpConnection::Reply(const std::string& text) { FSocket->SendStr(text + "\r\n"); }

void TSmtpConnection::Accept(TSocket handle) {
    FSocket->Dup(handle);
    Log("Accepted", 4);
    FState = TSmtpState::Connected;
    FMessage->Clear();
    FPeerAccepted = false;
    FAddressBanned = false;
    FPeerAddress.clear();
    // An accept that failed (no descriptor left after all) leaves a session
    // with no connection: it goes at once rather than at the next sweep.
    if (FSocket->State() != wsConnected) {
        PostRelease();
        return;
    }

    // Counted from here, not from the greeting's data-sent event: a sweep
    // that fell between the two would close a session that just arrived.
    FLastActivity = platform::Now();
    Log("Connected", 4);
    // Replies go out as they are made: a multi-line reply sent line by line
    // would otherwise wait for the client's delayed acknowledgement (some
    // 40 ms) between its lines.
    const int noDelay = 1;
    WSocket_setsockopt(FSocket->HSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    FFlow.Accepted();
    FPeerAddress = FSocket->GetPeerAddr();
    const TServerInformation& si = *ServerInformation;
    FAddressBanned = si.IsBannedAddress(FPeerAddress);
    FPeerAccepted = si.IsAcceptedDomain(FPeerAddress);
    const std::string name = FServer->GetServerName();
    if (si.BanAddresses && FAddressBanned) {
        Reply("221 " + name + " Closing Channel, Address banned.");
        CloseWhenSent();
        Log("Address " + FPeerAddress + " BANNED", 5);
        return;
    }
    switch (si.BannerLevel) {
        case 0: Reply("220 " + name + " Tavrin 1.4.0.0 ESMTP Ready."); break;
        case 2: Reply("220 " + name + " ESMTP Ready."); break;
        default: Reply("220 " + name + " Tavrin ESMTP Ready."); break;
    }
}

void TSmtpConnection::PostRelease() {
    FServer->PostToSelf(TSmtpServer::WM_RELEASE_CONNECTION, reinterpret_cast<std::intptr_t>(this), FIdentity);
}

void TSmtpConnection::Disconnect() {
    if (FSocket->State() == wsClosed) {
        PostRelease();
        return;
    }
    FSocket->Close();
    // A close that fails half-way can leave the socket closed without its
    // OnSessionClosed; the session must still be released then. A second
    // release request is harmless.
    if (FSocket->State() == wsClosed) PostRelease();
}

void TSmtpConnection::CloseWhenSent() {
    if (FFlow.CloseWhenSent()) Disconnect();
}

void TSmtpConnection::SocketDataAvailable(TCustomWSocket*, std::uint16_t) {
    // While the session holds, input stays in the socket: reading it would
    // only move it into this buffer.
    if (FFlow.Holding()) return;
    char buf[ReceiveChunk];
    const int n = FSocket->Receive(buf, ReceiveChunk);
    FLastActivity = platform::Now();
    if (n > 0) FReceiveBuffer.append(buf, static_cast<std::size_t>(n));
    ProcessReceived();
}

void TSmtpConnection::ProcessReceived() {
    // Lines are taken from the front of the buffer by moving FConsumed; the
    // buffer is cut once per call, not once per line, so that a large read
    // costs time in proportion to its size. FConsumed is read afresh for
    // every line: a command may pump messages (a close that would block), and
    // a line must never be handled twice.
    for (;;) {
        if (FFlow.Holding()) {
            DropConsumed();
            return;
        }
        const std::size_t eol = FReceiveBuffer.find("\r\n", std::max(FScanFrom, FConsumed));
        if (eol == std::string::npos) {
            // The next search starts at the last byte: it may be the CR of a
            // CR LF whose LF is still on its way.
            FScanFrom = FReceiveBuffer.empty() ? 0 : FReceiveBuffer.size() - 1;
            break;
        }
        const std::size_t from = FConsumed;
        FConsumed = eol + 2;
        // A line of message text answers nothing: it costs the turn's share
        // only what it queues.
        const bool command = FState != TSmtpState::ReceivingData;
        if (!command) {
            // Message text is taken from the buffer without a copy of its own;
            // the view is not used after the line's handling.
            DoDataLine(std::string_view(FReceiveBuffer).substr(from, eol - from));
        } else {
            ProcessCommand(FReceiveBuffer.substr(from, eol - from));
        }
        FFlow.AfterCommand(command);
    }
    DropConsumed();

    if (FState == TSmtpState::ReceivingData) {
        TakeDataLineSoFar();
    } else if (FReceiveBuffer.size() > MaxCommandLineLength) {
        RefuseLongLine();
    }
}

// A message line has no bound: once the part of it received so far is big,
// that part goes on to the text (and so to the spool) without waiting for
// its end, and the line costs no more memory than a short one. A CR at the
// end waits, as it may begin the line's CR LF.
void TSmtpConnection::TakeDataLineSoFar() {
    std::size_t take = FReceiveBuffer.size();
    if (take < DataLineSoFar) return;
    if (FReceiveBuffer[take - 1] == '\r') --take;
    DoDataLine(std::string_view(FReceiveBuffer).substr(0, take), false);
    FConsumed = take;
    DropConsumed();
}

void TSmtpConnection::DropConsumed() {
    if (FConsumed == 0) return;
    FReceiveBuffer.erase(0, FConsumed);
    FScanFrom = FScanFrom > FConsumed ? FScanFrom - FConsumed : 0;
    FConsumed = 0;
    // A message's worth of buffer is not kept by a session that waits.
    if (FReceiveBuffer.empty() && FReceiveBuffer.capacity() > 2 * ReceiveChunk) FReceiveBuffer = std::string();
}

// A client that never ends its command line would otherwise grow the buffer
// without bound, before it has even authenticated.
void TSmtpConnection::RefuseLongLine() {
    FReceiveBuffer.clear();
    FReceiveBuffer.shrink_to_fit();
    FScanFrom = 0;
    FConsumed = 0;
    FMessage->Clear();
    FState = TSmtpState::Greeted;
    if (FSocket->State() == wsConnected) Reply("500 Line too long.");
    Log("Command line too long, closing connection", 5);
    CloseWhenSent();
}

void TSmtpConnection::SocketDataSent(TCustomWSocket*, std::uint16_t) {
    FLastActivity = platform::Now();
    FFlow.Drained([this] { Disconnect(); }, [this] { ProcessReceived(); });
}

void TSmtpConnection::SocketSessionClosed(TCustomWSocket*, std::uint16_t) {
    Log("Closed", 4);
    PostRelease();
}

void TSmtpConnection::SocketError(TCustomWSocket*) {
    Log("Socket Error", 3);
    Disconnect();
}

void TSmtpConnection::SocketBgException(TCustomWSocket*, const std::exception&, bool& canClose) {
    canClose = false;
    Log("Background Exception Error", 0);
    Disconnect();
}
