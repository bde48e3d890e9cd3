// The POP3 server settings dialog: listening address and port, creating users
// and passwords at login, and the idle timeout. It writes the settings object
// on OK only.
#pragma once

#include "Settings_Controls.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

class TfrmSettings_Pop3Server : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmSettings_Pop3Server(QWidget* parent = nullptr);

    QComboBox* lstAddress;
    TSpinEdit* spePort;
    QCheckBox* cbxCreateUser;
    QCheckBox* cbxCreatePassword;
    TSpinEdit* speInactivityTimeout;
    QLabel* lblConnectionInactivityTimeout;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void btnOKClick();

protected:
    void FormShow() override;
};

extern TfrmSettings_Pop3Server* frmSettings_Pop3Server;
