#include "Forms.h"

#include <QDialog>
#include <QEvent>
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

namespace {

// A dialog that counts as not moved is placed anew at each showing, over
// its parent; once it has been shown, that new place came out one title bar
// lower each time. Marked as moved when it hides, it shows again where it
// was, as the window manager left it.
class TDialogPlaces : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Hide && !e->spontaneous())
            if (auto* w = qobject_cast<QDialog*>(o); w && w->isWindow()) w->setAttribute(Qt::WA_Moved);
        return false;
    }
};

}  // namespace

void KeepDialogPlaces() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(new TDialogPlaces(app));
}
