// Small controls the forms share: the round status light and a label (or
// picture) that acts on a click.
#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>

// A filled circle in its brush colour (the status lights).
class TShape : public QWidget {
    Q_OBJECT
public:
    explicit TShape(QWidget* parent = nullptr);
    QColor brushColor() const { return FBrush; }
    void setBrushColor(const QColor& c);
    QSize sizeHint() const override { return {17, 17}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor FBrush = Qt::red;
};

// A label that reports a left click; shown with a hand cursor. Links are
// underlined by the form that makes them.
class TClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit TClickLabel(const QString& text = {}, QWidget* parent = nullptr);
    void click() { emit clicked(); }

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
};

// Underlines a label's font (the look of the forms' links).
void Underline(QLabel* label);

class QDialog;
class QMessageBox;
// The width a window needs for the window manager to show `caption` whole
// in its title bar, with the bar's icon and buttons.
int CaptionWidth(const QString& caption);
// Makes a box at least that wide; its text may make it wider still. A
// message box sizes itself when shown, so it gets a strut in its layout.
void FitCaption(QDialog* box);
void FitCaption(QMessageBox* box);
