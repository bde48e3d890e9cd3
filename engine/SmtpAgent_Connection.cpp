#include <algorithm>
#include <cctype>
#include <cstring>

#include "DataU1.h"
#include "DeliveryBatch.h"
#include "MailRouting.h"
#include "SmtpAgent.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/FileWork.h"
#include "platform/GroupCommit.h"

namespace {

// Bytes 0..32 off both ends, as the class library's Trim.
std::string Trim(const std::string& S) {
    std::size_t B = 0, E = S.size();
    while (B < E && static_cast<unsigned char>(S[B]) <= ' ') ++B;
    while (E > B && static_cast<unsigned char>(S[E - 1]) <= ' ') --E;
    return S.substr(B, E - B);
}

std::string Upper(std::string S) {
    for (char& C : S) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    return S;
}

// The pause before the first line of the message text and before every
// further run of PaceRun lines. It is kept on the wire only: the pause is a
// timer of the connection's own window, so the loop serves everyone else.
constexpr unsigned PaceMs = 20;
constexpr std::size_t PaceRun = 100;
constexpr std::uintptr_t PaceTimerID = 1;

// The message text is read this much at a time, the next piece while the
// one in hand goes out; and a run waits for the next tick while the socket
// still holds this many blocks unsent (a slow peer), so that neither the
// pieces nor the send queue grow with the message.
constexpr std::size_t TextPiece = 256 * 1024;
constexpr std::size_t MaxQueuedBlocks = 1024;

// A reply line longer than this without a line end is taken as it stands, so
// a peer that never ends its line cannot make the buffer grow without bound.
constexpr std::size_t MaxReplyLine = 64 * 1024;

}  // namespace

const char* toString(TSmtpAgentState State) {
    switch (State) {
    case TSmtpAgentState::Greeting: return "Greeting";
    case TSmtpAgentState::HeloSent: return "HeloSent";
    case TSmtpAgentState::MailSent: return "MailSent";
    case TSmtpAgentState::RcptSent: return "RcptSent";
    case TSmtpAgentState::DataSent: return "DataSent";
    case TSmtpAgentState::MessageSent: return "MessageSent";
    case TSmtpAgentState::Ended: return "Ended";
    }
    return "?";
}

const char* toString(TSmtpAgentStage Stage) {
    switch (Stage) {
    case TSmtpAgentStage::Reading: return "Reading";
    case TSmtpAgentStage::Relaying: return "Relaying";
    case TSmtpAgentStage::TextSent: return "TextSent";
    case TSmtpAgentStage::Rewriting: return "Rewriting";
    case TSmtpAgentStage::NoticeCommitting: return "NoticeCommitting";
    case TSmtpAgentStage::Deleting: return "Deleting";
    case TSmtpAgentStage::Released: return "Released";
    }
    return "?";
}

// Where the message text stands on its way to the wire. The stored text keeps
// a lone CR or LF inside a line as the client sent it, but the next hop must
// never see one: a lenient server takes it as a line end, and a "." after it
// as the end of the data, so a body could end the message early and smuggle
// commands. Each lone CR, lone LF (or CR LF) therefore ends a wire line of its
// own, and every wire line is dot-stuffed. The pacing counts stored lines.
struct TSmtpAgentConnection::TTextCursor {
    platform::Content Source;
    std::uint64_t Size = 0;
    std::uint64_t ReadAt = 0;  // the next offset to ask the workers for
    std::string Buf;           // the piece in hand
    std::size_t Pos = 0;
    std::shared_ptr<std::string> Ahead;  // the piece being read, or read
    std::shared_ptr<int> AheadError;
    std::uint64_t AheadTicket = 0;  // 0: no read under way
    bool AheadReady = false;
    bool LineFeedsOnly = false;
    std::uint64_t Lines = 0;  // stored lines, for the log
    bool LineStart = true;    // the next byte starts a wire line
    bool PendingCR = false;   // a CR whose meaning the next byte decides
    bool StoredOpen = false;  // the stored line in hand has begun
    std::size_t RunLeft = 0;  // stored lines the run in hand still sends

    bool AllRead() const { return Pos == Buf.size() && !AheadReady && AheadTicket == 0 && ReadAt >= Size; }

    // Wire bytes of the piece in hand to Out until the run is complete or the
    // piece is used up; Sent counts the stored lines.
    void Consume(std::string& Out, std::size_t& Sent) {
        const char* P = Buf.data() + Pos;
        const char* const E = Buf.data() + Buf.size();
        while (P < E && RunLeft > 0) {
            const char C = *P++;
            if (PendingCR) {
                PendingCR = false;
                Out += "\r\n";
                LineStart = true;
                if (C == '\n') {
                    EndStored(Sent);
                    continue;
                }
            }
            if (C == '\r') {
                PendingCR = true;
                StoredOpen = true;
                continue;
            }
            if (C == '\n') {
                Out += "\r\n";
                LineStart = true;
                if (LineFeedsOnly)
                    EndStored(Sent);
                else
                    StoredOpen = true;
                continue;
            }
            if (LineStart && C == '.') Out += '.';
            LineStart = false;
            StoredOpen = true;
            const char* Q = P;
            while (Q < E && *Q != '\r' && *Q != '\n') ++Q;
            Out += C;
            Out.append(P, Q);
            P = Q;
        }
        Pos = static_cast<std::size_t>(P - Buf.data());
    }
    void EndStored(std::size_t& Sent) {
        StoredOpen = false;
        ++Sent;
        --RunLeft;
    }
    // The end of the text: a last line without its end is ended.
    void Finish(std::string& Out) {
        // A lone CR or LF at the very end has ended its wire line already.
        if (PendingCR) {
            Out += "\r\n";
            LineStart = true;
        }
        if (!LineStart) Out += "\r\n";
        PendingCR = StoredOpen = false;
        Out += ".\r\n";
    }
};

TSmtpAgentConnection::TSmtpAgentConnection(TSmtpAgent* Agent)
    : TWHComponent(Agent),
      ID(NewObjectIdentity()),
      LastActivity(platform::Now()),
      FAgent(Agent),
      FDnsQuery(std::make_unique<TDnsQuery>()),
      FSocket(std::make_unique<TWSocket>()),
      FMxTimer(std::make_unique<platform::Timer>()) {
    OnMessage = [this](TWHComponent* Sender, TMessage& Msg) { WndProc(Sender, Msg); };

    FDnsQuery->OnRequestDone = [this](TDnsQuery* S, std::uint16_t E) { DnsQueryRequestDone(S, E); };

    FSocket->OnDnsLookupDone = [this](TCustomWSocket* S, std::uint16_t E) { SocketDnsLookupDone(S, E); };
    FSocket->OnSessionConnected = [this](TCustomWSocket* S, std::uint16_t E) { SocketSessionConnected(S, E); };
    FSocket->OnDataAvailable = [this](TCustomWSocket* S, std::uint16_t E) { SocketDataAvailable(S, E); };
    FSocket->OnDataSent = [this](TCustomWSocket* S, std::uint16_t E) { SocketDataSent(S, E); };
    FSocket->OnSessionClosed = [this](TCustomWSocket* S, std::uint16_t E) { SocketSessionClosed(S, E); };
    FSocket->OnError = [this](TCustomWSocket* S) { SocketError(S); };
    FSocket->OnBgException = [this](TCustomWSocket* S, const std::exception& E, bool& CanClose) {
        SocketBgException(S, E, CanClose);
    };

    FMxTimer->setEnabled(false);
    std::int32_t Seconds = ServerInformation ? ServerInformation->DNSServerTimeout : 15;
    if (Seconds <= 0) Seconds = 15;  // a timer of 0 would never end the wait
    FMxTimer->setInterval(static_cast<unsigned>(Seconds) * 1000u);
    FMxTimer->OnTimer = [this] { MxTimerTimer(); };
}

TSmtpAgentConnection::~TSmtpAgentConnection() {
    // The socket closes itself as it goes; nothing of that may reach a
    // connection that is being taken apart.
    FSocket->OnDnsLookupDone = nullptr;
    FSocket->OnSessionConnected = nullptr;
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnDataSent = nullptr;
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnError = nullptr;
    FSocket->OnBgException = nullptr;
    FSocket->OnChangeState = nullptr;
    FDnsQuery->OnRequestDone = nullptr;
    FMxTimer->setEnabled(false);
    FSocket.reset();
    FDnsQuery.reset();
    FMxTimer.reset();
    // A failure notice still undecided is taken back. The queue file changes
    // only once the notice is on disk, so it still names the notice's
    // recipients and a later pass sends it. One that is decided already is
    // stored all the same: that later pass then tells the sender twice.
    if (FStage == TSmtpAgentStage::NoticeCommitting) platform::cancelCommit(FWaitTicket);
    // The queue file may be deleted or replaced by now: its last descriptor
    // goes on a worker, since freeing its blocks is disk work.
    if (!FMessage.Text.empty() || FText) {
        std::shared_ptr<TTextCursor> Cursor(std::move(FText));
        platform::startFileWork([Text = std::move(FMessage.Text), Cursor]() -> std::intptr_t { return 0; },
                                platform::NullWindow, 0);
    }
}

void TSmtpAgentConnection::Log(const std::string& Text, int Level) {
    // Replies, host names and queued addresses all come from outside.
    if (OnLog) OnLog(this, Printable(Text), Level);
}

bool TSmtpAgentConnection::IdentityOf(const void* Sender, std::int32_t& Identity) const {
    if (Sender == this) {
        Identity = ID;
        return true;
    }
    if (FNoticeRouter && Sender == FNoticeRouter) {
        Identity = FNoticeRouterID;
        return true;
    }
    return false;
}

void TSmtpAgentConnection::WndProc(TWHComponent* /*Sender*/, TMessage& Msg) {
    if (Released()) return;
    if (Msg.Msg == platform::WM_TIMER && static_cast<std::uintptr_t>(Msg.WParam) == PaceTimerID)
        PaceMessageText();
    else if (Msg.Msg == WM_NEXT_DOMAIN)
        ProcessNextDomain();
    else if (Msg.Msg == WM_NEXT_HOST)
        ConnectNextHost();
    else if (Msg.Msg == WM_FILE_DONE || Msg.Msg == WM_COMMIT_DONE)
        FileDone(Msg.Msg, static_cast<std::uint64_t>(Msg.WParam), Msg.LParam);
}

void TSmtpAgentConnection::FileDone(unsigned Msg, std::uint64_t Ticket, std::intptr_t Result) {
    if (Msg == WM_FILE_DONE && FText && FText->AheadTicket == Ticket) {
        TextRead(Ticket);
        return;
    }
    if (Msg != FWaitMsg || Ticket != FWaitTicket || !FWaitDone) return;
    auto Done = std::move(FWaitDone);
    FWaitDone = nullptr;
    FWaitMsg = 0;
    FWaitTicket = 0;
    // The files are settled; what follows sets its own stage.
    SetStage(TSmtpAgentStage::Relaying);
    Done(Result);
}

void TSmtpAgentConnection::SetStage(TSmtpAgentStage Stage) {
    if (FStage == Stage || FStage == TSmtpAgentStage::Released) return;
    FStage = Stage;
}

void TSmtpAgentConnection::QuitForStop() {
    const bool AwaitsCommandReply = FState == TSmtpAgentState::HeloSent || FState == TSmtpAgentState::MailSent ||
                                    FState == TSmtpAgentState::RcptSent;
    if (FConnected && AwaitsCommandReply && FSocket->State() == wsConnected) {
        Log("Stopping... We say QUIT", 8);
        Send("QUIT");
    }
}

void TSmtpAgentConnection::SaveThen(std::function<void(bool)> Done) {
    const platform::CommitTicket Ticket = FMessage.StartSave(Handle, WM_COMMIT_DONE);
    if (Ticket == 0) {
        Done(false);
        return;
    }
    SetStage(TSmtpAgentStage::Rewriting);
    FWaitMsg = WM_COMMIT_DONE;
    FWaitTicket = Ticket;
    FWaitDone = [Done = std::move(Done)](std::intptr_t Error) { Done(Error == 0); };
}

void TSmtpAgentConnection::DeleteThen(std::function<void()> Done) {
    SetStage(TSmtpAgentStage::Deleting);
    FWaitMsg = WM_FILE_DONE;
    FWaitTicket = FMessage.StartDelete(Handle, WM_FILE_DONE);
    FWaitDone = [Done = std::move(Done)](std::intptr_t) { Done(); };
}

void TSmtpAgentConnection::Release() {
    if (Released()) return;
    SetStage(TSmtpAgentStage::Released);
    StopPacing();
    FMxTimer->setEnabled(false);
    FLookupPending = false;
    if (FAgent && FAgent->Handle != platform::NullWindow)
        platform::loop().post(FAgent->Handle, TSmtpAgent::WM_RELEASE_CONNECTION,
                              reinterpret_cast<std::intptr_t>(this), ID);
}

void TSmtpAgentConnection::TakeStep(unsigned Msg) {
    if (FStepTaken) return;
    FStepTaken = true;
    PostToSelf(Msg);
}

// --- start and the walk over the groups -------------------------------------

void TSmtpAgentConnection::ServiceMessage(const std::string& QueueName) {
    FQueueName = QueueName;
    auto Scan = std::make_shared<TQueueFileScan>();
    SetStage(TSmtpAgentStage::Reading);
    FWaitMsg = WM_FILE_DONE;
    FWaitTicket = platform::startFileWork(
        [Scan, Path = TSmtpAgentMessageInformation::FileNameOf(QueueName)]() -> std::intptr_t {
            *Scan = ScanQueueFile(Path);
            return 0;
        },
        Handle, WM_FILE_DONE);
    FWaitDone = [this, Scan](std::intptr_t) { QueueFileRead(*Scan); };
}

void TSmtpAgentConnection::QueueFileRead(const TQueueFileScan& Scan) {
    const std::string& QueueName = FQueueName;
    bool Loaded = false;
    try {
        Loaded = FMessage.TakeScan(Scan, QueueName);
    } catch (const EQueueFileError&) {
        // The file is there but cannot be read now: leave it for a later scan
        // rather than deleting mail.
        Log("Unable to read Mail " + QueueName + " for sending... Left in queue.", 1);
        Release();
        return;
    }
    if (!Loaded) {
        Log("Unable to open Mail " + QueueName + " for sending... Deleted.", 1);
        FMessage.Name = QueueName;
        DeleteThen([this] { Release(); });
        return;
    }
    FMessage.Performed += 1;
    if (FMessage.Remaining < 0) {
        SendFailureNotice(NotReached(), [this](bool Sent) {
            if (Sent) {
                Log("Unable to open Mail " + FQueueName + " for sending... Deleted.", 1);
                DeleteThen([this] { Release(); });
            } else {
                Log("Unable to route the failure notice for Mail " + FQueueName + "... Left in queue.", 1);
                Release();
            }
        });
        return;
    }
    if (!FMessage.Unreadable.empty()) {
        // A recipient that cannot be read back can never be delivered. The
        // sender's notice is stored first, and only then does the file give
        // the recipient up: a stop or a crash in between leaves it owed in
        // the file, never forgotten untold. A notice that cannot be stored
        // leaves the file as it was, for a later scan.
        Log("Unreadable recipient(s) in Mail " + QueueName + "... Sending failure notice.", 1);
        SendFailureNotice(FMessage.Unreadable, [this](bool Sent) {
            if (!Sent) {
                Log("Unable to route the failure notice for Mail " + FQueueName + "... Left in queue.", 1);
                Release();
                return;
            }
            FMessage.Unreadable.clear();
            if (FMessage.ForwardCount() == 0) {
                Log("Processing Incomplete, no readable recipient.  Deleting files...", 2);
                DeleteThen([this] { Release(); });
                return;
            }
            SaveThen([this](bool Saved) {
                if (!Saved) {
                    Log("Unable to update Mail " + FQueueName + " in the queue... Left in queue.", 1);
                    Release();
                    return;
                }
                Relay();
            });
        });
        return;
    }
    Relay();
}

void TSmtpAgentConnection::Relay() {
    // A stop lets a connection settle its files, but starts no new dialogue.
    if (FAgent && FAgent->Stopping()) {
        Release();
        return;
    }
    if (HoldsControlByte(FMessage.ReversePath)) {
        // No next hop may be sent it: every group fails this pass, and once
        // the retries are used up the file goes (the notice cannot be sent to
        // such a path either). Until then it stays for the administrator.
        Log("Reverse path of Mail " + FQueueName + " holds a control byte... Not sent.", 1);
        FDomainIndex = 0;
        PostToSelf(WM_NEXT_DOMAIN);
        return;
    }
    FDomainIndex = FMessage.ForwardCount();
    PostToSelf(WM_NEXT_DOMAIN);
}

void TSmtpAgentConnection::ProcessNextDomain() {
    FDomainIndex -= 1;
    if (FDomainIndex < 0 || FMessage.ForwardCount() == 0) {
        FinishMessage();
        return;
    }
    // A stop lets a message's files settle, but starts no dialogue with a
    // further domain: what the last one took is in the queue file already.
    if (FAgent && FAgent->Stopping()) {
        Release();
        return;
    }
    FCurrent = FMessage.GetForward(FDomainIndex);
    FStepTaken = false;
    SetStage(TSmtpAgentStage::Relaying);
    if (!FCurrent || FCurrent->RecipientCount() == 0) {
        PostToSelf(WM_NEXT_DOMAIN);
        return;
    }
    Log("Processing " + FCurrent->Key, 8);
    FHosts.clear();

    const TServerInformation& S = *ServerInformation;
    if (S.ForwardToMasterSmtpServer) {
        if (IsIPAddress(S.MasterSmtpServer)) {
            Log("Forwarding to Master SMTP Server", 1);
            FHosts.push_back(S.MasterSmtpServer);
        } else {
            Log("Master SMTP Server address invalid.", 1);
        }
        PostToSelf(WM_NEXT_HOST);
    } else if (IsIPAddress(FCurrent->Key)) {
        FHosts.push_back(FCurrent->Key);
        PostToSelf(WM_NEXT_HOST);
    } else if (IsIPAddress(S.DNSServerAddress)) {
        Log("Starting DNS MX Lookup", 8);
        FDnsQuery->SetAddr(S.DNSServerAddress);
        FMxTimer->setEnabled(true);
        try {
            FLookupID = FDnsQuery->MXLookup(FCurrent->Key);
            FLookupPending = true;
        } catch (const std::exception& E) {
            // The timer, already running, moves the connection on.
            Log(std::string("Unable to start MX Lookup: ") + E.what(), 7);
        }
    } else {
        Log("No DNS Server Available for MX resolution", 1);
        FHosts.push_back(FCurrent->Key);
        PostToSelf(WM_NEXT_HOST);
    }
}

// --- mail exchangers --------------------------------------------------------

void TSmtpAgentConnection::DnsQueryRequestDone(TDnsQuery* Sender, std::uint16_t Error) {
    // Only the answer to the lookup in hand counts: one that comes after the
    // timer gave the group up, or a reply to another query, is ignored.
    if (!FLookupPending || Released() || !FCurrent) return;
    if (Error == 0 && Sender->ReplyID() != FLookupID) return;
    FLookupPending = false;

    FMxTimer->setEnabled(false);
    FHosts.clear();
    Log("Looking up MX", 8);
    if (Error != 0) {
        Log("Failed to look MX", 7);
        FHosts.push_back(FCurrent->Key);
    } else if (Sender->AnswerCount() <= 0) {
        Log("No MX Results", 7);
        FHosts.push_back(FCurrent->Key);
    } else {
        struct TMx {
            int Preference;
            std::string Exchange;
        };
        std::vector<TMx> Mx;
        const int Count = std::min(Sender->MXCount(), TDnsQuery::MaxMX);
        for (int I = 0; I < Count; ++I) Mx.push_back({Sender->GetMXPreference(I), Sender->GetMXExchange(I)});

        // Never hand mail to an exchanger that this server itself ranks no
        // better than: it would come back here.
        bool Local = false;
        int Lowest = 0;
        for (const TMx& M : Mx)
            if (ServerInformation->IsLocalDomain(M.Exchange)) {
                Lowest = Local ? std::min(Lowest, M.Preference) : M.Preference;
                Local = true;
            }
        if (Local) {
            Mx.erase(std::remove_if(Mx.begin(), Mx.end(), [&](const TMx& M) { return M.Preference >= Lowest; }),
                     Mx.end());
            Log("Possible Mail Loop from " + Sender->QuestionName(), 0);
        }
        std::stable_sort(Mx.begin(), Mx.end(),
                         [](const TMx& A, const TMx& B) { return A.Preference < B.Preference; });
        for (const TMx& M : Mx) FHosts.push_back(M.Exchange);
        if (FHosts.empty()) FHosts.push_back(FCurrent->Key);
    }
    Log("MX Results: " + std::to_string(FHosts.size()), 8);
    PostToSelf(WM_NEXT_HOST);
}

void TSmtpAgentConnection::MxTimerTimer() {
    FMxTimer->setEnabled(false);
    FLookupPending = false;
    if (Released()) return;
    Log("MX Resolution Timeout...", 8);
    PostToSelf(WM_NEXT_DOMAIN);
}

// --- hosts ------------------------------------------------------------------

void TSmtpAgentConnection::RemoveFirstHost() {
    if (!FHosts.empty()) FHosts.erase(FHosts.begin());
}

void TSmtpAgentConnection::ConnectNextHost() {
    if (!FCurrent) return;
    FStepTaken = false;
    SetStage(TSmtpAgentStage::Relaying);
    // A stop waited for a text that its host did not answer: no other host
    // is tried, and the queue file stays as it was last written.
    if (FAgent && FAgent->Stopping()) {
        Release();
        return;
    }
    if (FHosts.empty()) {
        FCurrent->Status = fsNoHost;
        TakeStep(WM_NEXT_DOMAIN);
        return;
    }
    // A socket still open from the last host would refuse the new address.
    if (FSocket->State() != wsClosed) FSocket->Abort();
    const std::string Host = FHosts.front();
    if (IsIPAddress(Host)) {
        Log("Connecting to " + Host, 8);
        StartConnect(Host);
    } else {
        Log("Resolving " + Host, 8);
        FSocket->DnsLookup(Host);
    }
}

void TSmtpAgentConnection::StartConnect(const std::string& Address) {
    FSocket->SetAddr(Address);
    FSocket->SetPort("25");
    FSocket->SetProto("TCP");
    FConnected = false;
    FReceiveBuffer.clear();
    FSocket->Connect();
}

void TSmtpAgentConnection::SocketDnsLookupDone(TCustomWSocket* Sender, std::uint16_t Error) {
    if (Released() || FStepTaken || FHosts.empty()) return;
    const std::string Host = FHosts.front();
    Log("Resolved " + Host + " to " + Sender->DnsResult(), 8);
    if (Error != 0) {
        Log("Unable to resolve " + Host, 7);
        RemoveFirstHost();
        TakeStep(WM_NEXT_HOST);
        return;
    }
    Log("Connecting to " + Sender->DnsResult(), 8);
    StartConnect(Sender->DnsResult());
}

void TSmtpAgentConnection::SocketSessionConnected(TCustomWSocket* /*Sender*/, std::uint16_t Error) {
    if (Released() || FStepTaken) return;
    if (Error != 0) {
        Log("Connection Open Failed", 7);
        RemoveFirstHost();
        TakeStep(WM_NEXT_HOST);
        return;
    }
    FConnected = true;
    Log("Connection Open", 8);
    FRecipientIndex = 0;
    FState = TSmtpAgentState::Greeting;
}

void TSmtpAgentConnection::SocketSessionClosed(TCustomWSocket* /*Sender*/, std::uint16_t /*Error*/) {
    Log("Closed", 8);
    StopPacing();
    if (!FConnected || Released()) return;
    FConnected = false;
    if (FStepTaken) return;
    ClearDeliveredMarks();  // nothing was accepted
    RemoveFirstHost();
    TakeStep(WM_NEXT_HOST);
}

void TSmtpAgentConnection::SocketError(TCustomWSocket* /*Sender*/) {
    Log("Socket Error", 7);
    if (Released() || FStepTaken || !FCurrent) return;
    ClearDeliveredMarks();
    EndSession();
}

void TSmtpAgentConnection::SocketBgException(TCustomWSocket* /*Sender*/, const std::exception& /*E*/,
                                             bool& CanClose) {
    Log("Background Exception Error", 0);
    CanClose = false;
    if (Released() || FStepTaken || !FCurrent) return;
    ClearDeliveredMarks();
    EndSession();
}

// --- the dialogue -----------------------------------------------------------

void TSmtpAgentConnection::SocketDataAvailable(TCustomWSocket* Sender, std::uint16_t /*Error*/) {
    char Buf[1024];
    const int N = Sender->Receive(Buf, sizeof Buf);
    if (N <= 0) return;
    LastActivity = platform::Now();
    FReceiveBuffer.append(Buf, static_cast<std::size_t>(N));
    for (;;) {
        const std::size_t End = FReceiveBuffer.find("\r\n");
        if (End == std::string::npos) {
            if (FReceiveBuffer.size() > MaxReplyLine) {
                std::string Line;
                Line.swap(FReceiveBuffer);
                ProcessReply(Line);
            }
            break;
        }
        const std::string Line = FReceiveBuffer.substr(0, End);
        FReceiveBuffer.erase(0, End + 2);
        ProcessReply(Line);
    }
}

void TSmtpAgentConnection::SocketDataSent(TCustomWSocket* /*Sender*/, std::uint16_t /*Error*/) {
    LastActivity = platform::Now();
}

void TSmtpAgentConnection::Send(const std::string& Line) { FSocket->SendStr(Line + "\r\n"); }

void TSmtpAgentConnection::ClearDeliveredMarks() {
    if (!FCurrent) return;
    for (auto& R : FCurrent->Recipients) R->Delivered = false;
}

void TSmtpAgentConnection::FailSession(const std::string& Text, std::uint8_t Status, const std::string& Code,
                                       const std::string& ReplyText, bool ClearMarks) {
    Log(Text, 7);
    if (ClearMarks) ClearDeliveredMarks();
    FCurrent->Status = Status;
    FCurrent->LastError = Code + " " + ReplyText;
    EndSession();
}

void TSmtpAgentConnection::ProcessReply(const std::string& Line) {
    std::string Code, Text;
    bool Continued = false;
    if (Line.find(' ') != std::string::npos) {
        Code = Upper(Trim(Line.substr(0, 3)));
        Continued = Line.size() >= 4 && Line[3] == '-';
        Text = Line.size() > 4 ? Trim(Line.substr(4)) : std::string();
    } else {
        Code = Upper(Trim(Line));
    }
    Log("Response: " + Code + " (" + Text + ")", 4);
    if (Code.empty() || Continued) return;
    // Lines after the session ended, or after the socket went, change nothing.
    if (FState == TSmtpAgentState::Ended || !FConnected || !FCurrent || Released()) return;

    const bool Up = FSocket->State() == wsConnected;
    const std::string& ServerName = ServerInformation->ServerName;
    switch (FState) {
    case TSmtpAgentState::Greeting:
        if (Up && Code == "220") {
            Log("Server said hello", 8);
            Log("We say HELO " + ServerName, 8);
            FState = TSmtpAgentState::HeloSent;
            // The name comes from the settings file, where a lone CR can
            // stand inside a value: it must not end the command.
            Send("HELO " + Printable(ServerName));
        } else {
            FailSession("Server won't ACK us", fsHeloRefused, Code, Text, false);
        }
        break;
    case TSmtpAgentState::HeloSent:
        if (Up && Code == "250") {
            Log("Server accepted our HELO", 8);
            Log("We say MAIL FROM: " + FMessage.ReversePath, 8);
            FState = TSmtpAgentState::MailSent;
            Send("MAIL FROM: " + FMessage.ReversePath);
        } else {
            FailSession("Server won't ACK our HELO", fsHeloRefused, Code, Text, false);
        }
        break;
    case TSmtpAgentState::MailSent:
        if (Up && Code == "250") {
            Log("Server accepted our MAIL FROM", 8);
            FState = TSmtpAgentState::RcptSent;
            FRecipientIndex = 0;
            if (FCurrent->RecipientCount() == 0) {
                Log("No forward routes... Closing.", 7);
                EndSession();
            } else {
                const std::string& To = FCurrent->GetRecipient(0)->Address;
                Log("We say RCPT TO: " + To, 8);
                Send("RCPT TO: " + To);
            }
        } else {
            FailSession("Server won't ACK our MAIL FROM", fsMailRefused, Code, Text, false);
        }
        break;
    case TSmtpAgentState::RcptSent:
        if (Up && (Code == "250" || Code == "251")) {
            Log("Server accepted our RCPT TO", 8);
            if (auto* R = FCurrent->GetRecipient(FRecipientIndex)) R->Delivered = true;
            NextRecipient();
        } else if (Up && Code == "550") {
            Log("Server rejected our RCPT TO, but we'll carry on...", 7);
            if (auto* R = FCurrent->GetRecipient(FRecipientIndex)) R->Delivered = false;
            NextRecipient();
        } else {
            FailSession("Server won't ACK our RCPT TO", fsRcptFailed, Code, Text, true);
        }
        break;
    case TSmtpAgentState::DataSent:
        if (Up && Code == "354") {
            Log("Server ready for our Data", 8);
            Log("We send Data", 8);
            FState = TSmtpAgentState::MessageSent;
            // From here the next hop may take the message: a stop lets the
            // group finish rather than send it again at the next start.
            SetStage(TSmtpAgentStage::TextSent);
            SendMessageText();
        } else {
            FailSession("Server won't accepted our Data", fsDataRefused, Code, Text, true);
        }
        break;
    case TSmtpAgentState::MessageSent:
        // A "250" before the whole text and its "." went out cannot accept
        // the message.
        if (Up && Code == "250" && !FPacing) {
            Log("Server accepted our mail", 8);
            Log("We say QUIT", 8);
            EndSession();
        } else {
            FailSession("Server won't accepted our mail", fsDataRefused, Code, Text, true);
        }
        break;
    case TSmtpAgentState::Ended:
        break;
    }
}

void TSmtpAgentConnection::NextRecipient() {
    FRecipientIndex += 1;
    if (FRecipientIndex < FCurrent->RecipientCount()) {
        const std::string& To = FCurrent->GetRecipient(FRecipientIndex)->Address;
        Log("We say RCPT TO: " + To, 8);
        Send("RCPT TO: " + To);
    } else {
        Log("We say DATA", 8);
        FState = TSmtpAgentState::DataSent;
        Send("DATA");
    }
}

void TSmtpAgentConnection::SendMessageText() {
    FPaceLine = 0;
    if (FMessage.Text.empty()) {
        FSocket->SendStr(".\r\n");
        Log("Waiting for server ack.", 8);
        return;
    }
    Log("Sending Data (0 / " + std::to_string(FMessage.LineCount) + ")", 8);
    FText = std::make_unique<TTextCursor>();
    FText->Source = FMessage.Text;
    FText->Size = platform::contentSize(FMessage.Text);
    FText->LineFeedsOnly = FMessage.LineFeedsOnly;
    FText->Lines = FMessage.LineCount;
    ReadAhead();
    FPacing = true;
    if (Handle == platform::NullWindow || !platform::loop().setTimer(Handle, PaceTimerID, PaceMs)) {
        // Nothing would time the runs: the group is left for the next pass.
        Log("Unable to pace the message text", 7);
        AbortSession();
    }
}

void TSmtpAgentConnection::AbortSession() {
    // The peer must not take what went out for the whole message: no "."
    // and no QUIT, the connection is cut. Its close reports nothing more.
    ClearDeliveredMarks();
    FConnected = false;
    FSocket->Abort();
    EndSession();
}

void TSmtpAgentConnection::ReadAhead() {
    TTextCursor& T = *FText;
    if (T.AheadTicket != 0 || T.AheadReady || T.ReadAt >= T.Size) return;
    const std::size_t Want = static_cast<std::size_t>(std::min<std::uint64_t>(TextPiece, T.Size - T.ReadAt));
    T.Ahead = std::make_shared<std::string>();
    T.AheadError = std::make_shared<int>(0);
    T.AheadTicket = platform::startFileWork(
        [Source = T.Source, From = T.ReadAt, Want, Out = T.Ahead, Error = T.AheadError]() -> std::intptr_t {
            *Error = platform::readContent(Source, From, Want, *Out);
            // A queue file never shrinks under its reader; if it did, its
            // text cannot go out whole.
            if (*Error == 0 && Out->size() != Want) *Error = EIO;
            return 0;
        },
        Handle, WM_FILE_DONE);
    T.ReadAt += Want;
}

void TSmtpAgentConnection::TextRead(std::uint64_t /*Ticket*/) {
    TTextCursor& T = *FText;
    T.AheadTicket = 0;
    if (!FPacing || FState != TSmtpAgentState::MessageSent || !FConnected || Released()) return;
    if (*T.AheadError != 0) {
        Log("Unable to read Mail " + FQueueName + " for sending... Left in queue.", 1);
        AbortSession();
        return;
    }
    T.AheadReady = true;
    if (T.RunLeft > 0 && FSocket->SendQueueBlockCount() <= MaxQueuedBlocks) SendRun();
}

void TSmtpAgentConnection::PaceMessageText() {
    if (!FPacing || FState != TSmtpAgentState::MessageSent || !FConnected || Released()) {
        StopPacing();
        return;
    }
    // A peer that takes the text more slowly than the runs come gets the
    // next run once it has caught up.
    if (FSocket->SendQueueBlockCount() > MaxQueuedBlocks) return;
    if (FText->RunLeft == 0) FText->RunLeft = PaceRun;
    SendRun();
}

void TSmtpAgentConnection::SendRun() {
    TTextCursor& T = *FText;
    std::string Chunk;
    while (T.RunLeft > 0) {
        if (T.Pos == T.Buf.size()) {
            if (T.AheadReady) {
                T.Buf.swap(*T.Ahead);
                T.Ahead.reset();
                T.AheadReady = false;
                T.Pos = 0;
                ReadAhead();
                continue;
            }
            break;  // waiting for the next piece, or all of it read
        }
        T.Consume(Chunk, FPaceLine);
    }
    // Only a piece that is no longer needed is let go.
    if (T.Pos == T.Buf.size()) {
        T.Buf = std::string();
        T.Pos = 0;
    }
    const bool Last = T.AllRead();
    if (Last) {
        T.RunLeft = 0;
        T.Finish(Chunk);
        StopPacing();
    }
    try {
        FSocket->SendStr(Chunk);  // a failure ends the session through the socket's error event
    } catch (const std::exception& E) {
        // Outside the socket's own events nobody else would see it.
        bool CanClose = true;
        SocketBgException(FSocket.get(), E, CanClose);
        return;
    }
    if (Last) {
        FText.reset();
        Log("Waiting for server ack.", 8);
    } else if (FPacing && T.RunLeft == 0) {
        Log("Sending Data (" + std::to_string(FPaceLine) + " / " + std::to_string(T.Lines) + ")", 8);
    }
}

void TSmtpAgentConnection::StopPacing() {
    if (!FPacing) return;
    FPacing = false;
    if (Handle != platform::NullWindow) platform::loop().killTimer(Handle, PaceTimerID);
}

void TSmtpAgentConnection::EndSession() {
    StopPacing();
    SetStage(TSmtpAgentStage::Relaying);
    FConnected = false;
    FState = TSmtpAgentState::Ended;
    if (FSocket->State() == wsConnected) Send("QUIT");
    Log("Closing Connection...", 8);
    FMessage.RemoveDelivered();
    // The group in hand may be gone now; it is looked up again by index.
    FCurrent = FMessage.GetForward(FDomainIndex);
    // The next step is this one's: whatever the socket reports meanwhile
    // takes none.
    FStepTaken = true;
    FSocket->Close();
    // Nothing left to deliver: the file goes now rather than being rewritten
    // first and deleted a moment later.
    if (FMessage.ForwardCount() == 0) {
        DeleteThen([this] { PostToSelf(WM_NEXT_DOMAIN); });
    } else {
        SaveThen([this](bool Saved) {
            if (!Saved) Log("Unable to update Mail " + FQueueName + " in the queue.", 1);
            PostToSelf(WM_NEXT_DOMAIN);
        });
    }
}

// --- the end of the message -------------------------------------------------

void TSmtpAgentConnection::FinishMessage() {
    Log("Finishing...", 8);
    FCurrent = nullptr;
    FMessage.RemoveDelivered();
    if (FMessage.ForwardCount() == 0) {
        Log("Processing Successful.  Deleting files...", 2);
        DeleteThen([this] { Release(); });
        return;
    }
    if (FMessage.Remaining - 1 >= 0) {
        FMessage.Remaining -= 1;
        Log("Processing partially successful.  Re-Queueing for further processing...", 1);
        SaveThen([this](bool Saved) {
            if (!Saved) Log("Unable to update Mail " + FQueueName + " in the queue.", 1);
            Release();
        });
        return;
    }
    FMessage.Remaining -= 1;
    Log("Processing Incomplete, but Retries Used Up.  Deleting files...", 2);
    SendFailureNotice(NotReached(), [this](bool Sent) {
        if (Sent) {
            DeleteThen([this] { Release(); });
            return;
        }
        // Keep the message, marked as used up, so that a later scan tries
        // the notice again instead of losing it.
        Log("Unable to route the failure notice for Mail " + FQueueName + "... Left in queue.", 1);
        SaveThen([this](bool) { Release(); });
    });
}

std::vector<std::string> TSmtpAgentConnection::NotReached() const {
    std::vector<std::string> All;
    for (const auto& G : FMessage.Groups)
        for (const auto& R : G->Recipients) All.push_back(R->Address);
    All.insert(All.end(), FMessage.Unreadable.begin(), FMessage.Unreadable.end());
    return All;
}

void TSmtpAgentConnection::SendFailureNotice(const std::vector<std::string>& Recipients,
                                             std::function<void(bool)> Done) {
    if (HoldsControlByte(FMessage.ReversePath)) {
        Log("Failure Notice to a reverse path holding a control byte... Not sent.", 7);
        Done(true);
        return;
    }
    TSmtpMessageInformation Notice;
    Notice.ReversePath.Parse("<>");
    Notice.AddForwardPath(FMessage.ReversePath);
    // No line the notice builds may carry a lone CR or LF: in the header it
    // would start a header line of someone else's choosing.
    Notice.AddLine("From: Tavrin Server " + Printable(ServerInformation->ServerName));
    Notice.AddLine("Subject: Undeliverable Mail");
    Notice.AddLine("");
    Notice.AddLine("The following recepients were not reached:");
    Notice.AddLine("");
    for (const std::string& R : Recipients) Notice.AddLine(Printable(R));
    Notice.AddLine("");
    Notice.AddLine("so the following message could not be delivered");
    Notice.AddLine("");
    Notice.AddLine("");
    // The queued message goes in as it is stored, a range of its file.
    Notice.Text.AppendContent(FMessage.MessageContent());

    if (Notice.ForwardPathCount() == 0) {
        Done(true);
        return;
    }
    const TMessageRouteInformation* To = Notice.ForwardPath(0);
    const TServerInformation& S = *ServerInformation;
    if (S.IsLocalDomain(To->Domain)) {
        const bool Known = S.AliasExists(To->LocalPart + "@" + To->Domain) || S.AliasExists(To->LocalPart) ||
                           S.UserExists(To->LocalPart) || S.MailListExists(To->LocalPart);
        if (!Known) {
            Log("Local Failure Notice to Non-existant user.", 7);
            Done(true);
            return;
        }
    } else if (To->GetPath() == "<>") {
        Log("Failure Notice to Non-existant user.", 7);
        Done(true);
        return;
    }

    // The notice's files are made durable together, off the loop's thread;
    // only then does the queue file change.
    TDeliveryBatch Batch;
    bool Routed = false;
    {
        TDeliverMail Router(&Notice);
        Router.OnLog = OnLog;
        FNoticeRouter = &Router;
        FNoticeRouterID = Router.ID;
        Routed = Router.Deliver();
        FNoticeRouter = nullptr;
        FNoticeRouterID = 0;
    }
    Batch.Close();
    if (!Routed) {
        Done(false);
        return;
    }
    auto After = std::make_shared<std::vector<std::function<void()>>>(std::move(Batch.AfterStored));
    const bool QueueRun = Batch.QueueRunWanted;
    SetStage(TSmtpAgentStage::NoticeCommitting);
    FWaitMsg = WM_COMMIT_DONE;
    FWaitTicket = platform::startCommit(std::move(Batch.Files), Handle, WM_COMMIT_DONE);
    FWaitDone = [After, QueueRun, Done = std::move(Done)](std::intptr_t Error) {
        if (Error != 0) {
            Done(false);
            return;
        }
        for (auto& Work : *After) Work();
        if (QueueRun) PostServiceQueueNow();
        Done(true);
    };
}
