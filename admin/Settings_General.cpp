#include "Settings_General.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "DataU1.h"
#include "Forms.h"
#include "UtilU1.h"

TfrmSettings_General* frmSettings_General = nullptr;

namespace {

// The log levels by index: the level a line must not exceed to be logged.
const char* const LogLevelCaptions[] = {
    "Critical Errors Only",  "and Server Errors",    "and Server Events",
    "and Connection Errors", "and Connection Events", "and Command Errors",
    "and Commend Events",    "and Processing Errors", "and Processing Events",
};

QLabel* MakeLabel(QWidget* owner, const char* name, const char* text) {
    auto* l = new QLabel(QString::fromUtf8(text), owner);
    l->setObjectName(name);
    return l;
}

QWidget* MakePage(QTabWidget* pages, const char* name, const char* caption) {
    auto* p = new QWidget(pages);
    p->setObjectName(name);
    pages->addTab(p, QString::fromUtf8(caption));
    return p;
}

}  // namespace

TfrmSettings_General::TfrmSettings_General(QWidget* parent) : TModalForm(parent) {
    setObjectName("frmSettings_General");
    setWindowTitle(QString::fromUtf8("一般設定項目"));

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");

    // General page.
    tsGeneral = MakePage(PageControl1, "tsGeneral", "一般設定");
    txtServerName = new QLineEdit(tsGeneral);
    txtServerName->setObjectName("txtServerName");
    txtMailboxPath = new QLineEdit(tsGeneral);
    txtMailboxPath->setObjectName("txtMailboxPath");
    btnSelectMailbox = new QPushButton("...", tsGeneral);
    btnSelectMailbox->setObjectName("btnSelectMailbox");
    txtQueuePath = new QLineEdit(tsGeneral);
    txtQueuePath->setObjectName("txtQueuePath");
    btnSelectQueue = new QPushButton("...", tsGeneral);
    btnSelectQueue->setObjectName("btnSelectQueue");
    lstDNSServerAddress = new QComboBox(tsGeneral);
    lstDNSServerAddress->setObjectName("lstDNSServerAddress");
    lstDNSServerAddress->setEditable(true);
    lstDNSServerAddress->setInsertPolicy(QComboBox::NoInsert);
    speDNSTimeout = new TSpinEdit(5, 60, tsGeneral);
    speDNSTimeout->setObjectName("speDNSTimeout");
    for (QPushButton* b : {btnSelectMailbox, btnSelectQueue}) b->setFixedWidth(28);
    {
        auto* g = new QGridLayout(tsGeneral);
        g->addWidget(MakeLabel(tsGeneral, "Label1", "主機名稱(網域/IP位址) : "), 0, 0);
        g->addWidget(txtServerName, 0, 1, 1, 2);
        g->addWidget(MakeLabel(tsGeneral, "Label2", "Mail Server郵件存放路徑 : "), 1, 0);
        g->addWidget(txtMailboxPath, 1, 1);
        g->addWidget(btnSelectMailbox, 1, 2);
        g->addWidget(MakeLabel(tsGeneral, "Label3", "外送郵件存放路徑 : "), 2, 0);
        g->addWidget(txtQueuePath, 2, 1);
        g->addWidget(btnSelectQueue, 2, 2);
        g->addWidget(MakeLabel(tsGeneral, "Label4", "DNS服務主機IP位址 : "), 3, 0);
        g->addWidget(lstDNSServerAddress, 3, 1, 1, 2);
        g->addWidget(MakeLabel(tsGeneral, "Label5", "DNS Server Timeout (in seconds)"), 4, 0);
        auto* h = new QHBoxLayout;
        h->addWidget(speDNSTimeout);
        h->addStretch();
        g->addLayout(h, 4, 1, 1, 2);
        g->setRowStretch(5, 1);
        g->setColumnMinimumWidth(1, 260);
    }

    // Start-up page.
    tsStartup = MakePage(PageControl1, "tsStartup", "啟動設定");
    auto check = [](QWidget* page, const char* name, const char* caption) {
        auto* c = new QCheckBox(QString::fromUtf8(caption), page);
        c->setObjectName(name);
        return c;
    };
    cbxStartMinimized = check(tsStartup, "cbxStartMinimized", "啟動時就縮到常註列");
    cbxAutoStart_SmtpServer = check(tsStartup, "cbxAutoStart_SmtpServer", "自動啟用 Smtp Server");
    cbxAutoStart_SmtpAgent = check(tsStartup, "cbxAutoStart_SmtpAgent", "自動啟用 Smtp Agent");
    cbxAutoStart_Pop3Server = check(tsStartup, "cbxAutoStart_Pop3Server", "自動啟用 Server");
    cbxStartProcessQueue = check(tsStartup, "cbxStartProcessQueue", "啟動後啟用 Process Queue");
    {
        auto* v = new QVBoxLayout(tsStartup);
        for (QCheckBox* c : {cbxStartMinimized, cbxAutoStart_SmtpServer, cbxAutoStart_SmtpAgent,
                             cbxAutoStart_Pop3Server, cbxStartProcessQueue})
            v->addWidget(c);
        v->addStretch();
    }

    // Log page.
    tsLog = MakePage(PageControl1, "tsLog", "Log記錄");
    txtLogFile = new QLineEdit(tsLog);
    txtLogFile->setObjectName("txtLogFile");
    btnSelectLogFile = new QPushButton("...", tsLog);
    btnSelectLogFile->setObjectName("btnSelectLogFile");
    btnSelectLogFile->setFixedWidth(28);
    lstLogLevel = new QComboBox(tsLog);
    lstLogLevel->setObjectName("lstLogLevel");
    for (const char* c : LogLevelCaptions) lstLogLevel->addItem(c);
    cbxSpyMessageContent = check(tsLog, "cbxSpyMessageContent", "Spy on Message Contents...");
    {
        auto* g = new QGridLayout(tsLog);
        g->addWidget(MakeLabel(tsLog, "Label6", "Log File "), 0, 0);
        g->addWidget(txtLogFile, 0, 1);
        g->addWidget(btnSelectLogFile, 0, 2);
        g->addWidget(MakeLabel(tsLog, "Label7", "Log Level"), 1, 0);
        g->addWidget(lstLogLevel, 1, 1, 1, 2);
        g->addWidget(cbxSpyMessageContent, 2, 1, 1, 2);
        g->setRowStretch(3, 1);
    }

    // Banner page.
    tsBanner = MakePage(PageControl1, "tsBanner", "版權畫面");
    auto option = [this](const char* name, const char* caption) {
        auto* r = new QRadioButton(caption, tsBanner);
        r->setObjectName(name);
        return r;
    };
    optBanner_NVS = option("optBanner_NVS", "Tavrin Name, Version, and Service");
    optBanner_NS = option("optBanner_NS", "Tavrin Name and Service (no version)");
    optBanner_S = option("optBanner_S", "Service Only (no name or version)");
    {
        auto* v = new QVBoxLayout(tsBanner);
        for (QRadioButton* r : {optBanner_NVS, optBanner_NS, optBanner_S}) v->addWidget(r);
        v->addStretch();
    }

    MakeOkCancel(btnOK, btnCancel);
    LayOutPagesAndButtons(PageControl1, btnOK, btnCancel);

    SaveDialog1 = MakeFileDialog(this, "SaveDialog1", "Log File", true,
                                 {"Text File (*.txt)", "Any File (*.*)"}, "txt", false);

    connect(btnOK, &QPushButton::clicked, this, &TfrmSettings_General::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
    connect(btnSelectMailbox, &QPushButton::clicked, this, &TfrmSettings_General::btnSelectMailboxClick);
    connect(btnSelectQueue, &QPushButton::clicked, this, &TfrmSettings_General::btnSelectQueueClick);
    connect(btnSelectLogFile, &QPushButton::clicked, this, &TfrmSettings_General::btnSelectLogFileClick);
    for (QLineEdit* e : {txtMailboxPath, txtQueuePath, txtLogFile}) e->installEventFilter(this);

    FormCreate();
}

void TfrmSettings_General::FormCreate() {
    lstDNSServerAddress->clear();
    std::vector<std::string> servers;
    GetSystemDNSServers(servers);
    for (const std::string& s : servers) lstDNSServerAddress->addItem(ToQ(s));
}

bool TfrmSettings_General::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == txtMailboxPath) btnSelectMailboxClick();
        if (watched == txtQueuePath) btnSelectQueueClick();
        if (watched == txtLogFile) btnSelectLogFileClick();
        if (watched == txtMailboxPath || watched == txtQueuePath || watched == txtLogFile) return true;
    }
    return TModalForm::eventFilter(watched, event);
}

void TfrmSettings_General::FormShow() {
    PageControl1->setCurrentWidget(tsGeneral);
    if (!ServerInformation) return;
    const TServerInformation& si = *ServerInformation;
    txtServerName->setText(ToQ(si.ServerName));
    txtMailboxPath->setText(ToQ(si.MailBoxPath));
    txtQueuePath->setText(ToQ(si.QueuePath));
    lstDNSServerAddress->setEditText(ToQ(si.DNSServerAddress));
    speDNSTimeout->SetValue(si.DNSServerTimeout);
    cbxStartMinimized->setChecked(si.StartMinimized);
    cbxAutoStart_SmtpServer->setChecked(si.AutoStartSmtpServer);
    cbxAutoStart_SmtpAgent->setChecked(si.AutoStartSmtpAgent);
    cbxAutoStart_Pop3Server->setChecked(si.AutoStartPop3Server);
    cbxStartProcessQueue->setChecked(si.ProcessQueueOnStart);
    txtLogFile->setText(ToQ(si.LogFile));
    lstLogLevel->setCurrentIndex(si.LogLevel >= 0 && si.LogLevel < lstLogLevel->count() ? si.LogLevel : -1);
    cbxSpyMessageContent->setChecked(si.LogMessageSpy);
    if (si.BannerLevel == 1)
        optBanner_NS->setChecked(true);
    else if (si.BannerLevel == 2)
        optBanner_S->setChecked(true);
    else
        optBanner_NVS->setChecked(true);
}

void TfrmSettings_General::btnOKClick() {
    if (ServerInformation) {
        TServerInformation& si = *ServerInformation;
        si.ServerName = FromQ(Trim(txtServerName->text()));
        si.StartMinimized = cbxStartMinimized->isChecked();
        si.AutoStartSmtpServer = cbxAutoStart_SmtpServer->isChecked();
        si.AutoStartSmtpAgent = cbxAutoStart_SmtpAgent->isChecked();
        si.AutoStartPop3Server = cbxAutoStart_Pop3Server->isChecked();
        si.ProcessQueueOnStart = cbxStartProcessQueue->isChecked();
        // The mailing lists always live in the mailbox folder.
        std::string mailbox = FromQ(Trim(txtMailboxPath->text()));
        si.SetMailBoxPath(mailbox);
        si.SetMailingListPath(mailbox);
        si.SetQueuePath(FromQ(Trim(txtQueuePath->text())));
        si.DNSServerAddress.clear();
        std::string dns = FromQ(Trim(lstDNSServerAddress->currentText()));
        if (IsIPAddress(dns))
            si.DNSServerAddress = dns;
        else
            ShowMessage("DNS Server Address Invalid", this);
        si.DNSServerTimeout = speDNSTimeout->Value();
        si.LogFile = FromQ(Trim(txtLogFile->text()));
        si.LogLevel = lstLogLevel->currentIndex();
        si.LogMessageSpy = cbxSpyMessageContent->isChecked();
        si.BannerLevel = 0;
        if (optBanner_NVS->isChecked()) si.BannerLevel = 0;
        if (optBanner_NS->isChecked()) si.BannerLevel = 1;
        if (optBanner_S->isChecked()) si.BannerLevel = 2;
    }
    done(mrOk);
}

void TfrmSettings_General::btnSelectMailboxClick() {
    QString folder = BrowseForFolder(this, Trim(txtMailboxPath->text()));
    if (!folder.isEmpty()) txtMailboxPath->setText(folder);
}

void TfrmSettings_General::btnSelectQueueClick() {
    QString folder = BrowseForFolder(this, Trim(txtQueuePath->text()));
    if (!folder.isEmpty()) txtQueuePath->setText(folder);
}

void TfrmSettings_General::btnSelectLogFileClick() {
    QString file = RunFileDialog(SaveDialog1);
    if (!file.isEmpty()) txtLogFile->setText(file);
}
