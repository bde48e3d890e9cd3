// The user chooser of the mailing-list editor: local users (several may be
// selected) and one domain, the server name or a local domain. The caller
// reads lstUsers' selection and lstDomain's text after Execute.
#pragma once

#include "Settings_Controls.h"

class QComboBox;
class QListWidget;
class QPushButton;

class TfrmChooseUser : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmChooseUser(QWidget* parent = nullptr);

    QListWidget* lstUsers;
    QWidget* Panel1;
    QComboBox* lstDomain;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    // Shows the chooser modally; true when it closed with OK and at least one
    // user is selected.
    bool Execute();
    void lstUsersDblClick();

protected:
    void FormShow() override;
};

extern TfrmChooseUser* frmChooseUser;
