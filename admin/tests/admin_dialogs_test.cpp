// The small windows: close question, first-start checklist, About box,
// licence viewer and splash, driven by objectName under the offscreen
// platform.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QTextEdit>
#include <QFontMetrics>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "About.h"
#include "CloseQuery.h"
#include "FirstTime.h"
#include "Forms.h"
#include "GuiSupport.h"
#include "License.h"
#include "LicenseText.h"
#include "Main.h"
#include "Maker.h"
#include "Settings_Controls.h"
#include "Splash.h"
#include "Widgets.h"
#include "support/TestSupport.h"

using guitest::ModalHandler;
using guitest::waitFor;
using testsupport::ScopedDataHome;
using testsupport::TempDir;

namespace {

// The desktop opener cannot be found while this lives.
class NoOpener {
public:
    NoOpener() {
        old_ = getenv("PATH") ? getenv("PATH") : "";
        setenv("PATH", empty_.path().c_str(), 1);
    }
    ~NoOpener() { setenv("PATH", old_.c_str(), 1); }

private:
    TempDir empty_;
    std::string old_;
};

// Runs `click` and returns the text of the message box it shows (closed).
QString messageOf(const std::function<void()>& click) {
    QString text;
    ModalHandler h("ShowMessage", [&](QWidget* w) {
        text = static_cast<QMessageBox*>(w)->text();
        EXPECT_EQ(w->windowTitle(), "Tavrin SMTP/POP3 Server");
        static_cast<QMessageBox*>(w)->accept();
    });
    click();
    return text;
}

}  // namespace

// --- close question ---------------------------------------------------------------

TEST(CloseQuery, TextsButtonsAndNoCloseBox) {
    TfrmCloseQuery q;
    EXPECT_EQ(q.windowTitle(), "Closing Tavrin SMTP/POP3 Server");
    EXPECT_FALSE(q.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(q.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_EQ(q.Label4->text(), "Warning...");
    EXPECT_EQ(q.Label1->text(), "If you close this application you will no longer be able to");
    EXPECT_EQ(q.Label2->text(), "receive and relay internet mail with this computer.");
    EXPECT_EQ(q.Label3->text(), "Are you sure you want to close Tavrin?");
    EXPECT_TRUE(q.Label5->text().startsWith("Note: If you did not start this program, you probably"));
    EXPECT_TRUE(q.Label5->wordWrap());
    EXPECT_EQ(q.btnYes->text(), "Yes");
    EXPECT_EQ(q.btnCancel->text(), "No, &Cancel");
    EXPECT_EQ(q.btnMinimize->text(), "&Minimize");
    EXPECT_TRUE(q.btnMinimize->isDefault());

    struct Case {
        QPushButton* button;
        int result;
    };
    for (Case c : {Case{q.btnYes, 6}, Case{q.btnCancel, 7}, Case{q.btnMinimize, 5}}) {
        ModalHandler h("frmCloseQuery", [&](QWidget*) { c.button->click(); });
        EXPECT_EQ(q.exec(), c.result) << c.button->objectName().toStdString();
    }
    // Enter where the focus is put at showing: "&Minimize".
    ModalHandler h("frmCloseQuery", [&](QWidget*) {
        EXPECT_EQ(q.focusWidget(), q.btnMinimize);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(q.focusWidget(), &press);
    });
    EXPECT_EQ(q.exec(), 5);
}

// --- first-start window ---------------------------------------------------------------

TEST(FirstTime, TextsAndTheGeneralSettingsLink) {
    QWidget owner;
    QPointer<TfrmFirstTime> f = new TfrmFirstTime(&owner);
    EXPECT_EQ(f->windowTitle(), "Tavrin First Timer Information");
    EXPECT_TRUE(f->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(f->Label3->text(), "1) Enter a Server Name.");
    EXPECT_EQ(f->Label4->text(), "2) Enter a DNS Server address to use for mail delivery purposes.");
    EXPECT_TRUE(f->Label7->text().startsWith("You can open the \"General Settings\" dialog"));
    EXPECT_EQ(f->lblGeneralSettings->text(), "General Settings");
    EXPECT_TRUE(f->lblGeneralSettings->font().underline());
    EXPECT_EQ(f->lblGeneralSettings->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(f->btnClose->text(), "Close");
    f->show();
    f->lblGeneralSettings->click();  // no general settings command yet: it only closes
    ASSERT_TRUE(waitFor([&] { return f.isNull(); }));
}

TEST(FirstTime, LinkRunsTheMainWindowsGeneralSettingsCommand) {
    ScopedDataHome home;
    guitest::writeSettings(guitest::settingsText(testsupport::freePort(), testsupport::freePort(),
                                                 "AutoStart Smtp Server=0\r\nAutoStart Pop3 Server=0\r\n"));
    guitest::ProgramForms forms;
    int ran = 0;
    auto* general = new QAction("general", frmMain);
    general->setObjectName("mnuSGeneral");
    QObject::connect(general, &QAction::triggered, [&] { ++ran; });
    QPointer<TfrmFirstTime> f = new TfrmFirstTime(frmMain);
    f->show();
    f->lblGeneralSettings->click();
    EXPECT_EQ(ran, 1);
    ASSERT_TRUE(waitFor([&] { return f.isNull(); })) << "then the window closes and frees itself";
}

// --- About box --------------------------------------------------------------------------

TEST(About, ShowingFillsVersionAndWebSite) {
    TfrmAbout a;
    EXPECT_EQ(a.windowTitle(), "About");
    a.show();
    EXPECT_EQ(a.lblVersion->text(), "Version: 1.4.0.0");
    EXPECT_EQ(a.lblWebSite->text(), MakerWebSite);
    EXPECT_EQ(a.lblTitle->text(), "Tavrin SMTP/POP3 E-Mail Server");
    EXPECT_TRUE(a.lblTitle->font().bold());
    EXPECT_EQ(a.lblLicense->text(), "Read License");
    EXPECT_EQ(a.imgTavrin->toolTip(), "Tavrin on the Web");
    EXPECT_TRUE(a.Memo1->isReadOnly());
    EXPECT_FALSE(a.Memo1->toPlainText().isEmpty());
    for (TClickLabel* l : {a.lblWebSite, a.lblLicense, a.lblEMail}) EXPECT_TRUE(l->font().underline());
}

TEST(About, OpenerFailuresSayWhatCouldNotBeOpened) {
    TfrmAbout a;
    a.show();
    NoOpener none;
    EXPECT_EQ(messageOf([&] { a.lblWebSite->click(); }), QString("Can't open web browser to ") + MakerWebSite);
    EXPECT_EQ(messageOf([&] { a.imgTavrin->click(); }), QString("Can't open web browser to ") + MakerWebSite);
    EXPECT_EQ(messageOf([&] { a.lblEMail->click(); }), QString("Can't open EMailer to ") + MakerMailLink);
    EXPECT_EQ(messageOf([&] { a.imgSource->click(); }), QString("Can't open web browser to ") + MakerSourceSite);
}

TEST(About, LicenseLinkShowsTheLicenceModally) {
    frmLicense = new TfrmLicense();
    TfrmAbout a;
    ModalHandler h("frmLicense", [](QWidget* w) { static_cast<TfrmLicense*>(w)->btnOK->click(); });
    a.lblLicense->click();
    EXPECT_EQ(h.count(), 1);
    delete frmLicense;
    frmLicense = nullptr;
}

TEST(MainHelp, OpenerFailuresOfTheHelpMenu) {
    ScopedDataHome home;
    guitest::writeSettings(guitest::settingsText(testsupport::freePort(), testsupport::freePort(),
                                                 "AutoStart Smtp Server=0\r\nAutoStart Pop3 Server=0\r\n"));
    guitest::ProgramForms forms;
    NoOpener none;
    EXPECT_EQ(messageOf([] { frmMain->mnuHManual->trigger(); }), "Can't open \"Tavrin.doc\"");
    EXPECT_EQ(messageOf([] { frmMain->mnuHHelpFile->trigger(); }), "Can't open \"Tavrin.hlp\"");
    EXPECT_EQ(messageOf([] { frmMain->mnuHWebSite->trigger(); }),
              QString("Can't open web browser to ") + MakerWebSite);
    EXPECT_EQ(messageOf([] { frmMain->mnuHEMailtheAuthor->trigger(); }),
              QString("Can't open EMailer to ") + MakerMailLink);
}

// --- licence viewer ------------------------------------------------------------------------

TEST(License, TextIsBuiltOnceInItsShape) {
    const auto& lines = LicenseLines();
    EXPECT_GE(lines.size(), 70u);
    EXPECT_NE(lines[0].find("Tavrin"), std::string::npos);
    // Paragraphs are separated by exactly one empty line; numbered items
    // begin "n) " and continue indented by three blanks.
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_FALSE(lines[i].empty() && lines[i - 1].empty()) << i;
    EXPECT_FALSE(lines.back().empty());
    int items = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.size() > 3 && l[0] >= '1' && l[0] <= '9' && l[1] == ')' && l[2] == ' ') ++items;
        if (!l.empty() && l[0] == ' ') {
            EXPECT_EQ(l.rfind("   ", 0), 0u) << l;
            EXPECT_NE(l[3], ' ') << l;
        }
    }
    EXPECT_EQ(items, 3 + 5 + 3 + 3);

    TfrmLicense f;
    EXPECT_EQ(f.windowTitle(), "License");
    EXPECT_EQ(f.reLicense->document()->blockCount(), static_cast<int>(lines.size()));
    EXPECT_EQ(f.reLicense->lineWrapMode(), QTextEdit::NoWrap);
    EXPECT_TRUE(f.reLicense->isReadOnly());
    EXPECT_EQ(f.btnPrint->text(), "Print");
    EXPECT_EQ(f.btnSave->text(), "Save");

    f.show();
    f.resize(200, 150);  // as small as a person may drag it
    QApplication::sendPostedEvents();
    EXPECT_FALSE(f.btnOK->geometry().intersects(f.btnSave->geometry())) << "OK clear of Save";
}

TEST(License, SaveWritesTheSameLinesAsPlainText) {
    TempDir tmp;
    TfrmLicense f;
    QString title, filter;
    ModalHandler h("SaveDialog1", [&](QWidget* w) {
        auto* d = qobject_cast<QFileDialog*>(w);
        title = d->windowTitle();
        filter = d->nameFilters().join(";");
        d->setDirectory(QString::fromStdString(tmp.path()));
        d->findChild<QLineEdit*>("fileNameEdit")->setText("license");
        QMetaObject::invokeMethod(d, "accept");
    });
    f.btnSave->click();
    EXPECT_EQ(h.count(), 1);
    EXPECT_EQ(title, "Save License");
    EXPECT_EQ(filter, "Text File (*.txt)");
    std::string expected;
    for (const auto& l : LicenseLines()) expected += l + "\n";
    EXPECT_EQ(testsupport::readFile(tmp.path() + "license.txt"), expected);
    EXPECT_FALSE(f.SaveLines(QString::fromStdString(tmp.path() + "missing/license.txt")));
}

TEST(License, OkKeepsTwelvePixelsFromTheRightEdge) {
    TfrmLicense f;
    f.show();
    for (int w : {400, 640, 333}) {
        f.resize(w, 300);
        waitFor([&] { return f.pnlButtons->width() == w; }, 1000);
        EXPECT_EQ(f.btnOK->x(), f.pnlButtons->width() - f.btnOK->width() - 12) << w;
    }
}

TEST(License, PrintsUnderItsDocumentTitle) {
    TempDir tmp;
    TfrmLicense f;
    QPrinter printer;
    printer.setOutputFormat(QPrinter::PdfFormat);
    std::string out = tmp.path() + "license.pdf";
    printer.setOutputFileName(QString::fromStdString(out));
    f.PrintTo(printer);
    EXPECT_EQ(printer.docName(), "Tavrin SMTP/POP3 Server License");
    ASSERT_TRUE(std::filesystem::exists(out));
    EXPECT_EQ(testsupport::readFile(out).rfind("%PDF", 0), 0u);
}

// --- splash ------------------------------------------------------------------------------

TEST(Splash, ClickClosesAndFreesIt) {
    QPointer<TfrmSplash> s = new TfrmSplash();
    EXPECT_EQ(s->windowTitle(), "Splash");
    EXPECT_TRUE(s->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(s->Timer1->isActive());
    EXPECT_EQ(s->Timer1->interval(), 500);
    s->show();
    s->Image1->click();
    ASSERT_TRUE(waitFor([&] { return s.isNull(); }));
}

TEST(Splash, TimerClosesItOnItsFirstTick) {
    QPointer<TfrmSplash> s = new TfrmSplash();
    s->show();
    s->Timer1->start();
    ASSERT_TRUE(waitFor([&] { return s.isNull(); }, 5000));
}

TEST(Boxes, WideEnoughForTheWholeCaptionAndText) {
    // A title bar shows the caption in a bold face beside the window icon and
    // three buttons: 100 pixels for those is what a box needs at least.
    QFont bold = QApplication::font();
    bold.setBold(true);
    auto need = [&](const QString& caption, const QString& text) {
        return std::max(QFontMetrics(bold).horizontalAdvance(caption) + 100,
                        QFontMetrics(QApplication::font()).horizontalAdvance(text));
    };
    struct Row {
        const char* handler;
        QString caption, text;
        std::function<void()> open;
    };
    const std::vector<Row> rows = {
        {"InputBox", "Add Local Domain", "Domain", [] { InputBox("Add Local Domain", "Domain", {}); }},
        {"InputBox", "Add Accepted Domain", "Domain", [] { InputBox("Add Accepted Domain", "Domain", {}); }},
        {"InputBox", "Rename List", "Enter New List Name",
         [] { InputBox("Rename List", "Enter New List Name", "club"); }},
        {"MessageDlg", "Confirm", "Delete 1 Member?",
         [] { MessageDlg("Delete 1 Member?", TMsgDlgType::Confirmation, mbYes | mbNo); }},
        {"ShowMessage", ApplicationTitle, "Can't open \"Tavrin.doc\"",
         [] { ShowMessage("Can't open \"Tavrin.doc\""); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.caption.toStdString());
        int width = 0;
        QString caption;
        ModalHandler h(row.handler, [&](QWidget* w) {
            width = w->width();
            caption = w->windowTitle();
            qobject_cast<QDialog*>(w)->reject();
        });
        row.open();
        EXPECT_EQ(caption, row.caption);
        EXPECT_GE(width, need(row.caption, row.text));
    }
}
