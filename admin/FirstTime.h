// The first-start checklist. Every instance frees itself when it closes; the
// main window makes a new one each time (modal at a showing of the main
// window after a start without settings file, modeless from the Help menu).
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class TClickLabel;

class TfrmFirstTime : public QDialog {
    Q_OBJECT
public:
    explicit TfrmFirstTime(QWidget* owner);

    QLabel* Label1;
    QLabel* Label3;
    QLabel* Label5;
    QLabel* Label4;
    QLabel* Label6;
    QLabel* Label7;
    TClickLabel* lblGeneralSettings;
    QPushButton* btnClose;

    // Runs the main window's general-settings command, then closes.
    void lblGeneralSettingsClick();
    void btnCloseClick();

protected:
    void showEvent(QShowEvent* e) override;
};
