#include "Pop3Server.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>

#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace {

// The sweep counts a minute as 0.00069 day (59.616 s), as the service always
// has; operators' timeouts were chosen against that figure.
constexpr double DaysPerSweepMinute = 0.00069;

std::string SessionPrefix(std::int32_t identity) { return "<POP3 ID " + std::to_string(identity) + "> "; }

}  // namespace

TPop3Server::TPop3Server(void* owner) : TWHComponent(owner), FListenSocket(std::make_unique<TWSocket>()) {
    OnMessage = [this](TWHComponent* sender, TMessage& msg) { WndProc(sender, msg); };
    FListenSocket->OnSessionAvailable = [this](TCustomWSocket* s, std::uint16_t e) { SocketSessionAvailable(s, e); };
    FListenSocket->OnChangeState = [this](TCustomWSocket* s, TSocketState o, TSocketState n) {
        SocketChangeState(s, o, n);
    };
    FListenSocket->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) { SocketSessionClosed(s, e); };
    FListenSocket->OnError = [this](TCustomWSocket* s) { SocketError(s); };
    FListenSocket->OnBgException = [this](TCustomWSocket* s, const std::exception& e, bool& canClose) {
        SocketBgException(s, e, canClose);
    };
}

TPop3Server::~TPop3Server() {
    // The owner may be half gone by now: nothing here fires an event.
    OnMessage = nullptr;
    FConnections.clear();
    FListenSocket->OnSessionAvailable = nullptr;
    FListenSocket->OnChangeState = nullptr;
    FListenSocket->OnSessionClosed = nullptr;
    FListenSocket->OnError = nullptr;
    FListenSocket->OnBgException = nullptr;
    FListenSocket.reset();
}

std::string TPop3Server::BindAddress() const {
    if (!ServerInformation || ServerInformation->Pop3BindAddress.empty()) return "0.0.0.0";
    return ServerInformation->Pop3BindAddress;
}

void TPop3Server::Start() {
    FListenSocket->Close();
    std::int32_t port = ServerInformation ? ServerInformation->Pop3ListenPort : 110;
    FListenSocket->SetAddr(BindAddress());
    FListenSocket->SetPort(std::to_string(port));
    FListenSocket->SetProto("TCP");
    FListenSocket->Listen();
}

void TPop3Server::Stop() { FListenSocket->Close(); }

void TPop3Server::Shutdown() {
    Stop();
    RemoveAllConnections();
}

void TPop3Server::BeginShutdown() {
    Stop();
    for (std::size_t i = FConnections.size(); i-- > 0;)
        if (i < FConnections.size() && !FConnections[i]->Flow().WaitingOnWorkers())
            RemoveConnection(FConnections[i].get());
}

bool TPop3Server::ShutdownStep() {
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        if (i >= FConnections.size()) continue;
        const TSessionFlow& flow = FConnections[i]->Flow();
        if (!flow.WaitingOnWorkers() && !flow.Holds(TSessionFlow::Closing)) RemoveConnection(FConnections[i].get());
    }
    return FConnections.empty();
}

bool TPop3Server::ListenerActive() const { return FListenSocket && FListenSocket->State() == wsListening; }

bool TPop3Server::IsListening() {
    FListening = ListenerActive();
    return FListening;
}

bool TPop3Server::IsMailboxLocked(const TPop3Connection* session, const std::string& name) const {
    const std::string wanted = platform::lowerCase(name);
    for (const auto& [ticket, user] : FWorkLocks)
        if (user == wanted) return true;
    for (const auto& c : FConnections) {
        if (c.get() != session && platform::lowerCase(c->UserName()) == wanted) return true;
    }
    return false;
}

void TPop3Server::CloseIdleConnections(std::int32_t minutes) {
    if (minutes <= 0) return;
    const double limit = minutes * DaysPerSweepMinute;
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        // A log handler may have changed the list meanwhile.
        if (i >= FConnections.size()) continue;
        TPop3Connection* session = FConnections[i].get();
        if (session->Flow().WaitingOnWorkers()) continue;
        if (platform::Now() - session->LastActivity > limit) {
            Log(SessionPrefix(session->ID) + "Closing due to inactivity (" + std::to_string(minutes) + " minutes).", 1);
            RemoveConnection(session);
        }
    }
}

void TPop3Server::RemoveConnection(TPop3Connection* session) {
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        if (i >= FConnections.size() || FConnections[i].get() != session) continue;
        std::unique_ptr<TPop3Connection> owned = std::move(FConnections[i]);
        FConnections.erase(FConnections.begin() + static_cast<std::ptrdiff_t>(i));
        owned.reset();
        FireStatus();
    }
}

void TPop3Server::RemoveAllConnections() {
    for (std::size_t i = FConnections.size(); i-- > 0;) {
        if (i < FConnections.size()) RemoveConnection(FConnections[i].get());
    }
}

platform::FileWorkTicket TPop3Server::StartFileWork(std::function<std::intptr_t()> job, const std::string& lockedUser) {
    const platform::FileWorkTicket ticket = platform::startFileWork(std::move(job), Handle, WM_FILE_WORK_DONE);
    if (!lockedUser.empty()) FWorkLocks.emplace_back(ticket, platform::lowerCase(lockedUser));
    return ticket;
}

void TPop3Server::ConnectionLog(void* sender, const std::string& text, int level) {
    if (OnLog) OnLog(this, SessionPrefix(ObjectIdentity(sender)) + Printable(text), level);
}

void TPop3Server::Log(const std::string& text, int level) {
    if (OnLog) OnLog(this, text, level);
}

void TPop3Server::FireStatus() {
    if (OnStatus) OnStatus(this, ListenerActive(), static_cast<int>(FConnections.size()));
}

void TPop3Server::WndProc(TWHComponent*, TMessage& msg) {
    if (msg.Msg == WM_FILE_WORK_DONE) {
        const auto ticket = static_cast<platform::FileWorkTicket>(msg.WParam);
        std::erase_if(FWorkLocks, [ticket](const auto& lock) { return lock.first == ticket; });
        for (const auto& c : FConnections) {
            if (c->WorkTicket() == ticket) {
                c->FileWorkDone(msg.LParam);
                return;
            }
        }
        return;
    }
    if (msg.Msg != WM_RELEASE_CONNECTION) return;
    auto* session = reinterpret_cast<TPop3Connection*>(msg.WParam);
    for (const auto& c : FConnections) {
        // Only a listed session is looked into; its identity tells a live
        // request from one left behind by a freed session at the same address.
        if (c.get() == session && c->ID == static_cast<std::int32_t>(msg.LParam)) {
            RemoveConnection(session);
            return;
        }
    }
}

void TPop3Server::SocketSessionAvailable(TCustomWSocket*, std::uint16_t) {
    auto owned = std::make_unique<TPop3Connection>(this);
    TPop3Connection* session = owned.get();
    session->OnLog = [this](void* sender, const std::string& text, int level) { ConnectionLog(sender, text, level); };
    FConnections.push_back(std::move(owned));
    FireStatus();
    session->Accept(FListenSocket->Accept());
}

void TPop3Server::SocketChangeState(TCustomWSocket*, TSocketState, TSocketState newState) {
    const bool was = FListening;
    FListening = newState == wsListening;
    if (was != FListening) FireStatus();
}

void TPop3Server::SocketSessionClosed(TCustomWSocket*, std::uint16_t) { FireStatus(); }

void TPop3Server::SocketError(TCustomWSocket*) {
    const int code = FListenSocket->LastError();
    if (code == platform::net::WSAEADDRINUSE) {
        std::int32_t port = ServerInformation ? ServerInformation->Pop3ListenPort : 110;
        Log("Can't Bind to " + BindAddress() + ":" + std::to_string(port), 1);
        if (OnError) OnError(this, 1);
    } else {
        Log("Error #" + std::to_string(code), 1);
        if (OnError) OnError(this, 2);
    }
}

void TPop3Server::SocketBgException(TCustomWSocket*, const std::exception&, bool& canClose) {
    canClose = false;
    Log("Unknown BG Exception", 0);
    if (OnError) OnError(this, 2);
}

// --- helpers -------------------------------------------------------------------

const char* toString(TPop3State state) {
    switch (state) {
        case TPop3State::Authorization: return "authorization";
        case TPop3State::UserAccepted: return "user accepted";
        case TPop3State::Transaction: return "transaction";
    }
    return "?";
}

std::vector<std::string_view> SplitMessageLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < n) lines.push_back(text.substr(start));
    return lines;
}

void AppendDotStuffed(std::string& out, std::string_view line) {
    if (!line.empty() && line.front() == '.') out += '.';
    out.append(line);
    out += "\r\n";
}

TRetrText TRetrText::Top(std::int64_t bodyLines) {
    TRetrText t;
    t.FTop = true;
    t.FBodyLines = bodyLines;
    return t;
}

bool TRetrText::LineDone(bool empty) {
    ++FLines;
    if (!FTop) return false;
    if (FInBody) return ++FBodyGiven >= FBodyLines;
    if (!empty) return false;
    FHeaderEnd = FLines - 1;
    FInBody = true;
    return FBodyLines <= 0;
}

bool TRetrText::Add(std::string_view bytes, std::string& out) {
    if (FDone) return false;
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    if (FAfterCR && p < end) {
        if (*p == '\n') ++p;
        FAfterCR = false;
    }
    const auto next = [end](const char* from, char c) {
        const void* hit = std::memchr(from, c, static_cast<std::size_t>(end - from));
        return hit ? static_cast<const char*>(hit) : end;
    };
    // The next CR and the next LF are each searched for once and kept until
    // passed, so that a piece without one of them is not searched again at
    // every line.
    const char* lf = next(p, '\n');
    const char* cr = next(p, '\r');
    while (p < end) {
        if (lf < p) lf = next(p, '\n');
        if (cr < p) cr = next(p, '\r');
        const char* stop = std::min(lf, cr);
        if (FLineLength == 0 && *p == '.') out += '.';
        out.append(p, static_cast<std::size_t>(stop - p));
        FLineLength += stop - p;
        if (stop == end) break;
        out += "\r\n";
        const bool empty = FLineLength == 0;
        FLineLength = 0;
        p = stop + 1;
        if (*stop == '\r') {
            if (p == end)
                FAfterCR = true;
            else if (*p == '\n')
                ++p;
        }
        if (LineDone(empty)) {
            FDone = true;
            return false;
        }
    }
    return true;
}

void TRetrText::End(std::string& out) {
    if (FDone || FLineLength == 0) return;
    out += "\r\n";
    FLineLength = 0;
    FDone = LineDone(false);
}

std::int64_t TRetrText::TopLast() const {
    // Stopped early: the header end plus every body line asked for.
    if (FDone && FInBody) return FHeaderEnd + FBodyLines;
    const std::int64_t last = FLines - 1;
    const std::int64_t headerEnd = FInBody ? FHeaderEnd : last;
    return std::min(headerEnd + FBodyLines, last);
}

std::string FloatToText(double value) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    if (r.ec != std::errc()) return "0";
    return std::string(buf, r.ptr);
}
