// The general settings dialog: server name, folders, DNS server and its
// timeout, start-up switches, log file and level, message spying and the
// banner level. It loads the settings object at every opening and writes it
// on OK only; the caller saves the settings file after an OK.
#pragma once

#include "Settings_Controls.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

class TfrmSettings_General : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmSettings_General(QWidget* parent = nullptr);  // FormCreate

    QTabWidget* PageControl1;
    QWidget* tsGeneral;
    QLineEdit* txtServerName;
    QLineEdit* txtMailboxPath;
    QPushButton* btnSelectMailbox;
    QLineEdit* txtQueuePath;
    QPushButton* btnSelectQueue;
    QComboBox* lstDNSServerAddress;
    TSpinEdit* speDNSTimeout;
    QWidget* tsStartup;
    QCheckBox* cbxStartMinimized;
    QCheckBox* cbxAutoStart_SmtpServer;
    QCheckBox* cbxAutoStart_SmtpAgent;
    QCheckBox* cbxAutoStart_Pop3Server;
    QCheckBox* cbxStartProcessQueue;
    QWidget* tsLog;
    QLineEdit* txtLogFile;
    QPushButton* btnSelectLogFile;
    QComboBox* lstLogLevel;
    QCheckBox* cbxSpyMessageContent;
    QWidget* tsBanner;
    QRadioButton* optBanner_NVS;
    QRadioButton* optBanner_NS;
    QRadioButton* optBanner_S;
    QPushButton* btnOK;
    QPushButton* btnCancel;
    QFileDialog* SaveDialog1;

    void btnOKClick();
    void btnSelectMailboxClick();
    void btnSelectQueueClick();
    void btnSelectLogFileClick();

protected:
    void FormShow() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
};

extern TfrmSettings_General* frmSettings_General;
