#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "MD5.h"
#include "Pop3Server.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace {

// Trim as the design's string library does: bytes 0..32 at both ends.
std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

std::string Greeting(std::uint8_t bannerLevel) {
    switch (bannerLevel) {
        case 0: return "+OK Tavrin 1.4.0.0 POP3 Ready. ";
        case 2: return "+OK POP3 Ready. ";
        default: return "+OK Tavrin POP3 Ready. ";
    }
}

std::int32_t MessageNumber(const std::string& text) { return StrToIntDefault(text, -1); }

}  // namespace

TPop3Connection::TPop3Connection(TPop3Server* server)
    : ID(NewObjectIdentity()),
      LastActivity(platform::Now()),
      FRegistration(this, ID),
      FServer(server),
      FSocket(std::make_unique<TWSocket>()),
      FFlow(*FSocket),
      FUser(std::make_unique<TPop3UserInformation>()),
      FMailbox(std::make_unique<TPop3MailInformation>()) {
    FSocket->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t e) { SocketDataAvailable(s, e); };
    FSocket->OnDataSent = [this](TCustomWSocket* s, std::uint16_t e) { SocketDataSent(s, e); };
    FSocket->OnSessionClosed = [this](TCustomWSocket* s, std::uint16_t e) { SocketSessionClosed(s, e); };
    FSocket->OnError = [this](TCustomWSocket* s) { SocketError(s); };
    FSocket->OnBgException = [this](TCustomWSocket* s, const std::exception& e, bool& canClose) {
        SocketBgException(s, e, canClose);
    };
    // A client that ends its side after its last command still gets every
    // reply in full, a message it asked for included.
    FSocket->SetComponentOptions(FSocket->ComponentOptions().With(wsoFinishSending));
}

TPop3Connection::~TPop3Connection() {
    // Freeing an open socket closes it; none of that may reach this session.
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnDataSent = nullptr;
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnError = nullptr;
    FSocket->OnBgException = nullptr;
    FSocket.reset();
}

void TPop3Connection::Log(const std::string& text, int level) {
    if (OnLog) OnLog(this, text, level);
}

bool TPop3Connection::Connected() const { return FSocket->State() == wsConnected; }

void TPop3Connection::Reply(const std::string& text) { FSocket->SendStr(text + "\r\n"); }

void TPop3Connection::PostRelease() {
    if (FServer) FServer->PostToSelf(TPop3Server::WM_RELEASE_CONNECTION, reinterpret_cast<std::intptr_t>(this), ID);
}

void TPop3Connection::Disconnect() {
    if (FSocket->State() == wsClosed)
        PostRelease();
    else
        FSocket->Close();  // fires OnSessionClosed, which asks for release
}

void TPop3Connection::CloseWhenSent() {
    if (FFlow.CloseWhenSent()) Disconnect();
}

void TPop3Connection::Accept(TSocket handle) {
    FSocket->Dup(handle);
    Log("Accepted", 4);
    FState = TPop3State::Authorization;
    // An accept that failed (no descriptor left after all) leaves a session
    // with no connection: it goes at once rather than at the next sweep.
    if (!Connected()) {
        PostRelease();
        return;
    }
    Log("Connected", 4);
    // A reply leaves as soon as it is queued: with Nagle's rule the second
    // segment of a message would wait for the client's delayed
    // acknowledgement (some 40 ms for every RETR).
    const int noDelay = 1;
    WSocket_setsockopt(FSocket->HSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    const std::string serverName = ServerInformation ? ServerInformation->ServerName : std::string();
    FApopTimestamp = "<" + std::to_string(ID) + "." + FloatToText(platform::Now()) + "@" + serverName + ">";
    Reply(Greeting(ServerInformation ? ServerInformation->BannerLevel : 0) + FApopTimestamp);
}

// --- socket events -------------------------------------------------------------

void TPop3Connection::SocketDataAvailable(TCustomWSocket*, std::uint16_t) {
    // While the session holds, input stays in the socket: reading it would
    // only move it into this buffer.
    if (FFlow.Holding()) return;
    char buf[1024];
    const int n = FSocket->Receive(buf, sizeof buf);
    LastActivity = platform::Now();
    if (n > 0) FReceiveBuffer.append(buf, static_cast<std::size_t>(n));
    ProcessReceived();
}

void TPop3Connection::ProcessReceived() {
    std::size_t pos;
    while (!FFlow.Holding() && (pos = FReceiveBuffer.find("\r\n")) != std::string::npos) {
        std::string line = FReceiveBuffer.substr(0, pos);
        FReceiveBuffer.erase(0, pos + 2);
        ProcessCommand(line);
        if (!Connected()) {
            // A failure closed the socket: nothing further is answered.
            FReceiveBuffer.clear();
            return;
        }
        FFlow.AfterCommand();
    }
    if (FFlow.Holding()) return;
    if (FReceiveBuffer.size() > Pop3MaxLineLength) {
        FReceiveBuffer.clear();
        Reply("-ERR Line Too Long");
        Log("Line Too Long, Closing Connection", 5);
        CloseWhenSent();
    }
}

void TPop3Connection::SocketDataSent(TCustomWSocket*, std::uint16_t) {
    LastActivity = platform::Now();
    // Taken before the drain is answered: an answer that a command handled
    // there starts has had its first piece in this step already.
    const bool producing = FReply && FFlow.Holds(TSessionFlow::Producing);
    FFlow.Drained([this] { Disconnect(); }, [this] { ProcessReceived(); });
    if (producing && FReply && Connected()) ContinueMessageReply();
}

void TPop3Connection::SocketSessionClosed(TCustomWSocket*, std::uint16_t) {
    Log("Closed", 4);
    PostRelease();
}

void TPop3Connection::SocketError(TCustomWSocket*) {
    Log("Socket Error", 3);
    Disconnect();
}

void TPop3Connection::SocketBgException(TCustomWSocket*, const std::exception&, bool&) {
    Log("Background Exception Error", 0);
    Disconnect();
}

// --- commands ------------------------------------------------------------------

void TPop3Connection::ProcessCommand(const std::string& line) {
    if (line.empty()) return;
    std::string verb, arg;
    const std::size_t blank = line.find(' ');
    if (blank != std::string::npos) {
        verb = platform::upperCase(Trim(std::string_view(line).substr(0, blank)));
        arg = Trim(std::string_view(line).substr(blank));
    } else {
        verb = platform::upperCase(Trim(line));
    }
    Log("Command: " + Printable(verb), 4);

    const bool connected = Connected();
    const TPop3State s = FState;
    const bool inTransaction = connected && s == TPop3State::Transaction;
    if (verb == "USER" && connected && s == TPop3State::Authorization) CmdUser(arg, Printable(line) != line);
    else if (verb == "PASS" && connected && s == TPop3State::UserAccepted) CmdPass(arg);
    else if (verb == "APOP" && connected && s == TPop3State::Authorization) CmdApop(arg);
    else if (verb == "QUIT" && connected) CmdQuit();
    else if (verb == "STAT" && inTransaction) CmdStat();
    else if (verb == "LIST" && inTransaction) CmdList(arg);
    else if (verb == "RETR" && inTransaction) CmdRetr(arg);
    else if (verb == "DELE" && inTransaction) CmdDele(arg);
    else if (verb == "NOOP" && inTransaction) Reply("+OK");
    else if (verb == "RSET" && inTransaction) CmdRset();
    else if (verb == "TOP" && inTransaction) CmdTop(arg);
    else if (verb == "UIDL" && inTransaction) {
        Reply("-ERR Command Not Supported");
        Log("Command Not Supported", 5);
    } else if (connected) {
        Reply("-ERR Unrecognized Command");
    }
}

void TPop3Connection::CmdUser(const std::string& arg, bool controlBytes) {
    TServerInformation& si = *ServerInformation;
    bool known = false;
    if (IsUsableAccountName(arg)) {
        known = si.UserExists(arg);
        // A user made on demand must be a name the account dialogs would
        // accept, and must not shadow a mailing list or an alias.
        // Trimming hides control bytes at the ends ("USER \0x" reads "x"):
        // a name given with any is no account name and is not made.
        if (!known && si.CreateUserOnDemand && !controlBytes && IsAccountName(arg) && !si.MailListExists(arg) &&
            !si.AliasExists(arg))
            known = si.CreateUser(arg);
    }
    if (!known) {
        Reply("-ERR Unknown User");
        Log("User " + Printable(arg) + " BAD", 5);
        return;
    }
    FUserName = arg;
    // A fresh record: nothing of a user named earlier in this session (its
    // password above all) may survive a load that finds no information file.
    FUser = std::make_unique<TPop3UserInformation>();
    FUser->LoadUser(FUserName);
    FState = TPop3State::UserAccepted;
    Reply("+OK Send Password");
    Log("User " + Printable(FUserName) + " OK", 6);
}

void TPop3Connection::CmdPass(const std::string& arg) {
    bool good = !FUser->Password.empty() && FUser->Password == arg;
    // An empty password is never stored: it would open the mailbox to anyone.
    if (!good && FUser->Password.empty() && ServerInformation->CreateUserPasswordOnDemand && !arg.empty()) {
        FUser->Password = arg;
        FUser->SaveUser(FUserName);
        good = true;
    }
    if (!good) {
        FState = TPop3State::Authorization;
        Reply("-ERR Password Invalid");
        Log("User Password BAD", 5);
        return;
    }
    Login();
}

void TPop3Connection::CmdApop(const std::string& arg) {
    std::string name, digest;
    const std::size_t blank = arg.find(' ');
    if (blank != std::string::npos) {
        name = platform::upperCase(Trim(std::string_view(arg).substr(0, blank)));
        digest = Trim(std::string_view(arg).substr(blank + 1));
    } else {
        name = arg;
    }
    if (name.empty() || digest.empty()) {
        Reply("-ERR Command Incomplete");
        Log("Command missing parameters", 5);
        return;
    }
    if (!IsUsableAccountName(name) || !ServerInformation->UserExists(name)) {
        Reply("-ERR Unknown User");
        Log("User " + Printable(name) + " BAD", 5);
        return;
    }
    FUserName = platform::lowerCase(name);
    FUser = std::make_unique<TPop3UserInformation>();
    FUser->LoadUser(FUserName);
    const bool match = !FUser->Password.empty() &&
                       platform::equalsNoCase(MD5HexOfString(FApopTimestamp + FUser->Password), digest);
    if (!match) {
        FState = TPop3State::Authorization;
        Reply("-ERR Bad Digest");
        Log("User Digest BAD", 5);
        return;
    }
    Login();
}

void TPop3Connection::Login() {
    if (FServer && FServer->IsMailboxLocked(this, FUserName)) {
        FState = TPop3State::Authorization;
        Reply("-ERR Cannot Lock Mailbox");
        Log("User Password OK, but mailbox locked.", 5);
        return;
    }
    FState = TPop3State::Transaction;
    FMailbox->LoadMailbox(FUserName);
    Reply("+OK " + std::to_string(LiveCount()) + " " + std::to_string(LiveOctets()));
    Log("User Password OK", 6);
}

void TPop3Connection::CmdQuit() {
    if (FState == TPop3State::Transaction) {
        const std::int32_t deleted = FMailbox->DeleteMarked();
        Reply("+OK " + std::to_string(deleted) + " Messages Deleted.  Bye.");
        Log("Updated", 4);
    } else {
        Reply("+OK Signing Off");
        Log("NOT Updated", 4);
    }
    CloseWhenSent();
}

std::int32_t TPop3Connection::LiveCount() const {
    std::int32_t n = 0;
    for (const auto& e : FMailbox->Entries)
        if (!e->Deleted) ++n;
    return n;
}

std::int64_t TPop3Connection::LiveOctets() const {
    std::int64_t n = 0;
    for (const auto& e : FMailbox->Entries)
        if (!e->Deleted) n += e->Size;
    return n;
}

void TPop3Connection::CmdStat() {
    const std::string counts = std::to_string(LiveCount()) + " " + std::to_string(LiveOctets());
    Reply("+OK " + counts);
    Log("Status: " + counts, 6);
}

void TPop3Connection::CmdList(const std::string& arg) {
    if (!arg.empty()) {
        TMailboxEntry* e = FMailbox->FindByNumber(MessageNumber(arg));
        if (!e) {
            Reply("-ERR No Such Message");
            Log("No such message", 5);
        } else if (e->Deleted) {
            Reply("-ERR Message Deleted");
            Log("Message Deleted", 5);
        } else {
            const std::string info = std::to_string(e->Number) + " " + std::to_string(e->Size);
            Reply("+OK " + info);
            Log("Info: " + info, 6);
        }
        return;
    }
    const std::string info = std::to_string(LiveCount()) + " Messages " + std::to_string(LiveOctets()) + " octets";
    std::string out = "+OK " + info + "\r\n";
    for (const auto& e : FMailbox->Entries)
        if (!e->Deleted) out += std::to_string(e->Number) + " " + std::to_string(e->Size) + "\r\n";
    out += ".\r\n";
    FSocket->SendStr(out);
    Log("Info: " + info, 6);
}

TMailboxEntry* TPop3Connection::EntryForArgument(const std::string& numberText, const char* missingLog) {
    TMailboxEntry* e = FMailbox->FindByNumber(MessageNumber(numberText));
    if (!e) {
        Reply("-ERR No Such Message");
        Log(missingLog, 5);
        return nullptr;
    }
    if (e->Deleted) {
        Reply("-ERR Message Deleted");
        Log("Message Deleted", 5);
        return nullptr;
    }
    return e;
}

// --- RETR and TOP ----------------------------------------------------------------
//
// The answer is made from the open file a piece at a time: the first piece at
// once (a message that fits one piece costs one read and one send), each
// further one when the one before has left the send queue. Meanwhile the
// session holds, so commands sent behind RETR wait and are answered after the
// message, and a session never keeps more than a piece and its output bound.

struct TPop3Connection::TMessageReply {
    ~TMessageReply() {
        if (Fd >= 0) ::close(Fd);
    }
    int Fd = -1;
    bool Top = false;
    std::int64_t FileSize = 0;  // when opened
    std::int64_t Read = 0;
    TRetrText Text;
    std::unique_ptr<char[]> Buffer;
    std::size_t BufferSize = 0;
    std::string Out;  // a piece's text; kept for the next piece
};

bool TPop3Connection::StartMessageReply(const TMailboxEntry& entry, std::string head, std::int64_t topLines, bool top) {
    auto reply = std::make_unique<TMessageReply>();
    const std::string path = FMailbox->Folder + entry.FileName;
    reply->Fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (reply->Fd < 0 || ::fstat(reply->Fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    reply->Top = top;
    reply->FileSize = st.st_size;
    if (top) reply->Text = TRetrText::Top(topLines);
    FReply = std::move(reply);

    // The whole first piece goes to the socket in one send, status line
    // included: one send per line would cost a system call for every line.
    std::string out = std::move(head);
    switch (ReadPiece(out)) {
        case TPiece::Done: EndMessageReply(out); break;
        case TPiece::More:
            FFlow.Hold(TSessionFlow::Producing);
            FSocket->SendStr(out);
            break;
        case TPiece::Failed: FReply.reset(); return false;
    }
    return true;
}

TPop3Connection::TPiece TPop3Connection::ReadPiece(std::string& out) {
    TMessageReply& r = *FReply;
    // The rest of the file and one byte more when that fits a piece: a file
    // as large as it was when opened then ends with this read, and the read
    // coming back short of the extra byte shows there is nothing after it.
    const std::int64_t rest = r.FileSize - r.Read;
    const std::size_t want = rest >= 0 && rest < static_cast<std::int64_t>(Pop3MessagePiece)
                                 ? static_cast<std::size_t>(rest) + 1
                                 : Pop3MessagePiece;
    if (r.BufferSize < want) {
        r.Buffer = std::make_unique_for_overwrite<char[]>(want);
        r.BufferSize = want;
    }
    std::size_t got = 0;
    bool ended = false;
    // A read may give less than asked for without having met the end (an
    // interrupted read, a file system's own limit): only a read of nothing,
    // or the size the file had reached and nothing beyond it, is its end.
    while (got < want) {
        const ssize_t n = ::read(r.Fd, r.Buffer.get() + got, want - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return TPiece::Failed;
        }
        if (n == 0) {
            ended = true;
            break;
        }
        got += static_cast<std::size_t>(n);
        r.Read += n;
        if (r.Read == r.FileSize && got < want) {
            ended = true;
            break;
        }
    }
    out.reserve(out.size() + got + got / 16 + 8);
    if (!r.Text.Add(std::string_view(r.Buffer.get(), got), out)) return TPiece::Done;
    if (!ended) return TPiece::More;
    r.Text.End(out);
    return TPiece::Done;
}

void TPop3Connection::EndMessageReply(std::string& out) {
    const TRetrText text = FReply->Text;
    const bool top = FReply->Top;
    FReply.reset();  // the file is closed before anything else happens
    if (top) {
        out += ".\r\n";
        FSocket->SendStr(out);
        Log("Sent " + std::to_string(text.TopLast()) + " lines", 6);
    } else {
        // The count of lines is known only now; the progress lines follow
        // the text they report on.
        const std::string total = std::to_string(text.Lines());
        for (std::int64_t i = 0; i < text.Lines(); i += 700)
            Log("Sent: " + std::to_string(i) + " of " + total + " lines.", 8);
        Log("Sent: Terminator.", 8);
        out += ".\r\n";
        FSocket->SendStr(out);
    }
    if (FFlow.Holds(TSessionFlow::Producing)) {
        // The commands that waited behind the message are answered now,
        // unless its last piece left the output above the bound.
        FFlow.AfterCommand();
        FFlow.Release(TSessionFlow::Producing, [this] { ProcessReceived(); });
    }
}

void TPop3Connection::ContinueMessageReply() {
    std::string out = std::move(FReply->Out);
    out.clear();
    switch (ReadPiece(out)) {
        case TPiece::More:
            FSocket->SendStr(out);
            if (FReply) FReply->Out = std::move(out);
            break;
        case TPiece::Done: EndMessageReply(out); break;
        case TPiece::Failed:
            // The client has part of the message: without the "." it cannot
            // take it for whole.
            FReply.reset();
            Log("Message File Unreadable, Closing Connection", 3);
            Disconnect();
            break;
    }
}

void TPop3Connection::CmdRetr(const std::string& arg) {
    if (arg.empty()) {
        Reply("-ERR No Message Specified");
        Log("No Message Specified", 5);
        return;
    }
    TMailboxEntry* e = EntryForArgument(arg, "No Such Message");
    if (!e) return;
    std::string head = "+OK " + std::to_string(e->Size) + " octets\r\n";
    Log("Message: " + std::to_string(e->Size) + " octets", 6);
    if (!StartMessageReply(*e, head, 0, false)) {
        // A "." here would hand the client an empty or cut message as if it
        // were whole, and the client would then delete the real one. Closing
        // leaves the mailbox as it is (nothing is deleted without QUIT).
        FSocket->SendStr(head);
        Log("Message File Unreadable, Closing Connection", 3);
        Disconnect();
    }
}

void TPop3Connection::CmdDele(const std::string& arg) {
    if (arg.empty()) {
        Reply("-ERR No Message Specified");
        Log("No Message Specified", 5);
        return;
    }
    TMailboxEntry* e = FMailbox->FindByNumber(MessageNumber(arg));
    if (!e) {
        Reply("-ERR No Such Message");
        Log("No Such Message", 5);
        return;
    }
    if (e->Deleted) {
        Reply("-ERR Message Already Deleted");
        Log("Message Already Deleted", 5);
        return;
    }
    e->Deleted = true;
    Reply("+OK Message " + std::to_string(e->Number) + " Deleted");
    Log("Message " + std::to_string(e->Number) + " Deleted", 6);
}

void TPop3Connection::CmdRset() {
    for (auto& e : FMailbox->Entries) e->Deleted = false;
    Reply("+OK");
    Log("Message(s) Un-Deleted", 6);
}

void TPop3Connection::CmdTop(const std::string& arg) {
    if (arg.empty()) {
        Reply("-ERR No Message Specified");
        Log("No Message Specified", 5);
        return;
    }
    std::string numberPart = arg, countPart;
    const std::size_t blank = arg.find(' ');
    if (blank != std::string::npos) {
        numberPart = Trim(std::string_view(arg).substr(0, blank));
        countPart = Trim(std::string_view(arg).substr(blank + 1));
    }
    const std::int64_t count = countPart.empty() ? -1 : MessageNumber(countPart);
    TMailboxEntry* e = EntryForArgument(numberPart, "No Such Message");
    if (!e) return;
    if (!StartMessageReply(*e, "+OK\r\n", count, true)) {
        Reply("+OK");
        Log("Message File Unreadable, Closing Connection", 3);
        Disconnect();
    }
}
