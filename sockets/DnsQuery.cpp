#include "sockets/DnsQuery.h"

#include <cstring>

namespace {

constexpr int HeaderSize = 12;
constexpr std::uint16_t TypeA = 1;
constexpr std::uint16_t TypePTR = 12;
constexpr std::uint16_t TypeMX = 15;
constexpr std::uint16_t TypeLOC = 29;
constexpr std::uint16_t ClassIN = 1;

// Names on the wire hold at most 255 bytes; a chain of pointers can visit at
// most as many labels as fit in that, so this many hops means a loop.
constexpr int MaxNameOctets = 255;
constexpr int MaxPointerHops = 128;

std::uint16_t Word(const std::uint8_t* P) {
    return static_cast<std::uint16_t>((P[0] << 8) | P[1]);
}

std::uint32_t DWord(const std::uint8_t* P) {
    return (static_cast<std::uint32_t>(P[0]) << 24) | (static_cast<std::uint32_t>(P[1]) << 16) |
           (static_cast<std::uint32_t>(P[2]) << 8) | P[3];
}

void PutWord(std::uint8_t* P, std::uint16_t V) {
    P[0] = static_cast<std::uint8_t>(V >> 8);
    P[1] = static_cast<std::uint8_t>(V & 0xFF);
}

// Reads the name at Pos within the Len bytes of Buf. On success Pos moves past
// the name as it stands there (past the first pointer when there is one).
// Fails for anything that reaches past Len, a pointer chain that loops, or a
// name longer than DNS allows.
bool DecodeName(const std::uint8_t* Buf, int Len, int& Pos, std::string& Name) {
    Name.clear();
    int Cur = Pos;
    int End = -1;  // where the caller goes on: fixed by the first pointer or the end
    int Octets = 0;
    int Hops = 0;
    for (;;) {
        if (Cur < 0 || Cur >= Len) return false;
        const std::uint8_t B = Buf[Cur];
        if (B == 0) {
            if (End < 0) End = Cur + 1;
            break;
        }
        if ((B & 0xC0) == 0xC0) {
            if (Cur + 1 >= Len) return false;
            const int Target = ((B & 0x3F) << 8) | Buf[Cur + 1];
            if (End < 0) End = Cur + 2;
            if (++Hops > MaxPointerHops) return false;
            Cur = Target;
            continue;
        }
        // Any other value is a label length, 64..191 included.
        const int L = B;
        if (Cur + 1 + L > Len) return false;
        Octets += L + 1;
        if (Octets > MaxNameOctets) return false;
        if (!Name.empty()) Name += '.';
        Name.append(reinterpret_cast<const char*>(Buf + Cur + 1), static_cast<std::size_t>(L));
        Cur += 1 + L;
    }
    Pos = End;
    return true;
}

}  // namespace

TDnsQuery::TDnsQuery() : FSocket(std::make_unique<TWSocket>()) {}

TDnsQuery::~TDnsQuery() {
    if (FSocket) {
        // The socket's own close on destruction must not call back into us.
        FSocket->OnDataAvailable = nullptr;
        FSocket->OnChangeState = nullptr;
    }
}

int TDnsQuery::GetMXPreference(int I) const {
    if (I < 0 || I >= MaxMX) return 0;
    return FTables.MXPreference[static_cast<std::size_t>(I)];
}

std::string TDnsQuery::GetMXExchange(int I) const {
    if (I < 0 || I >= MaxMX) return {};
    return FTables.MXExchange[static_cast<std::size_t>(I)];
}

std::uint16_t TDnsQuery::MXLookup(const std::string& Domain) {
    ++FQueryID;  // std::uint16_t: 65535 wraps to 0
    WriteQueryHeader();
    WriteQuestion(Domain);
    SendQuery();
    return FQueryID;
}

void TDnsQuery::WriteQueryHeader() {
    std::memset(FQueryBuffer.data(), 0, HeaderSize);
    PutWord(&FQueryBuffer[0], FQueryID);
    PutWord(&FQueryBuffer[2], 0x0100);  // standard query, recursion desired
    PutWord(&FQueryBuffer[4], 1);       // QDCOUNT
}

void TDnsQuery::WriteQuestion(const std::string& Domain) {
    // Encode into a scratch area first: a name that is no DNS name is refused
    // whole and the buffer never holds a part of it.
    std::array<std::uint8_t, MaxNameOctets + 1> Name{};
    int N = 0;
    std::string Text = Domain;
    if (!Text.empty() && Text.back() == '.') Text.pop_back();  // a trailing "." adds nothing
    if (!Text.empty()) {
        std::size_t Start = 0;
        for (;;) {
            std::size_t Dot = Text.find('.', Start);
            if (Dot == std::string::npos) Dot = Text.size();
            const std::size_t L = Dot - Start;
            if (L == 0 || L > 63 || N + 1 + static_cast<int>(L) + 1 > MaxNameOctets)
                throw ESocketException("MXLookup: invalid domain name '" + Domain + "'.");
            Name[static_cast<std::size_t>(N++)] = static_cast<std::uint8_t>(L);
            std::memcpy(&Name[static_cast<std::size_t>(N)], Text.data() + Start, L);
            N += static_cast<int>(L);
            if (Dot == Text.size()) break;
            Start = Dot + 1;
        }
    }
    Name[static_cast<std::size_t>(N++)] = 0;

    std::uint8_t* P = FQueryBuffer.data() + HeaderSize;
    std::memcpy(P, Name.data(), static_cast<std::size_t>(N));
    PutWord(P + N, TypeMX);
    PutWord(P + N + 2, ClassIN);
    FQueryLength = HeaderSize + N + 4;
}

void TDnsQuery::SendQuery() {
    FReplyLength = -1;
    FSocket->OnDataAvailable = nullptr;
    FSocket->Abort();
    FSocket->OnDataAvailable = [this](TCustomWSocket* Sender, std::uint16_t Error) { ParseReply(Sender, Error); };
    FSocket->SetProto("udp");
    FSocket->SetPort(FPort);
    FSocket->SetAddr(FAddr);
    FSocket->Connect();
    // The socket is not bound to the server's address for receiving, so the
    // reply's source is checked here: a datagram from anyone else is no reply.
    FServerAddress = WSocketResolveHost(FAddr);
    FServerPort = WSocket_htons(WSocketResolvePort(FPort, "udp"));
    FSocket->Send(FQueryBuffer.data(), FQueryLength);
}

void TDnsQuery::ParseReply(TCustomWSocket* /*Sender*/, std::uint16_t Error) {
    sockaddr_in From{};
    int FromLen = sizeof From;
    const int N = FSocket->ReceiveDatagram(FReplyBuffer.data(), ReplyBufferSize, From, FromLen);
    if (Error != 0) {
        FireRequestDone(Error);
        return;
    }
    if (N < HeaderSize) return;
    if (From.sin_addr.s_addr != FServerAddress || From.sin_port != FServerPort) return;
    TakeReply(FReplyBuffer.data(), N);
}

bool TDnsQuery::TakeReply(const std::uint8_t* Data, int Len) {
    if (Len > ReplyBufferSize) Len = ReplyBufferSize;
    if (Len < HeaderSize) return false;
    if (Data != FReplyBuffer.data()) std::memmove(FReplyBuffer.data(), Data, static_cast<std::size_t>(Len));
    const std::uint8_t* B = FReplyBuffer.data();

    const std::uint16_t Flags = Word(B + 2);
    if ((Flags & 0x8000) == 0) return false;

    const int QdCount = Word(B + 4);
    const int AnCount = Word(B + 6);

    // Everything is parsed aside and stored only when the whole reply holds
    // together, so a malformed datagram leaves the last good reply in place.
    int Pos = HeaderSize;
    std::string QName;
    int QType = 0;
    int QClass = 0;
    for (int Q = 0; Q < QdCount; ++Q) {
        std::string Name;
        if (!DecodeName(B, Len, Pos, Name) || Pos + 4 > Len) return false;
        if (Q == 0) {
            QName = std::move(Name);
            QType = Word(B + Pos);
            QClass = Word(B + Pos + 2);
        }
        Pos += 4;
    }

    TAnswerTables T = FTables;  // slots beyond the new counts keep their values
    T.MXCount = 0;
    T.AddressCount = 0;
    T.HostnameCount = 0;
    for (int I = 0; I < AnCount; ++I) {
        std::string Name;
        if (!DecodeName(B, Len, Pos, Name) || Pos + 10 > Len) return false;
        const int Type = Word(B + Pos);
        const int Class = Word(B + Pos + 2);
        const std::uint32_t TTL = DWord(B + Pos + 4);
        const int DataLen = Word(B + Pos + 8);
        const int Data0 = Pos + 10;
        if (Data0 + DataLen > Len) return false;

        int Tag = -1;
        switch (Type) {
        case TypeA:
            if (DataLen < 4) return false;
            if (T.AddressCount < MaxAddresses) {
                Tag = T.AddressCount++;
                std::uint32_t A;
                std::memcpy(&A, B + Data0, 4);  // kept in network order
                T.Address[static_cast<std::size_t>(Tag)] = A;
            }
            break;
        case TypePTR: {
            int P = Data0;
            std::string Host;
            if (!DecodeName(B, Len, P, Host)) return false;
            if (T.HostnameCount < MaxHostnames) {
                Tag = T.HostnameCount++;
                T.Hostname[static_cast<std::size_t>(Tag)] = std::move(Host);
            }
            break;
        }
        case TypeMX: {
            if (DataLen < 3) return false;
            int P = Data0 + 2;
            std::string Exchange;
            if (!DecodeName(B, Len, P, Exchange)) return false;
            if (T.MXCount < MaxMX) {
                Tag = T.MXCount++;
                T.MXPreference[static_cast<std::size_t>(Tag)] = Word(B + Data0);
                T.MXExchange[static_cast<std::size_t>(Tag)] = std::move(Exchange);
            }
            break;
        }
        case TypeLOC:
            if (DataLen == 16)
                std::memcpy(T.LocData.data(), B + Data0, 16);
            else
                T.LocData.fill(0);
            break;
        default:
            break;
        }

        // Answers past the 50th are walked (and checked) but not listed.
        if (I < MaxAnswers) {
            const auto S = static_cast<std::size_t>(I);
            T.AnswerName[S] = std::move(Name);
            T.AnswerType[S] = Type;
            T.AnswerClass[S] = Class;
            T.AnswerTTL[S] = TTL;
            T.AnswerTag[S] = Tag;
        }
        Pos = Data0 + DataLen;
    }

    FReplyLength = Len;
    FReplyID = Word(B);
    FResponseCode = Flags & 15;
    FOpCode = (Flags >> 11) & 15;
    FAuthoritativeAnswer = (Flags & 0x0400) != 0;
    FTruncation = (Flags & 0x0200) != 0;
    FRecursionAvailable = (Flags & 0x0080) != 0;
    FQuestionCount = QdCount;
    FAnswerCount = AnCount;
    FNameServerCount = Word(B + 8);
    FAdditionalCount = Word(B + 10);
    FQuestionName = std::move(QName);
    FQuestionType = QType;
    FQuestionClass = QClass;
    FTables = std::move(T);

    FireRequestDone(0);
    return true;
}

void TDnsQuery::FireRequestDone(std::uint16_t Error) {
    if (OnRequestDone) OnRequestDone(this, Error);
}
