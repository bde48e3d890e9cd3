#include "About.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "Artwork.h"
#include "Forms.h"
#include "License.h"
#include "Maker.h"
#include "UtilU1.h"
#include "Widgets.h"

namespace {

constexpr const char* UserNote =
    "Thank you for running Tavrin.\n\n"
    "Tavrin is a mail server for one machine: it takes mail over SMTP from "
    "users who log in, keeps a mailbox for every local user to fetch over "
    "POP3, runs aliases and mailing lists, and relays the rest of the mail "
    "to the servers of other domains.\n\n"
    "Before you open the server to a network, give it a Server Name and a "
    "DNS server in the General Settings, add your users, and send yourself "
    "a test message.\n\n"
    "Questions, reports of faults and ideas are welcome at the address "
    "below the pictures.";

TClickLabel* link(const QString& text, const char* name, QWidget* parent) {
    auto* l = new TClickLabel(text, parent);
    l->setObjectName(name);
    Underline(l);
    l->setStyleSheet("color: blue;");
    return l;
}

}  // namespace

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName("frmAbout");
    setWindowTitle("About");

    lblTitle = new QLabel("Tavrin SMTP/POP3 E-Mail Server", this);
    lblTitle->setObjectName("lblTitle");
    QFont f = lblTitle->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.3);
    lblTitle->setFont(f);
    lblVersion = new QLabel(this);
    lblVersion->setObjectName("lblVersion");
    lblRights = new QLabel(MakerRightsLine, this);
    lblRights->setObjectName("lblRights");
    lblRights->setAlignment(Qt::AlignCenter);
    auto* findOut = new QLabel("Find out more at:", this);
    findOut->setObjectName("lblFindOut");
    lblWebSite = link({}, "lblWebSite", this);
    lblLicense = link("Read License", "lblLicense", this);

    imgTavrin = new TClickLabel({}, this);
    imgTavrin->setObjectName("imgTavrin");
    imgTavrin->setPixmap(TavrinLogo(64));
    imgTavrin->setToolTip("Tavrin on the Web");
    imgSource = new TClickLabel({}, this);
    imgSource->setObjectName("imgSource");
    imgSource->setPixmap(SourceLogo(64));
    imgAuthor = new QLabel(this);
    imgAuthor->setObjectName("imgAuthor");
    imgAuthor->setPixmap(AuthorPicture(64));

    auto* mailMe = new QLabel("EMail Me:", this);
    mailMe->setObjectName("lblEMailMe");
    lblEMail = link(QString(MakerMailLink).mid(7), "lblEMail", this);

    Memo1 = new QPlainTextEdit(UserNote, this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    connect(lblLicense, &TClickLabel::clicked, this, &TfrmAbout::lblLicenseClick);
    connect(lblWebSite, &TClickLabel::clicked, this, &TfrmAbout::lblWebSiteClick);
    connect(imgTavrin, &TClickLabel::clicked, this, &TfrmAbout::lblWebSiteClick);
    connect(lblEMail, &TClickLabel::clicked, this, &TfrmAbout::lblEMailClick);
    connect(imgSource, &TClickLabel::clicked, this, &TfrmAbout::imgSourceClick);

    auto* pictures = new QHBoxLayout;
    pictures->addWidget(imgTavrin);
    pictures->addWidget(imgSource);
    pictures->addWidget(imgAuthor);
    pictures->addStretch();
    auto* grid = new QGridLayout;
    grid->addWidget(findOut, 0, 0);
    grid->addWidget(lblWebSite, 0, 1);
    grid->addWidget(mailMe, 1, 0);
    grid->addWidget(lblEMail, 1, 1);
    grid->setColumnStretch(1, 1);

    auto* v = new QVBoxLayout(this);
    v->addWidget(lblTitle, 0, Qt::AlignHCenter);
    v->addWidget(lblVersion, 0, Qt::AlignHCenter);
    v->addWidget(lblRights);
    v->addSpacing(6);
    v->addLayout(pictures);
    v->addLayout(grid);
    v->addWidget(lblLicense, 0, Qt::AlignLeft);
    v->addWidget(Memo1, 1);
    resize(420, 440);
}

void TfrmAbout::showEvent(QShowEvent* e) {
    FormShow();
    QDialog::showEvent(e);
}

void TfrmAbout::FormShow() {
    lblVersion->setText("Version: 1.4.0.0");
    lblWebSite->setText(MakerWebSite);
}

void TfrmAbout::lblLicenseClick() {
    if (frmLicense) frmLicense->exec();
}

void TfrmAbout::lblWebSiteClick() {
    if (!ShellOpen(MakerWebSite)) ShowMessage(QString("Can't open web browser to ") + MakerWebSite, this);
}

void TfrmAbout::lblEMailClick() {
    if (!ShellOpen(MakerMailLink)) ShowMessage(QString("Can't open EMailer to ") + MakerMailLink, this);
}

void TfrmAbout::imgSourceClick() {
    if (!ShellOpen(MakerSourceSite)) ShowMessage(QString("Can't open web browser to ") + MakerSourceSite, this);
}
