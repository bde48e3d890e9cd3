// The mailing-list processor: one message addressed to one local mailing
// list. A Subject of "!" and a command word (Subscribe, Confirm Subscribe,
// Unsubscribe / Remove, List, Help) is answered by a notice to one address;
// anything else is a contribution, redistributed to every active member with
// the list's own reverse path, after the member-only check, with the forced
// Reply-To and an entry in the list archive when the list asks for them.
//
// Use: routing creates one per list recipient, sets OnLog, calls
// ProcessMessage once and destroys it. Notices and copies are routed by a new
// TDeliverMail inside that call.
//
// The list archive file is plain text: message after message, each as its
// lines exactly as distributed, each followed by "(------------------)", all
// lines ended by CR LF. It is only ever appended to, one entry at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DataU1.h"
#include "MailRouting_Message.h"
#include "ServiceEvents.h"

// Where an archive entry that could not be written is logged (Sender null),
// on the loop's thread once its append has failed; the post that made it has
// been answered by then. Set by the program's owner of the log; none drops
// such lines.
void SetListArchiveLog(TServiceLogEvent log);

class TListServer {
public:
    // Loads the list definition, takes the reverse path (text, parsed as a
    // reverse path) and one forward path per active member, and the message:
    // its header as lines (read from the part of it held in memory) and the
    // rest as the pieces it is made of, shared, never read or copied.
    TListServer(const std::string& listName, const std::string& reversePath, TSmtpMessageInformation& message);
    TListServer(const TListServer&) = delete;
    TListServer& operator=(const TListServer&) = delete;

    const std::int32_t ID;  // identity in log lines, drawn at construction
    // Lets a log relay that gets this object as Sender name it by ID.
    const TObjectIdentityRegistration IdentityRegistration{this, ID};
    std::string ListName;     // the recipient mailbox that named the list
    std::string ListAddress;  // ListName + "@" + Server Name
    std::string ListPath;     // path form of ListAddress (ListAddress when it does not parse)
    TMailListInformation List;
    TSmtpMessageInformation Message;  // the list's own copy; a notice rewrites it
    std::string SenderAddress;  // mailbox@domain of the original reverse path
    std::string FromAddress;    // the original "From" reduced to mailbox@domain
    TServiceLogEvent OnLog;     // Sender is this object

    void Log(const std::string& text, int level);
    // Command word and argument of a Subject value; both empty when it is no
    // command.
    static void ParseCommand(const std::string& subject, std::string& command, std::string& argument);
    // The whole processing. False only when the delivery of a contribution to
    // the members failed (see TDeliverMail::Deliver); a notice that cannot be
    // delivered is logged and does not count.
    bool ProcessMessage();
    // Rewrites Message into the notice of the given kind for recipient; time
    // and code are used by "Subscribe Success", reason by the failure kinds.
    void SendNotification(const std::string& kind, const std::string& recipient, double time,
                          std::int32_t code, const std::string& reason);
    // Appends Message to the list archive file on the workers, once the
    // delivery in hand is stored (nothing when the list has none or the file
    // can be neither appended to nor created).
    void AddToArchive();
};
