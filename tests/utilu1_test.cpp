#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/UtilU1.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Days since 1899-12-30 of a civil date (proleptic Gregorian) plus the time.
double encodeDateTime(int y, int m, int d, int hh, int mm, int ss) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long daysSince1970 = static_cast<long>(era) * 146097 + doe - 719468;
    return 25569.0 + static_cast<double>(daysSince1970) + (hh * 3600 + mm * 60 + ss) / 86400.0;
}

// --- integer text rule -----------------------------------------------------

struct IntCase {
    const char* name;
    std::string text;
    std::int32_t expected;  // with default -7
};

class IntegerText : public ::testing::TestWithParam<IntCase> {};
TEST_P(IntegerText, Converts) { EXPECT_EQ(StrToIntDefault(GetParam().text, -7), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(
    Table, IntegerText,
    ::testing::Values(IntCase{"plain", "12", 12}, IntCase{"leading_blank", " 12", 12},
                      IntCase{"trailing_blank", "12 ", -7}, IntCase{"leading_tab", "\t12", -7},
                      IntCase{"plus", "+12", 12}, IntCase{"minus", "-12", -12},
                      IntCase{"blank_after_sign", "- 12", -7}, IntCase{"leading_zeros", "007", 7},
                      IntCase{"dollar_hex", "$1F", 31}, IntCase{"x_hex", "x1f", 31}, IntCase{"X_hex", "X1F", 31},
                      IntCase{"0x_hex", "0x1F", 31}, IntCase{"0X_hex", "0X1f", 31},
                      IntCase{"negative_hex", "-$10", -16}, IntCase{"hex_letters_without_prefix", "1F", -7},
                      IntCase{"prefix_only", "$", -7}, IntCase{"0x_only", "0x", -7},
                      IntCase{"sign_only", "+", -7}, IntCase{"empty", "", -7}, IntCase{"blanks", "   ", -7},
                      IntCase{"exponent", "1e3", -7}, IntCase{"decimal_point", "1.0", -7},
                      IntCase{"max", "2147483647", 2147483647}, IntCase{"over_max", "2147483648", -7},
                      IntCase{"min", "-2147483648", INT32_MIN}, IntCase{"under_min", "-2147483649", -7},
                      IntCase{"hex_max", "$7FFFFFFF", 2147483647}, IntCase{"hex_unsigned", "$FFFFFFFF", -7},
                      IntCase{"very_long", "99999999999999999999999", -7},
                      IntCase{"zero", "0", 0}, IntCase{"embedded_nul", std::string("1\0", 2), -7}),
    [](const ::testing::TestParamInfo<IntCase>& info) { return std::string(info.param.name); });

TEST(IntegerText, TryLeavesOutputAloneOnFailure) {
    std::int32_t v = 99;
    EXPECT_FALSE(TryStrToInt("12x", v));
    EXPECT_EQ(v, 99);
    EXPECT_TRUE(TryStrToInt("-0", v));
    EXPECT_EQ(v, 0);
}

// --- date and time texts ---------------------------------------------------

TEST(DateTexts, DayAndMonthNames) {
    EXPECT_EQ(DayName(1), "Sun");
    EXPECT_EQ(DayName(7), "Sat");
    EXPECT_EQ(DayName(0), "");
    EXPECT_EQ(DayName(8), "");
    EXPECT_EQ(MonthName(1), "Jan");
    EXPECT_EQ(MonthName(12), "Dec");
    EXPECT_EQ(MonthName(0), "");
    EXPECT_EQ(MonthName(13), "");
}

struct ZoneCase {
    const char* name;
    long offsetSeconds;
    const char* text;
};
class ZoneText : public ::testing::TestWithParam<ZoneCase> {};
TEST_P(ZoneText, Written) { EXPECT_EQ(TimeZoneText(GetParam().offsetSeconds), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(Table, ZoneText,
                         ::testing::Values(ZoneCase{"utc", 0, "+00:00 "}, ZoneCase{"east_1", 3600, "+01:00 "},
                                           ZoneCase{"west_5", -5 * 3600, "-05:00 "},
                                           ZoneCase{"east_5_30", 5 * 3600 + 1800, "+05:30 "},
                                           ZoneCase{"west_10", -10 * 3600, "-10:00 "},
                                           ZoneCase{"west_half_hour_only", -1800, "-00:30 "},
                                           ZoneCase{"east_12_45", 12 * 3600 + 2700, "+12:45 "},
                                           ZoneCase{"west_3_30", -(3 * 3600 + 1800), "-03:30 "}),
                         [](const ::testing::TestParamInfo<ZoneCase>& info) { return std::string(info.param.name); });

TEST(DateTexts, ReceivedLineDate) {
    EXPECT_EQ(DateTimeText(encodeDateTime(2026, 12, 8, 6, 45, 9), 3600), "Tue, 8 Dec 2026 06:45:09 +01:00 ");
    EXPECT_EQ(DateTimeText(encodeDateTime(2025, 3, 1, 0, 0, 0), -18000), "Sat, 1 Mar 2025 00:00:00 -05:00 ");
    EXPECT_EQ(DateTimeText(encodeDateTime(2024, 2, 29, 23, 59, 59), 0), "Thu, 29 Feb 2024 23:59:59 +00:00 ");
}

// The fraction of a second is dropped, never rounded: 23:59:59.6 is today.
TEST(DateTexts, FractionOfASecondIsDropped) {
    const double lastSecond = encodeDateTime(2026, 12, 31, 23, 59, 59);
    EXPECT_EQ(DateTimeText(lastSecond + 0.6 / 86400.0, 0), "Thu, 31 Dec 2026 23:59:59 +00:00 ");
    EXPECT_EQ(DateTimeText(lastSecond + 0.999 / 86400.0, 0), "Thu, 31 Dec 2026 23:59:59 +00:00 ");
    EXPECT_EQ(DateTimeText(lastSecond + 1.0 / 86400.0, 0), "Fri, 1 Jan 2027 00:00:00 +00:00 ");
}

TEST(DateTexts, ReceivedDateOfNowUsesTheInjectedClock) {
    const double t = encodeDateTime(2026, 12, 8, 6, 45, 9);
    platform::setNowOverride(t);
    const std::string text = DateTimeText();
    platform::setNowOverride(std::nullopt);
    EXPECT_EQ(text.rfind("Tue, 8 Dec 2026 06:45:09 ", 0), 0u) << text;
    EXPECT_EQ(text.size(), std::string("Tue, 8 Dec 2026 06:45:09 +00:00 ").size()) << text;
    EXPECT_EQ(text.back(), ' ');
}

TEST(DateTexts, SystemShortDateAndLongTime) {
    // The formats come from the environment's LC_TIME, opened on first use.
    setenv("LC_ALL", "C", 1);
    const double t = encodeDateTime(2026, 12, 8, 6, 45, 9);
    EXPECT_EQ(DateToStr(t), "12/08/26");
    EXPECT_EQ(TimeToStr(t), "06:45:09");
}

// --- random generator and queue names --------------------------------------

TEST(RandomGenerator, RangeAndReproducibility) {
    RandSeed(1234);
    std::vector<std::int32_t> first;
    for (int i = 0; i < 1000; ++i) {
        std::int32_t n = Random(10);
        ASSERT_GE(n, 0);
        ASSERT_LT(n, 10);
        first.push_back(n);
    }
    RandSeed(1234);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(Random(10), first[i]);
    EXPECT_EQ(Random(0), 0);
    EXPECT_EQ(Random(-5), 0);
    EXPECT_EQ(Random(1), 0);
}

TEST(QueueNames, FreshFolderIsCreatedAndNameIsDecimal) {
    TempDir tmp;
    const std::string folder = tmp.path() + "a/b/queue";  // no trailing "/"
    RandSeed(99);
    const std::string name = UniqueFileName(folder);
    EXPECT_TRUE(fs::is_directory(folder));
    ASSERT_FALSE(name.empty());
    EXPECT_TRUE(IsAllDigits(name));
    EXPECT_TRUE(name == "0" || name[0] != '0') << name;
    EXPECT_LT(std::stoi(name), 99999);
}

TEST(QueueNames, TakenNumbersAreSkippedWhateverTheirExtension) {
    TempDir tmp;
    const std::string folder = tmp.path() + "q";
    RandSeed(5);
    const std::string n1 = UniqueFileName(folder);
    for (const std::string& taken : {n1 + ".txt", n1 + ".tmp.bak", n1}) {
        RandSeed(5);
        if (taken == n1)
            fs::create_directory(folder + "/" + taken);  // a folder of that name takes it too
        else
            writeFile(folder + "/" + taken, "");
        EXPECT_NE(UniqueFileName(folder), n1) << taken;
        fs::remove_all(folder + "/" + taken);
    }
    // Beside the folder does not count: the search is inside it.
    writeFile(tmp.path() + "q" + n1 + ".txt", "");
    RandSeed(5);
    EXPECT_EQ(UniqueFileName(folder), n1);
    // Names that merely start with the digits do not count either.
    writeFile(folder + "/" + n1 + "0.txt", "");
    writeFile(folder + "/0" + n1 + ".txt", "");
    RandSeed(5);
    EXPECT_EQ(UniqueFileName(folder + "/"), n1);
}

TEST(QueueNames, SearchEndsInANearlyFullAndAFullFolder) {
    TempDir tmp;
    const std::string folder = tmp.path() + "full/";
    fs::create_directories(folder);
    for (int n = 0; n < 99999; ++n) {
        if (n == 4321) continue;
        int fd = ::open((folder + std::to_string(n) + ".txt").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    EXPECT_EQ(UniqueFileName(folder), "4321");
    writeFile(folder + "4321.txt", "");
    EXPECT_EQ(UniqueFileName(folder), "");
}

// --- DNS servers ------------------------------------------------------------

struct ResolvCase {
    const char* name;
    std::string content;
    std::vector<std::string> servers;
};
class ResolvConf : public ::testing::TestWithParam<ResolvCase> {};
TEST_P(ResolvConf, NameServersInOrder) {
    TempDir tmp;
    writeFile(tmp.path() + "resolv.conf", GetParam().content);
    std::vector<std::string> list = {"stale"};
    GetDNSServersFromResolvConf(tmp.path() + "resolv.conf", list);
    EXPECT_EQ(list, GetParam().servers);
}
INSTANTIATE_TEST_SUITE_P(
    Table, ResolvConf,
    ::testing::Values(
        ResolvCase{"two_lines", "nameserver 10.0.0.1\nnameserver 10.0.0.2\n", {"10.0.0.1", "10.0.0.2"}},
        ResolvCase{"other_lines_and_comments",
                   "# nameserver 9.9.9.9\n; nameserver 8.8.8.8\nsearch example\noptions ndots:1\n"
                   "nameserver 1.1.1.1\ndomain x\n",
                   {"1.1.1.1"}},
        ResolvCase{"comma_separated", "nameserver 1.1.1.1,8.8.8.8\n", {"1.1.1.1", "8.8.8.8"}},
        ResolvCase{"blank_separated", "nameserver 1.1.1.1 8.8.8.8\n", {"1.1.1.1", "8.8.8.8"}},
        ResolvCase{"comma_and_blank_give_empty_entry", "nameserver 1.1.1.1, 8.8.8.8\n", {"1.1.1.1", "", "8.8.8.8"}},
        ResolvCase{"tab_after_keyword_and_crlf", "nameserver\t10.1.1.1\r\n  nameserver 10.1.1.2  \r\n",
                   {"10.1.1.1", "10.1.1.2"}},
        ResolvCase{"keyword_must_stand_alone", "nameservers 1.2.3.4\nnameserver\n", {}},
        ResolvCase{"duplicates_kept", "nameserver 1.1.1.1\nnameserver 1.1.1.1\n", {"1.1.1.1", "1.1.1.1"}},
        ResolvCase{"ipv6_offered_as_is", "nameserver ::1\n", {"::1"}},
        ResolvCase{"no_final_newline", "nameserver 127.0.0.53", {"127.0.0.53"}}),
    [](const ::testing::TestParamInfo<ResolvCase>& info) { return std::string(info.param.name); });

TEST(ResolvConf, MissingFileGivesEmptyList) {
    std::vector<std::string> list = {"stale"};
    GetDNSServersFromResolvConf("/nonexistent/resolv.conf", list);
    EXPECT_TRUE(list.empty());
}

TEST(ResolvConf, RegistryValueSplitRule) {
    std::vector<std::string> list;
    SplitNameServerValue("a ,b", ", ", list);  // the part before a separator is trimmed
    EXPECT_EQ(list, (std::vector<std::string>{"a", "", "b"}));
    list.clear();
    SplitNameServerValue("a b,", ", ", list);  // the rest after the last one is kept as it is
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b", ""}));
    list.clear();
    SplitNameServerValue("a,b c", " ", list);  // the DHCP value splits at blanks only
    EXPECT_EQ(list, (std::vector<std::string>{"a,b", "c"}));
    list.clear();
    SplitNameServerValue("", ", ", list);
    EXPECT_TRUE(list.empty());
}

// --- file sizes -------------------------------------------------------------

TEST(FileSize, OfFilesAndOfWhatIsNoReadableFile) {
    TempDir tmp;
    writeFile(tmp.path() + "empty", "");
    writeFile(tmp.path() + "five", "12345");
    fs::create_directory(tmp.path() + "folder");
    fs::create_symlink(tmp.path() + "five", tmp.path() + "link");
    ASSERT_EQ(::mkfifo((tmp.path() + "fifo").c_str(), 0600), 0);
    EXPECT_EQ(FileSizeByName(tmp.path() + "empty"), 0);
    EXPECT_EQ(FileSizeByName(tmp.path() + "five"), 5);
    EXPECT_EQ(FileSizeByName(tmp.path() + "link"), 5);
    EXPECT_EQ(FileSizeByName(tmp.path() + "missing"), -1);
    EXPECT_EQ(FileSizeByName(tmp.path() + "folder"), -1);
    EXPECT_EQ(FileSizeByName(tmp.path() + "fifo"), -1);  // and does not block on it
    EXPECT_EQ(FileSizeByName(""), -1);
}

TEST(FileSize, UnreadableFileGivesMinusOne) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the super-user";
    TempDir tmp;
    writeFile(tmp.path() + "locked", "abc");
    ::chmod((tmp.path() + "locked").c_str(), 0);
    EXPECT_EQ(FileSizeByName(tmp.path() + "locked"), -1);
}

// --- file operations ---------------------------------------------------------

class FileOps : public ::testing::Test {
protected:
    std::string p(const std::string& rel) const { return tmp.path() + rel; }
    bool has(const std::string& rel) const {
        std::error_code ec;
        return fs::exists(fs::symlink_status(p(rel), ec));
    }
    TempDir tmp;
};

TEST_F(FileOps, DeleteInAnyLetterCase) {
    for (const char* op : {"DELETE", "delete", "Delete"}) {
        writeFile(p("f.txt"), "x");
        EXPECT_TRUE(FileOperation(p("f.txt"), "", op)) << op;
        EXPECT_FALSE(has("f.txt")) << op;
    }
}

TEST_F(FileOps, DeleteFolderWithEverythingInIt) {
    fs::create_directories(p("user/BAK"));
    writeFile(p("user/user.ini"), "[x]\r\n");
    writeFile(p("user/BAK/20260101-000000.txt"), "m");
    EXPECT_TRUE(FileOperation(p("user/"), "", "DELETE"));
    EXPECT_FALSE(has("user"));
}

TEST_F(FileOps, DeleteOfALinkLeavesItsTarget) {
    fs::create_directory(p("real"));
    writeFile(p("real/keep"), "k");
    fs::create_directory_symlink(p("real"), p("link"));
    EXPECT_TRUE(FileOperation(p("link"), "", "DELETE"));
    EXPECT_FALSE(has("link"));
    EXPECT_TRUE(has("real/keep"));
}

TEST_F(FileOps, FailuresAreFalse) {
    writeFile(p("keep"), "k");
    EXPECT_FALSE(FileOperation(p("missing"), "", "DELETE"));
    EXPECT_FALSE(FileOperation("", "", "DELETE"));
    EXPECT_FALSE(FileOperation(p("keep"), p("other"), "ERASE"));
    EXPECT_FALSE(FileOperation(p("keep"), "", "COPY"));
    EXPECT_FALSE(FileOperation(p("keep"), "", "MOVE"));
    EXPECT_FALSE(FileOperation(p("keep"), "", "RENAME"));
    EXPECT_FALSE(FileOperation(p("missing"), p("x"), "RENAME"));
    EXPECT_EQ(readFile(p("keep")), "k");
}

TEST_F(FileOps, RenameFileAndFolder) {
    fs::create_directory(p("Old"));
    writeFile(p("Old/Old.ini"), "u");
    EXPECT_TRUE(FileOperation(p("Old"), p("new"), "RENAME"));
    EXPECT_TRUE(FileOperation(p("new/Old.ini"), p("new/new.ini"), "rename"));
    EXPECT_FALSE(has("Old"));
    EXPECT_EQ(readFile(p("new/new.ini")), "u");
}

TEST_F(FileOps, RenameNeverReplacesAnExistingEntry) {
    writeFile(p("a.ini"), "a");
    writeFile(p("b.ini"), "b");
    fs::create_directory(p("dirA"));
    fs::create_directory(p("dirB"));  // empty: POSIX rename alone would replace it
    EXPECT_FALSE(FileOperation(p("a.ini"), p("b.ini"), "RENAME"));
    EXPECT_FALSE(FileOperation(p("dirA"), p("dirB"), "RENAME"));
    EXPECT_EQ(readFile(p("a.ini")), "a");
    EXPECT_EQ(readFile(p("b.ini")), "b");
    EXPECT_TRUE(has("dirA"));
}

TEST_F(FileOps, CopyFileFolderAndIntoFolder) {
    writeFile(p("m.txt"), "msg");
    fs::create_directories(p("tree/sub"));
    writeFile(p("tree/sub/x"), "x");
    fs::create_directory(p("into"));
    EXPECT_TRUE(FileOperation(p("m.txt"), p("copy.txt"), "COPY"));
    EXPECT_TRUE(FileOperation(p("m.txt"), p("into"), "COPY"));
    EXPECT_TRUE(FileOperation(p("tree"), p("tree2"), "COPY"));
    EXPECT_EQ(readFile(p("copy.txt")), "msg");
    EXPECT_EQ(readFile(p("into/m.txt")), "msg");
    EXPECT_EQ(readFile(p("tree2/sub/x")), "x");
    EXPECT_EQ(readFile(p("m.txt")), "msg");
    writeFile(p("m.txt"), "newer");
    EXPECT_TRUE(FileOperation(p("m.txt"), p("copy.txt"), "COPY"));  // no confirmation: replaced
    EXPECT_EQ(readFile(p("copy.txt")), "newer");
}

TEST_F(FileOps, CopyOrMoveOntoItselfLosesNothing) {
    writeFile(p("m.txt"), "msg");
    fs::create_directory(p("tree"));
    writeFile(p("tree/x"), "x");
    EXPECT_FALSE(FileOperation(p("m.txt"), p("m.txt"), "MOVE"));
    EXPECT_FALSE(FileOperation(p("m.txt"), p("m.txt"), "COPY"));
    EXPECT_FALSE(FileOperation(p("m.txt"), tmp.path(), "MOVE"));  // into its own folder
    EXPECT_FALSE(FileOperation(p("tree"), p("tree/inner"), "COPY"));
    EXPECT_FALSE(FileOperation(p("tree"), p("tree/inner"), "MOVE"));
    EXPECT_EQ(readFile(p("m.txt")), "msg");
    EXPECT_EQ(readFile(p("tree/x")), "x");
}

TEST_F(FileOps, MoveFileAndFolder) {
    writeFile(p("m.txt"), "msg");
    fs::create_directory(p("dest"));
    fs::create_directory(p("tree"));
    writeFile(p("tree/x"), "x");
    EXPECT_TRUE(FileOperation(p("m.txt"), p("dest"), "MOVE"));
    EXPECT_TRUE(FileOperation(p("tree"), p("moved"), "move"));
    EXPECT_FALSE(has("m.txt"));
    EXPECT_EQ(readFile(p("dest/m.txt")), "msg");
    EXPECT_FALSE(has("tree"));
    EXPECT_EQ(readFile(p("moved/x")), "x");
}

TEST_F(FileOps, PatternsMatchFilesOnly) {
    fs::create_directory(p("q"));
    writeFile(p("q/1.txt"), "");
    writeFile(p("q/2.txt"), "");
    writeFile(p("q/keep.ini"), "");
    fs::create_directory(p("q/folder.txt"));
    EXPECT_TRUE(FileOperation(p("q/*.txt"), "", "DELETE"));
    EXPECT_FALSE(has("q/1.txt"));
    EXPECT_FALSE(has("q/2.txt"));
    EXPECT_TRUE(has("q/keep.ini"));
    EXPECT_TRUE(has("q/folder.txt"));
    EXPECT_FALSE(FileOperation(p("q/*.txt"), "", "DELETE"));  // nothing left to match
}

TEST_F(FileOps, ANameThatExistsIsNeverReadAsAPattern) {
    // "*" may be part of an account name here: only that entry is touched.
    fs::create_directory(p("a*"));
    fs::create_directory(p("ab"));
    writeFile(p("ab/x"), "x");
    EXPECT_TRUE(FileOperation(p("a*"), "", "DELETE"));
    EXPECT_FALSE(has("a*"));
    EXPECT_EQ(readFile(p("ab/x")), "x");
}

// --- opening with the desktop opener -----------------------------------------

class ShellOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("PATH")) oldPath = v;
        fs::create_directory(tmp.path() + "bin");
        setenv("PATH", (tmp.path() + "bin").c_str(), 1);
    }
    void TearDown() override { setenv("PATH", oldPath.c_str(), 1); }
    void writeOpener(const std::string& script) {
        const std::string path = tmp.path() + "bin/xdg-open";
        writeFile(path, script);
        ::chmod(path.c_str(), 0755);
    }
    // Waits, with a bound, for the opener to leave its report.
    bool waitForFile(const std::string& path) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists(path)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    TempDir tmp;
    std::string oldPath;
};

TEST_F(ShellOpenTest, StartsTheOpenerDetachedWithTheTargetAlone) {
    // A descriptor this process leaves inheritable must not reach the opener.
    int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    const std::string out = tmp.path() + "report";
    writeOpener("#!/bin/sh\n"
                "{ printf '%s|%s\\n' \"$#\" \"$1\"; "
                "if [ -e /proc/$$/fd/" + std::to_string(leaky) + " ]; then echo leaked; else echo clean; fi; } > '" +
                out + ".tmp'\n/bin/mv '" + out + ".tmp' '" + out + "'\n");
    const std::string target = "/tmp/a file; with $(odd) 'chars'.doc";
    EXPECT_TRUE(ShellOpen(target));
    ::close(leaky);
    // The middle process was reaped and the opener is not our child.
    int status;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    ASSERT_TRUE(waitForFile(out));
    EXPECT_EQ(readFile(out), "1|" + target + "\nclean\n");
}

TEST_F(ShellOpenTest, FalseWhenNoOpenerIsInstalled) { EXPECT_FALSE(ShellOpen("mailto:someone@example.com")); }

TEST_F(ShellOpenTest, FalseWhenTheOpenerCannotBeStarted) {
    writeOpener("#!/nonexistent/interpreter\n");
    EXPECT_FALSE(ShellOpen("http://example.com/"));
    int status;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
}

}  // namespace
