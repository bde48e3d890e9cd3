// The main window's procedure: the registered control messages, then the
// default procedure with the messages of fixed number.
#include <unistd.h>

#include <QMetaObject>

#include "Main.h"
#include "CloseQuery.h"
#include "Forms.h"
#include "DataU1.h"
#include "MailRouting.h"
#include "Pop3Server.h"
#include "SmtpAgent.h"
#include "SmtpServer.h"
#include "platform/Bus.h"

unsigned WM_TaskbarCreated = 0;
unsigned WM_TavrinRestore = 0;
unsigned WM_TavrinRefreshFromINIFile = 0;
unsigned WM_TavrinSendStatus = 0;
unsigned WM_TavrinStatus = 0;
unsigned WM_TavrinStartSMTPServer = 0;
unsigned WM_TavrinStopSMTPServer = 0;
unsigned WM_TavrinStartPOP3Server = 0;
unsigned WM_TavrinStopPOP3Server = 0;
unsigned WM_TavrinStartSMTPAgent = 0;
unsigned WM_TavrinStopSMTPAgent = 0;
unsigned WM_TavrinShutdown = 0;
unsigned WM_TavrinForceShutdown = 0;

namespace {
// Other processes' status listeners get this long each; one that hangs must
// not stop the mail server.
constexpr int StatusAnswerTimeoutMs = 5000;
}  // namespace

void TfrmMain::RegisterMessages() {
    using platform::registerWindowMessage;
    WM_TaskbarCreated = registerWindowMessage("TaskbarCreated");
    WM_TavrinRestore = registerWindowMessage("TavrinRestore");
    WM_TavrinRefreshFromINIFile = registerWindowMessage("TavrinRefreshFromINIFile");
    WM_TavrinSendStatus = registerWindowMessage("TavrinSendStatus");
    WM_TavrinStatus = registerWindowMessage("TavrinStatus");
    WM_TavrinStartSMTPServer = registerWindowMessage("TavrinStartSMTPServer");
    WM_TavrinStopSMTPServer = registerWindowMessage("TavrinStopSMTPServer");
    WM_TavrinStartPOP3Server = registerWindowMessage("TavrinStartPOP3Server");
    WM_TavrinStopPOP3Server = registerWindowMessage("TavrinStopPOP3Server");
    WM_TavrinStartSMTPAgent = registerWindowMessage("TavrinStartSMTPAgent");
    WM_TavrinStopSMTPAgent = registerWindowMessage("TavrinStopSMTPAgent");
    WM_TavrinShutdown = registerWindowMessage("TavrinShutdown");
    WM_TavrinForceShutdown = registerWindowMessage("TavrinForceShutdown");
}

void TfrmMain::MainWindowProc(platform::Message& m) {
    const unsigned id = m.msg;
    if (id == 0) {
        OldWindowProc(m);
        return;
    }
    // A stop takes no new work: no service starts again while it runs.
    if (FStopping &&
        (id == WM_TavrinStartSMTPServer || id == WM_TavrinStartPOP3Server || id == WM_TavrinStartSMTPAgent)) {
        m.result = 0;
        return;
    }
    if (id == WM_TaskbarCreated) {
        RemoveTrayIcon();
        AddTrayIcon();
    } else if (id == WM_TavrinRestore) {
        // Restoring can show the first-start window modally; the sender (a
        // second copy that is waiting to end) gets its answer first.
        QMetaObject::invokeMethod(this, &TfrmMain::RestoreApplication, Qt::QueuedConnection);
    } else if (id == WM_TavrinRefreshFromINIFile) {
        if (ServerInformation) ServerInformation->LoadFromIniFile();
    } else if (id == WM_TavrinSendStatus) {
        SendStatus();
    } else if (id == WM_TavrinStartSMTPServer) {
        if (FSmtpServer) FSmtpServer->Start();
    } else if (id == WM_TavrinStopSMTPServer) {
        if (FSmtpServer) FSmtpServer->Stop();
    } else if (id == WM_TavrinStartPOP3Server) {
        if (FPop3Server) FPop3Server->Start();
    } else if (id == WM_TavrinStopPOP3Server) {
        if (FPop3Server) FPop3Server->Stop();
    } else if (id == WM_TavrinStartSMTPAgent) {
        if (FSmtpAgent) FSmtpAgent->Start();
    } else if (id == WM_TavrinStopSMTPAgent) {
        if (FSmtpAgent) FSmtpAgent->Stop();
    } else if (id == WM_TavrinShutdown) {
        Close();
    } else if (id == WM_TavrinForceShutdown) {
        FForceClose = true;
        if (FInCloseQuery && frmCloseQuery)
            frmCloseQuery->reject();  // the open question ends and its close goes on
        else
            Close();
    } else {
        OldWindowProc(m);  // TavrinStatus included
        return;
    }
    m.result = 0;
}

void TfrmMain::DefaultWindowProc(platform::Message& m) {
    switch (m.msg) {
    case WM_SERVICE_QUEUE:
        // A message stored during a stop waits in the queue for the next run.
        if (!FStopping) WMServiceQueue();
        break;
    case WM_TRAY_ICON: WMTrayIcon(m.lParam); break;
    case WM_QUERYENDSESSION: WMQueryEndSession(m); break;
    default: break;
    }
}

void TfrmMain::SendStatus() {
    std::intptr_t bits = 0;
    if (FSmtpServer && FSmtpServer->IsListening()) bits += 1;
    if (FSmtpAgent && FSmtpAgent->IsActive()) bits += 2;
    if (FPop3Server && FPop3Server->IsListening()) bits += 4;
    // wParam names this server to the asker: its process number, which every
    // program on the machine can tell apart.
    platform::broadcastMessage(WM_TavrinStatus, static_cast<std::intptr_t>(::getpid()), bits,
                               StatusAnswerTimeoutMs);
}
