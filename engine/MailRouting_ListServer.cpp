#include "MailRouting_ListServer.h"


#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

#include "DeliveryBatch.h"
#include "MailRouting.h"
#include "MailRouting_Internal.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/DurableFile.h"
#include "platform/FileWork.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"

namespace {

const char* const kArchiveSeparator = "(------------------)";
const char Q = '"';

struct CommandWord {
    const char* prefix;
    const char* command;
    std::size_t argumentFrom;  // index into the text after "!"
};

// Order matters: the first prefix that matches wins.
const CommandWord kCommands[] = {
    {"SUBSCRIBE", "SUBSCRIBE", 9},
    {"CONFIRM SUBSCRIBE", "CONFIRM SUBSCRIBE", 17},
    {"UNSUBSCRIBE", "UNSUBSCRIBE", 11},
    {"REMOVE", "UNSUBSCRIBE", 6},
    {"LIST", "LIST", 4},
    {"HELP", "HELP", 4},
};

std::string serverName() { return ServerInformation ? ServerInformation->ServerName : std::string(); }

// How a SUBSCRIBE's address reads: no path at all (the request is mail for
// the list), or a path that names someone to answer, or one that names nobody.
// The empty text is what the null reverse path leaves as sender: it stands
// for the bare "@", which parses, so the request is a command all the same.
enum class SubscribeAddress { NotAPath, Nobody, Someone };

SubscribeAddress readSubscribeAddress(const std::string& text) {
    if (text.empty()) return SubscribeAddress::Nobody;
    if (HoldsControlByte(text)) return SubscribeAddress::NotAPath;
    TMessageRouteInformation path(rkReversePath);
    if (path.Parse(text) != rpOK) return SubscribeAddress::NotAPath;
    if (path.LocalPart.empty() || path.Domain.empty()) return SubscribeAddress::Nobody;
    return SubscribeAddress::Someone;
}

// Splits what the message holds at the end of its header: the header lines
// (with the empty line after them) go to `header`, the rest to `body` as
// pieces. Only text in memory is looked at: a header that runs on into the
// part of the message kept in a file ends where that part begins.
void splitAtHeader(TSmtpMessageInformation& message, std::vector<std::string>& header, platform::Content& body) {
    for (std::size_t i = 0; i < message.Lines.size(); ++i) {
        header.push_back(message.Lines[i]);
        if (!message.Lines[i].empty()) continue;
        const std::vector<std::string> rest(message.Lines.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                            message.Lines.end());
        if (!rest.empty()) body.emplace_back(std::make_shared<const std::string>(mailrouting::joinLines(rest)));
        const auto& blocks = message.Text.Blocks();
        body.insert(body.end(), blocks.begin(), blocks.end());
        return;
    }
    const auto& blocks = message.Text.Blocks();
    // A line may run on from one block into the next, its CR LF too.
    std::string line;
    bool ended = false;
    std::size_t b = 0;
    for (; b < blocks.size() && blocks[b].bytes && !ended; ++b) {
        const std::string& text = *blocks[b].bytes;
        std::size_t from = 0;
        while (from < text.size() && !ended) {
            std::size_t eol = text.find("\r\n", from);
            std::size_t next = eol + 2;
            if (from == 0 && !line.empty() && line.back() == '\r' && text[0] == '\n') {
                line.pop_back();
                eol = 0;
                next = 1;
            }
            if (eol == std::string::npos) {
                line.append(text, from);
                break;
            }
            line.append(text, from, eol - from);
            ended = line.empty();
            header.push_back(std::move(line));
            line.clear();
            from = next;
        }
        if (ended && from < text.size()) body.emplace_back(std::make_shared<const std::string>(text.substr(from)));
    }
    // A line that runs on into the part kept in a file stays with it, whole.
    if (!line.empty()) body.emplace_back(std::make_shared<const std::string>(std::move(line)));
    body.insert(body.end(), blocks.begin() + static_cast<std::ptrdiff_t>(b), blocks.end());
}

// Archive entries waiting for the workers, in the order of the posts. One
// job at a time writes them, oldest first, and takes those that come while it
// writes, so that entries never interleave, keep their order and are each
// flushed before the next begins, and so that a burst of posts holds one
// worker, not all of them. An entry that cannot be written whole is cut back
// off the file and comes back to the loop's thread to be logged, since the
// post that made it is answered and gone by then. Never freed: the job may
// still run at exit.
struct ArchiveQueue {
    std::mutex mu;
    std::deque<std::pair<std::string, platform::Content>> entries;
    bool draining = false;  // a job is writing the entries
    std::vector<std::pair<std::string, int>> failed;  // file and errno of entries not written
    platform::HWND window = platform::NullWindow;  // takes the jobs' ends (loop thread only)
    TServiceLogEvent log;                          // loop thread only
};

ArchiveQueue& archiveQueue() {
    static auto* queue = new ArchiveQueue;
    return *queue;
}

void logArchiveFailures() {
    ArchiveQueue& queue = archiveQueue();
    std::vector<std::pair<std::string, int>> failed;
    {
        std::lock_guard<std::mutex> lock(queue.mu);
        failed.swap(queue.failed);
    }
    for (const auto& [file, error] : failed)
        if (queue.log) queue.log(nullptr, "Unable to add message to List Archive " + file + ": " + std::strerror(error), 1);
}

void queueArchiveEntry(std::string path, platform::Content entry) {
    ArchiveQueue& queue = archiveQueue();
    if (queue.window == platform::NullWindow)
        queue.window = platform::loop().createWindow([](platform::Message&) { logArchiveFailures(); });
    {
        std::lock_guard<std::mutex> lock(queue.mu);
        queue.entries.emplace_back(std::move(path), std::move(entry));
        if (queue.draining) return;
        queue.draining = true;
    }
    // Nobody waits for its end: the entries are written when the workers get
    // to them (a stop waits for the workers' jobs to end).
    platform::startFileWork(
        []() -> std::intptr_t {
            ArchiveQueue& q = archiveQueue();
            for (;;) {
                std::pair<std::string, platform::Content> next;
                {
                    std::lock_guard<std::mutex> lock(q.mu);
                    if (q.entries.empty()) {
                        q.draining = false;
                        return 0;
                    }
                    next = std::move(q.entries.front());
                    q.entries.pop_front();
                }
                if (!platform::appendFileDurably(next.first, next.second)) {
                    const int error = errno;
                    std::lock_guard<std::mutex> lock(q.mu);
                    q.failed.emplace_back(std::move(next.first), error);
                }
            }
        },
        queue.window, platform::WM_USER);
}

}  // namespace

void SetListArchiveLog(TServiceLogEvent log) { archiveQueue().log = std::move(log); }

TListServer::TListServer(const std::string& listName, const std::string& reversePath,
                         TSmtpMessageInformation& message)
    : ID(NewObjectIdentity()), ListName(listName) {
    Message.ReversePath.Parse(reversePath);
    platform::Content body;
    splitAtHeader(message, Message.Lines, body);
    Message.Text.AppendContent(body);
    ListAddress = ListName + "@" + serverName();
    TMessageRouteInformation listPath(rkOther);
    ListPath = listPath.Parse(ListAddress) == rpOK ? listPath.GetPath() : ListAddress;
    List.LoadFromFile(ListName);
    for (const auto& member : List.Members)
        if (member->Active) Message.AddForwardPath(member->Address);
    // A null reverse path names nobody to answer.
    if (!Message.ReversePath.LocalPart.empty() || !Message.ReversePath.Domain.empty())
        SenderAddress = Message.ReversePath.LocalPart + "@" + Message.ReversePath.Domain;
    std::string fromPath;
    Message.GetFromAddresses(FromAddress, fromPath);
    // A text holding a CR or LF is no address: a notice to it would carry
    // header lines of the sender's choosing.
    if (HoldsControlByte(FromAddress)) FromAddress.clear();
    if (HoldsControlByte(SenderAddress)) SenderAddress.clear();
}

void TListServer::Log(const std::string& text, int level) {
    if (OnLog) OnLog(this, text, level);
}

void TListServer::ParseCommand(const std::string& subject, std::string& command, std::string& argument) {
    command.clear();
    argument.clear();
    const std::string text = mailrouting::trimText(subject);
    if (text.empty() || text[0] != '!') return;
    const std::string rest = text.substr(1);
    const std::string upper = platform::upperCase(rest);
    for (const CommandWord& word : kCommands) {
        if (upper.compare(0, std::char_traits<char>::length(word.prefix), word.prefix) != 0) continue;
        command = word.command;
        argument = mailrouting::trimText(std::string_view(rest).substr(word.argumentFrom));
        return;
    }
}

bool TListServer::ProcessMessage() {
    Log("Processing Mail for List", 8);
    std::string subject, command, argument;
    Message.GetSubject(subject);
    ParseCommand(subject, command, argument);

    const std::string replyAddress = !FromAddress.empty() ? FromAddress : SenderAddress;
    bool noticeBuilt = false;
    bool distribute = command.empty();
    bool delivered = true;
    const auto notice = [&](const std::string& kind, const std::string& to, const std::string& reason) {
        SendNotification(kind, to, 0, 0, reason);
        noticeBuilt = true;
    };
    const auto save = [&] { return List.SaveToFile(ListName, false); };

    if (!command.empty()) Log("Command: " + command + " (" + argument + ")", 8);

    if (command == "SUBSCRIBE") {
        const std::string address = !argument.empty() ? argument : replyAddress;
        const SubscribeAddress reads = readSubscribeAddress(address);
        if (reads == SubscribeAddress::NotAPath) {
            Log("List Command unknown... treating as mail to list.", 7);
            distribute = true;
        } else if (reads == SubscribeAddress::Nobody) {
            // Never a pending member nobody can confirm, nor a notice to nobody.
            Log("No EMail address supplied. Notification cannot be sent.", 7);
        } else if (!List.AllowOpenSubscription) {
            Log("List not open to public subscription. Notification sent.", 7);
            notice("Subscribe Failure", address, "List is closed to public subscription");
        } else {
            // With every code 0..9999 pending there is none to hand out: the
            // list cannot take the request now.
            const std::int32_t code = List.NewConfirmationCode();
            const double expires = platform::Now() + 1.0;
            if (code >= 0 && List.AddPendingMember(code, address, expires) && save()) {
                Log("Accepted, Needs confirmation. Notification sent.", 8);
                SendNotification("Subscribe Success", address, expires, code, "");
                noticeBuilt = true;
            } else {
                Log("List not accessible at this time. Notification sent.", 7);
                notice("Subscribe Failure", address, "List temporarily inaccessible");
            }
        }
    } else if (command == "CONFIRM SUBSCRIBE") {
        if (replyAddress.empty()) {
            Log("No EMail address supplied. Notification cannot be sent.", 7);
        } else {
            const std::int32_t code = StrToIntDefault(argument, -1);
            TMailListPendingMember* pending = code < 0 ? nullptr : List.FindPendingMember(code);
            if (code < 0) {
                Log("Subscriber ID missing. Notification sent.", 7);
                notice("Subscribe Confirm Failure", replyAddress, "You didn't supply a subscriber ID number");
            } else if (!pending) {
                Log("Subscriber ID not found in pending. Notification sent.", 7);
                notice("Subscribe Confirm Failure", replyAddress,
                       "I couldn't find your Subscriber ID number (" + std::to_string(code) + ")");
            } else if (platform::Now() > pending->Expires) {
                Log("Subscriber ID has expired. Notification sent.", 7);
                notice("Subscribe Confirm Failure", replyAddress, "Your Subscriber ID number has expired");
                List.RemovePendingMember(pending);
                save();
            } else if (platform::lowerCase(pending->Address) != platform::lowerCase(replyAddress)) {
                Log("The sender's email address does not match! Notification sent.", 7);
                notice("Subscribe Confirm Failure", replyAddress,
                       "Your address (" + replyAddress + ") does " + "not match the pending member's address.");
            } else {
                const std::string address = pending->Address;
                List.AddMember(true, false, address);
                if (save()) {
                    List.RemovePendingMember(pending);
                    save();
                    Log("Subscribed. Notification sent.", 8);
                    notice("Subscribe Confirm Success", address, "");
                } else {
                    Log("List not accessible at this time. Notification sent.", 7);
                    notice("Subscribe Confirm Failure", replyAddress,
                           "Unable to Subscribe - List temporarily inaccessible");
                }
            }
        }
    } else if (command == "UNSUBSCRIBE") {
        if (replyAddress.empty()) {
            Log("No EMail address supplied. Notification cannot be sent.", 7);
        } else {
            const std::string who = platform::lowerCase(replyAddress);
            bool deleted = false;
            for (std::int32_t i = List.MemberCount() - 1; i >= 0; --i) {
                if (platform::lowerCase(List.GetMember(i)->Address) != who) continue;
                List.DeleteMember(i);
                deleted = true;
            }
            if (!deleted) {
                Log("Member not deleted. Notification sent.", 7);
                notice("Unsubscribe Failure", replyAddress, "Unable to Unsubscribe - Member not found for delete.");
            } else if (save()) {
                Log("Member removed from list. Notification sent.", 8);
                notice("Unsubscribe Success", replyAddress, "");
            } else {
                Log("List not accessible at this time. Notification sent.", 7);
                notice("Unsubscribe Failure", replyAddress, "Unable to Unsubscribe - List temporarily inaccessible");
            }
        }
    } else if (command == "LIST") {
        if (replyAddress.empty()) {
            Log("No EMail address supplied. List cannot be sent.", 7);
        } else if (List.DoNotReportListMembers) {
            Log("User requested restricted list membership. Response sent.", 8);
            notice("List Failure", replyAddress, "");
        } else {
            Log("User requested list membership. Response sent.", 8);
            notice("List Success", replyAddress, "");
        }
    } else if (command == "HELP") {
        if (replyAddress.empty()) {
            Log("No EMail address supplied. Help cannot be sent.", 7);
        } else {
            Log(std::string("User requested ") + Q + "Help" + Q + ". Response sent.", 8);
            notice("Help", replyAddress, "");
        }
    }

    if (distribute) {
        bool member = !List.MemberOnlySubmission;
        if (!member) {
            const std::string who = platform::lowerCase(replyAddress);
            for (const auto& m : List.Members)
                if (platform::lowerCase(m->Address) == who) member = true;
        }
        if (!member) {
            Log("User cannot submit to the list. They are not a member.", 7);
            notice("Submission Failure", replyAddress, "");
        } else {
            if (List.ForceRepliesToList) {
                Log("Forcing reply to list.", 8);
                Message.SetReplyTo(ListPath);
            }
            if (!List.DigestFile.empty()) {
                Log("Adding message to List Archive", 8);
                AddToArchive();
            }
            const std::string errorsTo =
                !List.MailErrorsTo.empty() ? List.MailErrorsTo : FormatMailbox("listmaster", serverName());
            Message.ReversePath.Parse("<" + errorsTo + ">");
            TDeliverMail deliver(&Message);
            deliver.OnLog = OnLog;
            delivered = deliver.Deliver();
        }
    }

    if (noticeBuilt) {
        TDeliverMail deliver(&Message);
        deliver.OnLog = OnLog;
        // A notice that cannot be delivered loses no mail of the sender's; its
        // failure is in the log and the command itself stands.
        deliver.Deliver();
    }

    Log("Destination Mailing List Processed", 8);
    return delivered;
}

void TListServer::SendNotification(const std::string& kind, const std::string& recipient, double time,
                                   std::int32_t code, const std::string& reason) {
    TMessageRouteInformation to(rkOther);
    const std::string recipientPath = to.Parse(recipient) == rpOK ? to.GetPath() : recipient;

    Message.ReversePath.Parse("<>");
    Message.ClearForwardPaths();
    Message.AddForwardPath(recipientPath);
    Message.Lines.clear();
    Message.Text.Clear();

    const std::string k = platform::upperCase(kind);
    std::string title;
    std::vector<std::string> body;
    if (k == "SUBMISSION FAILURE") {
        title = " Submission Failure";
        body = {"The specified list either does not exist at this ",
                "server, or is not open to public submission."};
    } else if (k == "SUBSCRIBE SUCCESS") {
        title = " Subscription";
        const std::string c = std::to_string(code);
        body = {"You (" + recipient + ") have been subscribed " + "to the",
                Q + ListName + Q + " mailing list at " + serverName() + ".",
                "",
                "To really join the list, you must send mail to: " + ListAddress,
                "With a subject of: !Confirm Subscribe " + c,
                "By " + TimeToStr(time) + " on " + DateToStr(time),
                "",
                "In other words, to join the list, reply to this",
                "mail and paste the following line into your e-mail",
                "subject before you send it:",
                "!Confirm Subscribe " + c,
                "",
                "If you don't want to subscribe, do nothing."};
    } else if (k == "SUBSCRIBE FAILURE") {
        title = " Subscription";
        body = {"Your subscription to " + ListAddress + " request failed because:", reason};
    } else if (k == "SUBSCRIBE CONFIRM SUCCESS") {
        title = " Subscription Successful";
        body = {std::string("To remove yourself, reply with a subject of ") + Q + "!Remove" + Q + " (no quotes)", ""};
        body.insert(body.end(), List.WelcomeMessage.begin(), List.WelcomeMessage.end());
    } else if (k == "SUBSCRIBE CONFIRM FAILURE") {
        title = " Subscription";
        body = {"Your subscription confirmation to " + ListAddress + " failed because:", reason};
    } else if (k == "UNSUBSCRIBE SUCCESS") {
        title = " Removal Successful";
        body = List.FarewellMessage;
    } else if (k == "UNSUBSCRIBE FAILURE") {
        title = " Removal";
        body = {"Your removal from " + ListAddress + " failed because:", reason};
    } else if (k == "LIST SUCCESS") {
        title = " Membership Listing";
        body = {"Members of " + (Q + ListName + Q) + " (" + ListAddress + ")", ""};
        for (const auto& member : List.Members)
            if (member->Active) body.push_back(member->Address);
    } else if (k == "LIST FAILURE") {
        title = " Membership Listing";
        body = {"Membership of " + (Q + ListName + Q) + " (" + ListAddress + ") is restricted."};
    } else if (k == "HELP") {
        title = " Help";
        body = {"Tavrin SMTP/POP3 Server Mail List Help",
                "",
                "Send list commands in the subject of your email.",
                "The following commands are valid:",
                "  Subscribe, Confirm Subscribe,",
                "  Unsubscribe, Remove, List, Help",
                "",
                "Command Syntax:",
                "",
                "  !Subscribe [Address]",
                "  !Confirm Subscribe [Number]",
                "  !Unsubscribe",
                "  !Remove",
                "  !List",
                "  !Help",
                "",
                "Replace [Address] with your full e-mail address.",
                "Replace [Number] with the number you were sent in the subscription reply.",
                ""};
    }

    Message.AddLine("Subject: " + ListName + title);
    Message.AddLine("To: " + recipientPath);
    Message.AddLine("From: " + ListPath);
    Message.AddLine("");
    Message.Lines.insert(Message.Lines.end(), body.begin(), body.end());
}

void TListServer::AddToArchive() {
    if (List.DigestFile.empty() || (Message.Lines.empty() && Message.Text.Empty())) return;
    // Appended in place, never rewritten: the archive may be a link to where
    // the administrator keeps it, and its size must not set the cost of a post.
    // The entry is the text as distributed, shared with the members' copies.
    platform::Content entry = Message.TextBlocks(std::string());
    entry.emplace_back(std::make_shared<const std::string>(std::string(kArchiveSeparator) + "\r\n"));
    auto append = [file = List.DigestFile, entry = std::move(entry)]() mutable {
        queueArchiveEntry(std::move(file), std::move(entry));
    };
    // A post that the client is told failed is sent again: its entry is
    // written once the delivery has been stored, so a retry leaves one.
    if (TDeliveryBatch* batch = TDeliveryBatch::Current()) {
        batch->AfterStored.push_back(std::move(append));
        return;
    }
    append();
}
