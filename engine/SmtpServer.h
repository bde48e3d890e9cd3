// The SMTP server: a listener (TSmtpServer) that makes one session
// (TSmtpConnection) per accepted connection, keeps the live sessions, frees
// them, closes idle ones, and reports to its owner through the service events
// of ServiceEvents.h (status, log, error).
//
// The session greets, requires EHLO and then AUTH LOGIN before anything else,
// collects the envelope with the access rules of the settings, receives the
// message text after DATA and, at the final ".", adds the "Received:" line and
// routes the message (TDeliverMail); once the files of that delivery have been
// made durable by a group commit (DeliveryBatch.h) it answers
// "250 Mail Queued for Delivery", and it reads no further line meanwhile.
//
// Contract:
//  - Main thread only; everything runs inside socket events and window
//    messages of the process's message loop.
//  - A session never frees itself inside its own events: when its socket has
//    closed it posts WM_RELEASE_CONNECTION to the server's window, and the
//    server frees it when that message is processed. A release for a session
//    that is no longer listed (or whose identity no longer matches) is ignored.
//  - Settings are read from ServerInformation at the moment they are needed,
//    so a reload applies to the next line of every open session. Start() takes
//    the bind address and port once.
//  - Events are fired only when assigned, synchronously, Sender being the
//    server. Session lines are relayed with the prefix "<SMTP ID n> ".
//  - Bad input from a client is a reply and a log line, never an exception out
//    of the loop; a command line without CR LF is bounded
//    (MaxCommandLineLength), past which the session is closed. A line of the
//    message text has no bound: it goes on to the message as it arrives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <functional>
#include <unordered_map>
#include <vector>

#include "MailRouting_Message.h"
#include "ServiceEvents.h"
#include "SessionFlow.h"
#include "WHComponent.h"
#include "sockets/WSocket.h"

class TSmtpServer;
class TDeliveryBatch;

// Dialogue states of one session. The value 2 is never used.
enum class TSmtpState : std::uint8_t {
    Connected = 0,       // accepted, greeted; waits for EHLO
    Greeted = 1,         // after EHLO, RSET, a finished or refused message
    SenderAccepted = 3,  // MAIL FROM accepted; RCPT TO and DATA
    ReceivingData = 4,   // message text until the line "."
};
const char* toString(TSmtpState state);

class TSmtpConnection {
public:
    // Received text outside the message not yet ended by CR LF may grow to
    // this many bytes before the session is closed.
    static constexpr std::size_t MaxCommandLineLength = 64 * 1024;
    // A message line still unended goes on to the message once this many
    // bytes of it have come.
    static constexpr std::size_t DataLineSoFar = 64 * 1024;
    // One receive reads at most this many bytes: a message arrives in a few
    // large reads, not in many small ones.
    static constexpr int ReceiveChunk = 64 * 1024;

    explicit TSmtpConnection(TSmtpServer* server);
    ~TSmtpConnection();
    TSmtpConnection(const TSmtpConnection&) = delete;
    TSmtpConnection& operator=(const TSmtpConnection&) = delete;

    // Takes over a handle accepted by the server's listening socket and
    // greets (or refuses a banned peer address).
    void Accept(TSocket handle);
    // Closes the socket (whose close posts the release); when it is closed
    // already, posts the release itself.
    void Disconnect();
    // Handles one received line without its CR LF.
    void ProcessCommand(const std::string& line);
    // Fires OnLog(this, text, level) when assigned.
    void Log(const std::string& text, int level);

    std::int32_t Identity() const { return FIdentity; }
    TSmtpState State() const { return FState; }
    double LastActivity() const { return FLastActivity; }
    bool Authenticated() const { return FAuthenticated; }
    const std::string& ClientName() const { return FClientName; }
    const std::string& PeerAddress() const { return FPeerAddress; }
    TWSocket& Socket() { return *FSocket; }
    const TSmtpMessageInformation& Message() const { return *FMessage; }
    // The group commit this session's reply waits for; 0 when none.
    std::uint64_t CommitTicket() const { return FCommitTicket; }
    // Why the session takes no command now (its reply waits on the workers,
    // it closes after its last reply ...).
    const TSessionFlow& Flow() const { return FFlow; }
    // Ends the session once the replies queued so far have left; it reads
    // no further line.
    void CloseWhenSent();
    // The commit ended (error 0 or an errno): the reply goes out and the
    // lines that came meanwhile are taken up.
    void CommitDone(int error);

    TServiceLogEvent OnLog;  // the server sets it to its relay

private:
    void SocketDataAvailable(TCustomWSocket* sender, std::uint16_t error);
    void SocketDataSent(TCustomWSocket* sender, std::uint16_t error);
    void SocketSessionClosed(TCustomWSocket* sender, std::uint16_t error);
    void SocketError(TCustomWSocket* sender);
    void SocketBgException(TCustomWSocket* sender, const std::exception& e, bool& canClose);

    void Reply(const std::string& text);  // text + CR LF
    void PostRelease();
    void RefuseLongLine();
    void DropConsumed();
    // Handles the complete lines received, until the session holds.
    void ProcessReceived();

    void DoAuthLine(const std::string& line);
    void DoCommand(const std::string& command, const std::string& argument);
    void DoMailFrom(const std::string& argument);
    void DoRcptTo(const std::string& argument);
    void DoData();
    // A line of the message text, or (ended false) the part of one that has
    // come so far.
    void DoDataLine(std::string_view line, bool ended = true);
    void TakeDataLineSoFar();
    void DoEndOfData();
    void SpoolWritten();
    void RouteMessage();
    void StartCommit(TDeliveryBatch& batch);
    void EndOfDataReply(bool stored, const std::string& why);
    void DoVrfy(const std::string& argument);
    void DoExpn(const std::string& argument);
    bool CheckPassword() const;

    const std::int32_t FIdentity;
    TObjectIdentityRegistration FRegistration;
    TSmtpServer* FServer;  // not owned
    std::uint8_t FAuthStep = 0;
    bool FAuthenticated = false;
    std::string FAuthUser;
    std::string FAuthPassword;
    std::unique_ptr<TWSocket> FSocket;
    TSessionFlow FFlow;
    std::string FReceiveBuffer;
    std::size_t FConsumed = 0;  // the bytes of FReceiveBuffer before this are handled
    std::size_t FScanFrom = 0;  // no CR LF starts before this offset of FReceiveBuffer
    TSmtpState FState = TSmtpState::Connected;
    double FLastActivity = 0;
    bool FPeerAccepted = false;
    bool FAddressBanned = false;
    std::string FPeerAddress;
    std::string FClientName;
    std::unique_ptr<TSmtpMessageInformation> FMessage;
    std::uint64_t FCommitTicket = 0;
    bool FEndPending = false;  // the final "." came; routing waits for the spool's last write
    bool FDataLineOpen = false;  // part of the current message line is in the text already
};

class TSmtpServer : public TWHComponent {
public:
    // Posted by a session to the server's window to be freed: wParam the
    // session, lParam its identity (so that a late release never frees a newer
    // session that happens to live at the same address).
    static constexpr unsigned WM_RELEASE_CONNECTION = platform::WM_USER + 100;  // 1124
    // Posted by the group commit of a session's message: wParam the commit's
    // ticket, lParam 0 or an errno. A session that is gone finds no reply.
    static constexpr unsigned WM_COMMIT_DONE = platform::WM_USER + 101;
    // One minute of the inactivity sweep, in days.
    static constexpr double InactivityMinute = 0.00069;

    explicit TSmtpServer(void* owner = nullptr);
    ~TSmtpServer() override;

    // Closes the listener and listens anew on [Smtp Server] "Bind Address" and
    // "Listen Port". A failure arrives through OnLog and OnError (kind 0 for
    // an address in use, 2 otherwise); the server then stays not listening.
    void Start();
    // Closes the listener; open sessions go on.
    void Stop();
    // A stop that keeps every answer owed: Stop, then frees every session
    // but those whose reply waits on a commit. Each of those reads no
    // further command: it answers when its commit has ended and closes once
    // that reply has left. The stop is over when ShutdownStep() says so.
    void BeginShutdown();
    // Frees the sessions of a stop that owe no answer any more; true when no
    // session is left.
    bool ShutdownStep();
    bool ShuttingDown() const { return FShuttingDown; }
    // Stop, then frees every session (status fires once per session); a
    // commit still under way is taken back first, so that it stores nothing.
    // A session whose commit has just succeeded, its completion not handled
    // yet, is the one exception: that message is stored, so the session
    // stays to give its answer and then closes.
    void Shutdown();
    // Whether the listener is listening now (also updates the cached state).
    bool IsListening();
    // FormatDomain(Server Name): the name the sessions put into replies.
    std::string GetServerName() const;
    // Frees, without a reply, every session idle longer than minutes, a
    // minute being 0.00069 day; nothing for minutes <= 0. A session whose
    // reply waits on the workers is not idle.
    void CloseIdleConnections(std::int32_t minutes);
    // Frees the session when it is listed (by identity of the object). A
    // commit its reply waits for is taken back when it still can be.
    void RemoveConnection(TSmtpConnection* session);
    void RemoveAllConnections();
    // The relay every session gets as its OnLog: "<SMTP ID n> " + text.
    void ConnectionLog(void* sender, const std::string& text, int level);

    std::int32_t ConnectionCount() const { return static_cast<std::int32_t>(FConnections.size()); }
    TSmtpConnection* Connection(std::int32_t index) const;  // nullptr outside the list
    TWSocket& ListenSocket() { return *FListenSocket; }
    // Hands the files of a session's delivery to a group commit; its end
    // comes back as WM_COMMIT_DONE. Returns the commit's ticket.
    std::uint64_t StartCommit(TDeliveryBatch& batch);

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

    void CommitDone(std::uint64_t ticket, int error);
    void FireStatus();
    void FireLog(const std::string& text, int level);
    void FireError(std::uint8_t kind);
    bool ListenSocketListening() const;
    std::vector<std::unique_ptr<TSmtpConnection>>::iterator Find(const TSmtpConnection* session);

    std::unique_ptr<TWSocket> FListenSocket;
    std::vector<std::unique_ptr<TSmtpConnection>> FConnections;  // in order of creation
    // What the commits under way owe the system once they have placed their
    // files, by ticket: it is done even when the session has gone meanwhile.
    struct TAfterCommit {
        bool QueueRun = false;
        std::vector<std::function<void()>> Stored;
    };
    std::unordered_map<std::uint64_t, TAfterCommit> FAfterCommit;
    bool FListening = false;
    bool FDestroying = false;
    bool FShuttingDown = false;
};
