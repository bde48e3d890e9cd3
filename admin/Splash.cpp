#include "Splash.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "Artwork.h"
#include "Widgets.h"

TfrmSplash::TfrmSplash() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("frmSplash");
    setWindowTitle("Splash");
    setAttribute(Qt::WA_DeleteOnClose);
    Image1 = new TClickLabel({}, this);
    Image1->setObjectName("Image1");
    Image1->setPixmap(SplashPicture());
    Image1->setCursor(Qt::ArrowCursor);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->addWidget(Image1);
    setFixedSize(Image1->pixmap().size());
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &TfrmSplash::Timer1Timer);
    connect(Image1, &TClickLabel::clicked, this, &TfrmSplash::Image1Click);
}
