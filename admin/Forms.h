// The program's forms, each reached through the global named after it. The
// program block creates them (Program.h); the first-start window and the
// splash are made when needed and free themselves.
#pragma once

#include <QPointer>

class TfrmMain;
class TfrmAbout;
class TfrmLicense;
class TfrmCloseQuery;
class TfrmSplash;

extern TfrmMain* frmMain;
extern TfrmAbout* frmAbout;
extern TfrmLicense* frmLicense;
extern TfrmCloseQuery* frmCloseQuery;
extern QPointer<TfrmSplash> frmSplash;

// The application's title: the single-instance lock's name, the main
// window's caption and the caption of plain message boxes.
inline constexpr const char* ApplicationTitle = "Tavrin SMTP/POP3 Server";

class QWidget;
class QString;
// Moves a window that is about to show to the middle of the desktop's free
// area (its screen's, else the primary screen's), its title bar kept on the
// screen. Before the window manager has framed the window its frame is not
// known; the usual title bar is allowed for.
void CentreOnDesktop(QWidget* window);
// From now on every dialog shows again where it was when it was hidden,
// rather than placed anew, one title bar lower, at each showing.
void KeepDialogPlaces();
// A plain message box with the application title (the class library's
// ShowMessage); returns when it is closed.
void ShowMessage(const QString& text, QWidget* parent = nullptr);
