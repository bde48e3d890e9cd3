#include "Settings_SmtpServer.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>

#include "DataU1.h"
#include "Settings_SmtpServerAccessControl.h"

TfrmSettings_SmtpServer* frmSettings_SmtpServer = nullptr;

namespace {

QLabel* MakeLabel(QWidget* owner, const char* name, const QString& text, bool wrap = false) {
    auto* l = new QLabel(text, owner);
    l->setObjectName(name);
    l->setWordWrap(wrap);
    return l;
}

constexpr int RelayNoteWidth = 320;

// One place for notes that take turns (only one is shown at a time): every
// note fills it, and it is as high as the longest needs at its narrowest, so
// showing the other note never changes the dialog's size. It lays its notes
// out itself, so nothing in the dialog asks for a height for its width, and
// the dialog's size does not change with the page shown either.
class TNotePlace : public QWidget {
public:
    TNotePlace(std::initializer_list<QLabel*> notes, int width, QWidget* parent) : QWidget(parent) {
        setObjectName("pnlRelayNotes");
        int height = 0;
        for (QLabel* n : notes) {
            n->setParent(this);
            n->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            height = std::max(height, n->heightForWidth(width));
        }
        setMinimumWidth(width);
        setFixedHeight(height);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        for (QWidget* n : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) n->setGeometry(rect());
    }
};

}  // namespace

TfrmSettings_SmtpServer::TfrmSettings_SmtpServer(QWidget* parent) : TModalForm(parent) {
    setObjectName("frmSettings_SmtpServer");
    setWindowTitle("SMTP Server Settings");

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");

    // General page.
    tsGeneral = new QWidget(PageControl1);
    tsGeneral->setObjectName("tsGeneral");
    PageControl1->addTab(tsGeneral, "General");
    lstAddress = new QComboBox(tsGeneral);
    lstAddress->setObjectName("lstAddress");
    spePort = new TSpinEdit(1, 65535, tsGeneral);
    spePort->setObjectName("spePort");
    FDomains = MakeEditableList(this, "lstDomains", "popupDomains", "puDomainsAdd", "puDomainsDelete",
                                "Domains this server accepts mail for...  Right Click to edit.");
    lstDomains = FDomains.List;
    lstDomains->setParent(tsGeneral);
    popupDomains = FDomains.Popup;
    puDomainsAdd = FDomains.AddItem;
    puDomainsDelete = FDomains.DeleteItem;
    speInactivityTimeout = new TSpinEdit(0, 120, tsGeneral);
    speInactivityTimeout->setObjectName("speInactivityTimeout");
    lblConnectionInactivityTimeout = MakeLabel(tsGeneral, "lblConnectionInactivityTimeout",
                                               "Connection Inactivity Timeout (in minutes)");
    {
        auto* g = new QGridLayout(tsGeneral);
        g->addWidget(MakeLabel(tsGeneral, "Label1", "Server Bind Address"), 0, 0);
        g->addWidget(lstAddress, 0, 1);
        g->addWidget(MakeLabel(tsGeneral, "Label2", "Port"), 1, 0);
        auto* port = new QHBoxLayout;
        port->addWidget(spePort);
        port->addWidget(MakeLabel(tsGeneral, "Label3", "(Restart Server to implement change)"));
        port->addStretch();
        g->addLayout(port, 1, 1);
        g->addWidget(MakeLabel(tsGeneral, "Label4", "Local Domains"), 2, 0, Qt::AlignTop);
        g->addWidget(lstDomains, 2, 1);
        auto* notes = new QVBoxLayout;
        notes->setSpacing(0);
        notes->addWidget(MakeLabel(tsGeneral, "Label5", "Domain or IP address."));
        notes->addWidget(MakeLabel(tsGeneral, "Label6", "Must be fully specified (no wildcards)"));
        g->addLayout(notes, 3, 1);
        g->addWidget(lblConnectionInactivityTimeout, 4, 0);
        auto* idle = new QHBoxLayout;
        idle->addWidget(speInactivityTimeout);
        idle->addStretch();
        g->addLayout(idle, 4, 1);
        g->setRowStretch(5, 1);
    }

    // Access page.
    tsAccess2 = new QWidget(PageControl1);
    tsAccess2->setObjectName("tsAccess2");
    PageControl1->addTab(tsAccess2, "Access Control");
    btnBanning = new QPushButton("Additional Controls", tsAccess2);
    btnBanning->setObjectName("btnBanning");
    GroupBox1 = new QGroupBox("Access Settings", tsAccess2);
    GroupBox1->setObjectName("GroupBox1");
    cbxRestrictAccess = new QCheckBox("Do NOT relay foreign mail", GroupBox1);
    cbxRestrictAccess->setObjectName("cbxRestrictAccess");
    lblNoRelayOff =
        MakeLabel(GroupBox1, "lblNoRelayOff", "Tavrin will accept mail from ANYONE and try to deliver it.", true);
    lblNoRelayOn = MakeLabel(GroupBox1, "lblNoRelayOn",
                             "Tavrin will accept mail ONLY addressed to at least one local user, from a local "
                             "user, or from an \"Accepted\" domain. ",
                             true);
    FAcceptedDomains = MakeEditableList(
        this, "lstAcceptedDomains", "popupAcceptedDomains", "pu_AcceptedDomains_Add", "pu_AcceptedDomains_Delete",
        "Domain or IP address.  Wildcard at end OK (ie 192.168.*).  Right Click to edit.");
    lstAcceptedDomains = FAcceptedDomains.List;
    lstAcceptedDomains->setParent(GroupBox1);
    popupAcceptedDomains = FAcceptedDomains.Popup;
    pu_AcceptedDomains_Add = FAcceptedDomains.AddItem;
    pu_AcceptedDomains_Delete = FAcceptedDomains.DeleteItem;
    {
        auto* g = new QVBoxLayout(GroupBox1);
        g->addWidget(cbxRestrictAccess);
        g->addWidget(new TNotePlace({lblNoRelayOff, lblNoRelayOn}, RelayNoteWidth, GroupBox1));
        g->addWidget(MakeLabel(GroupBox1, "Label7", "Accepted Domains"));
        g->addWidget(lstAcceptedDomains);
        g->addWidget(MakeLabel(GroupBox1, "Label8", "Domain or IP address."));
        g->addWidget(MakeLabel(GroupBox1, "Label9", "Wildcard at end OK (ie 192.168.*)"));
        auto* v = new QVBoxLayout(tsAccess2);
        auto* top = new QHBoxLayout;
        top->addStretch();
        top->addWidget(btnBanning);
        v->addLayout(top);
        v->addWidget(GroupBox1);
    }

    MakeOkCancel(btnOK, btnCancel);
    LayOutPagesAndButtons(PageControl1, btnOK, btnCancel);
    lstDomains->setFixedHeight(110);
    lstAcceptedDomains->setFixedHeight(110);

    connect(btnOK, &QPushButton::clicked, this, &TfrmSettings_SmtpServer::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
    connect(popupDomains, &QMenu::aboutToShow, this, &TfrmSettings_SmtpServer::popupDomainsPopup);
    connect(puDomainsAdd, &QAction::triggered, this, &TfrmSettings_SmtpServer::puDomainsAddClick);
    connect(puDomainsDelete, &QAction::triggered, this, &TfrmSettings_SmtpServer::puDomainsDeleteClick);
    connect(popupAcceptedDomains, &QMenu::aboutToShow, this, &TfrmSettings_SmtpServer::popupAcceptedDomainsPopup);
    connect(pu_AcceptedDomains_Add, &QAction::triggered, this, &TfrmSettings_SmtpServer::pu_AcceptedDomains_AddClick);
    connect(pu_AcceptedDomains_Delete, &QAction::triggered, this,
            &TfrmSettings_SmtpServer::pu_AcceptedDomains_DeleteClick);
    connect(cbxRestrictAccess, &QCheckBox::clicked, this, &TfrmSettings_SmtpServer::cbxRestrictAccessClick);
    connect(btnBanning, &QPushButton::clicked, this, &TfrmSettings_SmtpServer::btnBanningClick);
}

void TfrmSettings_SmtpServer::FormShow() {
    PageControl1->setCurrentWidget(tsGeneral);
    if (!ServerInformation) return;
    const TServerInformation& si = *ServerInformation;
    FillBindAddresses(lstAddress, si.SmtpBindAddress);
    spePort->SetValue(si.SmtpListenPort);
    speInactivityTimeout->SetValue(si.SmtpInactivityTimeout);
    SetListLines(lstDomains, si.LocalDomains);
    SetListLines(lstAcceptedDomains, si.AcceptedDomains);
    cbxRestrictAccess->setChecked(si.Restrict);
    cbxRestrictAccessClick();
}

void TfrmSettings_SmtpServer::btnOKClick() {
    if (ServerInformation) {
        TServerInformation& si = *ServerInformation;
        si.SmtpBindAddress = SelectedBindAddress(lstAddress);
        si.SmtpListenPort = spePort->Value();
        si.SmtpInactivityTimeout = speInactivityTimeout->Value();
        si.SetLocalDomains(ListLines(lstDomains));
        si.SetAcceptedDomains(ListLines(lstAcceptedDomains));
        si.Restrict = cbxRestrictAccess->isChecked();
    }
    done(mrOk);
}

void TfrmSettings_SmtpServer::popupDomainsPopup() { UpdateListPopup(FDomains); }

void TfrmSettings_SmtpServer::puDomainsAddClick() { AddListEntry(lstDomains, "Add Local Domain", "Domain", this); }

void TfrmSettings_SmtpServer::puDomainsDeleteClick() { DeleteSelectedEntries(lstDomains); }

void TfrmSettings_SmtpServer::popupAcceptedDomainsPopup() { UpdateListPopup(FAcceptedDomains); }

void TfrmSettings_SmtpServer::pu_AcceptedDomains_AddClick() {
    AddListEntry(lstAcceptedDomains, "Add Accepted Domain", "Domain", this);
}

void TfrmSettings_SmtpServer::pu_AcceptedDomains_DeleteClick() { DeleteSelectedEntries(lstAcceptedDomains); }

void TfrmSettings_SmtpServer::cbxRestrictAccessClick() {
    bool on = cbxRestrictAccess->isChecked();
    lblNoRelayOff->setVisible(!on);
    lblNoRelayOn->setVisible(on);
}

void TfrmSettings_SmtpServer::btnBanningClick() {
    if (frmSettings_SmtpServerAccessControl) frmSettings_SmtpServerAccessControl->exec();
}
