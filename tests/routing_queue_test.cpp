// The queue file: the reader with its grouping by next hop, the agent's
// rewrite after a partial delivery, deletion, and failed writes.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/MailRouting_Internal.h"
#include "engine/MailRouting_Queue.h"
#include "support/RoutingFixture.h"

using routingtest::RoutingFixture;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class QueueTest : public RoutingFixture {
protected:
    void put(const std::string& name, const std::string& text) {
        std::filesystem::create_directories(si().QueuePath);
        writeFile(si().QueuePath + name + ".txt", text);
    }
    static std::vector<std::string> addresses(const TSmtpAgentForwardInformation* g) {
        std::vector<std::string> out;
        for (const auto& r : g->Recipients) out.push_back(r->Address);
        return out;
    }
};

// The message a load holds, as lines (read from its file range).
std::vector<std::string> messageLines(const TSmtpAgentMessageInformation& q) {
    std::string text;
    EXPECT_EQ(platform::readContent(q.Text, 0, 1 << 24, text), 0);
    std::vector<std::string> lines = mailrouting::splitLines(text);
    EXPECT_EQ(lines.size(), q.LineCount);
    return lines;
}

std::string golden(const std::string& name) {
    return readFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/data/routing/" + name);
}

TEST_F(QueueTest, LoadsTheFirstWriteAndRewritesAfterPartialDelivery) {
    put("123", golden("queue_first_write.txt"));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("123"));
    EXPECT_EQ(q.Name, "123");
    EXPECT_EQ(q.ReversePath, "<@relay.example.net:alice@sender.example.net>");
    ASSERT_EQ(q.ForwardCount(), 3);
    EXPECT_EQ(q.GetForward(0)->Key, "REMOTE.EXAMPLE.ORG");
    EXPECT_EQ(q.GetForward(1)->Key, "HOP.EXAMPLE.NET");
    EXPECT_EQ(q.GetForward(2)->Key, "192.168.1.20");
    EXPECT_EQ(q.Performed, 0);
    EXPECT_EQ(q.Remaining, 5);
    EXPECT_EQ(messageLines(q), (std::vector<std::string>{"Subject: Queue test", "From: Alice <alice@sender.example.net>", "",
                                                 "First body line", "[Message]", ".a line with a dot", "",
                                                 " caf\xc3\xa9 with a lone\rCR"}));

    q.GetForward(0)->GetRecipient(0)->Delivered = true;
    q.GetForward(2)->GetRecipient(0)->Delivered = true;
    q.RemoveDelivered();
    ASSERT_EQ(q.ForwardCount(), 1);
    EXPECT_EQ(q.GetForward(0)->Key, "HOP.EXAMPLE.NET");
    q.Performed = 1;
    q.Remaining = 4;
    ASSERT_TRUE(q.Save());
    EXPECT_EQ(readFile(si().QueuePath + "123.txt"), golden("queue_rewrite.txt"));
}

TEST_F(QueueTest, GroupsByUpperCasedNextHopInFileOrder) {
    put("1", crlf({"[Reverse Path]", "From=<a@x.net>", "", "[Forward Path]", "To=<one@Far.Example>",
                   "To=<x@other.net>", "To=<two@far.example>", "To=<@FAR.example:r@routed.net>",
                   "To=<three@FAR.EXAMPLE>", "To=<y@[10.1.2.3]>", "To=<@other.net:z@elsewhere.net>", "",
                   "[Retry]", "Performed=2", "Remaining=3", "", "[Message]", "x"}));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("1"));
    ASSERT_EQ(q.ForwardCount(), 3);
    EXPECT_EQ(q.GetForward(0)->Key, "FAR.EXAMPLE");
    EXPECT_EQ(addresses(q.GetForward(0)), (std::vector<std::string>{"<one@Far.Example>", "<two@far.example>",
                                                                    "<@FAR.example:r@routed.net>",
                                                                    "<three@FAR.EXAMPLE>"}));
    EXPECT_EQ(q.GetForward(1)->Key, "OTHER.NET");
    EXPECT_EQ(addresses(q.GetForward(1)), (std::vector<std::string>{"<x@other.net>", "<@other.net:z@elsewhere.net>"}));
    EXPECT_EQ(q.GetForward(2)->Key, "10.1.2.3");
    for (int i = 0; i < q.ForwardCount(); ++i) {
        EXPECT_EQ(q.GetForward(i)->Status, fsNone);
        EXPECT_EQ(q.GetForward(i)->LastError, "");
        EXPECT_EQ(q.GetForward(i)->UndeliveredCount(), q.GetForward(i)->RecipientCount());
    }
    EXPECT_EQ(q.Performed, 2);
    EXPECT_EQ(q.Remaining, 3);

    // The rewrite writes group after group.
    ASSERT_TRUE(q.SaveToFile("2"));
    EXPECT_EQ(q.Name, "2");
    const std::string text = readFile(si().QueuePath + "2.txt");
    EXPECT_NE(text.find("To=<three@FAR.EXAMPLE>\r\nTo=<x@other.net>\r\nTo=<@other.net:z@elsewhere.net>\r\n"
                        "To=<y@[10.1.2.3]>\r\n\r\n[Retry]"),
              std::string::npos);
}

TEST_F(QueueTest, KeysAreTrimmedAndCaseFreeAndBadPathsAreDropped) {
    put("7", crlf({"  [reverse path]  ", "  from=<a@x.net>  ", "", "[FORWARD PATH]", "to=<b@y.net>",
                   "  TO=<c@y.net>  ", "To=", "To=<>", "To=not a path", "Tox=<d@y.net>", "", "garbage",
                   "To=<e@z.net>", "[retry]", "performed=x", "REMAINING=many", "[message]", "body"}));
    si().ForwardRetries = 7;
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("7"));
    EXPECT_EQ(q.ReversePath, "<a@x.net>");
    ASSERT_EQ(q.ForwardCount(), 2);
    EXPECT_EQ(addresses(q.GetForward(0)), (std::vector<std::string>{"<b@y.net>", "<c@y.net>"}));
    EXPECT_EQ(addresses(q.GetForward(1)), (std::vector<std::string>{"<e@z.net>"}));
    EXPECT_EQ(q.Performed, 0);
    EXPECT_EQ(q.Remaining, 7);
    EXPECT_EQ(messageLines(q), std::vector<std::string>{"body"});

    ASSERT_TRUE(q.Save());
    const std::string text = readFile(si().QueuePath + "7.txt");
    EXPECT_EQ(text.find("not a path"), std::string::npos);
    EXPECT_EQ(text.find("To=<>"), std::string::npos);
}

TEST_F(QueueTest, MissingSectionsLeaveTheirFieldsEmpty) {
    put("1", crlf({"[Forward Path]", "To=<b@y.net>", "", "[Message]", "[Forward Path]", "Performed=4", "[Message]"}));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("1"));
    EXPECT_EQ(q.ReversePath, "");
    EXPECT_EQ(q.ForwardCount(), 1);
    EXPECT_EQ(q.Performed, 0);
    EXPECT_EQ(q.Remaining, 0);
    EXPECT_EQ(messageLines(q), (std::vector<std::string>{"[Forward Path]", "Performed=4", "[Message]"}));

    // A From= line that is not right after its header is not read.
    put("2", crlf({"[Reverse Path]", "", "From=<a@x.net>"}));
    ASSERT_TRUE(q.LoadFromFile("2"));
    EXPECT_EQ(q.ReversePath, "");
    EXPECT_EQ(q.ForwardCount(), 0);
    EXPECT_TRUE(q.Text.empty());

    // A file cut inside its recipients loads what it holds.
    put("3", "[Reverse Path]\r\nFrom=<a@x.net>\r\n\r\n[Forward Path]\r\nTo=<b@y.net>\r\nTo=<c@z.net>");
    ASSERT_TRUE(q.LoadFromFile("3"));
    EXPECT_EQ(q.ForwardCount(), 2);
    EXPECT_EQ(q.GetForward(1)->GetRecipient(0)->Address, "<c@z.net>");
}

TEST_F(QueueTest, MissingOrEmptyFileIsNotLoaded) {
    TSmtpAgentMessageInformation q;
    q.Name = "keep";
    q.ReversePath = "<kept@x.net>";
    EXPECT_FALSE(q.LoadFromFile("404"));
    EXPECT_EQ(q.Name, "keep");
    EXPECT_EQ(q.ReversePath, "<kept@x.net>");

    put("5", "");
    EXPECT_FALSE(q.LoadFromFile("5"));
}

TEST_F(QueueTest, AFileThatCannotBeReadIsReportedNotTakenAsGone) {
    std::filesystem::create_directories(si().QueuePath + "9.txt");
    TSmtpAgentMessageInformation q;
    EXPECT_THROW(q.LoadFromFile("9"), EQueueFileError);
}

TEST_F(QueueTest, AFileWithLineFeedsOnlyLoads) {
    put("4", "[Reverse Path]\nFrom=<a@x.net>\n\n[Forward Path]\nTo=<b@y.net>\n\n[Retry]\nPerformed=1\n"
             "Remaining=2\n\n[Message]\nSubject: s\n\nbody\n");
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("4"));
    EXPECT_EQ(q.ReversePath, "<a@x.net>");
    EXPECT_EQ(q.ForwardCount(), 1);
    EXPECT_EQ(q.Remaining, 2);
    EXPECT_EQ(messageLines(q), (std::vector<std::string>{"Subject: s", "", "body"}));
}

// A path longer than 255 bytes (the SMTP session takes one) stays whole
// through a load and a rewrite: a cut one would no longer parse and be lost.
TEST_F(QueueTest, LongRecipientIsKeptWholeThroughARewrite) {
    const std::string local(300, 'a');
    put("1", crlf({"[Forward Path]", "To=<" + local + "@y.net>"}));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("1"));
    ASSERT_TRUE(q.Save());
    ASSERT_TRUE(q.LoadFromFile("1"));
    ASSERT_EQ(q.ForwardCount(), 1);
    EXPECT_EQ(q.GetForward(0)->GetRecipient(0)->Address, "<" + local + "@y.net>");
    EXPECT_EQ(q.GetForward(0)->GetRecipient(1), nullptr);
    EXPECT_EQ(q.GetForward(0)->GetRecipient(-1), nullptr);
    EXPECT_EQ(q.GetForward(1), nullptr);
}

TEST_F(QueueTest, AFailedRewriteLeavesTheOldFileWhole) {
    put("8", golden("queue_first_write.txt"));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("8"));
    q.GetForward(0)->GetRecipient(0)->Delivered = true;
    q.RemoveDelivered();
    blockWrites(si().QueuePath);
    EXPECT_FALSE(q.SaveToFile("other"));
    EXPECT_EQ(q.Name, "8");
    EXPECT_FALSE(q.Save());
    EXPECT_EQ(readFile(si().QueuePath + "8.txt"), golden("queue_first_write.txt"));
    EXPECT_FALSE(std::filesystem::exists(si().QueuePath + "other.txt"));
}

TEST_F(QueueTest, DeleteFileRemovesOnceAndIsTrueWhenAlreadyGone) {
    put("6", golden("queue_first_write.txt"));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("6"));
    EXPECT_TRUE(q.DeleteFile());
    EXPECT_FALSE(std::filesystem::exists(si().QueuePath + "6.txt"));
    EXPECT_TRUE(q.DeleteFile());
}

TEST_F(QueueTest, ClearEmptiesEverything) {
    put("6", golden("queue_first_write.txt"));
    TSmtpAgentMessageInformation q;
    ASSERT_TRUE(q.LoadFromFile("6"));
    q.Clear();
    EXPECT_EQ(q.Name, "");
    EXPECT_EQ(q.ReversePath, "");
    EXPECT_EQ(q.ForwardCount(), 0);
    EXPECT_TRUE(q.Text.empty());
    EXPECT_EQ(q.Performed, 0);
    EXPECT_EQ(q.Remaining, 0);
}

}  // namespace
