// The browsable-path file with its side files, its lines, and the
// directory-change text of the process-wide browsable paths.
#include "catalogue/translator_internal.h"
#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

browseablePath_t Entry(std::string phony, int isDir, std::string os, uint64_t size = 0,
                       ArchiveFileId_t afile = {2, 3, 4}) {
    browseablePath_t e = browseablePath_t();
    e.phonyPath = std::move(phony);
    e.isDir = isDir;
    e.osPath = std::move(os);
    e.size = size;
    e.afile = afile;
    return e;
}

class BrowsablePathsTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { nuvcatalogue::PathList().clear(); }
    std::vector<browseablePath_t>& List() { return nuvcatalogue::PathList(); }
    std::string Read(std::string const& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Writes the list and reads it back into the list; the file's text.
    std::string RoundTrip(std::string const& dir, int* result = nullptr) {
        std::ostringstream out;
        int r = DBPathTranslator::writeBrowseablePathToFile(out, dir);
        if (result) *result = r;
        List().clear();
        std::istringstream in(out.str());
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) DBPathTranslator::addToBrowsablePath(line, ',', dir);
        return out.str();
    }
    std::string m_dir = m_root.base();
};

TEST_F(BrowsablePathsTest, LinesRoundTripWithTheirFields) {
    List() = {Entry("/db/t1", 1, "", 0, {2, 0, 1}),
              Entry("/db/t1/f", 0, "/u01/a,b,c.dbf", 123, {4000000000u, 4294967295u, 2147483648u}),
              Entry("/db/t1/g", 0, "/u01/g", 18446744073709551615ull)};
    List()[2].spare = 5;
    std::vector<browseablePath_t> const before = List();
    std::string const text = RoundTrip(m_dir);
    EXPECT_EQ(0u, text.find("TABLEBACKUPMETADATA**\n/db/t1,1,0,2,1,0,,0\n"));
    EXPECT_NE(std::string::npos, text.find("/db/t1/f,2147483648,4294967295,4000000000,0,0,/u01/a,b,c.dbf,123\n"));
    ASSERT_EQ(before.size(), List().size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].phonyPath, List()[i].phonyPath);
        EXPECT_EQ(before[i].osPath, List()[i].osPath);  // commas in the os path included
        EXPECT_EQ(before[i].isDir, List()[i].isDir);
        EXPECT_EQ(before[i].spare, List()[i].spare);
        EXPECT_EQ(before[i].size, List()[i].size);
        EXPECT_EQ(before[i].afile.brannoxId, List()[i].afile.brannoxId);
        EXPECT_EQ(before[i].afile.archGroupId, List()[i].afile.archGroupId);
        EXPECT_EQ(before[i].afile.archFileId, List()[i].afile.archFileId);
    }
}

TEST_F(BrowsablePathsTest, ShortAndOddLinesLeaveUnreachedFieldsAtZero) {
    DBPathTranslator::addToBrowsablePath("/only", ',');
    DBPathTranslator::addToBrowsablePath("/p,7,8", ',');
    DBPathTranslator::addToBrowsablePath("/q,1,2,3,0,0,/os", ',');
    DBPathTranslator::addToBrowsablePath("/r,x,2,3,0,0,/os,12", ',');
    ASSERT_EQ(4u, List().size());
    EXPECT_EQ("/only", List()[0].phonyPath);
    EXPECT_EQ(0u, List()[0].afile.archFileId);
    EXPECT_EQ(0u, List()[0].size);
    EXPECT_EQ(7u, List()[1].afile.archFileId);
    EXPECT_EQ(8u, List()[1].afile.archGroupId);
    EXPECT_EQ(0u, List()[1].afile.brannoxId);
    EXPECT_EQ("/os", List()[2].osPath);
    EXPECT_EQ(0u, List()[2].size);
    EXPECT_EQ(0u, List()[3].afile.archFileId);  // not a number
    EXPECT_EQ(12u, List()[3].size);
}

TEST_F(BrowsablePathsTest, EntriesThatCannotBeReadBackAreRefused) {
    struct Case {
        browseablePath_t entry;
    };
    browseablePath_t const cases[] = {Entry("/db/a,b", 0, "/x"), Entry("/db/a\nb", 0, "/x"),
                                      Entry("/db/a", 0, "/x\ny")};
    for (browseablePath_t const& entry : cases) {
        std::ostringstream line;
        line << entry;
        EXPECT_TRUE(line.fail());
        EXPECT_EQ("", line.str());
        List() = {Entry("/db/ok", 1, ""), entry};
        std::ostringstream file;
        EXPECT_EQ(-1, DBPathTranslator::writeBrowseablePathToFile(file, m_dir));
    }
}

TEST_F(BrowsablePathsTest, ConfigurationFilesTravelInSideFiles) {
    std::string const content = std::string("[conf]\nkey = a,b\n") + '\0' + "after the NUL\n";
    List() = {Entry("/+ConfigFileInMetaData+/etc/my.cnf", 0, content), Entry("/db/f", 0, "/u01/f")};
    int result = -1;
    std::string const text = RoundTrip(m_dir, &result);
    ASSERT_EQ(0, result);
    EXPECT_NE(std::string::npos,
              text.find("/+ConfigFileInMetaData+/etc/my.cnf,4,3,2,0,0,/+ConfigFileInMetaData+/etc/my.cnf," +
                        std::to_string(content.size()) + "\n"));
    EXPECT_EQ(content, Read(m_dir + "/my.cnf"));  // every byte
    ASSERT_EQ(2u, List().size());
    EXPECT_EQ(content, List()[0].osPath);
    EXPECT_EQ(content.size(), List()[0].size);
}

TEST_F(BrowsablePathsTest, TheListKeepsItsContentAcrossWrites) {
    List() = {Entry("/+ConfigFileInMetaData+/etc/my.cnf", 0, "content")};
    std::ostringstream first, second;
    ASSERT_EQ(0, DBPathTranslator::writeBrowseablePathToFile(first, m_dir));
    EXPECT_EQ("content", List()[0].osPath);
    ASSERT_EQ(0, DBPathTranslator::writeBrowseablePathToFile(second, m_dir));
    EXPECT_EQ(first.str(), second.str());
    EXPECT_EQ("content", Read(m_dir + "/my.cnf"));
}

TEST_F(BrowsablePathsTest, SideFileFailures) {
    struct Case {
        char const* name;
        std::vector<browseablePath_t> list;
        std::string dir;
    };
    Case const cases[] = {
        {"no directory", {Entry("/+ConfigFileInMetaData+/a.cnf", 0, "x")}, ""},
        {"missing directory", {Entry("/+ConfigFileInMetaData+/a.cnf", 0, "x")}, m_dir + "/missing"},
        {"same base name", {Entry("/+ConfigFileInMetaData+/etc/a.cnf", 0, "x"),
                            Entry("/+ConfigFileInMetaData+/opt/a.cnf", 0, "y")}, m_dir},
    };
    for (Case const& c : cases) {
        List() = c.list;
        std::ostringstream out;
        EXPECT_EQ(-1, DBPathTranslator::writeBrowseablePathToFile(out, c.dir)) << c.name;
    }
    EXPECT_EQ("x", Read(m_dir + "/a.cnf"));  // not overwritten by the second
    struct stat st;
    EXPECT_NE(0, stat("/a.cnf", &st));

    List() = {Entry("/db/f", 0, "/u01/f")};
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    EXPECT_EQ(-1, DBPathTranslator::writeBrowseablePathToFile(bad));
    List().clear();
    std::ostringstream empty;
    EXPECT_EQ(0, DBPathTranslator::writeBrowseablePathToFile(empty));
    EXPECT_EQ("", empty.str());
    // A side file that is missing leaves the entry as the line gives it.
    DBPathTranslator::addToBrowsablePath("/+ConfigFileInMetaData+/gone.cnf,1,0,2,0,0,/+ConfigFileInMetaData+/gone.cnf,9",
                                         ',', m_dir);
    EXPECT_EQ("/+ConfigFileInMetaData+/gone.cnf", List().back().osPath);
    EXPECT_EQ(9u, List().back().size);
}

TEST_F(BrowsablePathsTest, DirectoryChangeTextPutsEveryFileUnderItsParent) {
    struct Case {
        char const* name;
        std::vector<browseablePath_t> list;
        char const* text;
    };
    Case const cases[] = {
        {"example", {Entry("/d", 1, ""), Entry("/d/f1", 0, ""), Entry("/d/f2", 0, ""), Entry("/e/f3", 0, "")},
         "/d\n/d\n\tf1\n\tf2\n/e\n\tf3\n"},
        {"root file", {Entry("/f", 0, "")}, "/\n\tf\n"},
        {"directory between", {Entry("/d/f0", 0, ""), Entry("/x", 1, ""), Entry("/d/f1", 0, "")},
         "/d\n\tf0\n/x\n/d\n\tf1\n"},
        {"no slash", {Entry("f", 0, "")}, "f\n\tf\n"},
    };
    for (Case const& c : cases) {
        List() = c.list;
        std::string const path = m_dir + "/dirchange.txt";
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, file);
        DBPathTranslator translator;
        translator.m_appType = 22;
        EXPECT_EQ(0, translator.appendBrowsablePathToDirChange(file));
        fclose(file);
        EXPECT_EQ(c.text, Read(path)) << c.name;
    }
    DBPathTranslator other;
    other.m_appType = 104;
    EXPECT_EQ(0, other.appendBrowsablePathToDirChange(nullptr));
    other.m_appType = 22;
    EXPECT_EQ(-1, other.appendBrowsablePathToDirChange(nullptr));
    List().clear();
    EXPECT_EQ(0, other.appendBrowsablePathToDirChange(nullptr));
    List() = {Entry("/d/f", 0, "")};
    if (FILE* full = fopen("/dev/full", "w")) {
        setvbuf(full, nullptr, _IONBF, 0);
        EXPECT_LT(other.appendBrowsablePathToDirChange(full), 0);
        fclose(full);
    }
}

TEST_F(BrowsablePathsTest, SearchByPrefix) {
    std::string const search = "/db/t1";
    std::vector<browseablePath_t> list{Entry("/db/t0/f", 0, ""), Entry("/db/t1/f", 0, "")};
    auto found = std::find_if(list.begin(), list.end(), BrowsablePathSearch(search));
    ASSERT_NE(list.end(), found);
    EXPECT_EQ("/db/t1/f", found->phonyPath);
    EXPECT_TRUE(BrowsablePathSearch(search)(std::string("/db")));
    EXPECT_FALSE(BrowsablePathSearch(search)(std::string("/db/t2")));
}

}  // namespace
