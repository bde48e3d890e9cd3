// The outbound mail service. TSmtpAgent polls the queue folder; for every
// queue file that no connection services yet it makes one
// TSmtpAgentConnection, which relays that message: per recipient-domain group
// it finds the next hops (the master server, an address literal, the mail
// exchangers from a DNS query, or the domain itself), runs the SMTP client
// dialogue on port 25, removes the delivered recipients and rewrites the
// queue file; after the last group it re-queues the message for a later pass
// or, with the retries used up, sends the sender a failure notice and deletes
// the file. Then it asks the agent to free it.
//
// Contract:
//  - Main thread only; everything arrives through the message loop (poll
//    timer, socket events, the DNS answer or its timer, posted steps).
//  - A connection never frees itself: it posts WM_RELEASE_CONNECTION to the
//    agent's window (wParam the connection, lParam its ID), and the agent
//    frees it when the message is dispatched. Every step to the next domain
//    or host is posted to the connection's own window, never taken inside the
//    event that led to it, and each failure leads to exactly one next step
//    even when the socket reports it through more than one event.
//  - The agent counts as active exactly while its poll timer is enabled;
//    Stop does not stop connections at work. Shutdown frees them all.
//  - A stop (BeginShutdown) starts nothing new and frees every connection
//    whose files and next hop owe nothing (TSmtpAgent::StopWaitsFor says
//    which): one that has begun a message's text finishes it, the next hop's
//    reply to "." and the queue file's rewrite or removal, so that a graceful
//    stop sends nothing twice; one that changes its files settles them. Each
//    then ends without starting a further group. Shutdown, at the stop's
//    bound, frees the rest.
//  - Status: OnStatus(agent, active, connection count) after every change of
//    the connection list and on Start and Stop. Log: the agent's own lines
//    without prefix, the connections' lines (and those of the routing object a
//    connection uses for its failure notice) with "<Smtp Agent ID n> ".
//  - A connection removed by the inactivity sweep or by Shutdown leaves its
//    queue file as it last wrote it; a later scan services it again.
//  - No lone CR or LF reaches a next hop: a stored message line holding one
//    goes out as several lines, each dot-stuffed; a path holding a control
//    byte is never sent (such a recipient is reported to the sender as
//    unreadable; such a reverse path fails every pass until the retries end,
//    and gets no notice). The stored file stays as it is.
//  - Unreadable recipients leave the queue file only once the sender's
//    notice naming them is on disk; a notice that cannot be routed or stored
//    leaves the file as it was, for a later pass. A rewrite that fails after
//    the notice was stored leaves them in the file: the sender is then told
//    twice rather than never.
//  - Needs the process's settings object (ServerInformation).
//  - The connection never waits on the disk: the queue file is read, the
//    message text read piece by piece while it goes out, the file rewritten
//    or deleted and the failure notice committed on the platform's workers
//    (FileWork.h, GroupCommit.h), each reported to the connection's window;
//    the next step waits for that report. The order of effects is the one
//    above: the queue file is rewritten or deleted only after the notice it
//    depends on is on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MailRouting_Queue.h"
#include "ServiceEvents.h"
#include "WHComponent.h"
#include "platform/MessageLoop.h"
#include "sockets/DnsQuery.h"
#include "sockets/WSocket.h"

class TSmtpAgent;

// The client dialogue of one connection.
enum class TSmtpAgentState : std::uint8_t {
    Greeting = 0,     // connected, waiting for "220"
    HeloSent = 1,     // waiting for "250"
    MailSent = 2,     // waiting for "250"
    RcptSent = 3,     // waiting for "250"/"251" (or "550") to the current RCPT TO
    DataSent = 4,     // waiting for "354"
    MessageSent = 5,  // waiting for "250" to the end of the data
    Ended = 6,        // session over; late lines are ignored
};
const char* toString(TSmtpAgentState State);

// Where a connection stands with its files and with the message's text: what
// a stop, the inactivity sweep and the destructor must respect.
enum class TSmtpAgentStage : std::uint8_t {
    Reading,           // the queue file is being read; nothing changed yet
    Relaying,          // finding hops and running the dialogue up to "354"
    TextSent,          // the text has begun; the reply to "." decides the group
    Rewriting,         // the queue file's new version is being committed
    NoticeCommitting,  // the failure notice's files are being committed
    Deleting,          // the queue file is being removed
    Released,          // done; the agent frees it
};
const char* toString(TSmtpAgentStage Stage);

class TSmtpAgentConnection : public TWHComponent {
public:
    static constexpr unsigned WM_NEXT_DOMAIN = platform::WM_USER + 101;  // 1125
    static constexpr unsigned WM_NEXT_HOST = platform::WM_USER + 102;    // 1126
    // The end of file work (wParam its ticket) and of a commit (wParam its
    // ticket, lParam 0 or an errno).
    static constexpr unsigned WM_FILE_DONE = platform::WM_USER + 103;
    static constexpr unsigned WM_COMMIT_DONE = platform::WM_USER + 104;

    explicit TSmtpAgentConnection(TSmtpAgent* Agent);
    ~TSmtpAgentConnection() override;

    const std::int32_t ID;  // identity in log lines
    TServiceLogEvent OnLog;  // the agent sets its ConnectionLog here
    double LastActivity;     // date-time (days) of the last socket activity

    // Starts relaying the queued message of that name (file name without
    // ".txt"). Called once, by the agent's scan.
    void ServiceMessage(const std::string& QueueName);
    void Log(const std::string& Text, int Level);

    const std::string& QueueName() const { return FQueueName; }
    TSmtpAgentStage Stage() const { return FStage; }
    // Its queue file is being changed or its failure notice stored: left
    // half-way, the message would be sent again, or the notice twice. The
    // inactivity sweep leaves it.
    bool ChangingFiles() const {
        return FStage == TSmtpAgentStage::Rewriting || FStage == TSmtpAgentStage::NoticeCommitting ||
               FStage == TSmtpAgentStage::Deleting;
    }
    TSmtpAgentState State() const { return FState; }
    bool Connected() const { return FConnected; }
    const std::vector<std::string>& Hosts() const { return FHosts; }
    const TSmtpAgentMessageInformation& Message() const { return FMessage; }

    // The identity to show for a log line of Sender: this connection's, or
    // that of the routing object of its failure notice while it runs.
    bool IdentityOf(const void* Sender, std::int32_t& Identity) const;

private:
    friend class TSmtpAgent;

    void WndProc(TWHComponent* Sender, TMessage& Msg);
    void QueueFileRead(const TQueueFileScan& Scan);
    void Relay();
    void ProcessNextDomain();
    void ConnectNextHost();
    void StartConnect(const std::string& Address);
    void DnsQueryRequestDone(TDnsQuery* Sender, std::uint16_t Error);
    void MxTimerTimer();
    void SocketDnsLookupDone(TCustomWSocket* Sender, std::uint16_t Error);
    void SocketSessionConnected(TCustomWSocket* Sender, std::uint16_t Error);
    void SocketDataAvailable(TCustomWSocket* Sender, std::uint16_t Error);
    void SocketDataSent(TCustomWSocket* Sender, std::uint16_t Error);
    void SocketSessionClosed(TCustomWSocket* Sender, std::uint16_t Error);
    void SocketError(TCustomWSocket* Sender);
    void SocketBgException(TCustomWSocket* Sender, const std::exception& E, bool& CanClose);
    void ProcessReply(const std::string& Line);
    void Send(const std::string& Line);
    void SendMessageText();
    void PaceMessageText();  // the pacing timer's tick: the next run of lines
    // Sends what is read of the run in hand; the rest of it follows its read.
    void SendRun();
    void ReadAhead();
    // Ends a session in the middle of the text: the group stays for the next pass.
    void AbortSession();
    void TextRead(std::uint64_t Ticket);
    void StopPacing();
    void NextRecipient();
    void FailSession(const std::string& Text, std::uint8_t Status, const std::string& Code,
                     const std::string& ReplyText, bool ClearMarks);
    void ClearDeliveredMarks();
    void EndSession();
    void FinishMessage();
    // Routes the "Undeliverable Mail" notice naming Recipients to the sender
    // and commits its files; Done(false) when the notice had to be routed
    // and routing or the commit did not take it, else Done(true) once its
    // files are on disk.
    void SendFailureNotice(const std::vector<std::string>& Recipients, std::function<void(bool)> Done);
    // Rewrite or delete the queue file, then Done (with whether it worked).
    void SaveThen(std::function<void(bool)> Done);
    void DeleteThen(std::function<void()> Done);
    void FileDone(unsigned Msg, std::uint64_t Ticket, std::intptr_t Result);
    // Every recipient not reached: those still held, group by group, then the
    // unreadable ones.
    std::vector<std::string> NotReached() const;
    void RemoveFirstHost();
    // Posts the next step for the current attempt unless one was posted.
    void TakeStep(unsigned Msg);
    void SetStage(TSmtpAgentStage Stage);
    bool Released() const { return FStage == TSmtpAgentStage::Released; }
    // The stop's end for a connection it does not wait for: a QUIT where the
    // dialogue awaits a command reply (never once DATA is out), then freed.
    void QuitForStop();
    void Release();

    TSmtpAgent* FAgent;
    std::unique_ptr<TDnsQuery> FDnsQuery;
    std::unique_ptr<TWSocket> FSocket;
    std::string FReceiveBuffer;
    std::unique_ptr<platform::Timer> FMxTimer;
    std::vector<std::string> FHosts;
    int FRecipientIndex = 0;
    bool FConnected = false;
    TSmtpAgentState FState = TSmtpAgentState::Greeting;
    std::string FQueueName;
    TSmtpAgentMessageInformation FMessage;
    TSmtpAgentForwardInformation* FCurrent = nullptr;
    int FDomainIndex = 0;

    bool FLookupPending = false;      // an MX answer is awaited
    std::uint16_t FLookupID = 0;      // the ID of the awaited answer
    bool FStepTaken = false;          // the current attempt has posted its next step
    TSmtpAgentStage FStage = TSmtpAgentStage::Reading;
    bool FPacing = false;             // message lines are still to go out on the pacing timer
    std::size_t FPaceLine = 0;        // the next message line to send

    // The file work or commit the next step waits for.
    unsigned FWaitMsg = 0;
    std::uint64_t FWaitTicket = 0;
    std::function<void(std::intptr_t)> FWaitDone;

    // The message text on its way out: read a piece at a time on the workers,
    // the next piece while the one in hand is sent.
    struct TTextCursor;
    std::unique_ptr<TTextCursor> FText;
    const void* FNoticeRouter = nullptr;  // the failure notice's routing object while it runs
    std::int32_t FNoticeRouterID = 0;
};

class TSmtpAgent : public TWHComponent {
public:
    static constexpr unsigned WM_RELEASE_CONNECTION = platform::WM_USER + 100;  // 1124

    explicit TSmtpAgent(void* AOwner = nullptr);
    ~TSmtpAgent() override;

    TServiceStatusEvent OnStatus;  // (agent, poll timer enabled, connection count)
    TServiceLogEvent OnLog;        // (agent, text, level)

    // Enables the poll timer with "Polling Interval (in seconds)" x 1000 ms;
    // the first scan comes one interval later.
    void Start();
    void Stop();
    // Stop, then free every connection.
    void Shutdown();
    // The start of a stop: no new scan, and every connection the stop does
    // not wait for is freed (after a QUIT where the dialogue allows one);
    // the others end once their text is answered and their files settled,
    // and start nothing further. True when none is left.
    bool BeginShutdown();
    // What a stop waits for: a connection whose text has begun (its next hop
    // may take the message, and the queue file must then forget the group)
    // or whose files are changing. Every other one is freed at once.
    static bool StopWaitsFor(TSmtpAgentStage Stage);
    bool Stopping() const { return FStopping; }
    bool IsActive() const;
    // Scans the queue folder now, also while stopped; the timer is left as
    // it was found.
    void ServiceQueueNow();
    // The scan; the poll timer's handler.
    void ServiceQueue();
    // True when a connection other than Connection (nullptr: any) services
    // QueueName (compared without regard to case).
    bool IsMessageInService(const TSmtpAgentConnection* Connection, const std::string& QueueName) const;
    void RemoveConnection(TSmtpAgentConnection* Connection);
    void RemoveAllConnections();
    // Frees every connection idle for more than Minutes x 0.00069 days.
    void CloseIdleConnections(int Minutes);
    void Log(const std::string& Text, int Level);
    // The log relay every connection gets as its OnLog.
    // Via: the connection whose OnLog the line came through, when known.
    void ConnectionLog(void* Sender, const std::string& Text, int Level, const TSmtpAgentConnection* Via = nullptr);

    int ConnectionCount() const { return static_cast<int>(FConnections.size()); }
    TSmtpAgentConnection* GetConnection(int Index) const;
    unsigned PollInterval() const { return FPollTimer->interval(); }  // ms

private:
    void WndProc(TWHComponent* Sender, TMessage& Msg);
    void ReleaseConnection(std::intptr_t Pointer, std::intptr_t Identity);
    void FireStatus(bool Active);
    void ApplyPollInterval();

    std::vector<std::unique_ptr<TSmtpAgentConnection>> FConnections;
    std::unique_ptr<platform::Timer> FPollTimer;
    bool FBusy = false;
    bool FStopping = false;
};
