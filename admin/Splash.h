// The splash window shown while the program starts; its timer (armed by the
// program block once the forms exist) or a click closes it, and closing
// frees it.
#pragma once

#include <QTimer>
#include <QWidget>

class TClickLabel;

class TfrmSplash : public QWidget {
    Q_OBJECT
public:
    TfrmSplash();

    TClickLabel* Image1;
    QTimer* Timer1;  // 500 ms, not running until the program block starts it

    void Image1Click() { close(); }
    void Timer1Timer() { close(); }
};
