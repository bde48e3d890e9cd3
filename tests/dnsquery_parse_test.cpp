// Reply parsing of the MX query, fed with replies built byte by byte.
#include <gtest/gtest.h>

#include <cstring>

#include "sockets/DnsQuery.h"
#include "support/Peers.h"

using namespace testpeers;

namespace {

struct Probe {
    TDnsQuery Q;
    int Events = 0;
    int LastError = -1;
    Probe() {
        Q.OnRequestDone = [this](TDnsQuery*, std::uint16_t E) {
            ++Events;
            LastError = E;
        };
    }
    bool take(const Bytes& B) { return Q.TakeReply(B.data(), static_cast<int>(B.size())); }
};

Bytes question(DnsMessage& M, const std::string& Name = "example.com") {
    Bytes N = encodeName(Name);
    M.question(N);
    return N;
}

// A reply for example.com whose answers are the given MX pairs, the exchange
// names written in full.
Bytes mxReply(const std::vector<std::pair<int, std::string>>& Mx, std::uint16_t Id = 1) {
    DnsMessage M(Id);
    question(M);
    for (const auto& [Pref, Name] : Mx) M.mx(pointerTo(12), static_cast<std::uint16_t>(Pref), encodeName(Name));
    return M.bytes();
}

}  // namespace

// --- replies that are refused without an event ----------------------------

struct RejectCase {
    const char* Name;
    std::function<Bytes()> Build;
};

class DnsQueryRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(DnsQueryRejects, FiresNothingAndKeepsTheLastReply) {
    Probe P;
    ASSERT_TRUE(P.take(mxReply({{10, "keep.example.com"}}, 7)));
    ASSERT_EQ(P.Events, 1);

    const Bytes Bad = GetParam().Build();
    EXPECT_FALSE(P.take(Bad));
    EXPECT_EQ(P.Events, 1);
    EXPECT_EQ(P.Q.ReplyID(), 7);
    EXPECT_EQ(P.Q.AnswerCount(), 1);
    EXPECT_EQ(P.Q.MXCount(), 1);
    EXPECT_EQ(P.Q.GetMXExchange(0), "keep.example.com");
    EXPECT_EQ(P.Q.QuestionName(), "example.com");
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, DnsQueryRejects,
    ::testing::Values(
        RejectCase{"TenBytes", [] { return Bytes(10, 0x80); }},
        RejectCase{"QrClear",
                   [] {
                       DnsMessage M(1, 0x0100);
                       question(M);
                       return M.bytes();
                   }},
        RejectCase{"QuestionCutShort",
                   [] {
                       Bytes B = DnsMessage(1).counts(1, 0).bytes();
                       Bytes N = encodeName("example.com");
                       B.insert(B.end(), N.begin(), N.begin() + 5);
                       return B;
                   }},
        RejectCase{"QuestionWithoutTypeAndClass",
                   [] {
                       Bytes B = DnsMessage(1).counts(1, 0).bytes();
                       Bytes N = encodeName("example.com");
                       B.insert(B.end(), N.begin(), N.end());
                       B.push_back(0);
                       return B;
                   }},
        RejectCase{"PointerToItself",
                   [] {
                       DnsMessage M(1);
                       M.question(pointerTo(12));
                       return M.bytes();
                   }},
        RejectCase{"PointerLoopOfTwo",
                   [] {
                       // name at 12: label "a", pointer to 16; at 16: label "b", pointer to 12
                       Bytes B = DnsMessage(1).counts(1, 0).bytes();
                       Bytes Body{1, 'a', 0xC0, 16, 1, 'b', 0xC0, 12, 0, 15, 0, 1};
                       B.insert(B.end(), Body.begin(), Body.end());
                       return B;
                   }},
        RejectCase{"PointerPastTheEnd",
                   [] {
                       DnsMessage M(1);
                       question(M);
                       M.mx(pointerTo(12), 10, pointerTo(400));
                       return M.bytes();
                   }},
        RejectCase{"PointerCutInHalf",
                   [] {
                       Bytes B = DnsMessage(1).counts(1, 0).bytes();
                       B.push_back(0xC0);
                       return B;
                   }},
        RejectCase{"LabelPastTheEnd",
                   [] {
                       Bytes B = DnsMessage(1).counts(1, 0).bytes();
                       Bytes Body{60, 'a', 'b', 'c'};
                       B.insert(B.end(), Body.begin(), Body.end());
                       return B;
                   }},
        RejectCase{"FewerAnswersThanCounted",
                   [] {
                       DnsMessage M(1);
                       question(M);
                       M.mx(pointerTo(12), 10, encodeName("a.example.com"));
                       M.counts(1, 2);
                       return M.bytes();
                   }},
        RejectCase{"SixtyAnswersInOneDatagram",
                   [] {
                       // As many minimal answers as 512 bytes hold, counted as 60.
                       DnsMessage M(1);
                       question(M);
                       while (M.size() + 11 <= 512) M.record(Bytes{0}, 16, Bytes{});
                       M.counts(1, 60);
                       return M.bytes();
                   }},
        RejectCase{"DataLengthPastTheEnd",
                   [] {
                       DnsMessage M(1);
                       question(M);
                       M.mx(pointerTo(12), 10, encodeName("a.example.com"));
                       Bytes B = M.bytes();
                       B[B.size() - 19] = 0x01;  // data length high byte: 256 more than there is
                       return B;
                   }},
        RejectCase{"RecordHeaderCutShort",
                   [] {
                       DnsMessage M(1);
                       question(M);
                       M.counts(1, 1);
                       Bytes B = M.bytes();
                       Bytes Part{0xC0, 12, 0, 15, 0, 1, 0};
                       B.insert(B.end(), Part.begin(), Part.end());
                       return B;
                   }},
        RejectCase{"MxDataTooShortForItsName",
                   [] {
                       DnsMessage M(1);
                       question(M);
                       M.record(pointerTo(12), 15, Bytes{0, 10});
                       return M.bytes();
                   }},
        RejectCase{"AddressDataTooShort",
                   [] {
                       DnsMessage M(1);
                       question(M);
                       M.record(pointerTo(12), 1, Bytes{127, 0});
                       return M.bytes();
                   }},
        RejectCase{"NameLongerThanDnsAllows",
                   [] {
                       // Eight 40-byte labels chained by pointers back to the start
                       // would decode without end; here they simply exceed 255.
                       Bytes B = DnsMessage(1).counts(1, 0).bytes();
                       for (int I = 0; I < 8; ++I) {
                           B.push_back(40);
                           for (int J = 0; J < 40; ++J) B.push_back('x');
                       }
                       B.push_back(0);
                       putWord(B, 15);
                       putWord(B, 1);
                       return B;
                   }}),
    [](const ::testing::TestParamInfo<RejectCase>& I) { return std::string(I.param.Name); });

// --- replies that are taken -----------------------------------------------

TEST(DnsQueryParse, HeaderOnlyReplyFiresWithEmptyTables) {
    Probe P;
    Bytes B = DnsMessage(0x1234, 0x8000).bytes();
    ASSERT_TRUE(P.take(B));
    EXPECT_EQ(P.Events, 1);
    EXPECT_EQ(P.LastError, 0);
    EXPECT_EQ(P.Q.ReplyLength(), 12);
    EXPECT_EQ(P.Q.ReplyID(), 0x1234);
    EXPECT_EQ(P.Q.AnswerCount(), 0);
    EXPECT_EQ(P.Q.QuestionName(), "");
    EXPECT_EQ(P.Q.QuestionType(), 0);
    EXPECT_EQ(P.Q.QuestionClass(), 0);
    EXPECT_EQ(P.Q.MXCount(), 0);
    EXPECT_EQ(P.Q.AddressCount(), 0);
    EXPECT_EQ(P.Q.HostnameCount(), 0);
}

TEST(DnsQueryParse, HeaderFlagsAndCounts) {
    Probe P;
    // QR, opcode 2, AA, TC, RD, RA, rcode 3; NS 4 and AR 5 are stored but not read.
    DnsMessage M(9, 0x8000 | (2 << 11) | 0x0400 | 0x0200 | 0x0100 | 0x0080 | 3);
    question(M, "nowhere.test");
    M.counts(1, 0, 4, 5);
    ASSERT_TRUE(P.take(M.bytes()));
    EXPECT_EQ(P.Q.OpCode(), 2);
    EXPECT_EQ(P.Q.ResponseCode(), 3);
    EXPECT_TRUE(P.Q.AuthoritativeAnswer());
    EXPECT_TRUE(P.Q.Truncation());
    EXPECT_TRUE(P.Q.RecursionAvailable());
    EXPECT_EQ(P.Q.QuestionCount(), 1);
    EXPECT_EQ(P.Q.NameServerCount(), 4);
    EXPECT_EQ(P.Q.AdditionalCount(), 5);
    EXPECT_EQ(P.Q.QuestionName(), "nowhere.test");
    EXPECT_EQ(P.Q.QuestionType(), 15);
    EXPECT_EQ(P.Q.QuestionClass(), 1);
}

TEST(DnsQueryParse, CnameBeforeTwoMxRecords) {
    Probe P;
    DnsMessage M(1);
    question(M, "alias.example.com");
    M.record(pointerTo(12), 5, encodeName("real.example.com"));
    M.mx(encodeName("real.example.com"), 10, encodeName("a.example.com"));
    M.mx(encodeName("real.example.com"), 20, encodeName("b.example.com"));
    ASSERT_TRUE(P.take(M.bytes()));
    EXPECT_EQ(P.Q.AnswerCount(), 3);
    EXPECT_EQ(P.Q.MXCount(), 2);
    EXPECT_EQ(P.Q.AnswerTag()[0], -1);
    EXPECT_EQ(P.Q.AnswerTag()[1], 0);
    EXPECT_EQ(P.Q.AnswerTag()[2], 1);
    EXPECT_EQ(P.Q.AnswerType()[0], 5);
    EXPECT_EQ(P.Q.AnswerName()[0], "alias.example.com");
    EXPECT_EQ(P.Q.AnswerName()[1], "real.example.com");
    EXPECT_EQ(P.Q.AnswerTTL()[1], 3600u);
    EXPECT_EQ(P.Q.GetMXPreference(0), 10);
    EXPECT_EQ(P.Q.GetMXExchange(0), "a.example.com");
    EXPECT_EQ(P.Q.GetMXPreference(1), 20);
    EXPECT_EQ(P.Q.GetMXExchange(1), "b.example.com");
}

TEST(DnsQueryParse, CompressedExchangeAppendsTheQuestionName) {
    Probe P;
    DnsMessage M(1);
    question(M, "example.com");
    Bytes Exchange{4, 'm', 'a', 'i', 'l'};
    Bytes Ptr = pointerTo(12);
    Exchange.insert(Exchange.end(), Ptr.begin(), Ptr.end());
    M.mx(pointerTo(12), 5, Exchange);
    ASSERT_TRUE(P.take(M.bytes()));
    EXPECT_EQ(P.Q.GetMXExchange(0), "mail.example.com");
    EXPECT_EQ(P.Q.AnswerName()[0], "example.com");
}

TEST(DnsQueryParse, PointerChainThatEndsIsFollowed) {
    Probe P;
    DnsMessage M(1);
    question(M, "example.com");
    // Each answer's exchange is one label plus a pointer to the previous one.
    int Prev = 12;
    for (int I = 0; I < 10; ++I) {
        const int Here = M.size() + 2 + 10 + 2;  // owner pointer, fixed part, preference
        Bytes Ex{1, static_cast<std::uint8_t>('a' + I)};
        Bytes Ptr = pointerTo(Prev);
        Ex.insert(Ex.end(), Ptr.begin(), Ptr.end());
        M.mx(pointerTo(12), static_cast<std::uint16_t>(I), Ex);
        Prev = Here;
    }
    ASSERT_TRUE(P.take(M.bytes()));
    EXPECT_EQ(P.Q.MXCount(), 10);
    EXPECT_EQ(P.Q.GetMXExchange(0), "a.example.com");
    EXPECT_EQ(P.Q.GetMXExchange(9), "j.i.h.g.f.e.d.c.b.a.example.com");
}

TEST(DnsQueryParse, LabelLengthsFrom64To191AreLengths) {
    Probe P;
    Bytes B = DnsMessage(1).counts(1, 0).bytes();
    B.push_back(100);
    for (int I = 0; I < 100; ++I) B.push_back('q');
    B.push_back(0);
    putWord(B, 15);
    putWord(B, 1);
    ASSERT_TRUE(P.take(B));
    EXPECT_EQ(P.Q.QuestionName(), std::string(100, 'q'));
}

TEST(DnsQueryParse, AddressPointerAndLocationAnswers) {
    Probe P;
    DnsMessage M(1);
    question(M, "example.com");
    M.record(pointerTo(12), 1, Bytes{192, 0, 2, 7});
    for (int I = 0; I < 12; ++I) M.record(pointerTo(12), 12, encodeName("h" + std::to_string(I) + ".test"));
    Bytes Loc(16);
    for (int I = 0; I < 16; ++I) Loc[static_cast<std::size_t>(I)] = static_cast<std::uint8_t>(I + 1);
    M.record(pointerTo(12), 29, Loc);
    ASSERT_TRUE(P.take(M.bytes()));
    EXPECT_EQ(P.Q.AnswerCount(), 14);
    EXPECT_EQ(P.Q.AddressCount(), 1);
    std::uint8_t Raw[4];
    std::memcpy(Raw, &P.Q.Address()[0], 4);  // network order: the bytes as they came
    EXPECT_EQ(Raw[0], 192);
    EXPECT_EQ(Raw[3], 7);
    EXPECT_EQ(P.Q.HostnameCount(), 10);
    EXPECT_EQ(P.Q.Hostname()[9], "h9.test");
    EXPECT_EQ(P.Q.AnswerTag()[10], 9);
    EXPECT_EQ(P.Q.AnswerTag()[11], -1);  // the PTR table is full
    EXPECT_EQ(P.Q.AnswerTag()[12], -1);
    EXPECT_EQ(P.Q.AnswerTag()[13], -1);  // LOC has no slot table
    EXPECT_EQ(P.Q.LocData()[0], 1);
    EXPECT_EQ(P.Q.LocData()[15], 16);

    // A LOC answer of another length zeroes the data.
    DnsMessage M2(2);
    question(M2);
    M2.record(pointerTo(12), 29, Bytes{1, 2, 3});
    ASSERT_TRUE(P.take(M2.bytes()));
    EXPECT_EQ(P.Q.LocData()[0], 0);
    EXPECT_EQ(P.Q.LocData()[15], 0);
}

TEST(DnsQueryParse, SlotsBeyondTheNewCountKeepEarlierValues) {
    Probe P;
    ASSERT_TRUE(P.take(mxReply({{10, "a.test"}, {20, "b.test"}, {30, "c.test"}})));
    ASSERT_TRUE(P.take(mxReply({{5, "only.test"}})));
    EXPECT_EQ(P.Q.MXCount(), 1);
    EXPECT_EQ(P.Q.GetMXExchange(0), "only.test");
    EXPECT_EQ(P.Q.GetMXExchange(1), "b.test");
    EXPECT_EQ(P.Q.GetMXPreference(2), 30);
    EXPECT_EQ(P.Events, 2);
}

TEST(DnsQueryParse, OutOfRangeSlotsReadAsEmpty) {
    Probe P;
    ASSERT_TRUE(P.take(mxReply({{10, "a.test"}})));
    EXPECT_EQ(P.Q.GetMXPreference(-1), 0);
    EXPECT_EQ(P.Q.GetMXExchange(-1), "");
    EXPECT_EQ(P.Q.GetMXPreference(50), 0);
    EXPECT_EQ(P.Q.GetMXExchange(50), "");
}

TEST(DnsQueryParse, EverySecondQuestionIsSkippedBeforeTheAnswers) {
    Probe P;
    DnsMessage M(1);
    question(M, "first.test");
    question(M, "second.test");
    M.mx(pointerTo(12), 7, encodeName("mx.first.test"));
    ASSERT_TRUE(P.take(M.bytes()));
    EXPECT_EQ(P.Q.QuestionName(), "first.test");
    EXPECT_EQ(P.Q.MXCount(), 1);
    EXPECT_EQ(P.Q.GetMXExchange(0), "mx.first.test");
}

TEST(DnsQueryParse, DatagramLongerThan512IsCut) {
    Probe P;
    DnsMessage M(1);
    question(M);
    M.mx(pointerTo(12), 1, encodeName("in.test"));
    Bytes B = M.bytes();
    B.resize(700, 0xEE);  // trailing bytes beyond the records are not read
    ASSERT_TRUE(P.take(B));
    EXPECT_EQ(P.Q.ReplyLength(), 512);
    EXPECT_EQ(P.Q.GetMXExchange(0), "in.test");
}
