// The main window: the owner of the running server.
//
// At creation it registers the control messages, hooks its own window
// procedure (MainWindowProc) in front of the default one, creates and loads
// the settings object, creates the POP3 server, the SMTP server and the SMTP
// agent, wires their status and log events to itself and starts those the
// settings mark for automatic start. It shows the log with the three status
// lights, lives in the notification area, sweeps idle sessions every 30 s, and
// on closing (after the close question unless the close is forced) shuts the
// services down in the order POP3 server, SMTP server, SMTP agent.
//
// A close is a stop that keeps every answer owed: the listeners close and
// every session that owes nothing goes at once; a session whose reply waits
// on the workers (a message's commit, a QUIT's deletions) answers and ends,
// while the loop runs on. The window is closed (IsClosed) once none is left,
// or at StopBound, when a commit still under way is taken back (it stores
// nothing) and what is left is freed.
//
// Its "window" for the engine and for other programs is a hidden window of
// the platform message loop (Handle()); other programs reach it through the
// per-user bus. All of it runs on the one main thread.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"

class QAction;
class QFileDialog;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTextEdit;
class QTimer;
class TShape;
class TPop3Server;
class TSmtpServer;
class TSmtpAgent;
namespace platform {
class BusListener;
}

// The registered control messages, in the order of their registration.
extern unsigned WM_TaskbarCreated;
extern unsigned WM_TavrinRestore;
extern unsigned WM_TavrinRefreshFromINIFile;
extern unsigned WM_TavrinSendStatus;
extern unsigned WM_TavrinStatus;
extern unsigned WM_TavrinStartSMTPServer;
extern unsigned WM_TavrinStopSMTPServer;
extern unsigned WM_TavrinStartPOP3Server;
extern unsigned WM_TavrinStopPOP3Server;
extern unsigned WM_TavrinStartSMTPAgent;
extern unsigned WM_TavrinStopSMTPAgent;
extern unsigned WM_TavrinShutdown;
extern unsigned WM_TavrinForceShutdown;

// Messages with fixed numbers that the default window procedure handles.
constexpr unsigned WM_QUERYENDSESSION = 0x0011;  // the session ends (SIGTERM, desktop logout)
constexpr unsigned WM_TRAY_ICON = platform::WM_USER + 101;  // lParam: the mouse message
constexpr unsigned WM_LBUTTONDOWN = 0x0201;
constexpr unsigned WM_RBUTTONUP = 0x0205;

// The procedure MainWindowProc replaced; every message it does not handle
// goes there.
extern std::function<void(platform::Message&)> OldWindowProc;

// Whether the desktop offers a notification area now. Tests replace it.
extern std::function<bool()> TrayIconAvailable;

// Called once the main window has closed (after the services were shut
// down); the program block sets it to end its loop.
extern std::function<void()> MainFormClosed;

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* parent = nullptr);  // FormCreate
    ~TfrmMain() override;                          // FormDestroy

    platform::HWND Handle() const { return FHandle; }

    // Controls, each with its own name as objectName.
    QWidget* pnlStatus;
    TShape* shapeStatusSmtpServer;
    QLabel* lblSmtpConn;
    TShape* shapeStatusSmtpAgent;
    QLabel* lblAgentConn;
    TShape* shapeStatusPop3Server;
    QLabel* lblPop3Conn;
    QTextEdit* reLog;

    QMenu* mnuFile;
    QAction* mnuFExit;
    QMenu* mnuActive;
    QAction* mnuASMTPServer;
    QAction* mnuASMTPAgent;
    QAction* mnuAPOP3Server;
    QAction* N1;
    QAction* mnuAServiceQueueNow;
    QMenu* mnuSettings;
    QAction* mnuSGeneral;
    QAction* mnuSSMTPServer;
    QAction* mnuSSMTPAgent;
    QAction* mnuSPOP3Server;
    QMenu* mnuAccounts;
    QAction* mnuAManageUsers;
    QAction* mnuAManageMailLists;
    QAction* mnuAManageAliases;
    QMenu* mnuHelp;
    QAction* mnuHFirstTime;
    QAction* mnuHManual;
    QAction* mnuHHelpFile;
    QAction* mnuHWebSite;
    QAction* mnuHLicense;
    QAction* N3;
    QAction* mnuHAbout;
    QAction* mnuHEMailtheAuthor;

    QMenu* PopupMenu1;
    QAction* puClear;
    QAction* puSave;
    QFileDialog* SaveDialog1;
    QMenu* popupTray;
    QAction* puTrayRestore;
    QAction* puTrayTerminate;
    QTimer* TimerTray;
    QTimer* TimerInactivity;

    // The services (null before FormCreate made them and after FormDestroy).
    TPop3Server* Pop3Server() const { return FPop3Server.get(); }
    TSmtpServer* SmtpServer() const { return FSmtpServer.get(); }
    TSmtpAgent* SmtpAgent() const { return FSmtpAgent.get(); }

    bool FirstStart() const { return FFirstStart; }
    bool ForceClose() const { return FForceClose; }
    bool TrayIconShown() const { return FTrayIconShown; }
    QSystemTrayIcon* TrayIcon() const { return FTrayIconData; }
    bool IsClosed() const { return FClosed; }
    // Between the accepted close and IsClosed: sessions still owe answers.
    bool IsStopping() const { return FStopping && !FClosed; }
    // The longest a close waits for the answers owed, and then for answers
    // found too late to take back.
    static constexpr int StopBoundMs = 30000;
    static constexpr int StopGraceMs = 5000;
    // Lines in the log view.
    int LogLineCount() const;

    // Service events.
    void ServiceLog(void* Sender, const std::string& Text, int Level);
    void ServiceStatus(void* Sender, bool Active, int Count);
    void Pop3ServerError(void* Sender, std::uint8_t Kind);
    void SmtpServerError(void* Sender, std::uint8_t Kind);

    // Menu commands.
    void mnuFExitClick();
    void mnuASMTPServerClick();
    void mnuASMTPAgentClick();
    void mnuAPOP3ServerClick();
    void mnuAServiceQueueNowClick();
    void mnuSGeneralClick();
    void mnuSSMTPServerClick();
    void mnuSSMTPAgentClick();
    void mnuSPOP3ServerClick();
    void mnuAManageUsersClick();
    void mnuAManageMailListsClick();
    void mnuAManageAliasesClick();
    void mnuHelpClick();
    void mnuHFirstTimeClick();
    void mnuHManualClick();
    void mnuHHelpFileClick();
    void mnuHWebSiteClick();
    void mnuHLicenseClick();
    void mnuHAboutClick();
    void mnuHEMailtheAuthorClick();
    void puClearClick();
    void puSaveClick();
    // Writes the log view to a file: rich text (RTF) when the name ends in
    // ".rtf" in any letter case, plain text otherwise. False when the file
    // cannot be written.
    bool SaveLogToFile(const QString& fileName) const;

    // Notification area and minimising.
    bool AddTrayIcon();
    void RemoveTrayIcon();
    void TimerTrayTimer();
    // True while the icon is shown in a tray that is there now; an icon
    // whose tray has gone is removed first.
    bool TrayHoldsIcon();
    void WMTrayIcon(std::intptr_t lParam);
    void AppMinimize();
    void RestoreFromTray();
    // Minimises the application (the close question's "&Minimize").
    void MinimizeApplication();
    // The answer to TavrinRestore: the window back to its normal state, in
    // front.
    void RestoreApplication();

    void TimerInactivityTimer();
    void WMServiceQueue();
    void WMQueryEndSession(platform::Message& msg);
    void MainWindowProc(platform::Message& msg);

    // Close of the main window: the close question applies unless the close
    // is forced.
    void Close();

signals:
    void Closed();

protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void CreateControls();
    void CreateMenus();
    void RegisterMessages();
    void CreateServices();
    void DefaultWindowProc(platform::Message& msg);
    void FormShow();
    void ShowForm();
    bool FormCloseQuery();
    void FormClose();
    void StopStep();
    void FinishClose();
    void SendStatus();
    void AppendLogLine(const std::string& line);
    void PlaceStatus();

    bool FFirstStart = false;
    bool FForceClose = false;
    bool FTrayIconShown = false;
    // The window was hidden for the tray to hold the program (minimised to
    // it, or started minimised); it comes back iconic should the tray go.
    bool FHiddenToTray = false;
    QSystemTrayIcon* FTrayIconData = nullptr;
    std::unique_ptr<TPop3Server> FPop3Server;
    std::unique_ptr<TSmtpServer> FSmtpServer;
    std::unique_ptr<TSmtpAgent> FSmtpAgent;

    platform::HWND FHandle = platform::NullWindow;
    std::function<void(platform::Message&)> FWindowProc;
    std::unique_ptr<platform::BusListener> FBus;
    bool FInCloseQuery = false;
    bool FMinimizing = false;
    bool FStopping = false;
    bool FStopBoundPassed = false;
    // When the close was accepted: by the steady clock, and by Now(), which
    // tests set.
    std::uint32_t FStopStartedTicks = 0;
    double FStopStarted = 0;
    std::unique_ptr<platform::Timer> FStopTimer;
    bool FClosed = false;
};
