#include "Settings_Pop3Server.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "DataU1.h"

TfrmSettings_Pop3Server* frmSettings_Pop3Server = nullptr;

TfrmSettings_Pop3Server::TfrmSettings_Pop3Server(QWidget* parent) : TModalForm(parent) {
    setObjectName("frmSettings_Pop3Server");
    setWindowTitle(QString::fromUtf8("POP3 服務設定"));

    auto label = [this](const char* name, const char* text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        return l;
    };
    lstAddress = new QComboBox(this);
    lstAddress->setObjectName("lstAddress");
    spePort = new TSpinEdit(1, 65535, this);
    spePort->setObjectName("spePort");
    cbxCreateUser = new QCheckBox("Create User on Login Attempt", this);
    cbxCreateUser->setObjectName("cbxCreateUser");
    cbxCreatePassword = new QCheckBox("Accept User Password on Login Attempt (if password blank)", this);
    cbxCreatePassword->setObjectName("cbxCreatePassword");
    speInactivityTimeout = new TSpinEdit(0, 120, this);
    speInactivityTimeout->setObjectName("speInactivityTimeout");
    lblConnectionInactivityTimeout =
        label("lblConnectionInactivityTimeout", "Connection Inactivity Timeout (in minutes)");
    MakeOkCancel(btnOK, btnCancel);

    auto* g = new QGridLayout;
    g->addWidget(label("Label1", "Server Bind Address"), 0, 0);
    g->addWidget(lstAddress, 0, 1);
    g->addWidget(label("Label2", "Port"), 1, 0);
    auto* port = new QHBoxLayout;
    port->addWidget(spePort);
    port->addWidget(label("Label3", "(Restart Server to implement change)"));
    port->addStretch();
    g->addLayout(port, 1, 1);
    g->addWidget(cbxCreateUser, 2, 0, 1, 2);
    g->addWidget(cbxCreatePassword, 3, 0, 1, 2);
    g->addWidget(lblConnectionInactivityTimeout, 4, 0);
    auto* idle = new QHBoxLayout;
    idle->addWidget(speInactivityTimeout);
    idle->addStretch();
    g->addLayout(idle, 4, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addLayout(g);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, &TfrmSettings_Pop3Server::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
}

void TfrmSettings_Pop3Server::FormShow() {
    if (!ServerInformation) return;
    const TServerInformation& si = *ServerInformation;
    FillBindAddresses(lstAddress, si.Pop3BindAddress);
    spePort->SetValue(si.Pop3ListenPort);
    cbxCreateUser->setChecked(si.CreateUserOnDemand);
    cbxCreatePassword->setChecked(si.CreateUserPasswordOnDemand);
    speInactivityTimeout->SetValue(si.Pop3InactivityTimeout);
}

void TfrmSettings_Pop3Server::btnOKClick() {
    if (ServerInformation) {
        TServerInformation& si = *ServerInformation;
        si.Pop3BindAddress = SelectedBindAddress(lstAddress);
        si.Pop3ListenPort = spePort->Value();
        si.CreateUserOnDemand = cbxCreateUser->isChecked();
        si.CreateUserPasswordOnDemand = cbxCreatePassword->isChecked();
        si.Pop3InactivityTimeout = speInactivityTimeout->Value();
    }
    done(mrOk);
}
