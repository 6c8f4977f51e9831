// The directory-tree listing, the mount-point list of a job and the database
// snapshot utility's numbered mount points.
#include "tests/dbsnap/driver_fixture.h"

#include "nuvdbsnap/platform/appmgr/application.h"

#include <algorithm>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

using namespace nuvdbsnaptest;

namespace {

class ListingTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        m_tree = MakeDir(m_root.base() + "/tree");
        MakeDir(m_tree + "/sub");
        MakeDir(m_tree + "/sub/deeper");
        MakeDir(m_tree + "/empty");
        WriteFile(m_tree + "/sub/deeper/f.dat", "x");
        MakeDir(m_tree + "/linked");
        WriteFile(m_tree + "/linked/inside", "y");
        ASSERT_EQ(0, symlink((m_tree + "/linked").c_str(), (m_tree + "/sub/link").c_str()));
    }
    std::string m_tree;
};

// The listing's order within one directory is the directory's: compare as sets
// of paths, and check that each directory comes before its content.
void ExpectPreOrder(std::list<std::string> const& listed) {
    std::vector<std::string> seen;
    for (auto const& path : listed) {
        std::string const parent = path.substr(0, path.rfind('/'));
        if (!seen.empty()) {
            EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), parent)) << path << " before its directory";
        }
        seen.push_back(path);
    }
}

TEST_F(ListingTest, ListsTheTreeInPreOrderWithoutEnteringLinks) {
    std::list<std::string> out;
    ASSERT_EQ(0, DBSnapBackup::ReadFilesFromDir(m_tree + "/", out, ""));
    std::set<std::string> const got(out.begin(), out.end());
    std::set<std::string> const want{m_tree, m_tree + "/sub", m_tree + "/sub/deeper", m_tree + "/sub/deeper/f.dat",
                                     m_tree + "/sub/link", m_tree + "/empty", m_tree + "/linked",
                                     m_tree + "/linked/inside"};
    EXPECT_EQ(want, got);
    EXPECT_EQ(want.size(), out.size());
    EXPECT_EQ(m_tree, out.front());
    ExpectPreOrder(out);
}

// Directories larger than one read of their entries, at several depths, each
// with directories of its own after many files: every entry is listed once.
TEST_F(ListingTest, ListsLargeDirectoriesAtEveryDepth) {
    std::string const big = MakeDir(m_root.base() + "/big");
    std::set<std::string> want{big};
    std::string dir = big;
    for (int depth = 0; depth < 3; ++depth) {
        for (int i = 0; i < 1500; ++i) {
            std::string const file = dir + "/a-file-with-a-long-name-" + std::to_string(i);
            WriteFile(file, "");
            want.insert(file);
        }
        for (char const* sub : {"one", "two"}) {
            want.insert(MakeDir(dir + "/" + sub));
            WriteFile(dir + "/" + sub + "/f", "");
            want.insert(dir + "/" + sub + "/f");
        }
        dir += "/two";
    }
    std::list<std::string> out;
    ASSERT_EQ(0, DBSnapBackup::ReadFilesFromDir(big, out, ""));
    EXPECT_EQ(want.size(), out.size()) << "each entry once";
    EXPECT_EQ(want, std::set<std::string>(out.begin(), out.end()));
    ExpectPreOrder(out);
}

TEST_F(ListingTest, APrefixReplacesTheDirectoryPart) {
    std::list<std::string> out;
    ASSERT_EQ(0, DBSnapBackup::ReadFilesFromDir(m_tree + "/sub", out, "/src/"));
    std::set<std::string> const got(out.begin(), out.end());
    EXPECT_EQ((std::set<std::string>{"/src", "/src/deeper", "/src/deeper/f.dat", "/src/link"}), got);
    EXPECT_EQ("/src", out.front());
}

TEST_F(ListingTest, EdgesOfTheListing) {
    std::list<std::string> out{"kept"};
    EXPECT_EQ(0, DBSnapBackup::ReadFilesFromDir("", out, ""));
    EXPECT_EQ(-1, DBSnapBackup::ReadFilesFromDir("/", out, ""));
    EXPECT_EQ(std::list<std::string>{"kept"}, out);
    out.clear();
    EXPECT_EQ(0, DBSnapBackup::ReadFilesFromDir(m_tree + "/empty/", out, ""));
    EXPECT_EQ(std::list<std::string>{m_tree + "/empty"}, out);
    out.clear();
    // A directory that cannot be opened: its own entry stays.
    EXPECT_EQ(-1, DBSnapBackup::ReadFilesFromDir(m_tree + "/absent", out, ""));
    EXPECT_EQ(std::list<std::string>{m_tree + "/absent"}, out);
}

// At the level users run every directory the listing enters has its line,
// the subdirectories' as the top one's.
TEST_F(ListingTest, EachDirectoryHasItsLineAtTheDefaultLevel) {
    std::string const log = m_root.path() + "/logs/nuvdbsnap.log";
    struct Case {
        std::string directory, prefix;
        std::vector<std::string> lines;   // after "[DBSnapBackup::ReadFilesFromDir] "
    } const cases[] = {
        {m_tree + "/sub", "",
         {"dirname = [" + m_tree + "/sub], srcPath = []", "dirname = [" + m_tree + "/sub/deeper], srcPath = []"}},
        {m_tree + "/sub/", "/src",
         {"dirname = [" + m_tree + "/sub/], srcPath = [/src]",
          "dirname = [" + m_tree + "/sub/deeper], srcPath = [/src/deeper]"}},
    };
    g_ptrLogWriter->setLevel(1);
    for (Case const& c : cases) {
        size_t const before = ReadFile(log).size();
        std::list<std::string> out;
        ASSERT_EQ(0, DBSnapBackup::ReadFilesFromDir(c.directory, out, c.prefix));
        std::string const text = ReadFile(log).substr(before);
        for (std::string const& line : c.lines)
            EXPECT_NE(std::string::npos, text.find(" 0 [DBSnapBackup::ReadFilesFromDir] " + line + "\n"))
                << line << "\n" << text;
        EXPECT_EQ(std::string::npos, text.find("/sub/link],")) << "a link is not entered\n" << text;
    }
}

TEST_F(DriverTest, MountPointListHoldsEachVolumeOnceAndBecomesTheContent) {
    DeclarePostgres();
    MakeDir(m_data + "/base");
    TestDriver driver;
    driver.dataPaths = {m_data + "/base", m_data};  // two paths on one volume
    ASSERT_EQ(0, driver.Init(CommandLine()));
    ASSERT_EQ(0, driver.FindDataPaths());
    ASSERT_EQ(0, driver.PrepareSnap());
    EXPECT_EQ(0, driver.WriteMountPoints());
    std::string const file = JobResultsDir() + "//DBSNAPCONTENT_" + std::to_string(m_jobId);
    EXPECT_EQ(m_data + "\n", ReadFile(file));
    ApplicationId app(2, m_appId);
    BackupContent content;
    ASSERT_EQ(0, app.getSubclient(nullptr)->getFiles(content, nullptr, false));
    EXPECT_EQ(std::vector<std::string>{m_data}, content.paths());
}

TEST_F(DriverTest, NumberedMountPointsKeepTheLastNumberEvenWhenRefused) {
    DeclarePostgres();
    NuvSnapUtilDb util(2, JZBkpLevel(1), nullptr, 1, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    EXPECT_TRUE(util.addMountPoint(m_data.c_str(), nullptr, 3));
    EXPECT_TRUE(util.addMountPoint(m_data.c_str(), nullptr, 5));
    EXPECT_FALSE(util.addMountPoint("relative/path", nullptr, 9));
    EXPECT_EQ(5, util.getPathToVolumeId().at(m_data));
    EXPECT_EQ(9, util.getPathToVolumeId().at("relative/path"));
    std::vector<std::string> optional{"a"};
    {
        NuvSnapUtilDb borrowed(2, JZBkpLevel(1), nullptr, 1, false, nullptr, nullptr, SPAWN_IN_PROCESS);
        borrowed.setIndexOptionalFileList(&optional);
    }
    EXPECT_EQ(std::vector<std::string>{"a"}, optional);
    EXPECT_FALSE(util.getCustomizedIndexMap());
    util.allocateCustomizedIndexMap();
    EXPECT_TRUE(util.getCustomizedIndexMap() && util.getCustomizedIndexMap()->empty());
}

}  // namespace
