// The POP3 service: TPop3Server listens on [Pop 3 Server] "Bind Address" and
// "Listen Port", makes one TPop3Connection per accepted client, relays their
// log lines with the prefix "<POP3 ID n> ", lets one session at a time work
// on a user name, closes idle sessions and frees finished ones.
//
// Contract:
//  - Main thread only; everything runs inside socket events, the server's
//    window messages and the owner's calls.
//  - A session never frees itself: when its socket has closed it posts
//    TPop3Server::WM_RELEASE_CONNECTION to the server's window, and the
//    server frees it from there. CloseIdleConnections, RemoveConnection and
//    Shutdown free sessions directly; call them from outside the sessions'
//    own events (the main window's timer and close do).
//  - Reports go through OnStatus, OnLog and OnError (ServiceEvents.h), each
//    fired only when assigned, with the server as Sender. A listener that
//    cannot bind is reported there (Kind 1), never by a result or exception.
//  - The destructor frees remaining sessions without firing events; the
//    owner calls Shutdown first when it wants to see them go.
//  - A session's file work (reading a message it sends, deleting the files
//    of a QUIT) runs on the platform's workers; its end comes to the
//    server's window and goes to the session that started it, found by the
//    work's ticket. A session freed meanwhile gets nothing: its work still
//    runs to its end, and a QUIT's mailbox stays locked until then.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DataU1.h"
#include "ServiceEvents.h"
#include "SessionFlow.h"
#include "WHComponent.h"
#include "platform/FileWork.h"
#include "sockets/WSocket.h"

class TPop3Server;

// Longest command line (without CR LF) a client may send. A client that
// sends more without a line end gets "-ERR Line Too Long" and is disconnected.
constexpr std::size_t Pop3MaxLineLength = 4096;
// Bytes of a message file read and turned into answer text in one step of
// RETR or TOP. A larger message is answered a piece at a time, each piece
// once the one before has left the send queue; the next piece is read
// (from the caches, or on the workers when it is not there) while the one
// before drains. Every other client waits for
// at most one piece of each such answer: with eight 20 MB downloads under way
// a login took some 6 ms with pieces of 64 KiB, 11 ms with 128 KiB and 20 ms
// with 256 KiB, and the downloads were no slower. Once a piece no longer cost
// a copy into the send queue's blocks, pieces of 32 KiB in place of 64 KiB
// took that login from some 4.6 ms to 2.9 ms; one download alone was no
// slower, the eight together some 15 % slower.
constexpr std::size_t Pop3MessagePiece = 32 * 1024;

enum class TPop3State : std::uint8_t {
    Authorization = 0,  // after accept, a refused password or digest, a locked mailbox
    UserAccepted = 1,   // USER named a known user; PASS awaited
    Transaction = 2,    // logged in; the mailbox listing is held
};
const char* toString(TPop3State state);

// One POP3 session over one accepted connection.
class TPop3Connection {
public:
    explicit TPop3Connection(TPop3Server* server);
    ~TPop3Connection();
    TPop3Connection(const TPop3Connection&) = delete;
    TPop3Connection& operator=(const TPop3Connection&) = delete;

    // Takes over the accepted handle and greets the client. Called once by
    // the server right after creation.
    void Accept(TSocket handle);
    void Log(const std::string& text, int level);
    // Closes the socket (which asks the server for release), or asks for
    // release at once when the socket is already closed.
    void Disconnect();
    // One command line without its CR LF.
    void ProcessCommand(const std::string& line);

    const std::int32_t ID;       // identity in log lines and the APOP timestamp
    double LastActivity;         // date-time of the last data in or out
    TServiceLogEvent OnLog;      // Sender is this session

    TPop3State State() const { return FState; }
    const std::string& UserName() const { return FUserName; }
    const std::string& ApopTimestamp() const { return FApopTimestamp; }
    TWSocket& Socket() { return *FSocket; }
    const TSessionFlow& Flow() const { return FFlow; }

    // The ticket of the file work the session waits for; 0 when none.
    platform::FileWorkTicket WorkTicket() const { return FWorkTicket; }
    // The server hands over the end of that work (the job's result).
    void FileWorkDone(std::intptr_t result);

private:
    void SocketDataAvailable(TCustomWSocket* sender, std::uint16_t error);
    void SocketDataSent(TCustomWSocket* sender, std::uint16_t error);
    void SocketSessionClosed(TCustomWSocket* sender, std::uint16_t error);
    void SocketError(TCustomWSocket* sender);
    void SocketBgException(TCustomWSocket* sender, const std::exception& e, bool& canClose);

    void Reply(const std::string& text);
    void PostRelease();
    bool Connected() const;
    // Handles the complete lines received, until the session holds.
    void ProcessReceived();
    // Ends the session once the replies queued so far have left.
    void CloseWhenSent();

    // controlBytes: the command line held a control byte (so the name as given
    // was no account name, whatever trimming left of it).
    void CmdUser(const std::string& arg, bool controlBytes);
    void CmdPass(const std::string& arg);
    void CmdApop(const std::string& arg);
    void CmdQuit();
    void CmdStat();
    void CmdList(const std::string& arg);
    void CmdRetr(const std::string& arg);
    void CmdDele(const std::string& arg);
    void CmdRset();
    void CmdTop(const std::string& arg);
    void Login();

    // Counts and sizes of the entries not marked deleted.
    std::int32_t LiveCount() const;
    std::int64_t LiveOctets() const;
    // The entry for a message-number argument; replies and logs the refusal
    // and returns nullptr when there is none or it is marked deleted.
    TMailboxEntry* EntryForArgument(const std::string& numberText, const char* missingLog);

    // QUIT in the transaction state, once the marked files are deleted.
    void QuitDone(std::int32_t deleted, std::int32_t kept);

    // The answer to RETR or TOP, made a piece at a time from the message
    // file, each piece read from the caches or, when they lack it, on the
    // workers.
    struct TMessageFile;
    struct TMessageReply;
    // Starts the answer whose status line is head. A file that cannot be
    // opened as a file gets the status line alone and the session closes.
    void StartMessageReply(const TMailboxEntry& entry, std::string head, std::int64_t topLines, bool top);
    // Takes the answer's next piece from the caches (the first is sent at
    // once), or has the workers read it and holds until they have.
    void ReadNextPiece();
    // Makes and queues the answer's text from the piece read; the last
    // piece ends the answer.
    void SendPiece();
    void EndMessageReply(std::string& out);
    // The answer cannot be completed: the client gets no ".", so it never
    // takes what it has for the whole message.
    void AbandonMessageReply(const char* logText);

    TObjectIdentityRegistration FRegistration;
    TPop3Server* FServer;  // not owned
    std::unique_ptr<TWSocket> FSocket;
    TSessionFlow FFlow;
    std::string FReceiveBuffer;
    TPop3State FState = TPop3State::Authorization;
    std::string FApopTimestamp;
    std::string FUserName;
    std::unique_ptr<TPop3UserInformation> FUser;
    std::unique_ptr<TPop3MailInformation> FMailbox;
    std::unique_ptr<TMessageReply> FReply;  // while an answer is being made
    platform::FileWorkTicket FWorkTicket = 0;
    std::int32_t FQuitMarked = -1;  // files a QUIT deletes; -1 before QUIT
};

class TPop3Server : public TWHComponent {
public:
    // A session asks its server to free it (wParam: the session, lParam:
    // its identity, so that a request left over from a freed session can
    // never free a later one that happens to live at the same address).
    static constexpr unsigned WM_RELEASE_CONNECTION = platform::WM_USER + 100;  // 1124
    // File work of a session has ended (wParam: its ticket, lParam: the
    // job's result).
    static constexpr unsigned WM_FILE_WORK_DONE = platform::WM_USER + 101;

    explicit TPop3Server(void* owner = nullptr);
    ~TPop3Server() override;

    // (Re)opens the listener on the current settings. A failure arrives as
    // a log line and OnError, never here.
    void Start();
    // Closes the listener; sessions go on.
    void Stop();
    // Stop, then free every session (OnStatus once per session).
    void Shutdown();
    // A stop that keeps the answers owed for work on the workers (a QUIT's
    // deletions): Stop, then free every session but those waiting on the
    // workers; ShutdownStep frees each of those once it no longer waits (a
    // closing one once its answer has left) and is true when none is left.
    void BeginShutdown();
    bool ShutdownStep();
    bool IsListening();

    // True when another session of this server works on the user name
    // (letter case ignored), whatever that session's state.
    bool IsMailboxLocked(const TPop3Connection* session, const std::string& name) const;
    // Frees the sessions idle longer than minutes (each minute counted as
    // 0.00069 day); 0 or less frees none. A session waiting on the workers
    // is not idle.
    void CloseIdleConnections(std::int32_t minutes);
    void RemoveConnection(TPop3Connection* session);
    void RemoveAllConnections();
    // Runs a session's file work on the workers; its end goes to the session
    // whose WorkTicket() is the ticket returned. lockedUser: a mailbox that
    // stays locked until the work has ended, even when the session is freed
    // sooner (the deletions of a QUIT).
    platform::FileWorkTicket StartFileWork(std::function<std::intptr_t()> job, const std::string& lockedUser = {});
    // The relay every session's OnLog goes to.
    // Sender is the session that logged (its registered identity names it).
    void ConnectionLog(void* sender, const std::string& text, int level);

    std::size_t ConnectionCount() const { return FConnections.size(); }
    const std::vector<std::unique_ptr<TPop3Connection>>& Connections() const { return FConnections; }
    TWSocket& ListenSocket() { return *FListenSocket; }

    TServiceStatusEvent OnStatus;
    TServiceLogEvent OnLog;
    TServiceErrorEvent OnError;

private:
    void WndProc(TWHComponent* sender, TMessage& msg);
    void SocketSessionAvailable(TCustomWSocket* sender, std::uint16_t error);
    void SocketChangeState(TCustomWSocket* sender, TSocketState oldState, TSocketState newState);
    void SocketSessionClosed(TCustomWSocket* sender, std::uint16_t error);
    void SocketError(TCustomWSocket* sender);
    void SocketBgException(TCustomWSocket* sender, const std::exception& e, bool& canClose);

    void Log(const std::string& text, int level);
    void FireStatus();
    bool ListenerActive() const;
    std::string BindAddress() const;

    std::unique_ptr<TWSocket> FListenSocket;
    std::vector<std::unique_ptr<TPop3Connection>> FConnections;
    bool FListening = false;
    // Mailboxes (lower case) locked by file work in flight, by its ticket.
    std::vector<std::pair<platform::FileWorkTicket, std::string>> FWorkLocks;
};

// --- message text helpers (exposed for tests) --------------------------------

// Splits a message file into lines as the text lists of the design read a
// file: CR LF, a lone LF and a lone CR each end a line, a last line without
// a line end still counts, and a text that ends in a line end has no empty
// line after it. Every other byte, NUL included, stays in its line.
std::vector<std::string_view> SplitMessageLines(std::string_view text);
// Appends the line with its CR LF to out, with one more "." in front when it
// starts with ".".
void AppendDotStuffed(std::string& out, std::string_view line);

// The text of a RETR or TOP answer (between its status line and its "."),
// made from a message file given in pieces cut anywhere: the lines as
// SplitMessageLines finds them, each passed to AppendDotStuffed. Each byte is
// looked at a bounded number of times, however the lines run.
class TRetrText {
public:
    // RETR: every line.
    TRetrText() = default;
    // TOP: the header lines and the empty line that ends them (every line
    // when none is empty), then at most bodyLines further lines.
    static TRetrText Top(std::int64_t bodyLines);

    // Appends the text of the file's next bytes to out. False once a TOP has
    // every line it sends: the rest of the file is not wanted.
    bool Add(std::string_view bytes, std::string& out);
    // The file has ended: a last line without a line end is ended.
    void End(std::string& out);

    // Lines given so far.
    std::int64_t Lines() const { return FLines; }
    // For TOP, once Add said false or End ran: the index of the last line
    // the answer holds, counted over the whole file as TOP's log gives it.
    std::int64_t TopLast() const;

private:
    // A line has been given; true when a TOP has all it sends.
    bool LineDone(bool empty);

    bool FTop = false;
    bool FInBody = false;   // TOP: the empty line after the header was given
    bool FDone = false;     // TOP: nothing more is wanted
    bool FAfterCR = false;  // the last byte was a CR: an LF next belongs to it
    std::int64_t FBodyLines = 0;
    std::int64_t FBodyGiven = 0;
    std::int64_t FHeaderEnd = -1;  // index of the empty line after the header
    std::int64_t FLines = 0;
    std::int64_t FLineLength = 0;  // bytes of the line not yet ended
};
// A date-time as the class library's float-to-text writes it: general format,
// up to 15 significant digits, "." as the decimal separator.
std::string FloatToText(double value);
