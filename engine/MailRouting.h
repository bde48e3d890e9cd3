// Routing and local delivery: TDeliverMail takes one complete message in
// transit and routes every forward path synchronously. A path of a local
// domain is resolved through the aliases (one step) and ends in a user's
// mailbox (with "Return-Path: " on top), at the user's forward address, in a
// mailing list (TListServer), or in an "Undeliverable Mail" notice to the
// sender. Every foreign path stays in the message, and all of them together
// become one queue file for the SMTP agent.
//
// Use: create for the message, set OnLog, call Deliver once, destroy. The
// message stays the caller's; afterwards it holds exactly the forward paths
// that were queued.
//
// Contract:
//  - Main thread only; runs to its end inside the call. It may recurse: a
//    list's copies and notices are routed by new TDeliverMail objects within
//    the same call. Each mailing list is processed at most once per outermost
//    Deliver, so a list that reaches itself through its members ends.
//  - Deliver returns false when the message was not wholly taken care of: a
//    message file could not be created (routing stops there: later paths are
//    not routed and no queue file is written) or the queue file for the
//    foreign paths could not be written. ErrorText then says why, and a
//    level-1 log line was written. The SMTP session must then answer with an
//    error instead of accepting the message.
//  - No exception leaves Deliver.
#pragma once

#include <cstdint>
#include <string>

#include "DataU1.h"
#include "MailRouting_Message.h"
#include "MailRouting_Queue.h"
#include "ServiceEvents.h"
#include "platform/MessageLoop.h"

// The main window's message that makes the agent service its queue now.
constexpr unsigned WM_SERVICE_QUEUE = platform::WM_USER + 100;  // 1124

// The window that PostServiceQueueNow posts to; NullWindow (the start value)
// means none, and the request is then dropped. The main window registers its
// own window here when it is created and NullWindow when it goes.
void SetServiceQueueWindow(platform::HWND wnd);
platform::HWND ServiceQueueWindow();
// Posts WM_SERVICE_QUEUE (wParam 0, lParam 0) to the registered window, so the
// agent runs after the delivery in hand has returned. Nothing when none is
// registered.
void PostServiceQueueNow();

class TDeliverMail {
public:
    explicit TDeliverMail(TSmtpMessageInformation* message);
    TDeliverMail(const TDeliverMail&) = delete;
    TDeliverMail& operator=(const TDeliverMail&) = delete;

    const std::int32_t ID;  // identity in log lines, drawn at construction
    // Lets a log relay that gets this object as Sender name it by ID.
    const TObjectIdentityRegistration IdentityRegistration{this, ID};
    TServiceLogEvent OnLog;  // Sender is this object
    std::string ErrorText;   // why Deliver returned false

    // Routes every forward path (see above). True when all were handled and
    // the queue file, if one was needed, was written.
    bool Deliver();

    void Log(const std::string& text, int level);
    // One step of alias resolution on mailbox: the alias ID mailbox@domain
    // first, then mailbox alone.
    void ResolveAlias(std::string& mailbox, const std::string& domain);
    // Stores "Return-Path: <reverse path>" and the lines in the user's
    // mailbox; nullptr does nothing. Throws EFCreateError when the message
    // file cannot be created.
    void DeliverToUser(TPop3UserInformation* user);
    // Queues the "Undeliverable Mail" notice for one path (in path form) to
    // the sender; nothing for a null or unusable reverse path. False only
    // when the notice's queue file could not be written.
    bool SendUndeliverableNotice(const std::string& path);

private:
    TSmtpMessageInformation* Message;  // not owned
    // The mailbox text ("Return-Path:" line and the message), made at the
    // first local delivery and shared by every one after it.
    std::vector<TMessageText::TBlock> FStoredText;
};
