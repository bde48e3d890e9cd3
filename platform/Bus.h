// Registered window messages and the per-user broadcast bus.
//
// registerWindowMessage() gives each name one identifier from 0xC000 up,
// for the life of the process; names compare without regard to ASCII letter
// case. Names are what programs agree on; identifiers are local.
//
// The bus stands in for a send to every top-level window: each process with
// such a window keeps a BusListener, a Unix-domain socket in the user's
// private bus folder. broadcastMessage() delivers (name, wParam, lParam) to
// every listener of the user and returns when each has handled it, as a
// synchronous send does. Listeners of the calling process are called
// directly. While it waits for another process, the caller keeps serving the
// deliveries that arrive for its own listeners, so two programs that send to
// each other at the same moment (a status question and its answer) do not
// wait for each other forever. Sockets left behind by dead processes are
// skipped and removed.
//
// A listener is a resource user like the socket listeners: it takes no
// connection while fewer descriptors than their reserve are free (the
// connection waits in the backlog; platform/Descriptors.h), and closes one
// that has not sent its whole request within a few seconds.
//
// Contract:
//  - Main thread only (the message loop's thread).
//  - A listener's handler runs from the message loop (or from inside a
//    broadcast of this process that waits); it may broadcast itself, run a
//    nested loop, and destroy its own listener.
//  - Nothing here throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

constexpr unsigned FirstRegisteredMessage = 0xC000;
constexpr std::size_t MaxMessageNameLength = 255;

// 0 for an empty name, one longer than MaxMessageNameLength, or when all
// 16,384 identifiers are taken.
unsigned registerWindowMessage(std::string_view name);
// The name as first registered; "" for an identifier not registered.
std::string registeredMessageName(unsigned id);

// The user's private runtime folder, ending in "/": "$XDG_RUNTIME_DIR/tavrin/"
// when that variable names a folder of this user, else "/tmp/tavrin-<uid>/".
// Created with mode 0700; "" when it cannot be made or is not private (owned
// by another user, a symbolic link, open to others).
std::string runtimeFolder();
// runtimeFolder() + "bus/" (created, private); "" when unavailable.
std::string busFolder();

class BusListener {
public:
    // Returns the message's result (what the sender's side sees).
    using Handler = std::function<std::intptr_t(unsigned msg, std::intptr_t wParam, std::intptr_t lParam)>;

    // Creates the socket in the bus folder and serves it from the message
    // loop. A listener that cannot be created is inactive: it receives only
    // broadcasts of this process.
    explicit BusListener(Handler handler);
    ~BusListener();
    BusListener(const BusListener&) = delete;
    BusListener& operator=(const BusListener&) = delete;

    bool active() const;        // the socket exists and is served
    std::string path() const;   // the socket's path ("" when inactive)

    struct State;

private:
    std::shared_ptr<State> s_;
};

struct BroadcastResult {
    int delivered = 0;  // listeners that handled the message (this process's included)
    int removed = 0;    // dead sockets removed
    int failed = 0;     // listeners that did not answer (closed, timed out)
};

// Sends the message to every listener of the user. timeoutMs bounds the wait
// for each other process (-1: as long as it lives). An identifier that is not
// registered is delivered to nobody.
BroadcastResult broadcastMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam,
                                 int timeoutMs = -1);

}  // namespace platform
