// A forced close while a message's commit is held in its flush: the window
// waits for the answer owed, and at its bound takes the commit back, so the
// message is stored nowhere since it was never answered.
#include <gtest/gtest.h>

#include "DataU1.h"
#include "Forms.h"
#include "GuiSupport.h"
#include "Main.h"
#include "SmtpServer.h"
#include "platform/Clock.h"
#include "platform/GroupCommit.h"
#include "support/FlushGate.h"
#include "support/SmtpTestFixture.h"
#include "support/TestSupport.h"

TEST(StopTest, ForcedCloseWaitsForTheCommitAndTakesItBackAtTheBound) {
    testsupport::ScopedDataHome home;
    const int smtp = testsupport::freePort();
    guitest::writeSettings(guitest::settingsText(smtp, testsupport::freePort()));
    guitest::ProgramForms forms;
    ASSERT_TRUE(ServerInformation->CreateUser("alice"));
    TPop3UserInformation user;
    user.Password = "secret";
    ASSERT_TRUE(user.SaveUser("alice"));
    const std::string mailbox = ServerInformation->MailBoxPath + "alice/";

    smtptest::RawClient c(smtp);
    EXPECT_EQ(c.reply().substr(0, 4), "220 ");
    c.send("EHLO c\r\nAUTH LOGIN\r\nYWxpY2U=\r\nc2VjcmV0\r\nMAIL FROM:<>\r\nRCPT TO:<alice@tavrin.test>\r\nDATA\r\n");
    for (const char* code : {"250", "334", "334", "235", "250", "250", "354"}) EXPECT_EQ(c.reply().substr(0, 3), code);
    FlushGate gate;
    c.send("Subject: never answered\r\n\r\nbody\r\n.\r\n");
    ASSERT_TRUE(testsupport::stepUntil([&] { return gate.holding(); }));

    const double start = testsupport::fixedLocalTime();
    platform::setNowOverride(start);
    platform::loop().send(frmMain->Handle(), WM_TavrinForceShutdown);
    EXPECT_TRUE(frmMain->IsStopping());
    EXPECT_EQ(frmMain->SmtpServer()->ConnectionCount(), 1);

    platform::setNowOverride(start + (TfrmMain::StopBoundMs + 1000) / 86400000.0);
    EXPECT_TRUE(guitest::waitFor([] { return frmMain->IsClosed(); }));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_EQ(c.pending(), "");
    gate.open();
    platform::setNowOverride(std::nullopt);

    // Placed after every commit started before it: the held one has ended.
    testsupport::TempDir after;
    platform::CommitSet marker;
    marker.add(std::make_unique<platform::DurableFile>(after.path()), after.path() + "marker", false);
    EXPECT_EQ(platform::commitNow(std::move(marker)), 0);
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(mailbox, ec))
        EXPECT_TRUE(!e.is_regular_file() || e.path().extension() == ".ini") << e.path();
}
