// The job file query over an index written by a feed, under both index
// generations: exactly the files the backup indexed, with their archive file.
#include "index_scene.h"

#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/job_scene.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

using Strings = std::vector<std::string>;

// A translator of the snap job under the generation the test asks for.
class JobQueryScene : public nuvcataloguetest::IndexScene {
protected:
    virtual bool Second() const = 0;
    DBPathTranslator Translator(unsigned appType) {
        if (Second()) EXPECT_FALSE(nuvindexing::SetGeneration(2, kAppId, true).IsError());
        DBPathTranslator t;
        t.m_brannoxId = 2;
        t.m_appId = kAppId;
        t.m_appType = appType;
        t.m_jobId = m_snapJob.id;
        return t;
    }
    static Strings Files(DBPathTranslator const& t) {
        Strings out;
        for (auto const& e : t.m_fileEntities) out.push_back(e.m_bcdString);
        std::sort(out.begin(), out.end());
        return out;
    }
    // The Oracle instance of the application (its name makes the query strings).
    void DeclareOracleInstance(std::string const& name, int appType) {
        nuvappmgr::ClientDecl client;
        client.name = "oraclient";
        unsigned long clientId = 0;
        ASSERT_FALSE(nuvappmgr::DeclareClient(client, &clientId).IsError());
        nuvappmgr::InstanceDecl instance;
        instance.clientId = clientId;
        instance.name = name;
        instance.appType = appType;
        unsigned long instanceId = 0;
        ASSERT_FALSE(nuvappmgr::DeclareInstance(instance, &instanceId).IsError());
        nuvappmgr::ApplicationDecl app;
        app.id = kAppId;
        app.clientId = clientId;
        app.appType = appType;
        app.instanceId = instanceId;
        ASSERT_FALSE(nuvappmgr::DeclareApplication(app).IsError());
    }
    static Strings Browsable() {
        Strings out;
        DBPathTranslator t;
        std::ostringstream text;
        (void)DBPathTranslator::writeBrowseablePathToFile(text);
        for (std::string const& line : nuvtest::SplitAt(text.str(), '\n'))
            if (!line.empty() && line != "TABLEBACKUPMETADATA**") out.push_back(line.substr(0, line.find(',')));
        std::sort(out.begin(), out.end());
        return out;
    }
};

class JobQueryTest : public JobQueryScene, public ::testing::WithParamInterface<bool> {
protected:
    bool Second() const override { return GetParam(); }
};

TEST_P(JobQueryTest, PostgresFilesAreExactlyThoseIndexed) {
    ArchiveFileId_t const afile = ArchiveFile(1);
    Feed(125, afile,
         {{"/TblView/db/t1"}, {"/TblView/db/t10"}, {"/+DBDIR+/data/pg/"}, {"/data/pg/base/1", false, 100},
          {"/data/pg/base/2", false, 200}, {"/elsewhere/x", false, 1}});
    DBPathTranslator t = Translator(125);
    ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
    Strings const expected = GetParam() ? Strings{"/data/pg/base/1", "/data/pg/base/2"}
                                        : Strings{"/data/pg/base/1", "/data/pg/base/2", "/elsewhere/x"};
    EXPECT_EQ(expected, Files(t));
    for (auto const& e : t.m_fileEntities) {
        EXPECT_EQ(afile.archFileId, e.m_archiveFileId) << e.m_bcdString;
        EXPECT_TRUE(e.m_sourcePath.empty());
    }
    EXPECT_EQ((Strings{"/+DBDIR+/data/pg", "/TblView/db/t1", "/TblView/db/t10"}), Browsable());
    ASSERT_EQ(1u, t.m_archFileList.size());
    EXPECT_TRUE(nuvtest::Exists(JzNamedMutex::LockFileFor("idxq_2_" + std::to_string(m_snapJob.id))));
}

// The second generation's PostgreSQL query writes a line per file at the
// level users run (the default); the first generation's per-file lines come
// only above it.
TEST_P(JobQueryTest, PostgresFileLinesByLevel) {
    ArchiveFileId_t const afile = ArchiveFile(1);
    Feed(125, afile, {{"/+DBDIR+/data/pg/"}, {"/data/pg/base/1", false, 100}, {"/data/pg/base/2", false, 200}});
    std::string const log = m_root.path() + "/logs/nuvdbsnap.log";
    int const defaultLevel = JzLogWriter().getLevel();   // a fresh writer's, from the settings
    ASSERT_EQ(1, defaultLevel);
    struct Case {
        int level;
        char const* line;   // a line the query writes for the file /data/pg/base/1, or null for none
    } const cases[] = {
        {0, nullptr},
        {defaultLevel, GetParam() ? " 1 [int DBPathTranslator::getArchiveFileIdsFromIndexV2ForAJob(bool&)] "
                                    "Postgres path [/data/pg/base/1]\n"
                                  : nullptr},
        {2, GetParam() ? "] Postgres path [/data/pg/base/1]" : "] BCD string is /data/pg/base/1"},
    };
    for (Case const& c : cases) {
        g_ptrLogWriter->setLevel(c.level);
        size_t const before = nuvtest::ReadFile(log).size();
        DBPathTranslator t = Translator(125);
        ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
        ASSERT_EQ(2u, t.m_fileEntities.size());
        std::string const text = nuvtest::ReadFile(log).substr(before);   // the lines of this query
        if (c.line == nullptr) {
            EXPECT_EQ(std::string::npos, text.find("/data/pg/base/")) << c.level << text;
        } else {
            EXPECT_NE(std::string::npos, text.find(c.line)) << c.level << text;
        }
    }
    g_ptrLogWriter->setLevel(defaultLevel);
}

TEST_P(JobQueryTest, SybaseDatabasesAreMappedToTheirDevicesAndCatalogued) {
    ArchiveFileId_t const afile = ArchiveFile(6);
    Feed(5, afile,
         {{"/~JZ_SYB_DB_VIEW~/srv/m1.xml/db1~7/dev1"}, {"/~JZ_SYB_DB_VIEW~/srv/m1.xml/db2~8/dev1"},
          {"/~JZ_SYB_DB_VIEW~/srv/m2.xml/db3/dev1"},   // no id: skipped
          {"/~JZ_SYB_DEVICES~/dev1/~syb~dev1.dat", false, 10}, {"/syb/data/master.dat", false, 10}});
    DBPathTranslator t = Translator(5);
    ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
    // The first generation lists the device entry as a file too; the second takes it as a device alone.
    Strings const files = GetParam() ? Strings{"/syb/data/master.dat"}
                                     : Strings{"/syb/data/master.dat", "/~JZ_SYB_DEVICES~/dev1/~syb~dev1.dat"};
    EXPECT_EQ(files, Files(t));
    std::string const device = "/~JZ_SYB_DEVICES~/dev1/~syb~dev1.dat";
    ASSERT_EQ(1u, t.m_devicePathDBMap.size());
    ASSERT_EQ(2u, t.m_devicePathDBMap[device].size());
    EXPECT_EQ("db1", t.m_devicePathDBMap[device].front().m_dbName);
    EXPECT_EQ(7, t.m_devicePathDBMap[device].front().m_dbId);

    EXPECT_EQ(1, t.UpdateSybaseCatalog(afile.archFileId, "/no/such/device"));
    EXPECT_TRUE(nuvappmgr::ListCentralRequests("sybase-catalogue").empty());
    nuvsuite::AddFault("appmgr", "NuvBackup::setSybaseCatalogEntries", 9, "server busy", 1);
    EXPECT_EQ(1, t.UpdateSybaseCatalog(afile.archFileId, device)) << "the first database is refused";
    EXPECT_EQ(0, t.UpdateSybaseCatalog(afile.archFileId, device));
    auto const sent = nuvappmgr::ListCentralRequests("sybase-catalogue");
    ASSERT_EQ(2u, sent.size());
    Strings names;
    for (auto const& r : sent) {
        Nuv::NuvBackupInfo info;
        ASSERT_EQ(0, info.unserialize(r.xml));
        CNMessageBase const* entry = info.getObjectAccessor(1, 1);
        ASSERT_NE(nullptr, entry);
        names.push_back(entry->getstring(1));
        EXPECT_EQ(m_snapJob.id, entry->getint64(7));
        auto* streams = const_cast<CNMessageBase*>(entry)->getlistobject<CNMessageBase>(2, 5, false);
        ASSERT_TRUE(streams && streams->size() == 1);
        EXPECT_EQ(int64_t(afile.archFileId), streams->front().getint64(2));
        EXPECT_EQ(1, streams->front().getint64(3));
    }
    EXPECT_EQ((Strings{"db1", "db2"}), names);
}

TEST_P(JobQueryTest, OtherEnginesListTheFilesAndKeepLinksBrowsable) {
    ArchiveFileId_t const afile = ArchiveFile(6);
    Feed(37, afile,
         {{"/db2/NODE0000/S0000001.LOG", false, 5},
          {"/+SYMLINK2FILE+/db2/link", false, 0, {{0x2693795B, "/db2/target"}}},
          {"/db2/data", true}});
    DBPathTranslator t = Translator(37);
    ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
    // Both generations take the file items alone, not the directory.
    EXPECT_EQ((Strings{"/db2/NODE0000/S0000001.LOG"}), Files(t));
    EXPECT_EQ((Strings{"/+SYMLINK2FILE+/db2/link"}), Browsable());
    // An engine whose items carry no metadata is said once per query, not once per item.
    std::string const log = nuvtest::ReadFile(std::string(std::getenv("JZ_SUITE_ROOT")) + "/logs/nuvdbsnap.log");
    size_t said = 0;
    for (size_t at = log.find("not handled for index metadata parsing"); at != std::string::npos;
         at = log.find("not handled for index metadata parsing", at + 1))
        ++said;
    EXPECT_EQ(GetParam() ? 1u : 0u, said);
}

// The database files of each engine are its file items: the directories
// indexed above them are no files (an Oracle translation of a directory
// fails), while PostgreSQL's data-directory markers stay browsable. The same
// in a second query of the process.
TEST_P(JobQueryTest, DatabaseFilesLeaveTheirDirectoriesOut) {
    struct Case {
        char const* name;
        unsigned appType;
        std::vector<nuvcataloguetest::IndexedPath> indexed;
        Strings files;
        Strings browsable;
    } const cases[] = {
        {"Oracle", 22,
         {{"/ORCL", true}, {"/ORCL/data", true}, {"/ORCL/data/system01.dbf", false, 10},
          {"/ORCL/data/users01.dbf", false, 20}, {"/TblView/ORCL/T1"}},
         {"/ORCL/data/system01.dbf", "/ORCL/data/users01.dbf"},
         {"/TblView/ORCL/T1"}},
        {"Oracle 80", 80,
         {{"/ORCL", true}, {"/ORCL/oradata", true}, {"/ORCL/oradata/system01.dbf", false, 10}},
         {"/ORCL/oradata/system01.dbf"},
         {}},
        {"MySQL", 104,
         {{"/+NOBROWSE+/var", true}, {"/+NOBROWSE+/var/mysql", true}, {"/+NOBROWSE+/var/mysql/ibdata1", false, 10}},
         {"/+NOBROWSE+/var/mysql/ibdata1"},
         {}},
        {"PostgreSQL", 125,
         {{"/data/pg/base/1", false, 100}, {"/data/pg/base/2", false, 200}},
         {"/data/pg/base/1", "/data/pg/base/2"},
         {"/+DBDIR+/data/pg"}},
        {"DB2", 37,
         {{"/db2", true}, {"/db2/data", true}, {"/db2/data/SQL00001.DAT", false, 10}},
         {"/db2/data/SQL00001.DAT"},
         {}},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &m_snapJob).IsError());
        ASSERT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &m_runningJob).IsError());
        setenv("JZ_JOB_ID", std::to_string(m_runningJob.id).c_str(), 1);
        if (k.appType == 22 || k.appType == 80) DeclareOracleInstance("ORCL", k.appType);
        ArchiveFileId_t const afile = ArchiveFile(1);
        Feed(k.appType, afile, k.indexed);
        if (k.appType == 125) Feed(125, {2, 0, 0}, {{"/+DBDIR+/data/pg"}});   // the agent's marker run
        for (int query = 1; query <= 2; ++query) {
            SCOPED_TRACE(query);
            DBPathTranslator t = Translator(k.appType);
            ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
            EXPECT_EQ(k.files, Files(t));
            for (auto const& e : t.m_fileEntities) EXPECT_EQ(afile.archFileId, e.m_archiveFileId) << e.m_bcdString;
            EXPECT_EQ(k.browsable, Browsable());
        }
    }
}

TEST_P(JobQueryTest, ArchiveManagerFailureIsTheResult) {
    nuvsuite::AddFault("archive", "ArMgrClientAPI::getArchFileListForSnapshotJob", 23, "down", -1);
    DBPathTranslator t = Translator(125);
    EXPECT_EQ(23, t.getArchiveFileIdsFromIndexForAJob());
    EXPECT_TRUE(t.m_fileEntities.empty());
}

INSTANTIATE_TEST_SUITE_P(Generations, JobQueryTest, ::testing::Values(false, true),
                         [](::testing::TestParamInfo<bool> const& info) { return info.param ? "Second" : "First"; });

// Two snap jobs of one application that started in the same second share a
// time window: each job's query still answers that job's files alone.
struct TwinCase {
    char const* name;
    bool second;
    unsigned appType;
    int archiveFileType;
};

void PrintTo(TwinCase const& c, std::ostream* os) { *os << c.name; }

class TwinJobsTest : public JobQueryScene, public ::testing::WithParamInterface<TwinCase> {
protected:
    bool Second() const override { return GetParam().second; }
    // Two jobs made in one second, each with its archive file and its files
    // indexed (and, for PostgreSQL, the marker of its data directory).
    void MakeTwins(TwinCase const& c) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            ASSERT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &m_snapJob).IsError());
            ASSERT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &m_twin).IsError());
            if (m_snapJob.started == m_twin.started) break;
        }
        ASSERT_EQ(m_snapJob.started, m_twin.started) << "no two jobs started in one second";
        ArchiveFileId_t const none{2, 0, 0};
        Feed(c.appType, ArchiveFile(c.archiveFileType), {{"/data/a/1", false, 1}, {"/data/a/2", false, 2}});
        if (c.appType == 125) Feed(125, none, {{"/+DBDIR+/data/a"}});
        Feed(c.appType, ArchiveFile(c.archiveFileType, &m_twin), {{"/data/b/1", false, 3}}, &m_twin);
        if (c.appType == 125) Feed(125, none, {{"/+DBDIR+/data/b"}}, &m_twin);
    }
    nuvjobmgr::JobInfo m_twin;
};

TEST_P(TwinJobsTest, EachJobAnswersItsOwnFiles) {
    MakeTwins(GetParam());
    DBPathTranslator first = Translator(GetParam().appType);
    ASSERT_EQ(0, first.getArchiveFileIdsFromIndexForAJob());
    EXPECT_EQ((Strings{"/data/a/1", "/data/a/2"}), Files(first));

    m_snapJob = m_twin;
    DBPathTranslator twin = Translator(GetParam().appType);
    ASSERT_EQ(0, twin.getArchiveFileIdsFromIndexForAJob());
    EXPECT_EQ((Strings{"/data/b/1"}), Files(twin));
}

INSTANTIATE_TEST_SUITE_P(Jobs, TwinJobsTest,
                         ::testing::Values(TwinCase{"PostgresFirst", false, 125, 1},
                                           TwinCase{"PostgresSecond", true, 125, 1},
                                           TwinCase{"Db2First", false, 37, 6},
                                           TwinCase{"Db2Second", true, 37, 6}),
                         [](::testing::TestParamInfo<TwinCase> const& info) { return std::string(info.param.name); });

}  // namespace
