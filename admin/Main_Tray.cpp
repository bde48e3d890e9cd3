// The notification-area icon, minimising to it and coming back.
#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "Forms.h"
#include "Main.h"

bool TfrmMain::AddTrayIcon() {
    if (FTrayIconShown) return false;
    if (!TrayIconAvailable || !TrayIconAvailable()) return false;
    if (!FTrayIconData) {
        FTrayIconData = new QSystemTrayIcon(windowIcon(), this);
        FTrayIconData->setObjectName("FTrayIconData");
        FTrayIconData->setToolTip(ApplicationTitle);
        connect(FTrayIconData, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
            if (r == QSystemTrayIcon::Trigger) WMTrayIcon(WM_LBUTTONDOWN);
            if (r == QSystemTrayIcon::Context) WMTrayIcon(WM_RBUTTONUP);
        });
    }
    FTrayIconData->show();
    FTrayIconShown = true;
    return true;
}

void TfrmMain::RemoveTrayIcon() {
    if (!FTrayIconShown) return;
    if (FTrayIconData) FTrayIconData->hide();
    FTrayIconShown = false;
}

// The tray host can end, and another start, at any time; the timer keeps
// watching. An icon whose tray has gone counts as not shown, and a window
// that lived in that tray comes back iconic, as where there never was one.
void TfrmMain::TimerTrayTimer() {
    if (!TrayHoldsIcon()) AddTrayIcon();
    if (FHiddenToTray && !FTrayIconShown) {
        FHiddenToTray = false;
        MinimizeApplication();
    }
}

bool TfrmMain::TrayHoldsIcon() {
    if (FTrayIconShown && (!TrayIconAvailable || !TrayIconAvailable())) RemoveTrayIcon();
    return FTrayIconShown;
}

void TfrmMain::WMTrayIcon(std::intptr_t lParam) {
    if (lParam == WM_LBUTTONDOWN)
        RestoreFromTray();
    else if (lParam == WM_RBUTTONUP)
        popupTray->popup(QCursor::pos());
}

void TfrmMain::changeEvent(QEvent* e) {
    QMainWindow::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && isMinimized() && !FMinimizing) AppMinimize();
}

void TfrmMain::AppMinimize() {
    // With an icon the program lives on in the tray alone: no window and no
    // task-bar entry. Without one, or with one whose tray has gone, it stays
    // minimised with its entry.
    if (!TrayHoldsIcon()) return;
    hide();
    FHiddenToTray = true;
}

void TfrmMain::MinimizeApplication() {
    // With the icon present the end is a hidden window. Asking the window
    // manager to iconify it first would race the hide: an iconify request
    // still in flight when the window is shown again leaves it unmapped
    // while Qt counts it visible.
    if (TrayHoldsIcon()) {
        AppMinimize();
        return;
    }
    // showMinimized() would show the window again after AppMinimize hid it;
    // the state is set alone and AppMinimize runs once, here. A window never
    // shown yet (a start minimised) is mapped iconic, so that the window
    // manager lists it.
    FMinimizing = true;
    if (isVisible())
        setWindowState(windowState() | Qt::WindowMinimized);
    else
        showMinimized();
    FMinimizing = false;
    AppMinimize();
}

void TfrmMain::RestoreFromTray() {
    FHiddenToTray = false;
    FMinimizing = true;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    FMinimizing = false;
    ShowForm();
    raise();
    activateWindow();
}

void TfrmMain::RestoreApplication() {
    // Whatever the window's state: back to normal and in front, as from the
    // tray; the tray icon itself is left as it is.
    RestoreFromTray();
}
