#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "DataU1_MailboxListing.h"
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

// --- the answer to RETR or TOP (below) -------------------------------------------

// The message file and the piece last read from it. The session and the
// worker reading it share it, so a session freed meanwhile leaves the worker
// what it works on; only one of them touches it at a time (a read is started
// only when none runs, and its result is looked at only once it has ended).
struct TPop3Connection::TMessageFile {
    ~TMessageFile() {
        if (Fd >= 0) ::close(Fd);
    }
    // On a worker: opens the file at the first call, then reads the next
    // piece into Bytes. 0, or the errno of the failure.
    int ReadNext();
    // On the loop's thread: opens the file (at the first call) and reads
    // the next piece only as far as the kernel's caches hold the path and
    // the bytes. False when any of it would wait on the disk; ReadNext then
    // does what is left.
    bool ReadNow();

private:
    int Open(bool cachedOnly);
    int ReadPiece(int flags);

public:

    std::string Path;
    int Fd = -1;
    std::int64_t FileSize = 0;  // when opened
    std::int64_t Read = 0;      // bytes read so far
    std::string Bytes;          // the piece last read
    bool Ended = false;         // the file ended within that piece
};

struct TPop3Connection::TMessageReply {
    std::shared_ptr<TMessageFile> File;
    bool Top = false;
    std::int64_t Listed = -1;  // the size the listing gave
    std::string Head;          // the status line; leaves with the first piece
    bool Started = false;      // the first piece has been handled
    bool Reading = false;      // a worker reads the next piece
    bool Ready = false;        // a piece has been read and waits to be sent
    int Error = 0;             // of the read that made it
    TRetrText Text;
    std::string Out;  // a piece's text; kept for the next piece
};

TPop3Connection::TPop3Connection(TPop3Server* server)
    : ID(NewObjectIdentity()),
      LastActivity(platform::Now()),
      FRegistration(this, ID),
      FServer(server),
      FSocket(std::make_unique<TWSocket>()),
      FFlow(*FSocket, [this] { ProcessReceived(); }),
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
    if (producing && FReply && FReply->Ready && Connected()) SendPiece();
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
    if (FState != TPop3State::Transaction) {
        Reply("+OK Signing Off");
        Log("NOT Updated", 4);
        CloseWhenSent();
        return;
    }
    std::vector<std::string> marked;
    for (const auto& e : FMailbox->Entries)
        if (e->Deleted) marked.push_back(e->FileName);
    if (marked.empty()) {
        QuitDone(0, 0);
        return;
    }
    // Unlinking thousands of files, and flushing the folder, can take the
    // disk seconds: the workers do it while the session holds, and the
    // mailbox stays locked until it is done, whatever becomes of the session.
    static_assert(sizeof(std::intptr_t) >= 8, "a deletion's two counts travel in one result");
    FQuitMarked = static_cast<std::int32_t>(marked.size());
    FFlow.Hold(TSessionFlow::Work);
    FWorkTicket = FServer->StartFileWork(
        [folder = FMailbox->Folder, names = std::move(marked)] {
            const datau1::MailboxDeletion d = datau1::deleteMailboxFiles(folder, names);
            return static_cast<std::intptr_t>(d.kept) << 32 | d.deleted;
        },
        FUserName);
}

void TPop3Connection::QuitDone(std::int32_t deleted, std::int32_t kept) {
    if (kept > 0) {
        // A client that took +OK would forget messages that are still here
        // and download them again at its next visit.
        Reply("-ERR some deleted messages not removed");
        Log("Not Updated: " + std::to_string(kept) + " of " + std::to_string(FQuitMarked) +
                " deleted messages not removed",
            3);
    } else {
        Reply("+OK " + std::to_string(deleted) + " Messages Deleted.  Bye.");
        Log("Updated", 4);
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
// The answer is made a piece at a time. Each piece is read from the caches
// when they hold it, else on the workers: the first when the command comes,
// each further one while the piece before it drains, and it is sent once that
// piece has left the send queue.
// Meanwhile the session holds, so commands sent behind RETR wait and are
// answered after the message, and a session never keeps more than a piece,
// the piece read ahead and its output bound.

int TPop3Connection::TMessageFile::Open(bool cachedOnly) {
    if (cachedOnly) {
        open_how how {};
        how.flags = O_RDONLY | O_CLOEXEC;
        how.resolve = RESOLVE_CACHED;
        Fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, Path.c_str(), &how, sizeof how));
    } else {
        Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (Fd < 0) return errno ? errno : EIO;
    struct stat st {};
    int error = 0;
    if (::fstat(Fd, &st) != 0)
        error = errno ? errno : EIO;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    if (error != 0) {
        ::close(Fd);
        Fd = -1;
        return error;
    }
    FileSize = st.st_size;
    return 0;
}

int TPop3Connection::TMessageFile::ReadPiece(int flags) {
    // The rest of the file and one byte more when that fits a piece: a file
    // as large as it was when opened then ends with this read, and the read
    // coming back short of the extra byte shows there is nothing after it.
    const std::int64_t rest = FileSize - Read;
    const std::size_t want = rest >= 0 && rest < static_cast<std::int64_t>(Pop3MessagePiece)
                                 ? static_cast<std::size_t>(rest) + 1
                                 : Pop3MessagePiece;
    Bytes.resize(want);
    std::size_t got = 0;
    Ended = false;
    // A read may give less than asked for without having met the end (an
    // interrupted read, a file system's own limit): only a read of nothing,
    // or the size the file had reached and nothing beyond it, is its end.
    while (got < want) {
        iovec part{Bytes.data() + got, want - got};
        const ssize_t n = ::preadv2(Fd, &part, 1, static_cast<off_t>(Read), flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) {
            Ended = true;
            break;
        }
        got += static_cast<std::size_t>(n);
        Read += n;
        if (Read == FileSize && got < want) {
            Ended = true;
            break;
        }
    }
    Bytes.resize(got);
    return 0;
}

int TPop3Connection::TMessageFile::ReadNext() {
    if (Fd < 0) {
        const int error = Open(false);
        if (error != 0) return error;
    }
    return ReadPiece(0);
}

bool TPop3Connection::TMessageFile::ReadNow() {
    // A kernel without these flags refuses them (ENOSYS, EINVAL, EOPNOTSUPP):
    // the workers then read every piece.
    if (Fd < 0 && Open(true) != 0) return false;
    const std::int64_t start = Read;
    if (ReadPiece(RWF_NOWAIT) == 0) return true;
    Read = start;
    return false;
}

void TPop3Connection::StartMessageReply(const TMailboxEntry& entry, std::string head, std::int64_t topLines, bool top) {
    auto reply = std::make_unique<TMessageReply>();
    reply->File = std::make_shared<TMessageFile>();
    reply->File->Path = FMailbox->Folder + entry.FileName;
    reply->Top = top;
    reply->Listed = entry.Size;
    reply->Head = std::move(head);
    if (top) reply->Text = TRetrText::Top(topLines);
    FReply = std::move(reply);
    ReadNextPiece();
}

void TPop3Connection::ReadNextPiece() {
    // What the caches hold is taken at once, without a round trip to a
    // worker (a message delivered or read moments ago, the pages the kernel
    // reads ahead). The first piece is sent now; a later one when the piece
    // before has left, in a later step, as one read on a worker would be.
    if (FReply->File->ReadNow()) {
        FReply->Ready = true;
        if (!FReply->Started) SendPiece();
        return;
    }
    FReply->Reading = true;
    FFlow.Hold(TSessionFlow::Producing);
    FFlow.Hold(TSessionFlow::Work);
    FWorkTicket = FServer->StartFileWork([file = FReply->File] { return static_cast<std::intptr_t>(file->ReadNext()); });
}

void TPop3Connection::SendPiece() {
    TMessageReply& r = *FReply;
    r.Ready = false;
    if (r.Error != 0) {
        if (!r.Started) {
            // A "." here would hand the client an empty message as if it were
            // whole, and the client would then delete the real one. Closing
            // leaves the mailbox as it is (nothing is deleted without QUIT).
            FSocket->SendStr(r.Head);
        }
        AbandonMessageReply("Message File Unreadable, Closing Connection");
        return;
    }
    // The whole first piece goes to the socket in one send, status line
    // included: one send per line would cost a system call for every line.
    std::string out = std::move(r.Out);
    out.clear();
    if (!r.Started) out = std::move(r.Head);
    r.Started = true;
    const TMessageFile& file = *r.File;
    out.reserve(out.size() + file.Bytes.size() + file.Bytes.size() / 16 + 8);
    if (r.Text.Add(file.Bytes, out)) {
        if (!file.Ended) {
            FFlow.Hold(TSessionFlow::Producing);
            FSocket->SendStr(out);
            r.Out = std::move(out);
            ReadNextPiece();
            return;
        }
        // A file that ends before the size it was listed with has been cut
        // (by hand, or the disk) since: what the client got is not the message.
        if (file.Read < (r.Listed >= 0 ? r.Listed : file.FileSize)) {
            AbandonMessageReply("Message File Cut Short, Closing Connection");
            return;
        }
        r.Text.End(out);
    }
    EndMessageReply(out);
}

void TPop3Connection::AbandonMessageReply(const char* logText) {
    FReply.reset();
    Log(logText, 3);
    Disconnect();
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
    // A message of one piece taken from the caches is answered within its
    // command, and the lines behind it are handled as usual. Otherwise the
    // commands that waited behind the message are answered now, unless its
    // last piece left the output above the bound.
    if (!FFlow.Holds(TSessionFlow::Producing)) return;
    FFlow.AfterCommand();
    FFlow.Release(TSessionFlow::Producing, [this] { ProcessReceived(); });
}

void TPop3Connection::FileWorkDone(std::intptr_t result) {
    FWorkTicket = 0;
    if (FQuitMarked >= 0) {
        QuitDone(static_cast<std::int32_t>(result & 0x7fffffff), static_cast<std::int32_t>(result >> 32));
        FFlow.Release(TSessionFlow::Work, [] {});
        return;
    }
    if (!FReply || !FReply->Reading) return;
    FReply->Reading = false;
    FReply->Ready = true;
    FReply->Error = static_cast<int>(result);
    FFlow.Release(TSessionFlow::Work, [this] { ProcessReceived(); });
    if (!Connected()) return;
    // A piece read ahead waits until the one before has left.
    if (!FReply->Started || FSocket->AllSent()) SendPiece();
}

void TPop3Connection::CmdRetr(const std::string& arg) {
    if (arg.empty()) {
        Reply("-ERR No Message Specified");
        Log("No Message Specified", 5);
        return;
    }
    TMailboxEntry* e = EntryForArgument(arg, "No Such Message");
    if (!e) return;
    Log("Message: " + std::to_string(e->Size) + " octets", 6);
    StartMessageReply(*e, "+OK " + std::to_string(e->Size) + " octets\r\n", 0, false);
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
    StartMessageReply(*e, "+OK\r\n", count, true);
}
