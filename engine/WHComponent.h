// A component with its own hidden window on the process's message loop, so
// that it can post messages to itself and handle them later, after the event
// that posted them has returned (a finished session asking its server to free
// it, an agent connection stepping to its next host).
//
// Contract:
//  - Handle is the hidden window from the end of construction to the start
//    of destruction; it is 0 when the loop could not give one, and the
//    component then works without messages.
//  - Every non-zero message posted or sent to Handle reaches OnMessage with
//    its number, wParam and lParam; message 0 and messages without a handler
//    are swallowed. The handler's Result is what send() returns.
//  - Destruction destroys the window first, so messages still queued for it
//    are dropped. A component must not be destroyed inside its own
//    OnMessage: it posts its release to its owner instead.
//  - Main thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/MessageLoop.h"

// The message record handed to OnMessage.
struct TMessage {
    std::uint32_t Msg = 0;
    std::intptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::intptr_t Result = 0;
};

class TWHComponent;
using TWHMessageEvent = std::function<void(TWHComponent* Sender, TMessage& Msg)>;

class TWHComponent {
public:
    // owner is the object that frees this one (not owned, may be null).
    explicit TWHComponent(void* owner = nullptr);
    virtual ~TWHComponent();
    TWHComponent(const TWHComponent&) = delete;
    TWHComponent& operator=(const TWHComponent&) = delete;

    void* Owner() const { return FOwner; }

    platform::HWND Handle = platform::NullWindow;
    TWHMessageEvent OnMessage;  // each descendant sets its own handler

    // Posts a message to this component's own window (false without one).
    bool PostToSelf(std::uint32_t msg, std::intptr_t wParam = 0, std::intptr_t lParam = 0) const;

protected:
    // Calls OnMessage when a handler is assigned.
    void DoMessage(TMessage& msg);

private:
    friend platform::HWND AllocateHiddenWindow(TWHComponent* component);
    void* FOwner;
};

// Creates the hidden window of a component; 0 when the loop refuses one.
platform::HWND AllocateHiddenWindow(TWHComponent* component);
