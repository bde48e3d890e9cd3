// The message in transit: forward paths through this server, the Received
// line, the header helpers, and the first write of a queue file.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/MailRouting_Message.h"
#include "support/RoutingFixture.h"

using routingtest::RoutingFixture;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class MessageTest : public RoutingFixture {};

std::string goldenPath(const std::string& name) {
    return std::string(TAVRIN_SOURCE_DIR) + "/tests/data/routing/" + name;
}

// --- forward paths ----------------------------------------------------------

struct ForwardCase {
    const char* name;
    const char* text;
    bool added;
    const char* path;  // GetPath of the stored path
};

class AddForwardPathTable : public MessageTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(AddForwardPathTable, StoresThePathLeftAfterThisServer) {
    TSmtpMessageInformation m;
    const ForwardCase& c = GetParam();
    EXPECT_EQ(m.AddForwardPath(c.text), c.added);
    if (!c.added) {
        EXPECT_EQ(m.ForwardPathCount(), 0);
        return;
    }
    ASSERT_EQ(m.ForwardPathCount(), 1);
    EXPECT_EQ(m.ForwardPath(0)->GetPath(), c.path);
    EXPECT_EQ(m.ForwardPath(0)->Kind, rkForwardPath);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddForwardPathTable,
    ::testing::Values(
        ForwardCase{"plain", "<bob@remote.example.org>", true, "<bob@remote.example.org>"},
        ForwardCase{"no_brackets", "bob@remote.example.org", true, "<bob@remote.example.org>"},
        ForwardCase{"two_local_hosts_then_foreign", "<@example.com,@MAIL.example.com,@hop.net,@example.com:x@far.net>",
                    true, "<@hop.net,@example.com:x@far.net>"},
        ForwardCase{"local_hosts_only", "<@example.com,@lists.example.com:x@far.net>", true, "<x@far.net>"},
        ForwardCase{"foreign_first_keeps_all", "<@hop.net,@example.com:x@far.net>", true,
                    "<@hop.net,@example.com:x@far.net>"},
        ForwardCase{"null_path_refused", "<>", false, ""},
        ForwardCase{"no_mailbox_refused", "<postmaster>", false, ""},
        ForwardCase{"unbalanced_refused", "<bob@remote.example.org", false, ""},
        ForwardCase{"bad_literal_refused", "<bob@[1.2.3.4>", false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessageTest, ForwardPathIndexOutsideTheListIsIgnored) {
    TSmtpMessageInformation m;
    ASSERT_TRUE(m.AddForwardPath("<a@x.net>"));
    ASSERT_TRUE(m.AddForwardPath("<b@x.net>"));
    EXPECT_EQ(m.ForwardPath(-1), nullptr);
    EXPECT_EQ(m.ForwardPath(2), nullptr);
    m.DeleteForwardPath(2);
    m.DeleteForwardPath(-1);
    EXPECT_EQ(m.ForwardPathCount(), 2);
    m.DeleteForwardPath(0);
    ASSERT_EQ(m.ForwardPathCount(), 1);
    EXPECT_EQ(m.ForwardPath(0)->GetPath(), "<b@x.net>");
}

TEST_F(MessageTest, ClearResetsEnvelopeLinesAndSessionFacts) {
    TSmtpMessageInformation m;
    m.ReversePath.Parse("<a@x.net>");
    m.AddForwardPath("<b@x.net>");
    m.AddLine("text");
    m.HasLocalRecipient = m.SenderIsLocalUser = m.SenderDomainLocal = true;
    m.SenderDomainAccepted = m.SenderDomainBanned = m.SenderMailboxBanned = true;
    m.RcptCount = 3;
    m.Clear();
    EXPECT_EQ(m.ReversePath.GetPath(), "<>");
    EXPECT_EQ(m.ReversePath.Kind, rkReversePath);
    EXPECT_EQ(m.ForwardPathCount(), 0);
    EXPECT_TRUE(m.Lines.empty());
    EXPECT_FALSE(m.HasLocalRecipient || m.SenderIsLocalUser || m.SenderDomainLocal || m.SenderDomainAccepted ||
                 m.SenderDomainBanned || m.SenderMailboxBanned);
    EXPECT_EQ(m.RcptCount, 0);
}

// --- Received line -----------------------------------------------------------

TEST_F(MessageTest, ReceivedLineNamesTheFirstRouteHostOrTheDomain) {
    struct {
        const char* reverse;
        const char* from;
    } cases[] = {
        {"<@relay.net,@other.net:alice@sender.net>", "relay.net"},
        {"<alice@sender.net>", "sender.net"},
        {"<>", ""},
    };
    si().ServerName = "Mail.Example.COM";
    for (const auto& c : cases) {
        TSmtpMessageInformation m;
        m.ReversePath.Parse(c.reverse);
        m.AddLine("Subject: hi");
        m.AddReceivedHeader();
        ASSERT_EQ(m.Lines.size(), 2u);
        EXPECT_EQ(m.Lines[0], std::string("Received: FROM ") + c.from + " BY Mail.Example.COM ; " +
                                  si().GetDateTimeText())
            << c.reverse;
        EXPECT_EQ(m.Lines[1], "Subject: hi");
    }
}

// --- header helpers ----------------------------------------------------------

struct HeaderCase {
    const char* name;
    std::vector<std::string> lines;
    const char* header;
    bool found;
    const char* value;
};

class GetHeaderTable : public MessageTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(GetHeaderTable, FindsOnlyTheFirstHeaderLine) {
    TSmtpMessageInformation m;
    m.Lines = GetParam().lines;
    std::string value = "stale";
    EXPECT_EQ(m.GetHeader(GetParam().header, value), GetParam().found);
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetHeaderTable,
    ::testing::Values(
        HeaderCase{"capitals", {"From: a", "SUBJECT:   Hello there  ", "", "body"}, "Subject", true, "Hello there"},
        HeaderCase{"first_wins", {"Subject: one", "Subject: two"}, "Subject", true, "one"},
        HeaderCase{"after_empty_line_not_seen", {"From: a", "", "Subject: body"}, "Subject", false, ""},
        HeaderCase{"blank_before_colon_not_seen", {"Subject : x", ""}, "Subject", false, ""},
        HeaderCase{"prefix_of_other_header", {"Subjects: x", ""}, "Subject", false, ""},
        HeaderCase{"empty_value", {"Subject:", ""}, "Subject", true, ""},
        HeaderCase{"no_colon_space", {"Subject:x", ""}, "Subject", true, "x"},
        HeaderCase{"continuation_not_read", {"Subject: a", " b", ""}, "Subject", true, "a"},
        HeaderCase{"no_lines", {}, "Subject", false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessageTest, SetHeaderKeepsTheMessagesSpellingAndReplacesTheValue) {
    TSmtpMessageInformation m;
    m.Lines = {"From: a", "reply-to: <old@x.net>", "", "Reply-To: in the body"};
    m.SetHeader("Reply-To", "<list@example.com>");
    EXPECT_EQ(m.Lines, (std::vector<std::string>{"From: a", "reply-to: <list@example.com>", "",
                                                 "Reply-To: in the body"}));
}

TEST_F(MessageTest, SetHeaderInsertsBeforeTheEmptyLineOrAtTheEnd) {
    TSmtpMessageInformation m;
    m.Lines = {"From: a", "", "body"};
    m.SetHeader("Reply-To", "v");
    EXPECT_EQ(m.Lines, (std::vector<std::string>{"From: a", "Reply-To: v", "", "body"}));

    TSmtpMessageInformation n;
    n.Lines = {"From: a", "Subject: b"};
    n.SetHeader("Reply-To", "v");
    EXPECT_EQ(n.Lines, (std::vector<std::string>{"From: a", "Subject: b", "Reply-To: v"}));
}

TEST_F(MessageTest, FromAddressesAndReplyTo) {
    TSmtpMessageInformation m;
    m.Lines = {"From: \"Alice A\" <Alice@Sender.NET>", "", "x"};
    std::string mailbox, path;
    m.GetFromAddresses(mailbox, path);
    EXPECT_EQ(mailbox, "Alice@Sender.NET");
    EXPECT_EQ(path, "<Alice@Sender.NET>");

    m.Lines = {"From: not an address", ""};
    m.GetFromAddresses(mailbox, path);
    EXPECT_EQ(mailbox, "not an address");
    EXPECT_EQ(path, "not an address");

    m.Lines = {"Subject: none", ""};
    m.GetFromAddresses(mailbox, path);
    EXPECT_EQ(mailbox, "");
    EXPECT_EQ(path, "");

    m.SetReplyTo("list@192.168.0.1");
    std::string value;
    m.GetHeader("Reply-To", value);
    EXPECT_EQ(value, "<list@[192.168.0.1]>");
}

// --- queue file, first write -------------------------------------------------

TEST_F(MessageTest, SaveToQueueWritesTheQueueLayoutByteForByte) {
    TSmtpMessageInformation m;
    m.ReversePath.Parse("<@relay.example.net:alice@sender.example.net>");
    ASSERT_TRUE(m.AddForwardPath("<bob@remote.example.org>"));
    ASSERT_TRUE(m.AddForwardPath("<@example.com,@hop.example.net,@example.com:carol@far.example.net>"));
    ASSERT_TRUE(m.AddForwardPath("<dave@[192.168.1.20]>"));
    m.Lines = {"Subject: Queue test",  "From: Alice <alice@sender.example.net>", "", "First body line",
               "[Message]",            ".a line with a dot",                      "",
               " caf\xc3\xa9 with a lone\rCR"};
    std::string name;
    ASSERT_TRUE(m.SaveToQueue(&name));
    EXPECT_EQ(queueNames(), std::vector<std::string>{name});
    EXPECT_EQ(readFile(si().QueuePath + name + ".txt"), readFile(goldenPath("queue_first_write.txt")));
}

TEST_F(MessageTest, SaveToQueueWritesTheNullPathAndTheRetrySetting) {
    si().ForwardRetries = 9;
    TSmtpMessageInformation m;
    m.ReversePath.Parse("<>");
    ASSERT_TRUE(m.AddForwardPath("<x@far.net>"));
    ASSERT_TRUE(m.SaveToQueue());
    ASSERT_EQ(queueTexts().size(), 1u);
    EXPECT_EQ(queueTexts()[0], crlf({"[Reverse Path]", "From=<>", "", "[Forward Path]", "To=<x@far.net>", "",
                                     "[Retry]", "Performed=0", "Remaining=9", "", "[Message]"}));
}

TEST_F(MessageTest, SaveToQueueIntoAnUnwritableFolderFailsAndLeavesNothing) {
    TSmtpMessageInformation m;
    m.AddForwardPath("<x@far.net>");
    // A queue folder below a regular file can be neither created nor written,
    // whoever runs the test.
    writeFile(home.path() + "plain-file", "x");
    si().QueuePath = home.path() + "plain-file/queue/";
    EXPECT_FALSE(m.SaveToQueue());

    // A queue folder whose temporary area is blocked: no half file appears.
    si().SetQueuePath(home.path() + "q2/");
    blockWrites(si().QueuePath);
    EXPECT_FALSE(m.SaveToQueue());
    EXPECT_TRUE(queueNames().empty());
}

}  // namespace
