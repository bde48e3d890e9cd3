// The user editor: one user's record (password, forward address, backup
// switch, real name, the "do not report" flag). AddUser and EditUser open it
// modally and answer true when it closed with OK, after the record was
// written to the mail store. The editor owns one record for its whole life
// and resets or reloads it at every opening.
#pragma once

#include <memory>
#include <string>

#include "Settings_Controls.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class TPop3UserInformation;

class TfrmAddEditUser : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmAddEditUser(QWidget* parent = nullptr);  // FormCreate
    ~TfrmAddEditUser() override;                          // FormDestroy

    QLineEdit* txtUserID;
    QLineEdit* txtUserPassword;
    QCheckBox* cbxForwardTo;
    QLineEdit* txtForwardTo;
    QCheckBox* cbxKeepMailBackup;
    QGroupBox* GroupBox1;
    QLineEdit* txtRealName;
    QCheckBox* cbxUB_DoNotReportUserExists_SMTP;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    bool AddUser();
    bool EditUser(const std::string& name);
    void FillControls();
    void btnOKClick();

    // The dialog's record (as last filled or saved).
    const TPop3UserInformation& User() const { return *FUser; }

protected:
    void FormShow() override;

private:
    std::unique_ptr<TPop3UserInformation> FUser;
};

extern TfrmAddEditUser* frmAddEditUser;
