// The alias editor: one alias ID and the local user it stands for. AddAlias
// and EditAlias open it modally and answer true when it closed with OK, after
// the settings object's alias list was changed. The editor keeps the alias ID
// and the user of the entry between its calls.
#pragma once

#include <string>

#include "Settings_Controls.h"

class QComboBox;
class QLineEdit;
class QPushButton;

class TfrmAddEditAlias : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmAddEditAlias(QWidget* parent = nullptr);

    QLineEdit* txtAlias;
    QComboBox* lstUsers;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    bool AddAlias();
    bool EditAlias(const std::string& entry);
    void FillControls();
    void btnOKClick();

protected:
    void FormShow() override;

private:
    std::string FAliasID;
    std::string FUser;
};

extern TfrmAddEditAlias* frmAddEditAlias;
