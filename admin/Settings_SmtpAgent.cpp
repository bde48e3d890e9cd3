#include "Settings_SmtpAgent.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "DataU1.h"

TfrmSettings_SmtpAgent* frmSettings_SmtpAgent = nullptr;

TfrmSettings_SmtpAgent::TfrmSettings_SmtpAgent(QWidget* parent) : TModalForm(parent) {
    setObjectName("frmSettings_SmtpAgent");
    setWindowTitle("SMTP Agent Settings");

    auto label = [](QWidget* owner, const char* name, const char* text) {
        auto* l = new QLabel(text, owner);
        l->setObjectName(name);
        return l;
    };
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");

    tsQueue = new QWidget(PageControl1);
    tsQueue->setObjectName("tsQueue");
    PageControl1->addTab(tsQueue, "Queue");
    speInterval = new TSpinEdit(1, 60, tsQueue);
    speInterval->setObjectName("speInterval");
    cbxBypassQueue = new QCheckBox("Bypass Queue", tsQueue);
    cbxBypassQueue->setObjectName("cbxBypassQueue");
    cbxBypassQueue->setToolTip("Fire Queue when mail needs service");
    cbxForwardToMasterSMTPServer = new QCheckBox("Forward to Master SMTP Server", tsQueue);
    cbxForwardToMasterSMTPServer->setObjectName("cbxForwardToMasterSMTPServer");
    txtMasterSMTPServer = new QLineEdit(tsQueue);
    txtMasterSMTPServer->setObjectName("txtMasterSMTPServer");
    speInactivityTimeout = new TSpinEdit(0, 120, tsQueue);
    speInactivityTimeout->setObjectName("speInactivityTimeout");
    lblConnectionInactivityTimeout =
        label(tsQueue, "lblConnectionInactivityTimeout", "Connection Inactivity Timeout (in minutes)");
    {
        auto* g = new QGridLayout(tsQueue);
        g->addWidget(label(tsQueue, "Label1", "Queue Polling Interval (in Minutes)"), 0, 0);
        auto* interval = new QHBoxLayout;
        interval->addWidget(speInterval);
        interval->addWidget(label(tsQueue, "Label2", "(Restart Agent to implement change)"));
        interval->addStretch();
        g->addLayout(interval, 0, 1);
        g->addWidget(cbxBypassQueue, 1, 0, 1, 2);
        g->addWidget(cbxForwardToMasterSMTPServer, 2, 0, 1, 2);
        g->addWidget(txtMasterSMTPServer, 3, 0, 1, 2);
        auto* warning = label(tsQueue, "Label3", "Warning: If you create a mail loop, you must un-check this option!");
        warning->setWordWrap(true);
        g->addWidget(warning, 4, 0, 1, 2);
        g->addWidget(lblConnectionInactivityTimeout, 5, 0);
        auto* idle = new QHBoxLayout;
        idle->addWidget(speInactivityTimeout);
        idle->addStretch();
        g->addLayout(idle, 5, 1);
        g->setRowStretch(6, 1);
    }

    tsRetry = new QWidget(PageControl1);
    tsRetry->setObjectName("tsRetry");
    PageControl1->addTab(tsRetry, "Retry");
    speRetry = new TSpinEdit(0, 7200, tsRetry);
    speRetry->setObjectName("speRetry");
    {
        auto* g = new QGridLayout(tsRetry);
        g->addWidget(label(tsRetry, "Label4", "Retries to Send Mail"), 0, 0);
        g->addWidget(speRetry, 0, 1);
        g->setColumnStretch(2, 1);
        g->setRowStretch(1, 1);
    }

    MakeOkCancel(btnOK, btnCancel);
    LayOutPagesAndButtons(PageControl1, btnOK, btnCancel);

    connect(btnOK, &QPushButton::clicked, this, &TfrmSettings_SmtpAgent::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
}

void TfrmSettings_SmtpAgent::FormShow() {
    PageControl1->setCurrentWidget(tsQueue);
    if (!ServerInformation) return;
    const TServerInformation& si = *ServerInformation;
    // Whole minutes, the remainder dropped; the field keeps it within 1..60.
    speInterval->SetValue(si.PollingInterval / 60);
    cbxBypassQueue->setChecked(si.FireQueueImmediately);
    cbxForwardToMasterSMTPServer->setChecked(si.ForwardToMasterSmtpServer);
    txtMasterSMTPServer->setText(ToQ(si.MasterSmtpServer));
    speInactivityTimeout->SetValue(si.AgentInactivityTimeout);
    speRetry->SetValue(si.ForwardRetries);
}

void TfrmSettings_SmtpAgent::btnOKClick() {
    if (ServerInformation) {
        TServerInformation& si = *ServerInformation;
        si.SetPollingInterval(speInterval->Value() * 60);
        si.ForwardRetries = speRetry->Value();
        si.FireQueueImmediately = cbxBypassQueue->isChecked();
        si.ForwardToMasterSmtpServer = cbxForwardToMasterSMTPServer->isChecked();
        si.MasterSmtpServer = FromQ(txtMasterSMTPServer->text());
        si.AgentInactivityTimeout = speInactivityTimeout->Value();
    }
    done(mrOk);
}
