#include "Forms.h"

#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QString>
#include <QWidget>
#include <algorithm>

#include "About.h"
#include "CloseQuery.h"
#include "License.h"
#include "Main.h"
#include "Splash.h"
#include "Widgets.h"

TfrmMain* frmMain = nullptr;
TfrmAbout* frmAbout = nullptr;
TfrmLicense* frmLicense = nullptr;
TfrmCloseQuery* frmCloseQuery = nullptr;
QPointer<TfrmSplash> frmSplash;

namespace {
// The frame most window managers draw, used until the real one is known.
constexpr int ExpectedTitleBarHeight = 22;
constexpr int ExpectedFrameBorder = 1;
}  // namespace

void ShowMessage(const QString& text, QWidget* parent) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok, parent);
    box.setObjectName("ShowMessage");
    FitCaption(&box);
    box.exec();
}

void CentreOnDesktop(QWidget* window) {
    QScreen* screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    window->ensurePolished();
    if (QLayout* l = window->layout()) l->activate();  // the size the window shows with
    const QRect client = window->geometry(), frame = window->frameGeometry();
    const bool framed = frame != client;
    QMargins m(ExpectedFrameBorder, ExpectedTitleBarHeight, ExpectedFrameBorder, ExpectedFrameBorder);
    if (framed)
        m = QMargins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                     frame.bottom() - client.bottom());
    const QRect area = screen->availableGeometry();
    const QSize outer = window->size().grownBy(m);
    // A window larger than the free area keeps its title bar reachable.
    QPoint at(std::max(area.x(), area.x() + (area.width() - outer.width()) / 2),
              std::max(area.y(), area.y() + (area.height() - outer.height()) / 2));
    // move() of a window that exists takes the frame's corner once the frame
    // is known and the client's before; of one not made yet, the frame's.
    if (window->testAttribute(Qt::WA_WState_Created) && !framed) at += QPoint(m.left(), m.top());
    window->move(at);
}
