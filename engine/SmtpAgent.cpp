#include "SmtpAgent.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "DataU1.h"
#include "UtilU1.h"
#include "platform/Clock.h"

namespace {

std::string Lower(std::string S) {
    for (char& C : S) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return S;
}

int CompareText(const std::string& A, const std::string& B) {
    const std::string LA = Lower(A), LB = Lower(B);
    return LA < LB ? -1 : (LA == LB ? 0 : 1);
}

// The queue names in the folder: every file's name without its extension,
// sorted without regard to case, each name once.
std::vector<std::string> ListQueueNames(const std::string& Folder) {
    std::vector<std::string> Names;
    std::error_code Ec;
    for (std::filesystem::directory_iterator It(Folder, Ec), End; !Ec && It != End; It.increment(Ec)) {
        std::error_code Ec2;
        if (It->is_directory(Ec2)) continue;
        const std::string File = It->path().filename().string();
        if (File.empty() || File == "." || File == "..") continue;
        const std::size_t Dot = File.rfind('.');
        const std::string Name = Dot == std::string::npos ? File : File.substr(0, Dot);
        if (Name.empty()) continue;  // ".txt" alone names no queue file we could have written
        auto Pos = std::lower_bound(Names.begin(), Names.end(), Name,
                                    [](const std::string& A, const std::string& B) { return CompareText(A, B) < 0; });
        if (Pos != Names.end() && CompareText(*Pos, Name) == 0) continue;
        Names.insert(Pos, Name);
    }
    return Names;
}

}  // namespace

TSmtpAgent::TSmtpAgent(void* AOwner) : TWHComponent(AOwner), FPollTimer(std::make_unique<platform::Timer>()) {
    OnMessage = [this](TWHComponent* Sender, TMessage& Msg) { WndProc(Sender, Msg); };
    FPollTimer->setEnabled(false);
    ApplyPollInterval();
    FPollTimer->OnTimer = [this] { ServiceQueue(); };
}

TSmtpAgent::~TSmtpAgent() {
    // The owner may be half gone by now (it calls Shutdown first when it
    // wants the status of each removal): no events from the destructor.
    OnStatus = nullptr;
    OnLog = nullptr;
    FPollTimer->setEnabled(false);
    RemoveAllConnections();
    FPollTimer.reset();
}

void TSmtpAgent::ApplyPollInterval() {
    std::int32_t Seconds = ServerInformation ? ServerInformation->PollingInterval : 300;
    if (Seconds <= 0) Seconds = 300;  // never a timer that fires without pause
    FPollTimer->setInterval(static_cast<unsigned>(Seconds) * 1000u);
}

void TSmtpAgent::FireStatus(bool Active) {
    if (OnStatus) OnStatus(this, Active, ConnectionCount());
}

void TSmtpAgent::Start() {
    ApplyPollInterval();
    FPollTimer->setEnabled(true);
    FireStatus(true);
}

void TSmtpAgent::Stop() {
    FPollTimer->setEnabled(false);
    FireStatus(false);
}

void TSmtpAgent::Shutdown() {
    Stop();
    RemoveAllConnections();
}

bool TSmtpAgent::StopWaitsFor(TSmtpAgentStage Stage) {
    switch (Stage) {
    case TSmtpAgentStage::TextSent:
    case TSmtpAgentStage::Rewriting:
    case TSmtpAgentStage::NoticeCommitting:
    case TSmtpAgentStage::Deleting: return true;
    case TSmtpAgentStage::Reading:
    case TSmtpAgentStage::Relaying:
    case TSmtpAgentStage::Released: return false;
    }
    return false;
}

bool TSmtpAgent::BeginShutdown() {
    FStopping = true;
    Stop();
    for (std::size_t I = FConnections.size(); I-- > 0;) {
        if (I >= FConnections.size()) continue;
        TSmtpAgentConnection* C = FConnections[I].get();
        if (StopWaitsFor(C->Stage())) {
            C->Log(std::string("Stopping... Finishing (") + toString(C->Stage()) + ")", 8);
            continue;
        }
        C->QuitForStop();
        RemoveConnection(C);
    }
    return FConnections.empty();
}

bool TSmtpAgent::IsActive() const { return FPollTimer->enabled(); }

void TSmtpAgent::ServiceQueueNow() { ServiceQueue(); }

void TSmtpAgent::ServiceQueue() {
    const bool WasEnabled = FPollTimer->enabled();
    FPollTimer->setEnabled(false);
    // A scan started inside another one (should anything pump the loop
    // during a scan) does nothing and leaves the outer scan's state alone.
    if (FBusy) {
        if (WasEnabled) FPollTimer->setEnabled(true);
        return;
    }
    struct TScanEnd {
        TSmtpAgent* A;
        bool Enable;
        ~TScanEnd() {
            A->FBusy = false;
            if (Enable) A->FPollTimer->setEnabled(true);
        }
    } End{this, WasEnabled};
    FBusy = true;

    const std::string Folder = ServerInformation ? ServerInformation->QueuePath : std::string();
    std::error_code Ec;
    if (Folder.empty() || !std::filesystem::is_directory(Folder, Ec)) return;

    const std::vector<std::string> Names = ListQueueNames(Folder);
    if (!Names.empty()) Log("Servicing " + std::to_string(Names.size()) + " queued messages...", 8);
    for (std::size_t I = 0; I < Names.size(); ++I) {
        const std::string Position = std::to_string(I + 1);
        if (IsMessageInService(nullptr, Names[I])) {
            Log("Message " + Position + " already in service.", 8);
            continue;
        }
        Log("Servicing message " + Position, 8);
        auto Owned = std::make_unique<TSmtpAgentConnection>(this);
        TSmtpAgentConnection* C = Owned.get();
        C->OnLog = [this, C](void* Sender, const std::string& Text, int Level) { ConnectionLog(Sender, Text, Level, C); };
        FConnections.push_back(std::move(Owned));
        FireStatus(true);
        C->ServiceMessage(Names[I]);
    }
}

bool TSmtpAgent::IsMessageInService(const TSmtpAgentConnection* Connection, const std::string& QueueName) const {
    const std::string Name = Lower(QueueName);
    for (const auto& C : FConnections)
        if (C.get() != Connection && Lower(C->QueueName()) == Name) return true;
    return false;
}

void TSmtpAgent::RemoveConnection(TSmtpAgentConnection* Connection) {
    for (std::size_t I = FConnections.size(); I-- > 0;) {
        if (I >= FConnections.size() || FConnections[I].get() != Connection) continue;
        std::unique_ptr<TSmtpAgentConnection> Gone = std::move(FConnections[I]);
        FConnections.erase(FConnections.begin() + static_cast<std::ptrdiff_t>(I));
        Gone.reset();
        FireStatus(FPollTimer->enabled());
    }
}

void TSmtpAgent::RemoveAllConnections() {
    while (!FConnections.empty()) RemoveConnection(FConnections.back().get());
}

void TSmtpAgent::CloseIdleConnections(int Minutes) {
    if (Minutes <= 0) return;
    const double Limit = Minutes * 0.00069;
    for (std::size_t I = FConnections.size(); I-- > 0;) {
        if (I >= FConnections.size()) continue;
        TSmtpAgentConnection* C = FConnections[I].get();
        if (!C->ChangingFiles() && platform::Now() - C->LastActivity > Limit) {
            Log("<Smtp Agent ID " + std::to_string(C->ID) + "> " + "Closing due to inactivity (" +
                    std::to_string(Minutes) + " minutes).",
                1);
            RemoveConnection(C);
        }
    }
}

void TSmtpAgent::Log(const std::string& Text, int Level) {
    if (OnLog) OnLog(this, Text, Level);
}

void TSmtpAgent::ConnectionLog(void* Sender, const std::string& Text, int Level, const TSmtpAgentConnection* Via) {
    if (!OnLog) return;
    std::int32_t Identity = 0;
    // The connection whose OnLog this came through answers first, so that a
    // line costs no walk over every connection.
    bool Found = Via && Via->IdentityOf(Sender, Identity);
    for (std::size_t I = 0; !Found && I < FConnections.size(); ++I) Found = FConnections[I]->IdentityOf(Sender, Identity);
    // Objects that the notice's routing makes in turn (a list processor) log
    // under the routing object's number.
    if (!Found)
        for (const auto& C : FConnections)
            if (C->FNoticeRouter) {
                Identity = C->FNoticeRouterID;
                break;
            }
    OnLog(this, "<Smtp Agent ID " + std::to_string(Identity) + "> " + Printable(Text), Level);
}

TSmtpAgentConnection* TSmtpAgent::GetConnection(int Index) const {
    if (Index < 0 || Index >= ConnectionCount()) return nullptr;
    return FConnections[static_cast<std::size_t>(Index)].get();
}

void TSmtpAgent::ReleaseConnection(std::intptr_t Pointer, std::intptr_t Identity) {
    // The pointer alone could name a newer connection that took the memory of
    // one the sweep already freed; the identity tells them apart.
    for (const auto& C : FConnections) {
        if (reinterpret_cast<std::intptr_t>(C.get()) == Pointer && C->ID == Identity) {
            RemoveConnection(C.get());
            return;
        }
    }
}

void TSmtpAgent::WndProc(TWHComponent* /*Sender*/, TMessage& Msg) {
    if (Msg.Msg == WM_RELEASE_CONNECTION) ReleaseConnection(Msg.WParam, Msg.LParam);
}
