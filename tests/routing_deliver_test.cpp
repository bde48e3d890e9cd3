// Routing and local delivery end to end into real mailbox and queue folders:
// aliases, users, forward addresses, notices, the one queue file for foreign
// paths, the posted run-queue request, and failures the caller must learn.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/MailRouting.h"
#include "support/RoutingFixture.h"

using routingtest::RoutingFixture;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class DeliverTest : public RoutingFixture {
protected:
    void SetUp() override {
        RoutingFixture::SetUp();
        window = platform::loop().createWindow([this](platform::Message& m) {
            if (m.msg == WM_SERVICE_QUEUE) ++queueRequests;
        });
        SetServiceQueueWindow(window);
    }
    void TearDown() override {
        platform::loop().destroyWindow(window);
        RoutingFixture::TearDown();
    }

    // A message from alice at a foreign domain to the given recipients.
    void compose(const std::vector<std::string>& recipients, const std::string& reverse = "<alice@sender.example.net>") {
        message.Clear();
        message.ReversePath.Parse(reverse);
        for (const std::string& r : recipients) ASSERT_TRUE(message.AddForwardPath(r)) << r;
        message.Lines = {"Subject: hello", "", "body"};
    }
    bool deliver() {
        TDeliverMail d(&message);
        d.OnLog = logger();
        const bool ok = d.Deliver();
        error = d.ErrorText;
        return ok;
    }
    // Steps the loop until nothing is pending for a little while.
    void drainLoop() {
        platform::loop().runUntil([] { return platform::loop().pendingMessages() == 0; }, 1000);
        platform::loop().processMessages();
    }
    std::string delivered(const std::string& reverse = "<alice@sender.example.net>") const {
        return crlf({"Return-Path: " + reverse, "Subject: hello", "", "body"});
    }
    static std::string forwardPaths(const std::string& queueText) {
        std::string out;
        std::size_t at = 0;
        while ((at = queueText.find("\r\nTo=", at)) != std::string::npos) {
            at += 5;
            out += queueText.substr(at, queueText.find("\r\n", at) - at) + " ";
        }
        return out;
    }

    TSmtpMessageInformation message;
    std::string error;
    platform::HWND window = platform::NullWindow;
    int queueRequests = 0;
};

std::string golden(const std::string& name) {
    return readFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/data/routing/" + name);
}

TEST_F(DeliverTest, AllLocalWritesNoQueueFileAndPostsNothing) {
    si().FireQueueImmediately = true;
    createUser("bob");
    createUser("carol");
    compose({"<bob@example.com>", "<Carol@MAIL.EXAMPLE.COM>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("bob"), std::vector<std::string>{delivered()});
    EXPECT_EQ(mailbox("carol"), std::vector<std::string>{delivered()});
    EXPECT_EQ(message.ForwardPathCount(), 0);
    EXPECT_TRUE(queueNames().empty());
    drainLoop();
    EXPECT_EQ(queueRequests, 0);
    for (const auto& l : logs) EXPECT_EQ(l.text.find("Queued for Agent Processing"), std::string::npos);
    EXPECT_TRUE(logged("Incoming Mail Processed"));
    EXPECT_EQ(logs.back().text, "Incoming Mail Processed");
    EXPECT_EQ(loggedCount("Removing Destination Route. Delivered."), 2);
}

TEST_F(DeliverTest, ForeignPathsShareOneQueueFileInTheirOrder) {
    si().FireQueueImmediately = true;
    createUser("bob");
    compose({"<x@far.example.net>", "<bob@example.com>", "<@hop.example.net:y@other.example.org>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("bob"), std::vector<std::string>{delivered()});
    ASSERT_EQ(queueTexts().size(), 1u);
    EXPECT_EQ(forwardPaths(queueTexts()[0]), "<x@far.example.net> <@hop.example.net:y@other.example.org> ");
    EXPECT_NE(queueTexts()[0].find("From=<alice@sender.example.net>\r\n"), std::string::npos);
    EXPECT_NE(queueTexts()[0].find("[Message]\r\nSubject: hello\r\n\r\nbody\r\n"), std::string::npos);
    ASSERT_EQ(message.ForwardPathCount(), 2);
    EXPECT_EQ(message.ForwardPath(0)->GetPath(), "<x@far.example.net>");
    EXPECT_TRUE(logged("2 Destination Route(s) Queued for Agent Processing"));
    EXPECT_EQ(loggedCount("Destination Route Not Local... queueing for Agent..."), 2);

    // The run-queue request is posted, not run inside the delivery.
    EXPECT_EQ(queueRequests, 0);
    drainLoop();
    EXPECT_EQ(queueRequests, 1);
}

TEST_F(DeliverTest, FireQueueImmediatelyOffLeavesTheFileForThePoll) {
    compose({"<x@far.example.net>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(queueNames().size(), 1u);
    drainLoop();
    EXPECT_EQ(queueRequests, 0);
}

TEST_F(DeliverTest, NoRegisteredWindowDropsTheRequest) {
    si().FireQueueImmediately = true;
    SetServiceQueueWindow(platform::NullWindow);
    compose({"<x@far.example.net>"});
    ASSERT_TRUE(deliver());
    drainLoop();
    EXPECT_EQ(queueRequests, 0);
    EXPECT_EQ(queueNames().size(), 1u);
}

TEST_F(DeliverTest, WholeAddressAliasBeforeMailboxAlias) {
    createUser("alice");
    createUser("bob");
    ASSERT_TRUE(si().AddAlias("info@example.com", "alice"));
    ASSERT_TRUE(si().AddAlias("info", "bob"));
    compose({"<info@example.com>", "<info@lists.example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("alice").size(), 1u);
    EXPECT_EQ(mailbox("bob").size(), 1u);
    EXPECT_TRUE(logged("Destination (info@example.com) is Alias for alice"));
    EXPECT_TRUE(logged("Destination (info) is Alias for bob"));
}

TEST_F(DeliverTest, AliasResolutionIsOneStep) {
    createUser("carol");
    ASSERT_TRUE(si().AddAlias("first", "second"));
    ASSERT_TRUE(si().AddAlias("second", "carol"));
    compose({"<first@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_TRUE(mailbox("carol").empty());
    EXPECT_EQ(queueNames().size(), 1u);  // the notice for first@
}

TEST_F(DeliverTest, UnknownLocalRecipientGetsTheSenderANotice) {
    compose({"<nobody@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(message.ForwardPathCount(), 0);
    ASSERT_EQ(queueTexts().size(), 1u);
    EXPECT_EQ(queueTexts()[0], golden("undeliverable_notice.txt"));
    EXPECT_TRUE(logged("Destination Route Local, but no user available... Generating \"Undeliverable\" Notification"));
    for (const auto& l : logs) EXPECT_EQ(l.text.find("Queued for Agent Processing"), std::string::npos);
}

TEST_F(DeliverTest, AliasToADeletedUserGivesANoticeUnlessAListHasTheName) {
    ASSERT_TRUE(si().AddAlias("help", "gone"));
    compose({"<help@example.com>"});
    ASSERT_TRUE(deliver());
    ASSERT_EQ(queueTexts().size(), 1u);
    EXPECT_NE(queueTexts()[0].find("\r\n<help@example.com>\r\n"), std::string::npos);

    // With a list named like the recipient mailbox, the list gets it.
    std::filesystem::remove(si().QueuePath + queueNames()[0] + ".txt");
    createUser("member");
    TMailListInformation list;
    list.ForceRepliesToList = false;
    list.AddMember(true, false, "member@example.com");
    ASSERT_TRUE(list.SaveToFile("help", true));
    compose({"<help@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_TRUE(queueNames().empty());
    ASSERT_EQ(mailbox("member").size(), 1u);
    EXPECT_EQ(mailbox("member")[0], delivered("<listmaster@mail.example.com>"));
}

// Each delivery looks the user up anew: a folder without its information
// file is still a user (delivered with the defaults), and a user deleted or
// renamed by hand since the last message is gone for the next one.
TEST_F(DeliverTest, EachDeliveryFindsTheUserAsTheFoldersAreNow) {
    createUser("bob");
    std::filesystem::remove(si().UserFolder("bob") + "bob.ini");
    compose({"<bob@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("bob"), std::vector<std::string>{delivered()});
    EXPECT_TRUE(queueNames().empty());

    std::filesystem::rename(si().MailBoxPath + "bob", si().MailBoxPath + "Robert");
    compose({"<bob@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(queueTexts().size(), 1u);  // the sender's notice
    EXPECT_EQ(mailbox("robert"), std::vector<std::string>{delivered()});
}

TEST_F(DeliverTest, NoNoticeForANullSender) {
    compose({"<nobody@example.com>"}, "<>");
    ASSERT_TRUE(deliver());
    EXPECT_TRUE(queueNames().empty());
}

TEST_F(DeliverTest, NullSenderIsStoredWithAnEmptyReturnPath) {
    createUser("bob");
    compose({"<bob@example.com>"}, "<>");
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("bob"), std::vector<std::string>{delivered("<>")});
}

TEST_F(DeliverTest, ForeignForwardAddressIsQueuedInsteadOfTheUser) {
    createUser("bob", "bob.elsewhere@far.example.net");
    compose({"<bob@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_TRUE(mailbox("bob").empty());
    ASSERT_EQ(queueTexts().size(), 1u);
    EXPECT_EQ(forwardPaths(queueTexts()[0]), "<bob.elsewhere@far.example.net> ");
    EXPECT_TRUE(logged("Destination Route Not Local... Queueing for Agent..."));
}

TEST_F(DeliverTest, ForwardIsFollowedOneStep) {
    createUser("u1", "<u2@example.com>");
    createUser("u2", "u3@example.com");
    createUser("u3");
    compose({"<u1@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_TRUE(mailbox("u1").empty());
    EXPECT_EQ(mailbox("u2"), std::vector<std::string>{delivered()});
    EXPECT_TRUE(mailbox("u3").empty());
    EXPECT_TRUE(queueNames().empty());
}

TEST_F(DeliverTest, ForwardThroughAnAliasReachesItsUser) {
    createUser("u1", "boss@lists.example.com");
    createUser("chief");
    ASSERT_TRUE(si().AddAlias("boss", "chief"));
    compose({"<u1@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("chief").size(), 1u);
}

TEST_F(DeliverTest, UnreadableForwardAddressDeliversToTheUser) {
    createUser("bob", "not an address");
    compose({"<bob@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_EQ(mailbox("bob"), std::vector<std::string>{delivered()});
    EXPECT_TRUE(logged("Unable to understand forward address... Delivered Locally."));
}

TEST_F(DeliverTest, ForwardToALocalNonUserIsDroppedWithoutNotice) {
    createUser("bob", "ghost@example.com");
    compose({"<bob@example.com>"});
    ASSERT_TRUE(deliver());
    EXPECT_TRUE(mailbox("bob").empty());
    EXPECT_TRUE(queueNames().empty());
    EXPECT_TRUE(logged("Destination Route Local, but no user available... Deleting <ghost@example.com>"));
}

TEST_F(DeliverTest, AMessageFileThatCannotBeCreatedStopsDeliveryAndIsReported) {
    createUser("bob");
    createUser("carol");
    blockWrites(si().UserFolder("carol"));
    compose({"<bob@example.com>", "<x@far.example.net>", "<carol@example.com>", "<dave@far.example.net>"});
    EXPECT_FALSE(deliver());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(mailbox("bob").size(), 1u);
    EXPECT_TRUE(mailbox("carol").empty());
    EXPECT_TRUE(queueNames().empty());  // nothing queued for a message the client will send again
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back().level, 1);
    EXPECT_FALSE(logged("Incoming Mail Processed"));
}

TEST_F(DeliverTest, AQueueFileThatCannotBeWrittenIsReported) {
    compose({"<x@far.example.net>"});
    blockWrites(si().QueuePath);
    EXPECT_FALSE(deliver());
    EXPECT_NE(error.find("Queue"), std::string::npos);
    EXPECT_TRUE(queueNames().empty());
}

TEST_F(DeliverTest, LogLinesCarryTheRoutingObjectAsSender) {
    createUser("bob");
    compose({"<bob@example.com>"});
    TDeliverMail d(&message);
    d.OnLog = logger();
    ASSERT_TRUE(d.Deliver());
    ASSERT_FALSE(logs.empty());
    for (const auto& l : logs) EXPECT_EQ(l.sender, &d);
    EXPECT_EQ(ObjectIdentity(&d), d.ID);
    EXPECT_EQ(logs.front().text, "Processing Destination Route(s)");
}

}  // namespace
