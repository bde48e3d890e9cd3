// The main window as the program makes it, under the offscreen platform:
// start-up, the log view and log file, the status lights, the Help menu, the
// tray, the close question's outcomes, the idle sweep and the queue request.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "CloseQuery.h"
#include "DataU1.h"
#include "FirstTime.h"
#include "Forms.h"
#include "GuiSupport.h"
#include "MailRouting.h"
#include "Main.h"
#include "Pop3Server.h"
#include "SmtpAgent.h"
#include "SmtpServer.h"
#include "Widgets.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

using guitest::ModalHandler;
using guitest::ProgramForms;
using guitest::waitFor;
using testsupport::ScopedDataHome;
using testsupport::TempDir;

namespace {

const QColor Lime(0x00, 0xFF, 0x00);
const QColor Red(0xFF, 0x00, 0x00);

QStringList viewLines() {
    QStringList out = frmMain->reLog->toPlainText().split('\n');
    if (frmMain->LogLineCount() == 0) out.clear();
    return out;
}

std::string slurp(const std::string& path) { return testsupport::readFile(path); }

// Both ports distinct and free a moment ago.
std::pair<int, int> twoPorts() {
    int a = testsupport::freePort(), b = testsupport::freePort();
    while (b == a) b = testsupport::freePort();
    return {a, b};
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::tie(smtpPort, pop3Port) = twoPorts();
        guitest::writeSettings(guitest::settingsText(smtpPort, pop3Port, generalExtra()));
        forms = std::make_unique<ProgramForms>();
        ASSERT_NE(frmMain, nullptr);
    }
    void TearDown() override {
        forms.reset();
        TrayIconAvailable = [] { return false; };
        platform::setNowOverride(std::nullopt);
    }
    virtual std::string generalExtra() { return {}; }

    ScopedDataHome home;
    TempDir tmp;
    int smtpPort = 0, pop3Port = 0;
    std::unique_ptr<ProgramForms> forms;
};

}  // namespace

// --- start-up -------------------------------------------------------------------

TEST(MainWindowStart, FirstStartShowsTheFirstStartWindowModallyAtEveryShowing) {
    ScopedDataHome home;
    TrayIconAvailable = [] { return false; };
    auto [smtp, pop3] = twoPorts();
    bool modal = false, servicesYet = true;
    QString caption;
    ModalHandler h("frmFirstTime", [&](QWidget* w) {
        modal = w->isModal();
        caption = w->windowTitle();
        servicesYet = frmMain->SmtpServer() != nullptr;
        // What the general settings would change, without saving (no OK).
        ServerInformation->SmtpBindAddress = ServerInformation->Pop3BindAddress = "127.0.0.1";
        ServerInformation->SmtpListenPort = smtp;
        ServerInformation->Pop3ListenPort = pop3;
        w->findChild<QPushButton*>("btnClose")->click();
    });
    {
        ProgramForms forms;
        EXPECT_EQ(h.count(), 1);
        EXPECT_TRUE(modal);
        EXPECT_EQ(caption, "Tavrin First Timer Information");
        EXPECT_FALSE(servicesYet) << "the first-start window runs before the services exist";
        EXPECT_TRUE(frmMain->FirstStart());
        EXPECT_TRUE(frmMain->isVisible());
        ASSERT_NE(frmMain->SmtpServer(), nullptr);
        EXPECT_TRUE(frmMain->SmtpServer()->IsListening()) << "the settings changed in it are used";

        frmMain->hide();
        frmMain->RestoreFromTray();
        EXPECT_EQ(h.count(), 2) << "shown again at the next showing of the run";
    }
    EXPECT_FALSE(std::filesystem::exists(guitest::basePath() + "Tavrin.ini"))
        << "a run without OK in a settings dialog writes no settings file";
}

TEST_F(MainWindowTest, WithSettingsFileNoFirstStartAndServicesAutoStart) {
    EXPECT_FALSE(frmMain->FirstStart());
    EXPECT_TRUE(frmMain->isVisible());
    EXPECT_EQ(frmMain->windowTitle(), "Tavrin SMTP/POP3 Server");
    EXPECT_EQ(frmMain->size(), QSize(514, 259));
    ASSERT_TRUE(frmMain->SmtpServer() && frmMain->Pop3Server() && frmMain->SmtpAgent());
    EXPECT_TRUE(frmMain->SmtpServer()->IsListening());
    EXPECT_TRUE(frmMain->Pop3Server()->IsListening());
    EXPECT_TRUE(frmMain->SmtpAgent()->IsActive());
    EXPECT_EQ(ServiceQueueWindow(), frmMain->Handle()) << "routing posts its queue request here";
}

class StartMinimizedTest : public MainWindowTest {
    void SetUp() override {
        TrayIconAvailable = [] { return true; };  // a desktop with a tray
        MainWindowTest::SetUp();
    }
    std::string generalExtra() override { return "Start Minimized=1\r\n"; }
};

TEST_F(StartMinimizedTest, OnlyTheIconAndALeftClickShowsTheWindow) {
    EXPECT_FALSE(frmMain->isVisible());
    EXPECT_TRUE(frmMain->TimerTray->isActive());
    TrayIconAvailable = [] { return false; };
    frmMain->TimerTrayTimer();  // the notification area refuses: tried again later
    EXPECT_FALSE(frmMain->TrayIconShown());
    EXPECT_TRUE(frmMain->TimerTray->isActive());
    EXPECT_TRUE(frmMain->isVisible() && frmMain->isMinimized()) << "iconic, as without a tray";

    TrayIconAvailable = [] { return true; };
    frmMain->TimerTrayTimer();
    EXPECT_TRUE(frmMain->TrayIconShown());
    EXPECT_TRUE(frmMain->TimerTray->isActive()) << "it goes on watching for the tray to go";
    EXPECT_EQ(frmMain->TrayIcon()->toolTip(), "Tavrin SMTP/POP3 Server");
    EXPECT_FALSE(frmMain->AddTrayIcon()) << "an icon that is shown is not added twice";

    platform::loop().send(frmMain->Handle(), WM_TRAY_ICON, 0, WM_LBUTTONDOWN);
    EXPECT_TRUE(frmMain->isVisible());
    EXPECT_FALSE(frmMain->isMinimized());
}

TEST_F(MainWindowTest, TaskbarCreatedAddsTheIconAgain) {
    TrayIconAvailable = [] { return true; };
    ASSERT_TRUE(frmMain->AddTrayIcon());
    platform::loop().send(frmMain->Handle(), WM_TaskbarCreated);
    EXPECT_TRUE(frmMain->TrayIconShown());
    TrayIconAvailable = [] { return false; };
    platform::loop().send(frmMain->Handle(), WM_TaskbarCreated);
    EXPECT_FALSE(frmMain->TrayIconShown()) << "a failed re-add is not retried";
}

// --- log ------------------------------------------------------------------------

TEST_F(MainWindowTest, LogLevelDecidesWhatIsShown) {
    void* smtp = frmMain->SmtpServer();
    ServerInformation->LogLevel = 3;
    frmMain->reLog->clear();
    frmMain->ServiceLog(smtp, "four", 4);
    EXPECT_EQ(frmMain->LogLineCount(), 0);
    frmMain->ServiceLog(smtp, "three", 3);
    ServerInformation->LogLevel = 0;
    frmMain->ServiceLog(smtp, "one", 1);
    frmMain->ServiceLog(smtp, "zero", 0);
    ServerInformation->LogLevel = -1;
    frmMain->ServiceLog(smtp, "zero again", 0);
    QStringList lines = viewLines();
    ASSERT_EQ(lines.size(), 2) << lines.join("|").toStdString();
    QRegularExpression form(R"(^\[[^\]]+ - [^\]]+\]  (three|zero)$)");
    EXPECT_TRUE(form.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith("]  three"));
    EXPECT_TRUE(lines[1].endsWith("]  zero"));
}

TEST_F(MainWindowTest, ViewKeepsAtMost501Lines) {
    frmMain->reLog->clear();
    for (int i = 1; i <= 500; ++i) frmMain->ServiceLog(nullptr, "line " + std::to_string(i), 0);
    EXPECT_EQ(frmMain->LogLineCount(), 500);
    frmMain->ServiceLog(nullptr, "line 501", 0);
    EXPECT_EQ(frmMain->LogLineCount(), 501);
    frmMain->ServiceLog(nullptr, "line 502", 0);
    ASSERT_EQ(frmMain->LogLineCount(), 1);
    EXPECT_TRUE(viewLines()[0].endsWith("]  line 502"));
}

TEST_F(MainWindowTest, LogFileIsCreatedByTheFirstLineAndAppendedTo) {
    std::string path = tmp.path() + "tavrin.log";
    ServerInformation->LogFile = path;
    ServerInformation->LogLevel = 8;
    EXPECT_FALSE(std::filesystem::exists(path));
    frmMain->ServiceLog(nullptr, "first", 5);
    ASSERT_TRUE(std::filesystem::exists(path));
    frmMain->ServiceLog(nullptr, "second \xE5\xBE\x8C", 8);
    frmMain->ServiceLog(nullptr, "not shown", 9);
    std::string text = slurp(path);
    QStringList view = viewLines();
    ASSERT_GE(view.size(), 2);
    std::string expected = view[view.size() - 2].toStdString() + "\n" + view.back().toStdString() + "\n";
    EXPECT_EQ(text, expected) << "the file holds exactly the lines shown, bytes as logged";

    // An existing file is appended to, never emptied.
    std::ofstream(path, std::ios::trunc) << "older\n";
    frmMain->ServiceLog(nullptr, "third", 0);
    EXPECT_EQ(slurp(path).rfind("older\n[", 0), 0u);
}

TEST_F(MainWindowTest, LogFileInAMissingFolderCostsOnlyTheFile) {
    ModalHandler anyMessage("ShowMessage", [](QWidget* w) { w->close(); });
    std::string path = tmp.path() + "no/such/folder/tavrin.log";
    ServerInformation->LogFile = path;
    frmMain->reLog->clear();
    frmMain->ServiceLog(nullptr, "still shown", 0);
    waitFor([] { return false; }, 50);  // give a message box the chance to appear
    EXPECT_EQ(frmMain->LogLineCount(), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(anyMessage.count(), 0);
}

TEST_F(MainWindowTest, SavedLogIsRichTextOnlyForRtfNames) {
    frmMain->reLog->clear();
    frmMain->ServiceLog(nullptr, "plain {brace} back\\slash \xE4\xB8\xAD", 0);
    frmMain->ServiceLog(nullptr, "second", 0);
    QStringList lines = viewLines();
    std::string plain = lines[0].toStdString() + "\n" + lines[1].toStdString() + "\n";

    struct Case {
        const char* name;
        bool rich;
    };
    for (Case c : {Case{"a.rtf", true}, Case{"b.RtF", true}, Case{"c.txt", false}, Case{"noext", false},
                   Case{"d.rtf.txt", false}}) {
        std::string path = tmp.path() + c.name;
        ASSERT_TRUE(frmMain->SaveLogToFile(QString::fromStdString(path))) << c.name;
        std::string text = slurp(path);
        if (c.rich) {
            EXPECT_EQ(text.rfind("{\\rtf1", 0), 0u) << c.name;
            EXPECT_NE(text.find("plain \\{brace\\} back\\\\slash \\u20013?\\par"), std::string::npos) << text;
            EXPECT_NE(text.find("]  second\\par"), std::string::npos);
        } else {
            EXPECT_EQ(text, plain) << c.name;
        }
    }
    EXPECT_FALSE(frmMain->SaveLogToFile(QString::fromStdString(tmp.path() + "missing/x.txt")));
}

TEST_F(MainWindowTest, SaveMenuWritesThroughItsDialog) {
    frmMain->reLog->clear();
    frmMain->ServiceLog(nullptr, "through the dialog", 0);
    std::string path = tmp.path() + "saved";
    QString title;
    QStringList filters;
    ModalHandler h("SaveDialog1", [&](QWidget* w) {
        auto* d = qobject_cast<QFileDialog*>(w);
        title = d->windowTitle();
        filters = d->nameFilters();
        d->setDirectory(QString::fromStdString(tmp.path()));
        d->findChild<QLineEdit*>("fileNameEdit")->setText("saved");
        QMetaObject::invokeMethod(d, "accept");
    });
    frmMain->puSaveClick();
    EXPECT_EQ(h.count(), 1);
    EXPECT_EQ(title, "Save Tavrin Log");
    EXPECT_EQ(filters, (QStringList{"Text File (*.txt)", "Rich Text File (*.rtf)"}));
    EXPECT_NE(slurp(path + ".txt").find("]  through the dialog\n"), std::string::npos)
        << "a name without extension gets .txt and plain text";
    frmMain->puClearClick();
    EXPECT_EQ(frmMain->LogLineCount(), 0);
}

// --- status lights -------------------------------------------------------------------

TEST_F(MainWindowTest, LightsHintsAndLabelsFollowEachService) {
    // The real services reported their start already.
    EXPECT_EQ(frmMain->shapeStatusSmtpServer->brushColor(), Lime);
    EXPECT_EQ(frmMain->shapeStatusSmtpAgent->brushColor(), Lime);
    EXPECT_EQ(frmMain->shapeStatusPop3Server->brushColor(), Lime);
    EXPECT_EQ(frmMain->lblSmtpConn->text(), "Smtp:0");

    struct Row {
        void* sender;
        TShape* light;
        QLabel* label;
        QAction* item;
        const char* hint0;
        const char* label0;
        const char* hint3;
        const char* label3;
    };
    Row rows[] = {
        {frmMain->SmtpServer(), frmMain->shapeStatusSmtpServer, frmMain->lblSmtpConn, frmMain->mnuASMTPServer,
         "SMTP Server, 0 open connections.", "Smtp:0", "SMTP Server, 3 open connections.", "Smtp:3"},
        {frmMain->SmtpAgent(), frmMain->shapeStatusSmtpAgent, frmMain->lblAgentConn, frmMain->mnuASMTPAgent,
         "SMTP Agent, 0 open messages.", "Agent:0", "SMTP Agent, 3 open messages.", "Agent:3"},
        {frmMain->Pop3Server(), frmMain->shapeStatusPop3Server, frmMain->lblPop3Conn, frmMain->mnuAPOP3Server,
         "POP3 Server, 0 open connections.", "Pop3:0", "POP3 Server, 3 open connections.", "Pop3:3"},
    };
    for (const Row& r : rows) {
        frmMain->ServiceStatus(r.sender, false, 0);
        EXPECT_EQ(r.light->brushColor(), Red);
        EXPECT_EQ(r.light->toolTip(), r.hint0);
        EXPECT_EQ(r.label->text(), r.label0);
        EXPECT_FALSE(r.item->isChecked());
        frmMain->ServiceStatus(r.sender, true, 3);
        EXPECT_EQ(r.light->brushColor(), Lime);
        EXPECT_EQ(r.light->toolTip(), r.hint3);
        EXPECT_EQ(r.label->text(), r.label3);
        EXPECT_TRUE(r.item->isChecked());
    }
    int other;
    frmMain->ServiceStatus(&other, false, 9);
    EXPECT_EQ(frmMain->lblSmtpConn->text(), "Smtp:3") << "another sender changes nothing";

    // Four digits and more: each label whole, clear of the light after it.
    for (const Row& r : rows) frmMain->ServiceStatus(r.sender, true, 1234);
    for (int i = 0; i < 3; ++i) {
        QLabel* l = rows[i].label;
        EXPECT_GE(l->width(), l->sizeHint().width()) << l->text().toStdString();
        if (i < 2) {
            EXPECT_LT(l->geometry().right(), rows[i + 1].light->x()) << l->text().toStdString();
        }
    }
}

TEST_F(MainWindowTest, ConnectionsCountAndTheSweepClosesIdleOnes) {
    int fd = connectTo(smtpPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(waitFor([] { return frmMain->lblSmtpConn->text() == "Smtp:1"; }));
    EXPECT_EQ(frmMain->shapeStatusSmtpServer->toolTip(), "SMTP Server, 1 open connections.");
    char greeting[256];
    ASSERT_TRUE(waitFor([&] { return recv(fd, greeting, sizeof greeting, MSG_DONTWAIT) > 0; }));
    // The greeting's send is the session's first activity.
    ASSERT_TRUE(waitFor([] { return frmMain->SmtpServer()->Connection(0)->LastActivity() > 0; }));

    frmMain->TimerInactivityTimer();
    EXPECT_EQ(frmMain->SmtpServer()->ConnectionCount(), 1) << "not idle yet";
    platform::setNowOverride(platform::Now());
    platform::advanceNow(15 * 0.00069 + 0.0001);  // past the 15-minute timeout
    frmMain->TimerInactivityTimer();
    EXPECT_EQ(frmMain->SmtpServer()->ConnectionCount(), 0);
    EXPECT_EQ(frmMain->lblSmtpConn->text(), "Smtp:0");
    EXPECT_TRUE(frmMain->reLog->toPlainText().contains("Closing due to inactivity (15 minutes)."));
    close(fd);
}

TEST_F(MainWindowTest, ActiveMenuTogglesEachService) {
    frmMain->mnuASMTPServer->trigger();
    EXPECT_FALSE(frmMain->SmtpServer()->IsListening());
    EXPECT_FALSE(frmMain->mnuASMTPServer->isChecked());
    frmMain->mnuASMTPServer->trigger();
    EXPECT_TRUE(frmMain->SmtpServer()->IsListening());
    EXPECT_TRUE(frmMain->mnuASMTPServer->isChecked());

    frmMain->mnuASMTPAgent->trigger();
    EXPECT_FALSE(frmMain->SmtpAgent()->IsActive());
    EXPECT_EQ(frmMain->lblAgentConn->text(), "Agent:0");
    frmMain->mnuAPOP3Server->trigger();
    EXPECT_FALSE(frmMain->Pop3Server()->IsListening());
    EXPECT_EQ(frmMain->shapeStatusPop3Server->brushColor(), Red);

    // A start that fails (the port is taken) leaves the mark unchecked.
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(pop3Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    frmMain->mnuAPOP3Server->trigger();
    EXPECT_FALSE(frmMain->Pop3Server()->IsListening());
    EXPECT_FALSE(frmMain->mnuAPOP3Server->isChecked());
    EXPECT_TRUE(frmMain->reLog->toPlainText().contains(
        QString("Can't Bind to 127.0.0.1:%1").arg(pop3Port)));
    close(blocker);
}

TEST_F(MainWindowTest, QueueRequestFromRoutingRunsTheAgentAfterwards) {
    std::filesystem::create_directories(ServerInformation->QueuePath);
    std::ofstream(ServerInformation->QueuePath + "12345.que") << "[Reverse Path]\r\n";
    frmMain->reLog->clear();
    PostServiceQueueNow();
    EXPECT_EQ(frmMain->LogLineCount(), 0) << "posted, not run inside the call";
    ASSERT_TRUE(waitFor([] { return frmMain->reLog->toPlainText().contains("Servicing 1 queued messages..."); }));
}

// --- menus ------------------------------------------------------------------------

TEST_F(MainWindowTest, MenuCaptionsStandAsGiven) {
    struct Item {
        const char* name;
        const char* caption;
    };
    for (Item i : {Item{"mnuFile", "&F 檔案"}, Item{"mnuFExit", "&X 離開"}, Item{"mnuActive", "&V 啟動 "},
                   Item{"mnuASMTPServer", "SMTP &S 服務"}, Item{"mnuASMTPAgent", "SMTP &A 管制服務"},
                   Item{"mnuAPOP3Server", "&POP3 服務"},
                   Item{"mnuAServiceQueueNow", "&Q 傳送停在外寄儲列中的郵件"},
                   Item{"mnuSettings", "&S 設定"}, Item{"mnuSGeneral", "&G 一般設定..."},
                   Item{"mnuSSMTPServer", "SMTP &S 服務設定..."}, Item{"mnuSSMTPAgent", "SMTP &A 管制服務設定..."},
                   Item{"mnuSPOP3Server", "&POP3 服務設定..."}, Item{"mnuAccounts", "&A 帳號"},
                   Item{"mnuAManageUsers", "管理 &U 使用者帳號..."},
                   Item{"mnuAManageMailLists", "管理 EMail &L 名冊..."},
                   Item{"mnuAManageAliases", "管理 &A 別名..."}, Item{"mnuHelp", "&H 求助"},
                   Item{"mnuHFirstTime", "First Timers Read This !"}, Item{"mnuHManual", "&Manual..."},
                   Item{"mnuHHelpFile", "Help File..."}, Item{"mnuHWebSite", "&Web Site..."},
                   Item{"mnuHLicense", "&License..."}, Item{"mnuHAbout", "&About..."},
                   Item{"mnuHEMailtheAuthor", "E-Mail the Author..."}, Item{"puClear", "Clear"},
                   Item{"puSave", "Save..."}, Item{"puTrayRestore", "Restore"},
                   Item{"puTrayTerminate", "Terminate"}}) {
        QAction* a = frmMain->findChild<QAction*>(i.name);
        ASSERT_NE(a, nullptr) << i.name;
        EXPECT_EQ(a->text(), QString::fromUtf8(i.caption)) << i.name;
    }
    EXPECT_EQ(frmMain->mnuFExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_F4));
    EXPECT_TRUE(frmMain->N1->isSeparator());
    EXPECT_TRUE(frmMain->N3->isSeparator());
}

// A settings dialog's OK saves the settings file, Cancel does not; an account
// manager saves it however it closes (aliases live in that file).
TEST_F(MainWindowTest, SettingsAndAccountMenusSaveTheFileAsTheyShould) {
    const std::string ini = ServerInformation->IniFileName();
    auto clickOn = [](const char* button) {
        return [button](QWidget* w) {
            auto* b = w->findChild<QPushButton*>(button);
            ASSERT_NE(b, nullptr) << button;
            b->click();
        };
    };
    std::filesystem::remove(ini);
    {
        ModalHandler cancel("frmSettings_SmtpAgent", clickOn("btnCancel"));
        frmMain->mnuSSMTPAgent->trigger();
        EXPECT_EQ(cancel.count(), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(ini));
    {
        ModalHandler ok("frmSettings_SmtpAgent", clickOn("btnOK"));
        frmMain->mnuSSMTPAgent->trigger();
        EXPECT_EQ(ok.count(), 1);
    }
    EXPECT_TRUE(std::filesystem::exists(ini));

    std::filesystem::remove(ini);
    {
        ModalHandler close("frmManageAliases", clickOn("btnClose"));
        frmMain->mnuAManageAliases->trigger();
        EXPECT_EQ(close.count(), 1);
    }
    EXPECT_TRUE(std::filesystem::exists(ini));
}

TEST_F(MainWindowTest, HelpItemsFollowTheFilesInTheBaseFolder) {
    frmMain->mnuHelpClick();
    EXPECT_FALSE(frmMain->mnuHManual->isEnabled());
    EXPECT_FALSE(frmMain->mnuHHelpFile->isEnabled());
    std::ofstream(ServerInformation->BasePath + "tavrin.doc") << "manual";
    emit frmMain->mnuHelp->aboutToShow();
    EXPECT_TRUE(frmMain->mnuHManual->isEnabled());
    EXPECT_FALSE(frmMain->mnuHHelpFile->isEnabled());
}

TEST_F(MainWindowTest, FirstTimersItemOpensModelessWindowsThatFreeThemselves) {
    frmMain->mnuHFirstTime->trigger();
    frmMain->mnuHFirstTime->trigger();
    QList<TfrmFirstTime*> open = frmMain->findChildren<TfrmFirstTime*>();
    ASSERT_EQ(open.size(), 2);
    EXPECT_FALSE(open[0]->isModal());
    QPointer<TfrmFirstTime> a = open[0], b = open[1];
    a->btnClose->click();
    ASSERT_TRUE(waitFor([&] { return a.isNull(); }));
    EXPECT_FALSE(b.isNull());
    b->close();
    ASSERT_TRUE(waitFor([&] { return b.isNull(); }));
}

// --- closing -----------------------------------------------------------------------

TEST_F(MainWindowTest, CloseQuestionNoKeepsTheServerRunning) {
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnCancel")->click(); });
    frmMain->mnuFExitClick();
    EXPECT_EQ(h.count(), 1);
    EXPECT_FALSE(frmMain->IsClosed());
    EXPECT_TRUE(frmMain->isVisible());
    EXPECT_TRUE(frmMain->SmtpServer()->IsListening());
}

TEST_F(MainWindowTest, CloseQuestionYesShutsTheServicesDown) {
    int closedCalls = 0;
    MainFormClosed = [&] { ++closedCalls; };
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnYes")->click(); });
    frmMain->puTrayTerminate->trigger();
    MainFormClosed = nullptr;
    EXPECT_EQ(h.count(), 1);
    EXPECT_TRUE(frmMain->IsClosed());
    EXPECT_EQ(closedCalls, 1);
    EXPECT_FALSE(frmMain->isVisible());
    EXPECT_FALSE(frmMain->SmtpServer()->IsListening());
    EXPECT_FALSE(frmMain->Pop3Server()->IsListening());
    EXPECT_FALSE(frmMain->SmtpAgent()->IsActive());
    std::string ini = guitest::basePath() + "Tavrin.ini";
    std::string before = slurp(ini);
    forms.reset();
    EXPECT_EQ(slurp(ini), before) << "the settings file is not written at exit";
}

TEST_F(MainWindowTest, EnterInTheCloseQuestionMinimisesWithoutTray) {
    QWidget* focus = nullptr;
    ModalHandler h("frmCloseQuery", [&](QWidget* w) {
        focus = w->focusWidget();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(focus ? focus : w, &press);
    });
    frmMain->Close();
    EXPECT_EQ(h.count(), 1);
    EXPECT_EQ(focus, frmCloseQuery->btnMinimize);
    EXPECT_FALSE(frmMain->IsClosed());
    EXPECT_TRUE(frmMain->isMinimized());
    EXPECT_TRUE(frmMain->isVisible()) << "without an icon the task-bar entry stays";
}

TEST_F(MainWindowTest, MinimiseWithTrayLeavesOnlyTheIcon) {
    TrayIconAvailable = [] { return true; };
    frmMain->TimerTrayTimer();
    ASSERT_TRUE(frmMain->TrayIconShown());
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnMinimize")->click(); });
    frmMain->Close();
    EXPECT_FALSE(frmMain->IsClosed());
    EXPECT_FALSE(frmMain->isVisible()) << "no window and no task-bar entry";
    EXPECT_TRUE(frmMain->TrayIconShown());
    frmMain->puTrayRestore->trigger();
    EXPECT_TRUE(frmMain->isVisible());
    EXPECT_FALSE(frmMain->isMinimized());
}

TEST_F(MainWindowTest, SessionEndClosesWithoutTheQuestion) {
    ModalHandler h("frmCloseQuery", [](QWidget* w) { w->findChild<QPushButton*>("btnCancel")->click(); });
    intptr_t r = platform::loop().send(frmMain->Handle(), WM_QUERYENDSESSION);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(h.count(), 0);
    EXPECT_TRUE(frmMain->ForceClose());
    EXPECT_TRUE(frmMain->IsClosed());
    EXPECT_FALSE(frmMain->SmtpServer()->IsListening());
}

// --- picture ------------------------------------------------------------------------

TEST_F(MainWindowTest, ScreenshotOfTheMainWindow) {
    frmMain->reLog->clear();
    frmMain->ServiceLog(nullptr, "Tavrin SMTP/POP3 Server started.", 0);
    frmMain->ServiceLog(nullptr, "<SMTP ID 1> Accepted 127.0.0.1", 0);
    frmMain->ServiceStatus(frmMain->SmtpServer(), true, 1);
    frmMain->menuBar()->adjustSize();
    QPixmap shot = frmMain->grab();
    std::string path = std::string(TAVRIN_BINARY_DIR) + "/tavrin-main-window.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(path), "PNG"));
    EXPECT_GT(std::filesystem::file_size(path), 1000u);
}
