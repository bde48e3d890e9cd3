#include "MailRouting.h"

#include <exception>
#include <set>

#include "DeliveryBatch.h"
#include "MailRouting_ListServer.h"
#include "UtilU1.h"
#include "platform/Paths.h"

namespace {

platform::HWND g_serviceQueueWindow = platform::NullWindow;

// The lists processed since the outermost Deliver began. A list's copies are
// routed by nested Deliver calls; a list met again in the same chain (it
// contains itself, directly or through other lists) is not processed again,
// which also spares members reached twice a second copy.
struct ListChain {
    int depth = 0;
    std::set<std::string> processed;  // lower-cased list names
};
ListChain g_listChain;

class ChainScope {
public:
    ChainScope() {
        if (g_listChain.depth++ == 0) g_listChain.processed.clear();
    }
    ~ChainScope() {
        if (--g_listChain.depth == 0) g_listChain.processed.clear();
    }
    ChainScope(const ChainScope&) = delete;
    ChainScope& operator=(const ChainScope&) = delete;
};

TServerInformation& settings() { return *ServerInformation; }

}  // namespace

void SetServiceQueueWindow(platform::HWND wnd) { g_serviceQueueWindow = wnd; }

platform::HWND ServiceQueueWindow() { return g_serviceQueueWindow; }

void PostServiceQueueNow() {
    // A queue file of a delivery still being committed is not there yet.
    if (TDeliveryBatch* batch = TDeliveryBatch::Current()) {
        batch->QueueRunWanted = true;
        return;
    }
    if (g_serviceQueueWindow != platform::NullWindow)
        platform::loop().post(g_serviceQueueWindow, WM_SERVICE_QUEUE, 0, 0);
}

TDeliverMail::TDeliverMail(TSmtpMessageInformation* message) : ID(NewObjectIdentity()), Message(message) {}

void TDeliverMail::Log(const std::string& text, int level) {
    if (OnLog) OnLog(this, text, level);
}

void TDeliverMail::ResolveAlias(std::string& mailbox, const std::string& domain) {
    for (const std::string& key : {mailbox + "@" + domain, mailbox}) {
        if (!settings().AliasExists(key)) continue;
        std::string entry, aliasID, user;
        settings().FindAlias(key, entry);
        TServerInformation::SplitAlias(entry, aliasID, user);
        mailbox = user;
        Log("Destination (" + key + ") is Alias for " + mailbox, 8);
        return;
    }
}

void TDeliverMail::DeliverToUser(TPop3UserInformation* user) {
    if (!user) return;
    Log("Adding Return Path to Message Header", 8);
    // The same text for every local recipient of this routing: made once, and
    // shared by their files rather than copied for each.
    if (FStoredText.empty()) FStoredText = Message->TextBlocks("Return-Path: " + Message->ReversePath.GetPath() + "\r\n");
    Log("Saving Message to User", 8);
    user->StoreMessageText(Message->ReversePath.LocalPart, FStoredText);
}

bool TDeliverMail::SendUndeliverableNotice(const std::string& path) {
    TSmtpMessageInformation notice;
    notice.ReversePath.Parse("<>");
    const std::string sender = Message->ReversePath.GetPath();
    notice.AddForwardPath(sender);
    notice.AddLine("From: Tavrin Server " + settings().ServerName);
    notice.AddLine("Subject: Undeliverable Mail");
    notice.AddLine("");
    notice.AddLine("The following recepients were not reached:");
    notice.AddLine("");
    notice.AddLine(path);
    notice.AddLine("");
    notice.AddLine("so the following message could not be delivered.");
    notice.AddLine("");
    notice.AddLine("");
    // The original goes in as the pieces it is made of, never copied.
    notice.Text.AppendContent(Message->TextBlocks(std::string()));
    if (notice.ForwardPathCount() == 0 || notice.ForwardPath(0)->GetPath() == "<>") return true;
    return notice.SaveToQueue();
}

bool TDeliverMail::Deliver() {
    ChainScope chain;
    ErrorText.clear();
    if (!ServerInformation || !Message) {
        ErrorText = "no settings or no message to route";
        Log("Delivery stopped: " + ErrorText, 1);
        return false;
    }
    try {
        Log("Processing Destination Route(s)", 8);
        std::int32_t i = 0;
        while (i < Message->ForwardPathCount()) {
            TMessageRouteInformation* path = Message->ForwardPath(i);
            if (!settings().IsLocalDomain(path->Domain)) {
                Log("Destination Route Not Local... queueing for Agent...", 8);
                ++i;
                continue;
            }
            Log("Destination Route is Local", 8);
            std::string name = path->LocalPart;
            ResolveAlias(name, path->Domain);

            // A user folder without its information file is delivered to with
            // the defaults.
            TPop3UserInformation user;
            bool isUser = false;
            user.LoadUser(name, &isUser);
            if (isUser) {
                Log("Destination is User", 8);
                if (user.ForwardToAddress.empty()) {
                    DeliverToUser(&user);
                    Log("Removing Destination Route. Delivered.", 8);
                    Message->DeleteForwardPath(i);
                    continue;
                }
                Log("Forwarding...", 8);
                if (path->Parse(user.ForwardToAddress) != rpOK) {
                    Log("Unable to understand forward address... Delivered Locally.", 7);
                    DeliverToUser(&user);
                    Log("Removing Destination Route. Delivered.", 8);
                    Message->DeleteForwardPath(i);
                    continue;
                }
                if (!settings().IsLocalDomain(path->Domain)) {
                    Log("Destination Route Not Local... Queueing for Agent...", 8);
                    ++i;
                    continue;
                }
                Log("Destination Route is Local", 8);
                std::string target = path->LocalPart;
                ResolveAlias(target, path->Domain);
                TPop3UserInformation forwardUser;
                bool targetIsUser = false;
                forwardUser.LoadUser(target, &targetIsUser);
                if (targetIsUser) {
                    Log("Destination is User", 8);
                    DeliverToUser(&forwardUser);
                    Log("Removing Destination Route. Delivered.", 8);
                } else {
                    Log("Destination Route Local, but no user available... Deleting " + path->GetPath(), 7);
                }
                Message->DeleteForwardPath(i);
                continue;
            }

            const std::string listName = path->LocalPart;
            if (settings().MailListExists(listName)) {
                Log("Destination Route is a Mailing List", 8);
                if (!g_listChain.processed.insert(platform::lowerCase(listName)).second) {
                    Log("Mailing List " + listName + " already processed for this message... Skipping", 7);
                } else {
                    TListServer list(listName, Message->ReversePath.GetPath(), *Message);
                    list.OnLog = OnLog;
                    if (!list.ProcessMessage()) {
                        ErrorText = "Mailing List " + listName + " could not deliver the message";
                        Log("Delivery stopped: " + ErrorText, 1);
                        return false;
                    }
                }
                Log("Removing Destination Route. Delivered.", 8);
                Message->DeleteForwardPath(i);
                continue;
            }

            if (!SendUndeliverableNotice(path->GetPath()))
                Log("Unable to write the Queue File of the \"Undeliverable\" Notification", 1);
            Log("Destination Route Local, but no user available... Generating \"Undeliverable\" Notification", 7);
            Message->DeleteForwardPath(i);
        }

        if (Message->ForwardPathCount() > 0) {
            if (!Message->SaveToQueue()) {
                ErrorText = "Unable to write the Queue File in " + settings().QueuePath;
                Log("Delivery stopped: " + ErrorText, 1);
                return false;
            }
            if (settings().FireQueueImmediately) PostServiceQueueNow();
            Log(std::to_string(Message->ForwardPathCount()) + " Destination Route(s) Queued for Agent Processing", 8);
        }
        Log("Incoming Mail Processed", 8);
        return true;
    } catch (const std::exception& e) {
        ErrorText = e.what();
    } catch (...) {
        ErrorText = "unknown error";
    }
    Log("Delivery stopped: " + ErrorText, 1);
    return false;
}
