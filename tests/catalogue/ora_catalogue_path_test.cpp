// The Oracle file model: catalogue paths written and read back, the registers
// that reading fills, and the bounds of indexes set by agents.
#include "nuvdbsnap/catalogue/ora_db_info.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

class OraCataloguePathTest : public nuvtest::SuiteTest {};

TEST_F(OraCataloguePathTest, WriterFormsComeBackWholeThroughTheReader) {
    struct Case {
        char const* path;
        OraElementType type;
        char const* file;
        char const* group;  // "" when not on ASM
    };
    Case const cases[] = {
        {"/ORCL/USERS/~u01~oradata~users01.dbf", TABLESPACE_FILE, "/u01/oradata/users01.dbf", ""},
        {"/ORCL/CONTROL_FILE/+DATA/ORCL~control01.ctl", CONTROL_FILE, "ORCL/control01.ctl", "DATA"},
        {"/ORCL/BLOCKTRACKING_FILE/~u01~bct.chg", BLOCKTRACKING_FILE, "/u01/bct.chg", ""},
        {"/ORCL/#ORVT#LOG/~u01~log_ts.dbf", TABLESPACE_FILE, "/u01/log_ts.dbf", ""},
        {"/ORCL/REDOLOG_FILE/+REDO/ORCL~redo01.log", REDOLOG_FILE, "ORCL/redo01.log", "REDO"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.path);
        OraDBInfo info;
        OraElement element = info.createOraElement(c.path, 7, 0, 11);
        EXPECT_EQ(c.type, element.m_type);
        EXPECT_EQ(c.file, element.m_path);
        EXPECT_EQ("ORCL", info.m_dbName);
        if (*c.group) {
            ASSERT_NE(nullptr, info.diskGroupOf(element));
            EXPECT_EQ(c.group, info.diskGroupOf(element)->m_name);
            EXPECT_EQ(0, element.m_archiveFileId);  // recorded per disk on ASM
        } else {
            EXPECT_EQ(-1, element.m_dgInd);
            EXPECT_EQ(11, element.m_archiveFileId);
        }
        EXPECT_EQ(c.path, element.toString(info, ""));
    }
}

TEST_F(OraCataloguePathTest, KeywordTablespacesCarryTheMarkerAndKeepTheirIndex) {
    OraDBInfo info;
    info.createOraElement("/db/USERS/~u01~a.dbf", 1, 0, 1);
    OraElement first = info.createOraElement("/db/#ORVT#CONTROL_FILE/~u01~b.dbf", 1, 0, 1);
    OraElement again = info.createOraElement("/db/#ORVT#CONTROL_FILE/~u01~c.dbf", 1, 0, 1);
    EXPECT_EQ(TABLESPACE_FILE, first.m_type);
    EXPECT_EQ(1, first.m_tsInd);
    EXPECT_EQ(1, again.m_tsInd);
    EXPECT_EQ((std::vector<std::string>{"USERS", "CONTROL_FILE"}), info.m_tsNames);
    EXPECT_EQ("/db/#ORVT#CONTROL_FILE/~u01~b.dbf", first.toString(info, ""));
    // The marker counts only in front.
    OraElement inner = info.createOraElement("/db/X#ORVT#LOG/~f", 1, 0, 1);
    EXPECT_EQ("X#ORVT#LOG", info.m_tsNames[inner.m_tsInd]);
}

TEST_F(OraCataloguePathTest, GroupsMatchIgnoringCasePerJobAndDisksAreAddedOnce) {
    OraDBInfo info;
    info.createOraElement("/db/LOG/+DATA/~arch~2.arc", 5, 0, 1);
    OraElement sameJob = info.createOraElement("/db/LOG/+data/~arch~1.arc", 5, 0, 1);
    EXPECT_EQ(0, sameJob.m_dgInd);
    OraElement otherJob = info.createOraElement("/db/LOG/+data/~arch~1.arc", 6, 0, 1);
    EXPECT_EQ(1, otherJob.m_dgInd);
    EXPECT_EQ(2u, info.m_archDGs.size());
    EXPECT_TRUE(info.m_dataDGs.empty());

    std::string disk;
    OraElement data = info.createOraElement("/db/METADATA_FILE/+DG/ORCL~m.dat/~dev~sdb1", 5, 0, 21, 2, &disk);
    EXPECT_EQ("/dev/sdb1", disk);
    ASSERT_EQ(1u, info.m_dataDGs.size());  // a type-64 file's group is a data group
    info.createOraElement("/db/METADATA_FILE/+DG/ORCL~m.dat/~dev~sdb1~", 5, 0, 99, 2, &disk);
    ASSERT_EQ(1u, info.m_dataDGs[0].m_disks.size());
    EXPECT_EQ(21, info.m_dataDGs[0].m_disks[0].m_archiveFileId);
    EXPECT_EQ(1u, info.m_dataElements.size());
    (void)data;
}

TEST_F(OraCataloguePathTest, ReadingIsIdempotentAndKeepsTheFirstDatabaseName) {
    OraDBInfo info;
    info.m_dbName = "OTHER";
    info.createOraElement("/db/USERS/~u01~a.dbf", 1, 0, 1);
    info.createOraElement("//db//USERS/~u01~a.dbf", 1, 0, 1);
    info.createOraElement("/db/USERS/~u01~a.dbf/", 1, 0, 1);
    EXPECT_EQ("OTHER", info.m_dbName);
    EXPECT_EQ(1u, info.m_dataElements.size());
    OraElement empty = info.createOraElement("", 1, 0, 1);
    EXPECT_EQ(TABLESPACE_FILE, empty.m_type);
    EXPECT_TRUE(empty.m_path.empty());
}

TEST_F(OraCataloguePathTest, WriterReducesSlashesAndWritesExtras) {
    OraDBInfo info;
    info.m_dbName = "db";
    OraElement log;
    log.m_type = LOG;
    EXPECT_EQ("/db/LOG//~dev~sdb", log.toString(info, "/dev/sdb"));
    OraElement data;
    data.m_type = REDOLOG_FILE;
    data.m_path = "/u01///a~b";
    EXPECT_EQ("/db/REDOLOG_FILE/~u01~~a~b", data.toString(info, ""));
    EXPECT_EQ("/u01//a/b", data.m_path);
    OraElement odd;
    odd.m_type = static_cast<OraElementType>(128);
    odd.m_path = "/x";
    EXPECT_EQ("/db~x", odd.toString(info, ""));
    // Not on ASM: the extra reads back as the path.
    OraDBInfo back;
    OraElement read = back.createOraElement(log.toString(info, "/dev/sdb"), 1, 0, 1);
    EXPECT_EQ("/dev/sdb", read.m_path);
}

// Indexes that agents set or texts carry are bounds-checked.
TEST_F(OraCataloguePathTest, BadIndexesNeverReadOutOfRange) {
    OraDBInfo info;
    info.createOraElement("/db/A/~a", 1, 0, 1);
    info.createOraElement("/db/B/~b", 1, 0, 1);
    info.createOraElement("/db/C/+G/~c", 1, 0, 1);
    struct Case {
        int tsInd;
        int dgInd;
        char const* expected;
    };
    Case const cases[] = {
        {7, 0, "/db/UNKNOWN/~f"},   // tablespace out of range: no group either
        {-2, -1, "/db/UNKNOWN/~f"},
        {1, 0, "/db/B/+G/~f"},
        {1, 5, "/db/B/~f"},         // group out of range: not on ASM
    };
    for (Case const& c : cases) {
        OraElement e;
        e.m_path = "/f";
        e.m_tsInd = c.tsInd;
        e.m_dgInd = c.dgInd;
        EXPECT_EQ(c.expected, e.toString(info, "")) << c.tsInd << "," << c.dgInd;
    }
    // A disk without a disk group is given back and adds no disk.
    std::string disk;
    info.createOraElement("/db/LOG/~arch/x/~dev~sdc", 1, 0, 1, 2, &disk);
    EXPECT_EQ("/dev/sdc", disk);
    for (ASMDiskGroup const& g : info.m_archDGs) EXPECT_TRUE(g.m_disks.empty());
}

TEST_F(OraCataloguePathTest, DisksMatchEitherPathWithOneTrailingSlashIgnored) {
    ASMDisk disk;
    disk.m_diskPath = "/dev/sdb1/";
    disk.m_altDiskPath = "/dev/asm/disk1";
    EXPECT_TRUE(disk == "/dev/asm/disk1/");
    EXPECT_EQ("/dev/sdb1", disk.m_diskPath);
    EXPECT_TRUE(disk == "/dev/sdb1");
    EXPECT_FALSE(disk == "/dev/sdb");
    ASMDiskGroup group("Data", 1, 0, 2);
    EXPECT_TRUE(group == "DATA");
    EXPECT_FALSE(group == "DATA2");
    // The snapshot name comes from the local suite's snapshot manager.
    EXPECT_EQ("DATA_S41_0", ASMDiskGroup::getSnapDGName(0, "+" + group.m_name, 2u, 41LL, 0UL));
}

TEST_F(OraCataloguePathTest, SearchFindsDataElementsByArchiveFile) {
    OraDBInfo info;
    info.createOraElement("/db/USERS/~a", 1, 0, 40);
    info.createOraElement("/db/LOG/~b", 1, 0, 41);
    EXPECT_TRUE(info.isDataArchiveFile(40));
    EXPECT_FALSE(info.isDataArchiveFile(41));  // archive elements are not searched
}

TEST_F(OraCataloguePathTest, TypeNamesByLowestBit) {
    struct Case {
        int type;
        char const* name;
    };
    Case const cases[] = {{0, "UNKNOWN"}, {1, "LOG"}, {3, "LOG"}, {32, "REDOLOG_FILE"}, {64, "METADATA_FILE"},
                          {256, nullptr}};
    for (Case const& c : cases) {
        OraElementType type = static_cast<OraElementType>(c.type);
        char const* name = OraDBInfo::getElementTypeStr(type);
        if (c.name == nullptr)
            EXPECT_EQ(nullptr, name) << c.type;
        else
            EXPECT_STREQ(c.name, name) << c.type;
    }
}

}  // namespace
