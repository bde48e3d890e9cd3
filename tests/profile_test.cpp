// Profile (INI) files: the Windows profile semantics the settings, user and
// list files rely on.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Profile.h"
#include "support/TestSupport.h"

using platform::Profile;

namespace {

Profile parsed(const std::string& text) {
    Profile p;
    p.parse(text);
    return p;
}

TEST(Profile, SectionsAndKeysIgnoreCaseAndSurroundingBlanks) {
    Profile p = parsed("[General]\r\nServer Name=mail.example\r\n[ Smtp Server ]\r\n  Listen Port =2525\r\n");
    EXPECT_EQ(p.readString("GENERAL", "server name"), "mail.example");
    EXPECT_EQ(p.readString("smtp server", "LISTEN PORT"), "2525");
    EXPECT_TRUE(p.valueExists("general", "SERVER NAME"));
    EXPECT_FALSE(p.valueExists("general", "Server"));
    EXPECT_FALSE(p.sectionExists("Smtp"));
}

TEST(Profile, ValuesAreReadExactlyAsWritten) {
    Profile p = parsed("[S]\nA= padded \nB=\"quoted\"\nC=x=y\nD=\n");
    EXPECT_EQ(p.readString("S", "A"), " padded ");
    EXPECT_EQ(p.readString("S", "B"), "\"quoted\"");
    EXPECT_EQ(p.readString("S", "C"), "x=y");
    EXPECT_EQ(p.readString("S", "D", "default"), "");
    EXPECT_EQ(p.readString("S", "E", "default"), "default");
    EXPECT_EQ(p.readString("T", "A", "default"), "default");
}

TEST(Profile, EightBitBytesSurvive) {
    Profile p;
    std::string value = "caf\xE9 \xC3\xA9\x01\x7F";
    p.writeString("S", "K", value);
    Profile q = parsed(p.text());
    EXPECT_EQ(q.readString("S", "K"), value);
}

TEST(Profile, LfAndCrLfAreReadAndCrLfIsWritten) {
    Profile p = parsed("[A]\nx=1\r\ny=2\n[B]\r\nz=3");
    EXPECT_EQ(p.readString("A", "x"), "1");
    EXPECT_EQ(p.readString("A", "y"), "2");
    EXPECT_EQ(p.readString("B", "z"), "3");
    EXPECT_EQ(p.text(), "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");
}

TEST(Profile, FirstOfDuplicateKeysAndSectionsIsRead) {
    Profile p = parsed("[A]\nk=first\nK=second\n[a]\nk=third\n");
    EXPECT_EQ(p.readString("A", "k"), "first");
    p.writeString("A", "k", "new");
    EXPECT_EQ(p.text(), "[A]\r\nk=new\r\nK=second\r\n[a]\r\nk=third\r\n");
}

TEST(Profile, WritingKeepsEveryOtherLine) {
    Profile p = parsed(
        "; comment\n[General]\nServer Name=old\nCustom=keep me\n\n[Other]\nx=1\n");
    p.writeString("general", "SERVER NAME", "new");
    p.writeString("General", "Added", "2");
    p.writeString("Brand New", "k", "v");
    EXPECT_EQ(p.text(),
              "; comment\r\n[General]\r\nServer Name=new\r\nCustom=keep me\r\nAdded=2\r\n\r\n"
              "[Other]\r\nx=1\r\n\r\n[Brand New]\r\nk=v\r\n");
}

TEST(Profile, IntegersFollowTheSystemRule) {
    struct Row {
        const char* text;
        int expected;  // with default -7
    } rows[] = {
        {"12", 12},          {"  12", 12},         {"12 ", -7},     {"+12", 12},
        {"-12", -12},        {"$1F", 31},          {"0x1f", 31},    {"0X1F", 31},
        {"x10", 16},         {"X10", 16},          {"-$10", -16},   {"", -7},
        {"   ", -7},         {"1.5", -7},          {"abc", -7},     {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},          {"2147483648", -7},
        {"$80000000", -7},   {"0x", -7},           {"$", -7},       {"12abc", -7},
    };
    for (const Row& r : rows) {
        Profile p;
        p.writeString("S", "K", r.text);
        EXPECT_EQ(p.readInteger("S", "K", -7), r.expected) << "text \"" << r.text << "\"";
    }
    Profile empty;
    EXPECT_EQ(empty.readInteger("S", "missing", 42), 42);
}

TEST(Profile, BooleansAreOneAndZeroAndReadAsIntegers) {
    Profile p;
    p.writeBool("S", "T", true);
    p.writeBool("S", "F", false);
    p.writeString("S", "Two", "2");
    p.writeString("S", "Junk", "yes");
    EXPECT_EQ(p.readString("S", "T"), "1");
    EXPECT_EQ(p.readString("S", "F"), "0");
    EXPECT_TRUE(p.readBool("S", "T", false));
    EXPECT_FALSE(p.readBool("S", "F", true));
    EXPECT_TRUE(p.readBool("S", "Two", false));
    EXPECT_TRUE(p.readBool("S", "Junk", true));
    EXPECT_FALSE(p.readBool("S", "Junk", false));
}

TEST(Profile, EraseSectionRemovesEveryCopyAndItsLines) {
    Profile p = parsed("[Keep]\na=1\n[List]\n0=x\n1=y\n\n[keep2]\nb=2\n[LIST]\n5=z\n");
    p.eraseSection("list");
    EXPECT_FALSE(p.sectionExists("List"));
    EXPECT_EQ(p.text(), "[Keep]\r\na=1\r\n[keep2]\r\nb=2\r\n");
}

TEST(Profile, SectionValuesComeInFileOrder) {
    Profile p = parsed("[L]\n7=seven\n; note\n0=zero\nnot a pair\n3=a=b\n[M]\n1=other\n");
    EXPECT_EQ(p.sectionValues("l"), (std::vector<std::string>{"7=seven", "0=zero", "3=a=b"}));
    EXPECT_TRUE(p.sectionValues("absent").empty());
    EXPECT_EQ(p.sections(), (std::vector<std::string>{"L", "M"}));
}

TEST(Profile, WritesThatWouldBreakTheFileAreRefused) {
    Profile p = parsed("[S]\nk=v\n");
    const std::string before = p.text();
    EXPECT_THROW(p.writeString("S", "k", "two\nlines"), std::invalid_argument);
    EXPECT_THROW(p.writeString("S", "a=b", "v"), std::invalid_argument);
    EXPECT_THROW(p.writeString("S", "", "v"), std::invalid_argument);
    EXPECT_THROW(p.writeString("S", "[x", "v"), std::invalid_argument);
    EXPECT_THROW(p.writeString("S]", "k", "v"), std::invalid_argument);
    EXPECT_THROW(p.writeString("", "k", "v"), std::invalid_argument);
    EXPECT_EQ(p.text(), before);
    // A lone CR inside a value is no line end and reads back as it was.
    p.writeString("S", "k", "a\rb\r");
    EXPECT_EQ(parsed(p.text()).readString("S", "k"), "a\rb\r");
}

TEST(Profile, LoadAndSaveFiles) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "x.ini";
    Profile p;
    EXPECT_TRUE(p.load(path));  // a missing file reads as empty
    EXPECT_TRUE(p.sections().empty());
    p.writeString("S", "k", "v");
    ASSERT_TRUE(p.save(path));
    EXPECT_EQ(testsupport::readFile(path), "[S]\r\nk=v\r\n");
    Profile q;
    ASSERT_TRUE(q.load(path));
    EXPECT_EQ(q.readString("S", "k"), "v");

    // A folder where the file should be cannot be read, and is no empty file.
    Profile r;
    EXPECT_FALSE(r.load(dir.path()));
}

}  // namespace
