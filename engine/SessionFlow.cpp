#include "SessionFlow.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

void TSessionFlow::Hold(THold hold) {
    FHolds |= hold;
    FSocket.PauseReceiving();
}

namespace {
constexpr unsigned WM_NEXT_TURN = platform::WM_USER + 1;
}

TSessionFlow::TSessionFlow(TCustomWSocket& socket, std::function<void()> processReceived)
    : FSocket(socket), FProcessReceived(std::move(processReceived)) {}

TSessionFlow::~TSessionFlow() {
    // A turn message still queued is dropped with the window.
    if (FWindow != platform::NullWindow) platform::loop().destroyWindow(FWindow);
}

void TSessionFlow::Accepted() {
    const int bound = SystemUnsentBound;
    WSocket_setsockopt(FSocket.HSocket(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bound, sizeof bound);
}

void TSessionFlow::AfterCommand(bool command) {
    const long long queued = FSocket.QueuedTotal();
    if (!FTurnOpen) {
        // The window is made with the first turn: a session that never
        // sends a command costs none.
        if (FWindow == platform::NullWindow)
            FWindow = platform::loop().createWindow([this](platform::Message& m) {
                if (m.msg == WM_NEXT_TURN) NextTurn();
            });
        // What was queued since the last command (this command's reply, and
        // any pieces of a long answer sent meanwhile) counts for this turn.
        FTurnBase = FQueuedSeen;
        FTurnCommands = 0;
        FTurnOpen = platform::loop().post(FWindow, WM_NEXT_TURN);
    }
    FQueuedSeen = queued;
    if (command) ++FTurnCommands;
    if (!Holds(OverBound) && FSocket.SendQueueBytes() > OutputBound) Hold(OverBound);
    if (FTurnOpen && !Holds(Turn) && (FTurnCommands >= TurnCommands || queued - FTurnBase >= TurnBytes))
        Hold(Turn);
}

void TSessionFlow::NextTurn() {
    FTurnOpen = false;
    FQueuedSeen = FSocket.QueuedTotal();
    if (!Holds(Turn)) return;
    // A connection that has gone meanwhile gets none of its commands
    // answered: its session is being released.
    if (FSocket.State() != wsConnected) {
        FHolds &= static_cast<std::uint8_t>(~Turn);
        return;
    }
    Release(Turn, FProcessReceived);
}

bool TSessionFlow::CloseWhenSent() {
    Hold(Closing);
    return FSocket.AllSent();
}

TSessionFlow::TDrained TSessionFlow::DataSent() {
    if (Holds(Closing)) return TDrained::Close;
    return Holds(OverBound) ? TDrained::Resume : TDrained::Nothing;
}

void TSessionFlow::ResumeInput() {
    if (!Holding()) FSocket.ResumeReceiving();
}
