// DbTabRestoreUtils: the table-level records and their directory-change file
// at backup, and the table selection read back at restore in dependency order.
#include "nuvdbsnap/index.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

using Strings = std::vector<std::string>;

namespace {

constexpr unsigned kApp = 12;

std::string Read(std::string const& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DbTabTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        Init(m_utils);
    }

    void Init(DbTabRestoreUtils& u, bool writeOnly = false) {
        DbTabUtilsInitOptions o;
        o.jobId = m_job.id;
        o.appType = 22;
        o.appId = kApp;
        o.viewRootName = "root";
        o.brannoxId = 2;
        o.writeOnly = writeOnly;
        u.Init(o);
    }

    static std::string Leaf(std::string const& table, std::string const& tablespace) {
        return "/+tblview+/root/" + table + "/" + tablespace;
    }
    static std::string Dep(std::string const& child, std::string const& parent) {
        return "/+tblview+/root/" + child + ":" + parent;
    }

    // Backup of the table-level index: leaves, tablespace edges and dependencies.
    void Backup(Strings const& leaves, Strings const& deps) {
        std::vector<browseablePath_t> records;
        ASSERT_FALSE(m_utils.createMetadataIndex(leaves, QUERY_TABLES, records).IsError());
        ASSERT_FALSE(m_utils.createMetadataIndex(deps, QUERY_DEPENDENCIES, records).IsError());
        SendMetaDataParams params;
        params.level = 1;
        params.host = "host*host*8400*2";
        params.jobToken = m_job.token;
        ASSERT_FALSE(m_utils.sendMetadataIndex(records, params).IsError());
    }

    // A restore task selecting these table-view paths.
    void Task(Strings const& sources, Strings const& filters = {}) {
        EvRstTask task(m_restoreJob, 0, nullptr, false);
        ASSERT_EQ(0, task.setBrannoxId(2, nullptr));
        ASSERT_EQ(0, task.setAppId(kApp, nullptr));
        ASSERT_EQ(0, task.setAppTypeId(22, nullptr));
        for (auto const& s : sources) ASSERT_EQ(0, task.addPath(EvRstTask::kSourcePaths, s, nullptr));
        for (auto const& f : filters) ASSERT_EQ(0, task.addPath(EvRstTask::kFilterPaths, f, nullptr));
    }

    CFzError Select(std::vector<DbTableInfo>* tables, std::vector<DbTableSpaceInfo>* spaces) {
        DbTabRestoreUtils restore;
        Init(restore);
        EvRstTask task(m_restoreJob, 0, nullptr, true);
        return restore.GetBrowsePaths(task, *tables, *spaces);
    }

    static Strings Names(std::vector<DbTableInfo> const& tables) {
        Strings out;
        for (auto const& t : tables) out.push_back(t.database + "/" + t.schema + "/" + t.table);
        return out;
    }

    nuvjobmgr::JobInfo m_job;
    int64_t m_restoreJob = 900;
    DbTabRestoreUtils m_utils;
};

}  // namespace

TEST_F(DbTabTest, RecordsOfTablesTablespacesAndDependencies) {
    std::vector<browseablePath_t> records;
    Strings const entries = {"", Leaf("db/s/t1", "ts1"), Leaf("db/s/t1", "ts1"), "/+tblview+/root/db/s/dir/",
                             Leaf("db/s/t1", "ts2"), "/+TblSpaceDep+/root/db/a/b", "/+TblSpaceDep+/root/db/a/b",
                             "/+tblview+/rootx", "/+tblview+/other/db/s/t/x", "/elsewhere"};
    ASSERT_FALSE(m_utils.createMetadataIndex(entries, QUERY_TABLES, records).IsError());
    ASSERT_EQ(3u, records.size()) << "duplicates, directories, short and foreign entries add nothing";
    EXPECT_EQ("db/s/t1/ts1", records[0].osPath);
    EXPECT_EQ(0, records[0].isDir);
    EXPECT_EQ(2u, records[0].afile.brannoxId);
    EXPECT_EQ(1u, records[0].afile.archFileId);
    EXPECT_EQ("", records[2].osPath);

    ASSERT_FALSE(m_utils
                     .createMetadataIndex({Dep("db/s/t1", "db/s/t2"), Dep("db/s/t1", "db/s/t2"),
                                           Dep("db/s/t1", "db/s/t1"), "/+tblview+/root/db/s/t1-no-pair"},
                                          QUERY_DEPENDENCIES, records)
                     .IsError());
    ASSERT_EQ(5u, records.size()) << "one directory record per leaf";
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ("", records[i].osPath);
    browseablePath_t const& dir = records[3];
    EXPECT_EQ("/+tblview+/root/db/s/t1", dir.phonyPath);
    EXPECT_EQ(1, dir.isDir);
    std::string text = dir.osPath;
    IdxMetadata::ListDatabaseDepTable list;
    ASSERT_EQ(0, list.unserialize(text));
    auto* deps = list.getlistobject<CNMessageBase>(1, 1, false);
    ASSERT_TRUE(deps && deps->size() == 1) << "the same pair twice gives one entry; a self pair none";
    EXPECT_EQ("db", (*deps)[0].getstring(3, 9));
    EXPECT_EQ("s", (*deps)[0].getstring(1, 1));
    EXPECT_EQ("t2", (*deps)[0].getstring(2, 5));

    EXPECT_TRUE(m_utils.createMetadataIndex({}, static_cast<QueryType>(5), records).IsError());
    std::vector<browseablePath_t> none;
    CFzError e = m_utils.createMetadataIndex({"/elsewhere"}, QUERY_TABLES, none);
    EXPECT_NE(std::string::npos, e.AsString().find("Make sure that database contains user defined tables"));
}

TEST_F(DbTabTest, DirectoryChangeFileIsWrittenFreshAndSent) {
    std::vector<browseablePath_t> records;
    ASSERT_FALSE(m_utils
                     .createMetadataIndex({"/+tblview+/root/a/b/t1/x", "/+tblview+/root/a/b/t1/y",
                                           "/+tblview+/root/a/b/t2/z", "/+tblview+/root/a/b/t1/w"},
                                          QUERY_TABLES, records)
                     .IsError());
    m_utils.addIndexHeaders(records, "/+tblview+/root");
    std::string name;
    m_utils.GetDirchangeFileName(name);
    EXPECT_EQ(nuvsuite::StatePath("temp") + "/DbTabInfo_" + std::to_string(m_job.id) + "_.idx", name);

    // Whatever lies at the name is replaced, never written through.
    std::string const victim = m_root.base() + "/victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(0, symlink(victim.c_str(), name.c_str()));

    DbTabRestoreUtils writer;
    Init(writer, true);
    CreateAndSendDirChangeParams params;
    params.brannoxId = 2;
    params.appId = kApp;
    params.level = 1;
    params.jobToken = m_job.token;
    params.jobId = m_job.id;
    ASSERT_FALSE(writer.CreateAndSendDirChangeFile(records, params).IsError());
    EXPECT_EQ("keep", Read(victim));
    EXPECT_EQ("/+tblview+/root/a/b/t1\n\tx\n\ty\n/+tblview+/root/a/b/t2\n\tz\n/+tblview+/root/a/b/t1\n\tw", Read(name));
    EXPECT_TRUE(nuvsuite::ReadJournal("indexing", "sendDirChange").empty()) << "write-only: kept, not sent";
    EXPECT_FALSE(writer.UnlinkDirchangeFile().IsError());
    EXPECT_NE(0, access(name.c_str(), F_OK));
    EXPECT_FALSE(writer.UnlinkDirchangeFile().IsError()) << "a second call has nothing to do";

    ASSERT_FALSE(m_utils.CreateAndSendDirChangeFile(records, params).IsError());
    EXPECT_EQ(1u, nuvsuite::ReadJournal("indexing", "sendDirChange").size());
    EXPECT_NE(0, access(name.c_str(), F_OK)) << "removed after a good send";

    params.jobToken = "unknown";
    CFzError e = m_utils.CreateAndSendDirChangeFile(records, params);
    EXPECT_NE(std::string::npos, e.AsString().find("Error During sendDirChange [ (fail job)] retInt=[-2]"))
        << e.AsString();
    EXPECT_EQ(0, access(name.c_str(), F_OK)) << "a failed send keeps the file";

    params.fileName = m_root.base() + "/no-such-dir/f.idx";
    e = m_utils.CreateAndSendDirChangeFile(records, params);
    EXPECT_NE(std::string::npos, e.AsString().find("failed to create SendDirChangeFile")) << e.AsString();
}

TEST_F(DbTabTest, SelectionComesBackInDependencyOrder) {
    // t1 needs t2, t2 needs t3 (met in the opposite order); t9 is not selected.
    // Tablespace entries name the database, a child and its parent: ts1 brings
    // tsA and tsB, tsA brings tsC.
    Backup({Leaf("db/s/t1", "ts1"), Leaf("db/s/t2", "ts2"), Leaf("db/s/t3", "ts3"), Leaf("db/s/t9", "ts9"),
            Leaf("db/s/t10", "ts10"), "/+TblSpaceDep+/root/db/tsA/ts1", "/+TblSpaceDep+/root/db/tsB/ts1",
            "/+TblSpaceDep+/root/db/tsC/tsA"},
           {Dep("db/s/t1", "db/s/t2"), Dep("db/s/t2", "db/s/t3"), Dep("db/s/t3", "db/s/t9")});
    Task({"/+tblview+/root/db/s/t1", "/+tblview+/root/db/s/t3", "/+tblview+/root/db/s/t2",
          "/+tblview+/root/db/s/t10"},
         {"/+tblview+/root/db/s/t1/ts1"});
    std::vector<DbTableInfo> tables;
    std::vector<DbTableSpaceInfo> spaces;
    CFzError e = Select(&tables, &spaces);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ((Strings{"db/s/t3", "db/s/t2", "db/s/t10"}), Names(tables))
        << "t1 is filtered out (its only leaf), t10 survives the filter of t1, t9 only positions";

    Task({"/+tblview+/root/db/s/t1"});
    tables.clear();
    spaces.clear();
    m_restoreJob = 901;
    Task({"/+tblview+/root/db/s/t1", "/+tblview+/root/db/s/t2", "/+tblview+/root/db/s/t3"});
    e = Select(&tables, &spaces);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ((Strings{"db/s/t3", "db/s/t2", "db/s/t1"}), Names(tables));
    ASSERT_EQ(1u, spaces.size());
    EXPECT_EQ((std::set<std::string>{"ts1", "ts2", "ts3", "tsA", "tsB", "tsC"}), spaces[0].tablespaces)
        << "every child of a parent, followed to the end";
}

TEST_F(DbTabTest, SelectionNeedsTheFirstGenerationAndRows) {
    Backup({Leaf("db/s/t1", "ts1")}, {});
    Task({"/+tblview+/root/db/s/nothing"});
    std::vector<DbTableInfo> tables;
    std::vector<DbTableSpaceInfo> spaces;
    CFzError e = Select(&tables, &spaces);
    EXPECT_NE(std::string::npos, e.AsString().find("FetchIndexInfo lookup returned empty rows")) << e.AsString();

    ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
    e = Select(&tables, &spaces);
    EXPECT_NE(std::string::npos,
              e.AsString().find("Indexing::BrowseReq object received from IdxBrowseClient object is NULL"))
        << e.AsString();

    DbTabRestoreUtils unused;
    EXPECT_EQ(-1, unused.FetchIndexInfoCallBack(nullptr) == 0 ? -1 : 0) << "no batch is nothing to do";
    FetchIndexInfoResp batch;
    batch.items.push_back({"/+tblview+/root/db/s/t1/ts1", true, {}});
    EXPECT_EQ(-1, unused.FetchIndexInfoCallBack(&batch)) << "rows before GetBrowsePaths are refused";
}

TEST(DbTabOrder, TrueOrderWhateverTheRowOrder) {
    // Rows as the lookup hands them: each table with the tables it depends on.
    auto row = [](std::string const& table, Strings const& deps) {
        IdxMetadata::ListDatabaseDepTable list;
        std::vector<IdxMetadata::DatabaseDepTable> items;
        for (auto const& d : deps) {
            IdxMetadata::DatabaseDepTable t;
            t.setstring(1, 1, "s");
            t.setstring(2, 5, d);
            t.setstring(3, 9, "db");
            items.push_back(t);
        }
        list.setlistobject(1, 1, items);
        FInfoRespItem item;
        item.path = "/+tblview+/root/db/s/" + table;
        item.valid = true;
        std::string text;
        EXPECT_EQ(0, list.serialize(text));
        item.metaData.push_back({int(kIdxMetaTableLevel), text});
        return item;
    };
    struct Case {
        char const* name;
        std::vector<std::pair<std::string, Strings>> rows;
        Strings selected;
        Strings expected;
    } const cases[] = {
        {"depends on two listed later", {{"a", {"b", "c"}}, {"b", {}}, {"c", {}}}, {"a", "b", "c"}, {"b", "c", "a"}},
        {"a new dependency goes before", {{"a", {"x"}}, {"b", {}}}, {"a", "b", "x"}, {"x", "a", "b"}},
        {"chain met backwards", {{"a", {"b"}}, {"b", {"c"}}, {"c", {"d"}}}, {"d", "c", "b", "a"}, {"d", "c", "b", "a"}},
        {"late rows reorder", {{"c", {}}, {"b", {}}, {"a", {}}, {"c", {"a"}}}, {"a", "b", "c"}, {"b", "a", "c"}},
        {"cycle keeps its order and ends", {{"a", {"b"}}, {"b", {"a"}}, {"c", {"a"}}}, {"a", "b", "c"},
         {"b", "a", "c"}},
        {"twice selected, twice out", {{"a", {}}}, {"a", "a"}, {"a", "a"}},
        {"self dependency changes nothing", {{"a", {"a"}}, {"b", {}}}, {"b", "a"}, {"a", "b"}},
    };
    for (auto const& k : cases) {
        SCOPED_TRACE(k.name);
        DbTabRestoreUtils u;
        std::vector<DbTableInfo> tables;
        std::vector<DbTableSpaceInfo> spaces;
        u.SetSelection(&tables, &spaces);
        FetchIndexInfoResp batch;
        for (auto const& r : k.rows) batch.items.push_back(row(r.first, r.second));
        ASSERT_EQ(0, u.FetchIndexInfoCallBack(&batch));
        for (auto const& s : k.selected) tables.push_back({"db", "s", s});
        EXPECT_EQ(0, u.MakeTableListSelfContained());
        Strings got;
        for (auto const& t : tables) got.push_back(t.table);
        EXPECT_EQ(k.expected, got);
    }
}

TEST(DbTabOrder, TablespaceGraphKeepsEveryChild) {
    DbTabRestoreUtils u;
    std::vector<DbTableInfo> tables;
    std::vector<DbTableSpaceInfo> spaces{{"db", {"B"}}};
    u.SetSelection(&tables, &spaces);
    char const sep = '/';
    for (char const* p : {"/+TblSpaceDep+/root/db/A/B", "/+TblSpaceDep+/root/db/Z/A", "/+TblSpaceDep+/root/db/C/B",
                          "/+TblSpaceDep+/root/x/db/Q/B", "/+TblSpaceDep+/db/Q/B"})
        u.InsertTableSpaceInGraph(p, sep);
    ASSERT_EQ(1u, u.tableSpaceGraph().size());
    EXPECT_EQ((std::set<std::string>{"A", "C"}), u.tableSpaceGraph()[0].edges.at("B"));
    EXPECT_EQ(0, u.MakeTableSpaceListSelfContained());
    EXPECT_EQ((std::set<std::string>{"A", "B", "C", "Z"}), spaces[0].tablespaces)
        << "closure follows edges whatever the names' order";
}
