#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// An envelope on a blue disc.
void drawLogo(QPainter& p, const QRectF& r) {
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, QColor(0x2f, 0x6f, 0xc8));
    g.setColorAt(1, QColor(0x12, 0x34, 0x78));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(r);
    QRectF env(r.x() + r.width() * 0.2, r.y() + r.height() * 0.32, r.width() * 0.6, r.height() * 0.38);
    p.setBrush(Qt::white);
    p.drawRect(env);
    QPen fold(QColor(0x12, 0x34, 0x78), qMax(1.0, r.width() / 24));
    p.setPen(fold);
    p.drawLine(env.topLeft(), QPointF(env.center().x(), env.center().y() + env.height() * 0.1));
    p.drawLine(env.topRight(), QPointF(env.center().x(), env.center().y() + env.height() * 0.1));
}

QPixmap blank(int w, int h) {
    QPixmap pm(w, h);
    pm.fill(Qt::transparent);
    return pm;
}

}  // namespace

QPixmap TavrinLogo(int size) {
    QPixmap pm = blank(size, size);
    QPainter p(&pm);
    drawLogo(p, QRectF(1, 1, size - 2, size - 2));
    return pm;
}

QPixmap SourceLogo(int size) {
    QPixmap pm = blank(size, size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3a, 0x3a, 0x3a));
    p.drawRoundedRect(QRectF(1, 1, size - 2, size - 2), size / 8.0, size / 8.0);
    QFont f;
    f.setBold(true);
    f.setPixelSize(size * 2 / 5);
    p.setFont(f);
    p.setPen(QColor(0x7f, 0xd0, 0x7f));
    p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, "</>");
    return pm;
}

QPixmap AuthorPicture(int size) {
    QPixmap pm = blank(size, size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xdd, 0xe4, 0xee));
    p.drawRect(0, 0, size, size);
    p.setBrush(QColor(0x6a, 0x7b, 0x90));
    p.drawEllipse(QRectF(size * 0.35, size * 0.15, size * 0.3, size * 0.3));
    QPainterPath body;
    body.addEllipse(QRectF(size * 0.2, size * 0.5, size * 0.6, size * 0.7));
    p.drawPath(body);
    return pm;
}

QPixmap SplashPicture() {
    const int w = 360, h = 180;
    QPixmap pm(w, h);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, QColor(0xf4, 0xf7, 0xfc));
    g.setColorAt(1, QColor(0xc9, 0xd6, 0xea));
    p.fillRect(0, 0, w, h, g);
    p.setPen(QColor(0x12, 0x34, 0x78));
    p.drawRect(0, 0, w - 1, h - 1);
    drawLogo(p, QRectF(24, 42, 96, 96));
    QFont big;
    big.setBold(true);
    big.setPixelSize(40);
    p.setFont(big);
    p.drawText(QRect(136, 40, w - 150, 56), Qt::AlignLeft | Qt::AlignVCenter, "Tavrin");
    QFont small;
    small.setPixelSize(16);
    p.setFont(small);
    p.drawText(QRect(138, 96, w - 150, 24), Qt::AlignLeft | Qt::AlignVCenter, "SMTP/POP3 Server");
    small.setPixelSize(12);
    p.setFont(small);
    p.setPen(QColor(0x44, 0x55, 0x70));
    p.drawText(QRect(138, 122, w - 150, 20), Qt::AlignLeft | Qt::AlignVCenter, "Starting...");
    return pm;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int s : {16, 22, 32, 48, 64}) icon.addPixmap(TavrinLogo(s));
    return icon;
}
