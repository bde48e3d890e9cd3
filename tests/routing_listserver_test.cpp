// The mailing-list processor end to end: messages to a list go through
// TDeliverMail, and its notices and copies land in real mailbox folders and
// the queue; the list file and the archive are read back from disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "engine/MailRouting.h"
#include "engine/MailRouting_ListServer.h"
#include "platform/FileWork.h"
#include "support/RoutingFixture.h"

using routingtest::RoutingFixture;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class ListTest : public RoutingFixture {
protected:
    void SetUp() override {
        RoutingFixture::SetUp();
        si().SetMailingListPath(home.path() + "Lists/");
        for (const char* u : {"alice", "bob", "carol", "dave"}) createUser(u);
        TMailListInformation list;
        list.ForceRepliesToList = false;
        list.AddMember(true, false, "alice@example.com");
        list.AddMember(true, false, "far@remote.example.net");
        list.SetWelcomeMessage({"Welcome to the club.", ""});
        list.SetFarewellMessage({"Sorry to see you go."});
        ASSERT_TRUE(list.SaveToFile("club", true));
    }

    // Sends a message to the list recipient through routing; From header
    // only when from is not empty.
    bool post(const std::string& subject, const std::string& from = "Bob <bob@example.com>",
              const std::string& reverse = "<bob@example.com>", const std::string& to = "<club@example.com>") {
        TSmtpMessageInformation m;
        m.ReversePath.Parse(reverse);
        EXPECT_TRUE(m.AddForwardPath(to));
        if (!from.empty()) m.AddLine("From: " + from);
        m.AddLine("Subject: " + subject);
        m.AddLine("");
        m.AddLine("body");
        TDeliverMail d(&m);
        d.OnLog = logger();
        return d.Deliver();
    }

    // The archive is appended on the workers after the delivery.
    static bool archiveWritten() {
        return testsupport::stepUntil([] { return platform::fileWorkInFlight() == 0; });
    }

    static TMailListInformation load(const std::string& name = "club") {
        TMailListInformation list;
        EXPECT_TRUE(list.LoadFromFile(name));
        return list;
    }
    template <typename F>
    static void edit(F change, const std::string& name = "club") {
        TMailListInformation list;
        ASSERT_TRUE(list.LoadFromFile(name));
        change(list);
        ASSERT_TRUE(list.SaveToFile(name, true));
    }

    // A notice as it lands in a local mailbox.
    static std::string notice(const std::string& title, const std::string& to, const std::vector<std::string>& body) {
        std::vector<std::string> lines = {"Return-Path: <>", "Subject: club" + title, "To: <" + to + ">",
                                          "From: <club@mail.example.com>", ""};
        lines.insert(lines.end(), body.begin(), body.end());
        return crlf(lines);
    }
    static std::string lastMail(const std::string& user) {
        auto box = mailbox(user);
        return box.empty() ? std::string() : box.back();
    }
    std::int32_t pendingCode(const std::string& address) {
        TMailListInformation list = load();
        for (const auto& p : list.PendingMembers)
            if (p->Address == address) return p->Code;
        ADD_FAILURE() << "no pending record for " << address;
        return -1;
    }
    static std::vector<std::string> members(const TMailListInformation& list) {
        std::vector<std::string> out;
        for (const auto& m : list.Members) out.push_back((m->Active ? "+" : "-") + m->Address);
        return out;
    }
};

// --- command words -----------------------------------------------------------

struct CommandCase {
    const char* name;
    const char* subject;
    const char* command;
    const char* argument;
};

class ParseCommandTable : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ParseCommandTable, ReadsTheCommandWordAndItsArgument) {
    std::string command = "stale", argument = "stale";
    TListServer::ParseCommand(GetParam().subject, command, argument);
    EXPECT_EQ(command, GetParam().command);
    EXPECT_EQ(argument, GetParam().argument);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseCommandTable,
    ::testing::Values(CommandCase{"subscribe", "!subscribe", "SUBSCRIBE", ""},
                      CommandCase{"subscribe_address", "!Subscribe  x@y.net ", "SUBSCRIBE", "x@y.net"},
                      CommandCase{"no_blank_needed", "!subscribers", "SUBSCRIBE", "rs"},
                      CommandCase{"confirm", "!Confirm Subscribe 42", "CONFIRM SUBSCRIBE", "42"},
                      CommandCase{"unsubscribe", "!UNSUBSCRIBE", "UNSUBSCRIBE", ""},
                      CommandCase{"remove", "!remove me", "UNSUBSCRIBE", "me"},
                      CommandCase{"list", "!List", "LIST", ""},
                      CommandCase{"help", "  !help please", "HELP", "please"},
                      CommandCase{"blank_after_bang", "! help", "", ""},
                      CommandCase{"unknown_word", "!foo", "", ""},
                      CommandCase{"no_bang", "subscribe", "", ""},
                      CommandCase{"empty", "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- subscription ------------------------------------------------------------

TEST_F(ListTest, SubscribeUsesTheFromAddressAndIsNotDistributed) {
    ASSERT_TRUE(post("!subscribe", "Bob <bob@example.com>", "<bounce@far.example.net>"));
    TMailListInformation list = load();
    ASSERT_EQ(list.PendingMemberCount(), 1);
    const TMailListPendingMember* p = list.GetPendingMember(0);
    EXPECT_EQ(p->Address, "bob@example.com");
    EXPECT_DOUBLE_EQ(p->Expires, kNow + 1.0);
    const std::string code = std::to_string(p->Code);
    EXPECT_EQ(lastMail("bob"),
              notice(" Subscription", "bob@example.com",
                     {"You (bob@example.com) have been subscribed to the",
                      "\"club\" mailing list at mail.example.com.", "",
                      "To really join the list, you must send mail to: club@mail.example.com",
                      "With a subject of: !Confirm Subscribe " + code,
                      "By " + TimeToStr(kNow + 1.0) + " on " + DateToStr(kNow + 1.0), "",
                      "In other words, to join the list, reply to this",
                      "mail and paste the following line into your e-mail", "subject before you send it:",
                      "!Confirm Subscribe " + code, "", "If you don't want to subscribe, do nothing."}));
    EXPECT_TRUE(mailbox("alice").empty());
    EXPECT_TRUE(queueNames().empty());
    EXPECT_TRUE(logged("Command: SUBSCRIBE ()"));
    EXPECT_TRUE(logged("Accepted, Needs confirmation. Notification sent."));
    EXPECT_TRUE(logged("Destination Mailing List Processed"));
}

TEST_F(ListTest, SubscribeForAnotherAddressGoesToThatAddress) {
    ASSERT_TRUE(post("!Subscribe carol@example.com"));
    EXPECT_TRUE(mailbox("bob").empty());
    ASSERT_EQ(mailbox("carol").size(), 1u);
    const std::int32_t code = pendingCode("carol@example.com");

    // Only the owner of that address can confirm.
    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(code)));
    EXPECT_EQ(lastMail("bob"), notice(" Subscription", "bob@example.com",
                                      {"Your subscription confirmation to club@mail.example.com failed because:",
                                       "Your address (bob@example.com) does not match the pending member's address."}));
    EXPECT_EQ(load().PendingMemberCount(), 1);

    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(code), "Carol <Carol@Example.com>", "<carol@example.com>"));
    EXPECT_EQ(members(load()), (std::vector<std::string>{"+alice@example.com", "+far@remote.example.net",
                                                         "+carol@example.com"}));
}

TEST_F(ListTest, ConfirmAddsTheMemberOnceAndForgetsTheCode) {
    ASSERT_TRUE(post("!subscribe"));
    const std::int32_t code = pendingCode("bob@example.com");
    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(code)));
    TMailListInformation list = load();
    EXPECT_EQ(members(list), (std::vector<std::string>{"+alice@example.com", "+far@remote.example.net",
                                                       "+bob@example.com"}));
    EXPECT_EQ(list.PendingMemberCount(), 0);
    EXPECT_EQ(lastMail("bob"),
              notice(" Subscription Successful", "bob@example.com",
                     {"To remove yourself, reply with a subject of \"!Remove\" (no quotes)", "",
                      "Welcome to the club.", ""}));
    EXPECT_TRUE(logged("Subscribed. Notification sent."));

    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(code)));
    EXPECT_EQ(lastMail("bob"), notice(" Subscription", "bob@example.com",
                                      {"Your subscription confirmation to club@mail.example.com failed because:",
                                       "I couldn't find your Subscriber ID number (" + std::to_string(code) + ")"}));
    EXPECT_EQ(load().MemberCount(), 3);
}

TEST_F(ListTest, ConfirmWithoutANumberOrWithAWrongOne) {
    ASSERT_TRUE(post("!subscribe"));
    const std::int32_t code = pendingCode("bob@example.com");
    ASSERT_TRUE(post("!Confirm Subscribe abc"));
    EXPECT_EQ(lastMail("bob"), notice(" Subscription", "bob@example.com",
                                      {"Your subscription confirmation to club@mail.example.com failed because:",
                                       "You didn't supply a subscriber ID number"}));
    EXPECT_TRUE(logged("Subscriber ID missing. Notification sent."));

    const std::int32_t wrong = (code + 1) % 10000;
    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(wrong)));
    EXPECT_TRUE(logged("Subscriber ID not found in pending. Notification sent."));
    EXPECT_EQ(load().PendingMemberCount(), 1);
    EXPECT_EQ(load().MemberCount(), 2);
}

TEST_F(ListTest, ConfirmExpiresAfterOneDay) {
    ASSERT_TRUE(post("!subscribe"));
    const std::int32_t code = pendingCode("bob@example.com");
    platform::advanceNow(1.0 + 1.0 / 86400);
    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(code)));
    EXPECT_EQ(lastMail("bob"), notice(" Subscription", "bob@example.com",
                                      {"Your subscription confirmation to club@mail.example.com failed because:",
                                       "Your Subscriber ID number has expired"}));
    TMailListInformation list = load();
    EXPECT_EQ(list.PendingMemberCount(), 0);
    EXPECT_EQ(list.MemberCount(), 2);
}

TEST_F(ListTest, ConfirmJustInTimeIsAccepted) {
    ASSERT_TRUE(post("!subscribe"));
    const std::int32_t code = pendingCode("bob@example.com");
    platform::advanceNow(1.0 - 1.0 / 86400);
    ASSERT_TRUE(post("!Confirm Subscribe " + std::to_string(code)));
    EXPECT_EQ(load().MemberCount(), 3);
}

TEST_F(ListTest, SubscribeToAClosedList) {
    edit([](TMailListInformation& l) { l.AllowOpenSubscription = false; });
    ASSERT_TRUE(post("!subscribe"));
    EXPECT_EQ(lastMail("bob"), notice(" Subscription", "bob@example.com",
                                      {"Your subscription to club@mail.example.com request failed because:",
                                       "List is closed to public subscription"}));
    EXPECT_EQ(load().PendingMemberCount(), 0);
}

TEST_F(ListTest, AListThatCannotBeSavedAnswersTemporarilyInaccessible) {
    blockWrites(si().MailingListPath);
    ASSERT_TRUE(post("!subscribe"));
    EXPECT_EQ(lastMail("bob"), notice(" Subscription", "bob@example.com",
                                      {"Your subscription to club@mail.example.com request failed because:",
                                       "List temporarily inaccessible"}));
    EXPECT_TRUE(logged("List not accessible at this time. Notification sent."));
}

// From the null reverse path the sender reads as a bare "@": the request is a
// command (never a contribution), yet nobody is stored or answered.
TEST_F(ListTest, SubscribeFromNobodyIsACommandThatStoresAndSendsNothing) {
    for (const char* subject : {"!subscribe", "!subscribe @", "!subscribe <x@>"}) {
        ASSERT_TRUE(post(subject, "", "<>"));
        EXPECT_TRUE(mailbox("alice").empty()) << subject;
    }
    EXPECT_EQ(loggedCount("No EMail address supplied. Notification cannot be sent."), 3);
    EXPECT_FALSE(logged("List Command unknown... treating as mail to list."));
    EXPECT_EQ(load().PendingMemberCount(), 0);
    EXPECT_TRUE(queueNames().empty());
    // An argument that is no path at all is still mail for the list.
    ASSERT_TRUE(post("!subscribe <x", "", "<>"));
    EXPECT_TRUE(logged("List Command unknown... treating as mail to list."));
    EXPECT_EQ(mailbox("alice").size(), 1u);
}

// A CR or LF makes an address no address: nothing of it is stored or sent
// to, whether it comes as the argument or in the From header.
TEST_F(ListTest, AddressesHoldingAControlByteAreNoAddresses) {
    edit([](TMailListInformation& l) { l.AllowOpenSubscription = false; });
    for (const char* cut : {"\r", "\n"}) {
        ASSERT_TRUE(post(std::string("!subscribe @[127.0.0.1]:x") + cut + "Bcc: someone@[127.0.0.1]"));
        ASSERT_TRUE(post("!help", std::string("bob@example.com") + cut + "Bcc: y@example.com"));
    }
    EXPECT_EQ(loggedCount("List Command unknown... treating as mail to list."), 2);
    EXPECT_FALSE(logged("Notification sent."));
    EXPECT_EQ(load().PendingMemberCount(), 0);
    // The help went to the sender; the queue holds only the list's copies to
    // its foreign member.
    EXPECT_EQ(mailbox("bob").size(), 2u);
    for (const std::string& mail : mailbox("bob")) EXPECT_EQ(mail.find("Bcc"), std::string::npos);
    for (const std::string& text : queueTexts()) {
        EXPECT_NE(text.find("To=<far@remote.example.net>"), std::string::npos);
        EXPECT_EQ(text.find("To=<someone"), std::string::npos);
    }
}

TEST_F(ListTest, CommandsWithoutAReplyAddressSendNothing) {
    ASSERT_TRUE(post("!help", "", "<>"));
    EXPECT_TRUE(logged("No EMail address supplied. Help cannot be sent."));
    ASSERT_TRUE(post("!list", "", "<>"));
    EXPECT_TRUE(logged("No EMail address supplied. List cannot be sent."));
    ASSERT_TRUE(post("!remove", "", "<>"));
    EXPECT_TRUE(logged("No EMail address supplied. Notification cannot be sent."));
    EXPECT_TRUE(queueNames().empty());
    for (const char* u : {"alice", "bob"}) EXPECT_TRUE(mailbox(u).empty()) << u;
}

// --- removal, listing, help --------------------------------------------------

TEST_F(ListTest, RemoveByANonMember) {
    ASSERT_TRUE(post("!Remove"));
    EXPECT_EQ(lastMail("bob"), notice(" Removal", "bob@example.com",
                                      {"Your removal from club@mail.example.com failed because:",
                                       "Unable to Unsubscribe - Member not found for delete."}));
    EXPECT_EQ(load().MemberCount(), 2);
}

TEST_F(ListTest, UnsubscribeRemovesEveryEntryOfTheMember) {
    edit([](TMailListInformation& l) {
        l.AddMember(false, false, "BOB@example.com");
        l.AddMember(true, true, "bob@example.com");
    });
    ASSERT_TRUE(post("!unsubscribe"));
    EXPECT_EQ(members(load()), (std::vector<std::string>{"+alice@example.com", "+far@remote.example.net"}));
    EXPECT_EQ(lastMail("bob"), notice(" Removal Successful", "bob@example.com", {"Sorry to see you go."}));
    EXPECT_TRUE(logged("Member removed from list. Notification sent."));
}

TEST_F(ListTest, ListShowsActiveMembersOrIsRestricted) {
    edit([](TMailListInformation& l) { l.AddMember(false, false, "sleeper@example.com"); });
    ASSERT_TRUE(post("!list"));
    EXPECT_EQ(lastMail("bob"), notice(" Membership Listing", "bob@example.com",
                                      {"Members of \"club\" (club@mail.example.com)", "", "alice@example.com",
                                       "far@remote.example.net"}));

    edit([](TMailListInformation& l) { l.DoNotReportListMembers = true; });
    ASSERT_TRUE(post("!list"));
    EXPECT_EQ(lastMail("bob"), notice(" Membership Listing", "bob@example.com",
                                      {"Membership of \"club\" (club@mail.example.com) is restricted."}));
    EXPECT_TRUE(mailbox("alice").empty());
}

TEST_F(ListTest, HelpNotice) {
    ASSERT_TRUE(post("!help"));
    EXPECT_EQ(lastMail("bob"), readFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/data/routing/notice_help.txt"));
    EXPECT_TRUE(logged("User requested \"Help\". Response sent."));
}

TEST_F(ListTest, ForeignReplyAddressGetsItsNoticeThroughTheQueue) {
    ASSERT_TRUE(post("!help", "Zed <zed@far.example.net>", "<zed@far.example.net>"));
    ASSERT_EQ(queueTexts().size(), 1u);
    EXPECT_NE(queueTexts()[0].find("From=<>\r\n\r\n[Forward Path]\r\nTo=<zed@far.example.net>\r\n"),
              std::string::npos);
}

// --- contributions -----------------------------------------------------------

TEST_F(ListTest, ContributionReachesActiveMembersWithTheListsReversePath) {
    edit([](TMailListInformation& l) {
        l.AddMember(false, false, "dave@example.com");
        l.AddMember(true, false, "other@remote.example.net");
    });
    ASSERT_TRUE(post("Hello all"));
    const std::string copy = crlf({"Return-Path: <listmaster@mail.example.com>", "From: Bob <bob@example.com>",
                                   "Subject: Hello all", "", "body"});
    EXPECT_EQ(mailbox("alice"), std::vector<std::string>{copy});
    EXPECT_TRUE(mailbox("dave").empty());
    EXPECT_TRUE(mailbox("bob").empty());
    ASSERT_EQ(queueTexts().size(), 1u);
    const std::string q = queueTexts()[0];
    EXPECT_NE(q.find("From=<listmaster@mail.example.com>\r\n\r\n[Forward Path]\r\nTo=<far@remote.example.net>\r\n"
                     "To=<other@remote.example.net>\r\n\r\n"),
              std::string::npos);
    for (const auto& l : logs) EXPECT_EQ(l.text.rfind("Command: ", 0), std::string::npos);
}

TEST_F(ListTest, MailErrorsToBecomesTheReversePath) {
    edit([](TMailListInformation& l) { l.MailErrorsTo = "owner@example.com"; });
    ASSERT_TRUE(post("Hi"));
    EXPECT_EQ(mailbox("alice")[0].rfind("Return-Path: <owner@example.com>\r\n", 0), 0u);
}

TEST_F(ListTest, UnknownOrSpacedCommandsAreContributions) {
    ASSERT_TRUE(post("!foo"));
    ASSERT_TRUE(post("! help"));
    EXPECT_EQ(mailbox("alice").size(), 2u);
    EXPECT_TRUE(mailbox("bob").empty());
    for (const auto& l : logs) EXPECT_EQ(l.text.rfind("Command: ", 0), std::string::npos);
}

TEST_F(ListTest, MemberOnlySubmissionRefusesANonMember) {
    const std::string archive = home.path() + "club-archive.txt";
    edit([&](TMailListInformation& l) {
        l.MemberOnlySubmission = true;
        l.DigestFile = archive;
    });
    ASSERT_TRUE(post("Let me in"));
    EXPECT_TRUE(mailbox("alice").empty());
    EXPECT_TRUE(queueNames().empty());
    EXPECT_FALSE(std::filesystem::exists(archive));
    ASSERT_EQ(mailbox("bob").size(), 1u);
    EXPECT_EQ(mailbox("bob")[0], notice(" Submission Failure", "bob@example.com",
                                        {"The specified list either does not exist at this ",
                                         "server, or is not open to public submission."}));

    // A member, also an inactive one and in another letter case, may post.
    ASSERT_TRUE(post("Members only", "Alice <ALICE@example.com>", "<alice@example.com>"));
    EXPECT_EQ(mailbox("alice").size(), 1u);
}

TEST_F(ListTest, ForcedReplyToReplacesTheHeaderAndIsArchived) {
    const std::string archive = home.path() + "club-archive.txt";
    edit([&](TMailListInformation& l) {
        l.ForceRepliesToList = true;
        l.DigestFile = archive;
    });
    TSmtpMessageInformation m;
    m.ReversePath.Parse("<bob@example.com>");
    m.AddForwardPath("<club@example.com>");
    m.Lines = {"From: bob@example.com", "reply-to: <bob@example.com>", "Subject: one", "", "body"};
    TDeliverMail d(&m);
    ASSERT_TRUE(d.Deliver());
    ASSERT_TRUE(post("two"));

    const std::vector<std::string> first = {"From: bob@example.com", "reply-to: <club@mail.example.com>",
                                            "Subject: one", "", "body"};
    const std::vector<std::string> second = {"From: Bob <bob@example.com>", "Subject: two",
                                             "Reply-To: <club@mail.example.com>", "", "body"};
    std::vector<std::string> entries = first;
    entries.push_back("(------------------)");
    entries.insert(entries.end(), second.begin(), second.end());
    entries.push_back("(------------------)");
    ASSERT_TRUE(archiveWritten());
    EXPECT_EQ(readFile(archive), crlf(entries));

    std::vector<std::string> copy = {"Return-Path: <listmaster@mail.example.com>"};
    copy.insert(copy.end(), first.begin(), first.end());
    EXPECT_EQ(mailbox("alice")[0], crlf(copy));
}

TEST_F(ListTest, ArchiveIsAppendedThroughItsLink) {
    const std::string real = home.path() + "kept/archive.txt";
    const std::string link = home.path() + "club-archive.txt";
    std::filesystem::create_directories(home.path() + "kept");
    writeFile(real, "old entry\r\n(------------------)\r\n");
    std::filesystem::create_symlink(real, link);
    edit([&](TMailListInformation& l) { l.DigestFile = link; });
    ASSERT_TRUE(post("Hi"));
    ASSERT_TRUE(archiveWritten());
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(real), "old entry\r\n(------------------)\r\n" +
                                  crlf({"From: Bob <bob@example.com>", "Subject: Hi", "", "body",
                                        "(------------------)"}));
    // Nothing else appears beside the archive (no temporary folder).
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path() + "kept"),
                            std::filesystem::directory_iterator()),
              1);
}

// Generous bound: parsing the header once per character of a route-like From
// value took seconds per megabyte.
TEST_F(ListTest, MegabyteFromLineIsHandledQuickly) {
    std::string from;
    while (from.size() < (1u << 20)) from += "@h.example,";
    from = "<" + from + "@h.example:bob@example.com>";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(post("Long", from));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(mailbox("alice").size(), 1u);
}

TEST_F(ListTest, AnArchiveThatCannotBeWrittenDoesNotStopTheCopies) {
    edit([&](TMailListInformation& l) { l.DigestFile = home.path() + "no-such-folder/archive.txt"; });
    ASSERT_TRUE(post("Hi"));
    EXPECT_EQ(mailbox("alice").size(), 1u);
}

TEST_F(ListTest, AListThatContainsItselfEnds) {
    edit([](TMailListInformation& l) { l.AddMember(true, false, "club@example.com"); });
    TMailListInformation other;
    other.AddMember(true, false, "club@example.com");
    other.AddMember(true, false, "alice@example.com");
    other.AddMember(true, false, "carol@example.com");
    ASSERT_TRUE(other.SaveToFile("friends", true));
    edit([](TMailListInformation& l) { l.AddMember(true, false, "friends@example.com"); });

    ASSERT_TRUE(post("Round and round"));
    EXPECT_EQ(mailbox("alice").size(), 2u);  // a member of both lists gets each list's copy
    EXPECT_EQ(mailbox("carol").size(), 1u);
    EXPECT_EQ(queueTexts().size(), 1u);
    EXPECT_EQ(loggedCount("Processing Mail for List"), 2);
}

TEST_F(ListTest, ACopyThatCannotBeStoredIsReportedToTheCaller) {
    blockWrites(si().UserFolder("alice"));
    EXPECT_FALSE(post("Hi"));
}

TEST_F(ListTest, LinesCarryTheListProcessorAsSender) {
    TSmtpMessageInformation m;
    m.ReversePath.Parse("<bob@example.com>");
    m.Lines = {"Subject: !help", ""};
    TListServer list("club", m.ReversePath.GetPath(), m);
    list.OnLog = logger();
    EXPECT_EQ(list.ListPath, "<club@mail.example.com>");
    EXPECT_EQ(list.SenderAddress, "bob@example.com");
    EXPECT_EQ(list.Message.ForwardPathCount(), 2);
    ASSERT_TRUE(list.ProcessMessage());
    EXPECT_EQ(logs.front().sender, &list);
    EXPECT_EQ(logs.front().text, "Processing Mail for List");
    EXPECT_EQ(ObjectIdentity(&list), list.ID);
}

}  // namespace

// A post whose text after its first part is kept in a file (a big message
// spooled as it came): the header is read from the part in memory, and the
// members' copies, the queue file, the archive and the notice for an
// unknown recipient take the rest from the file as it is.
TEST_F(ListTest, PostWithItsBodyInAFileReachesEveryCopyAndTheArchive) {
    const std::string archive = home.path() + "club-archive.txt";
    edit([&](TMailListInformation& l) {
        l.ForceRepliesToList = true;
        l.DigestFile = archive;
    });
    const std::string bodyFile = home.path() + "spooled";
    writeFile(bodyFile, "kept line 1\r\n.kept line 2\r\n");
    TSmtpMessageInformation m;
    m.ReversePath.Parse("<bob@example.com>");
    m.AddForwardPath("<club@example.com>");
    m.AddForwardPath("<nobody@example.com>");
    m.AddLine("Received: FROM example.com");
    m.Text.AppendContent({std::make_shared<const std::string>("From: bob@example.com\r\nSubject: kept\r\n\r\nfirst\r\n"),
                          platform::ContentPiece(platform::SourceFile::open(bodyFile), 0, 27)});
    TDeliverMail d(&m);
    ASSERT_TRUE(d.Deliver());
    ASSERT_TRUE(archiveWritten());

    const std::string text = crlf({"Received: FROM example.com", "From: bob@example.com", "Subject: kept",
                                   "Reply-To: <club@mail.example.com>", "", "first", "kept line 1", ".kept line 2"});
    ASSERT_EQ(mailbox("alice").size(), 1u);
    EXPECT_EQ(mailbox("alice")[0], "Return-Path: <listmaster@mail.example.com>\r\n" + text);
    EXPECT_EQ(readFile(archive), text + "(------------------)\r\n");
    // The list's copy for its foreign member, and the notice to the sender
    // for the unknown recipient, which carries the original.
    std::vector<std::string> queued;
    for (const std::string& n : queueNames()) {
        const std::string q = readFile(si().QueuePath + n + ".txt");
        queued.push_back(q.substr(q.find("[Message]\r\n") + 11));
    }
    std::sort(queued.begin(), queued.end());
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[1], text);
    EXPECT_EQ(queued[0].rfind("From: Tavrin Server ", 0), 0u);
    EXPECT_NE(queued[0].find("\r\n\r\n\r\nReceived: FROM example.com\r\nFrom: bob@example.com\r\nSubject: kept\r\n\r\n"
                             "first\r\nkept line 1\r\n.kept line 2\r\n"),
              std::string::npos);
}

// Header lines that run from one block of the text into the next, their
// CR LF too, are read whole; one that runs on into the part in a file stays
// whole with it.
TEST_F(ListTest, HeaderLinesAcrossBlocksStayWhole) {
    edit([&](TMailListInformation& l) { l.ForceRepliesToList = true; });
    const std::string bodyFile = home.path() + "spooled";
    writeFile(bodyFile, "cd\r\n\r\nbody\r\n");
    const platform::Content texts[] = {
        {std::make_shared<const std::string>("From: bob@example.com\r\nSubject: sp"),
         std::make_shared<const std::string>("lit\r"), std::make_shared<const std::string>("\nX-A: ab"),
         std::make_shared<const std::string>("cd\r\n\r\nbody\r\n")},
        {std::make_shared<const std::string>("From: bob@example.com\r\nSubject: split\r\nX-A: ab"),
         platform::ContentPiece(platform::SourceFile::open(bodyFile), 0, 12)}};
    const std::string replyTo = "Reply-To: <club@mail.example.com>\r\n";
    const std::string copies[] = {"From: bob@example.com\r\nSubject: split\r\nX-A: abcd\r\n" + replyTo + "\r\nbody\r\n",
                                  "From: bob@example.com\r\nSubject: split\r\n" + replyTo + "X-A: abcd\r\n\r\nbody\r\n"};
    for (int i = 0; i < 2; ++i) {
        TSmtpMessageInformation m;
        m.ReversePath.Parse("<bob@example.com>");
        m.AddForwardPath("<club@example.com>");
        m.Text.AppendContent(texts[i]);
        TDeliverMail d(&m);
        ASSERT_TRUE(d.Deliver());
        EXPECT_EQ(lastMail("alice"), "Return-Path: <listmaster@mail.example.com>\r\n" + copies[i]);
    }
}
