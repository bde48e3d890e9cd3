#include "AddEditUser.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "DataU1.h"
#include "Forms.h"

TfrmAddEditUser* frmAddEditUser = nullptr;

TfrmAddEditUser::TfrmAddEditUser(QWidget* parent)
    : TModalForm(parent), FUser(std::make_unique<TPop3UserInformation>()) {
    setObjectName("frmAddEditUser");
    setWindowTitle("Add / Edit User");

    auto edit = [](QWidget* owner, const char* name) {
        auto* e = new QLineEdit(owner);
        e->setObjectName(name);
        return e;
    };
    auto label = [](QWidget* owner, const char* name, const char* text) {
        auto* l = new QLabel(text, owner);
        l->setObjectName(name);
        return l;
    };
    txtUserID = edit(this, "txtUserID");
    txtUserPassword = edit(this, "txtUserPassword");
    cbxForwardTo = new QCheckBox("Forward To:", this);
    cbxForwardTo->setObjectName("cbxForwardTo");
    txtForwardTo = edit(this, "txtForwardTo");
    cbxKeepMailBackup = new QCheckBox("Keep a copy in Mail Server", this);
    cbxKeepMailBackup->setObjectName("cbxKeepMailBackup");
    GroupBox1 = new QGroupBox("Personal Information", this);
    GroupBox1->setObjectName("GroupBox1");
    txtRealName = edit(GroupBox1, "txtRealName");
    cbxUB_DoNotReportUserExists_SMTP = new QCheckBox("Do Not Report User Exists (SMTP)", GroupBox1);
    cbxUB_DoNotReportUserExists_SMTP->setObjectName("cbxUB_DoNotReportUserExists_SMTP");
    MakeOkCancel(btnOK, btnCancel);

    auto* g = new QGridLayout;
    g->addWidget(label(this, "Label1", "User ID"), 0, 0);
    g->addWidget(txtUserID, 0, 1);
    g->addWidget(label(this, "Label2", "User Password"), 1, 0);
    g->addWidget(txtUserPassword, 1, 1);
    g->addWidget(cbxForwardTo, 2, 0);
    g->addWidget(txtForwardTo, 2, 1);
    g->addWidget(cbxKeepMailBackup, 3, 0, 1, 2);
    g->setColumnMinimumWidth(1, 240);
    auto* personal = new QGridLayout(GroupBox1);
    personal->addWidget(label(GroupBox1, "Label3", "Real Name"), 0, 0);
    personal->addWidget(txtRealName, 0, 1);
    personal->addWidget(cbxUB_DoNotReportUserExists_SMTP, 1, 0, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addLayout(g);
    all->addWidget(GroupBox1);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, &TfrmAddEditUser::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
}

TfrmAddEditUser::~TfrmAddEditUser() = default;

bool TfrmAddEditUser::AddUser() {
    setWindowTitle("Add User");
    txtUserID->setEnabled(true);
    txtUserID->clear();
    // A new user starts from nothing: no forward address and no limits left
    // over from the user shown last.
    *FUser = TPop3UserInformation();
    FUser->Clear();
    FillControls();
    return exec() == mrOk;
}

bool TfrmAddEditUser::EditUser(const std::string& name) {
    setWindowTitle("Edit User");
    txtUserID->setEnabled(false);
    txtUserID->setText(ToQ(name));
    // A user whose information file is missing shows empty fields rather
    // than those of the user shown last.
    if (!FUser->LoadUser(name)) {
        *FUser = TPop3UserInformation();
        FUser->UserName = name;
    }
    FillControls();
    return exec() == mrOk;
}

void TfrmAddEditUser::FillControls() {
    txtUserPassword->setText(ToQ(FUser->Password));
    txtForwardTo->setText(ToQ(FUser->ForwardToAddress));
    cbxForwardTo->setChecked(!txtForwardTo->text().isEmpty());
    txtRealName->setText(ToQ(FUser->RealName));
    cbxUB_DoNotReportUserExists_SMTP->setChecked(FUser->DoNotReportUserExists);
    cbxKeepMailBackup->setChecked(Trim(txtUserID->text()).isEmpty() ? true : FUser->BackUpMailData);
}

void TfrmAddEditUser::FormShow() {
    if (txtUserID->isEnabled())
        txtUserID->setFocus(Qt::OtherFocusReason);
    else
        txtUserPassword->setFocus(Qt::OtherFocusReason);
}

void TfrmAddEditUser::btnOKClick() {
    TPop3UserInformation& u = *FUser;
    u.Clear();
    u.Password = FromQ(txtUserPassword->text());
    u.ForwardToAddress.clear();
    if (cbxForwardTo->isChecked() && !Trim(txtForwardTo->text()).isEmpty())
        u.ForwardToAddress = FromQ(txtForwardTo->text());
    u.RealName = FromQ(txtRealName->text());
    u.BackUpMailData = cbxKeepMailBackup->isChecked();
    u.DoNotReportUserExists = cbxUB_DoNotReportUserExists_SMTP->isChecked();

    std::string id = FromQ(Trim(txtUserID->text()));
    if (id.empty()) {
        ShowMessage("The User requires an ID", this);
        return;
    }
    if (!ServerInformation) return;
    TServerInformation& si = *ServerInformation;

    if (!txtUserID->isEnabled()) {
        if (si.UserExists(id)) {
            u.SaveUser(id);
            done(mrOk);
        } else {
            ShowMessage("The User ID must exist to be edited.", this);
            done(mrCancel);
        }
        return;
    }

    if (!IsAccountName(id)) {
        ShowMessage("The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]", this);
        return;
    }
    if (si.AliasExists(id)) {
        ShowMessage("The User ID is already taken by an Alias.", this);
        return;
    }
    if (si.MailListExists(id)) {
        ShowMessage("The User ID is already taken by a Mail List.", this);
        return;
    }
    if (si.UserExists(id)) {
        ShowMessage("The User ID already exists, please specify a different ID.", this);
        return;
    }
    if (si.CreateUser(id))
        u.SaveUser(id);
    else
        ShowMessage("Unable to create User Folder and File.", this);
    // Closed with OK in both cases, so that the manager lists what is there.
    done(mrOk);
}
