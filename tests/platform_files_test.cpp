// Durable file writes, the base folder and case-insensitive name resolution.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/DurableFile.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::size_t entriesIn(const std::string& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++n;
    return n;
}

TEST(DurableFile, ReplacesWholeFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.path() + "a.txt";
    writeFile(path, "old content that is longer");
    ::chmod(path.c_str(), 0640);
    platform::FileStamp stamp;
    ASSERT_TRUE(platform::writeFileDurably(path, "new", &stamp));
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(stamp, platform::fileStamp(path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Only the file and the (empty) hidden temporary folder remain.
    EXPECT_EQ(entriesIn(dir.path()), 2u);
    EXPECT_EQ(entriesIn(dir.path() + ".tmp:"), 0u);
}

TEST(DurableFile, CommitNewNeverReplaces) {
    TempDir dir;
    writeFile(dir.path() + "taken.txt", "first");
    platform::DurableFile f(dir.path());
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f.write("second"));
    EXPECT_FALSE(f.commitNew(dir.path() + "taken.txt"));
    EXPECT_EQ(f.error(), EEXIST);
    EXPECT_TRUE(f.ok());
    ASSERT_TRUE(f.commitNew(dir.path() + "free.txt"));
    EXPECT_EQ(readFile(dir.path() + "taken.txt"), "first");
    EXPECT_EQ(readFile(dir.path() + "free.txt"), "second");
    EXPECT_EQ(entriesIn(dir.path() + ".tmp:"), 0u);
}

TEST(DurableFile, AbandonedFileLeavesNothing) {
    TempDir dir;
    {
        platform::DurableFile f(dir.path());
        ASSERT_TRUE(f.write("never placed"));
    }
    EXPECT_EQ(entriesIn(dir.path() + ".tmp:"), 0u);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// An earlier run under this very pid (a restart as pid 1 in a container)
// left its file too: that one is no live writer's either.
TEST(DurableFile, TemporaryFilesOfDeadWritersAreRemoved) {
    TempDir dir;
    fs::create_directory(dir.path() + ".tmp:");
    writeFile(dir.path() + ".tmp:/t999999999-0-0", "left by a killed writer");
    const std::string samePid = dir.path() + ".tmp:/t" + std::to_string(::getpid()) + "-99999-0";
    writeFile(samePid, "left by an earlier run with this pid");
    const std::string live = dir.path() + ".tmp:/t" + std::to_string(::getppid()) + "-99999-0";
    writeFile(live, "a live writer's");
    writeFile(dir.path() + ".tmp:/other", "not ours");
    ASSERT_TRUE(platform::writeFileDurably(dir.path() + "f", "x"));
    EXPECT_FALSE(fs::exists(dir.path() + ".tmp:/t999999999-0-0"));
    EXPECT_FALSE(fs::exists(samePid));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(dir.path() + ".tmp:/other"));
}

TEST(DurableFile, MissingFolderFails) {
    TempDir dir;
    EXPECT_FALSE(platform::writeFileDurably(dir.path() + "no/such/file", "x"));
    platform::DurableFile f(dir.path() + "missing");
    EXPECT_FALSE(f.ok());
    EXPECT_FALSE(f.write("x"));
    EXPECT_FALSE(f.commit(dir.path() + "missing/x"));
}

// The temporary folder is made once per process: one removed by hand since
// is made again, and a folder gone altogether still fails.
TEST(DurableFile, TemporaryFolderRemovedSinceIsMadeAgain) {
    TempDir dir;
    const std::string folder = dir.path() + "box/";
    fs::create_directory(folder);
    for (int round = 0; round < 2; ++round) {
        platform::DurableFile f(folder);
        ASSERT_TRUE(f.write("x")) << round;
        ASSERT_TRUE(f.commitNew(folder + "m" + std::to_string(round) + ".txt")) << round;
        fs::remove_all(folder + ".tmp:");
    }
    fs::remove_all(folder);
    platform::DurableFile gone(folder);
    EXPECT_FALSE(gone.ok());
    EXPECT_EQ(gone.error(), ENOENT);
    EXPECT_FALSE(fs::exists(folder));
}

TEST(DurableFile, StampSeesEveryNewVersion) {
    TempDir dir;
    const std::string path = dir.path() + "f";
    ASSERT_TRUE(platform::writeFileDurably(path, "same"));
    platform::FileStamp a = platform::fileStamp(path);
    ASSERT_TRUE(platform::writeFileDurably(path, "same"));
    platform::FileStamp b = platform::fileStamp(path);
    EXPECT_TRUE(a.exists);
    EXPECT_NE(a, b);  // a new inode, however fast the second write came
    EXPECT_FALSE(platform::fileStamp(dir.path() + "none").exists);
    EXPECT_FALSE(platform::fileStamp(dir.path()).exists);  // folders are no files
}

TEST(DurableFile, ReadWholeFile) {
    TempDir dir;
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    writeFile(dir.path() + "bin", data);
    std::string got;
    platform::FileStamp st;
    ASSERT_TRUE(platform::readWholeFile(dir.path() + "bin", got, &st));
    EXPECT_EQ(got, data);
    EXPECT_EQ(st, platform::fileStamp(dir.path() + "bin"));
    EXPECT_FALSE(platform::readWholeFile(dir.path() + "none", got));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(platform::readWholeFile(dir.path(), got));
}

class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) {
            had_ = true;
            old_ = v;
        }
    }
    ~EnvGuard() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(Paths, BasePathFollowsXdgDataHome) {
    EnvGuard xdg("XDG_DATA_HOME"), home("HOME");
    ::setenv("XDG_DATA_HOME", "/data/x/", 1);
    EXPECT_EQ(platform::basePath(), "/data/x/Quentar/Tavrin/");
    ::setenv("HOME", "/home/u", 1);
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(platform::basePath(), "/home/u/.local/share/Quentar/Tavrin/");
    ::setenv("XDG_DATA_HOME", "", 1);
    EXPECT_EQ(platform::basePath(), "/home/u/.local/share/Quentar/Tavrin/");
    ::setenv("XDG_DATA_HOME", "relative/dir", 1);
    EXPECT_EQ(platform::basePath(), "/home/u/.local/share/Quentar/Tavrin/");
}

TEST(Paths, ResolveNameIgnoresCaseOnlyWhenTheExactNameIsMissing) {
    TempDir dir;
    fs::create_directory(dir.path() + "Bob");
    writeFile(dir.path() + "List.INI", "");
    fs::create_directory(dir.path() + ".tmp:");
    EXPECT_EQ(platform::resolveName(dir.path(), "bob"), "Bob");
    EXPECT_EQ(platform::resolveName(dir.path(), "BOB"), "Bob");
    EXPECT_EQ(platform::resolveName(dir.path(), "list.ini"), "List.INI");
    EXPECT_EQ(platform::resolveName(dir.path(), "amy"), "amy");  // new names stay as given
    EXPECT_EQ(platform::resolveName(dir.path(), ".TMP:"), ".TMP:");
    EXPECT_EQ(platform::resolvePath(dir.path(), "bOb"), dir.path() + "Bob");

    // Both spellings present: the exact one wins; otherwise the lowest.
    fs::create_directory(dir.path() + "bob");
    EXPECT_EQ(platform::resolveName(dir.path(), "bob"), "bob");
    EXPECT_EQ(platform::resolveName(dir.path(), "BOB"), "Bob");
    EXPECT_EQ(platform::resolveName(dir.path() + "missing/", "x"), "x");
}

// The stat handed back with the name is what a later stat of that path
// would say: links followed, nothing for a dangling link or a missing name
// (the temporary folder is never matched, but still looked at as named).
TEST(Paths, ResolveNameReportsWhatItFound) {
    TempDir dir;
    fs::create_directory(dir.path() + "Bob");
    writeFile(dir.path() + "bob.ini", "x");
    fs::create_directory_symlink(dir.path() + "Bob", dir.path() + "link");
    fs::create_symlink(dir.path() + "gone", dir.path() + "Dangling");
    fs::create_directory(dir.path() + ".tmp:");
    const struct {
        const char* name;
        const char* resolved;
        mode_t type;
    } cases[] = {
        {"Bob", "Bob", S_IFDIR},  {"BOB", "Bob", S_IFDIR},    {"bob.ini", "bob.ini", S_IFREG},
        {"LINK", "link", S_IFDIR}, {"dangling", "Dangling", 0}, {"amy", "amy", 0},
        {".tmp:", ".tmp:", S_IFDIR},
    };
    for (const auto& c : cases) {
        struct stat found {};
        EXPECT_EQ(platform::resolveName(dir.path(), c.name, found), c.resolved) << c.name;
        EXPECT_EQ(found.st_mode & S_IFMT, c.type) << c.name;
    }
}

}  // namespace
