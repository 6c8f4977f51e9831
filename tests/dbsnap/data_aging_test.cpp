// Data aging: the records that backup jobs append under the lock files of a
// subclient directory (across processes), and the deletion lists that a
// data-aging run builds from them over the local index.
#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

OraSnapDataAgingElement_t Element(int appId, long long jobId, unsigned long long afile, int type) {
    OraSnapDataAgingElement_t e;
    e.AppId = appId;
    e.jobId = jobId;
    e.brannoxId = 2;
    e.archiveFileId = afile;
    e.archiveType = type;
    return e;
}

int Record(std::vector<OraSnapDataAgingElement_t> elements) {
    OraSnapDataAging_t list;
    list.count = static_cast<uint32_t>(elements.size());
    list.elements = elements.data();
    return NuvSnapUtilDb::createDeleteIndexEntry(nullptr, list, nullptr, nullptr);
}

Lines ReadLines(std::string const& path) {
    std::ifstream in(path);
    Lines out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class DataAgingTest : public nuvtest::SuiteTest {
protected:
    static std::string Dir(unsigned appId) {
        char dir[1025];
        EXPECT_EQ(0, GetSubclientDir(2, appId, dir));
        return dir;
    }
    // A job of the application with a good index run: archive file id -> paths.
    static long long IndexJob(unsigned appId, std::map<uint32_t, Lines> const& files) {
        nuvjobmgr::JobInfo job;
        EXPECT_FALSE(nuvjobmgr::NewJob(appId, 1, &job).IsError());
        IndexingConnection c;
        EXPECT_EQ(0, c.initialize(2, appId, 22, JZBkpLevel(1), job.token.c_str(), "host", "host", 0));
        for (auto const& f : files) {
            ArchiveFileId_t afile{2, 1, f.first};
            EXPECT_EQ(0, c.sendAfileInfo(&afile, false));
            uint64_t seq = 0;
            for (auto const& path : f.second) {
                JzFileHeader h;
                EXPECT_TRUE(h.setName(path.c_str()));
                h.mode = path.back() == '/' ? 0x4000 : 0;
                if (path.back() == '/') EXPECT_TRUE(h.setName(path.substr(0, path.size() - 1).c_str()));
                EXPECT_EQ(0, c.sendFileInfo(&h, seq++, nullptr, 0));
            }
        }
        EXPECT_EQ(0, c.backupDone(1));
        return job.id;
    }
    static std::string Host() { return nuvsuite::LocalMangledHostName(); }
};

TEST_F(DataAgingTest, RecordsGoToTheWorkFileOfTheirKindOneApplicationAfterAnother) {
    nuvtest::SetSetting("Base", "sBaseVersion", "10");
    std::string const kept = Dir(7) + "/dataAging_tape.wrk";
    nuvtest::WriteFile(kept, "0|7|1|2|0|1|4|0|0|11\n");
    ASSERT_EQ(0, Record({Element(7, 11, 101, 2), Element(5, 12, 102, 4), Element(7, 13, 103, 2),
                         Element(5, 14, 104, 3)}));
    EXPECT_EQ((Lines{"0|7|11|2|0|101|2|0|0|10", "0|7|13|2|0|103|2|0|0|10"}), ReadLines(Dir(7) + "/dataAging_snap.wrk"));
    EXPECT_EQ((Lines{"0|7|1|2|0|1|4|0|0|11"}), ReadLines(kept));  // existed before, got nothing: as it was
    EXPECT_EQ((Lines{"0|5|12|2|0|102|4|0|0|10"}), ReadLines(Dir(5) + "/dataAging_tape.wrk"));
    EXPECT_FALSE(nuvtest::Exists(Dir(5) + "/dataAging_snap.wrk"));  // made for the group, left empty: removed
    for (unsigned app : {5u, 7u})
        for (char const* kind : {"snap", "tape"})
            EXPECT_FALSE(nuvtest::Exists(Dir(app) + "/dataAging_" + kind + ".lck")) << app << kind;
    // Application 5 first (sorted), tape lock before snapshot lock in each group.
    Lines locks;
    for (auto const& args : nuvtest::JournalArgs("lockfile", "JzFile::lock")) locks.push_back(args.substr(Dir(5).size() - 1));
    EXPECT_EQ((Lines{"5/dataAging_tape.lck exclusive timeout=60000", "5/dataAging_snap.lck exclusive timeout=60000",
                     "7/dataAging_tape.lck exclusive timeout=60000", "7/dataAging_snap.lck exclusive timeout=60000"}),
              locks);
}

TEST_F(DataAgingTest, RecordingStopsAtAnEmptyListOrAFailingDirectoryCall) {
    EXPECT_EQ(-1, Record({}));
    nuvsuite::AddFault("subclient", "GetSubclientDir", 2, "no subclient", 1, "app=9");
    EXPECT_EQ(2, Record({Element(8, 1, 1, 2), Element(9, 2, 2, 2)}));
    EXPECT_EQ(Lines{"0|8|1|2|0|1|2|0|0|11"}, ReadLines(Dir(8) + "/dataAging_snap.wrk"));  // the earlier group stays
    nuvsuite::AddFault("subclient", "CreateSubclientDir", 13, "", 1);
    EXPECT_EQ(13, Record({Element(9, 2, 2, 2)}));
    EXPECT_FALSE(nuvtest::Exists(Dir(9)));
    // Types other than 2 and 4 make the directory but leave no work file behind.
    EXPECT_EQ(0, Record({Element(9, 2, 2, 1), Element(9, 3, 3, 0)}));
    EXPECT_TRUE(nuvtest::Exists(Dir(9)));
    EXPECT_FALSE(nuvtest::Exists(Dir(9) + "/dataAging_snap.wrk"));
    EXPECT_FALSE(nuvtest::Exists(Dir(9) + "/dataAging_tape.wrk"));
}

// Three writers of the same subclient start at once: two race, one waits;
// every record arrives, each writer's records in one unbroken run.
TEST_F(DataAgingTest, ConcurrentWritersNeverInterleaveOrLoseRecords) {
    constexpr int kWriters = 3, kRecords = 400;
    Dir(4);  // the state root exists before the forks
    std::vector<std::unique_ptr<nuvtest::PipeSignal>> ready, go;
    std::vector<int> pids;
    for (int w = 0; w < kWriters; ++w) {
        ready.emplace_back(new nuvtest::PipeSignal());
        go.emplace_back(new nuvtest::PipeSignal());
        nuvtest::PipeSignal& r = *ready.back();
        nuvtest::PipeSignal& g = *go.back();
        pids.push_back(nuvtest::StartChild([&, w] {
            std::vector<OraSnapDataAgingElement_t> elements;
            for (int i = 0; i < kRecords; ++i) elements.push_back(Element(4, 1000 * (w + 1) + i, 1 + i, i % 2 ? 4 : 2));
            r.Send();
            if (!g.Wait()) return 2;
            return Record(elements) == 0 ? 0 : 1;
        }));
    }
    for (auto& r : ready) ASSERT_TRUE(r->Wait());
    for (auto& g : go) g->Send();
    for (int pid : pids) EXPECT_EQ(0, nuvtest::WaitChild(pid));
    for (char const* kind : {"snap", "tape"}) {
        Lines lines = ReadLines(Dir(4) + "/dataAging_" + kind + ".wrk");
        ASSERT_EQ(static_cast<size_t>(kWriters * kRecords / 2), lines.size()) << kind;
        std::vector<int> writers;  // the writer of each line, in file order
        for (auto const& l : lines) {
            ASSERT_EQ(9, std::count(l.begin(), l.end(), '|')) << l;
            writers.push_back(std::stoi(nuvtest::SplitAt(l, '|')[2]) / 1000);
        }
        std::vector<int> runs;  // the writers of each unbroken run of lines
        for (size_t i = 0; i < writers.size(); ++i)
            if (i == 0 || writers[i] != writers[i - 1]) runs.push_back(writers[i]);
        EXPECT_EQ(static_cast<size_t>(kWriters), runs.size()) << kind;
        EXPECT_EQ(static_cast<size_t>(kWriters), std::set<int>(runs.begin(), runs.end()).size()) << kind;
    }
}

// A lock held elsewhere past the 60-second wait: nothing is written.
TEST_F(DataAgingTest, ALockHeldPastTheWaitFailsWithoutWriting) {
    std::string const dir = Dir(6);
    ASSERT_EQ(0, CreateSubclientDir(dir.c_str()));
    nuvtest::PipeSignal holding, release;
    int pid = nuvtest::StartChild([&] {
        JzFile f;
        if (f.open((dir + "/dataAging_tape.lck").c_str(), sfOpenReadWriteCreate, 0, 0) != 0) return 1;
        if (f.lock(sfLockExclusive, 0) != 1) return 2;
        holding.Send();
        return release.Wait() ? 0 : 3;
    });
    ASSERT_TRUE(holding.Wait());
    EXPECT_EQ(-1, Record({Element(6, 1, 1, 2)}));
    release.Send();
    EXPECT_EQ(0, nuvtest::WaitChild(pid));
    EXPECT_FALSE(nuvtest::Exists(dir + "/dataAging_snap.wrk"));
    EXPECT_FALSE(nuvtest::Exists(dir + "/dataAging_tape.wrk"));
}

// The admin command shows what lies in a subclient directory.
TEST_F(DataAgingTest, TheAdminCommandListsTheSubclientFiles) {
    ASSERT_EQ(0, Record({Element(7, 11, 101, 2), Element(7, 13, 103, 2), Element(7, 14, 104, 4)}));
    nuvtest::ProgramResult r = nuvtest::RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite", {"subclient", "7", "--json"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"dataAging_snap.wrk\"")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"dataAging_tape.wrk\"")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find(".lck")) << "no lock is left behind";
    r = nuvtest::RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite", {"subclient", "seven"});
    EXPECT_EQ(2, r.exitCode);
}

// --- deletion lists ---

TEST_F(DataAgingTest, AnOracleListHoldsEveryIndexEntryOfTheAgedFiles) {
    long long const job = IndexJob(22, {{101, {"/ora/a.dbf", "/ora/b.dbf"}}, {102, {"/ora/c.dbf"}}, {103, {"/ora/d"}}});
    long long const other = IndexJob(22, {{104, {"/ora/e.dbf"}}});
    ASSERT_EQ(0, Record({Element(22, job, 102, 2), Element(22, job, 101, 2), Element(22, job, 102, 2),
                         Element(22, other, 104, 4), Element(22, job, 999, 2)}));
    std::string list = "ignored";
    EXPECT_EQ(0, NuvSnapUtilDb::deleteIndex(nullptr, 2, 22, 22, TCACHE_SNAP, Host(), list));
    EXPECT_EQ(Dir(22) + "/ORACLE_SBT_Delete_snap", list);
    std::string const j = "2_" + std::to_string(job) + " ";
    EXPECT_EQ((Lines{j + "/ora/c.dbf", j + "/ora/a.dbf", j + "/ora/b.dbf"}), ReadLines(list));
    EXPECT_FALSE(nuvtest::Exists(Dir(22) + "/dataAging_snap.txt"));
    EXPECT_FALSE(nuvtest::Exists(Dir(22) + "/dataAging_snap.wrk"));
    EXPECT_TRUE(nuvtest::Exists(Dir(22) + "/dataAging_tape.wrk"));  // the other kind is not touched

    // A later run with nothing new keeps the list and names it again.
    list.clear();
    EXPECT_EQ(0, NuvSnapUtilDb::deleteIndex(nullptr, 2, 22, 22, TCACHE_SNAP, Host(), list));
    EXPECT_EQ(Dir(22) + "/ORACLE_SBT_Delete_snap", list);
    EXPECT_EQ(3u, ReadLines(list).size());
}

struct Stop {
    char const* name;
    Lines text;            // the text file before the run
    char const* fault;     // an indexing call to fail, or null
    bool listKept;         // deletionList still names the Oracle list
};

void PrintTo(Stop const& s, std::ostream* os) { *os << s.name; }

class DeletionStopTest : public DataAgingTest, public ::testing::WithParamInterface<Stop> {};

TEST_P(DeletionStopTest, LeavesTheRecordsForTheNextRun) {
    Stop const& s = GetParam();
    IndexJob(22, {{101, {"/ora/a.dbf"}}});
    std::string text;
    for (auto const& l : s.text) text += l + "\n";
    ASSERT_EQ(0, CreateSubclientDir(Dir(22).c_str()));
    nuvtest::WriteFile(Dir(22) + "/dataAging_snap.txt", text);
    if (s.fault) nuvsuite::AddFault("indexing", s.fault, 5, "index down", -1);
    std::string list;
    EXPECT_EQ(0, NuvSnapUtilDb::deleteIndex(nullptr, 2, 22, 22, TCACHE_SNAP, Host(), list));
    EXPECT_EQ(s.listKept ? Dir(22) + "/ORACLE_SBT_Delete_snap" : std::string(), list);
    EXPECT_FALSE(nuvtest::Exists(Dir(22) + "/ORACLE_SBT_Delete_snap"));
    EXPECT_EQ(s.text, ReadLines(Dir(22) + "/dataAging_snap.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeletionStopTest,
    ::testing::Values(Stop{"OldVersionFirst", {"0|22|1|2|0|101|2|0|0|7", "0|22|1|2|0|101|2|0|0|11"}, nullptr, true},
                      Stop{"VersionNotANumber", {"0|22|1|2|0|101|2|0|0|x"}, nullptr, true},
                      Stop{"OtherApplicationsOnly", {"0|23|1|2|0|101|2|0|0|11"}, nullptr, false},
                      Stop{"QueryFails", {"0|22|1|2|0|101|2|0|0|11"}, "GetIndexArchFileInfo", false}));

// One record line: which keys and archive file ids it adds.
TEST(DeletionRecordLine, KeepsOnlyUsableRecordsOnce) {
    struct Case {
        char const* line;
        int kind;
        size_t keys, ids;  // after the line
    } const cases[] = {
        {"0|22|1234|2|0|777|2|0|0|11", 2, 1, 1},  {"0|22|1234|2|0|778|2|0|0|11", 2, 1, 2},  // same job: one key
        {"0|22|0x10|2|0|777|2|0|0|11", 2, 2, 2},  // base 0: job 16
        {"0|23|1235|2|0|779|2|0|0|11", 2, 2, 2},  // another application
        {"0|22|0|2|0|779|2|0|0|11", 2, 2, 2},     {"0|22|1235|2|0|0|2|0|0|11", 2, 2, 2},
        {"0|22|1235|2|0|779|4|0|0|11", 2, 2, 2},  // tape type in the snapshot file
        {"0|22|1235|2|0|779|2|0|0|11", 0, 2, 2},  // snapshot type in the tape file
        {"0|22|1235|2|0|779|3|0|0|11", 5, 3, 3},  // kind 5: every type but 0
        {"0|22|1236|2|0|780|0|0|0|11", 5, 3, 3},  {"0|22|1236", 2, 3, 3}, {"0|22||2|0|780|2", 2, 3, 3},
    };
    std::list<_GetIndexSubclientInfo> keys;
    std::list<unsigned long long> ids;
    for (auto const& c : cases) {
        std::string line = c.line;
        TCacheTypeEnum const kind = static_cast<TCacheTypeEnum>(c.kind);
        EXPECT_EQ(0, NuvSnapUtilDb::fetchIndexListForDeletion(nullptr, &line[0], keys, 22, kind, ids));
        EXPECT_EQ(c.keys, keys.size()) << c.line;
        EXPECT_EQ(c.ids, ids.size()) << c.line;
    }
    EXPECT_EQ(16, std::next(keys.begin())->jobId);
    EXPECT_EQ(22u, keys.front().appId);
    EXPECT_EQ(2u, keys.front().cacheType);
    EXPECT_EQ((std::list<unsigned long long>{777, 778, 779}), ids);
}

// The tape check keeps a list while any of its jobs' entries (directories or
// files) is indexed, or the index cannot tell, and removes it otherwise.
TEST_F(DataAgingTest, TapeCheckRemovesOnlyAListNoLongerIndexed) {
    long long const job = IndexJob(22, {{101, {"/ora/", "/ora/my file.dbf"}}});
    std::string const list = Dir(22) + "/ORACLE_SBT_Delete_tape";
    ASSERT_EQ(0, CreateSubclientDir(Dir(22).c_str()));
    std::string const j = "2_" + std::to_string(job) + " ";
    struct Case {
        char const* name;
        std::string content;
        char const* fault;
        int result;
    } const cases[] = {
        {"still indexed", "2_99 /gone\n" + j + "/ora\n", nullptr, -1},
        {"gone from the index", "2_99 /gone\nbadline\n2_0 /x\nnotoken /y\n", nullptr, 0},
        {"index cannot tell", "2_99 /gone\n", "GetIndexArchFileInfo", -1},
        {"a file still indexed, blank kept in its path", "2_99 /gone\n" + j + "/ora/my file.dbf\n", nullptr, -1},
    };
    for (auto const& c : cases) {
        nuvtest::WriteFile(list, c.content);
        if (c.fault) nuvsuite::AddFault("indexing", c.fault, 5, "index down", 1);
        std::string name = list;
        EXPECT_EQ(c.result, NuvSnapUtilDb::cleanTapeDataAgingFile(nullptr, 2, 22, 22, TCACHE_TAPE, Host(), name))
            << c.name;
        EXPECT_EQ(c.result != 0, nuvtest::Exists(list)) << c.name;
    }
    auto queries = nuvtest::JournalArgs("indexing", "GetIndexArchFileInfo");
    ASSERT_FALSE(queries.empty());
    EXPECT_NE(std::string::npos, queries.back().find("pattern=\\/ora/my file.dbf")) << queries.back();
    std::string missing = Dir(22) + "/none";
    EXPECT_EQ(-1, NuvSnapUtilDb::cleanTapeDataAgingFile(nullptr, 2, 22, 22, TCACHE_TAPE, Host(), missing));
}

}  // namespace
