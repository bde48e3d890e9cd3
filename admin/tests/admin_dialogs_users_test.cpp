// The user manager and editor against real user folders in a temporary mail
// store: add, edit, rename, delete (with the user's aliases), the editor's
// checks in their order, an edit of a user deleted meanwhile, and the
// manager's button rules.
#include <QCheckBox>
#include <QLineEdit>
#include <filesystem>

#include "DialogTestSupport.h"
#include "platform/Profile.h"

using namespace dialogtest;

namespace {

class UsersTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        for (const char* u : {"alice", "bob", "carol", "dave"}) makeUser(u);
    }
    static std::vector<std::string> users() {
        std::vector<std::string> list;
        si().GetUsers(list);
        return list;
    }
    // A key of a user's information file.
    static std::string userKey(const std::string& user, const std::string& key) {
        platform::Profile ini;
        ini.load(si().UserFolder(user) + user + ".ini");
        return ini.readString("User Information", key, "<none>");
    }
};

TfrmAddEditUser* ed() { return frmAddEditUser; }

}  // namespace

TEST_F(UsersTest, ManagerListsTheUsersAndEnablesItsButtonsBySelection) {
    TfrmManageUsers* m = frmManageUsers;
    WhenShown script("frmManageUsers", [&](QWidget*) {
        EXPECT_EQ(Items(m->lstList), (QStringList{"alice", "bob", "carol", "dave"}));
        EXPECT_FALSE(m->btnEdit->isEnabled());
        EXPECT_FALSE(m->btnDelete->isEnabled());
        EXPECT_FALSE(m->btnRename->isEnabled());
        EXPECT_TRUE(m->btnExport->isEnabled());
        EXPECT_TRUE(m->btnAdd->isEnabled());
        EXPECT_TRUE(m->btnImport->isEnabled());
        EXPECT_FALSE(m->puImport->isEnabled());
        SelectRows(m->lstList, {"bob"});
        EXPECT_TRUE(m->btnEdit->isEnabled());
        EXPECT_TRUE(m->btnRename->isEnabled());
        EXPECT_TRUE(m->btnDelete->isEnabled());
        SelectRows(m->lstList, {"bob", "carol"});
        m->popupMenuPopup();
        EXPECT_FALSE(m->btnEdit->isEnabled());
        EXPECT_FALSE(m->puRename->isEnabled());
        EXPECT_TRUE(m->puDelete->isEnabled());
        EXPECT_FALSE(m->puImport->isEnabled()) << "never enabled";
        Screenshot(m, "ManageUsers");
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(script.count(), 1);
}

TEST_F(UsersTest, ImportAndExportAreNotImplemented) {
    MessageBoxes boxes;
    WhenShown script("frmManageUsers", [&](QWidget*) {
        frmManageUsers->btnImport->click();
        frmManageUsers->btnExport->click();
        frmManageUsers->btnClose->click();
    });
    frmManageUsers->exec();
    EXPECT_EQ(boxes.texts, (QStringList{"Feature not implemented yet...", "Feature not implemented yet..."}));
    EXPECT_EQ(users().size(), 4u);
}

TEST_F(UsersTest, AddingAUserThroughTheManagerWritesItsFolderAndFile) {
    TfrmManageUsers* m = frmManageUsers;
    WhenShown editor("frmAddEditUser", [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "Add User");
        EXPECT_TRUE(ed()->txtUserID->isEnabled());
        EXPECT_TRUE(ed()->cbxKeepMailBackup->isChecked()) << "a new user keeps a copy by default";
        EXPECT_EQ(ed()->txtForwardTo->text(), "");
        ed()->txtUserID->setText("  Erin ");
        ed()->txtUserPassword->setText("se cret");
        ed()->cbxForwardTo->setChecked(true);
        ed()->txtForwardTo->setText("erin@elsewhere.example");
        ed()->txtRealName->setText("Erin Example");
        ed()->cbxUB_DoNotReportUserExists_SMTP->setChecked(true);
        Screenshot(w, "AddEditUser");
        ed()->btnOK->click();
    });
    WhenShown manager("frmManageUsers", [&](QWidget*) {
        m->btnAdd->click();
        EXPECT_EQ(Items(m->lstList), (QStringList{"alice", "bob", "carol", "dave", "erin"}));
        m->btnClose->click();
    });
    m->exec();
    ASSERT_EQ(editor.count(), 1);
    EXPECT_TRUE(std::filesystem::is_directory(si().MailBoxPath + "Erin")) << "the folder keeps the typed case";
    EXPECT_TRUE(std::filesystem::is_directory(si().MailBoxPath + "Erin/BAK"));
    EXPECT_EQ(userKey("Erin", "Password"), "se cret");
    EXPECT_EQ(userKey("Erin", "Forward To Address"), "erin@elsewhere.example");
    EXPECT_EQ(userKey("Erin", "Real Name"), "Erin Example");
    EXPECT_EQ(userKey("Erin", "BackUp Mail Data"), "1");
}

TEST_F(UsersTest, TheEditorChecksTheIdInItsOrderAndStaysOpen) {
    si().AddAlias("postmaster", "alice");
    si().AddAlias("club", "alice");  // an alias and a list of the same name
    TMailListInformation list;
    ASSERT_TRUE(list.SaveToFile("club", true));
    ASSERT_TRUE(list.SaveToFile("news", true));
    MessageBoxes boxes;
    struct Case {
        const char* id;
        const char* message;
    } cases[] = {
        {"   ", "The User requires an ID"},
        {"a@b", "The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"a\"b", "The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"x[1]", "The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"a,b", "The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        // Names the user list would hide or take for a list file.
        {".hidden", "The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"x.INI", "The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"Postmaster", "The User ID is already taken by an Alias."},
        {"club", "The User ID is already taken by an Alias."},
        {"NEWS", "The User ID is already taken by a Mail List."},
        {"Bob", "The User ID already exists, please specify a different ID."},
    };
    WhenShown editor("frmAddEditUser", [&](QWidget* w) {
        ed()->txtUserPassword->setText("kept");
        for (const Case& c : cases) {
            ed()->txtUserID->setText(c.id);
            ed()->btnOK->click();
            EXPECT_EQ(boxes.last().toStdString(), c.message) << c.id;
            EXPECT_TRUE(w->isVisible()) << c.id;
        }
        EXPECT_EQ(ed()->txtUserPassword->text(), "kept") << "the other fields stay as typed";
        ed()->btnCancel->click();
    });
    EXPECT_FALSE(ed()->AddUser());
    EXPECT_EQ(boxes.texts.size(), static_cast<qsizetype>(std::size(cases)));
    EXPECT_EQ(users().size(), 4u);
}

TEST_F(UsersTest, EditShowsTheRecordAndStoresTheForwardAddressOnlyWhenChecked) {
    TPop3UserInformation u;
    u.Password = "pw";
    u.ForwardToAddress = "bob@far.example";
    u.BackUpMailData = false;
    u.LimitMailboxToMessages = 40;
    ASSERT_TRUE(u.SaveUser("bob"));
    {
        WhenShown editor("frmAddEditUser", [&](QWidget* w) {
            EXPECT_EQ(w->windowTitle(), "Edit User");
            EXPECT_FALSE(ed()->txtUserID->isEnabled());
            EXPECT_EQ(ed()->txtUserID->text(), "bob");
            EXPECT_TRUE(ed()->cbxForwardTo->isChecked());
            EXPECT_EQ(ed()->txtForwardTo->text(), "bob@far.example");
            EXPECT_FALSE(ed()->cbxKeepMailBackup->isChecked()) << "an edited user shows the stored flag";
            ed()->txtForwardTo->setText("   ");
            ed()->btnOK->click();
        });
        EXPECT_TRUE(ed()->EditUser("bob"));
    }
    EXPECT_EQ(userKey("bob", "Forward To Address"), "");
    EXPECT_EQ(userKey("bob", "Limit Mailbox To Messages"), "40") << "limits without a control are kept";

    WhenShown again("frmAddEditUser", [&](QWidget*) {
        ed()->cbxForwardTo->setChecked(false);
        ed()->txtForwardTo->setText("someone@far.example");
        ed()->btnOK->click();
    });
    EXPECT_TRUE(ed()->EditUser("bob"));
    EXPECT_EQ(userKey("bob", "Forward To Address"), "");
}

TEST_F(UsersTest, AnAddAfterAnEditStartsFromAnEmptyRecord) {
    makeUser("frank", "frank@far.example");
    WhenShown edit("frmAddEditUser", [&](QWidget*) { ed()->btnCancel->click(); });
    EXPECT_FALSE(ed()->EditUser("frank"));
    WhenShown add("frmAddEditUser", [&](QWidget*) {
        EXPECT_EQ(ed()->txtForwardTo->text(), "");
        EXPECT_EQ(ed()->txtUserPassword->text(), "");
        ed()->txtUserID->setText("gina");
        ed()->btnOK->click();
    });
    EXPECT_TRUE(ed()->AddUser());
    EXPECT_EQ(userKey("gina", "Forward To Address"), "");
}

TEST_F(UsersTest, EditingAUserDeletedMeanwhileClosesAsCancelled) {
    MessageBoxes boxes;
    WhenShown editor("frmAddEditUser", [&](QWidget*) {
        si().DeleteUser("carol");  // by another program while the editor is open
        ed()->btnOK->click();
    });
    EXPECT_FALSE(ed()->EditUser("carol"));
    EXPECT_EQ(boxes.texts, QStringList{"The User ID must exist to be edited."});
    EXPECT_FALSE(si().UserExists("carol")) << "not brought back";
}

TEST_F(UsersTest, AnIdThatNamesNoFolderCannotBeCreated) {
    MessageBoxes boxes;
    WhenShown editor("frmAddEditUser", [&](QWidget*) {
        ed()->txtUserID->setText("../escape");
        ed()->btnOK->click();
        ed()->btnCancel->click();
    });
    EXPECT_FALSE(ed()->AddUser());
    EXPECT_EQ(boxes.texts, QStringList{"The Used ID cannot contain ( ) < > @ , ; : \\ \" [ ]"});
    EXPECT_FALSE(std::filesystem::exists(home.path() + "Quentar/Tavrin/escape"));
    EXPECT_EQ(users().size(), 4u);
}

TEST_F(UsersTest, RenameByInputBox) {
    si().AddAlias("ally", "alice");
    TfrmManageUsers* m = frmManageUsers;
    InputBoxes input;
    MessageBoxes boxes;
    input.answers = {QString("Alice"), std::nullopt, QString("Bob"), QString("Ann")};
    WhenShown manager("frmManageUsers", [&](QWidget*) {
        for (int i = 0; i < 4; ++i) {
            SelectRows(m->lstList, {"alice"});
            m->btnRename->click();
        }
        EXPECT_EQ(Items(m->lstList), (QStringList{"ann", "bob", "carol", "dave"}));
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(input.captions.first(), "Rename User");
    EXPECT_EQ(input.prompts.first(), "Enter New User Name");
    EXPECT_EQ(input.defaults.first(), "alice");
    EXPECT_EQ(boxes.texts, QStringList{"Error: Cound not re-name.\r\nUsers must have a unique ID."})
        << "case only and Cancel say nothing; a taken name is refused";
    EXPECT_TRUE(std::filesystem::is_directory(si().MailBoxPath + "Ann"));
    EXPECT_TRUE(std::filesystem::exists(si().MailBoxPath + "Ann/Ann.ini"));
    EXPECT_EQ(si().Aliases, std::vector<std::string>{"ally<==>Ann"});
}

TEST_F(UsersTest, DeletingSelectedUsersAsksOnceAndRemovesTheirAliases) {
    si().AddAlias("ally", "alice");
    si().AddAlias("robert", "bob");
    si().AddAlias("carrie", "carol");
    TfrmManageUsers* m = frmManageUsers;
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::No, QMessageBox::Yes};
    WhenShown manager("frmManageUsers", [&](QWidget*) {
        SelectRows(m->lstList, {"alice", "bob", "dave"});
        m->btnDelete->click();
        EXPECT_EQ(m->lstList->count(), 4) << "No deletes nothing";
        SelectRows(m->lstList, {"alice", "bob", "dave"});
        m->puDelete->trigger();
        EXPECT_EQ(Items(m->lstList), QStringList{"carol"});
        EXPECT_FALSE(m->btnDelete->isEnabled());
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(boxes.texts, (QStringList{"Deleting user(s) cannot be undone.  Proceed?",
                                        "Deleting user(s) cannot be undone.  Proceed?"}));
    EXPECT_EQ(users(), std::vector<std::string>{"carol"});
    EXPECT_EQ(si().Aliases, std::vector<std::string>{"carrie<==>carol"});
}

TEST_F(UsersTest, DoubleClickEditsAndAConfirmedEditRefillsTheList) {
    TfrmManageUsers* m = frmManageUsers;
    WhenShown editor("frmAddEditUser", [&](QWidget*) {
        EXPECT_EQ(ed()->txtUserID->text(), "dave");
        ed()->txtRealName->setText("Dave D.");
        ed()->btnOK->click();
    });
    WhenShown manager("frmManageUsers", [&](QWidget*) {
        SelectRows(m->lstList, {"dave"});
        emit m->lstList->itemDoubleClicked(m->lstList->item(3));
        EXPECT_TRUE(m->lstList->selectedItems().isEmpty()) << "refilled";
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(editor.count(), 1);
    EXPECT_EQ(userKey("dave", "Real Name"), "Dave D.");
}
