// Real peers for the DNS and SMTP agent tests, each started by the test on a
// loopback address of its own and stopped with the object:
//  - DnsmasqPeer: a real DNS server with the records the test gives;
//  - UdpResponder: the test's own UDP server on the message loop, answering
//    each query with what the test builds (malformed replies, silence);
//  - SmtpSinkPeer: python3-aiosmtpd storing each message it accepts;
//  - ClosingServer: a TCP server that closes every connection it accepts.
// The waits for a peer to come up are bounded and end as soon as it answers.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testpeers {

// A loopback address for this test process alone: 127.<Net>.x.y with x.y
// drawn from the process id, so test processes run side by side never share
// an address. Net tells apart the roles inside one process.
std::string uniqueLoopback(int Net);

// --- DNS wire helpers -------------------------------------------------------

using Bytes = std::vector<std::uint8_t>;

Bytes encodeName(const std::string& Name);  // labels and the closing zero
Bytes pointerTo(int Offset);                 // a compression pointer
void putWord(Bytes& B, std::uint16_t V);
void putDWord(Bytes& B, std::uint32_t V);

// A DNS message put together field by field. The counts are those of the
// records added unless set explicitly.
class DnsMessage {
public:
    explicit DnsMessage(std::uint16_t Id, std::uint16_t Flags = 0x8180);
    DnsMessage& question(const Bytes& Name, std::uint16_t Type = 15, std::uint16_t Class = 1);
    DnsMessage& record(const Bytes& Owner, std::uint16_t Type, const Bytes& Data, std::uint32_t Ttl = 3600,
                       std::uint16_t Class = 1);
    DnsMessage& mx(const Bytes& Owner, std::uint16_t Preference, const Bytes& Exchange, std::uint32_t Ttl = 3600);
    DnsMessage& counts(int Qd, int An, int Ns = 0, int Ar = 0);
    // Offset the next byte will have (for pointers to what is already there).
    int size() const;
    Bytes bytes() const;

private:
    std::uint16_t Id_, Flags_;
    int Qd_ = 0, An_ = 0, Ns_ = 0, Ar_ = 0;
    bool Fixed_ = false;
    int FQd_ = 0, FAn_ = 0, FNs_ = 0, FAr_ = 0;
    Bytes Body_;
};

// --- peers ------------------------------------------------------------------

// dnsmasq answering from its configuration lines only (no upstream, no hosts
// file), on Address:Port.
class DnsmasqPeer {
public:
    DnsmasqPeer(const std::string& Address, int Port, const std::vector<std::string>& ConfigLines);
    ~DnsmasqPeer();
    DnsmasqPeer(const DnsmasqPeer&) = delete;
    DnsmasqPeer& operator=(const DnsmasqPeer&) = delete;
    bool ready() const { return Ready_; }
    const std::string& log() const { return Log_; }

private:
    testsupport::TempDir Dir_;
    int Pid_ = -1;
    bool Ready_ = false;
    std::string Log_;
};

// A UDP server of the test, served from the message loop: every datagram that
// arrives is handed to Answer, and each datagram it returns is sent back to
// the sender. Answer may return nothing (a server that keeps silent).
class UdpResponder {
public:
    using AnswerFn = std::function<std::vector<Bytes>(const Bytes& Query)>;
    UdpResponder(const std::string& Address, int Port, AnswerFn Answer);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;
    int port() const { return Port_; }  // the bound port (useful with Port 0)
    int queries() const { return Queries_; }
    const Bytes& lastQuery() const { return Last_; }
    // Sends a datagram to the sender of the last query (a late answer).
    void sendToLast(const Bytes& Datagram);

private:
    int Fd_ = -1;
    int Port_ = 0;
    int Queries_ = 0;
    Bytes Last_;
    sockaddr_in LastFrom_{};
    AnswerFn Answer_;
};

// One message as the sink stored it.
struct SinkMessage {
    std::string MailFrom;
    std::vector<std::string> RcptTos;
    std::string Data;  // the message as received, dot-stuffing undone, CR LF line ends
};

// python3-aiosmtpd on Address:Port; RCPT TO for any of the Reject addresses
// is answered "550". Messages are stored in a folder of its own.
class SmtpSinkPeer {
public:
    SmtpSinkPeer(const std::string& Address, int Port, const std::vector<std::string>& Reject = {});
    ~SmtpSinkPeer();
    SmtpSinkPeer(const SmtpSinkPeer&) = delete;
    SmtpSinkPeer& operator=(const SmtpSinkPeer&) = delete;
    bool ready() const { return Ready_; }
    // The messages stored so far, in order of arrival.
    std::vector<SinkMessage> messages() const;
    std::size_t count() const;
    const std::string& address() const { return Address_; }

private:
    testsupport::TempDir Dir_;
    std::string Address_;
    int Pid_ = -1;
    int OutFd_ = -1;
    bool Ready_ = false;
};

// Accepts TCP connections on Address:Port from the message loop and closes
// each at once.
class ClosingServer {
public:
    ClosingServer(const std::string& Address, int Port);
    ~ClosingServer();
    ClosingServer(const ClosingServer&) = delete;
    ClosingServer& operator=(const ClosingServer&) = delete;
    bool ready() const { return Fd_ >= 0; }
    int accepted() const { return Accepted_; }

private:
    int Fd_ = -1;
    int Accepted_ = 0;
};

// A scripted SMTP server of the test on the message loop, one connection at
// a time: Greeting is sent on accept (lines joined by CR LF), then each
// received line gets the next reply of Replies. After a reply that begins with
// "354" the lines up to "." are the message and get no reply of their own.
// With the replies used up, lines get no answer.
class ScriptedSmtpServer {
public:
    ScriptedSmtpServer(const std::string& Address, int Port, std::vector<std::string> Greeting,
                       std::vector<std::string> Replies);
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;
    bool ready() const { return Fd_ >= 0; }
    const std::vector<std::string>& commands() const { return Commands_; }  // received outside the message
    const std::vector<std::string>& message() const { return Message_; }
    int accepted() const { return Accepted_; }
    bool closed() const { return Conn_ < 0 && Accepted_ > 0; }

private:
    void onData();
    void closeConn();
    int Fd_ = -1;
    int Conn_ = -1;
    int Accepted_ = 0;
    bool InData_ = false;
    std::size_t Next_ = 0;
    std::string Buffer_;
    std::vector<std::string> Greeting_, Replies_, Commands_, Message_;
};

}  // namespace testpeers
