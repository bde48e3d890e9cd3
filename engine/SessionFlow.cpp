#include "SessionFlow.h"

void TSessionFlow::AfterCommand() {
    if (FOverBound || FSocket.SendQueueBytes() <= OutputBound) return;
    FOverBound = true;
    FSocket.PauseReceiving();
}

bool TSessionFlow::CloseWhenSent() {
    FClosing = true;
    FSocket.PauseReceiving();
    return FSocket.AllSent();
}

TSessionFlow::TDrained TSessionFlow::DataSent() {
    if (FClosing) return TDrained::Close;
    if (!FOverBound) return TDrained::Nothing;
    FOverBound = false;
    return TDrained::Resume;
}

void TSessionFlow::ResumeInput() {
    if (!Holding()) FSocket.ResumeReceiving();
}
