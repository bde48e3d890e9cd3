// The SMTP server's access-control dialog: banned domains, mailboxes and
// addresses with their switches, and the recipient limit. Its OK writes the
// settings object at once, so the values are in force for the SMTP server
// before the settings file is next saved.
#pragma once

#include "Settings_Controls.h"

class QCheckBox;
class QListWidget;
class QMenu;
class QPushButton;

class TfrmSettings_SmtpServerAccessControl : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmSettings_SmtpServerAccessControl(QWidget* parent = nullptr);

    QCheckBox* cbxBannedDomains;
    QListWidget* lstBannedDomains;
    QCheckBox* cbxBannedMailboxes;
    QListWidget* lstBannedMailboxes;
    QCheckBox* cbxBannedAddresses;
    QListWidget* lstBannedAddresses;
    QCheckBox* cbxRejectToCount;
    TSpinEdit* speRejectToCount;
    QMenu* popupBannedDomains;
    QAction* pu_BannedDomains_Add;
    QAction* pu_BannedDomains_Delete;
    QMenu* popupBannedMailboxes;
    QAction* pu_BannedMailboxes_Add;
    QAction* pu_BannedMailboxes_Delete;
    QMenu* popupBannedAddresses;
    QAction* pu_BannedAddresses_Add;
    QAction* pu_BannedAddresses_Delete;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void btnOKClick();
    void popupBannedDomainsPopup();
    void pu_BannedDomains_AddClick();
    void pu_BannedDomains_DeleteClick();
    void popupBannedMailboxesPopup();
    void pu_BannedMailboxes_AddClick();
    void pu_BannedMailboxes_DeleteClick();
    void popupBannedAddressesPopup();
    void pu_BannedAddresses_AddClick();
    void pu_BannedAddresses_DeleteClick();

protected:
    void FormShow() override;

private:
    TEditableList FBannedDomains;
    TEditableList FBannedMailboxes;
    TEditableList FBannedAddresses;
};

extern TfrmSettings_SmtpServerAccessControl* frmSettings_SmtpServerAccessControl;
