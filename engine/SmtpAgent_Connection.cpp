#include <algorithm>
#include <cctype>
#include <cstring>

#include "DataU1.h"
#include "MailRouting.h"
#include "SmtpAgent.h"
#include "UtilU1.h"
#include "platform/Clock.h"

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

// The first CR or LF in [P, End), or End.
const char* FindLineBreak(const char* P, const char* End) {
    const std::size_t N = static_cast<std::size_t>(End - P);
    const char* Lf = static_cast<const char*>(std::memchr(P, '\n', N));
    const char* Cr = static_cast<const char*>(std::memchr(P, '\r', Lf ? static_cast<std::size_t>(Lf - P) : N));
    return Cr ? Cr : (Lf ? Lf : End);
}

// Appends one stored message line as it goes on the wire. The store keeps a
// lone CR or LF inside a line as the client sent it, but the next hop must
// never see one: a lenient server takes it as a line end, and a "." after it
// as the end of the data, so a body could end the message early and smuggle
// commands. Each lone CR, lone LF (or CR LF) inside the line therefore ends a
// wire line of its own, and every wire line is dot-stuffed. A line without
// either byte costs two memchr calls.
void AppendWireLine(std::string& Out, const std::string& Line) {
    const char* P = Line.data();
    const char* const End = P + Line.size();
    for (;;) {
        const char* Break = FindLineBreak(P, End);
        if (P != Break && *P == '.') Out += '.';
        Out.append(P, Break);
        Out += "\r\n";
        if (Break == End) return;
        P = Break + (*Break == '\r' && Break + 1 != End && Break[1] == '\n' ? 2 : 1);
    }
}

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
    if (FReleased) return;
    if (Msg.Msg == platform::WM_TIMER && static_cast<std::uintptr_t>(Msg.WParam) == PaceTimerID)
        PaceMessageText();
    else if (Msg.Msg == WM_NEXT_DOMAIN)
        ProcessNextDomain();
    else if (Msg.Msg == WM_NEXT_HOST)
        ConnectNextHost();
}

void TSmtpAgentConnection::Release() {
    if (FReleased) return;
    FReleased = true;
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
    bool Loaded = false;
    try {
        Loaded = FMessage.LoadFromFile(QueueName);
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
        FMessage.DeleteFile();
        Release();
        return;
    }
    FMessage.Performed += 1;
    if (FMessage.Remaining < 0) {
        const bool Sent = SendFailureNotice(NotReached());
        if (Sent) {
            Log("Unable to open Mail " + QueueName + " for sending... Deleted.", 1);
            FMessage.DeleteFile();
        } else {
            Log("Unable to route the failure notice for Mail " + QueueName + "... Left in queue.", 1);
        }
        Release();
        return;
    }
    if (!FMessage.Unreadable.empty()) {
        // A recipient that cannot be read back can never be delivered: the
        // file gives it up first, and only then does the sender hear of it,
        // so that a rewrite that fails leaves the file for a later scan
        // without a notice, and no scan tells the sender twice.
        Log("Unreadable recipient(s) in Mail " + QueueName + "... Sending failure notice.", 1);
        if (!FMessage.Save()) {
            Log("Unable to update Mail " + QueueName + " in the queue... Left in queue.", 1);
            Release();
            return;
        }
        if (!SendFailureNotice(FMessage.Unreadable)) {
            Log("Unable to route the failure notice for Mail " + QueueName + "... Left in queue.", 1);
            // Written back, so that a later scan tries the notice again.
            auto Back = std::make_unique<TSmtpAgentForwardInformation>();
            for (const std::string& U : FMessage.Unreadable) Back->AddRecipient(U);
            FMessage.Groups.push_back(std::move(Back));
            if (!FMessage.Save()) Log("Unable to update Mail " + QueueName + " in the queue.", 1);
            Release();
            return;
        }
        FMessage.Unreadable.clear();
        if (FMessage.ForwardCount() == 0) {
            Log("Processing Incomplete, no readable recipient.  Deleting files...", 2);
            FMessage.DeleteFile();
            Release();
            return;
        }
    }
    if (HoldsControlByte(FMessage.ReversePath)) {
        // No next hop may be sent it: every group fails this pass, and once
        // the retries are used up the file goes (the notice cannot be sent to
        // such a path either). Until then it stays for the administrator.
        Log("Reverse path of Mail " + QueueName + " holds a control byte... Not sent.", 1);
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
    FCurrent = FMessage.GetForward(FDomainIndex);
    FStepTaken = false;
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
    if (!FLookupPending || FReleased || !FCurrent) return;
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
    if (FReleased) return;
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
    if (FReleased || FStepTaken || FHosts.empty()) return;
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
    if (FReleased || FStepTaken) return;
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
    if (!FConnected || FReleased) return;
    FConnected = false;
    if (FStepTaken) return;
    ClearDeliveredMarks();  // nothing was accepted
    RemoveFirstHost();
    TakeStep(WM_NEXT_HOST);
}

void TSmtpAgentConnection::SocketError(TCustomWSocket* /*Sender*/) {
    Log("Socket Error", 7);
    if (FReleased || FStepTaken || !FCurrent) return;
    ClearDeliveredMarks();
    EndSession();
}

void TSmtpAgentConnection::SocketBgException(TCustomWSocket* /*Sender*/, const std::exception& /*E*/,
                                             bool& CanClose) {
    Log("Background Exception Error", 0);
    CanClose = false;
    if (FReleased || FStepTaken || !FCurrent) return;
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
    if (FState == TSmtpAgentState::Ended || !FConnected || !FCurrent || FReleased) return;

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
    if (FMessage.Lines.empty()) {
        FSocket->SendStr(".\r\n");
        Log("Waiting for server ack.", 8);
        return;
    }
    Log("Sending Data (0 / " + std::to_string(FMessage.Lines.size()) + ")", 8);
    FPacing = true;
    if (Handle == platform::NullWindow || !platform::loop().setTimer(Handle, PaceTimerID, PaceMs)) {
        // No window to time the pauses on: the text goes out without them.
        while (FPacing) PaceMessageText();
    }
}

void TSmtpAgentConnection::PaceMessageText() {
    if (!FPacing || FState != TSmtpAgentState::MessageSent || !FConnected || FReleased) {
        StopPacing();
        return;
    }
    const std::vector<std::string>& Lines = FMessage.Lines;
    const std::size_t Count = Lines.size();
    const std::size_t End = std::min(Count, FPaceLine + PaceRun);
    // One run goes out in one SendStr: on the wire the same burst as one
    // call per line.
    std::string Chunk;
    for (std::size_t I = FPaceLine; I < End; ++I) AppendWireLine(Chunk, Lines[I]);
    FPaceLine = End;
    const bool Last = End == Count;
    if (Last) {
        StopPacing();
        Chunk += ".\r\n";
    }
    try {
        FSocket->SendStr(Chunk);  // a failure ends the session through the socket's error event
    } catch (const std::exception& E) {
        // Outside the socket's own events nobody else would see it.
        bool CanClose = true;
        SocketBgException(FSocket.get(), E, CanClose);
        return;
    }
    if (Last)
        Log("Waiting for server ack.", 8);
    else if (FPacing)
        Log("Sending Data (" + std::to_string(End) + " / " + std::to_string(Count) + ")", 8);
}

void TSmtpAgentConnection::StopPacing() {
    if (!FPacing) return;
    FPacing = false;
    if (Handle != platform::NullWindow) platform::loop().killTimer(Handle, PaceTimerID);
}

void TSmtpAgentConnection::EndSession() {
    StopPacing();
    FConnected = false;
    FState = TSmtpAgentState::Ended;
    if (FSocket->State() == wsConnected) Send("QUIT");
    Log("Closing Connection...", 8);
    FMessage.RemoveDelivered();
    // The group in hand may be gone now; it is looked up again by index.
    FCurrent = FMessage.GetForward(FDomainIndex);
    // Nothing left to deliver: the file goes now rather than being rewritten
    // first and deleted a moment later.
    if (FMessage.ForwardCount() == 0)
        FMessage.DeleteFile();
    else if (!FMessage.Save())
        Log("Unable to update Mail " + FQueueName + " in the queue.", 1);
    FSocket->Close();
    TakeStep(WM_NEXT_DOMAIN);
}

// --- the end of the message -------------------------------------------------

void TSmtpAgentConnection::FinishMessage() {
    Log("Finishing...", 8);
    FCurrent = nullptr;
    FMessage.RemoveDelivered();
    if (FMessage.ForwardCount() > 0) {
        if (FMessage.Remaining - 1 >= 0) {
            FMessage.Remaining -= 1;
            Log("Processing partially successful.  Re-Queueing for further processing...", 1);
            if (!FMessage.Save()) Log("Unable to update Mail " + FQueueName + " in the queue.", 1);
        } else {
            FMessage.Remaining -= 1;
            Log("Processing Incomplete, but Retries Used Up.  Deleting files...", 2);
            if (SendFailureNotice(NotReached())) {
                FMessage.DeleteFile();
            } else {
                // Keep the message, marked as used up, so that a later scan
                // tries the notice again instead of losing it.
                Log("Unable to route the failure notice for Mail " + FQueueName + "... Left in queue.", 1);
                FMessage.Save();
            }
        }
    } else {
        Log("Processing Successful.  Deleting files...", 2);
        FMessage.DeleteFile();
    }
    Release();
}

std::vector<std::string> TSmtpAgentConnection::NotReached() const {
    std::vector<std::string> All;
    for (const auto& G : FMessage.Groups)
        for (const auto& R : G->Recipients) All.push_back(R->Address);
    All.insert(All.end(), FMessage.Unreadable.begin(), FMessage.Unreadable.end());
    return All;
}

bool TSmtpAgentConnection::SendFailureNotice(const std::vector<std::string>& Recipients) {
    if (HoldsControlByte(FMessage.ReversePath)) {
        Log("Failure Notice to a reverse path holding a control byte... Not sent.", 7);
        return true;
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
    for (const std::string& L : FMessage.Lines) Notice.AddLine(L);

    if (Notice.ForwardPathCount() == 0) return true;
    const TMessageRouteInformation* To = Notice.ForwardPath(0);
    const TServerInformation& S = *ServerInformation;
    if (S.IsLocalDomain(To->Domain)) {
        const bool Known = S.AliasExists(To->LocalPart + "@" + To->Domain) || S.AliasExists(To->LocalPart) ||
                           S.UserExists(To->LocalPart) || S.MailListExists(To->LocalPart);
        if (!Known) {
            Log("Local Failure Notice to Non-existant user.", 7);
            return true;
        }
    } else if (To->GetPath() == "<>") {
        Log("Failure Notice to Non-existant user.", 7);
        return true;
    }

    TDeliverMail Router(&Notice);
    Router.OnLog = OnLog;
    FNoticeRouter = &Router;
    FNoticeRouterID = Router.ID;
    const bool Routed = Router.Deliver();
    FNoticeRouter = nullptr;
    FNoticeRouterID = 0;
    return Routed;
}
