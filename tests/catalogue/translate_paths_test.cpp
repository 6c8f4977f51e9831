// Source-to-mount translation of file entities onto a job's snapshot volumes.
#include "nuvdbsnap/catalogue/db_element.h"
#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "nuvdbsnap/catalogue/ora_db_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

using Strings = std::vector<std::string>;

// The plain translator: the catalogue path moved from under the source mount to under the snapshot mount.
std::string Move(std::string const& bcd, std::string const& source, std::string const& snap) {
    if (bcd.compare(0, source.size(), source) != 0) return bcd;
    return snap + bcd.substr(source.size());
}
// Oracle's translator: the file path at the end of the catalogue path, moved.
std::string Oracle(std::string const& bcd, std::string const& source, std::string const& snap) {
    return OraElement::translatePath(bcd, source, snap);
}
// A translator that misses the mount by a near name.
std::string NearMiss(std::string const& bcd, std::string const& source, std::string const& snap) {
    return snap + "2" + bcd.substr(source.size());
}

// A translation's outcome: the prefix check's failure, or the remaining entities' mount paths.
void ExpectOutcome(CFzError const& e, DBPathTranslator const& t, bool ok, Strings const& translated) {
    EXPECT_EQ(ok, !e.IsError()) << e.AsString();
    if (!ok) {
        EXPECT_TRUE(FXErrorUtil::IsJZResult(e, 3)) << e.AsString();
        return;
    }
    Strings got;
    for (auto const& entity : t.m_fileEntities) got.push_back(entity.m_mountPointTranslatedPath);
    EXPECT_EQ(translated, got);
}

struct Volume {
    int afile;
    std::string source, mount;
    int flags = 0;
    std::string repBase, repRelative, original;
};

struct TranslateCase {
    char const* name;
    unsigned appType;
    std::vector<Volume> volumes;
    Strings bcds;                 // entities, all of archive file 1 unless named "other:<bcd>"
    PathTranslator translator;
    bool ok;
    Strings translated;           // the remaining entities' mount paths
};

void PrintTo(TranslateCase const& c, std::ostream* os) { *os << c.name; }

class TranslateTest : public nuvtest::SuiteTest, public ::testing::WithParamInterface<TranslateCase> {};

TEST_P(TranslateTest, MovesEachEntityUnderItsVolumesMount) {
    TranslateCase const& c = GetParam();
    std::string const base = m_root.base();
    auto expand = [&](std::string text) {
        size_t at = text.find("@");
        return at == std::string::npos ? text : text.replace(at, 1, base);
    };
    SMVolSnapInfo snap;
    for (Volume const& v : c.volumes) {
        SMVolumeInfo volume;
        volume.setArchFileId(v.afile);
        volume.setSourcePath(v.source);
        volume.setMountPath(expand(v.mount));
        volume.setVolumeFlags(v.flags);
        volume.setRepBasePath(v.repBase);
        volume.setRepRelativePath(v.repRelative);
        volume.setOriginalSourcePath(v.original);
        snap.addVolume(volume);
    }
    nuvtest::MakeDir(base + "/snap/db2");
    nuvtest::WriteFile(base + "/snap/db2/present.LOG", "x");
    DBPathTranslator t;
    t.m_appType = c.appType;
    for (std::string bcd : c.bcds) {
        DBFileSnapshotEntity e;
        e.m_archiveFileId = 1;
        if (bcd.compare(0, 6, "other:") == 0) {
            e.m_archiveFileId = 99;
            bcd = bcd.substr(6);
        }
        e.m_bcdString = bcd;
        t.m_fileEntities.push_back(e);
    }
    Strings expected;
    for (std::string const& p : c.translated) expected.push_back(expand(p));
    ExpectOutcome(t.translateSrcPathIntoMountPath(snap, c.translator), t, c.ok, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranslateTest,
    ::testing::Values(
        TranslateCase{"Plain", 125, {{1, "/data", "/mnt/s"}}, {"/data/a", "/data/b/c"}, Move, true,
                      {"/mnt/s/a", "/mnt/s/b/c"}},
        TranslateCase{"TrailingSlashMount", 125, {{1, "/data", "/mnt/s/"}}, {"/data/a"}, Move, true, {"/mnt/s//a"}},
        TranslateCase{"NearMissMount", 125, {{1, "/data", "/mnt/s"}}, {"/data/a"}, NearMiss, false, {}},
        // The live database must never be read instead of the snapshot.
        TranslateCase{"EmptyMount", 125, {{1, "/data", ""}}, {"/data/a"}, Move, false, {}},
        TranslateCase{"SingleName", 125, {{1, "/data/db1/", "/mnt/snap1", 2}}, {"/whatever"}, Move, true,
                      {"/mnt/snap1/db1"}},
        TranslateCase{"SingleNameOfRoot", 125, {{1, "/", "/mnt/snap1", 1}}, {"/x"}, Move, true, {"/mnt/snap1"}},
        TranslateCase{"Replica", 125, {{1, "/data/", "/mnt/r", 0, "/rb", "/data/sub", "/orig"}}, {"/orig/f"}, Move,
                      true, {"/mnt/r/sub/f"}},
        TranslateCase{"ReplicaPathTooShort", 125, {{1, "/data/long", "/mnt/r", 0, "/rb", "/d", "/orig"}}, {"/orig/f"},
                      Move, false, {}},
        // The relative path must begin with the source path, by whole components:
        // one of another path as long as the source's would land in the mount.
        TranslateCase{"ReplicaOfAnotherPath", 125, {{1, "/data", "/mnt/r", 0, "/rb", "/save/sub", "/orig"}},
                      {"/orig/f"}, Move, false, {}},
        TranslateCase{"Db2ReplicaOfAnotherPath", 37, {{1, "/db2/inst", "/mnt/r", 0, "/rb", "/db2/save/x", "/orig"}},
                      {"/orig/f"}, Move, false, {}},
        TranslateCase{"ReplicaOfANearName", 125, {{1, "/data", "/mnt/r", 0, "/rb", "/datab/sub", "/orig"}},
                      {"/orig/f"}, Move, false, {}},
        TranslateCase{"ReplicaOfRoot", 37, {{1, "/", "/mnt/r", 0, "/rb", "/sub", "/orig"}}, {"/orig/f"}, Move, true,
                      {"/mnt/r/sub/f"}},
        TranslateCase{"OracleReplicaOfAnotherPath", 22, {{1, "/u01", "/mnt/r", 0, "/rb", "/u02/x", "/u01"}},
                      {"/ORCL/USERS/~u01~a.dbf"}, Oracle, false, {}},
        TranslateCase{"OracleReplica", 22, {{1, "/u01/", "/mnt/r", 0, "/rb", "/u01/x", "/u01"}},
                      {"/ORCL/USERS/~u01~a.dbf"}, Oracle, true, {"/mnt/r/x/a.dbf"}},
        // A relative path inside a disk group lies under no mount, not even "/".
        TranslateCase{"OracleOnRootVolume", 22, {{1, "/", "/mnt/s"}}, {"/ORCL/USERS/~u01~a.dbf"}, Oracle, true,
                      {"/mnt/s/u01/a.dbf"}},
        TranslateCase{"OracleRelativeOnRootVolume", 22, {{1, "/", "/mnt/s"}}, {"/ORCL/CONTROL_FILE/ORCL~control01.ctl"},
                      Oracle, false, {}},
        TranslateCase{"NoVolumes", 125, {}, {"/data/a"}, Move, false, {}},
        TranslateCase{"NothingToTranslate", 125, {{1, "/data", "/mnt/s"}}, {}, Move, true, {}},
        // A marker counts once, however many volumes miss it: a missing file still fails.
        TranslateCase{"MarkerCountedOnce", 125, {{5, "/a", "/m5"}, {6, "/b", "/m6"}},
                      {"other:/+DBDIR+/data", "other:/data/lost"}, Move, false, {}},
        TranslateCase{"MarkerAccounted", 125, {{1, "/data", "/mnt/s"}}, {"/data/a", "other:/+DBDIR+/data"}, Move,
                      true, {"/mnt/s/a", ""}},
        // DB2: a log file gone from the snapshot is dropped, any other file stays.
        TranslateCase{"Db2Pruning", 37, {{1, "/db2", "@/snap/db2"}},
                      {"/db2/S0000007.LOG/", "/db2/present.LOG", "/db2/data.dat"}, Move, true,
                      {"@/snap/db2/present.LOG", "@/snap/db2/data.dat"}}),
    [](::testing::TestParamInfo<TranslateCase> const& info) { return std::string(info.param.name); });

// The element-list form: each engine's catalogue strings give file paths,
// translated under the volume's mount. PostgreSQL drops a file at or above the
// source mount point (its data directory's parents); any other miss fails.
struct ElementCase {
    char const* name;
    unsigned appType;  // 125 or 104
    std::string source;
    Strings bcds;
    bool ok;
    Strings translated;
};

void PrintTo(ElementCase const& c, std::ostream* os) { *os << c.name; }

class TranslateElementsTest : public nuvtest::SuiteTest, public ::testing::WithParamInterface<ElementCase> {};

TEST_P(TranslateElementsTest, MovesTheElementsFilePaths) {
    ElementCase const& c = GetParam();
    SMVolSnapInfo snap;
    SMVolumeInfo volume;
    volume.setArchFileId(1);
    volume.setSourcePath(c.source);
    volume.setMountPath("/mnt/s");
    snap.addVolume(volume);
    DBPathTranslator t;
    t.m_appType = c.appType;
    for (std::string const& bcd : c.bcds) {
        DBFileSnapshotEntity e;
        e.m_archiveFileId = 1;
        e.m_bcdString = bcd;
        t.m_fileEntities.push_back(e);
    }
    PostGreSqlDBElementList pg;
    MySqlDBElementList mysql;
    DBElementList& elements = c.appType == 125 ? static_cast<DBElementList&>(pg) : mysql;
    ExpectOutcome(t.translateSrcPathIntoMountPath(snap, elements), t, c.ok, c.translated);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranslateElementsTest,
    ::testing::Values(
        ElementCase{"PostgreSqlParentsDropped", 125, "/pg/data", {"/pg", "/pg/", "/", "/pg/data", "/pg/data/base/1"},
                    true, {"/mnt/s", "/mnt/s/base/1"}},
        // A name that merely starts the source path is no parent of it.
        ElementCase{"PostgreSqlNearNameAbove", 125, "/pgdata", {"/pg", "/pgdata/base/1"}, false, {}},
        ElementCase{"PostgreSqlNearNameBeside", 125, "/data/pgdata", {"/data/p", "/data/pgdata/base/1"}, false, {}},
        ElementCase{"PostgreSqlSourceWithTrailingSlash", 125, "/pg/data/", {"/pg", "/pg/data/PG_VERSION"}, true,
                    {"/mnt/s/PG_VERSION"}},
        // Only PostgreSQL drops parents.
        ElementCase{"MySqlParentFails", 104, "/var/lib/mysql", {"/+NOBROWSE+/var/lib"}, false, {}},
        ElementCase{"MySqlFile", 104, "/var/lib/mysql", {"/+NOBROWSE+/var/lib/mysql/ibdata1"}, true,
                    {"/mnt/s/ibdata1"}}),
    [](::testing::TestParamInfo<ElementCase> const& info) { return std::string(info.param.name); });

TEST(TranslateChecks, LogEntitiesAndDb2Names) {
    nuvtest::ScopedSuiteRoot root;
    DBPathTranslator t;
    EXPECT_FALSE(t.checkIfLogEntity(5));
    GetArchFileListForJobRetCC_t row;
    row.archFileId = 5;
    row.archFileType = 6;
    t.m_archFileList.push_back(row);
    EXPECT_FALSE(t.checkIfLogEntity(5));
    t.m_archFileList.back().archFileType = 4;
    EXPECT_TRUE(t.checkIfLogEntity(5));
    t.m_appType = 37;
    std::string lock = "/db2/x.db2FSLock";
    EXPECT_TRUE(t.shouldSkipFileIfNotFound(lock));
    nuvtest::SetSetting("Nuvantry", "nDb2SnapExcludeFSLock", "false");
    EXPECT_FALSE(t.shouldSkipFileIfNotFound(lock));
    std::string log = "/db2/S0000001.LOG/";
    EXPECT_TRUE(t.shouldSkipFileIfNotFound(log));
    EXPECT_EQ("/db2/S0000001.LOG", log);
    // Only the name after the last '/' counts.
    struct Case {
        char const* path;
        bool skipped;
    };
    for (Case const c : {Case{"S0000002.LOG", true}, Case{"/db2/S.LOG//", true}, Case{"/db2/xS0000002.LOG", false},
                         Case{"/db2/S0000002.LOG.bak", false}, Case{"/S0000002/LOG", false}, Case{"/", false},
                         Case{"", false}, Case{"/db2/x.db2FSLock/data", false}}) {
        std::string path = c.path;
        EXPECT_EQ(c.skipped, t.shouldSkipFileIfNotFound(path)) << c.path;
    }
}

}  // namespace
