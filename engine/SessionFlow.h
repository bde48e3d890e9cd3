// Flow control of one server session (SMTP or POP3) over its socket.
//
// One place decides whether a session reads: every reason to take no further
// command is a hold here, and while any hold stands the socket reports
// neither input nor the peer's end. A peer that ends its side therefore still
// gets every reply it is owed: its end is taken only once the session reads
// again.
//  - OverBound: the session's unsent output is above OutputBound. It is
//    lifted when the output has drained (the socket's OnDataSent), so a
//    client that writes without reading makes the server hold no more than
//    the bound (plus the one reply that crossed it) for its session.
//  - Commit: a reply waits for the group commit of the message's files.
//    The session lifts it when the commit's completion has been answered.
//  - Producing: a long reply (a message being sent) is still being made,
//    a piece at a time as the output drains.
//  - Work: a reply waits for file work on the platform's workers
//    (platform/FileWork.h): a QUIT's deletions, a message spooled to disk.
//    Lifted by the session when the work's end has been answered.
//  - Closing: the session answers and then ends (QUIT, a refusal that ends
//    the session, a line too long); it closes only once everything it queued
//    has left. Never lifted. A client that never reads is still ended by the
//    inactivity sweep.
//  - Turn: the session has had its share of this turn of the loop
//    (TurnCommands commands answered, or TurnBytes of replies queued). Its
//    next turn comes through a message posted to the flow's own window, so
//    it queues behind every socket event already waiting: one client's
//    pipelined commands never keep another client's command waiting for
//    more than a share. Lifted when that message is handled; the lines
//    already received are then handled (the session's processReceived).
//
// Use: before each command line ask Holding(); after each call AfterCommand();
// from the socket's OnDataSent call Drained(); for an answer-then-close call
// CloseWhenSent() and close at once when it says so.
// Main thread only; every call may be made from inside the socket's events.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/MessageLoop.h"
#include "sockets/WSocket.h"

class TSessionFlow {
public:
    static constexpr int OutputBound = 256 * 1024;
    // A session's share of one turn of the loop. Bytes and commands, not
    // time: a share costs the same whatever else the machine does.
    static constexpr int TurnCommands = 64;
    static constexpr long long TurnBytes = 64 * 1024;

    enum THold : std::uint8_t {
        OverBound = 1,
        Commit = 2,
        Producing = 4,
        Closing = 8,
        Work = 16,
        Turn = 32,
    };

    enum class TDrained {
        Nothing,  // nothing was waiting for the drain
        Close,    // the session was closing: close it now
        Resume,   // input may flow again
    };

    // processReceived: the session's handling of the lines it has received,
    // run when its next turn comes.
    TSessionFlow(TCustomWSocket& socket, std::function<void()> processReceived);
    ~TSessionFlow();
    TSessionFlow(const TSessionFlow&) = delete;
    TSessionFlow& operator=(const TSessionFlow&) = delete;

    // The session must take no further command now.
    bool Holding() const { return FHolds != 0; }
    bool Holds(THold hold) const { return (FHolds & hold) != 0; }
    // A reply waits for the platform's workers (a commit or other file
    // work): not idleness, so the inactivity sweep leaves such a session.
    bool WaitingOnWorkers() const { return Holds(Commit) || Holds(Work); }

    // Adds a hold; the socket's input (and the peer's end) wait from now on.
    void Hold(THold hold);
    // Lifts a hold. Once no hold is left, the lines already received are
    // handled (processReceived) and then, unless they made the session hold
    // again, the socket reports input, and a waiting end, again.
    template <class ProcessReceived>
    void Release(THold hold, ProcessReceived processReceived) {
        FHolds &= static_cast<std::uint8_t>(~hold);
        if (Holding()) return;
        processReceived();
        ResumeInput();
    }

    // After a command (command false: a line that is not one, such as a
    // line of message text, which answers nothing and counts only for the
    // bytes it queued): stops input while the output is over the bound, and
    // ends the session's turn once it has had its share.
    void AfterCommand(bool command = true);
    // Marks the session closing and stops its input. True when nothing is
    // left to send (the caller closes now); else DataSent() answers Close
    // once the output has left.
    bool CloseWhenSent();
    // From the socket's OnDataSent (the send queue is empty): a closing
    // session is closed; one held by its output handles the lines it already
    // received and then takes input from its socket again, unless those lines
    // (or another hold) keep it held.
    template <class Close, class ProcessReceived>
    void Drained(Close close, ProcessReceived processReceived) {
        switch (DataSent()) {
            case TDrained::Close: close(); break;
            case TDrained::Resume: Release(OverBound, processReceived); break;
            case TDrained::Nothing: break;
        }
    }

private:
    TDrained DataSent();
    void ResumeInput();
    // The posted message has come: a new turn, and the session's next
    // share of it.
    void NextTurn();

    TCustomWSocket& FSocket;
    std::function<void()> FProcessReceived;
    std::uint8_t FHolds = 0;
    // The turn under way: it began with the first command counted after the
    // last NextTurn, and ends when the message posted then is handled.
    platform::HWND FWindow = platform::NullWindow;
    bool FTurnOpen = false;
    int FTurnCommands = 0;
    long long FTurnBase = 0;    // the socket's QueuedTotal() when it began
    long long FQueuedSeen = 0;  // QueuedTotal() after the last command
};
