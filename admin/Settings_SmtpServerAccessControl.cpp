#include "Settings_SmtpServerAccessControl.h"

#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

#include "DataU1.h"

TfrmSettings_SmtpServerAccessControl* frmSettings_SmtpServerAccessControl = nullptr;

TfrmSettings_SmtpServerAccessControl::TfrmSettings_SmtpServerAccessControl(QWidget* parent) : TModalForm(parent) {
    setObjectName("frmSettings_SmtpServerAccessControl");
    setWindowTitle("SMTP Server Access Control Settings");

    auto check = [this](const char* name, const char* caption) {
        auto* c = new QCheckBox(caption, this);
        c->setObjectName(name);
        return c;
    };
    cbxBannedDomains = check("cbxBannedDomains", "Reject Banned Domains");
    FBannedDomains = MakeEditableList(this, "lstBannedDomains", "popupBannedDomains", "pu_BannedDomains_Add",
                                      "pu_BannedDomains_Delete",
                                      "Do NOT accept mail from these domains...  Right Click to edit.");
    cbxBannedMailboxes = check("cbxBannedMailboxes", "Reject Banned Mailboxes");
    FBannedMailboxes = MakeEditableList(
        this, "lstBannedMailboxes", "popupBannedMailboxes", "pu_BannedMailboxes_Add", "pu_BannedMailboxes_Delete",
        "Do NOT accept mail from these mailboxes (regardless of domain)...  Right Click to edit.");
    cbxBannedAddresses = check("cbxBannedAddresses", "Reject Banned Addresses");
    FBannedAddresses = MakeEditableList(this, "lstBannedAddresses", "popupBannedAddresses",
                                        "pu_BannedAddresses_Add", "pu_BannedAddresses_Delete",
                                        "Do NOT accept mail from these addresses...  Right Click to edit.");
    cbxRejectToCount = check("cbxRejectToCount", "Reject mail with more than this many recipients...");
    speRejectToCount = new TSpinEdit(1, 10000, this, 10);
    speRejectToCount->setObjectName("speRejectToCount");

    lstBannedDomains = FBannedDomains.List;
    popupBannedDomains = FBannedDomains.Popup;
    pu_BannedDomains_Add = FBannedDomains.AddItem;
    pu_BannedDomains_Delete = FBannedDomains.DeleteItem;
    lstBannedMailboxes = FBannedMailboxes.List;
    popupBannedMailboxes = FBannedMailboxes.Popup;
    pu_BannedMailboxes_Add = FBannedMailboxes.AddItem;
    pu_BannedMailboxes_Delete = FBannedMailboxes.DeleteItem;
    lstBannedAddresses = FBannedAddresses.List;
    popupBannedAddresses = FBannedAddresses.Popup;
    pu_BannedAddresses_Add = FBannedAddresses.AddItem;
    pu_BannedAddresses_Delete = FBannedAddresses.DeleteItem;

    MakeOkCancel(btnOK, btnCancel);

    auto* g = new QGridLayout;
    int column = 0;
    for (auto [box, list] : {std::pair{cbxBannedDomains, lstBannedDomains}, std::pair{cbxBannedMailboxes, lstBannedMailboxes},
                             std::pair{cbxBannedAddresses, lstBannedAddresses}}) {
        g->addWidget(box, 0, column);
        g->addWidget(list, 1, column);
        list->setFixedSize(170, 150);
        ++column;
    }
    auto* notes = new QVBoxLayout;
    auto note = [this, notes](const char* name, const char* text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        notes->addWidget(l);
    };
    note("Label1", "Wildcard at end OK");
    note("Label2", "ie 192.168.*");
    g->addLayout(notes, 2, 0);
    auto* limit = new QHBoxLayout;
    limit->addWidget(cbxRejectToCount);
    limit->addWidget(speRejectToCount);
    limit->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addLayout(g);
    all->addLayout(limit);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);

    connect(btnOK, &QPushButton::clicked, this, &TfrmSettings_SmtpServerAccessControl::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
    using F = TfrmSettings_SmtpServerAccessControl;
    connect(popupBannedDomains, &QMenu::aboutToShow, this, &F::popupBannedDomainsPopup);
    connect(pu_BannedDomains_Add, &QAction::triggered, this, &F::pu_BannedDomains_AddClick);
    connect(pu_BannedDomains_Delete, &QAction::triggered, this, &F::pu_BannedDomains_DeleteClick);
    connect(popupBannedMailboxes, &QMenu::aboutToShow, this, &F::popupBannedMailboxesPopup);
    connect(pu_BannedMailboxes_Add, &QAction::triggered, this, &F::pu_BannedMailboxes_AddClick);
    connect(pu_BannedMailboxes_Delete, &QAction::triggered, this, &F::pu_BannedMailboxes_DeleteClick);
    connect(popupBannedAddresses, &QMenu::aboutToShow, this, &F::popupBannedAddressesPopup);
    connect(pu_BannedAddresses_Add, &QAction::triggered, this, &F::pu_BannedAddresses_AddClick);
    connect(pu_BannedAddresses_Delete, &QAction::triggered, this, &F::pu_BannedAddresses_DeleteClick);
}

void TfrmSettings_SmtpServerAccessControl::FormShow() {
    if (!ServerInformation) return;
    const TServerInformation& si = *ServerInformation;
    SetListLines(lstBannedDomains, si.BannedDomains);
    SetListLines(lstBannedMailboxes, si.BannedMailboxes);
    SetListLines(lstBannedAddresses, si.BannedAddresses);
    cbxBannedDomains->setChecked(si.BanDomains);
    cbxBannedMailboxes->setChecked(si.BanMailboxes);
    cbxBannedAddresses->setChecked(si.BanAddresses);
    cbxRejectToCount->setChecked(si.ApplyToMaximum);
    speRejectToCount->SetValue(si.ToMaximum);
}

void TfrmSettings_SmtpServerAccessControl::btnOKClick() {
    if (ServerInformation) {
        TServerInformation& si = *ServerInformation;
        si.SetBannedDomains(ListLines(lstBannedDomains));
        si.SetBannedMailboxes(ListLines(lstBannedMailboxes));
        si.SetBannedAddresses(ListLines(lstBannedAddresses));
        si.BanDomains = cbxBannedDomains->isChecked();
        si.BanMailboxes = cbxBannedMailboxes->isChecked();
        si.BanAddresses = cbxBannedAddresses->isChecked();
        si.ApplyToMaximum = cbxRejectToCount->isChecked();
        si.ToMaximum = speRejectToCount->Value();
    }
    done(mrOk);
}

void TfrmSettings_SmtpServerAccessControl::popupBannedDomainsPopup() { UpdateListPopup(FBannedDomains); }

void TfrmSettings_SmtpServerAccessControl::pu_BannedDomains_AddClick() {
    AddListEntry(lstBannedDomains, "Add Banned Domain", "Domain", this);
}

void TfrmSettings_SmtpServerAccessControl::pu_BannedDomains_DeleteClick() { DeleteSelectedEntries(lstBannedDomains); }

void TfrmSettings_SmtpServerAccessControl::popupBannedMailboxesPopup() { UpdateListPopup(FBannedMailboxes); }

void TfrmSettings_SmtpServerAccessControl::pu_BannedMailboxes_AddClick() {
    AddListEntry(lstBannedMailboxes, "Add Banned Mailbox", "Mailbox", this);
}

void TfrmSettings_SmtpServerAccessControl::pu_BannedMailboxes_DeleteClick() {
    DeleteSelectedEntries(lstBannedMailboxes);
}

void TfrmSettings_SmtpServerAccessControl::popupBannedAddressesPopup() { UpdateListPopup(FBannedAddresses); }

void TfrmSettings_SmtpServerAccessControl::pu_BannedAddresses_AddClick() {
    AddListEntry(lstBannedAddresses, "Add Banned Address", "Address", this);
}

void TfrmSettings_SmtpServerAccessControl::pu_BannedAddresses_DeleteClick() {
    DeleteSelectedEntries(lstBannedAddresses);
}
