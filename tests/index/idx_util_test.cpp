// IdxUtil: the two feeds (what reaches the index, the exact call sequences on
// failure), GUIDs, records rebuilt from the readers, directory changes and the
// table-view classification.
#include "nuvdbsnap/index.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

using Strings = std::vector<std::string>;

namespace {

constexpr unsigned kApp = 9;

class FeedTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError()); }

    static browseablePath_t Rec(std::string phony, int dir, std::string os, ArchiveFileId_t afile = {2, 0, 1},
                                uint64_t size = 0) {
        browseablePath_t r;
        r.phonyPath = std::move(phony);
        r.isDir = dir;
        r.osPath = std::move(os);
        r.size = size;
        r.afile = afile;
        return r;
    }

    int Feed(std::vector<browseablePath_t> const& records, unsigned appType = 22) {
        IdxUtil idx(&m_ev, false, nullptr, nullptr);
        idx.InitEncodeType(static_cast<int>(kIdxMetaOsPath));
        JZJobID job = m_job.id;
        unsigned const brannox = 2, app = kApp;
        return idx.addBrowseAblePath(records, JZBkpLevel(1), "host*host*8400*2", brannox, app, appType, job, &m_ev, false, 0,
                                     m_job.token.c_str());
    }

    // The indexing calls journalled, in order (per-entry calls once per batch).
    static Strings Calls() {
        Strings out;
        for (auto const& e : nuvsuite::ReadJournal("indexing")) out.push_back(e.call);
        return out;
    }

    static std::vector<nuvindexing::IndexEntry> Entries() {
        std::vector<nuvindexing::IndexEntry> all;
        for (auto const& run : nuvindexing::ListRuns(0)) {
            std::vector<nuvindexing::IndexEntry> entries;
            EXPECT_FALSE(nuvindexing::ListEntries(run.id, &entries).IsError());
            all.insert(all.end(), entries.begin(), entries.end());
        }
        return all;
    }

    // `count` snapshot archive records of the job, oldest first (in a fresh
    // state root, the first archive files there are).
    std::vector<ArchiveFileId_t> MakeArchiveFiles(int count = 2) {
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_job.id);
        std::vector<ArchiveFileId_t> keys;
        for (int i = 0; i < count; ++i) {
            CreateArgs_t args;
            args.archFileType = 1;
            args.snapArchive = 1;
            args.appId = kApp;
            args.appType = 22;
            CreateRet_t ret;
            EXPECT_EQ(0, archive.CreateArchiveForSnapBackup(&args, &ret));
            keys.push_back({uint32_t(ret.brannoxId), uint32_t(ret.archGroupId), uint32_t(ret.archFileId)});
        }
        return keys;
    }

    nuvjobmgr::JobInfo m_job;
    EvEvent m_ev;
};

}  // namespace

TEST_F(FeedTest, FirstGenerationRoundTrip) {
    ASSERT_EQ(0, Feed({Rec("/db", 1, ""), Rec("/db/t1", 0, "/data/t1.dbf", {2, 0, 0}, 10),
                       Rec("/db/t2/", 0, "/data/t2.dbf", {2, 0, 0}, 20)}));
    EXPECT_EQ((Strings{"shouldUseIndexingV2", "IndexingConnection::initialize", "IndexingConnection::sendAfileInfo", "IndexingConnection::sendMetaDataInfo", "IndexingConnection::sendFileInfo",
                       "IndexingConnection::updateRestartInfo", "IndexingConnection::backupDone"}),
              Calls());
    std::vector<nuvindexing::IndexEntry> entries = Entries();
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3}), (std::vector<uint64_t>{entries[0].sequence, entries[1].sequence,
                                                                      entries[2].sequence}));
    EXPECT_EQ(1u, entries[1].archFileId) << "a first key without a file id announces {brannox, 0, 1}";
    EXPECT_EQ(10u, entries[1].size);

    std::list<std::string> patterns{"\\/db/**"};
    std::list<_IndexArchFileInfo> rows;
    _GetIndexSubclientInfo key;
    key.appId = kApp;
    key.jobId = m_job.id;
    ASSERT_EQ(0, GetIndexArchFileInfo("h", "h", 2, {key}, patterns, 22, 0x152, rows));
    ASSERT_EQ(2u, rows.size());
    browseablePath_t back;
    back.osPath = "untouched";
    EXPECT_EQ(static_cast<int>(kIdxMetaOsPath), IdxUtil::populateBrowsablePath(back, rows.front()));
    EXPECT_EQ("/db/t1", back.phonyPath);
    EXPECT_EQ("/data/t1.dbf", back.osPath);
    EXPECT_EQ(1, back.isDir);
    EXPECT_EQ(1u, back.afile.archFileId);
    EXPECT_EQ(2u, back.afile.brannoxId);
}

TEST_F(FeedTest, FirstGenerationFailuresEndTheRunAsFailed) {
    struct Case {
        char const* call;
        Strings calls;
        char const* status;   // "" : no run
    } const cases[] = {
        {"IndexingConnection::initialize", {"shouldUseIndexingV2", "IndexingConnection::initialize"}, ""},
        {"IndexingConnection::sendAfileInfo", {"shouldUseIndexingV2", "IndexingConnection::initialize", "IndexingConnection::sendAfileInfo", "IndexingConnection::backupDone"}, "failed"},
        {"IndexingConnection::sendMetaDataInfo",
         {"shouldUseIndexingV2", "IndexingConnection::initialize", "IndexingConnection::sendAfileInfo", "IndexingConnection::sendMetaDataInfo", "IndexingConnection::backupDone"},
         "failed"},
        {"IndexingConnection::sendFileInfo",
         {"shouldUseIndexingV2", "IndexingConnection::initialize", "IndexingConnection::sendAfileInfo", "IndexingConnection::sendMetaDataInfo", "IndexingConnection::sendFileInfo", "IndexingConnection::backupDone"},
         "failed"},
        {"IndexingConnection::backupDone",   // a refused completion ends the run: no backupDone(0) follows
         {"shouldUseIndexingV2", "IndexingConnection::initialize", "IndexingConnection::sendAfileInfo", "IndexingConnection::sendMetaDataInfo", "IndexingConnection::sendFileInfo",
          "IndexingConnection::updateRestartInfo", "IndexingConnection::backupDone"},
         "failed"},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.call);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        nuvsuite::AddFault("indexing", k.call, -1, "injected", 1);
        EXPECT_EQ(-1, Feed({Rec("/db/t1", 0, "/data/t1")}));
        EXPECT_EQ(k.calls, Calls());
        auto runs = nuvindexing::ListRuns(0);
        EXPECT_EQ(k.status, runs.empty() ? std::string() : runs[0].status);
    }
}

TEST_F(FeedTest, FirstGenerationRefusesBeforeOpeningARun) {
    EXPECT_EQ(-1, Feed({}));
    nuvsuite::AddFault("indexing", "shouldUseIndexingV2", -1, "", 1);
    EXPECT_EQ(-1, Feed({Rec("/x", 0, "")}));
    EXPECT_EQ(-1, Feed({Rec(std::string(1100, 'p'), 0, "")})) << "a path longer than a header holds";
    EXPECT_EQ((Strings{"shouldUseIndexingV2", "shouldUseIndexingV2", "shouldUseIndexingV2", "IndexingConnection::initialize",
                       "IndexingConnection::sendAfileInfo", "IndexingConnection::backupDone"}),
              Calls());
}

TEST_F(FeedTest, SecondGenerationSendsParentsOnceWithGuids) {
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
    std::vector<ArchiveFileId_t> afiles = MakeArchiveFiles();
    ASSERT_EQ(0, Feed({Rec("/db/t1", 0, "/data/t1", afiles[0]), Rec("/db/t2", 0, "", afiles[0])}));
    std::vector<nuvindexing::IndexEntry> entries = Entries();
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("/db", entries[0].path);
    EXPECT_TRUE(entries[0].isDir);
    EXPECT_EQ((std::vector<uint64_t>{0, 2, 3}), (std::vector<uint64_t>{entries[0].sequence, entries[1].sequence,
                                                                      entries[2].sequence}));
    std::string guid, parentGuid;
    GetObjectGuid("/db/t1", 0, '/', guid);
    GetObjectGuid("/db", 0, '/', parentGuid);
    EXPECT_EQ(guid, entries[1].guid);
    EXPECT_EQ(parentGuid, entries[1].parentGuid);
    EXPECT_EQ(parentGuid, entries[0].guid);
    EXPECT_FALSE(entries[1].versionGuid.empty());
    EXPECT_EQ(afiles[0].archFileId, entries[1].archFileId);

    // Read back through the browse client and rebuilt into records.
    databrowse::BrowseRequest request;
    CNMessageBase* entity = request.getObjectAccessor(3, 3, true, 18, 46);
    entity->setint64(1, 1, 2);
    entity->setint64(5, 11, kApp);
    std::vector<databrowse::BrowsePath> paths(1);
    paths[0].setstring(1, 1, "/db");
    request.setlistobject(4, 4, paths);
    IdxBrowseClient client;
    ASSERT_EQ(0, client.Initialize(request, nullptr, 2000, nullptr, nullptr));
    EXPECT_TRUE(client.isIndexingV2BrowseRequest());
    databrowse::BrowseResponseList answer;
    ASSERT_EQ(0, client.Browse(nullptr, &answer));
    auto* items = (*answer.getlistobject<databrowse::BrowseResponse>(1, 1, false))[0]
                      .getObjectAccessor(6, 9)
                      ->getlistobject<databrowse::BrowseData>(3, 6, false);
    ASSERT_EQ(2u, items->size());
    auto it = items->begin();
    browseablePath_t back;
    EXPECT_EQ(0, IdxUtil::populateBrowsablePath(back, it));
    EXPECT_EQ("/db/t1", back.phonyPath);
    EXPECT_EQ("/data/t1", back.osPath);
    EXPECT_EQ(afiles[0].archGroupId, back.afile.archGroupId);
    EXPECT_EQ(afiles[0].archFileId, back.afile.archFileId);
}

// A fresh state root whose first archive file is the job's only one: every
// feed's entries carry that archive file, in the query and in the browse, run
// after run of the job.
TEST_F(FeedTest, TheOnlyArchiveFileOfAFreshRootKeysTheEntries) {
    struct Case {
        char const* name;
        bool second;
        unsigned appType;
        bool keyed;   // the records carry the archive file's key; else the feed finds it
    } const cases[] = {
        {"first generation, Oracle", false, 22, true},
        {"first generation, DB2", false, 37, true},
        {"second generation, PostgreSQL", true, 125, true},
        {"second generation, DB2", true, 37, true},
        {"second generation, MySQL, records without a key", true, 104, false},
        {"second generation, Oracle, records without a key", true, 80, false},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        if (k.second) {
            ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
        }
        ArchiveFileId_t const afile = MakeArchiveFiles(1).front();
        ASSERT_TRUE(IsValidArchiveFileKey(afile)) << afile.archFileId;
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            ArchiveFileId_t const key = k.keyed ? afile : ArchiveFileId_t{2, 0, 0};
            ASSERT_EQ(0, Feed({Rec("/db/t1", 0, "/data/t1", key, 10), Rec("/db/t2", 0, "/data/t2", key, 20)},
                              k.appType));
            std::list<std::string> patterns{"\\/db/**"};
            std::list<_IndexArchFileInfo> rows;
            _GetIndexSubclientInfo query;
            query.appId = kApp;
            query.jobId = m_job.id;
            ASSERT_EQ(0, GetIndexArchFileInfo("h", "h", 2, {query}, patterns, k.appType, 0x52, rows));
            ASSERT_GE(rows.size(), 2u);
            for (auto const& r : rows) EXPECT_EQ(afile.archFileId, r.archFileId) << r.path;
            std::vector<nuvindexing::IndexEntry> browsed;
            ASSERT_FALSE(nuvindexing::BrowseIndex(kApp, m_job.id, "/db", &browsed).IsError());
            ASSERT_FALSE(browsed.empty());
            for (auto const& e : browsed) EXPECT_EQ(afile.archFileId, e.archFileId) << e.path;
        }
    }
}

TEST_F(FeedTest, SecondGenerationRepairsKeysAndMarksTableViews) {
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
    std::vector<ArchiveFileId_t> afiles = MakeArchiveFiles();   // listed newest first
    ASSERT_EQ(0, Feed({Rec("/TblView/a", 0, "x"), Rec("/TblView/b", 0, "y"), Rec("/TblView/c", 0, "z")}));
    std::vector<nuvindexing::IndexEntry> entries = Entries();
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ(afiles[1].archFileId, entries[1].archFileId);
    EXPECT_EQ(afiles[0].archFileId, entries[2].archFileId);
    EXPECT_EQ(afiles[1].archFileId, entries[3].archFileId) << "the rest take the first row's key";
    using Meta = std::vector<std::pair<uint32_t, std::string>>;
    EXPECT_EQ((Meta{{kIdxMetaTableView, "TABLEVIEW"}}), entries[0].metadata) << "the parent is marked";
    EXPECT_EQ((Meta{{kIdxMetaTableView, "TABLEVIEW"}, {kIdxMetaOsPath, "x"}}), entries[1].metadata);
}

TEST_F(FeedTest, SecondGenerationFailuresAlwaysEndTheRun) {
    struct Case {
        char const* service;
        char const* call;
        bool withKeys;
    } const cases[] = {
        {"archive", "ArMgrClientAPI::getArchFileListForJob", false},   // key repair
        {"archive", "ArMgrClientAPI::getAfileInfo", true},
        {"indexing", "IndexingConnection::sendMetaDataInfo", true},        // the table-view record
        {"indexing", "IndexingConnection::sendAfileInfo", true},
        {"indexing", "IndexingConnection::sendFileInfo", true},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.call);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
        std::vector<ArchiveFileId_t> afiles = MakeArchiveFiles();
        nuvsuite::AddFault(k.service, k.call, -1, "injected", 1);
        ArchiveFileId_t key = k.withKeys ? afiles[0] : ArchiveFileId_t{2, 0, 1};
        EXPECT_EQ(-1, Feed({Rec("/TblView/t", 0, "x", key)}));
        Strings calls = Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ("IndexingConnection::backupDone", calls.back());
        EXPECT_EQ("failed", nuvindexing::ListRuns(0)[0].status);
    }
}

TEST_F(FeedTest, PostgresSendsADirectoryRecordOnce) {
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
    std::vector<ArchiveFileId_t> afiles = MakeArchiveFiles();
    for (unsigned appType : {125u, 22u}) {
        SCOPED_TRACE(appType);
        nuvsuite::ClearJournal();
        ASSERT_EQ(0, Feed({Rec("/db", 1, "", afiles[0]), Rec("/db/x", 0, "", afiles[0])}, appType));
        auto rows = nuvsuite::ReadJournal("indexing", "IndexingConnection::sendFileInfo");
        ASSERT_EQ(1u, rows.size());
        EXPECT_NE(std::string::npos, rows[0].args.find(appType == 125 ? "calls=2" : "calls=3")) << rows[0].args;
    }
}

TEST(IdxUtilGuid, MessageHoldsObjectParentAndVersionGuids) {
    nuvtest::ScopedSuiteRoot root;
    nuvjobmgr::JobInfo job;
    ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &job).IsError());
    IndexingConnection c;
    ASSERT_EQ(0, c.initialize(2, kApp, 22, JZBkpLevel(1), job.token.c_str(), "h", "h", 0));
    JzFileHeader h;
    struct Case {
        std::string path;
        bool component;
        char const* stored;
        char const* parent;   // nullptr: none
    } const cases[] = {{"/a/b/", false, "/a/b", "/a"}, {"", false, "/", nullptr}, {"/c", true, "/c", nullptr}};
    for (Case const& k : cases) {
        ASSERT_EQ(0, IdxUtil::sendIndexGUID(k.path, &c, k.component));
        ASSERT_TRUE(h.setName(k.stored));
        ASSERT_EQ(0, c.sendFileInfo(&h, 1, nullptr, 0));
    }
    ASSERT_EQ(0, c.backupDone(1));
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(c.runId(), &entries).IsError());
    ASSERT_EQ(3u, entries.size());   // "/", "/a/b", "/c"
    std::string g;
    GetObjectGuid("/", 0, '/', g);
    EXPECT_EQ(g, entries[0].guid);
    EXPECT_EQ("", entries[0].parentGuid);
    GetObjectGuid("/a", 0, '/', g);
    EXPECT_EQ(g, entries[1].parentGuid);
    GetObjectGuid("/c", 0, '/', g);
    EXPECT_EQ("", entries[2].guid) << "a component GUID only";
    EXPECT_EQ(g, entries[2].componentGuid);
    EXPECT_EQ("", entries[2].versionGuid);
    EXPECT_EQ(-1, IdxUtil::sendIndexGUID("/x", nullptr));
}

TEST(IdxUtilTableView, MarkersPerApplicationType) {
    struct Case {
        int appType;
        char const* path;
        bool view;
    } const cases[] = {
        {104, "/+NOBROWSE+/x", true}, {104, "/+NOBROWSEx", true}, {61, "/+BROWSE+/db", true},
        {61, "/+BROWSE/db", false},   {22, "/TblView/t", true},   {80, "/+TblSpaceDep+/a:b", true},
        {22, "/tblview/t", false},    {125, "/+DBDIR+/d", true},  {125, "/TblView", true},
        {5, "/~JZ_SYB_DB_VIEW~/x", true}, {135, "/TblView/t", false}, {22, "/", false}, {22, "", false},
    };
    for (Case const& k : cases) EXPECT_EQ(k.view, IdxUtil::PathGoesToTblView(k.path, k.appType)) << k.path;
}

TEST_F(FeedTest, DirectoryChangeWrapper) {
    IdxUtil idx(&m_ev, false, nullptr, nullptr);
    EXPECT_FALSE(idx.checkIfShouldQuit());
    std::string aging = "aging.wrk";
    std::string const file = m_root.base() + "/changes.txt";
    FILE* f = fopen(file.c_str(), "w");
    fputs("/d\n\tf1\n", f);
    fclose(f);
    unsigned const brannox = 2, app = kApp, type = 22;
    bool const no = false, yes = true;
    EXPECT_EQ(0, idx.CreateIndex(aging, "h", brannox, app, type, m_job.token.c_str(), yes, yes, no, file));
    EXPECT_EQ("aging.wrk", aging) << "update-index-only sends nothing";
    EXPECT_EQ(0, idx.CreateIndex(aging, "h", brannox, app, type, m_job.token.c_str(), yes, no, no, file));
    EXPECT_EQ("", aging);
    EXPECT_EQ(-1, idx.CreateIndex(aging, "h", brannox, app, type, "unknown", yes, no, no, file));
    EXPECT_EQ((Strings{"sendDirChange", "sendDirChange"}), Calls());
}
