// The main window's creation, services, status lights, menus and closing.
#include "Main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "About.h"
#include "Artwork.h"
#include "CloseQuery.h"
#include "DataU1.h"
#include "FirstTime.h"
#include "Forms.h"
#include "License.h"
#include "MailRouting.h"
#include "MailRouting_ListServer.h"
#include "Maker.h"
#include "Pop3Server.h"
#include "SmtpAgent.h"
#include "SmtpServer.h"
#include "UtilU1.h"
#include "ManageAliases.h"
#include "ManageMailLists.h"
#include "ManageUsers.h"
#include "Settings_Controls.h"
#include "Settings_General.h"
#include "Settings_Pop3Server.h"
#include "Settings_SmtpAgent.h"
#include "Settings_SmtpServer.h"
#include "Widgets.h"
#include "platform/Bus.h"
#include "platform/Clock.h"
#include "platform/DurableFile.h"
#include "platform/FileWork.h"
#include "platform/Notice.h"
#include "platform/Paths.h"

using platform::loop;

std::function<void(platform::Message&)> OldWindowProc;
std::function<bool()> TrayIconAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
std::function<void()> MainFormClosed;

namespace {

const QColor Lime(0x00, 0xFF, 0x00);
const QColor Red(0xFF, 0x00, 0x00);

}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
    // Reached through the global while it is still being created: the
    // first-start window shown from here uses it.
    frmMain = this;
    setObjectName("frmMain");
    setWindowTitle(ApplicationTitle);
    setWindowIcon(ApplicationIcon());
    resize(514, 259);
    CreateControls();
    CreateMenus();

    // Control messages, and this window's procedure in front of the default
    // one; other programs reach it through the bus from now on.
    RegisterMessages();
    FHandle = loop().createWindow([this](platform::Message& m) {
        if (FWindowProc) FWindowProc(m);
    });
    OldWindowProc = [this](platform::Message& m) { DefaultWindowProc(m); };
    FWindowProc = [this](platform::Message& m) { MainWindowProc(m); };
    FBus = std::make_unique<platform::BusListener>(
        [this](unsigned msg, std::intptr_t w, std::intptr_t l) { return loop().send(FHandle, msg, w, l); });
    SetServiceQueueWindow(FHandle);

    FForceClose = false;
    FTrayIconShown = false;

    // Settings: a missing file marks a first start; loading it anyway gives
    // every setting its default.
    ServerInformation = std::make_unique<TServerInformation>();
    FFirstStart = !ServerInformation->IniFileExists();
    ServerInformation->LoadFromIniFile();

    // What the platform has to say of the machine (a thread refused) goes to
    // the log. Temporary files that an earlier run left go before the
    // services write, on a worker: whatever their pid, they are not this run's.
    platform::setNoticeHandler([](const std::string& text) {
        if (frmMain) frmMain->ServiceLog(nullptr, text, 1);  // none after the window has gone
    });
    platform::startEarlierTempFilesSweep({{ServerInformation->BasePath, 0},
                                          {ServerInformation->MailBoxPath, 2},
                                          {ServerInformation->QueuePath, 0},
                                          {ServerInformation->MailingListPath, 0}});

    TimerTray->start();
    TimerInactivity->start();

    // Showing runs FormShow, which on a first start shows the first-start
    // window modally, before the services exist.
    // Started minimised, the program lives in the tray; a desktop without
    // one gets the window iconic instead, so that it stays reachable.
    if (!ServerInformation->StartMinimized)
        RestoreFromTray();
    else if (!TrayIconAvailable || !TrayIconAvailable())
        MinimizeApplication();
    else
        FHiddenToTray = true;
    if (FClosed) return;  // closed (forced) while the first-start window ran

    CreateServices();
    if (ServerInformation->ProcessQueueOnStart) FSmtpAgent->ServiceQueueNow();
}

TfrmMain::~TfrmMain() {
    // FormDestroy. The default procedure goes back first, so nothing that
    // arrives while the services go can reach them.
    FWindowProc = OldWindowProc;
    FBus.reset();
    if (platform::HWND w = ServiceQueueWindow(); w == FHandle) SetServiceQueueWindow(platform::NullWindow);
    FPop3Server.reset();
    FSmtpServer.reset();
    FSmtpAgent.reset();
    SetListArchiveLog(nullptr);
    ServerInformation.reset();
    if (FTrayIconShown) RemoveTrayIcon();
    FWindowProc = nullptr;
    loop().destroyWindow(FHandle);
    OldWindowProc = nullptr;
    if (frmMain == this) frmMain = nullptr;
}

void TfrmMain::CreateControls() {
    auto* central = new QWidget(this);
    central->setObjectName("central");
    pnlStatus = new QWidget(central);
    pnlStatus->setObjectName("pnlStatus");
    pnlStatus->setFixedHeight(23);

    auto light = [this](const char* name, int x, const char* hint) {
        auto* s = new TShape(pnlStatus);
        s->setObjectName(name);
        s->move(x, 3);
        s->setBrushColor(Red);
        s->setToolTip(hint);
        return s;
    };
    auto label = [this](const char* name, int x, const char* text) {
        auto* l = new QLabel(text, pnlStatus);
        l->setObjectName(name);
        l->move(x, 4);
        l->resize(60, 15);  // PlaceStatus widens it to its text
        return l;
    };
    shapeStatusSmtpServer = light("shapeStatusSmtpServer", 3, "SMTP Server");
    lblSmtpConn = label("lblSmtpConn", 23, "Smtp");
    shapeStatusSmtpAgent = light("shapeStatusSmtpAgent", 86, "SMTP Agent");
    lblAgentConn = label("lblAgentConn", 105, "Agent");
    shapeStatusPop3Server = light("shapeStatusPop3Server", 168, "Pop3 Server");
    lblPop3Conn = label("lblPop3Conn", 188, "Pop3");

    reLog = new QTextEdit(central);
    reLog->setObjectName("reLog");
    reLog->setReadOnly(true);
    reLog->setAcceptRichText(false);
    reLog->setUndoRedoEnabled(false);
    reLog->setLineWrapMode(QTextEdit::NoWrap);
    reLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reLog->setContextMenuPolicy(Qt::CustomContextMenu);

    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    v->addWidget(pnlStatus);
    v->addWidget(reLog, 1);
    setCentralWidget(central);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    puClear = PopupMenu1->addAction("Clear", this, &TfrmMain::puClearClick);
    puClear->setObjectName("puClear");
    puSave = PopupMenu1->addAction("Save...", this, &TfrmMain::puSaveClick);
    puSave->setObjectName("puSave");
    connect(reLog, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(reLog->viewport()->mapToGlobal(pos)); });

    SaveDialog1 = new QFileDialog(this, "Save Tavrin Log");
    SaveDialog1->setObjectName("SaveDialog1");
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setDefaultSuffix("txt");
    SaveDialog1->setNameFilters({"Text File (*.txt)", "Rich Text File (*.rtf)"});

    popupTray = new QMenu(this);
    popupTray->setObjectName("popupTray");
    puTrayRestore = popupTray->addAction("Restore", this, &TfrmMain::RestoreFromTray);
    puTrayRestore->setObjectName("puTrayRestore");
    puTrayTerminate = popupTray->addAction("Terminate", this, &TfrmMain::mnuFExitClick);
    puTrayTerminate->setObjectName("puTrayTerminate");

    TimerTray = new QTimer(this);
    TimerTray->setObjectName("TimerTray");
    TimerTray->setInterval(1000);
    connect(TimerTray, &QTimer::timeout, this, &TfrmMain::TimerTrayTimer);
    TimerInactivity = new QTimer(this);
    TimerInactivity->setObjectName("TimerInactivity");
    TimerInactivity->setInterval(30000);
    connect(TimerInactivity, &QTimer::timeout, this, &TfrmMain::TimerInactivityTimer);
}

void TfrmMain::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu1");
    auto menu = [bar](const char* name, const char* caption) {
        QMenu* m = bar->addMenu(QString::fromUtf8(caption));
        m->setObjectName(name);
        m->menuAction()->setObjectName(name);
        return m;
    };
    auto item = [this](QMenu* m, const char* name, const char* caption, void (TfrmMain::*slot)()) {
        QAction* a = m->addAction(QString::fromUtf8(caption));
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    auto separator = [](QMenu* m, const char* name) {
        QAction* a = m->addSeparator();
        a->setObjectName(name);
        return a;
    };

    mnuFile = menu("mnuFile", "&F 檔案");
    mnuFExit = item(mnuFile, "mnuFExit", "&X 離開", &TfrmMain::mnuFExitClick);
    mnuFExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));

    mnuActive = menu("mnuActive", "&V 啟動 ");
    mnuASMTPServer = item(mnuActive, "mnuASMTPServer", "SMTP &S 服務", &TfrmMain::mnuASMTPServerClick);
    mnuASMTPAgent = item(mnuActive, "mnuASMTPAgent", "SMTP &A 管制服務", &TfrmMain::mnuASMTPAgentClick);
    mnuAPOP3Server = item(mnuActive, "mnuAPOP3Server", "&POP3 服務", &TfrmMain::mnuAPOP3ServerClick);
    for (QAction* a : {mnuASMTPServer, mnuASMTPAgent, mnuAPOP3Server}) a->setCheckable(true);
    N1 = separator(mnuActive, "N1");
    mnuAServiceQueueNow = item(mnuActive, "mnuAServiceQueueNow", "&Q 傳送停在外寄儲列中的郵件",
                               &TfrmMain::mnuAServiceQueueNowClick);

    mnuSettings = menu("mnuSettings", "&S 設定");
    mnuSGeneral = item(mnuSettings, "mnuSGeneral", "&G 一般設定...", &TfrmMain::mnuSGeneralClick);
    mnuSSMTPServer = item(mnuSettings, "mnuSSMTPServer", "SMTP &S 服務設定...", &TfrmMain::mnuSSMTPServerClick);
    mnuSSMTPAgent = item(mnuSettings, "mnuSSMTPAgent", "SMTP &A 管制服務設定...", &TfrmMain::mnuSSMTPAgentClick);
    mnuSPOP3Server = item(mnuSettings, "mnuSPOP3Server", "&POP3 服務設定...", &TfrmMain::mnuSPOP3ServerClick);

    mnuAccounts = menu("mnuAccounts", "&A 帳號");
    mnuAManageUsers = item(mnuAccounts, "mnuAManageUsers", "管理 &U 使用者帳號...", &TfrmMain::mnuAManageUsersClick);
    mnuAManageMailLists =
        item(mnuAccounts, "mnuAManageMailLists", "管理 EMail &L 名冊...", &TfrmMain::mnuAManageMailListsClick);
    mnuAManageAliases = item(mnuAccounts, "mnuAManageAliases", "管理 &A 別名...", &TfrmMain::mnuAManageAliasesClick);

    mnuHelp = menu("mnuHelp", "&H 求助");
    connect(mnuHelp, &QMenu::aboutToShow, this, &TfrmMain::mnuHelpClick);
    mnuHFirstTime = item(mnuHelp, "mnuHFirstTime", "First Timers Read This !", &TfrmMain::mnuHFirstTimeClick);
    mnuHManual = item(mnuHelp, "mnuHManual", "&Manual...", &TfrmMain::mnuHManualClick);
    mnuHHelpFile = item(mnuHelp, "mnuHHelpFile", "Help File...", &TfrmMain::mnuHHelpFileClick);
    mnuHWebSite = item(mnuHelp, "mnuHWebSite", "&Web Site...", &TfrmMain::mnuHWebSiteClick);
    mnuHLicense = item(mnuHelp, "mnuHLicense", "&License...", &TfrmMain::mnuHLicenseClick);
    N3 = separator(mnuHelp, "N3");
    mnuHAbout = item(mnuHelp, "mnuHAbout", "&About...", &TfrmMain::mnuHAboutClick);
    mnuHEMailtheAuthor =
        item(mnuHelp, "mnuHEMailtheAuthor", "E-Mail the Author...", &TfrmMain::mnuHEMailtheAuthorClick);
}

void TfrmMain::CreateServices() {
    FPop3Server = std::make_unique<TPop3Server>(this);
    FPop3Server->OnStatus = [this](void* s, bool a, int c) { ServiceStatus(s, a, c); };
    FPop3Server->OnLog = [this](void* s, const std::string& t, int l) { ServiceLog(s, t, l); };
    FPop3Server->OnError = [this](void* s, std::uint8_t k) { Pop3ServerError(s, k); };
    if (ServerInformation->AutoStartPop3Server) FPop3Server->Start();

    FSmtpServer = std::make_unique<TSmtpServer>(this);
    FSmtpServer->OnStatus = [this](void* s, bool a, int c) { ServiceStatus(s, a, c); };
    FSmtpServer->OnLog = [this](void* s, const std::string& t, int l) { ServiceLog(s, t, l); };
    FSmtpServer->OnError = [this](void* s, std::uint8_t k) { SmtpServerError(s, k); };
    if (ServerInformation->AutoStartSmtpServer) FSmtpServer->Start();

    FSmtpAgent = std::make_unique<TSmtpAgent>(this);
    FSmtpAgent->OnStatus = [this](void* s, bool a, int c) { ServiceStatus(s, a, c); };
    FSmtpAgent->OnLog = [this](void* s, const std::string& t, int l) { ServiceLog(s, t, l); };
    if (ServerInformation->AutoStartSmtpAgent) FSmtpAgent->Start();
    SetListArchiveLog([this](void* s, const std::string& t, int l) { ServiceLog(s, t, l); });
}

// --- service events ---------------------------------------------------------

void TfrmMain::ServiceStatus(void* Sender, bool Active, int Count) {
    QString n = QString::number(Count);
    if (Sender != nullptr && Sender == FSmtpServer.get()) {
        mnuASMTPServer->setChecked(Active);
        shapeStatusSmtpServer->setBrushColor(Active ? Lime : Red);
        shapeStatusSmtpServer->setToolTip("SMTP Server, " + n + " open connections.");
        lblSmtpConn->setText("Smtp:" + n);
    }
    if (Sender != nullptr && Sender == FSmtpAgent.get()) {
        mnuASMTPAgent->setChecked(Active);
        shapeStatusSmtpAgent->setBrushColor(Active ? Lime : Red);
        shapeStatusSmtpAgent->setToolTip("SMTP Agent, " + n + " open messages.");
        lblAgentConn->setText("Agent:" + n);
    }
    if (Sender != nullptr && Sender == FPop3Server.get()) {
        mnuAPOP3Server->setChecked(Active);
        shapeStatusPop3Server->setBrushColor(Active ? Lime : Red);
        shapeStatusPop3Server->setToolTip("POP3 Server, " + n + " open connections.");
        lblPop3Conn->setText("Pop3:" + n);
    }
    PlaceStatus();
}

// The lights and labels stand where the design puts them while the counts
// fit; a label whose text needs more room widens, and what follows it moves
// right, so that a count of four digits and more is never cut.
void TfrmMain::PlaceStatus() {
    struct Item {
        TShape* light;
        QLabel* label;
        int lightX, labelX;
    };
    const Item items[] = {{shapeStatusSmtpServer, lblSmtpConn, 3, 23},
                          {shapeStatusSmtpAgent, lblAgentConn, 86, 105},
                          {shapeStatusPop3Server, lblPop3Conn, 168, 188}};
    constexpr int LabelWidth = 60, Gap = 3;
    int free = 0;  // the first x after the label before
    for (const Item& i : items) {
        const int shift = std::max(0, free - i.lightX);
        i.light->move(i.lightX + shift, i.light->y());
        const int width = std::max(LabelWidth, i.label->sizeHint().width());
        i.label->setGeometry(i.labelX + shift, i.label->y(), width, i.label->height());
        free = i.labelX + shift + width + Gap;
    }
}

// The services have logged the cause already.
void TfrmMain::Pop3ServerError(void*, std::uint8_t) {}
void TfrmMain::SmtpServerError(void*, std::uint8_t) {}

// --- menus -------------------------------------------------------------------

void TfrmMain::mnuFExitClick() { Close(); }

// The check marks follow the services' status events only: a click that
// does not change a service's state leaves its mark as it was.
void TfrmMain::mnuASMTPServerClick() {
    mnuASMTPServer->setChecked(!mnuASMTPServer->isChecked());
    if (!FSmtpServer || FStopping) return;  // a stop starts nothing
    if (FSmtpServer->IsListening())
        FSmtpServer->Stop();
    else
        FSmtpServer->Start();
}

void TfrmMain::mnuASMTPAgentClick() {
    mnuASMTPAgent->setChecked(!mnuASMTPAgent->isChecked());
    if (!FSmtpAgent || FStopping) return;  // a stop starts nothing
    if (FSmtpAgent->IsActive())
        FSmtpAgent->Stop();
    else
        FSmtpAgent->Start();
}

void TfrmMain::mnuAPOP3ServerClick() {
    mnuAPOP3Server->setChecked(!mnuAPOP3Server->isChecked());
    if (!FPop3Server || FStopping) return;  // a stop starts nothing
    if (FPop3Server->IsListening())
        FPop3Server->Stop();
    else
        FPop3Server->Start();
}

void TfrmMain::mnuAServiceQueueNowClick() {
    if (FSmtpAgent && !FStopping) FSmtpAgent->ServiceQueueNow();
}

void TfrmMain::mnuHelpClick() {
    std::string base = ServerInformation ? ServerInformation->BasePath : platform::basePath();
    mnuHManual->setEnabled(QFileInfo::exists(QString::fromStdString(platform::resolvePath(base, "tavrin.doc"))));
    mnuHHelpFile->setEnabled(QFileInfo::exists(QString::fromStdString(platform::resolvePath(base, "tavrin.hlp"))));
}

void TfrmMain::mnuHFirstTimeClick() {
    auto* f = new TfrmFirstTime(this);
    f->show();
}

void TfrmMain::mnuHManualClick() {
    std::string base = ServerInformation ? ServerInformation->BasePath : platform::basePath();
    if (!ShellOpen(platform::resolvePath(base, "tavrin.doc"))) ShowMessage("Can't open \"Tavrin.doc\"", this);
}

void TfrmMain::mnuHHelpFileClick() {
    std::string base = ServerInformation ? ServerInformation->BasePath : platform::basePath();
    if (!ShellOpen(platform::resolvePath(base, "tavrin.hlp"))) ShowMessage("Can't open \"Tavrin.hlp\"", this);
}

void TfrmMain::mnuHWebSiteClick() {
    if (!ShellOpen(MakerWebSite)) ShowMessage(QString("Can't open web browser to ") + MakerWebSite, this);
}

void TfrmMain::mnuHLicenseClick() {
    if (frmLicense) frmLicense->exec();
}

void TfrmMain::mnuHAboutClick() {
    if (frmAbout) frmAbout->exec();
}

void TfrmMain::mnuHEMailtheAuthorClick() {
    if (!ShellOpen(MakerMailLink)) ShowMessage(QString("Can't open EMailer to ") + MakerMailLink, this);
}

// --- idle sweep and queue -------------------------------------------------------

void TfrmMain::TimerInactivityTimer() {
    if (!ServerInformation) return;
    if (FPop3Server) FPop3Server->CloseIdleConnections(ServerInformation->Pop3InactivityTimeout);
    if (FSmtpServer) FSmtpServer->CloseIdleConnections(ServerInformation->SmtpInactivityTimeout);
    if (FSmtpAgent) FSmtpAgent->CloseIdleConnections(ServerInformation->AgentInactivityTimeout);
}

void TfrmMain::WMServiceQueue() {
    if (FSmtpAgent) FSmtpAgent->ServiceQueueNow();
}

// --- showing and closing ----------------------------------------------------------

void TfrmMain::FormShow() {
    if (!FFirstStart) return;
    auto* f = new TfrmFirstTime(this);  // frees itself when it closes
    f->exec();
}

void TfrmMain::ShowForm() {
    bool wasVisible = isVisible();
    show();
    if (!wasVisible) FormShow();
}

void TfrmMain::Close() {
    if (FClosed || FStopping) return;
    close();
}

bool TfrmMain::FormCloseQuery() {
    if (FForceClose) return true;
    // The question is made on demand when the program block has not made it
    // yet (a close that arrives while the main window is still being created).
    if (!frmCloseQuery) frmCloseQuery = new TfrmCloseQuery();
    FInCloseQuery = true;
    int result = frmCloseQuery->exec();
    FInCloseQuery = false;
    if (FForceClose || result == TfrmCloseQuery::mrYes) return true;
    if (result == TfrmCloseQuery::mrIgnore) MinimizeApplication();
    return false;
}

void TfrmMain::closeEvent(QCloseEvent* e) {
    if (FClosed || FStopping) {
        e->accept();
        return;
    }
    if (!FormCloseQuery()) {
        e->ignore();
        return;
    }
    e->accept();
    FormClose();
}

// No new work from here: the listeners close, sessions that owe nothing go,
// and the agent stops, keeping only the connections that are settling their
// queue file or failure notice. The sessions that owe an answer and those
// connections end on their own; the loop keeps running them, and StopStep
// looks at them until none is left.
void TfrmMain::FormClose() {
    FStopping = true;
    FStopStartedTicks = platform::GetTickCount();
    FStopStarted = platform::Now();
    TimerInactivity->stop();
    if (FPop3Server) FPop3Server->BeginShutdown();
    if (FSmtpServer) FSmtpServer->BeginShutdown();
    if (FSmtpAgent) FSmtpAgent->BeginShutdown();
    StopStep();
    if (FClosed) return;
    FStopTimer = std::make_unique<platform::Timer>();
    FStopTimer->setInterval(50);
    FStopTimer->OnTimer = [this] { StopStep(); };
}

void TfrmMain::StopStep() {
    if (FClosed) return;
    const bool pop3Done = !FPop3Server || FPop3Server->ShutdownStep();
    const bool smtpDone = !FSmtpServer || FSmtpServer->ShutdownStep();
    const bool agentDone = !FSmtpAgent || FSmtpAgent->ConnectionCount() == 0;
    // File work under way (a list's archive entry, a spool file let go) ends
    // before the process does.
    const bool workDone = platform::fileWorkInFlight() == 0;
    if (pop3Done && smtpDone && agentDone && workDone) {
        FinishClose();
        return;
    }
    const double waitedMs = std::max<double>(platform::GetTickCount() - FStopStartedTicks,
                                             (platform::Now() - FStopStarted) * 86400000.0);
    if (!FStopBoundPassed && waitedMs >= StopBoundMs) {
        // Commits not decided by now are taken back; a session whose commit
        // has just been decided stays to give that answer.
        FStopBoundPassed = true;
        if (FPop3Server) FPop3Server->Shutdown();
        if (FSmtpServer) FSmtpServer->Shutdown();
        if (FSmtpAgent) FSmtpAgent->Shutdown();
        if ((!FPop3Server || FPop3Server->ConnectionCount() == 0) &&
            (!FSmtpServer || FSmtpServer->ConnectionCount() == 0))
            FinishClose();
        return;
    }
    if (waitedMs >= StopBoundMs + StopGraceMs) FinishClose();
}

void TfrmMain::FinishClose() {
    FClosed = true;
    // Kept until the window goes: this may run inside the timer's own event.
    if (FStopTimer) FStopTimer->setEnabled(false);
    TimerTray->stop();
    TimerInactivity->stop();
    emit Closed();
    if (MainFormClosed) MainFormClosed();
}

void TfrmMain::WMQueryEndSession(platform::Message& msg) {
    FForceClose = true;
    msg.result = 1;
    // A close question that is open already ends, and its close goes on.
    if (FInCloseQuery && frmCloseQuery)
        frmCloseQuery->reject();
    else
        Close();
}

// ---- settings and account dialogs ----------------------------------------

namespace {
// A settings dialog saves the settings file only when it closes with OK; the
// account managers save it whatever the result, since aliases live there.
void SaveSettings() {
    if (ServerInformation) ServerInformation->SaveToIniFile();
}
template <class Form>
void RunSettingsDialog(Form* form) {
    if (form && form->exec() == mrOk) SaveSettings();
}
template <class Form>
void RunAccountManager(Form* form) {
    if (!form) return;
    form->exec();
    SaveSettings();
}
}  // namespace

void TfrmMain::mnuSGeneralClick() {
    if (!frmSettings_General) frmSettings_General = new TfrmSettings_General();
    RunSettingsDialog(frmSettings_General);
}
void TfrmMain::mnuSSMTPServerClick() { RunSettingsDialog(frmSettings_SmtpServer); }
void TfrmMain::mnuSSMTPAgentClick() { RunSettingsDialog(frmSettings_SmtpAgent); }
void TfrmMain::mnuSPOP3ServerClick() { RunSettingsDialog(frmSettings_Pop3Server); }
void TfrmMain::mnuAManageUsersClick() { RunAccountManager(frmManageUsers); }
void TfrmMain::mnuAManageMailListsClick() { RunAccountManager(frmManageMailLists); }
void TfrmMain::mnuAManageAliasesClick() { RunAccountManager(frmManageAliases); }
