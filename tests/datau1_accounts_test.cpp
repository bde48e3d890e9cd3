// The account directory: users, mailing lists and aliases in one name space.
#include <filesystem>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "support/DataFixture.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;
using Strings = std::vector<std::string>;

namespace {

class Accounts : public testsupport::DataFixture {
protected:
    std::string box() { return si().MailBoxPath; }
};

TEST(AccountNames, Checks) {
    struct Row {
        const char* name;
        bool account, alias;
    } rows[] = {{"bob", true, true},      {"b.o.b", true, true},   {"", true, true},
                {"bob@x.org", false, true}, {"a;b", false, false}, {"a,b", false, false},
                {"a:b", false, false},    {"a\\b", false, false},  {"a\"b", false, false},
                {"(a)", false, false},    {"<a>", false, false},   {"[a]", false, false},
                {"a b", true, true},      {"a/b", true, true}};
    for (const Row& r : rows) {
        EXPECT_EQ(IsValidAccountName(r.name), r.account) << r.name;
        EXPECT_EQ(IsValidAliasID(r.name), r.alias) << r.name;
    }
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "*", "b?b", ".tmp:", ".TMP:"})
        EXPECT_FALSE(IsUsableAccountName(bad)) << bad;
    EXPECT_FALSE(IsUsableAccountName(std::string("a\0b", 3)));
    for (const char* good : {"bob", "...", ".bob", "a b", "x.ini", "tmp:"})
        EXPECT_TRUE(IsUsableAccountName(good)) << good;
}

// The one rule for a name a user or list is made with.
TEST(AccountNames, MadeOnlyWithAccountNames) {
    for (const std::string& bad : {std::string(".bob"), std::string("..."), std::string("x.ini"), std::string("X.INI"), std::string("a\0b", 3), std::string("\x01x"),
                                  std::string("a\x7f"), std::string("a\nb"), std::string("a@b"), std::string("")})
        EXPECT_FALSE(IsAccountName(bad)) << bad;
    for (const char* good : {"bob", "b.o.b", "a b", "x.ini2", "x.ini.d"}) EXPECT_TRUE(IsAccountName(good)) << good;
}

TEST_F(Accounts, NamesThatAreNoAccountNamesAreNotMade) {
    for (const char* bad : {".bob", "x.ini", "a\x01b"}) {
        EXPECT_FALSE(si().CreateUser(bad)) << bad;
        EXPECT_FALSE(si().CreateMailList(bad)) << bad;
        EXPECT_FALSE(fs::exists(box() + bad)) << bad;
    }
    ASSERT_TRUE(si().CreateUser("bob"));
    EXPECT_FALSE(si().RenameUser("bob", ".bob"));
    EXPECT_TRUE(si().UserExists("bob"));
}

TEST_F(Accounts, UsersAreFoldersFoundWithoutRegardToCase) {
    EXPECT_FALSE(si().UserExists("bob"));
    ASSERT_TRUE(si().CreateUser("Bob"));
    EXPECT_TRUE(fs::is_directory(box() + "Bob/BAK"));
    EXPECT_TRUE(fs::is_regular_file(box() + "Bob/Bob.ini"));
    EXPECT_TRUE(si().UserExists("bob"));
    EXPECT_TRUE(si().UserExists("BOB"));
    EXPECT_TRUE(si().UserInfoFileExists("bOb"));
    EXPECT_EQ(si().UserFolder("BOB"), box() + "Bob/");
    EXPECT_EQ(si().UserFolder("amy"), box() + "amy/");
    EXPECT_TRUE(si().CreateUser("BOB"));  // exists already
    EXPECT_FALSE(fs::exists(box() + "BOB"));

    fs::create_directory(box() + "amy");  // a folder without its record
    EXPECT_TRUE(si().UserExists("amy"));
    EXPECT_FALSE(si().UserInfoFileExists("amy"));
    EXPECT_TRUE(si().CreateUser("amy"));
    EXPECT_FALSE(si().UserInfoFileExists("amy"));  // not repaired
}

TEST_F(Accounts, NamesThatNameNoAccountNeverReachTheFileSystem) {
    fs::create_directories(base() + "outside");
    for (const char* name : {"", ".", "..", "../outside", "a/b", ".tmp:", "*", "b?b"}) {
        EXPECT_FALSE(si().UserExists(name)) << name;
        EXPECT_FALSE(si().UserInfoFileExists(name)) << name;
        EXPECT_FALSE(si().CreateUser(name)) << name;
        EXPECT_FALSE(si().MailListExists(name)) << name;
        EXPECT_FALSE(si().CreateMailList(name)) << name;
        EXPECT_FALSE(si().DeleteMailList(name)) << name;
        EXPECT_FALSE(si().DeleteUser(name)) << name;
        EXPECT_EQ(si().UserFolder(name), "") << name;
    }
    EXPECT_TRUE(fs::is_directory(base() + "outside"));
    EXPECT_TRUE(fs::is_directory(box()));
    ASSERT_TRUE(si().CreateUser("bob"));
    EXPECT_FALSE(si().RenameUser("bob", "../outside2"));
    EXPECT_FALSE(si().RenameUser("bob", ""));
    EXPECT_FALSE(si().RenameUser("..", "fred"));
    EXPECT_TRUE(si().UserExists("bob"));
}

TEST_F(Accounts, GetUsersAndGetMailLists) {
    fs::create_directory(box() + "Bob");
    fs::create_directory(box() + "amy");
    writeFile(box() + "readme", "");
    writeFile(box() + "Club.ini", "");
    writeFile(box() + ".hidden", "");
    fs::create_directory(box() + ".tmp:");
    Strings users;
    si().GetUsers(users);
    EXPECT_EQ(users, (Strings{"amy", "bob", "readme"}));
    Strings lists{"stale"};
    si().GetMailLists(lists);
    EXPECT_EQ(lists, Strings{"club"});
    EXPECT_TRUE(si().MailListExists("CLUB"));

    fs::remove_all(box());
    si().GetUsers(users);
    si().GetMailLists(lists);
    EXPECT_TRUE(users.empty());
    EXPECT_TRUE(lists.empty());
}

TEST_F(Accounts, DeleteUserRemovesFilesFolderAndAliases) {
    ASSERT_TRUE(si().CreateUser("bob"));
    TPop3UserInformation u;
    u.UserName = "bob";
    u.StoreMessage("x", {"m"});
    writeFile(box() + "bob/BAK/copy.txt", "c");
    si().Aliases = {"a<==>bob", "b<==>BOB", "c<==>bobby", "d<==>amy"};
    EXPECT_TRUE(si().DeleteUser("Bob"));
    EXPECT_FALSE(fs::exists(box() + "bob"));
    EXPECT_EQ(si().Aliases, (Strings{"c<==>bobby", "d<==>amy"}));
    si().Aliases.push_back("e<==>ghost");
    EXPECT_TRUE(si().DeleteUser("ghost"));  // no folder: aliases only
    EXPECT_EQ(si().Aliases.size(), 2u);
}

TEST_F(Accounts, RenameUser) {
    ASSERT_TRUE(si().CreateUser("bob"));
    si().Aliases = {"sales<==>bob", "help<==>BOB", "x<==>amy"};
    EXPECT_TRUE(si().RenameUser("bob", "Bob"));  // only the case differs: nothing done
    EXPECT_TRUE(fs::exists(box() + "bob"));
    EXPECT_FALSE(si().RenameUser("bob", "sales"));   // an alias
    EXPECT_FALSE(si().RenameUser("bob", "SALES"));
    EXPECT_FALSE(si().RenameUser("bob", "rob@x"));   // invalid character
    ASSERT_TRUE(si().CreateMailList("club"));
    EXPECT_FALSE(si().RenameUser("bob", "Club"));    // a mailing list
    ASSERT_TRUE(si().CreateUser("amy"));
    EXPECT_FALSE(si().RenameUser("bob", "AMY"));     // a user

    EXPECT_TRUE(si().RenameUser("BOB", "rob"));
    EXPECT_FALSE(fs::exists(box() + "bob"));
    EXPECT_TRUE(fs::is_regular_file(box() + "rob/rob.ini"));
    EXPECT_FALSE(fs::exists(box() + "rob/bob.ini"));
    EXPECT_EQ(si().Aliases, (Strings{"sales<==>rob", "help<==>rob", "x<==>amy"}));

    // A folder without its record: the folder moves, the result says the
    // record did not.
    fs::create_directory(box() + "zed");
    si().Aliases.push_back("z<==>zed");
    EXPECT_FALSE(si().RenameUser("zed", "zoe"));
    EXPECT_TRUE(fs::is_directory(box() + "zoe"));
    EXPECT_EQ(si().Aliases.back(), "z<==>zoe");
    EXPECT_FALSE(si().RenameUser("nobody", "somebody"));
}

TEST_F(Accounts, MailLists) {
    EXPECT_FALSE(si().DeleteMailList("club"));
    ASSERT_TRUE(si().CreateMailList("Club"));
    ASSERT_TRUE(fs::exists(si().MailingListPath + "Club.ini"));
    TMailListInformation l;
    ASSERT_TRUE(l.LoadFromFile("club"));
    EXPECT_TRUE(l.AllowOpenSubscription);
    l.AddMember(true, false, "a@b");
    ASSERT_TRUE(l.SaveToFile("club", false));
    std::string before = readFile(si().MailingListPath + "Club.ini");
    EXPECT_TRUE(si().CreateMailList("CLUB"));  // exists: file unchanged
    EXPECT_EQ(readFile(si().MailingListPath + "Club.ini"), before);

    si().Aliases = {"sales<==>bob"};
    ASSERT_TRUE(si().CreateUser("bob"));
    EXPECT_TRUE(si().RenameMailList("club", "CLUB"));
    EXPECT_FALSE(si().RenameMailList("club", "sales"));
    EXPECT_FALSE(si().RenameMailList("club", "bob"));
    EXPECT_FALSE(si().RenameMailList("club", "a;b"));
    EXPECT_FALSE(si().RenameMailList("nolist", "other"));
    EXPECT_TRUE(si().RenameMailList("club", "chess"));
    EXPECT_TRUE(si().MailListExists("chess"));
    EXPECT_FALSE(si().MailListExists("club"));
    EXPECT_EQ(readFile(si().MailingListPath + "chess.ini"), before);
    EXPECT_TRUE(si().DeleteMailList("CHESS"));
    EXPECT_FALSE(si().MailListExists("chess"));
}

TEST_F(Accounts, AliasSplitAndLookup) {
    std::string id, user;
    TServerInformation::SplitAlias("sales<==>bob<==>extra", id, user);
    EXPECT_EQ(id, "sales");
    EXPECT_EQ(user, "bob<==>extra");
    TServerInformation::SplitAlias("plain", id, user);
    EXPECT_EQ(id, "plain");
    EXPECT_EQ(user, "");

    EXPECT_TRUE(si().AddAlias("sales", "bob"));
    EXPECT_TRUE(si().AliasExists("SALES"));
    EXPECT_TRUE(si().AliasExists("Sales<==>whoever"));
    EXPECT_FALSE(si().AddAlias("Sales", "amy"));
    EXPECT_TRUE(si().AddAlias("info@example.org", "amy"));
    std::string entry = "stale";
    EXPECT_TRUE(si().FindAlias("INFO@example.org", entry));
    EXPECT_EQ(entry, "info@example.org<==>amy");
    EXPECT_FALSE(si().FindAlias("info", entry));
    EXPECT_EQ(entry, "");
    Strings all;
    si().GetAliases(all);
    EXPECT_EQ(all, (Strings{"sales<==>bob", "info@example.org<==>amy"}));
}

TEST_F(Accounts, AliasChanges) {
    si().Aliases = {"sales<==>bob", "SALES<==>amy", "help<==>bob"};
    EXPECT_TRUE(si().SetAliasUser("Sales", "rob"));
    EXPECT_EQ(si().Aliases, (Strings{"Sales<==>rob", "Sales<==>rob", "help<==>bob"}));
    EXPECT_FALSE(si().SetAliasUser("nothere", "rob"));

    EXPECT_FALSE(si().RenameAlias("sales", "Sales"));  // its own ID is taken
    EXPECT_FALSE(si().RenameAlias("sales", "help"));
    EXPECT_FALSE(si().RenameAlias("sales", "orders@x.org"));
    EXPECT_FALSE(si().RenameAlias("sales", ""));
    ASSERT_TRUE(si().CreateUser("amy"));
    EXPECT_FALSE(si().RenameAlias("sales", "Amy"));
    EXPECT_TRUE(si().RenameAlias("sales", "orders"));
    EXPECT_EQ(si().Aliases, (Strings{"orders<==>rob", "orders<==>rob", "help<==>bob"}));
    EXPECT_TRUE(si().RenameAlias("missing", "fresh"));  // nothing to rename, still true

    si().DeleteAlias("ORDERS<==>anything");
    EXPECT_EQ(si().Aliases, Strings{"help<==>bob"});
}

}  // namespace
