// The mail-exchanger query: asks one DNS server over UDP for the MX records of
// a domain and reports the parsed reply through OnRequestDone. The last
// accepted reply's header, first question and answers are kept in fixed
// tables (50 answers, 50 MX, 50 A, 10 PTR slots).
//
// Contract:
//  - MXLookup sends one query and returns its ID at once; there is no time-out
//    and no retry here: the caller guards the wait with its own timer.
//    Failures to resolve the server, to open the socket or to send, and a
//    domain that cannot be encoded as a DNS name, raise ESocketException out
//    of MXLookup.
//  - Each MXLookup drops the socket's earlier exchange, so a late reply to an
//    earlier query no longer arrives. The reply ID is stored, not compared:
//    the caller recognises its own answer by the ID that MXLookup returned.
//  - Only datagrams from the server's address and port are looked at.
//  - A reply that is rejected (shorter than the header, QR clear, or
//    malformed anywhere: a name, record or pointer reaching past the bytes
//    received, a compression pointer chain that does not end) fires no event
//    and leaves the stored tables as they were.
//  - An accepted reply replaces the counts; slots beyond the new counts keep
//    what earlier replies stored. OnRequestDone(0) follows.
//  - A socket error delivered with the data notification fires
//    OnRequestDone(error) and changes nothing stored.
//  - Handlers may call MXLookup again from inside OnRequestDone. The query
//    must not be destroyed inside its own event (its owner posts instead).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sockets/WSocket.h"

class TDnsQuery;

using TDnsRequestDoneEvent = std::function<void(TDnsQuery* Sender, std::uint16_t Error)>;

class TDnsQuery {
public:
    static constexpr int MaxAnswers = 50;
    static constexpr int MaxMX = 50;
    static constexpr int MaxAddresses = 50;
    static constexpr int MaxHostnames = 10;
    static constexpr int QueryBufferSize = 514;
    static constexpr int ReplyBufferSize = 512;

    using TDnsAnswerNameArray = std::array<std::string, MaxAnswers>;
    using TDnsMXExchangeArray = std::array<std::string, MaxMX>;
    using TDnsHostnameArray = std::array<std::string, MaxHostnames>;

    TDnsQuery();
    virtual ~TDnsQuery();
    TDnsQuery(const TDnsQuery&) = delete;
    TDnsQuery& operator=(const TDnsQuery&) = delete;

    // The server: Port "53" from the constructor; Addr is set by the caller.
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value) { FPort = Value; }
    const std::string& Addr() const { return FAddr; }
    void SetAddr(const std::string& Value) { FAddr = Value; }

    // Builds and sends an MX query for the domain; returns its query ID.
    std::uint16_t MXLookup(const std::string& Domain);

    // MX pair of slot i for i in 0..49; 0 and "" for any other i.
    int GetMXPreference(int I) const;
    std::string GetMXExchange(int I) const;
    const std::uint8_t* GetReplyBuffer() const { return FReplyBuffer.data(); }

    // The query being (or last) sent.
    std::uint16_t QueryID() const { return FQueryID; }
    const std::uint8_t* QueryBuffer() const { return FQueryBuffer.data(); }
    int QueryLength() const { return FQueryLength; }

    // The last accepted reply. ReplyLength is -1 while a query is outstanding.
    int ReplyLength() const { return FReplyLength; }
    int ReplyID() const { return FReplyID; }
    int ResponseCode() const { return FResponseCode; }
    int OpCode() const { return FOpCode; }
    bool AuthoritativeAnswer() const { return FAuthoritativeAnswer; }
    bool Truncation() const { return FTruncation; }
    bool RecursionAvailable() const { return FRecursionAvailable; }
    int QuestionCount() const { return FQuestionCount; }
    int AnswerCount() const { return FAnswerCount; }
    int NameServerCount() const { return FNameServerCount; }
    int AdditionalCount() const { return FAdditionalCount; }
    int QuestionType() const { return FQuestionType; }
    int QuestionClass() const { return FQuestionClass; }
    const std::string& QuestionName() const { return FQuestionName; }
    const TDnsAnswerNameArray& AnswerName() const { return FTables.AnswerName; }
    const std::array<int, MaxAnswers>& AnswerType() const { return FTables.AnswerType; }
    const std::array<int, MaxAnswers>& AnswerClass() const { return FTables.AnswerClass; }
    const std::array<std::uint32_t, MaxAnswers>& AnswerTTL() const { return FTables.AnswerTTL; }
    const std::array<int, MaxAnswers>& AnswerTag() const { return FTables.AnswerTag; }
    int MXCount() const { return FTables.MXCount; }
    const std::array<int, MaxMX>& MXPreference() const { return FTables.MXPreference; }
    const TDnsMXExchangeArray& MXExchange() const { return FTables.MXExchange; }
    int AddressCount() const { return FTables.AddressCount; }
    // Each A answer's 4 data bytes, in network byte order.
    const std::array<std::uint32_t, MaxAddresses>& Address() const { return FTables.Address; }
    int HostnameCount() const { return FTables.HostnameCount; }
    const TDnsHostnameArray& Hostname() const { return FTables.Hostname; }
    const std::array<std::uint8_t, 16>& LocData() const { return FTables.LocData; }

    // Takes in one received datagram as the socket's data handler does after
    // its receive; for replies crafted in tests as well. Returns true when the
    // reply was accepted (and OnRequestDone fired).
    bool TakeReply(const std::uint8_t* Data, int Len);

    TDnsRequestDoneEvent OnRequestDone;

    // The socket, for tests and traces; owned.
    TWSocket* Socket() const { return FSocket.get(); }

protected:
    virtual void WriteQueryHeader();
    // Raises ESocketException for a domain that is no DNS name (a label of
    // more than 63 bytes, an empty label inside, more than 255 bytes in all).
    virtual void WriteQuestion(const std::string& Domain);
    virtual void ParseReply(TCustomWSocket* Sender, std::uint16_t Error);
    virtual void FireRequestDone(std::uint16_t Error);

private:
    struct TAnswerTables {
        TDnsAnswerNameArray AnswerName;
        std::array<int, MaxAnswers> AnswerType{};
        std::array<int, MaxAnswers> AnswerClass{};
        std::array<std::uint32_t, MaxAnswers> AnswerTTL{};
        std::array<int, MaxAnswers> AnswerTag{};
        int MXCount = 0;
        std::array<int, MaxMX> MXPreference{};
        TDnsMXExchangeArray MXExchange;
        int AddressCount = 0;
        std::array<std::uint32_t, MaxAddresses> Address{};
        int HostnameCount = 0;
        TDnsHostnameArray Hostname;
        std::array<std::uint8_t, 16> LocData{};
    };

    void SendQuery();

    std::unique_ptr<TWSocket> FSocket;
    std::string FPort = "53";
    std::string FAddr;
    std::uint32_t FServerAddress = 0;  // network order, of the query in hand
    std::uint16_t FServerPort = 0;     // network order
    std::uint16_t FQueryID = 0;
    std::array<std::uint8_t, QueryBufferSize> FQueryBuffer{};
    int FQueryLength = 0;
    std::array<std::uint8_t, ReplyBufferSize> FReplyBuffer{};
    int FReplyLength = 0;
    int FReplyID = 0;
    int FResponseCode = 0;
    int FOpCode = 0;
    bool FAuthoritativeAnswer = false;
    bool FTruncation = false;
    bool FRecursionAvailable = false;
    int FQuestionCount = 0;
    int FAnswerCount = 0;
    int FNameServerCount = 0;
    int FAdditionalCount = 0;
    int FQuestionType = 0;
    int FQuestionClass = 0;
    std::string FQuestionName;
    TAnswerTables FTables;
};
