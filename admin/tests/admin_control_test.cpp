// Control messages sent by the tools/ sender program to the main window made
// as the program makes it. The sender runs as a child process waited for in
// Qt's loop, so every message reaches the window through the hosted platform
// loop, as in the running program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "About.h"
#include "CloseQuery.h"
#include "DataU1.h"
#include "Forms.h"
#include "GuiSupport.h"
#include "Main.h"
#include "Pop3Server.h"
#include "SmtpAgent.h"
#include "SmtpServer.h"
#include "platform/Bus.h"
#include "support/TestSupport.h"

using guitest::ModalHandler;
using guitest::ProgramForms;
using guitest::waitFor;
using testsupport::ScopedDataHome;

namespace {

guitest::ProcessResult send(const QString& name) { return guitest::run(guitest::sender(), {name}); }

// The bits of the one status answer the sender printed; -1 when none.
int statusBits(const guitest::ProcessResult& r) {
    QRegularExpression re(QString("TavrinStatus wParam=%1 lParam=(\\d+) ").arg(getpid()));
    auto m = re.match(r.output);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        smtpPort = testsupport::freePort();
        do pop3Port = testsupport::freePort();
        while (pop3Port == smtpPort);
        guitest::writeSettings(guitest::settingsText(smtpPort, pop3Port));
        forms = std::make_unique<ProgramForms>();
    }
    void TearDown() override { forms.reset(); }

    ScopedDataHome home;
    int smtpPort = 0, pop3Port = 0;
    std::unique_ptr<ProgramForms> forms;
};

}  // namespace

TEST_F(ControlTest, StatusBitsFollowTheServices) {
    auto r = send("TavrinSendStatus");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_EQ(statusBits(r), 7) << r.output.toStdString();
    EXPECT_TRUE(r.output.contains("SMTPServer=1 SMTPAgent=1 POP3Server=1"));

    EXPECT_EQ(send("TavrinStopSMTPServer").exitCode, 0);
    EXPECT_FALSE(frmMain->SmtpServer()->IsListening());
    EXPECT_EQ(send("TavrinStopSMTPAgent").exitCode, 0);
    EXPECT_FALSE(frmMain->SmtpAgent()->IsActive());
    EXPECT_EQ(frmMain->lblAgentConn->text(), "Agent:0");
    EXPECT_EQ(statusBits(send("TavrinSendStatus")), 4) << "only the POP3 server";

    EXPECT_EQ(send("TavrinStopPOP3Server").exitCode, 0);
    EXPECT_FALSE(frmMain->Pop3Server()->IsListening());
    EXPECT_EQ(statusBits(send("TavrinSendStatus")), 0);
    EXPECT_EQ(send("TavrinStopPOP3Server").exitCode, 0) << "a stopped service stays stopped";
    EXPECT_FALSE(frmMain->Pop3Server()->IsListening());

    EXPECT_EQ(send("TavrinStartSMTPServer").exitCode, 0);
    EXPECT_TRUE(frmMain->SmtpServer()->IsListening());
    EXPECT_EQ(statusBits(send("TavrinSendStatus")), 1);
    EXPECT_EQ(send("TavrinStartSMTPAgent").exitCode, 0);
    EXPECT_TRUE(frmMain->SmtpAgent()->IsActive());
    EXPECT_EQ(send("TavrinStartPOP3Server").exitCode, 0);
    EXPECT_TRUE(frmMain->Pop3Server()->IsListening());
    EXPECT_EQ(send("TavrinStartPOP3Server").exitCode, 0) << "a start while running listens anew";
    EXPECT_TRUE(frmMain->Pop3Server()->IsListening());
    EXPECT_EQ(statusBits(send("TavrinSendStatus")), 7);
    EXPECT_EQ(frmMain->lblPop3Conn->text(), "Pop3:0");
}

TEST_F(ControlTest, RefreshReadsTheHandEditedFile) {
    EXPECT_EQ(ServerInformation->LogLevel, 8);
    std::string ini = guitest::basePath() + "Tavrin.ini";
    std::string text = testsupport::readFile(ini);
    // Edited by hand on Linux: LF line ends, another log level and port.
    std::string edited = "[General]\nServer Name=tavrin.test\nLog Level=2\n[Smtp Server]\nBind Address=127.0.0.1\n"
                         "Listen Port=" + std::to_string(smtpPort + 1) + "\n[Pop 3 Server]\nBind Address=127.0.0.1\n"
                         "Listen Port=" + std::to_string(pop3Port) + "\n";
    testsupport::writeFile(ini, edited);
    EXPECT_EQ(send("TavrinRefreshFromINIFile").exitCode, 0);
    EXPECT_EQ(ServerInformation->LogLevel, 2);
    frmMain->reLog->clear();
    frmMain->ServiceLog(nullptr, "level three", 3);
    frmMain->ServiceLog(nullptr, "level two", 2);
    EXPECT_EQ(frmMain->LogLineCount(), 1) << "the new log level is in force at once";
    EXPECT_EQ(ServerInformation->SmtpListenPort, smtpPort + 1);
    EXPECT_TRUE(frmMain->SmtpServer()->IsListening()) << "running services are not restarted";
    EXPECT_EQ(frmMain->SmtpServer()->ListenSocket().Port(), std::to_string(smtpPort));
}

TEST_F(ControlTest, ShutdownAsksAndNoKeepsTheServer) {
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnCancel")->click(); });
    auto r = send("TavrinShutdown");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(h.count(), 1) << "the sender waited for the question to be answered";
    EXPECT_FALSE(frmMain->IsClosed());
    EXPECT_TRUE(frmMain->SmtpServer()->IsListening());
}

TEST_F(ControlTest, ShutdownAnsweredYesCloses) {
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnYes")->click(); });
    EXPECT_EQ(send("TavrinShutdown").exitCode, 0);
    EXPECT_EQ(h.count(), 1);
    EXPECT_TRUE(frmMain->IsClosed());
}

TEST_F(ControlTest, ForceShutdownClosesWithoutAskingPop3ThenSmtpThenAgent) {
    std::vector<std::string> order;
    auto track = [&order](auto* service, const char* name) {
        auto old = service->OnStatus;
        service->OnStatus = [&order, old, name](void* s, bool a, int c) {
            if (order.empty() || order.back() != name) order.push_back(name);
            old(s, a, c);
        };
    };
    track(frmMain->Pop3Server(), "POP3");
    track(frmMain->SmtpServer(), "SMTP");
    track(frmMain->SmtpAgent(), "Agent");
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnCancel")->click(); });
    EXPECT_EQ(send("TavrinForceShutdown").exitCode, 0);
    EXPECT_EQ(h.count(), 0);
    EXPECT_TRUE(frmMain->IsClosed());
    EXPECT_EQ(order, (std::vector<std::string>{"POP3", "SMTP", "Agent"}));
    EXPECT_FALSE(frmMain->SmtpAgent()->IsActive());
}

TEST_F(ControlTest, ForceShutdownWhileTheQuestionIsOpenCloses) {
    bool forced = false;
    ModalHandler h("frmCloseQuery", [&](QWidget*) {
        // Another program forces the close while the question waits.
        platform::loop().send(frmMain->Handle(), WM_TavrinForceShutdown);
        forced = true;
    });
    frmMain->Close();
    EXPECT_TRUE(forced);
    EXPECT_TRUE(frmMain->IsClosed());
    EXPECT_FALSE(frmCloseQuery->isVisible());
}

TEST_F(ControlTest, RestoreBringsTheWindowBackFromTrayOrMinimised) {
    // The restore runs after the handler has answered the sender.
    frmMain->hide();
    EXPECT_EQ(send("TavrinRestore").exitCode, 0);
    EXPECT_TRUE(waitFor([] { return frmMain->isVisible(); }));
    frmMain->MinimizeApplication();
    ASSERT_TRUE(frmMain->isMinimized());
    EXPECT_EQ(send("TavrinRestore").exitCode, 0);
    EXPECT_TRUE(waitFor([] { return !frmMain->isMinimized(); }));
    EXPECT_TRUE(frmMain->isVisible());
}

TEST_F(ControlTest, UnhandledMessagesReachTheDefaultProcedureUnchanged) {
    std::vector<platform::Message> seen;
    auto saved = OldWindowProc;
    OldWindowProc = [&](platform::Message& m) {
        seen.push_back(m);
        saved(m);
    };
    platform::loop().send(frmMain->Handle(), WM_TavrinStatus, 12, 7);
    unsigned other = platform::registerWindowMessage("SomeoneElsesMessage");
    platform::loop().send(frmMain->Handle(), other, 1, 2);
    platform::loop().send(frmMain->Handle(), WM_TavrinSendStatus);  // handled, not passed on
    OldWindowProc = saved;
    ASSERT_EQ(seen.size(), 3u) << "the answer's own broadcast reaches this window too";
    EXPECT_EQ(seen[0].msg, WM_TavrinStatus);
    EXPECT_EQ(seen[0].wParam, 12);
    EXPECT_EQ(seen[0].lParam, 7);
    EXPECT_EQ(seen[1].msg, other);
    EXPECT_EQ(seen[1].lParam, 2);
    EXPECT_EQ(seen[2].msg, WM_TavrinStatus);
    EXPECT_EQ(seen[2].wParam, getpid());
}

TEST_F(ControlTest, ServicesAndMessagesGoOnWhileADialogIsModal) {
    guitest::ProcessResult status, smtp;
    ModalHandler h("frmAbout", [&](QWidget* w) {
        status = send("TavrinSendStatus");
        smtp = guitest::run(guitest::python(),
                            {"-c", QString("import smtplib; s=smtplib.SMTP('127.0.0.1', %1, timeout=10); "
                                           "print(s.ehlo()[0]); s.quit()")
                                       .arg(smtpPort)});
        static_cast<QDialog*>(w)->accept();
    });
    frmMain->mnuHAbout->trigger();
    EXPECT_EQ(h.count(), 1);
    EXPECT_EQ(statusBits(status), 7) << status.output.toStdString();
    EXPECT_EQ(smtp.exitCode, 0) << smtp.output.toStdString();
    EXPECT_TRUE(smtp.output.startsWith("250")) << smtp.output.toStdString();
}

TEST(ControlDuringStart, MessagesForServicesNotYetMadeDoNothing) {
    ScopedDataHome home;
    int smtp = testsupport::freePort(), pop3 = testsupport::freePort();
    guitest::ProcessResult status, start;
    ModalHandler h("frmFirstTime", [&](QWidget* w) {
        ServerInformation->SmtpBindAddress = ServerInformation->Pop3BindAddress = "127.0.0.1";
        ServerInformation->SmtpListenPort = smtp;
        ServerInformation->Pop3ListenPort = pop3;
        ServerInformation->AutoStartSmtpServer = false;
        start = send("TavrinStartSMTPServer");
        status = send("TavrinSendStatus");
        w->close();
    });
    ProgramForms forms;
    EXPECT_EQ(h.count(), 1);
    EXPECT_EQ(start.exitCode, 0);
    EXPECT_EQ(statusBits(status), 0) << "a missing service counts as not running";
    EXPECT_FALSE(frmMain->SmtpServer()->IsListening());
    EXPECT_TRUE(frmMain->Pop3Server()->IsListening());
}

TEST(ControlDuringStart, ForcedCloseWhileTheFirstStartWindowRuns) {
    ScopedDataHome home;
    ModalHandler h("frmFirstTime", [&](QWidget*) {
        platform::loop().send(frmMain->Handle(), WM_TavrinForceShutdown);
    });
    int closed = 0;
    MainFormClosed = [&] {
        ++closed;
        // The program block's loop would end here, and with it the window's.
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
    };
    ProgramForms forms;
    MainFormClosed = nullptr;
    EXPECT_EQ(h.count(), 1);
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(frmMain->IsClosed());
    EXPECT_EQ(frmMain->SmtpServer(), nullptr) << "no service is made after the close";
}
