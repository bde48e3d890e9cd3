#include "FirstTime.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "Forms.h"
#include "Main.h"
#include "Widgets.h"

TfrmFirstTime::TfrmFirstTime(QWidget* owner)
    : QDialog(owner, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                         Qt::WindowCloseButtonHint) {
    setObjectName("frmFirstTime");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Tavrin First Timer Information");

    auto label = [this](const char* name, const QString& text, bool wrap) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setWordWrap(wrap);
        return l;
    };
    Label1 = label("Label1",
                   "After installation, you need to perform some basic configuration to operate this server.  "
                   "Here is the minimal checklist you should use...",
                   true);
    Label3 = label("Label3", "1) Enter a Server Name.", false);
    Label5 = label("Label5",
                   "The Server Name is either the Domain Name or dotted IP address of this machine.  It should "
                   "be reachable from all networks you plan to send mail to or receive mail from.",
                   true);
    Label4 = label("Label4", "2) Enter a DNS Server address to use for mail delivery purposes.", false);
    Label6 = label("Label6",
                   "The DNS Server address must be in dotted IP address form.  This must be a DNS server that "
                   "you can use to get Mail Exchange (MX) records from to allow the server to deliver mail to "
                   "non-local users.",
                   true);
    Label7 = label("Label7",
                   "You can open the \"General Settings\" dialog where these settings must be specified by "
                   "clicking the link below.  For more information, read the manual.",
                   true);
    QFont bold = Label3->font();
    bold.setBold(true);
    Label3->setFont(bold);
    Label4->setFont(bold);

    lblGeneralSettings = new TClickLabel("General Settings", this);
    lblGeneralSettings->setObjectName("lblGeneralSettings");
    Underline(lblGeneralSettings);
    lblGeneralSettings->setStyleSheet("color: blue;");
    connect(lblGeneralSettings, &TClickLabel::clicked, this, &TfrmFirstTime::lblGeneralSettingsClick);

    btnClose = new QPushButton("Close", this);
    btnClose->setObjectName("btnClose");
    btnClose->setDefault(true);
    connect(btnClose, &QPushButton::clicked, this, &TfrmFirstTime::btnCloseClick);

    auto* v = new QVBoxLayout(this);
    v->addWidget(Label1);
    v->addSpacing(6);
    v->addWidget(Label3);
    v->addWidget(Label5);
    v->addSpacing(6);
    v->addWidget(Label4);
    v->addWidget(Label6);
    v->addSpacing(6);
    v->addWidget(Label7);
    v->addWidget(lblGeneralSettings, 0, Qt::AlignHCenter);
    v->addStretch();
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(btnClose);
    v->addLayout(h);
    resize(460, 380);
}

void TfrmFirstTime::lblGeneralSettingsClick() {
    // The general settings dialog belongs to the main window's Settings menu;
    // the link runs that command whenever the menu offers it.
    if (frmMain) {
        if (auto* item = frmMain->findChild<QAction*>("mnuSGeneral")) item->trigger();
    }
    close();
}

void TfrmFirstTime::btnCloseClick() { close(); }

void TfrmFirstTime::showEvent(QShowEvent* e) {
    // Centred on the desktop, not over the owner: at a first start the main
    // window is only being placed by the window manager.
    if (!e->spontaneous()) CentreOnDesktop(this);
    QDialog::showEvent(e);
}
