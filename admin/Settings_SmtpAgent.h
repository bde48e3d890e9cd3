// The SMTP agent settings dialog: queue polling interval (shown in minutes,
// stored in seconds), queue bypass, the master server, the idle timeout and
// the retry count. It writes the settings object on OK only.
#pragma once

#include "Settings_Controls.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

class TfrmSettings_SmtpAgent : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmSettings_SmtpAgent(QWidget* parent = nullptr);

    QTabWidget* PageControl1;
    QWidget* tsQueue;
    TSpinEdit* speInterval;
    QCheckBox* cbxBypassQueue;
    QCheckBox* cbxForwardToMasterSMTPServer;
    QLineEdit* txtMasterSMTPServer;
    TSpinEdit* speInactivityTimeout;
    QLabel* lblConnectionInactivityTimeout;
    QWidget* tsRetry;
    TSpinEdit* speRetry;
    QPushButton* btnCancel;
    QPushButton* btnOK;

    void btnOKClick();

protected:
    void FormShow() override;
};

extern TfrmSettings_SmtpAgent* frmSettings_SmtpAgent;
