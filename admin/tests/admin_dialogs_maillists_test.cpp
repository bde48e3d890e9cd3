// The mailing-list manager, editor and user chooser against real list files:
// a new list written without a question, member rows added, edited, marked
// and deleted, members from local users, the editor's checks, the texts, the
// change-stamp refusal when the list processor rewrote the file meanwhile,
// and the values without a control carried through a save.
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>
#include <filesystem>

#include "DialogTestSupport.h"
#include "MailRouting.h"

using namespace dialogtest;

namespace {

class MailListsTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        for (const char* u : {"ann", "bob", "cy"}) makeUser(u);
        TMailListInformation l;
        l.AddMember(true, false, "ann@example.com");
        l.AddMember(false, true, "far@remote.example");
        l.SetWelcomeMessage({"Welcome!", ""});
        l.Password = "secret";
        ASSERT_TRUE(l.SaveToFile("club", true));
    }

    static TMailListInformation load(const std::string& name = "club") {
        TMailListInformation l;
        EXPECT_TRUE(l.LoadFromFile(name));
        return l;
    }
    static std::vector<std::string> members(const TMailListInformation& l) {
        std::vector<std::string> out;
        for (const auto& m : l.Members)
            out.push_back(std::string(m->Active ? "A" : "-") + (m->Manager ? "M " : "- ") + m->Address);
        return out;
    }
    // The rows of the member view: index, active, manager, address.
    static QStringList rows() {
        QStringList out;
        QTreeWidget* v = frmAddEditMailList->lvMembers;
        for (int i = 0; i < v->topLevelItemCount(); ++i) {
            QTreeWidgetItem* r = v->topLevelItem(i);
            out << r->text(0) + " " + r->text(1) + " " + r->text(2) + " " + r->text(3);
        }
        return out;
    }
    static void selectRows(std::initializer_list<int> indexes) {
        QTreeWidget* v = frmAddEditMailList->lvMembers;
        v->clearSelection();
        for (int i : indexes) v->topLevelItem(i)->setSelected(true);
    }
    // The list processor handles a subscription request, which rewrites the
    // list file with a pending member.
    static void subscribeThroughTheListProcessor(const std::string& from) {
        TSmtpMessageInformation m;
        m.ReversePath.Parse("<" + from + ">");
        ASSERT_TRUE(m.AddForwardPath("<club@example.com>"));
        m.AddLine("From: <" + from + ">");
        m.AddLine("Subject: !Subscribe");
        m.AddLine("");
        TDeliverMail d(&m);
        ASSERT_TRUE(d.Deliver());
    }
};

TfrmAddEditMailList* ed() { return frmAddEditMailList; }

}  // namespace

TEST_F(MailListsTest, ANewListIsCreatedAndWrittenWithoutAQuestion) {
    InputBoxes input;
    MessageBoxes boxes;
    input.answers = {QString("Zoe@Far.Example"), QString("zoe@far.example"), QString("no-at-sign"), QString(""),
                     std::nullopt};
    TfrmManageMailLists* m = frmManageMailLists;
    WhenShown editor("frmAddEditMailList", [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "Add Mailing List");
        EXPECT_TRUE(ed()->txtListName->isEnabled());
        EXPECT_EQ(ed()->txtListName->text(), "");
        EXPECT_EQ(ed()->PageControl1->currentWidget(), ed()->tsGeneral);
        EXPECT_EQ(rows(), QStringList{});
        EXPECT_TRUE(ed()->cbxLB_AllowPublicSubscription->isChecked()) << "the definition's defaults";
        for (int i = 0; i < 5; ++i) ed()->puMbr_Add->trigger();
        EXPECT_EQ(rows(), QStringList{"0 Yes No Zoe@Far.Example"});
        ed()->memoSL_Farewell->setPlainText("Bye.\nSee you.");
        ed()->cbxLB_MemberSubmissionOnly->setChecked(true);
        ed()->txtErrorsMailedTo->setText(" owner@example.com ");
        ed()->txtArchiveFile->setText(QString::fromStdString(tmp.path() + "news.txt"));
        ed()->txtListName->setText(" News ");
        Screenshot(w, "AddEditMailList");
        ed()->btnOK->click();
    });
    WhenShown manager("frmManageMailLists", [&](QWidget*) {
        EXPECT_EQ(Items(m->lstList), QStringList{"club"});
        m->btnAdd->click();
        EXPECT_EQ(Items(m->lstList), (QStringList{"club", "news"}));
        Screenshot(m, "ManageMailLists");
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(boxes.texts, QStringList{"no-at-sign is not a valid address."})
        << "a duplicate in another case and an empty answer say nothing";
    EXPECT_EQ(input.captions.first(), "Add Member");
    EXPECT_EQ(input.prompts.first(), "Please enter a complete email address.");
    EXPECT_TRUE(std::filesystem::exists(si().MailingListPath + "News.ini"));
    TMailListInformation l = load("news");
    EXPECT_EQ(members(l), std::vector<std::string>{"A- Zoe@Far.Example"});
    EXPECT_EQ(l.FarewellMessage, (std::vector<std::string>{"Bye.", "See you."}));
    EXPECT_TRUE(l.MemberOnlySubmission);
    EXPECT_EQ(l.MailErrorsTo, "owner@example.com");
    EXPECT_EQ(l.DigestFile, tmp.path() + "news.txt");
}

TEST_F(MailListsTest, TheEditorChecksInItsOrder) {
    si().AddAlias("sales", "ann");
    MessageBoxes boxes;
    struct Case {
        const char* errorsTo;
        const char* name;
        const char* message;
    } cases[] = {
        {"not valid", "", "not valid is not a valid address."},
        {"", "  ", "The Mail List requires a Name (ID)"},
        {"", "a;b", "The Mail List Name (ID) cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"", "a@b", "The Mail List Name (ID) cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"", "Sales", "The List Name (ID) is already taken by an Alias."},
        {"", "BOB", "The List Name (ID) is already taken by a User."},
        {"", "Club", "The List Name (ID) already exists, please specify a different ID."},
    };
    WhenShown editor("frmAddEditMailList", [&](QWidget* w) {
        for (const Case& c : cases) {
            ed()->txtErrorsMailedTo->setText(c.errorsTo);
            ed()->txtListName->setText(c.name);
            ed()->btnOK->click();
            EXPECT_EQ(boxes.last().toStdString(), c.message) << c.name;
            EXPECT_TRUE(w->isVisible());
        }
        ed()->btnCancel->click();
    });
    EXPECT_FALSE(ed()->AddMailList());
    EXPECT_EQ(boxes.texts.size(), static_cast<qsizetype>(std::size(cases)));
    std::vector<std::string> lists;
    si().GetMailLists(lists);
    EXPECT_EQ(lists, std::vector<std::string>{"club"});
}

TEST_F(MailListsTest, MemberRowsAreEditedMarkedAndDeleted) {
    TMailListInformation five;
    for (const char* a : {"m0@x.example", "m1@x.example", "m2@x.example", "m3@x.example", "m4@x.example"})
        five.AddMember(true, false, a);
    ASSERT_TRUE(five.SaveToFile("five", true));
    InputBoxes input;
    MessageBoxes boxes;
    input.answers = {QString("  third-no-at-sign  "), QString("M0@X.example"), QString("third-no-at-sign"),
                     std::nullopt};
    boxes.answers = {QMessageBox::No, QMessageBox::Yes};
    WhenShown editor("frmAddEditMailList", [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "Edit Mailing List");
        EXPECT_FALSE(ed()->txtListName->isEnabled());
        selectRows({2});
        ed()->popupMembersPopup();
        EXPECT_TRUE(ed()->puMbr_Edit->isEnabled());
        ed()->puMbr_Edit->trigger();  // trimmed, and not checked
        ed()->puMbr_Edit->trigger();  // another row's address in another case: nothing
        ed()->puMbr_Edit->trigger();  // unchanged: nothing
        ed()->puMbr_Edit->trigger();  // Cancel: nothing
        EXPECT_EQ(input.defaults.first(), "m2@x.example");
        EXPECT_EQ(rows(), (QStringList{"0 Yes No m0@x.example", "1 Yes No m1@x.example", "2 Yes No third-no-at-sign",
                                       "3 Yes No m3@x.example", "4 Yes No m4@x.example"}));
        selectRows({1, 3});
        ed()->popupMembersPopup();
        EXPECT_FALSE(ed()->puMbr_Edit->isEnabled());
        EXPECT_TRUE(ed()->puMbr_Delete->isEnabled());
        ed()->puMbr_Inactive->trigger();
        ed()->puMbr_Manager->trigger();
        selectRows({3, 4});
        ed()->puMbr_NoManager->trigger();
        selectRows({0, 4});
        ed()->puMbr_Delete->trigger();  // No
        EXPECT_EQ(ed()->lvMembers->topLevelItemCount(), 5);
        ed()->puMbr_Delete->trigger();  // Yes
        EXPECT_EQ(rows(), (QStringList{"1 No Yes m1@x.example", "2 Yes No third-no-at-sign", "3 No No m3@x.example"}))
            << "the Index values are not renumbered";
        ed()->lvMembers->clearSelection();
        ed()->popupMembersPopup();
        EXPECT_FALSE(ed()->puMbr_Delete->isEnabled());
        EXPECT_FALSE(ed()->puMbr_Active->isEnabled());
        EXPECT_TRUE(ed()->puMbr_AddLocal->isEnabled());
        ed()->PageControl1->setCurrentWidget(ed()->tsMembers);
        Screenshot(w, "AddEditMailList_Members");
        ed()->btnOK->click();
    });
    EXPECT_TRUE(ed()->EditMailList("five"));
    EXPECT_EQ(boxes.texts, (QStringList{"Delete 2 Member?", "Delete 2 Member?"}));
    EXPECT_EQ(input.captions.first(), "Edit Member");
    EXPECT_EQ(members(load("five")),
              (std::vector<std::string>{"-M m1@x.example", "A- third-no-at-sign", "-- m3@x.example"}));
}

TEST_F(MailListsTest, MembersFromLocalUsersSkipAddressesAlreadyListed) {
    si().LocalDomains = {"example.com", "lists.example.com"};
    TfrmChooseUser* c = frmChooseUser;
    WhenShown chooser("frmChooseUser", [&](QWidget* w) {
        EXPECT_EQ(Items(c->lstUsers), (QStringList{"ann", "bob", "cy"}));
        EXPECT_EQ(Items(c->lstDomain), (QStringList{"mail.example.com", "example.com", "lists.example.com"}));
        EXPECT_EQ(c->lstDomain->currentIndex(), 0);
        c->lstDomain->setCurrentIndex(1);
        SelectRows(c->lstUsers, {"ann", "bob"});
        Screenshot(w, "ChooseUser");
        c->btnOK->click();
    });
    WhenShown editor("frmAddEditMailList", [&](QWidget*) {
        ed()->puMbr_AddLocal->trigger();
        EXPECT_EQ(rows(), (QStringList{"0 Yes No ann@example.com", "1 No Yes far@remote.example",
                                       "2 Yes No bob@example.com"}));
        ed()->btnCancel->click();
    });
    EXPECT_FALSE(ed()->EditMailList("club"));
    EXPECT_EQ(chooser.count(), 1);
    EXPECT_EQ(members(load()), (std::vector<std::string>{"A- ann@example.com", "-M far@remote.example"}))
        << "Cancel leaves the file as it was";
}

TEST_F(MailListsTest, TheChooserAnswersFalseWithoutASelectionAndADoubleClickIsOk) {
    TfrmChooseUser* c = frmChooseUser;
    {
        WhenShown none("frmChooseUser", [&](QWidget*) { c->btnOK->click(); });
        EXPECT_FALSE(c->Execute());
    }
    WhenShown dbl("frmChooseUser", [&](QWidget*) {
        SelectRows(c->lstUsers, {"cy"});
        emit c->lstUsers->itemDoubleClicked(c->lstUsers->item(2));
    });
    EXPECT_TRUE(c->Execute());
    EXPECT_EQ(c->lstUsers->selectedItems().first()->text(), "cy");
}

TEST_F(MailListsTest, ARewriteByTheListProcessorIsNotOverwrittenSilently) {
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::No, QMessageBox::Yes};
    WhenShown editor("frmAddEditMailList", [&](QWidget* w) {
        subscribeThroughTheListProcessor("zed@far.example");
        ASSERT_EQ(load().PendingMemberCount(), 1);
        ed()->cbxLB_ForceRepliesToList->setChecked(false);
        ed()->txtErrorsMailedTo->setText("typed@example.com");
        ed()->btnOK->click();  // the question; No reloads the file
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(ed()->txtErrorsMailedTo->text(), "") << "the dialog's changes are gone";
        EXPECT_TRUE(ed()->cbxLB_ForceRepliesToList->isChecked());
        EXPECT_EQ(ed()->List().PendingMemberCount(), 1) << "the file as it now is";

        subscribeThroughTheListProcessor("yan@far.example");
        ed()->txtErrorsMailedTo->setText("forced@example.com");
        ed()->btnOK->click();  // the question again; Yes forces the save
    });
    EXPECT_TRUE(ed()->EditMailList("club"));
    const QString question =
        "These settings may have been changed by another process.\r\nDo you want to FORCE the save (possibly "
        "erasing some settings)?";
    EXPECT_EQ(boxes.texts, (QStringList{question, question}));
    TMailListInformation l = load();
    EXPECT_EQ(l.MailErrorsTo, "forced@example.com");
    ASSERT_EQ(l.PendingMemberCount(), 1) << "forcing writes what the dialog held";
    EXPECT_EQ(l.GetPendingMember(0)->Address, "zed@far.example");
}

TEST_F(MailListsTest, AnUnchangedFileIsSavedWithoutAQuestionAndKeepsWhatHasNoControl) {
    subscribeThroughTheListProcessor("zed@far.example");
    TMailListInformation before = load();
    before.WelcomeFile = "welcome.txt";
    before.DoNotReportListExists = true;
    ASSERT_TRUE(before.SaveToFile("club", true));
    MessageBoxes boxes;
    WhenShown editor("frmAddEditMailList", [&](QWidget*) {
        EXPECT_EQ(ed()->memoSL_Welcome->toPlainText(), "Welcome!\n\n");
        ed()->memoSL_Signature->setPlainText("--\nThe club");
        ed()->btnOK->click();
    });
    EXPECT_TRUE(ed()->EditMailList("club"));
    EXPECT_TRUE(boxes.texts.isEmpty());
    TMailListInformation l = load();
    EXPECT_EQ(l.SignatureMessage, (std::vector<std::string>{"--", "The club"}));
    EXPECT_EQ(l.WelcomeMessage, (std::vector<std::string>{"Welcome!", ""}));
    EXPECT_EQ(l.Password, "secret");
    EXPECT_EQ(l.WelcomeFile, "welcome.txt");
    EXPECT_TRUE(l.DoNotReportListExists);
    ASSERT_EQ(l.PendingMemberCount(), 1);
    EXPECT_EQ(l.GetPendingMember(0)->Address, "zed@far.example");
}

TEST_F(MailListsTest, EditingAListDeletedMeanwhileClosesAsCancelled) {
    MessageBoxes boxes;
    WhenShown editor("frmAddEditMailList", [&](QWidget*) {
        si().DeleteMailList("club");
        ed()->btnOK->click();
    });
    EXPECT_FALSE(ed()->EditMailList("club"));
    EXPECT_EQ(boxes.texts, QStringList{"The Mail List ID must exist to be edited."});
    EXPECT_FALSE(si().MailListExists("club"));
}

TEST_F(MailListsTest, TextsAreLoadedSavedAndClearedOnTheActivePageOnly) {
    const std::string in = tmp.path() + "in.txt", out = tmp.path() + "out.txt";
    testsupport::writeFile(in, "Hello\r\nthere\r\n");
    FileDialogs opens("OpenDialogText"), saves("SaveDialogText");
    opens.answers = {QString::fromStdString(in)};
    saves.answers = {QString::fromStdString(out)};
    WhenShown editor("frmAddEditMailList", [&](QWidget*) {
        ed()->puMsg_ClearClick();  // on "General": nothing
        EXPECT_EQ(ed()->memoSL_Welcome->toPlainText(), "Welcome!\n\n");
        ed()->PageControl1->setCurrentWidget(ed()->tsFarewell);
        ed()->puMsg_LoadfromFile->trigger();
        EXPECT_EQ(ed()->memoSL_Farewell->toPlainText(), "Hello\nthere");
        ed()->memoSL_Farewell->appendPlainText("again");
        ed()->puMsg_SavetoFile->trigger();
        ed()->PageControl1->setCurrentWidget(ed()->tsWelcome);
        ed()->puMsg_Clear->trigger();
        EXPECT_EQ(ed()->memoSL_Welcome->toPlainText(), "");
        EXPECT_EQ(ed()->memoSL_Farewell->toPlainText(), "Hello\nthere\nagain");
        ed()->btnOK->click();
    });
    EXPECT_TRUE(ed()->EditMailList("club"));
    EXPECT_EQ(opens.titles, QStringList{"Open File"});
    EXPECT_EQ(saves.titles, QStringList{"Save File"});
    EXPECT_EQ(testsupport::readFile(out), "Hello\r\nthere\r\nagain\r\n");
    TMailListInformation l = load();
    EXPECT_TRUE(l.WelcomeMessage.empty());
    EXPECT_EQ(l.FarewellMessage, (std::vector<std::string>{"Hello", "there", "again"}));
}

TEST_F(MailListsTest, ManagerDeletesAndRenamesLists) {
    TMailListInformation l;
    ASSERT_TRUE(l.SaveToFile("news", true));
    ASSERT_TRUE(l.SaveToFile("chat", true));
    InputBoxes input;
    input.answers = {QString("CHAT"), QString("ann"), QString("talk")};
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::Yes};
    TfrmManageMailLists* m = frmManageMailLists;
    WhenShown manager("frmManageMailLists", [&](QWidget*) {
        for (int i = 0; i < 3; ++i) {
            SelectRows(m->lstList, {"chat"});
            m->btnRename->click();
        }
        EXPECT_EQ(Items(m->lstList), (QStringList{"club", "news", "talk"}));
        SelectRows(m->lstList, {"club", "news"});
        m->btnDelete->click();
        EXPECT_EQ(Items(m->lstList), QStringList{"talk"});
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(input.captions.first(), "Rename List");
    EXPECT_EQ(input.prompts.first(), "Enter New List Name");
    EXPECT_EQ(boxes.texts, (QStringList{"Error: Cound not re-name.\r\nList must have a unique ID.",
                                        "Deleting list(s) cannot be undone.  Proceed?"}));
    std::vector<std::string> lists;
    si().GetMailLists(lists);
    EXPECT_EQ(lists, std::vector<std::string>{"talk"});
}

TEST_F(MailListsTest, ALineEndAtTheEndOfATextStartsNoLine) {
    struct Row {
        const char* typed;
        std::vector<std::string> stored;
    };
    const Row rows[] = {
        {"sig line\n", {"sig line"}},
        {"sig line", {"sig line"}},
        {"--\nThe club\n", {"--", "The club"}},
        {"a\n\n", {"a", ""}},
        {"\n", {""}},
        {"", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.typed);
        WhenShown editor("frmAddEditMailList", [&](QWidget*) {
            for (QPlainTextEdit* m : {ed()->memoSL_Welcome, ed()->memoSL_Signature, ed()->memoSL_Farewell})
                m->setPlainText(row.typed);
            ed()->btnOK->click();
        });
        ASSERT_TRUE(ed()->EditMailList("club"));
        TMailListInformation l = load();
        EXPECT_EQ(l.WelcomeMessage, row.stored);
        EXPECT_EQ(l.SignatureMessage, row.stored);
        EXPECT_EQ(l.FarewellMessage, row.stored);
    }
}
