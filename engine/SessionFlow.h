// Flow control of one server session (SMTP or POP3) over its socket.
//
//  - Back-pressure: once the session's unsent output is above OutputBound,
//    it takes no further command and its socket stops reporting input (and
//    the peer's close) until the output has drained, that is until the
//    socket's OnDataSent. A client that writes without reading can then make
//    the server hold no more than the bound (plus the one reply that crossed
//    it) for its session.
//  - Closing after the last reply: a session that answers and then ends
//    (QUIT, a refusal that ends the session, a line too long) closes only
//    once everything it queued has left; meanwhile it takes no command.
//    A client that never reads is still ended by the inactivity sweep.
//
// Use: before each command line ask Holding(); after each call AfterCommand();
// from the socket's OnDataSent call Drained(); for an answer-then-close call
// CloseWhenSent() and close at once when it says so.
// Main thread only; every call may be made from inside the socket's events.
#pragma once

#include "sockets/WSocket.h"

class TSessionFlow {
public:
    static constexpr int OutputBound = 256 * 1024;

    enum class TDrained {
        Nothing,  // nothing was waiting for the drain
        Close,    // the session was closing: close it now
        Resume,   // input may flow again
    };

    explicit TSessionFlow(TCustomWSocket& socket) : FSocket(socket) {}

    // The session must take no further command now.
    bool Holding() const { return FClosing || FOverBound; }

    // After a command: stops input while the output is over the bound.
    void AfterCommand();
    // Marks the session closing and stops its input. True when nothing is
    // left to send (the caller closes now); else DataSent() answers Close
    // once the output has left.
    bool CloseWhenSent();
    // From the socket's OnDataSent (the send queue is empty): a closing
    // session is closed; a held one handles the lines it already received
    // and then takes input from its socket again, unless those lines made it
    // hold once more.
    template <class Close, class ProcessReceived>
    void Drained(Close close, ProcessReceived processReceived) {
        switch (DataSent()) {
            case TDrained::Close: close(); break;
            case TDrained::Resume:
                processReceived();
                ResumeInput();
                break;
            case TDrained::Nothing: break;
        }
    }

private:
    TDrained DataSent();
    void ResumeInput();

    TCustomWSocket& FSocket;
    bool FClosing = false;
    bool FOverBound = false;
};
