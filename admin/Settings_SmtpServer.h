// The SMTP server settings dialog: listening address and port, idle timeout,
// local domains, the relay restriction and the accepted domains. Its
// "Additional Controls" button opens the access-control dialog, whose OK
// changes the settings object at once, whatever this dialog's result. It
// writes its own values into the settings object on OK only.
#pragma once

#include "Settings_Controls.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QMenu;
class QPushButton;
class QTabWidget;

class TfrmSettings_SmtpServer : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmSettings_SmtpServer(QWidget* parent = nullptr);

    QTabWidget* PageControl1;
    QWidget* tsGeneral;
    QComboBox* lstAddress;
    TSpinEdit* spePort;
    QListWidget* lstDomains;
    TSpinEdit* speInactivityTimeout;
    QLabel* lblConnectionInactivityTimeout;
    QWidget* tsAccess2;
    QPushButton* btnBanning;
    QGroupBox* GroupBox1;
    QCheckBox* cbxRestrictAccess;
    QLabel* lblNoRelayOff;
    QLabel* lblNoRelayOn;
    QListWidget* lstAcceptedDomains;
    QMenu* popupDomains;
    QAction* puDomainsAdd;
    QAction* puDomainsDelete;
    QMenu* popupAcceptedDomains;
    QAction* pu_AcceptedDomains_Add;
    QAction* pu_AcceptedDomains_Delete;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void btnOKClick();
    void popupDomainsPopup();
    void puDomainsAddClick();
    void puDomainsDeleteClick();
    void popupAcceptedDomainsPopup();
    void pu_AcceptedDomains_AddClick();
    void pu_AcceptedDomains_DeleteClick();
    void cbxRestrictAccessClick();
    void btnBanningClick();

protected:
    void FormShow() override;

private:
    TEditableList FDomains;
    TEditableList FAcceptedDomains;
};

extern TfrmSettings_SmtpServer* frmSettings_SmtpServer;
