// The directory listing: wild-card matching and FindFile on real folders.

#include "ScratchDir.h"
#include "platform/FindFile.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include <dirent.h>
#include <unistd.h>

using namespace quarvel;

namespace {

using platform::FindData;
using platform::FindFile;
using platform::WildcardMatch;

struct MatchCase {
    const char* pattern;
    const char* name;
    bool matches;
};

TEST(WildcardMatchTest, FollowsThePlatformRules) {
    const MatchCase cases[] = {
        {"*.DAT", "a.DAT", true},
        {"*.DAT", "a.dat", true},
        {"*.DAT", "a.Dat", true},
        {"*.dat", "TAG$X.DAT", true},
        {"*.DAT", "a.DATX", false},
        {"*.DAT", "a.b.dat", true},
        {"*.DAT", ".DAT", true},
        {"*.DAT", "DAT", false},
        {"*.DAT", "a.DA", false},
        {"*.*", "noext", true},
        {"*.*", ".", true},
        {"*.*", "..", true},
        {"*.*", "a.b", true},
        {"*", "", true},
        {"*", "anything.at.all", true},
        {"", "", true},
        {"", "a", false},
        {"x?y", "xay", true},
        {"x?y", "XAY", true},
        {"x?y", "xy", false},
        {"x?y", "xaay", false},
        {"?", "", false},
        {"a*", "a", true},
        {"*a", "ba", true},
        {"*a", "ab", false},
        {"a*b*c", "aXXbYYbZZc", true},
        {"a*b*c", "aXXbYYcZZ", false},
        {"**x", "x", true},
        {"*?", "", false},
        {"*?", "z", true},
        {"node_*", "NODE_1", true},
        {"node_*", "node1", false},
        {"*.*x", "a.bx", true},
        {"*.*x", "abx", false},
        {"\xC4\xE3*", "\xC4\xE3.DAT", true},  // bytes above ASCII compare as they are
        {"\xC4\xE3*", "\xE4\xE3.DAT", false},
    };
    for (const MatchCase& c : cases) {
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.matches) << '"' << c.pattern << "\" vs \"" << c.name << '"';
    }
}

TEST(WildcardMatchTest, ManyStarsOnALongNameDoNotBlowUp) {
    // A matcher that recurses on every star takes exponential time here.
    const std::string name(20000, 'a');
    EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*b", name));
    EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a*a", name));
    EXPECT_TRUE(WildcardMatch("*a?a*a", name));
}

class FindFileTest : public ScratchDirTest {
protected:
    // name -> isDirectory of every entry the pattern yields; fails on a name seen twice.
    static std::map<std::string, bool> List(const std::string& pattern) {
        std::map<std::string, bool> found;
        FindFile find;
        FindData entry;
        for (bool more = find.First(pattern, entry); more; more = find.Next(entry)) {
            EXPECT_TRUE(found.emplace(entry.name, entry.isDirectory).second) << "listed twice: " << entry.name;
        }
        return found;
    }

    void MakeNodeFolder() {
        fs::create_directory(m_dir / "node_1");
        fs::create_directory(m_dir / ".hidden");
        WriteFile("a.DAT", "x");
        WriteFile("b.dat", "x");
        WriteFile("c.txt", "x");
        WriteFile("noext", "x");
        fs::create_directory_symlink(m_dir / "node_1", m_dir / "link_to_folder");
        fs::create_symlink(m_dir / "nowhere", m_dir / "dangling.DAT");
    }

    std::string Dir() const { return m_dir.string(); }
};

TEST_F(FindFileTest, ListsEverythingWithTheRightKind) {
    MakeNodeFolder();
    const std::map<std::string, bool> expected = {
        {".", true},      {"..", true},     {"node_1", true}, {".hidden", true}, {"link_to_folder", true},
        {"a.DAT", false}, {"b.dat", false}, {"c.txt", false}, {"noext", false},  {"dangling.DAT", false},
    };
    EXPECT_EQ(List(Dir() + "/*.*"), expected);
    EXPECT_EQ(List(Dir() + "/*"), expected);
}

TEST_F(FindFileTest, SelectsByPatternWithoutRegardToCase) {
    MakeNodeFolder();
    const std::map<std::string, bool> dat = {{"a.DAT", false}, {"b.dat", false}, {"dangling.DAT", false}};
    EXPECT_EQ(List(Dir() + "/*.DAT"), dat);
    EXPECT_EQ(List(Dir() + "/*.dat"), dat);
    EXPECT_EQ(List(Dir() + "/?.DAT"), (std::map<std::string, bool>{{"a.DAT", false}, {"b.dat", false}}));
    EXPECT_EQ(List(Dir() + "/NODE_?"), (std::map<std::string, bool>{{"node_1", true}}));
}

TEST_F(FindFileTest, WalkerPatternsOnAFolderThatEndsWithASlash) {
    WriteFile("node_1/Log/sub/TAG1$X.DAT", "x");
    WriteFile("node_1/Log/sub/TAG1$M.dat", "x");
    WriteFile("node_1/Log/sub/notes.txt", "x");
    const std::string folder = Dir() + "/node_1/Log/";
    EXPECT_EQ(List(folder + "*.*"), (std::map<std::string, bool>{{".", true}, {"..", true}, {"sub", true}}));
    EXPECT_EQ(List(folder + "sub/*.DAT"), (std::map<std::string, bool>{{"TAG1$X.DAT", false}, {"TAG1$M.dat", false}}));
}

TEST_F(FindFileTest, KeepsTheOrderOfTheFolderListing) {
    for (int i = 0; i < 40; ++i) WriteFile("f" + std::to_string(i) + ".DAT", "x");
    std::vector<std::string> fromSystem;
    DIR* dir = opendir(Dir().c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* item = readdir(dir)) fromSystem.emplace_back(item->d_name);
    closedir(dir);

    std::vector<std::string> listed;
    FindFile find;
    FindData entry;
    for (bool more = find.First(Dir() + "/*.*", entry); more; more = find.Next(entry)) listed.push_back(entry.name);
    EXPECT_EQ(listed, fromSystem);
}

TEST_F(FindFileTest, NothingToListGivesFalse) {
    WriteFile("a.txt", "x");
    fs::create_directory(m_dir / "empty");
    const std::string cases[] = {
        Dir() + "/missing/*.*",  // no such folder
        Dir() + "/*.DAT",        // nothing matches
        Dir() + "/empty/*.DAT",
        Dir() + "/a.txt/*.*",  // a file, not a folder
        Dir() + "/",           // empty pattern
    };
    for (const std::string& pattern : cases) {
        FindFile find;
        FindData entry;
        entry.name = "untouched";
        EXPECT_FALSE(find.First(pattern, entry)) << pattern;
        EXPECT_FALSE(find.Next(entry)) << pattern;
        find.Close();
    }
}

TEST_F(FindFileTest, PatternWithoutFolderListsTheCurrentDirectory) {
    WriteFile("here.DAT", "x");
    const fs::path home = fs::current_path();
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
    const auto found = List("*.DAT");
    ASSERT_EQ(chdir(home.c_str()), 0);
    EXPECT_EQ(found, (std::map<std::string, bool>{{"here.DAT", false}}));
}

TEST_F(FindFileTest, PatternRightUnderTheRootListsTheRoot) {
    EXPECT_EQ(List("/TMP").count("tmp"), 1u);
    EXPECT_TRUE(List("/TMP").at("tmp"));
}

TEST_F(FindFileTest, ReuseCloseAndEnd) {
    MakeNodeFolder();
    FindFile find;
    FindData entry;
    ASSERT_TRUE(find.First(Dir() + "/c.TXT", entry));
    EXPECT_EQ(entry.name, "c.txt");
    EXPECT_FALSE(entry.isDirectory);
    EXPECT_FALSE(find.Next(entry));
    EXPECT_FALSE(find.Next(entry));  // stays at the end

    // A new First while a listing is open starts over.
    ASSERT_TRUE(find.First(Dir() + "/node_*", entry));
    EXPECT_EQ(entry.name, "node_1");
    EXPECT_TRUE(entry.isDirectory);
    ASSERT_TRUE(find.First(Dir() + "/node_*", entry));
    EXPECT_EQ(entry.name, "node_1");

    find.Close();
    find.Close();
    EXPECT_FALSE(find.Next(entry));
    ASSERT_TRUE(find.First(Dir() + "/noext", entry));
    EXPECT_EQ(entry.name, "noext");
}

}  // namespace
