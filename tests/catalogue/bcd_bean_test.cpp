// The Oracle snapshot bean: its text, its reader and its path translation.
#include "nuvdbsnap/catalogue/bcd_ora_snap_bean.h"

#include <gtest/gtest.h>

namespace {

TEST(BCDOraSnapBeanTest, WritesAndReadsItsText) {
    BCDOraSnapBean empty;
    EXPECT_EQ("/||0|0|0|0", empty.toString());

    BCDOraSnapBean bean;
    bean.m_head = "ORCL";
    bean.m_key = "USERS";
    bean.m_filePath = "/u01/a~b.dbf";
    bean.m_value1 = 1;
    bean.m_value2 = 2;
    bean.m_value3 = 3;
    bean.m_value4 = 4;
    std::string const text = bean.toString();
    EXPECT_EQ("/ORCL\n\tUSERS|~u01~a~b.dbf|1|2|3|4", text);
    EXPECT_EQ("/u01/a/b.dbf", bean.m_filePath);

    BCDOraSnapBean back;
    back.m_value4 = 99;
    BCDOraSnapBean::fromString(text, back);
    EXPECT_EQ("", back.m_head);
    EXPECT_EQ("ORCL\n\tUSERS", back.m_key);
    EXPECT_EQ("/u01/a/b.dbf", back.m_filePath);
    EXPECT_EQ(1u, back.m_value1);
    EXPECT_EQ(3u, back.m_value3);
    EXPECT_EQ(99u, back.m_value4);  // no '|' after it: not read

    BCDOraSnapBean full;
    BCDOraSnapBean::fromString("H/K|~p|4294967297|2|3|4|", full);
    EXPECT_EQ("H", full.m_head);
    EXPECT_EQ("K", full.m_key);
    EXPECT_EQ("/p", full.m_filePath);
    EXPECT_EQ(1u, full.m_value1);  // low 32 bits
    EXPECT_EQ(4u, full.m_value4);

    BCDOraSnapBean untouched;
    untouched.m_key = "k";
    BCDOraSnapBean::fromString("no slash|x|", untouched);
    EXPECT_EQ("k", untouched.m_key);
}

// Mount prefixes match at component boundaries and join with one '/'.
TEST(BCDOraSnapBeanTest, TranslatesUnderTheSourceMount) {
    struct Case {
        char const* path;
        char const* source;
        char const* snap;
        char const* expected;
    };
    Case const cases[] = {
        {"~u01~oradata~users01.dbf", "/u01", "/mnt/snap1", "/mnt/snap1/oradata/users01.dbf"},
        {"~u01~oradata~users01.dbf", "/u01/", "/mnt/snap1", "/mnt/snap1/oradata/users01.dbf"},
        {"~u01~a.dbf", "/", "/mnt/s/", "/mnt/s/u01/a.dbf"},
        {"~u02~a.dbf", "/u01", "/mnt/s", "/u02/a.dbf"},
        {"~u011~a.dbf", "/u01", "/mnt/s", "/u011/a.dbf"},
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.expected, BCDOraSnapBean::translatePath(std::string("/ORCL|") + c.path + "|0|0|0|0|", c.source,
                                                            c.snap))
            << c.path << " " << c.source;
    EXPECT_EQ("", BCDOraSnapBean::translatePath("no slash", "/", "/mnt/s"));
}

}  // namespace
