// The queue file: one message waiting for the SMTP agent, and its two model
// classes. The file is text with CR LF line ends:
//
//   [Reverse Path]
//   From=<reverse path>
//   (empty)
//   [Forward Path]
//   To=<forward path>          one line per recipient still to be reached
//   (empty)
//   [Retry]
//   Performed=<passes begun>
//   Remaining=<passes left>
//   (empty)
//   [Message]
//   ...the message lines, to the end of the file
//
// The first write is TSmtpMessageInformation::SaveToQueue (routing); the agent
// loads a file into TSmtpAgentMessageInformation, which groups the recipients
// by next-hop domain, and rewrites or deletes it.
//
// Only the envelope (the sections before [Message]) is held in memory; the
// message stays in the file and is held as a range of it, kept open, so that a
// message of any size costs the agent the same. A rewrite copies that range
// into the new file on the workers, and the range stays readable after the
// file was replaced or deleted.
//
// Contract:
//  - Main thread only, but for ScanQueueFile, which is for the workers.
//  - Every write is atomic and durable: a file in the queue folder is always
//    either the old one or the whole new one; a rewrite that fails leaves the
//    old file as it was.
//  - The reader never throws for a missing or empty file (false); for a file
//    that exists but cannot be read it throws EQueueFileError, so that the
//    caller can tell "gone" from "unreadable now" and need not delete mail.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/FileContent.h"
#include "platform/GroupCommit.h"
#include "platform/FileWork.h"

// A queue file exists but could not be opened or read.
class EQueueFileError : public std::runtime_error {
public:
    EQueueFileError(const std::string& path, int err);
    int Error;  // errno
};

// What ended a group's last attempt (set by the agent; never stored).
enum TSmtpAgentForwardStatus : std::uint8_t {
    fsNone = 0,
    fsNoHost = 1,        // no host could be reached
    fsHeloRefused = 2,   // the greeting or HELO was refused
    fsMailRefused = 3,   // MAIL FROM was refused
    fsRcptFailed = 4,    // RCPT TO failed
    fsDataRefused = 5,   // DATA or the end of the data was refused
};

struct TSmtpAgentRecipient {
    std::string Address;     // the To= text as read, whole
    bool Delivered = false;  // accepted by the next hop in this pass
};

// One recipient-domain group of a queued message.
class TSmtpAgentForwardInformation {
public:
    TSmtpAgentForwardInformation() { Clear(); }

    std::string Key;  // next-hop domain, upper-cased
    std::uint8_t Status = fsNone;
    std::string LastError;  // the refusing reply: code + " " + text
    std::vector<std::unique_ptr<TSmtpAgentRecipient>> Recipients;

    void ClearRecipients();
    void Clear();  // key, last error, status and recipients
    // nullptr outside 0 .. count-1.
    TSmtpAgentRecipient* GetRecipient(std::int32_t index) const;
    std::int32_t RecipientCount() const { return static_cast<std::int32_t>(Recipients.size()); }
    // Appends an undelivered recipient (the address whole, however long).
    TSmtpAgentRecipient* AddRecipient(const std::string& address);
    // Drops every recipient marked delivered.
    void RemoveDelivered();
    std::int32_t UndeliveredCount() const;
};

// What a read of a queue file found: its envelope lines and where its message
// lies. Lines end at CR LF, or, in a file without any CR LF, at LF alone.
struct TQueueFileScan {
    int Error = 0;  // errno of a failed open or read; ENOENT or ENOTDIR: no such file
    std::shared_ptr<const platform::SourceFile> File;
    std::vector<std::string> Envelope;  // the lines before the [Message] line
    std::uint64_t MessageAt = 0;        // where the message starts
    std::uint64_t Size = 0;             // the file's size
    std::uint64_t MessageLines = 0;     // lines of the message, as the reader counts them
    bool LineFeedsOnly = false;         // no CR LF in the file: lines end at LF
    bool EndsOpen = false;              // the file does not end with LF
    bool EndsInCR = false;              // its last byte is a CR
};

// For the workers (file system calls only): opens the file and reads it once
// to count its lines, keeping only the envelope.
TQueueFileScan ScanQueueFile(const std::string& path);

// One queue file in memory.
class TSmtpAgentMessageInformation {
public:
    TSmtpAgentMessageInformation() { Clear(); }

    std::string Name;         // queue name (file name without ".txt")
    std::string ReversePath;  // the From= text as loaded
    std::vector<std::unique_ptr<TSmtpAgentForwardInformation>> Groups;  // in creation order
    // The message: a range of the loaded file (empty when it has none).
    platform::Content Text;
    std::uint64_t LineCount = 0;  // the message's lines
    bool LineFeedsOnly = false;   // its lines end at LF alone (a file made by hand)
    bool EndsOpen = false;        // it does not end with LF
    bool EndsInCR = false;        // its last byte is a lone CR
    // To= texts of the last load that do not parse as a path or hold a
    // control byte, in file order.
    // They name nobody the agent can reach and are never written back; the
    // agent reports them to the sender.
    std::vector<std::string> Unreadable;
    std::int32_t Performed = 0;
    std::int32_t Remaining = 0;

    void ClearForwards();
    void Clear();  // everything, name included
    // nullptr outside 0 .. count-1.
    TSmtpAgentForwardInformation* GetForward(std::int32_t index) const;
    std::int32_t ForwardCount() const { return static_cast<std::int32_t>(Groups.size()); }
    // Drops delivered recipients, then every group left without recipients.
    void RemoveDelivered();

    // Puts a recipient text into the group of its next hop (the first route
    // host upper-cased, else the domain upper-cased), creating the group when
    // needed. False, and nothing added, when it does not parse as a path or
    // holds a control byte.
    bool AddRecipient(const std::string& text);

    // Reads "Queue Path" + queueName + ".txt": ScanQueueFile, then
    // TakeScan. Reads on the calling thread.
    bool LoadFromFile(const std::string& queueName);
    // Takes what ScanQueueFile found in the file of queueName. False when the
    // file does not exist (the object is unchanged) or holds no line;
    // sections missing from the envelope leave their fields empty or 0;
    // invalid recipients go to Unreadable instead of a group. Lines after the
    // [Message] line are the message, whatever they hold.
    // Throws EQueueFileError when the file exists but could not be read.
    bool TakeScan(const TQueueFileScan& scan, const std::string& queueName);
    // The message as it is to be stored: Text, and CR LF after a last line
    // without any line end (LF alone after a lone CR, which then becomes the
    // line's end: the text goes out the same from the file written back).
    platform::Content MessageContent() const;
    // SaveToFile(Name).
    bool Save() { return SaveToFile(Name); }
    // Writes the held state as "Queue Path" + queueName + ".txt", replacing
    // that file atomically; Name := queueName on success. False (Name and
    // the old file unchanged) when it cannot be written. Writes on the
    // calling thread.
    bool SaveToFile(const std::string& queueName);
    // The same as Save, through a group commit: its end is posted to wnd as
    // msg (platform::startCommit). 0 when the temporary file cannot be made
    // (nothing started).
    platform::CommitTicket StartSave(platform::HWND wnd, unsigned msg) const;
    // Deletes "Queue Path" + Name + ".txt"; true when it is gone (also when
    // it was already gone).
    bool DeleteFile();
    // The same on the workers: the result (lParam) is 1 when the file is
    // gone, else 0.
    platform::FileWorkTicket StartDelete(platform::HWND wnd, unsigned msg) const;
    // "Queue Path" + queueName + ".txt".
    static std::string FileNameOf(const std::string& queueName);
};
