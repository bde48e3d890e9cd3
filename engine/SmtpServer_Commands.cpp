// The SMTP dialogue of one session: the authentication gate, AUTH LOGIN, the
// envelope with its access rules, the message text and its delivery, and the
// informational commands.

#include <cstring>
#include <exception>

#include "Base64.h"
#include "DataU1.h"
#include "DeliveryBatch.h"
#include "MailRouting.h"
#include "SmtpServer.h"
#include "UtilU1.h"
#include "platform/Paths.h"

namespace {

bool isTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isTrimmed(s[b])) ++b;
    while (e > b && isTrimmed(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// ASCII letters only; every other byte stays as it is.
std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Splits "FROM:<path>" into the trimmed, upper-cased keyword and the trimmed
// text after the first ":"; false when there is no ":".
bool splitKeyword(const std::string& argument, std::string& keyword, std::string& rest) {
    const std::size_t colon = argument.find(':');
    if (colon == std::string::npos) return false;
    keyword = upper(trim(argument.substr(0, colon)));
    rest = trim(argument.substr(colon + 1));
    return true;
}

// The queue file and the agent's RCPT TO carry a foreign recipient as
// GetPath() writes it: accept only a path that reads back as the same
// recipient, fits the queue file's 255 bytes and holds no control byte that
// could end a line on its way to the next hop.
bool queuesFaithfully(const TMessageRouteInformation& path) {
    if (!path.ReadsBackSame()) return false;
    const std::string written = path.GetPath();
    return written.size() <= 255 && !HoldsControlByte(written);
}

// One key per recipient: a local mailbox is found without regard to case,
// a foreign one only by its exact local part; domains ignore case.
std::string recipientKey(const TMessageRouteInformation& path, bool local) {
    if (local) return "L" + platform::lowerCase(path.LocalPart) + "@" + platform::lowerCase(path.Domain);
    std::string key = "F";
    for (const std::string& host : path.RouteHosts) key += platform::lowerCase(host) + ",";
    return key + ":" + path.LocalPart + "@" + platform::lowerCase(path.Domain);
}

}  // namespace

void TSmtpConnection::ProcessCommand(const std::string& line) {
    if (FState == TSmtpState::ReceivingData) {
        DoDataLine(line);
        return;
    }
    if (line.empty()) return;
    if (FAuthStep == 1) {
        DoAuthLine(line);
        return;
    }

    std::string command = upper(trim(line));
    std::string argument;
    if (command != "AUTH LOGIN" && command != "AUTH PLAIN") {
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos) {
            command = upper(trim(line.substr(0, blank)));
            argument = trim(line.substr(blank));
            Log("Command: " + command + " (" + argument + ")", 4);
        }
    }

    if (command != "EHLO" && command != "AUTH LOGIN" && command != "AUTH PLAIN" && !FAuthenticated) {
        Reply("530 SMTP Authentication is required!!");
        Log("Address " + FClientName + " BANNED", 5);
        return;
    }
    DoCommand(command, argument);
}

void TSmtpConnection::DoCommand(const std::string& c, const std::string& a) {
    const bool connected = FSocket->State() == wsConnected;
    const bool greeted = FState == TSmtpState::Greeted;
    if (connected) {
        if (c == "AUTH LOGIN" && greeted) {
            FAuthStep = 1;
            Reply("334 " + Base64Encode("Username:"));
            return;
        }
        if (c == "AUTH PLAIN" && greeted) {
            Reply("334 OK");
            return;
        }
        if (c == "EHLO" && FState == TSmtpState::Connected) {
            FClientName = a;
            FMessage->Clear();
            FState = TSmtpState::Greeted;
            // One send for the whole reply, so that it leaves in one piece.
            Reply("250-AUTH=LOGIN\r\n250-AUTH LOGIN\r\n250 OK");
            Log("User " + FClientName + " at " + FPeerAddress + " OK", 6);
            return;
        }
        if (c == "MAIL" && greeted) {
            DoMailFrom(a);
            return;
        }
        if (c == "RCPT") {
            DoRcptTo(a);
            return;
        }
        if (c == "DATA") {
            DoData();
            return;
        }
        if (c == "RSET") {
            FState = TSmtpState::Greeted;
            FMessage->Clear();
            Reply("250 Ready.");
            Log("Connection Reset", 6);
            return;
        }
        if (greeted) {
            struct Fixed {
                const char* command;
                const char* reply;
                const char* log;
                int level;
            };
            static const Fixed fixed[] = {
                {"SEND", "502 SEND not implemented.", "Command not implemented", 5},
                {"SOML", "502 SOML not implemented.", "Command not implemented", 5},
                {"SAML", "502 SAML not implemented.", "Command not implemented", 5},
                {"HELP", "502 No Help Available", "Command not implemented", 6},
                {"NOOP", "250 OK", "No Operation", 6},
                {"TURN", "502 TURN not permitted.", "Command not implemented", 5},
            };
            for (const Fixed& f : fixed) {
                if (c == f.command) {
                    Reply(f.reply);
                    Log(f.log, f.level);
                    return;
                }
            }
            if (c == "VRFY") {
                DoVrfy(a);
                return;
            }
            if (c == "EXPN") {
                DoExpn(a);
                return;
            }
            if (c == "QUIT") {
                Reply("221 OK, Closed");
                Log("Closing connection", 4);
                CloseWhenSent();
                return;
            }
        }
    }
    if (FState != TSmtpState::Connected) FState = TSmtpState::Greeted;
    Reply("500 Command not recognized.");
    Log("Command not recognized", 5);
}

// AUTH LOGIN: the user name line, then the password line. The pair is kept for
// the session, so a later AUTH LOGIN tests the same pair again at once.
void TSmtpConnection::DoAuthLine(const std::string& line) {
    if (trim(FAuthUser).empty()) {
        FAuthUser = Base64Decode(line);
        Reply("334 " + Base64Encode("Password:"));
        return;
    }
    if (trim(FAuthPassword).empty()) FAuthPassword = Base64Decode(line);
    FAuthStep = 0;
    if (CheckPassword()) {
        FAuthenticated = true;
        Reply("235 SMTP Authentication successful");
        return;
    }
    FAuthenticated = false;
    Reply("535 SMTP Authentication fail.");
    CloseWhenSent();
    Log("Address " + FClientName + " Authentication fail", 5);
}

// An account without a stored password (never set, or a user folder without
// its information file) opens nothing: a client could otherwise match it with
// any line that decodes to nothing.
bool TSmtpConnection::CheckPassword() const {
    // LoadUser fails for a user without a folder as well.
    TPop3UserInformation user;
    if (!user.LoadUser(FAuthUser)) return false;
    return !user.Password.empty() && user.Password == FAuthPassword;
}

void TSmtpConnection::DoMailFrom(const std::string& argument) {
    std::string keyword, text;
    if (!splitKeyword(argument, keyword, text)) {
        Reply("501 Mail From?");
        Log("Missing :", 5);
        return;
    }
    if (keyword != "FROM") {
        Reply("501 Mail From?");
        Log("Missing FROM", 5);
        return;
    }
    // A CR or LF in the reverse path would end a line of the stored message's
    // Return-Path and of the agent's MAIL FROM.
    TMessageRouteInformation path(rkReversePath);
    const int code = HoldsControlByte(text) ? -1 : path.Parse(text);
    if (code != rpOK && code != rpEmptyPath) {
        Reply("501 Reverse-Path not understood");
        Log("Bad Reverse Path", 5);
        return;
    }

    const TServerInformation& si = *ServerInformation;
    TSmtpMessageInformation& m = *FMessage;
    m.ClearForwardPaths();
    m.HasLocalRecipient = false;
    m.RcptCount = 0;
    m.SenderDomainLocal = si.IsLocalDomain(path.Domain);
    m.SenderIsLocalUser = m.SenderDomainLocal && si.UserInfoFileExists(path.LocalPart);
    m.SenderDomainAccepted = si.IsAcceptedDomain(path.Domain);
    m.SenderDomainBanned = si.IsBannedDomain(path.Domain);
    m.SenderMailboxBanned = si.IsBannedMailbox(path.LocalPart);
    FAddressBanned = si.IsBannedAddress(path.Domain);

    // Each rule that holds refuses; the last one names the reason.
    bool refused = false;
    std::string reason;
    if (si.BanDomains && m.SenderDomainBanned) {
        refused = true;
        reason = "Domain (" + path.Domain + ") Banned";
    }
    if (si.BanMailboxes && m.SenderMailboxBanned) {
        refused = true;
        reason = "Mailbox (" + path.LocalPart + ") Banned";
    }
    if (si.BanAddresses && FAddressBanned) {
        refused = true;
        reason = "Address (" + path.Domain + ") Banned";
    }
    if (refused) {
        m.Clear();
        FState = TSmtpState::Greeted;
        Reply("550 Sender Not Accepted: " + reason);
        Log("Sender BAD (" + reason + ")", 5);
        return;
    }

    m.ReversePath.Parse(text);
    FState = TSmtpState::SenderAccepted;
    Reply("250 Sender Accepted");
    Log("Mail From (" + m.ReversePath.GetPath() + ") accepted", 6);
}

void TSmtpConnection::DoRcptTo(const std::string& argument) {
    if (FState != TSmtpState::SenderAccepted) {
        FState = TSmtpState::Greeted;
        Reply("503 Please Mail From before RCPT");
        Log("No From yet, how can we have Tos?", 5);
        return;
    }
    std::string keyword, text;
    if (!splitKeyword(argument, keyword, text)) {
        FState = TSmtpState::Greeted;
        Reply("501 Mail To?");
        Log("Missing :", 5);
        return;
    }
    if (keyword != "TO") {
        FState = TSmtpState::Greeted;
        Reply("501 Mail To?");
        Log("Missing TO", 5);
        return;
    }
    const TServerInformation& si = *ServerInformation;
    // As in MAIL FROM, a control byte makes the path unusable, whatever its
    // domain: the message could not keep such a recipient.
    TMessageRouteInformation path(rkForwardPath);
    const bool parsed = !HoldsControlByte(text) && path.Parse(text) == rpOK;
    const bool local = parsed && si.IsLocalDomain(path.Domain);
    if (!parsed || (!local && !queuesFaithfully(path))) {
        Reply("501 Forward-Path not understood");
        Log("Bad Forward Path", 5);
        return;
    }

    TSmtpMessageInformation& m = *FMessage;
    if (local) {
        const std::string& box = path.LocalPart;
        const bool known = si.AliasExists(box) || si.AliasExists(box + "@" + path.Domain) || si.UserExists(box) ||
                           si.MailListExists(box);
        if (!known) {
            Reply("550 Destination Not Accepted");
            Log("Receiver BAD", 5);
            return;
        }
        Log("Mail To is Local", 8);
        m.HasLocalRecipient = true;
    }
    FState = TSmtpState::SenderAccepted;
    // A recipient named again is delivered once; the client is told as before.
    std::string key = recipientKey(path, local);
    if (m.RecipientKeys.count(key) != 0) {
        Log("Mail To already listed", 8);
    } else if (m.AddForwardPath(text)) {
        m.RecipientKeys.insert(std::move(key));
        m.RcptCount += 1;
    } else {
        // Never a 250 for a recipient the message did not keep.
        Reply("501 Forward-Path not understood");
        Log("Bad Forward Path", 5);
        return;
    }
    Reply("250 Destination Accepted");
    Log("Mail To accepted", 6);
}

void TSmtpConnection::DoData() {
    TSmtpMessageInformation& m = *FMessage;
    if (FState != TSmtpState::SenderAccepted || m.ForwardPathCount() == 0) {
        Reply("503 Please RCPT TO before DATA");
        Log("No To yet, how can we have Data?", 5);
        return;
    }
    const TServerInformation& si = *ServerInformation;
    bool refused = false;
    std::string reason;
    if (si.Restrict && !(FPeerAccepted || m.SenderDomainAccepted || m.SenderIsLocalUser || m.HasLocalRecipient)) {
        refused = true;
        reason = "Domain or user NOT Accepted";
    }
    if (si.ApplyToMaximum && si.ToMaximum > 0 && m.RcptCount > si.ToMaximum) {
        refused = true;
        reason = "Too Many Recipients (" + std::to_string(m.RcptCount) + " > " + std::to_string(si.ToMaximum) + ")";
    }
    if (refused) {
        m.Clear();
        FState = TSmtpState::Greeted;
        Reply("451 Error in processing: " + reason);
        Log("Mail Rejected: " + reason, 5);
        return;
    }
    FState = TSmtpState::ReceivingData;
    FDataLineOpen = false;
    // A big message goes to disk as it comes: only its first part and the
    // blocks on their way to the spool file are held in memory.
    m.Text.SpoolTo(si.QueuePath, [this] { SpoolWritten(); });
    Reply("354 Start Mail Input, end with <CRLF>.<CRLF>");
    Log("Ready to accept mail", 6);
}

void TSmtpConnection::DoDataLine(std::string_view line, bool ended) {
    // Only the start of a line can end the message or lose a dot.
    if (!FDataLineOpen) {
        if (ended && line == ".") {
            DoEndOfData();
            return;
        }
        if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    }
    FDataLineOpen = !ended;
    if (ServerInformation->LogMessageSpy) Log("Data: " + std::string(line), 8);
    // A lone CR or LF is stored as the line end that POP3 and the agent
    // make of it when they send the message, so that a file's size is what
    // RETR sends. A "." made this way is text, not the end of the message.
    TMessageText& text = FMessage->Text;
    std::size_t from = 0;
    // memchr looks at many bytes at once; most lines hold neither.
    if (std::memchr(line.data(), '\r', line.size()) || std::memchr(line.data(), '\n', line.size())) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '\r' && line[i] != '\n') continue;
            text.Append(line.substr(from, i - from));
            text.Append("\r\n");
            from = i + 1;
        }
    }
    text.Append(line.substr(from));
    if (ended) text.Append("\r\n");
    if (text.SpoolBehind()) FFlow.Hold(TSessionFlow::Work);
}

// A spool write has ended: the sender may go on once it is no longer too far
// ahead of the disk, and a message whose end came meanwhile is routed once
// its last write is done.
void TSmtpConnection::SpoolWritten() {
    TMessageText& text = FMessage->Text;
    if (FEndPending) {
        if (text.SpoolWriting()) return;
        FEndPending = false;
        RouteMessage();
    } else if (text.SpoolBehind()) {
        return;
    }
    if (FFlow.Holds(TSessionFlow::Work)) FFlow.Release(TSessionFlow::Work, [this] { ProcessReceived(); });
}

void TSmtpConnection::DoEndOfData() {
    TMessageText& text = FMessage->Text;
    text.StopSpooling();
    if (text.SpoolWriting()) {
        FEndPending = true;
        FFlow.Hold(TSessionFlow::Work);
        return;
    }
    RouteMessage();
}

// Routing runs to its end here, inside the data event; the files it writes
// are then made durable by one group commit (SmtpServer_Commit.cpp), and the
// client hears "250" only for a message that was wholly stored or queued.
// When it was not (a file could not be written or committed), the client gets
// a temporary error and will try again; the commit has then taken back every
// file of the message it had placed, so the retry stores one copy. (Only a
// crash part-way, before any reply, can leave a part.)
void TSmtpConnection::RouteMessage() {
    Log("Processing Incoming Mail...", 6);
    if (const int error = FMessage->Text.SpoolError()) {
        // Part of the text never reached the spool file: nothing is stored.
        FMessage->Clear();
        FState = TSmtpState::Greeted;
        EndOfDataReply(false, std::strerror(error));
        return;
    }
    Log("Adding Received to Message Header", 8);
    FMessage->AddReceivedHeader();

    bool delivered = false;
    std::string why;
    TDeliveryBatch batch;
    try {
        TDeliverMail deliver(FMessage.get());
        TObjectIdentityRegistration named(&deliver, deliver.ID);
        deliver.OnLog = OnLog;
        delivered = deliver.Deliver();
        why = deliver.ErrorText;
    } catch (const std::exception& e) {
        why = e.what();
    } catch (...) {
        why = "unknown error";
    }
    batch.Close();

    FMessage->Clear();
    FState = TSmtpState::Greeted;
    if (delivered && !batch.Files.empty()) {
        StartCommit(batch);
        return;
    }
    if (delivered) {
        for (auto& work : batch.AfterStored) work();
        if (batch.QueueRunWanted) PostServiceQueueNow();
    }
    EndOfDataReply(delivered, why);
}

void TSmtpConnection::DoVrfy(const std::string& argument) {
    const TServerInformation& si = *ServerInformation;
    std::string user = argument;
    if (si.AliasExists(user)) {
        std::string entry, id;
        si.FindAlias(user, entry);
        TServerInformation::SplitAlias(entry, id, user);
        Log("Alias Converted", 6);
    }
    if (si.UserExists(user)) {
        TPop3UserInformation record;
        record.LoadUser(user);
        if (!record.DoNotReportUserExists) {
            Reply("250 " + record.RealName + " <" + FormatMailbox(user, si.ServerName) + ">");
            Log("User Reported", 6);
        } else {
            Reply("550 User Unknown");
            Log("User is Hidden", 5);
        }
        return;
    }
    Reply("550 User Unknown");
    Log("User is Unknown", 5);
}

void TSmtpConnection::DoExpn(const std::string& argument) {
    const TServerInformation& si = *ServerInformation;
    if (!si.MailListExists(argument)) {
        Reply("550 List Unknown");
        Log("List Unknown", 5);
        return;
    }
    TMailListInformation list;
    list.LoadFromFile(argument);
    if (list.DoNotReportListMembersToSmtp) {
        Reply("550 List Unknown");
        Log("List is Hidden", 5);
        return;
    }
    std::vector<std::string> paths;
    for (const auto& member : list.Members) {
        if (!member->Active) continue;
        TMessageRouteInformation path(rkOther);
        if (path.Parse(member->Address) == rpOK) paths.push_back(path.GetPath());
    }
    if (paths.empty()) {
        Reply("550 List is Empty");
        Log("List is Empty", 5);
        return;
    }
    for (std::size_t i = 0; i + 1 < paths.size(); ++i) Reply("250-" + paths[i]);
    Reply("250 " + paths.back());
    Log(paths.size() == 1 ? "List Entry Reported" : "List Entries Reported", 6);
}
