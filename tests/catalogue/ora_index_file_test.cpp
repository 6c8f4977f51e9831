// The catalogue index file of an OraDBInfo.
#include "nuvdbsnap/catalogue/ora_db_info.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

class OraIndexFileTest : public nuvtest::SuiteTest {
protected:
    std::string Read(std::string const& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string m_file = m_root.base() + "/index.txt";
};

TEST_F(OraIndexFileTest, WritesTheExampleCatalogue) {
    OraDBInfo info;
    info.createOraElement("/ORCL/USERS/~u01~oradata~users01.dbf", 1, 0, 1);
    info.createOraElement("/ORCL/USERS/~u01~oradata~users02.dbf", 1, 0, 1);
    info.createOraElement("/ORCL/BLOCKTRACKING_FILE/~u01~oradata~bct.chg", 1, 0, 1);
    info.createOraElement("/ORCL/LOG/~arch~1_100.arc", 1, 0, 1);
    info.createOraElement("/ORCL/CONTROL_FILE/+DATA/ORCL~control01.ctl/~dev~sdb1", 1, 0, 1);
    ASSERT_EQ(0, info.createOracleBCDIndexFile(m_file, true, false));
    EXPECT_EQ("/\n/ORCL\n/ORCL/USERS\n\t~u01~oradata~users01.dbf\n\t~u01~oradata~users02.dbf\n"
              "/ORCL/BLOCKTRACKING_FILE\n\t~u01~oradata~bct.chg\n/ORCL/LOG\n\t~arch~1_100.arc\n"
              "/ORCL/CONTROL_FILE\n/ORCL/CONTROL_FILE/+DATA\n/ORCL/CONTROL_FILE/+DATA/ORCL~control01.ctl\n"
              "\t~dev~sdb1",
              Read(m_file));
}

// After any other directory line the tablespace line is written again, so a
// data file never lands under a block-tracking or an ASM line.
TEST_F(OraIndexFileTest, EveryFileLandsUnderItsOwnDirectoryLine) {
    OraDBInfo info;
    info.createOraElement("/db/USERS/~a", 1, 0, 1);
    info.createOraElement("/db/BLOCKTRACKING_FILE/~bct", 1, 0, 1);
    info.createOraElement("/db/USERS/~b", 1, 0, 1);
    info.createOraElement("/db/METADATA_FILE/~m1", 1, 0, 1);
    info.createOraElement("/db/METADATA_FILE/~m2", 1, 0, 1);
    info.createOraElement("/db/TEMP/~t", 1, 0, 1);
    info.createOraElement("/db/USERS/~c", 1, 0, 1);
    info.createOraElement("/db/LOG/+ARCH/a1/~dev~sdc", 1, 0, 1);
    info.createOraElement("/db/LOG/~fs.arc", 1, 0, 1);
    ASSERT_EQ(0, info.createOracleBCDIndexFile(m_file, true, false));
    EXPECT_EQ("/\n/db\n/db/USERS\n\t~a\n/db/BLOCKTRACKING_FILE\n\t~bct\n/db/USERS\n\t~b\n"
              "/db/METADATA_FILE\n\t~m1\n/db/METADATA_FILE\n\t~m2\n/db/TEMP\n\t~t\n/db/USERS\n\t~c\n"
              "/db/LOG\n/db/LOG/+ARCH\n/db/LOG/+ARCH/a1\n\t~dev~sdc\n/db/LOG\n\t~fs.arc",
              Read(m_file));
}

TEST_F(OraIndexFileTest, AppendsWithoutHeaderAndSkipsDataWhenAsked) {
    OraDBInfo info;
    info.createOraElement("/db/USERS/~a", 1, 0, 1);
    info.createOraElement("/db/SP_FILE/~sp", 1, 0, 1);
    ASSERT_EQ(0, info.createOracleBCDIndexFile(m_file, false, false));
    EXPECT_EQ("/\n/db\n/db/SP_FILE\n\t~sp", Read(m_file));
    ASSERT_EQ(0, info.createOracleBCDIndexFile(m_file, true, true));
    EXPECT_EQ("/\n/db\n/db/SP_FILE\n\t~sp\n/db/USERS\n\t~a\n/db/SP_FILE\n\t~sp", Read(m_file));

    OraDBInfo empty;
    empty.m_dbName = "E";
    ASSERT_EQ(0, empty.createOracleBCDIndexFile(m_file, true, false));
    EXPECT_EQ("/\n/E", Read(m_file));
}

TEST_F(OraIndexFileTest, BadIndexesAndTypesAreWrittenUnknown) {
    OraDBInfo info;
    info.m_dbName = "db";
    OraElement lost;
    lost.m_path = "/x";
    lost.m_tsInd = 4;
    lost.m_dgInd = 2;
    info.m_dataElements.push_back(lost);
    OraElement odd;
    odd.m_type = static_cast<OraElementType>(512);
    odd.m_path = "/y";
    info.m_archElements.push_back(odd);
    ASSERT_EQ(0, info.createOracleBCDIndexFile(m_file, true, false));
    EXPECT_EQ("/\n/db\n/db/UNKNOWN\n\t~x\n/db/UNKNOWN\n\t~y", Read(m_file));
}

TEST_F(OraIndexFileTest, FailuresAreReported) {
    OraDBInfo info;
    info.createOraElement("/db/USERS/~a", 1, 0, 1);
    EXPECT_EQ(-1, info.createOracleBCDIndexFile(m_root.base() + "/missing/dir/f", true, false));
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(-1, info.createOracleBCDIndexFile("/dev/full", true, true));
    }
}

}  // namespace
