// One message in transit: its envelope (reverse path, forward paths), its text
// lines, and the facts about sender and recipients that the SMTP session
// gathers for its access rules. Routing reads it and writes what is left of it
// as a queue file; the list processor and the failure notices build messages
// of their own with it and use its header helpers.
//
// Contract:
//  - Main thread only. Lines are bytes without line ends; nothing is
//    re-encoded.
//  - The message's text is Lines followed by Text. The SMTP session keeps
//    what it receives in Text (one copy, shared by every file routing makes
//    of it); Lines then holds only what was added on top (the "Received:"
//    line). The header helpers look at Lines only; a reader of the whole
//    text takes it as pieces (TextBlocks), never as lines in memory.
//  - Header helpers look only at the header (the lines before the first empty
//    line) and do not unfold continuation lines.
//  - SaveToQueue writes the queue file atomically and durably: the agent's
//    scan never sees a part of it, and it never replaces an existing file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "MailRouting_Text.h"
#include "UtilU1_Address.h"

class TSmtpMessageInformation {
public:
    TSmtpMessageInformation();
    ~TSmtpMessageInformation();
    TSmtpMessageInformation(const TSmtpMessageInformation&) = delete;
    TSmtpMessageInformation& operator=(const TSmtpMessageInformation&) = delete;

    TMessageRouteInformation ReversePath{rkReversePath};
    // Recipients in the order of their addition (kind rkForwardPath).
    std::vector<std::unique_ptr<TMessageRouteInformation>> ForwardPaths;
    std::vector<std::string> Lines;
    TMessageText Text;  // the lines after Lines

    // Set and read by the SMTP session only.
    bool HasLocalRecipient = false;
    std::int32_t RcptCount = 0;
    bool SenderIsLocalUser = false;
    bool SenderDomainLocal = false;
    bool SenderDomainAccepted = false;
    bool SenderDomainBanned = false;
    bool SenderMailboxBanned = false;
    // One key per distinct recipient of the envelope, so that a path given
    // again is taken once; emptied with the forward paths.
    std::unordered_set<std::string> RecipientKeys;

    // No forward paths, a cleared reverse path, no lines, the session's
    // fields back to false / 0.
    void Clear();
    void ClearForwardPaths();
    std::int32_t ForwardPathCount() const { return static_cast<std::int32_t>(ForwardPaths.size()); }
    // nullptr outside 0 .. count-1.
    TMessageRouteInformation* ForwardPath(std::int32_t index) const;
    // Nothing happens outside 0 .. count-1.
    void DeleteForwardPath(std::int32_t index);
    // Parses text as a forward path; false (nothing added) unless the parse
    // gives code 0. Leading source-route hosts that are local domains are
    // dropped (up to the first foreign one).
    bool AddForwardPath(const std::string& text);
    void AddLine(std::string text) { Lines.push_back(std::move(text)); }
    // The whole text with CR LF line ends, after prefix, as blocks to write:
    // Lines joined, then Text's blocks as they are.
    std::vector<TMessageText::TBlock> TextBlocks(std::string prefix);

    // Inserts "Received: FROM " + first route host of the reverse path (else
    // its domain) + " BY " + Server Name + " ; " + the date text of now as
    // line 0.
    void AddReceivedHeader();

    // Writes the message as a new queue file "Queue Path" + N + ".txt" with a
    // free decimal N: reverse path, every forward path in order, Performed 0,
    // Remaining "Forward Retries", the lines. False when it cannot be
    // written (nothing then appears in the queue folder). queueName, when
    // given, receives N on success.
    bool SaveToQueue(std::string* queueName = nullptr);

    // The trimmed value of the first header line "Name:" (name compared
    // without regard to case); "" and false when there is none.
    bool GetHeader(const std::string& name, std::string& value) const;
    // Replaces the value of the first header line of that name (keeping the
    // name as the message spells it), or inserts "Name: Value" before the
    // first empty line (at the end when there is none).
    void SetHeader(const std::string& name, const std::string& value);
    bool GetSubject(std::string& value) const { return GetHeader("Subject", value); }

    // text itself, or local@domain when it parses (kind 0) with code 0.
    static void ExtractMailbox(const std::string& text, std::string& result);
    // text itself, or its path form when it parses with code 0.
    static void ExtractPath(const std::string& text, std::string& result);
    // Mailbox and path of the "From" header; two empty texts without one.
    void GetFromAddresses(std::string& mailbox, std::string& path) const;
    // SetHeader("Reply-To", path form of address).
    void SetReplyTo(const std::string& address);
};
