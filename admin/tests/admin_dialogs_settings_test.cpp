// The five settings dialogs, as real forms under the offscreen platform:
// what each loads at its opening, what OK stores in the settings object and
// what Cancel leaves alone, the spin edits' clamping, the listening address
// choice, the editable domain lists and the DNS address check.
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRadioButton>
#include <QTabWidget>
#include <filesystem>

#include "DialogTestSupport.h"
#include "UtilU1.h"
#include "WSocket.h"

using namespace dialogtest;

namespace {

void LoseFocus(QWidget* w) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(w, &out);
}

class SettingsTest : public DialogTest {};

}  // namespace

// --- spin edit ------------------------------------------------------------------

TEST(SpinEdit, ValueIsTheNumberInTheFieldKeptInRange) {
    TSpinEdit s(5, 60);
    struct Case {
        const char* text;
        int value;      // read while the field still has the focus
        QString after;  // the text once the focus has gone
    } cases[] = {
        {"17", 17, "17"}, {"99", 60, "60"}, {"2", 5, "5"}, {"", 5, "5"}, {"abc", 5, "5"}, {" 30", 30, "30"},
        {"-4", 5, "5"},   {"$10", 16, "16"},
    };
    for (const Case& c : cases) {
        s.SetText(c.text);
        EXPECT_EQ(s.Value(), c.value) << c.text;
        LoseFocus(&s);
        EXPECT_EQ(s.Text(), c.after) << c.text;
    }
    s.SetValue(1000);
    EXPECT_EQ(s.Text(), "60");
    s.SetValue(0);
    EXPECT_EQ(s.Text(), "5");
    s.SetValue(59);
    s.stepBy(3);
    EXPECT_EQ(s.Value(), 60) << "the arrows stop at the bound";
}

// --- general settings -------------------------------------------------------------

TEST_F(SettingsTest, GeneralLoadsEverySettingAndOkStoresThemTrimmed) {
    si().ServerName = "old.example.com";
    si().StartMinimized = true;
    si().AutoStartSmtpAgent = false;
    si().LogLevel = 4;
    si().LogMessageSpy = true;
    si().BannerLevel = 2;
    si().DNSServerTimeout = 30;
    si().DNSServerAddress = "192.0.2.53";
    TfrmSettings_General* f = frmSettings_General;
    f->PageControl1->setCurrentWidget(f->tsLog);
    MessageBoxes boxes;
    WhenShown script("frmSettings_General", [&](QWidget*) {
        EXPECT_EQ(f->PageControl1->currentWidget(), f->tsGeneral);
        EXPECT_EQ(f->txtServerName->text(), "old.example.com");
        EXPECT_EQ(f->lstDNSServerAddress->currentText(), "192.0.2.53");
        EXPECT_EQ(f->speDNSTimeout->Value(), 30);
        EXPECT_TRUE(f->cbxStartMinimized->isChecked());
        EXPECT_FALSE(f->cbxAutoStart_SmtpAgent->isChecked());
        EXPECT_TRUE(f->cbxAutoStart_SmtpServer->isChecked());
        EXPECT_EQ(f->lstLogLevel->currentIndex(), 4);
        EXPECT_EQ(f->lstLogLevel->currentText(), "and Connection Events");
        EXPECT_TRUE(f->optBanner_S->isChecked());
        Screenshot(f, "Settings_General");

        f->txtServerName->setText("  mail.example.org \t");
        f->lstDNSServerAddress->setEditText("192.0.2.1 ");
        f->txtMailboxPath->setText(" " + QString::fromStdString(home.path()) + "boxes ");
        f->txtQueuePath->setText(QString::fromStdString(home.path()) + "queue/");
        f->txtLogFile->setText(" /tmp/tavrin.log ");
        f->speDNSTimeout->SetText("99");
        f->lstLogLevel->setCurrentIndex(8);
        f->cbxAutoStart_SmtpAgent->setChecked(true);
        f->cbxStartProcessQueue->setChecked(true);
        f->optBanner_NS->setChecked(true);
        f->btnOK->click();
    });
    EXPECT_EQ(f->exec(), mrOk);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.last().toStdString();
    EXPECT_EQ(si().ServerName, "mail.example.org");
    EXPECT_EQ(si().DNSServerAddress, "192.0.2.1");
    EXPECT_EQ(si().DNSServerTimeout, 60);
    EXPECT_EQ(si().MailBoxPath, home.path() + "boxes/");
    EXPECT_EQ(si().MailingListPath, home.path() + "boxes/") << "the lists live in the mailbox folder";
    EXPECT_TRUE(std::filesystem::is_directory(home.path() + "boxes"));
    EXPECT_EQ(si().QueuePath, home.path() + "queue/");
    EXPECT_EQ(si().LogFile, "/tmp/tavrin.log");
    EXPECT_EQ(si().LogLevel, 8);
    EXPECT_TRUE(si().AutoStartSmtpAgent);
    EXPECT_TRUE(si().ProcessQueueOnStart);
    EXPECT_TRUE(si().StartMinimized);
    EXPECT_TRUE(si().LogMessageSpy);
    EXPECT_EQ(si().BannerLevel, 1);
}

TEST_F(SettingsTest, GeneralFillsTheDnsListFromTheSystemOnce) {
    std::vector<std::string> servers;
    GetSystemDNSServers(servers);
    EXPECT_EQ(Items(frmSettings_General->lstDNSServerAddress), ToQ(servers));
}

TEST_F(SettingsTest, GeneralRefusesAnInvalidDnsAddressButStoresTheRestAndCloses) {
    for (const char* typed : {"", "   ", "dns.example.com", "192.0.2", "192.0.2.256"}) {
        si().DNSServerAddress = "192.0.2.9";
        MessageBoxes boxes;
        WhenShown script("frmSettings_General", [&](QWidget*) {
            frmSettings_General->lstDNSServerAddress->setEditText(typed);
            frmSettings_General->txtServerName->setText("after.example.com");
            frmSettings_General->btnOK->click();
        });
        EXPECT_EQ(frmSettings_General->exec(), mrOk) << typed;
        EXPECT_EQ(boxes.texts, QStringList{"DNS Server Address Invalid"}) << typed;
        EXPECT_EQ(si().DNSServerAddress, "") << typed;
        EXPECT_EQ(si().ServerName, "after.example.com");
    }
}

TEST_F(SettingsTest, GeneralBannerAndLogLevelOutsideTheirChoices) {
    si().BannerLevel = 5;
    si().LogLevel = 12;
    WhenShown script("frmSettings_General", [&](QWidget*) {
        EXPECT_TRUE(frmSettings_General->optBanner_NVS->isChecked());
        EXPECT_EQ(frmSettings_General->lstLogLevel->currentIndex(), -1);
        frmSettings_General->lstDNSServerAddress->setEditText("192.0.2.1");
        frmSettings_General->btnOK->click();
    });
    EXPECT_EQ(frmSettings_General->exec(), mrOk);
    EXPECT_EQ(si().BannerLevel, 0);
    EXPECT_EQ(si().LogLevel, -1) << "no selection stores -1, which logs nothing";
}

TEST_F(SettingsTest, GeneralCancelLeavesTheSettingsAloneAfterTheBrowsersChangedTheFields) {
    const std::string before = settingsText();
    std::filesystem::create_directories(tmp.path() + "chosen");
    FileDialogs folders("FolderBrowser");
    folders.answers = {QString::fromStdString(tmp.path() + "chosen"), std::nullopt};
    FileDialogs logs("SaveDialog1");
    logs.answers = {QString::fromStdString(tmp.path() + "server.log")};
    TfrmSettings_General* f = frmSettings_General;
    QString mailbox, queue, log;
    WhenShown script("frmSettings_General", [&](QWidget*) {
        const QString queueBefore = f->txtQueuePath->text();
        f->btnSelectMailbox->click();
        f->btnSelectQueue->click();  // cancelled: nothing changes
        f->btnSelectLogFile->click();
        mailbox = f->txtMailboxPath->text();
        queue = f->txtQueuePath->text();
        EXPECT_EQ(queue, queueBefore);
        log = f->txtLogFile->text();
        f->txtServerName->setText("typed.example.com");
        f->btnCancel->click();
    });
    EXPECT_EQ(f->exec(), mrCancel);
    EXPECT_EQ(folders.titles, (QStringList{"Please specify a directory", "Please specify a directory"}));
    EXPECT_EQ(logs.titles, QStringList{"Log File"});
    EXPECT_EQ(logs.filters, QStringList{"Text File (*.txt);;Any File (*.*)"});
    EXPECT_EQ(mailbox, QString::fromStdString(tmp.path() + "chosen"));
    EXPECT_EQ(log, QString::fromStdString(tmp.path() + "server.log"));
    EXPECT_EQ(settingsText(), before);
}

TEST_F(SettingsTest, GeneralDoubleClickOnAFolderFieldBrowses) {
    FileDialogs folders("FolderBrowser");
    WhenShown script("frmSettings_General", [&](QWidget*) {
        QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
        QApplication::sendEvent(frmSettings_General->txtQueuePath, &dbl);
        frmSettings_General->btnCancel->click();
    });
    frmSettings_General->exec();
    EXPECT_EQ(folders.titles.size(), 1);
}

// --- SMTP server ------------------------------------------------------------------

TEST_F(SettingsTest, SmtpServerKeepsAnAddressTheMachineLacksAndAnyStoresAllZeros) {
    std::vector<std::string> local;
    try {
        local = WSocketLocalAddresses();
    } catch (...) {
    }
    si().SmtpBindAddress = "203.0.113.77";  // not this machine's
    TfrmSettings_SmtpServer* f = frmSettings_SmtpServer;
    WhenShown script("frmSettings_SmtpServer", [&](QWidget*) {
        QStringList expected{"*** Any ***"};
        expected << ToQ(local) << "203.0.113.77";
        EXPECT_EQ(Items(f->lstAddress), expected);
        EXPECT_EQ(f->lstAddress->currentText(), "203.0.113.77");
        Screenshot(f, "Settings_SmtpServer");
        f->btnOK->click();
    });
    EXPECT_EQ(f->exec(), mrOk);
    EXPECT_EQ(si().SmtpBindAddress, "203.0.113.77") << "OK never widens the address";
    WhenShown any("frmSettings_SmtpServer", [&](QWidget*) {
        f->lstAddress->setCurrentIndex(0);
        f->btnOK->click();
    });
    EXPECT_EQ(f->exec(), mrOk);
    EXPECT_EQ(si().SmtpBindAddress, "0.0.0.0");

    if (local.empty()) GTEST_SKIP() << "this machine reports no IPv4 address";
    si().SmtpBindAddress = local.back();
    WhenShown again("frmSettings_SmtpServer", [&](QWidget*) {
        EXPECT_EQ(f->lstAddress->currentText(), QString::fromStdString(local.back()));
        f->btnOK->click();
    });
    f->exec();
    EXPECT_EQ(si().SmtpBindAddress, local.back());
}

TEST_F(SettingsTest, SmtpServerDomainListsIgnoreDuplicatesAndKeepTheTypedCase) {
    si().LocalDomains = {"example.com"};
    si().AcceptedDomains = {};
    InputBoxes input;
    input.answers = {QString("  Example.COM "), QString(" Lists.Example.com  "), QString(""), std::nullopt,
                     QString("192.168.*"), QString("192.168.*")};
    TfrmSettings_SmtpServer* f = frmSettings_SmtpServer;
    WhenShown script("frmSettings_SmtpServer", [&](QWidget*) {
        for (int i = 0; i < 4; ++i) f->puDomainsAdd->trigger();
        f->pu_AcceptedDomains_Add->trigger();
        f->pu_AcceptedDomains_Add->trigger();
        EXPECT_EQ(Items(f->lstDomains), (QStringList{"example.com", "Lists.Example.com"}));
        EXPECT_EQ(Items(f->lstAcceptedDomains), QStringList{"192.168.*"});
        f->btnOK->click();
    });
    EXPECT_EQ(f->exec(), mrOk);
    EXPECT_EQ(input.captions, (QStringList{"Add Local Domain", "Add Local Domain", "Add Local Domain",
                                           "Add Local Domain", "Add Accepted Domain", "Add Accepted Domain"}));
    EXPECT_EQ(input.prompts.first(), "Domain");
    EXPECT_EQ(input.defaults.first(), "");
    EXPECT_EQ(si().LocalDomains, (std::vector<std::string>{"example.com", "Lists.Example.com"}));
    EXPECT_EQ(si().AcceptedDomains, std::vector<std::string>{"192.168.*"});
}

TEST_F(SettingsTest, SmtpServerDeletesTheSelectedEntriesAndEnablesDeleteOnlyWithASelection) {
    si().LocalDomains = {"a.example", "b.example", "c.example", "d.example"};
    TfrmSettings_SmtpServer* f = frmSettings_SmtpServer;
    WhenShown script("frmSettings_SmtpServer", [&](QWidget*) {
        f->popupDomainsPopup();
        EXPECT_FALSE(f->puDomainsDelete->isEnabled());
        EXPECT_TRUE(f->puDomainsAdd->isEnabled());
        SelectRows(f->lstDomains, {"a.example", "c.example", "d.example"});
        f->popupDomainsPopup();
        EXPECT_TRUE(f->puDomainsDelete->isEnabled());
        f->puDomainsDelete->trigger();
        EXPECT_EQ(Items(f->lstDomains), QStringList{"b.example"});
        f->btnOK->click();
    });
    f->exec();
    EXPECT_EQ(si().LocalDomains, std::vector<std::string>{"b.example"});
}

TEST_F(SettingsTest, SmtpServerRelayNotesFollowTheBoxAndOkStoresPortTimeoutAndSwitch) {
    si().Restrict = true;
    si().SmtpListenPort = 2525;
    si().SmtpInactivityTimeout = 7;
    TfrmSettings_SmtpServer* f = frmSettings_SmtpServer;
    WhenShown script("frmSettings_SmtpServer", [&](QWidget*) {
        EXPECT_FALSE(f->lblNoRelayOn->isHidden());
        EXPECT_TRUE(f->lblNoRelayOff->isHidden());
        EXPECT_EQ(f->spePort->Value(), 2525);
        EXPECT_EQ(f->speInactivityTimeout->Value(), 7);
        f->cbxRestrictAccess->click();
        EXPECT_TRUE(f->lblNoRelayOn->isHidden());
        EXPECT_FALSE(f->lblNoRelayOff->isHidden());
        f->PageControl1->setCurrentWidget(f->tsAccess2);
        Screenshot(f, "Settings_SmtpServer_Access");
        f->spePort->SetText("70000");
        f->speInactivityTimeout->SetText("-3");
        f->btnOK->click();
    });
    f->exec();
    EXPECT_FALSE(si().Restrict);
    EXPECT_EQ(si().SmtpListenPort, 65535);
    EXPECT_EQ(si().SmtpInactivityTimeout, 0);
}

TEST_F(SettingsTest, AccessControlValuesAreInForceAfterItsOkEvenWhenTheSmtpDialogIsCancelled) {
    si().ToMaximum = 0;
    si().BannedDomains = {"spam.example"};
    si().SaveToIniFile();
    const std::string file = testsupport::readFile(si().IniFileName());
    InputBoxes input;
    input.answers = {QString("SPAM.example"), QString(" junk.example "), QString("Eve"), QString("eve@bad.example")};
    TfrmSettings_SmtpServerAccessControl* a = frmSettings_SmtpServerAccessControl;
    WhenShown access("frmSettings_SmtpServerAccessControl", [&](QWidget*) {
        EXPECT_EQ(a->speRejectToCount->Text(), "1") << "a stored 0 shows the minimum";
        EXPECT_EQ(Items(a->lstBannedDomains), QStringList{"spam.example"});
        a->pu_BannedDomains_Add->trigger();
        a->pu_BannedDomains_Add->trigger();
        a->pu_BannedMailboxes_Add->trigger();
        a->pu_BannedAddresses_Add->trigger();
        a->cbxBannedDomains->setChecked(true);
        a->cbxBannedAddresses->setChecked(true);
        a->cbxRejectToCount->setChecked(true);
        Screenshot(a, "Settings_SmtpServerAccessControl");
        a->btnOK->click();
    });
    WhenShown smtp("frmSettings_SmtpServer", [&](QWidget*) {
        frmSettings_SmtpServer->btnBanning->click();
        frmSettings_SmtpServer->btnCancel->click();
    });
    EXPECT_EQ(frmSettings_SmtpServer->exec(), mrCancel);
    EXPECT_EQ(access.count(), 1);
    EXPECT_EQ(input.captions,
              (QStringList{"Add Banned Domain", "Add Banned Domain", "Add Banned Mailbox", "Add Banned Address"}));
    EXPECT_EQ(input.prompts, (QStringList{"Domain", "Domain", "Mailbox", "Address"}));
    EXPECT_EQ(si().BannedDomains, (std::vector<std::string>{"spam.example", "junk.example"}));
    EXPECT_EQ(si().BannedMailboxes, std::vector<std::string>{"Eve"});
    EXPECT_EQ(si().BannedAddresses, std::vector<std::string>{"eve@bad.example"});
    EXPECT_TRUE(si().BanDomains);
    EXPECT_FALSE(si().BanMailboxes);
    EXPECT_TRUE(si().BanAddresses);
    EXPECT_TRUE(si().ApplyToMaximum);
    EXPECT_EQ(si().ToMaximum, 1);
    EXPECT_TRUE(si().IsBannedDomain("junk.example")) << "in force for the SMTP server at once";
    EXPECT_EQ(testsupport::readFile(si().IniFileName()), file) << "not yet in the settings file";
}

TEST_F(SettingsTest, AccessControlCancelChangesNothing) {
    const std::string before = settingsText();
    InputBoxes input;
    input.answers = {QString("x.example")};
    WhenShown script("frmSettings_SmtpServerAccessControl", [&](QWidget*) {
        frmSettings_SmtpServerAccessControl->pu_BannedDomains_Add->trigger();
        frmSettings_SmtpServerAccessControl->cbxBannedMailboxes->setChecked(true);
        frmSettings_SmtpServerAccessControl->btnCancel->click();
    });
    EXPECT_EQ(frmSettings_SmtpServerAccessControl->exec(), mrCancel);
    EXPECT_EQ(settingsText(), before);
}

// --- SMTP agent -------------------------------------------------------------------

TEST_F(SettingsTest, AgentShowsThePollingIntervalInWholeMinutes) {
    struct Case {
        int stored, shown, saved;
    } cases[] = {{300, 5, 300}, {90, 1, 60}, {30, 1, 60}, {59, 1, 60}, {3600, 60, 3600}, {7200, 60, 3600}};
    TfrmSettings_SmtpAgent* f = frmSettings_SmtpAgent;
    for (const Case& c : cases) {
        si().PollingInterval = c.stored;
        WhenShown script("frmSettings_SmtpAgent", [&](QWidget*) {
            EXPECT_EQ(f->speInterval->Text(), QString::number(c.shown)) << c.stored;
            f->btnOK->click();
        });
        EXPECT_EQ(f->exec(), mrOk);
        EXPECT_EQ(si().PollingInterval, c.saved) << c.stored;
    }
}

TEST_F(SettingsTest, AgentStoresItsValuesAndTheMasterServerAsTyped) {
    si().ForwardRetries = 5;
    si().AgentInactivityTimeout = 15;
    TfrmSettings_SmtpAgent* f = frmSettings_SmtpAgent;
    f->PageControl1->setCurrentWidget(f->tsRetry);
    WhenShown script("frmSettings_SmtpAgent", [&](QWidget*) {
        EXPECT_EQ(f->PageControl1->currentWidget(), f->tsQueue);
        EXPECT_EQ(f->speRetry->Value(), 5);
        Screenshot(f, "Settings_SmtpAgent");
        f->txtMasterSMTPServer->setText(" 192.0.2.25 ");
        f->cbxForwardToMasterSMTPServer->setChecked(true);
        f->cbxBypassQueue->setChecked(true);
        f->speRetry->SetText("9000");
        f->speInactivityTimeout->SetText("45");
        f->btnOK->click();
    });
    f->exec();
    EXPECT_EQ(si().MasterSmtpServer, " 192.0.2.25 ");
    EXPECT_TRUE(si().ForwardToMasterSmtpServer);
    EXPECT_TRUE(si().FireQueueImmediately);
    EXPECT_EQ(si().ForwardRetries, 7200);
    EXPECT_EQ(si().AgentInactivityTimeout, 45);
}

TEST_F(SettingsTest, AgentAndPop3CancelLeaveTheSettingsUnchanged) {
    si().PollingInterval = 90;
    const std::string before = settingsText();
    WhenShown agent("frmSettings_SmtpAgent", [&](QWidget*) {
        frmSettings_SmtpAgent->speInterval->SetText("30");
        frmSettings_SmtpAgent->txtMasterSMTPServer->setText("x");
        frmSettings_SmtpAgent->btnCancel->click();
    });
    EXPECT_EQ(frmSettings_SmtpAgent->exec(), mrCancel);
    WhenShown pop3("frmSettings_Pop3Server", [&](QWidget*) {
        frmSettings_Pop3Server->spePort->SetText("1110");
        frmSettings_Pop3Server->cbxCreateUser->setChecked(true);
        frmSettings_Pop3Server->reject();  // Escape or the close box
    });
    EXPECT_EQ(frmSettings_Pop3Server->exec(), mrCancel);
    EXPECT_EQ(settingsText(), before);
}

// --- POP3 server ------------------------------------------------------------------

TEST_F(SettingsTest, Pop3UnknownBindAddressIsKeptAndOkStoresEverything) {
    si().Pop3BindAddress = "203.0.113.77";
    si().Pop3ListenPort = 110;
    si().CreateUserPasswordOnDemand = true;
    TfrmSettings_Pop3Server* f = frmSettings_Pop3Server;
    WhenShown script("frmSettings_Pop3Server", [&](QWidget*) {
        EXPECT_EQ(f->lstAddress->currentText(), "203.0.113.77");
        EXPECT_EQ(f->spePort->Value(), 110);
        EXPECT_TRUE(f->cbxCreatePassword->isChecked());
        Screenshot(f, "Settings_Pop3Server");
        f->spePort->SetText("0");
        f->cbxCreateUser->setChecked(true);
        f->speInactivityTimeout->SetText("500");
        f->btnOK->click();
    });
    EXPECT_EQ(f->exec(), mrOk);
    EXPECT_EQ(si().Pop3BindAddress, "203.0.113.77");
    EXPECT_EQ(si().Pop3ListenPort, 1);
    EXPECT_TRUE(si().CreateUserOnDemand);
    EXPECT_TRUE(si().CreateUserPasswordOnDemand);
    EXPECT_EQ(si().Pop3InactivityTimeout, 120);
}

TEST_F(SettingsTest, SmtpServerKeepsOneSizeAcrossItsPagesAndTheRelayBox) {
    TfrmSettings_SmtpServer* f = frmSettings_SmtpServer;
    QStringList sizes;
    auto measure = [&] {
        QCoreApplication::processEvents();
        sizes << QString("%1x%2").arg(f->width()).arg(f->height());
    };
    WhenShown script("frmSettings_SmtpServer", [&](QWidget*) {
        measure();
        f->PageControl1->setCurrentWidget(f->tsAccess2);
        measure();
        f->cbxRestrictAccess->click();
        measure();
        f->cbxRestrictAccess->click();
        measure();
        f->PageControl1->setCurrentWidget(f->tsGeneral);
        measure();
        f->btnCancel->click();
    });
    for (bool restrict : {false, true}) {
        si().Restrict = restrict;
        f->exec();
    }
    ASSERT_EQ(sizes.size(), 10);
    EXPECT_EQ(sizes.join(' ').toStdString(), QStringList(10, sizes.front()).join(' ').toStdString());
}
