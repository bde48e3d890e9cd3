#include "Widgets.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>

TShape::TShape(QWidget* parent) : QWidget(parent) { setFixedSize(17, 17); }

void TShape::setBrushColor(const QColor& c) {
    if (c == FBrush) return;
    FBrush = c;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(FBrush);
    p.drawEllipse(QRectF(0.5, 0.5, width() - 1.0, height() - 1.0));
}

TClickLabel::TClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setCursor(Qt::PointingHandCursor);
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(e);
}

void Underline(QLabel* label) {
    QFont f = label->font();
    f.setUnderline(true);
    label->setFont(f);
}

namespace {
// Title bars draw the caption in a bold face and keep room for the window
// icon and three buttons; this is what the common window managers need.
constexpr int TitleBarExtras = 120;
}  // namespace

int CaptionWidth(const QString& caption) {
    QFont f = QApplication::font();
    f.setBold(true);
    return QFontMetrics(f).horizontalAdvance(caption) + TitleBarExtras;
}

void FitCaption(QDialog* box) {
    // A layout that sets the box's limits itself (an input box's does)
    // takes a strut; any other box a minimum width.
    const int width = CaptionWidth(box->windowTitle());
    box->adjustSize();  // an input box makes its layout only when first sized
    if (auto* column = qobject_cast<QVBoxLayout*>(box->layout()))
        column->addStrut(width - column->contentsMargins().left() - column->contentsMargins().right());
    else
        box->setMinimumWidth(std::max(box->minimumWidth(), width));
}

void FitCaption(QMessageBox* box) {
    auto* grid = qobject_cast<QGridLayout*>(box->layout());
    if (!grid) return;
    grid->addItem(new QSpacerItem(CaptionWidth(box->windowTitle()), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}
