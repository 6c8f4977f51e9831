// The per-engine element lists and DBElement::translatePath.
#include "nuvdbsnap/catalogue/db_element.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DBElementTest : public nuvtest::SuiteTest {};

TEST_F(DBElementTest, EachEngineMapsIndexPathsToFilePaths) {
    MySqlDBElementList mysql;
    DBElement& m = mysql.getDBElement("/+NOBROWSE+/var/lib/mysql/ibdata1");
    EXPECT_EQ("/var/lib/mysql/ibdata1", m.getPath());
    EXPECT_EQ("/var/lib/mysql/ibdata1", mysql.getFilePath(m));
    EXPECT_EQ("/+NOBROWSE+//var/lib/mysql/ibdata1", mysql.getIndexPath(m));
    EXPECT_EQ("/plain/path", mysql.getDBElement("/plain/path").getPath());  // no marker: kept whole

    PostGreSqlDBElementList pg;
    DBElement& p = pg.getDBElement("/pg/base/1/2");
    EXPECT_EQ("/pg/base/1/2", pg.getFilePath(p));
    EXPECT_EQ("/pg/base/1/2", pg.getIndexPath(p));
    EXPECT_FALSE(pg.getDBElement("").isValid());
    EXPECT_TRUE(p.isValid());

    SybaseDBElementList syb;
    struct Case {
        char const* path;
        char const* file;
    };
    Case const cases[] = {{"/a/b/~opt~sybase~data~dev1.dat", "/opt/sybase/data/dev1.dat"},
                          {"/a/b", ""},
                          {"/a/b/", ""},
                          {"", ""}};
    for (Case const& c : cases) {
        DBElement& s = syb.getDBElement(c.path);
        EXPECT_EQ(c.file, syb.getFilePath(s)) << c.path;
        EXPECT_EQ(c.path, syb.getIndexPath(s));
    }
}

// Mount prefixes match at component boundaries and join with one '/'.
TEST_F(DBElementTest, TranslatesUnderTheSourceMountPoint) {
    struct Case {
        char const* file;
        char const* source;
        char const* snap;
        char const* expected;
    };
    Case const cases[] = {
        {"/data/db/f", "/data", "/mnt/s1", "/mnt/s1/db/f"},
        {"/data/db/f", "/", "/mnt/s1", "/mnt/s1/data/db/f"},
        {"/data/db/f", "/data/", "/mnt/s1/", "/mnt/s1/db/f"},
        {"/data//db///f", "/data", "/mnt/s1", "/mnt/s1/db/f"},
        {"/data", "/data", "/mnt/s1", "/mnt/s1"},
        {"/data2/f", "/data", "/mnt/s1", ""},          // near miss, and no link leads under /data
        {"relative/f", "/data", "/mnt/s1", ""},        // cannot be resolved
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.expected, DBElement::translatePath(c.file, c.source, c.snap)) << c.file << " " << c.source;
}

TEST_F(DBElementTest, APathOutsideTheMountIsTranslatedThroughItsLinks) {
    char* base = realpath(m_root.base().c_str(), nullptr);
    std::string const real = std::string(base) + "/real";
    std::string const link = std::string(base) + "/link";
    free(base);
    ASSERT_EQ(0, mkdir(real.c_str(), 0755));
    ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
    EXPECT_EQ("/mnt/s/db/f", DBElement::translatePath(link + "/db/f", real, "/mnt/s"));
    NuvSymLink::m_mountSrcTransMap["/srcmount"] = real;
    EXPECT_EQ("/mnt/s/f", DBElement::translatePath("/srcmount/f", real, "/mnt/s"));
    NuvSymLink::m_mountSrcTransMap.clear();
}

}  // namespace
