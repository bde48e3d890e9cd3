#include "ChooseUser.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "DataU1.h"

TfrmChooseUser* frmChooseUser = nullptr;

TfrmChooseUser::TfrmChooseUser(QWidget* parent) : TModalForm(parent, SizeableFlags()) {
    setObjectName("frmChooseUser");
    setWindowTitle("Select User");

    lstUsers = new QListWidget(this);
    lstUsers->setObjectName("lstUsers");
    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    lstDomain = new QComboBox(Panel1);
    lstDomain->setObjectName("lstDomain");
    lstDomain->setMinimumWidth(150);
    btnOK = new QPushButton("OK", Panel1);
    btnOK->setObjectName("btnOK");
    btnOK->setDefault(true);
    btnCancel = new QPushButton("Cancel", Panel1);
    btnCancel->setObjectName("btnCancel");

    auto* bottom = new QHBoxLayout(Panel1);
    bottom->setContentsMargins(0, 0, 0, 0);
    bottom->addWidget(lstDomain, 1);
    bottom->addWidget(btnOK);
    bottom->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addWidget(lstUsers, 1);
    all->addWidget(Panel1);
    resize(300, 320);

    connect(btnOK, &QPushButton::clicked, this, [this] { done(mrOk); });
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
    connect(lstUsers, &QListWidget::itemDoubleClicked, this, &TfrmChooseUser::lstUsersDblClick);
}

void TfrmChooseUser::FormShow() {
    lstUsers->clear();
    lstDomain->clear();
    if (ServerInformation) {
        std::vector<std::string> users;
        ServerInformation->GetUsers(users);
        lstUsers->addItems(ToQ(users));
        // A member address needs a domain: an empty server name is no choice.
        if (!ServerInformation->ServerName.empty()) lstDomain->addItem(ToQ(ServerInformation->ServerName));
        for (const std::string& d : ServerInformation->LocalDomains) lstDomain->addItem(ToQ(d));
    }
    if (lstDomain->count() > 0) lstDomain->setCurrentIndex(0);
    lstUsers->setFocus(Qt::OtherFocusReason);
}

bool TfrmChooseUser::Execute() {
    lstDomain->setVisible(true);
    lstUsers->setSelectionMode(QAbstractItemView::ExtendedSelection);
    return exec() == mrOk && !lstUsers->selectedItems().isEmpty();
}

void TfrmChooseUser::lstUsersDblClick() { btnOK->click(); }
