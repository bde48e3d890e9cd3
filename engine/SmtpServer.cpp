// The SMTP listener: the session list, its release by posted message, the
// inactivity sweep, and the service events.

#include "SmtpServer.h"

#include <algorithm>

#include "DataU1.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/GroupCommit.h"

const char* toString(TSmtpState state) {
    switch (state) {
        case TSmtpState::Connected: return "Connected";
        case TSmtpState::Greeted: return "Greeted";
        case TSmtpState::SenderAccepted: return "SenderAccepted";
        case TSmtpState::ReceivingData: return "ReceivingData";
    }
    return "?";
}

TSmtpServer::TSmtpServer(void* owner) : TWHComponent(owner), FListenSocket(std::make_unique<TWSocket>()) {
    OnMessage = [this](TWHComponent* sender, TMessage& msg) { WndProc(sender, msg); };
    auto& s = *FListenSocket;
    s.OnSessionAvailable = [this](TCustomWSocket* sender, std::uint16_t error) { SocketSessionAvailable(sender, error); };
    s.OnChangeState = [this](TCustomWSocket* sender, TSocketState o, TSocketState n) { SocketChangeState(sender, o, n); };
    s.OnSessionClosed = [this](TCustomWSocket* sender, std::uint16_t error) { SocketSessionClosed(sender, error); };
    s.OnError = [this](TCustomWSocket* sender) { SocketError(sender); };
    s.OnBgException = [this](TCustomWSocket* sender, const std::exception& e, bool& canClose) {
        SocketBgException(sender, e, canClose);
    };
}

// The owner has called Shutdown before it frees the server; should sessions
// remain, they are freed without events, since the owner is going away and the
// listener's state must not be read while it is being destroyed.
TSmtpServer::~TSmtpServer() {
    FDestroying = true;
    OnStatus = nullptr;
    OnLog = nullptr;
    OnError = nullptr;
    OnMessage = nullptr;
    for (const auto& session : FConnections) platform::cancelCommit(session->CommitTicket());
    FConnections.clear();
    FListenSocket->OnSessionAvailable = nullptr;
    FListenSocket->OnChangeState = nullptr;
    FListenSocket->OnSessionClosed = nullptr;
    FListenSocket->OnError = nullptr;
    FListenSocket->OnBgException = nullptr;
    FListenSocket.reset();
}

void TSmtpServer::Start() {
    FShuttingDown = false;
    auto& s = *FListenSocket;
    s.Close();
    s.SetAddr(ServerInformation->SmtpBindAddress);
    s.SetPort(std::to_string(ServerInformation->SmtpListenPort));
    s.SetProto("TCP");
    s.Listen();
}

void TSmtpServer::Stop() { FListenSocket->Close(); }

void TSmtpServer::BeginShutdown() {
    Stop();
    FShuttingDown = true;
    // A session that owes no answer ends once what it was told has left.
    for (std::size_t i = FConnections.size(); i-- > 0;)
        if (i < FConnections.size() && !FConnections[i]->Flow().WaitingOnWorkers())
            FConnections[i]->CloseWhenSent();
}

// A session that answered its commit during the stop is closing: it stays
// until its answer has left.
bool TSmtpServer::ShutdownStep() {
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        if (i >= FConnections.size()) continue;
        const TSessionFlow& flow = FConnections[i]->Flow();
        if (!flow.WaitingOnWorkers() && !flow.Holds(TSessionFlow::Closing)) RemoveConnection(FConnections[i].get());
    }
    // A commit whose session has gone still owes the system its follow-up
    // (a list's archive entry) once it is reported.
    return FConnections.empty() && FAfterCommit.empty();
}

void TSmtpServer::Shutdown() {
    Stop();
    FShuttingDown = true;
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        if (i >= FConnections.size()) continue;
        TSmtpConnection* s = FConnections[i].get();
        // Too late to take it back: its completion is on its way.
        if (s->CommitTicket() != 0 && !platform::cancelCommit(s->CommitTicket())) continue;
        RemoveConnection(s);
    }
}

bool TSmtpServer::ListenSocketListening() const { return FListenSocket && FListenSocket->State() == wsListening; }

bool TSmtpServer::IsListening() {
    FListening = ListenSocketListening();
    return FListening;
}

std::string TSmtpServer::GetServerName() const { return FormatDomain(ServerInformation->ServerName); }

TSmtpConnection* TSmtpServer::Connection(std::int32_t index) const {
    if (index < 0 || index >= ConnectionCount()) return nullptr;
    return FConnections[static_cast<std::size_t>(index)].get();
}

void TSmtpServer::FireStatus() {
    if (OnStatus) OnStatus(this, ListenSocketListening(), ConnectionCount());
}

void TSmtpServer::FireLog(const std::string& text, int level) {
    if (OnLog) OnLog(this, text, level);
}

void TSmtpServer::FireError(std::uint8_t kind) {
    if (OnError) OnError(this, kind);
}

void TSmtpServer::ConnectionLog(void* sender, const std::string& text, int level) {
    if (!OnLog) return;
    FireLog("<SMTP ID " + std::to_string(ObjectIdentity(sender)) + "> " + Printable(text), level);
}

std::vector<std::unique_ptr<TSmtpConnection>>::iterator TSmtpServer::Find(const TSmtpConnection* session) {
    // From the last entry: a session asking to go is most often a recent one.
    for (auto it = FConnections.end(); it != FConnections.begin();) {
        --it;
        if (it->get() == session) return it;
    }
    return FConnections.end();
}

void TSmtpServer::RemoveConnection(TSmtpConnection* session) {
    auto it = Find(session);
    if (it == FConnections.end()) return;
    // Out of the list before it is freed, so that nothing its destruction
    // triggers can find it there.
    std::unique_ptr<TSmtpConnection> gone = std::move(*it);
    FConnections.erase(it);
    // Nobody is left to answer for that message: it must store nothing.
    platform::cancelCommit(gone->CommitTicket());
    gone.reset();
    FireStatus();
}

void TSmtpServer::RemoveAllConnections() {
    while (!FConnections.empty()) RemoveConnection(FConnections.back().get());
}

void TSmtpServer::CloseIdleConnections(std::int32_t minutes) {
    if (minutes <= 0) return;
    const double limit = minutes * InactivityMinute;
    const double now = platform::Now();
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        if (i >= FConnections.size()) continue;  // the list shrank under us
        TSmtpConnection* s = FConnections[i].get();
        // A commit slower than the timeout is not the client's idleness.
        if (s->Flow().WaitingOnWorkers()) continue;
        if (now - s->LastActivity() > limit) {
            FireLog("<SMTP ID " + std::to_string(s->Identity()) + "> Closing due to inactivity (" +
                        std::to_string(minutes) + " minutes).",
                    1);
            RemoveConnection(s);
        }
    }
}

void TSmtpServer::WndProc(TWHComponent*, TMessage& msg) {
    if (msg.Msg == WM_COMMIT_DONE) {
        CommitDone(static_cast<std::uint64_t>(msg.WParam), static_cast<int>(msg.LParam));
        return;
    }
    if (msg.Msg != WM_RELEASE_CONNECTION) return;
    // Only compared, never followed: the session named may be gone already.
    const auto* session = reinterpret_cast<const TSmtpConnection*>(msg.WParam);
    auto it = Find(session);
    if (it == FConnections.end() || (*it)->Identity() != static_cast<std::int32_t>(msg.LParam)) return;
    RemoveConnection(it->get());
}

void TSmtpServer::SocketSessionAvailable(TCustomWSocket*, std::uint16_t) {
    auto session = std::make_unique<TSmtpConnection>(this);
    session->OnLog = [this](void* sender, const std::string& text, int level) { ConnectionLog(sender, text, level); };
    TSmtpConnection* s = session.get();
    FConnections.push_back(std::move(session));
    FireStatus();
    s->Accept(FListenSocket->Accept());
}

void TSmtpServer::SocketChangeState(TCustomWSocket*, TSocketState, TSocketState) {
    if (FDestroying) return;
    const bool old = FListening;
    FListening = ListenSocketListening();
    if (old != FListening) FireStatus();
}

void TSmtpServer::SocketSessionClosed(TCustomWSocket*, std::uint16_t) { FireStatus(); }

void TSmtpServer::SocketError(TCustomWSocket*) {
    const int code = FListenSocket->LastError();
    if (code == 10048) {
        FireLog("Can't Bind to " + ServerInformation->SmtpBindAddress + ":" +
                    std::to_string(ServerInformation->SmtpListenPort),
                1);
        FireError(0);
    } else {
        FireLog("Error #" + std::to_string(code), 1);
        FireError(2);
    }
}

void TSmtpServer::SocketBgException(TCustomWSocket*, const std::exception&, bool& canClose) {
    canClose = false;
    FireLog("Unknown BG Exception", 0);
    FireError(2);
}
