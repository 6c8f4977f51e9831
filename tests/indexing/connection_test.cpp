// Connection runs: visibility, metadata slots, sequence numbers, killed feeds, faults.
#include "indexing/index_fixture.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <csignal>
#include <cstdio>
#include <iterator>
#include <map>
#include <unistd.h>

using namespace nuvtest;
using Strings = std::vector<std::string>;

TEST_F(IndexTest, RunBecomesVisibleOnlyAfterGoodCompletion) {
    struct Case {
        char const* name;
        int done;       // -1: never ended
        bool visible;
    } const cases[] = {{"good", 1, true}, {"failed", 0, false}, {"left open", -1, false}};
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvjobmgr::JobInfo job = NewJob();
        {
            IndexingConnection c;
            Open(c, &job);
            ASSERT_EQ(0, Send(c, "/db", true));
            ASSERT_EQ(0, Send(c, "/db/t1"));
            EXPECT_EQ(Strings{}, Browse("/db", job.id)) << "an open run is never seen";
            if (k.done >= 0) EXPECT_EQ(0, c.backupDone(k.done));
        }
        EXPECT_EQ(k.visible ? Strings{"/db/t1"} : Strings{}, Browse("/db", job.id));
        auto runs = nuvindexing::ListRuns(job.id);
        ASSERT_EQ(1u, runs.size());
        EXPECT_EQ(k.done == 1 ? "good" : k.done == 0 ? "failed" : "open", runs[0].status);
    }
}

TEST_F(IndexTest, JobOfRunComesFromItsToken) {
    IndexingConnection c;
    EXPECT_EQ(-1, c.initialize(2, kAppId, 22, JZBkpLevel(1), "no-such-token", "h", "h", 0));
    EXPECT_EQ(-1, c.initialize(2, kAppId, 22, JZBkpLevel(1), nullptr, "h", "h", 0));
    EXPECT_EQ(-1, Send(c, "/x")) << "nothing is accepted without an open run";
    Open(c);
    EXPECT_EQ(m_job.id, c.jobId());
    EXPECT_EQ(-1, c.initialize(2, kAppId, 22, JZBkpLevel(1), m_job.token.c_str(), "h", "h", 0)) << "one run at a time";
}

TEST_F(IndexTest, MetadataSlotsAreFilledNeverErased) {
    IndexingConnection c;
    Open(c);
    ASSERT_EQ(0, Meta(c, kIdxMetaOsPath, "/data/one"));
    ASSERT_EQ(0, Send(c, "/db/a", false, 5));
    ASSERT_EQ(0, Send(c, "/db/b", false, 5)) << "sequence numbers are no keys";
    ASSERT_EQ(0, Send(c, "/db/a", false, 6)) << "a later sending without metadata";
    ASSERT_EQ(0, Meta(c, kIdxMetaOsPath, "/data/other"));
    ASSERT_EQ(0, Meta(c, kIdxMetaTableView, "TABLEVIEW"));
    ASSERT_EQ(0, Send(c, "/db/a", false, 7)) << "a later sending with metadata";
    ASSERT_EQ(0, Send(c, "/db/b", false, 8));
    ASSERT_EQ(0, c.backupDone(1));

    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::BrowseIndex(kAppId, 0, "/db", &entries).IsError());
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("/db/a", entries[0].path);
    EXPECT_EQ(7u, entries[0].sequence);
    using Meta = std::vector<std::pair<uint32_t, std::string>>;
    EXPECT_EQ((Meta{{kIdxMetaOsPath, "/data/one"}, {kIdxMetaTableView, "TABLEVIEW"}}), entries[0].metadata);
    EXPECT_EQ(Meta{}, entries[1].metadata) << "metadata belongs to the next entry only";
    EXPECT_EQ(8u, entries[1].sequence);
    EXPECT_EQ(40u, entries[0].archFileId);
    EXPECT_EQ(3u, entries[0].archGroupId);
}

// A large run is written many entries to a statement: what is read back is
// what one entry at a time gives, whatever the place of a path sent again or
// of an entry with metadata among the others.
TEST_F(IndexTest, LargeRunReadsAsSentOneByOne) {
    struct Sending {
        int file;          // /db/fNNN
        uint64_t seq;
        uint64_t size;
        char const* meta;  // an OS path sent before the entry, or null
    };
    std::vector<Sending> sent;
    for (int i = 0; i < 150; ++i) sent.push_back({i, uint64_t(i + 1), 1, nullptr});
    std::vector<Sending> const again[] = {
        {{5, 500, 2, nullptr}},                                  // within the first entries' statement
        {{40, 501, 3, "/data/forty"}, {41, 502, 4, nullptr}},    // metadata among plain entries
        {{3, 503, 5, "/data/three"}},                            // a path sent before takes metadata
        {{140, 504, 6, nullptr}, {149, 505, 7, nullptr}},        // among the last entries of the run
    };
    size_t const at[] = {10, 45, 80, 148};
    size_t offset = 0;
    for (size_t k = 0; k < std::size(at); ++k) {
        sent.insert(sent.begin() + static_cast<long>(at[k] + offset), again[k].begin(), again[k].end());
        offset += again[k].size();
    }
    std::map<std::string, Sending> last;
    std::map<std::string, std::string> firstMeta;
    auto name = [](int file) {
        char text[16];
        std::snprintf(text, sizeof text, "/db/f%03d", file);
        return std::string(text);
    };
    IndexingConnection c;
    Open(c);
    for (Sending const& s : sent) {
        if (s.meta != nullptr) {
            ASSERT_EQ(0, Meta(c, kIdxMetaOsPath, s.meta));
            firstMeta.emplace(name(s.file), s.meta);
        }
        ASSERT_EQ(0, Send(c, name(s.file), false, s.seq, s.size));
        last[name(s.file)] = s;
    }
    ASSERT_EQ(0, c.backupDone(1));

    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::BrowseIndex(kAppId, 0, "/db", &entries).IsError());
    ASSERT_EQ(last.size(), entries.size());
    using Meta = std::vector<std::pair<uint32_t, std::string>>;
    for (auto const& e : entries) {
        SCOPED_TRACE(e.path);
        auto const found = last.find(e.path);
        ASSERT_NE(last.end(), found);
        EXPECT_EQ(found->second.seq, e.sequence) << "the last sending wins";
        EXPECT_EQ(found->second.size, e.size);
        EXPECT_EQ(40u, e.archFileId);
        auto const meta = firstMeta.find(e.path);
        Meta const expected = meta == firstMeta.end() ? Meta{} : Meta{{kIdxMetaOsPath, meta->second}};
        EXPECT_EQ(expected, e.metadata);
    }
    EXPECT_EQ(static_cast<int64_t>(last.size()), nuvindexing::ListRuns(m_job.id)[0].entries);
}

TEST_F(IndexTest, MetadataRecordsAreChecked) {
    IndexingConnection c;
    Open(c);
    char value[] = "abc";
    IndexMetaDataStruct r;
    r.magic = IndexMetaDataStruct::kMagic;
    r.dataLength = r.valueLength = 4;
    EXPECT_EQ(0, c.sendMetaDataInfo(r, value));
    r.valueLength = 0;   // the content indexing writes only word 7
    EXPECT_EQ(0, c.sendMetaDataInfo(r, value));
    r.dataLength = 3;    // the value's NUL is not where the length says
    EXPECT_EQ(-1, c.sendMetaDataInfo(r, value));
    r.dataLength = 4;
    r.magic = 0;
    EXPECT_EQ(-1, c.sendMetaDataInfo(r, value));
    r.magic = IndexMetaDataStruct::kMagic;
    EXPECT_EQ(-1, c.sendMetaDataInfo(r, nullptr));
}

// A killed feed's run is never seen; once its process is gone the next run,
// or any admin command, fails it and removes its entries and their metadata.
// A run whose feed still runs is left alone.
TEST_F(IndexTest, KilledFeedLeavesItsRunInvisibleAndTheNextSweepRemovesIt) {
    auto countRows = [](char const* sql, int64_t run) {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query(sql, {run}, &rows).IsError());
        return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
    };
    char const* const kEntries = "SELECT count(*) FROM idx_entries WHERE run_id = ?";
    char const* const kMetadata =
        "SELECT count(*) FROM idx_metadata WHERE entry_id IN (SELECT id FROM idx_entries WHERE run_id = ?)";
    for (bool byAdminCommand : {false, true}) {
        SCOPED_TRACE(byAdminCommand ? "swept by an admin command" : "swept by the next run");
        nuvjobmgr::JobInfo const job = NewJob();
        PipeSignal fed;
        int pid = StartChild([&] {
            IndexingConnection c;
            if (c.initialize(2, kAppId, 22, JZBkpLevel(1), job.token.c_str(), "h", "h", 0) != 0) return 1;
            ArchiveFileId_t afile{2, 3, 40};
            c.sendAfileInfo(&afile, false);
            for (int i = 0; i < 9000; ++i) {   // more than one batch reaches the catalogue
                if (Meta(c, kIdxMetaOsPath, "/data/f" + std::to_string(i)) != 0) return 2;
                JzFileHeader h;
                (void)h.setName("/killed/f" + std::to_string(i));
                if (c.sendFileInfo(&h, i, nullptr, 0) != 0) return 2;
            }
            fed.Send();
            pause();
            return 0;
        });
        ASSERT_TRUE(fed.Wait());
        auto runs = nuvindexing::ListRuns(job.id);
        ASSERT_EQ(1u, runs.size());
        int64_t const killed = runs[0].id;
        {
            IndexingConnection alongside;   // a run opened while the feed still runs leaves it alone
            Open(alongside, &job);
            EXPECT_EQ(0, alongside.backupDone(0));
        }
        EXPECT_EQ("open", nuvindexing::ListRuns(job.id).at(0).status);
        EXPECT_EQ(8192, countRows(kEntries, killed));
        EXPECT_EQ(8192, countRows(kMetadata, killed));

        kill(pid, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, WaitChild(pid));
        EXPECT_EQ(Strings{}, Browse("/killed", job.id));
        EXPECT_EQ("open", nuvindexing::ListRuns(job.id).at(0).status) << "nothing sweeps by itself";

        if (byAdminCommand) {
            ProgramResult listed = RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite",
                                              {"index", "runs", "--job", std::to_string(job.id)});
            EXPECT_EQ(0, listed.exitCode) << listed.err;
        } else {
            IndexingConnection next;
            Open(next, &job);
            ASSERT_EQ(0, Send(next, "/killed/again"));
            ASSERT_EQ(0, next.backupDone(1));
            EXPECT_EQ(Strings{"/killed/again"}, Browse("/killed", job.id));
        }
        runs = nuvindexing::ListRuns(job.id);
        ASSERT_EQ(byAdminCommand ? 2u : 3u, runs.size());
        EXPECT_EQ("failed", runs[0].status);
        EXPECT_GT(runs[0].ended, 0);
        EXPECT_EQ(0, runs[0].entries);
        EXPECT_EQ(0, countRows(kEntries, killed));
        EXPECT_EQ(0, countRows(kMetadata, killed));
    }
}

TEST_F(IndexTest, FaultTableFailsTheNamedCallOnly) {
    IndexingConnection c;
    Open(c);
    nuvsuite::AddFault("indexing", "IndexingConnection::sendFileInfo", -5, "disk full", 1, "path=/db/b");
    EXPECT_EQ(0, Send(c, "/db/a"));
    EXPECT_EQ(-1, Send(c, "/db/b"));
    EXPECT_EQ(0, Send(c, "/db/b")) << "the fault had one use";

    nuvsuite::AddFault("indexing", "IndexingConnection::backupDone", -9, "refused", 1);
    EXPECT_EQ(-9, c.backupDone(1));
    EXPECT_EQ("failed", nuvindexing::ListRuns(m_job.id)[0].status) << "a refused completion ends the run";
    EXPECT_EQ(-1, c.backupDone(0));
    EXPECT_EQ((Strings{"IndexingConnection::initialize", "IndexingConnection::sendAfileInfo", "IndexingConnection::sendFileInfo", "IndexingConnection::backupDone", "IndexingConnection::backupDone"}), Calls());
    auto rows = nuvsuite::ReadJournal("indexing", "IndexingConnection::sendFileInfo");
    ASSERT_EQ(1u, rows.size()) << "per-entry calls are journalled once per batch";
    EXPECT_NE(std::string::npos, rows[0].args.find("calls=3 first=[seq=1 path=/db/a] last=[seq=1 path=/db/b]"))
        << rows[0].args;
}

TEST_F(IndexTest, NewestGoodJobIsWhatReadersSee) {
    nuvjobmgr::JobInfo second = NewJob();
    for (auto const* job : {&m_job, &second}) {
        IndexingConnection c;
        Open(c, job);
        ASSERT_EQ(0, Send(c, job == &m_job ? "/d/old" : "/d/new"));
        ASSERT_EQ(0, c.backupDone(1));
    }
    EXPECT_EQ(Strings{"/d/new"}, Browse("/d"));
    EXPECT_EQ(Strings{"/d/old"}, Browse("/d", m_job.id));
}

// The good runs of one job are read as one index: a path's newest copy wins,
// whichever runs a pattern reaches.
TEST_F(IndexTest, RunsOfOneJobAreReadTogether) {
    struct Fed {
        char const* path;
        uint64_t size;
    };
    std::vector<std::vector<Fed>> const runs = {
        {{"/r/a", 1}, {"/r/b", 1}, {"/s/only1", 1}},
        {{"/r/b", 2}, {"/r/c", 2}, {"/t/only2", 2}},
    };
    for (auto const& run : runs) {
        IndexingConnection c;
        Open(c);
        for (Fed const& f : run) ASSERT_EQ(0, Send(c, f.path, false, 1, f.size));
        ASSERT_EQ(0, c.backupDone(1));
    }
    struct Case {
        char const* pattern;
        std::vector<std::string> paths;   // "path:size"
    } const cases[] = {
        {"/r/**", {"/r/a:1", "/r/b:2", "/r/c:2"}},   // both runs
        {"/r", {"/r/a:1", "/r/b:2", "/r/c:2"}},
        {"/s/**", {"/s/only1:1"}},                  // the older run alone
        {"/t", {"/t/only2:2"}},                     // the newer run alone
        {"/s/only1", {"/s/only1:1"}},               // a file's own name
        {"/u/**", {}},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.pattern);
        std::vector<nuvindexing::IndexEntry> entries;
        ASSERT_FALSE(nuvindexing::BrowseIndex(kAppId, m_job.id, k.pattern, &entries).IsError());
        std::vector<std::string> seen;
        for (auto const& e : entries) seen.push_back(e.path + ":" + std::to_string(e.size));
        EXPECT_EQ(k.paths, seen);
    }
}

TEST_F(IndexTest, ObjectGuidDependsOnlyOnThePath) {
    std::string a1, a2, b;
    EXPECT_EQ(0, GetObjectGuid("/db/t1", 0, '/', a1));
    EXPECT_EQ(0, GetObjectGuid(std::string("/db/t1"), 0, '/', a2));
    EXPECT_EQ(0, GetObjectGuid("/db/t2", 0, '/', b));
    EXPECT_EQ(a1, a2);
    EXPECT_NE(a1, b);
    EXPECT_EQ(36u, a1.size());
    EXPECT_EQ(-1, GetObjectGuid(static_cast<char const*>(nullptr), 0, '/', a1));
}

TEST_F(IndexTest, GenerationIsDeclaredPerApplication) {
    bool v2 = true;
    EXPECT_EQ(0, shouldUseIndexingV2(2, kAppId, v2));
    EXPECT_FALSE(v2);
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kAppId, true).IsError());
    EXPECT_EQ(0, shouldUseIndexingV2(2, kAppId, v2));
    EXPECT_TRUE(v2);
    nuvsuite::AddFault("indexing", "shouldUseIndexingV2", -3, "", -1);
    EXPECT_NE(0, shouldUseIndexingV2(2, kAppId, v2));
}
