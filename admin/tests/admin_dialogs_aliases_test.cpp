// The alias manager and editor: entries of the settings object's alias list
// added, edited, renamed and deleted at once in memory, the editor's checks
// in their order, the domain warning, and nothing written to the settings
// file until the caller saves it.
#include <QComboBox>
#include <QLineEdit>

#include "DialogTestSupport.h"

using namespace dialogtest;

namespace {

class AliasesTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        for (const char* u : {"alice", "bob"}) makeUser(u);
        TMailListInformation list;
        ASSERT_TRUE(list.SaveToFile("club", true));
    }
};

TfrmAddEditAlias* ed() { return frmAddEditAlias; }

void ChooseUser(const QString& user) { ed()->lstUsers->setCurrentIndex(ed()->lstUsers->findText(user)); }

}  // namespace

TEST_F(AliasesTest, ADomainSpecificAliasIsAddedAfterTheWarning) {
    MessageBoxes boxes;
    TfrmManageAliases* m = frmManageAliases;
    WhenShown editor("frmAddEditAlias", [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "Add Alias");
        EXPECT_TRUE(ed()->txtAlias->isEnabled());
        EXPECT_EQ(Items(ed()->lstUsers), (QStringList{"alice", "bob"}));
        EXPECT_EQ(ed()->lstUsers->currentIndex(), -1);
        ed()->txtAlias->setText(" info@example.com ");
        ChooseUser("bob");
        Screenshot(w, "AddEditAlias");
        ed()->btnOK->click();
    });
    WhenShown manager("frmManageAliases", [&](QWidget*) {
        m->btnAdd->click();
        EXPECT_EQ(Items(m->lstList), QStringList{"info@example.com<==>bob"});
        Screenshot(m, "ManageAliases");
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(boxes.texts, QStringList{"Warning: You are making a domain specific Alias."});
    EXPECT_EQ(si().Aliases, std::vector<std::string>{"info@example.com<==>bob"});
}

TEST_F(AliasesTest, TheEditorChecksInItsOrder) {
    si().AddAlias("Sales", "alice");
    MessageBoxes boxes;
    struct Case {
        const char* id;
        const char* user;  // "" for none selected
        const char* message;
    } cases[] = {
        {"  ", "bob", "The Alias requires an ID"},
        {"x,y", "", "The Alias requires a User"},
        {"x,y", "bob", "The Alias ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"a:b", "bob", "The Alias ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"a[b]", "bob", "The Alias ID cannot contain ( ) < > @ , ; : \\ \" [ ]"},
        {"ALICE", "bob", "The Alias ID is already taken by a User."},
        {"Club", "bob", "The Alias ID is already taken by a Mail List."},
        {"sales", "bob", "The Alias already exists, please specify a different ID."},
    };
    WhenShown editor("frmAddEditAlias", [&](QWidget* w) {
        for (const Case& c : cases) {
            ed()->txtAlias->setText(c.id);
            if (*c.user)
                ChooseUser(c.user);
            else
                ed()->lstUsers->setCurrentIndex(-1);
            ed()->btnOK->click();
            EXPECT_EQ(boxes.last().toStdString(), c.message) << c.id;
            EXPECT_TRUE(w->isVisible()) << c.id;
        }
        ed()->btnCancel->click();
    });
    EXPECT_FALSE(ed()->AddAlias());
    EXPECT_EQ(boxes.texts.size(), static_cast<qsizetype>(std::size(cases)));
    EXPECT_EQ(si().Aliases, std::vector<std::string>{"Sales<==>alice"});
}

TEST_F(AliasesTest, EditChangesTheUserAndAStoredUserInAnotherCaseIsNotSelected) {
    si().Aliases = {"sales<==>alice", "help<==>Bob"};
    MessageBoxes boxes;
    {
        WhenShown first("frmAddEditAlias", [&](QWidget* w) {
            EXPECT_EQ(w->windowTitle(), "Edit Alias");
            EXPECT_FALSE(ed()->txtAlias->isEnabled());
            EXPECT_EQ(ed()->txtAlias->text(), "sales");
            EXPECT_EQ(ed()->lstUsers->currentText(), "alice");
            ChooseUser("bob");
            ed()->btnOK->click();
        });
        EXPECT_TRUE(ed()->EditAlias("sales<==>alice"));
    }
    EXPECT_EQ(si().Aliases, (std::vector<std::string>{"sales<==>bob", "help<==>Bob"}));

    WhenShown second("frmAddEditAlias", [&](QWidget*) {
        EXPECT_EQ(ed()->lstUsers->currentIndex(), -1) << "Bob is listed as bob";
        ed()->btnOK->click();
        EXPECT_EQ(boxes.last(), "The Alias requires a User");
        ed()->btnCancel->click();
    });
    EXPECT_FALSE(ed()->EditAlias("help<==>Bob"));
    EXPECT_EQ(si().Aliases[1], "help<==>Bob") << "Cancel changes nothing";
}

TEST_F(AliasesTest, EditingAnAliasDeletedMeanwhileClosesAsCancelled) {
    si().Aliases = {"sales<==>alice"};
    MessageBoxes boxes;
    WhenShown editor("frmAddEditAlias", [&](QWidget*) {
        si().DeleteAlias("sales");
        ed()->btnOK->click();
    });
    EXPECT_FALSE(ed()->EditAlias("sales<==>alice"));
    EXPECT_EQ(boxes.texts, QStringList{"The Alias must exist to be edited."});
    EXPECT_TRUE(si().Aliases.empty());
}

TEST_F(AliasesTest, RenameRefusesTheSeparatorAndTakenNamesAndIgnoresACaseChange) {
    si().Aliases = {"sales<==>alice", "help<==>bob"};
    InputBoxes input;
    MessageBoxes boxes;
    input.answers = {QString("sa<==>les"), QString("SALES"), std::nullopt, QString("sales@example.com"),
                     QString("help"), QString("club"), QString("orders")};
    TfrmManageAliases* m = frmManageAliases;
    WhenShown manager("frmManageAliases", [&](QWidget*) {
        for (int i = 0; i < 7; ++i) {
            SelectRows(m->lstList, {"sales<==>alice"});
            if (m->lstList->selectedItems().isEmpty()) SelectRows(m->lstList, {"orders<==>alice"});
            m->btnRename->click();
        }
        EXPECT_EQ(Items(m->lstList), (QStringList{"orders<==>alice", "help<==>bob"}));
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(input.captions.first(), "Rename Alias");
    EXPECT_EQ(input.prompts.first(), "Enter New Alias Name");
    EXPECT_EQ(input.defaults.first(), "sales") << "the alias ID alone";
    const QString refused = "Error: Cound not re-name.\r\nAliases must have a unique Name.";
    EXPECT_EQ(boxes.texts, (QStringList{"Alias cannot contain \"<==>\".", refused, refused, refused}));
    EXPECT_EQ(si().Aliases, (std::vector<std::string>{"orders<==>alice", "help<==>bob"}));
}

TEST_F(AliasesTest, DeletingTwoSelectedEntriesAsksOnceAndWritesNothingUntilTheSave) {
    si().Aliases = {"a1<==>alice", "a2<==>alice", "b1<==>bob"};
    si().SaveToIniFile();
    const std::string file = testsupport::readFile(si().IniFileName());
    MessageBoxes boxes;
    boxes.answers = {QMessageBox::Yes};
    TfrmManageAliases* m = frmManageAliases;
    WhenShown manager("frmManageAliases", [&](QWidget*) {
        SelectRows(m->lstList, {"a1<==>alice", "b1<==>bob"});
        m->btnDelete->click();
        EXPECT_EQ(Items(m->lstList), QStringList{"a2<==>alice"});
        m->btnClose->click();
    });
    m->exec();
    EXPECT_EQ(boxes.texts, QStringList{"Deleting alias(es) cannot be undone.  Proceed?"});
    EXPECT_EQ(si().Aliases, std::vector<std::string>{"a2<==>alice"});
    EXPECT_EQ(testsupport::readFile(si().IniFileName()), file);
    si().SaveToIniFile();  // what the main window does after the manager
    TServerInformation reread;
    reread.LoadFromIniFile();
    EXPECT_EQ(reread.Aliases, std::vector<std::string>{"a2<==>alice"});
}
