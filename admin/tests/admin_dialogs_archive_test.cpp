// The list archive viewer on an archive the list processor wrote: the view,
// the status panels, truncating to the newest lines, erase, edit mode, the
// question when an edited archive is closed, Save and Save As, and text that
// is not UTF-8 written back byte for byte.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <filesystem>

#include "DialogTestSupport.h"
#include "GuiSupport.h"
#include "MailRouting.h"
#include "Pop3Server.h"
#include "UtilU1.h"
#include "platform/FileWork.h"
#include "support/WSocketTestUtil.h"

using namespace dialogtest;

namespace {

class ArchiveTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        archive = tmp.path() + "club-archive.txt";
        makeUser("ann");
        TMailListInformation l;
        l.ForceRepliesToList = false;
        l.AddMember(true, false, "ann@example.com");
        l.DigestFile = archive;
        ASSERT_TRUE(l.SaveToFile("club", true));
    }
    // A contribution to the list, which the list processor archives.
    static void post(const std::vector<std::string>& body, const std::string& subject = "Hello") {
        TSmtpMessageInformation m;
        m.ReversePath.Parse("<ann@example.com>");
        ASSERT_TRUE(m.AddForwardPath("<club@example.com>"));
        m.AddLine("From: ann@example.com");
        m.AddLine("Subject: " + subject);
        m.AddLine("");
        for (const std::string& l : body) m.AddLine(l);
        TDeliverMail d(&m);
        ASSERT_TRUE(d.Deliver());
        // The entry is appended on the workers after the delivery.
        ASSERT_TRUE(guitest::waitFor([] { return platform::fileWorkInFlight() == 0; }));
    }
    static TfrmViewMailListArchive* v() { return frmViewMailListArchive; }
    static QString panel(int i) { return v()->StatusPanels[i]->text(); }
    // Shows the viewer for the archive and runs script while it is open; the
    // script must close it.
    void view(const std::function<void(QWidget*)>& script, const std::string& file = {}) {
        WhenShown on("frmViewMailListArchive", [&](QWidget* w) {
            settle();
            script(w);
            guitest::waitFor([&] { return !w->isVisible(); });  // a save on closing ends first
            if (w->isVisible()) {
                ADD_FAILURE() << "the viewer is still open";
                v()->done(mrCancel);
            }
        });
        v()->ShowArchive("club", QString::fromStdString(file.empty() ? archive : file));
        EXPECT_EQ(on.count(), 1);
    }
    // Waits for the load or save under way.
    static void settle() { EXPECT_TRUE(guitest::waitFor([] { return !v()->Busy(); })); }
    // An archive of lines "line 1" .. "line n".
    void numbered(int n) {
        std::string text;
        for (int i = 1; i <= n; ++i) text += "line " + std::to_string(i) + "\r\n";
        testsupport::writeFile(archive, text);
    }

    std::string archive;
};

}  // namespace

TEST_F(ArchiveTest, ShowsTheArchiveTheListProcessorWrote) {
    post({"first body"}, "One");
    post({"second body", "more"}, "Two");
    const std::string bytes = testsupport::readFile(archive);
    ASSERT_FALSE(bytes.empty());
    std::string afterThird;
    view([&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), QString::fromStdString("Mail List (club) Archive - " + archive));
        EXPECT_EQ(v()->Lines(), (QStringList{"From: ann@example.com", "Subject: One", "", "first body",
                                             "(------------------)", "From: ann@example.com", "Subject: Two", "",
                                             "second body", "more", "(------------------)"}));
        EXPECT_EQ(panel(0), "");
        EXPECT_EQ(panel(1), QString::number(bytes.size()) + " bytes");
        EXPECT_EQ(panel(2), "11 lines");
        EXPECT_TRUE(v()->reArchive->isReadOnly());
        EXPECT_EQ(v()->lblWarning->text(),
                  "Warning: If you edit this archive, the List Server may add messages without your knowledge.  "
                  "Saving may remove them.");
        Screenshot(w, "ViewMailListArchive");

        post({"third"}, "Three");  // while the viewer is open
        afterThird = testsupport::readFile(archive);
        EXPECT_EQ(v()->LineCount(), 11) << "the viewer does not notice";
        v()->puRefresh->trigger();
        settle();
        EXPECT_EQ(v()->LineCount(), 16);
        EXPECT_EQ(panel(0), "");
        v()->puSave->trigger();  // allowed while read-only; rewrites the same text
        settle();
        v()->puClose->trigger();
    });
    EXPECT_EQ(testsupport::readFile(archive), afterThird) << "an unchanged view saves the same bytes";
    post({"fourth"}, "Four");
    const std::string now = testsupport::readFile(archive);
    EXPECT_EQ(now.rfind(afterThird, 0), 0u);
    EXPECT_NE(now.find("fourth\r\n(------------------)\r\n", afterThird.size()), std::string::npos);
}

TEST_F(ArchiveTest, TruncateKeepsTheNewestLines) {
    numbered(10);
    InputBoxes input;
    input.answers = {QString("3")};
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::Yes};
    view([&](QWidget*) {
        v()->puTruncate->trigger();
        EXPECT_EQ(v()->Lines(), (QStringList{"line 8", "line 9", "line 10"}));
        EXPECT_EQ(panel(0), "EDITED");
        EXPECT_EQ(panel(2), "3 lines");
        v()->puClose->trigger();
    });
    EXPECT_EQ(input.captions, QStringList{"Truncate Archive to..."});
    EXPECT_EQ(input.prompts, QStringList{"How many lines? (0 = cancel)"});
    EXPECT_EQ(input.defaults, QStringList{"0"});
    EXPECT_EQ(boxes.texts, QStringList{"Archive has been edited.\r\nDo you want to save this version?"});
    EXPECT_EQ(testsupport::readFile(archive), "line 8\r\nline 9\r\nline 10\r\n");
}

TEST_F(ArchiveTest, TruncateThatRemovesNothingChangesNothing) {
    numbered(3);
    InputBoxes input;
    input.answers = {QString("3"), QString("0"), QString("abc"), std::nullopt, QString("-2"), QString("99")};
    view([&](QWidget*) {
        for (int i = 0; i < 6; ++i) v()->puTruncate->trigger();
        EXPECT_EQ(v()->LineCount(), 3);
        EXPECT_EQ(panel(0), "");
        v()->puClose->trigger();  // no question: nothing was changed
    });
    EXPECT_EQ(input.captions.size(), 6);
}

TEST_F(ArchiveTest, EraseOnAReadOnlyViewAsksOnCloseAndYesWritesAnEmptyFile) {
    numbered(4);
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::Cancel, QMessageBox::Yes};
    view([&](QWidget* w) {
        v()->puErase->trigger();
        EXPECT_EQ(v()->LineCount(), 0);
        EXPECT_EQ(panel(0), "EDITED");
        EXPECT_EQ(panel(2), "0 lines");
        v()->reject();  // Escape or the close box: Cancel keeps it open
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(v()->LineCount(), 0);
        v()->puClose->trigger();
    });
    EXPECT_EQ(boxes.texts.size(), 2);
    EXPECT_TRUE(std::filesystem::exists(archive));
    EXPECT_EQ(testsupport::readFile(archive), "");
}

TEST_F(ArchiveTest, NoToTheCloseQuestionLeavesTheFile) {
    numbered(2);
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::No};
    view([&](QWidget*) {
        v()->puErase->trigger();
        v()->puClose->trigger();
    });
    EXPECT_EQ(testsupport::readFile(archive), "line 1\r\nline 2\r\n");
}

TEST_F(ArchiveTest, TypingNeedsTheEditModeWhichCarriesOverToTheNextOpening) {
    numbered(2);
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::No};
    auto type = [](const QString& text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, text);
        QApplication::sendEvent(v()->reArchive, &press);
    };
    view([&](QWidget*) {
        v()->reArchive->moveCursor(QTextCursor::End);
        type("x");
        EXPECT_EQ(v()->Lines(), (QStringList{"line 1", "line 2"}));
        EXPECT_EQ(panel(0), "");
        v()->puEdit->trigger();
        EXPECT_TRUE(v()->puEdit->isChecked());
        EXPECT_FALSE(v()->reArchive->isReadOnly());
        type("x");
        EXPECT_EQ(v()->Lines(), (QStringList{"line 1", "line 2x"}));
        EXPECT_EQ(panel(0), "EDITED");
        v()->puClose->trigger();
    });
    view([&](QWidget*) {
        EXPECT_FALSE(v()->reArchive->isReadOnly()) << "the Edit state stays as the last opening left it";
        EXPECT_EQ(panel(0), "") << "each opening starts unedited";
        v()->puEdit->trigger();
        v()->puClose->trigger();
    });
    EXPECT_EQ(testsupport::readFile(archive), "line 1\r\nline 2\r\n");
}

TEST_F(ArchiveTest, AMissingArchiveShowsAnEmptyView) {
    for (const std::string& name : {tmp.path() + "nothing-here.txt", std::string()}) {
        WhenShown on("frmViewMailListArchive", [&](QWidget*) {
            EXPECT_EQ(v()->LineCount(), 0);
            EXPECT_EQ(panel(1), "-1 bytes");
            v()->puClose->trigger();
        });
        v()->ShowArchive("club", QString::fromStdString(name));
        EXPECT_EQ(on.count(), 1);
    }
}

TEST_F(ArchiveTest, SaveAsWritesToAnExistingFileOnly) {
    numbered(3);
    const std::string other = tmp.path() + "other.txt";
    testsupport::writeFile(other, "old\r\n");
    FileDialogs saves("SaveDialog1");
    saves.answers = {std::nullopt, QString::fromStdString(other)};
    view([&](QWidget* w) {
        v()->puSaveAs->trigger();  // cancelled
        EXPECT_EQ(v()->FileName(), QString::fromStdString(archive));
        v()->puSaveAs->trigger();
        settle();
        EXPECT_EQ(v()->FileName(), QString::fromStdString(other));
        EXPECT_EQ(w->windowTitle(), QString::fromStdString("Mail List (club) Archive - " + other));
        EXPECT_EQ(panel(1), "24 bytes");
        v()->puClose->trigger();
    });
    EXPECT_EQ(saves.titles.first(), "Save Archive File");
    EXPECT_EQ(testsupport::readFile(other), "line 1\r\nline 2\r\nline 3\r\n");
    EXPECT_EQ(testsupport::readFile(archive), "line 1\r\nline 2\r\nline 3\r\n");
    TMailListInformation l;
    ASSERT_TRUE(l.LoadFromFile("club"));
    EXPECT_EQ(l.DigestFile, archive) << "the list keeps its archive";
}

TEST_F(ArchiveTest, TextThatIsNotUtf8IsWrittenBackUnchanged) {
    // Big5 (the list's Chinese), then Latin-1 bytes that are no Big5 either.
    const std::string big5 = "\xa4\xa4\xa4\xe5 mail\r\n(------------------)\r\n";
    const std::string latin1 = "caf\xe9\r\n\xff\xfe end\r\n";
    // Shown in pieces: the one byte that is no UTF-8 comes in the last.
    std::string large;
    for (int i = 0; i < 20000; ++i) large += "plain line " + std::to_string(i) + "\r\n";
    large += big5;
    for (const std::string& bytes : {big5, latin1, large}) {
        testsupport::writeFile(archive, bytes);
        view([&](QWidget*) {
            v()->puSave->trigger();
            settle();
            v()->puClose->trigger();
        });
        EXPECT_TRUE(testsupport::readFile(archive) == bytes) << "written back unchanged";
    }
    testsupport::writeFile(archive, big5);
    view([&](QWidget*) {
        EXPECT_EQ(v()->Lines().first(), QString::fromUtf8("中文 mail"));
        v()->puClose->trigger();
    });
}

TEST_F(ArchiveTest, TheMailListEditorOpensTheViewerWithItsFieldsAsTheyStand) {
    numbered(5);
    WhenShown viewer("frmViewMailListArchive", [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), QString::fromStdString("Mail List (club) Archive - " + tmp.path() + "typed.txt"));
        EXPECT_EQ(v()->LineCount(), 0);
        v()->puClose->trigger();
    });
    WhenShown editor("frmAddEditMailList", [&](QWidget*) {
        EXPECT_EQ(frmAddEditMailList->txtArchiveFile->text(), QString::fromStdString(archive));
        frmAddEditMailList->txtArchiveFile->setText(QString::fromStdString(tmp.path() + "typed.txt"));
        frmAddEditMailList->btnViewArchive->click();
        frmAddEditMailList->btnCancel->click();
    });
    EXPECT_FALSE(frmAddEditMailList->EditMailList("club"));
    EXPECT_EQ(viewer.count(), 1);
}

// The window shares its thread with the services: a POP3 NOOP that waits when
// a large archive opens, is truncated and is saved, is answered while the
// viewer is still at work (its text not yet all shown, its oldest lines not
// yet all gone, the file not yet written).
TEST_F(ArchiveTest, ServicesAnswerWhileALargeArchiveOpensTruncatesAndSaves) {
    constexpr int Lines = 200000;
    std::string text;
    for (int i = 1; i <= Lines; ++i) text += "line " + std::to_string(i) + " of a list that has run for years\r\n";
    testsupport::writeFile(archive, text);
    const std::int64_t size = static_cast<std::int64_t>(text.size());

    si().Pop3BindAddress = "127.0.0.1";
    si().Pop3ListenPort = testsupport::freePort();
    TPop3Server pop3;
    std::vector<std::pair<int, std::int64_t>> atNoop;  // lines shown, file size
    QStringList counts;                                 // the line count panel
    pop3.OnLog = [&](void*, const std::string& line, int) {
        if (line.find("Command: NOOP") == std::string::npos) return;
        atNoop.emplace_back(v()->LineCount(), FileSizeByName(archive));
        counts << panel(2);
    };
    pop3.Start();
    wstest::RawPeer peer(si().Pop3ListenPort);
    std::string got;
    auto replies = [&](std::size_t n) {
        return guitest::waitFor([&] {
            got += peer.readNow();
            return static_cast<std::size_t>(std::count(got.begin(), got.end(), '\n')) >= n;
        });
    };
    ASSERT_TRUE(replies(1)) << "greeting";

    ASSERT_TRUE(peer.sendAll("NOOP\r\n"));
    InputBoxes input;
    input.answers = {QString("1000")};
    view([&](QWidget*) {
        ASSERT_TRUE(guitest::waitFor([&] { return !atNoop.empty(); }));
        EXPECT_LT(atNoop[0].first, Lines) << "answered while the archive was being shown";
        EXPECT_EQ(counts[0].toStdString(), "") << "no count while it loads";
        EXPECT_EQ(v()->LineCount(), Lines);
        QLabel* sizePanel = v()->StatusPanels[1];
        sizePanel->setText("41943129 bytes");
        QApplication::sendPostedEvents();
        EXPECT_GE(sizePanel->width(), sizePanel->sizeHint().width()) << "a size of eight digits whole";

        v()->puTruncate->trigger();
        ASSERT_TRUE(peer.sendAll("NOOP\r\n"));
        ASSERT_TRUE(guitest::waitFor([&] { return atNoop.size() == 2; }));
        EXPECT_GT(atNoop[1].first, 1000) << "answered while the oldest lines were being removed";
        settle();
        EXPECT_EQ(v()->LineCount(), 1000);
        ASSERT_TRUE(peer.sendAll("NOOP\r\n"));
        v()->puSave->trigger();
        settle();
        ASSERT_TRUE(guitest::waitFor([&] { return atNoop.size() == 3; }));
        EXPECT_EQ(atNoop[2].second, size) << "answered before the file was written";
        v()->puClose->trigger();
    });
    EXPECT_TRUE(replies(4));
    EXPECT_TRUE(testsupport::readFile(archive) == text.substr(text.find("line 199001 "))) << "the newest lines";
    pop3.Shutdown();
}
