#include "AddEditAlias.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "DataU1.h"
#include "Forms.h"

TfrmAddEditAlias* frmAddEditAlias = nullptr;

TfrmAddEditAlias::TfrmAddEditAlias(QWidget* parent) : TModalForm(parent) {
    setObjectName("frmAddEditAlias");
    setWindowTitle("Add / Edit Alias");

    auto label = [this](const char* name, const char* text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        return l;
    };
    txtAlias = new QLineEdit(this);
    txtAlias->setObjectName("txtAlias");
    lstUsers = new QComboBox(this);
    lstUsers->setObjectName("lstUsers");
    MakeOkCancel(btnOK, btnCancel);

    auto* g = new QGridLayout;
    g->addWidget(label("Label1", "ID"), 0, 0);
    g->addWidget(label("Label2", "User"), 0, 2);
    g->addWidget(txtAlias, 1, 0);
    g->addWidget(label("Label3", "<==>"), 1, 1);
    g->addWidget(lstUsers, 1, 2);
    txtAlias->setMinimumWidth(180);
    lstUsers->setMinimumWidth(160);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addLayout(g);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, &TfrmAddEditAlias::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
}

bool TfrmAddEditAlias::AddAlias() {
    setWindowTitle("Add Alias");
    txtAlias->setEnabled(true);
    FAliasID.clear();
    FUser.clear();
    return exec() == mrOk;
}

bool TfrmAddEditAlias::EditAlias(const std::string& entry) {
    setWindowTitle("Edit Alias");
    txtAlias->setEnabled(false);
    TServerInformation::SplitAlias(entry, FAliasID, FUser);
    return exec() == mrOk;
}

void TfrmAddEditAlias::FormShow() {
    lstUsers->clear();
    std::vector<std::string> users;
    if (ServerInformation) ServerInformation->GetUsers(users);
    lstUsers->addItems(ToQ(users));
    FillControls();
    if (txtAlias->isEnabled())
        txtAlias->setFocus(Qt::OtherFocusReason);
    else
        lstUsers->setFocus(Qt::OtherFocusReason);
}

void TfrmAddEditAlias::FillControls() {
    txtAlias->setText(ToQ(FAliasID));
    lstUsers->setCurrentIndex(-1);
    QString user = ToQ(FUser);
    for (int i = 0; i < lstUsers->count(); ++i)
        if (lstUsers->itemText(i) == user) lstUsers->setCurrentIndex(i);
}

void TfrmAddEditAlias::btnOKClick() {
    FAliasID = FromQ(Trim(txtAlias->text()));
    FUser = lstUsers->currentIndex() >= 0 ? FromQ(Trim(lstUsers->currentText())) : std::string();
    if (FAliasID.empty()) {
        ShowMessage("The Alias requires an ID", this);
        return;
    }
    if (FUser.empty()) {
        ShowMessage("The Alias requires a User", this);
        return;
    }
    if (!ServerInformation) return;
    TServerInformation& si = *ServerInformation;

    if (!txtAlias->isEnabled()) {
        if (si.AliasExists(FAliasID)) {
            si.SetAliasUser(FAliasID, FUser);
            done(mrOk);
        } else {
            ShowMessage("The Alias must exist to be edited.", this);
            done(mrCancel);
        }
        return;
    }

    if (!IsValidAliasID(FAliasID)) {
        ShowMessage("The Alias ID cannot contain ( ) < > @ , ; : \\ \" [ ]", this);
        return;
    }
    if (!IsValidAccountName(FAliasID)) ShowMessage("Warning: You are making a domain specific Alias.", this);
    if (si.UserExists(FAliasID)) {
        ShowMessage("The Alias ID is already taken by a User.", this);
        return;
    }
    if (si.MailListExists(FAliasID)) {
        ShowMessage("The Alias ID is already taken by a Mail List.", this);
        return;
    }
    if (si.AliasExists(FAliasID)) {
        ShowMessage("The Alias already exists, please specify a different ID.", this);
        return;
    }
    si.AddAlias(FAliasID, FUser);
    done(mrOk);
}
