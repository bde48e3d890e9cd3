// The close question: "Yes" closes the program (6), "No, &Cancel" keeps it
// open (7), "&Minimize" sends it to the tray (5) and is the default, so that
// Enter minimises. The window has no close box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TfrmCloseQuery : public QDialog {
    Q_OBJECT
public:
    explicit TfrmCloseQuery(QWidget* parent = nullptr);

    static constexpr int mrIgnore = 5;
    static constexpr int mrYes = 6;
    static constexpr int mrNo = 7;

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QPushButton* btnYes;
    QPushButton* btnCancel;
    QPushButton* btnMinimize;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void FormShow();
};
