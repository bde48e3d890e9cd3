#include "SessionFlow.h"

void TSessionFlow::Hold(THold hold) {
    FHolds |= hold;
    FSocket.PauseReceiving();
}

void TSessionFlow::AfterCommand() {
    if (Holds(OverBound) || FSocket.SendQueueBytes() <= OutputBound) return;
    Hold(OverBound);
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
