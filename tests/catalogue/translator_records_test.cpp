// The translator's records: the file-entity line, StringSplit, the Sybase
// device map and the archive-file row order.
#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

class TranslatorRecordsTest : public nuvtest::SuiteTest {};

TEST_F(TranslatorRecordsTest, FileEntityLinesRoundTrip) {
    struct Case {
        char const* bcd;
        char const* source;
        char const* mount;
        uint64_t archiveFileId;
        int32_t snapId;
    };
    Case const cases[] = {
        {"/ORCL/USERS/~u01~a.dbf", "/u01/a.dbf", "/mnt/s/a.dbf", 5, 7},
        {"/db/LOG/~x", "", "", 0, -3},                       // empty source: a single space
        {"/pg/base", "/pg/base", "/mnt/p", 2147483648ull, 1},  // ids of 2^31 and more
        {"/pg/base", "/pg/base", "/mnt/p", 18446744073709551615ull, 2},
    };
    for (Case const& c : cases) {
        DBFileSnapshotEntity entity;
        entity.m_bcdString = c.bcd;
        entity.m_sourcePath = c.source;
        entity.m_mountPointTranslatedPath = c.mount;
        entity.m_archiveFileId = c.archiveFileId;
        entity.m_snapShotId = c.snapId;
        std::ostringstream out;
        out << entity;
        std::string line = out.str();
        ASSERT_EQ('\n', line.back());
        line.pop_back();
        DBFileSnapshotEntity back;
        DBFileSnapshotEntity::fromString(line, back, ',');
        EXPECT_EQ(c.bcd, back.m_bcdString);
        EXPECT_EQ(*c.source ? c.source : " ", back.m_sourcePath);
        EXPECT_EQ(c.mount, back.m_mountPointTranslatedPath);
        EXPECT_EQ(c.archiveFileId, back.m_archiveFileId) << line;
        EXPECT_EQ(c.snapId, back.m_snapShotId);
    }
}

TEST_F(TranslatorRecordsTest, ShortAndOddFileEntityLines) {
    DBFileSnapshotEntity entity;
    DBFileSnapshotEntity::fromString("a,b,c,5,7", entity, ',');
    EXPECT_EQ(5u, entity.m_archiveFileId);
    DBFileSnapshotEntity::fromString("x,y,z", entity, ',');
    EXPECT_EQ("x", entity.m_bcdString);
    EXPECT_EQ("z", entity.m_mountPointTranslatedPath);
    EXPECT_EQ(5u, entity.m_archiveFileId);  // not reached: kept
    EXPECT_EQ(7, entity.m_snapShotId);
    DBFileSnapshotEntity::fromString("x,y,z,-4,9", entity, ',');
    EXPECT_EQ(0u, entity.m_archiveFileId);  // not an unsigned number
    EXPECT_EQ(9, entity.m_snapShotId);
}

TEST_F(TranslatorRecordsTest, StringSplitTokens) {
    struct Case {
        char const* text;
        char const* delimiter;
        std::vector<std::string> tokens;
    };
    Case const cases[] = {
        {"/a/b//c/", "/", {"a", "b", "", "c"}},
        {"abc", "/", {}},
        {"a/b", "/", {"a", "b"}},
        {"db1~7", "~", {"db1", "7"}},
        {"/", "/", {}},
    };
    EvEvent event;
    for (Case const& c : cases) {
        std::vector<std::string> tokens;
        EXPECT_EQ(0, StringSplit(event, c.text, c.delimiter, tokens));
        EXPECT_EQ(c.tokens, tokens) << c.text;
    }
    std::vector<std::string> kept{"old"};
    StringSplit(event, "x/y", "/", kept);
    EXPECT_EQ((std::vector<std::string>{"old", "x", "y"}), kept);  // not cleared
}

TEST_F(TranslatorRecordsTest, SybaseDatabasesAreMappedToTheirDevices) {
    DBPathTranslator translator;
    translator.m_brannoxId = 2;
    translator.m_jobId = 41;
    translator.m_appId = 9;
    std::map<std::string, std::string> devices{{"dev1", "/~JZ_SYB_DEVICES~/dev1/~opt~dev1.dat"},
                                               {"dev2", "/~JZ_SYB_DEVICES~/dev2/~opt~dev2.dat"}};
    std::vector<std::string> views{
        "/~JZ_SYB_DB_VIEW~/srv/m1.xml/db1~7/dev1",
        "/~JZ_SYB_DB_VIEW~/srv/m1.xml/dev1",            // four components: ignored
        "/~JZ_SYB_DB_VIEW~/srv/m2.xml/bad/dev1",         // no id: skipped
        "/~JZ_SYB_DB_VIEW~/srv/m2.xml/a~1~2/dev1",       // two '~': skipped
        "/other/srv/m2.xml/db9~9/dev1",
        "/~JZ_SYB_DB_VIEW~/srv/m3.xml/db2~8/dev2",
    };
    EvEvent event;
    ASSERT_EQ(0, translator.processSybaseDevicePaths(views, devices, 3, 4, event));
    ASSERT_EQ(2u, translator.m_devicePathDBMap.size());
    auto const& first = translator.m_devicePathDBMap["/~JZ_SYB_DEVICES~/dev1/~opt~dev1.dat"];
    ASSERT_EQ(1u, first.size());
    DBProperty const& p = first.front();
    EXPECT_EQ("db1", p.m_dbName);
    EXPECT_EQ(7, p.m_dbId);
    EXPECT_EQ(2u, p.m_brannoxId);
    EXPECT_EQ(41, p.m_jobId);
    EXPECT_EQ(9u, p.m_appId);
    EXPECT_EQ(3, p.m_clientId);
    EXPECT_EQ(4, p.m_instanceId);

    std::vector<std::string> missing{"/~JZ_SYB_DB_VIEW~/srv/m4.xml/db4~4/dev9"};
    EXPECT_EQ(-1, translator.processSybaseDevicePaths(missing, devices, 3, 4, event));
    EXPECT_EQ(2u, translator.m_devicePathDBMap.size());

    EXPECT_EQ("/opt/sybase/data/dev1.dat", DecodeDevicePath("~opt~sybase~data~dev1.dat"));
    EXPECT_EQ("/plain", DecodeDevicePath("/plain"));
}

}  // namespace
