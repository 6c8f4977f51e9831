// The sample PostgreSQL agent against a real server: a snapshot that a second
// server restores to the rows committed before the job, and the failure roads
// of quiesce, snapshot and resume.
#include "tests/dbsnap/pg_fixture.h"

#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

using namespace nuvdbsnaptest;

namespace {

// The whole job under each index generation, plain and replicated (engine 48:
// LREP replicates the snapshot through the replication-engine plug-in, whose
// metadata files go with the directory change): it succeeds, its index run
// holds the data directory, and the job's snapshot restores to the rows of
// before the job.
struct PgJobCase {
    char const* name;
    bool v2;
    int snapEngine;
};

void PrintTo(PgJobCase const& c, std::ostream* os) { *os << c.name; }

class PgRestoreTest : public PgAgentTest, public ::testing::WithParamInterface<PgJobCase> {
protected:
    int SnapEngine() const override { return GetParam().snapEngine; }
};

TEST_P(PgRestoreTest, SnapshotRestoresToTheRowsCommittedBeforeTheJob) {
    bool const v2 = GetParam().v2;
    bool const replicated = GetParam().snapEngine == kEngineVsa;
    ASSERT_FALSE(nuvindexing::SetGeneration(2, static_cast<uint32_t>(m_appId), v2).IsError());
    // The agent finds the plug-in through the library search path it inherits.
    if (replicated) setenv("LD_LIBRARY_PATH", PluginDir("replication").c_str(), 1);
    int64_t const before = time(nullptr);
    auto job = RunAgent();
    ASSERT_EQ(0, job.exitCode) << job.out << job.err;
    EXPECT_EQ("completed", JobStatus());
    EXPECT_TRUE(Causes().empty());
    EXPECT_TRUE(Exists(JobResultsDir() + "/backup_label"));
    // The snapshot was verified on temporary mounts, which are gone again.
    EXPECT_NE(std::string::npos, job.out.find("pgsnapagent: snapshot verification: every registered path"))
        << job.out;
    // One unmount after the verification, one after the content index, one after the check of the
    // job's files on the snapshot.
    EXPECT_EQ(3u, JournalArgs("snapmgr", "JZSnapClientAPI::unmount").size());
    EXPECT_EQ("0\n", OtherBackends());  // the backup connection is closed
    EXPECT_EQ(replicated ? 1u : 0u, JournalArgs("replication", "JzRepReplicateSources_C").size());
    EXPECT_EQ(replicated ? 1u : 0u, JournalArgs("replication", "GetMetadataFiles_C").size());
    // The engine's metadata file: the replica's record. Under the second
    // generation it goes with the directory change only, never to the store.
    std::string const metadata = JobResultsDir() + "/ReplicationMetadata_" + std::to_string(m_jobId) + ".xml";
    EXPECT_EQ(replicated, Exists(metadata));
    if (replicated) EXPECT_NE(std::string::npos, ReadFile(metadata).find(m_volume)) << ReadFile(metadata);

    // The agent found every file of the job's index on the mounted snapshot
    // and read every regular file there to its end.
    EXPECT_NE(std::string::npos, job.out.find(" 0 missing; ")) << job.out;
    EXPECT_NE(std::string::npos, job.out.find(" 0 unreadable; every indexed file was found on the mounted snapshot and "
                                              "every regular file read whole there"))
        << job.out;

    // The content index of the snapshot, then the run of the data directory's marker.
    auto runs = nuvindexing::ListRuns(m_jobId);
    ASSERT_EQ(2u, runs.size());
    for (auto const& run : runs) {
        EXPECT_EQ("good", run.status);
        EXPECT_EQ(v2 ? 2 : 1, run.generation);
    }
    std::vector<nuvindexing::IndexEntry> markers;
    ASSERT_FALSE(nuvindexing::ListEntries(runs[1].id, &markers).IsError());
    ASSERT_EQ(1u, markers.size());
    EXPECT_EQ("/+DBDIR+" + m_dataDir, markers[0].path);
    EXPECT_FALSE(markers[0].isDir);
    EXPECT_EQ(0u, markers[0].archFileId);
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(runs[0].id, &entries).IsError());
    std::map<std::string, nuvindexing::IndexEntry> byPath;
    for (auto const& e : entries) byPath[e.path] = e;
    // PostgreSQL's files are not examined: a file's record is a file record
    // of the (unexamined) mount point's size 0, or a live-browse directory
    // record of size 10 under the second generation; a directory with
    // content is recorded again as the parent of its content (a directory
    // record of size 10); each record carries the start of the run.
    struct Expected {
        std::string path;
        bool isDir;
        uint64_t size;
    };
    for (Expected const& x : std::vector<Expected>{{m_dataDir, true, 10},
                                                   {m_dataDir + "/base", true, 10},
                                                   {m_dataDir + "/global", true, 10},
                                                   {m_dataDir + "/PG_VERSION", v2, v2 ? 10u : 0u},
                                                   {m_dataDir + "/global/pg_control", v2, v2 ? 10u : 0u},
                                                   {m_dataDir + "/postgresql.conf", v2, v2 ? 10u : 0u}}) {
        SCOPED_TRACE(x.path);
        ASSERT_EQ(1u, byPath.count(x.path));
        nuvindexing::IndexEntry const& e = byPath[x.path];
        EXPECT_EQ(x.isDir, e.isDir);
        EXPECT_EQ(x.size, e.size);
        EXPECT_LE(before, e.time);
        EXPECT_GE(runs[0].started, e.time);
    }
    for (auto const& e : entries) EXPECT_EQ(byPath[m_dataDir].time, e.time) << e.path;

    ASSERT_EQ("", Sql("INSERT INTO sample_rows SELECT g, 'later' FROM generate_series(1001, 1100) g"));
    ASSERT_NE(std::string::npos, Sql("SELECT pg_switch_wal()").find('/'));
    auto restored = Restore();
    ASSERT_EQ(0, restored.exitCode) << restored.err;
    EXPECT_NE(std::string::npos, restored.out.find("rows in sample_rows on the restored server: 500\n"))
        << restored.out;
}

INSTANTIATE_TEST_SUITE_P(Jobs, PgRestoreTest,
                         ::testing::Values(PgJobCase{"FirstGeneration", false, 2},
                                           PgJobCase{"SecondGeneration", true, 2},
                                           PgJobCase{"ReplicatedFirstGeneration", false, kEngineVsa},
                                           PgJobCase{"ReplicatedSecondGeneration", true, kEngineVsa}),
                         [](::testing::TestParamInfo<PgJobCase> const& info) {
                             return std::string(info.param.name);
                         });

TEST_F(PgAgentTest, QuiesceFailureLeavesNothingOpenAndFailsTheJob) {
    // A server without WAL for online backups refuses pg_backup_start.
    ASSERT_EQ("", Sql("ALTER SYSTEM SET wal_level = minimal"));
    ASSERT_EQ("", Sql("ALTER SYSTEM SET archive_mode = off"));
    ASSERT_EQ("", Sql("ALTER SYSTEM SET max_wal_senders = 0"));
    ASSERT_EQ(0, Cluster({"stop"}));
    ASSERT_EQ(0, Cluster({"start"}));
    auto job = RunAgent();
    EXPECT_EQ(1, job.exitCode) << job.out << job.err;
    EXPECT_EQ("failed", JobStatus());
    EXPECT_FALSE(Exists(JobResultsDir() + "/backup_label"));
    EXPECT_EQ("0\n", OtherBackends());
    EXPECT_TRUE(JournalArgs("snapmgr", "JZSnapClientAPI::createVolumeSnaps").empty());
}

TEST_F(PgAgentTest, SnapshotFailureResumesTheServerAndFailsTheJob) {
    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::createVolumeSnaps", 28, "no space for the copy", -1);
    auto job = RunAgent();
    EXPECT_EQ(1, job.exitCode) << job.out << job.err;
    EXPECT_EQ("failed", JobStatus());
    auto causes = Causes();
    EXPECT_NE(causes.end(), std::find(causes.begin(), causes.end(), "0x070000cb  snap shot creation failed"));
    EXPECT_EQ("0\n", OtherBackends());
    EXPECT_EQ("", Sql("INSERT INTO sample_rows VALUES (9999, 'after a failed job')"));
}

// Waits until the agent holds the server in backup mode; the backend's pid ("" when it never did).
std::string WaitForBackupWindow(std::string const& socketDir, int port) {
    auto r = nuvtest::RunProgram(Program("pgcluster"), {"wait-backup", "--socket", socketDir, "--port",
                                                        std::to_string(port), "--timeout", "120"});
    return r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
}

// The agent held in the backup window: it stops before pg_backup_stop until the
// test releases it.
class PgWindowTest : public PgAgentTest {
protected:
    void SetUp() override {
        PgAgentTest::SetUp();
        if (IsSkipped()) return;
        nuvsuite::AddFault("pgagent", "hold", 0, m_hold, 1);
    }
};

TEST_F(PgWindowTest, AgentKilledInTheBackupWindowLeavesTheServerWritable) {
    int const pid = StartAgent();
    std::string const backend = WaitForBackupWindow(m_pg + "/run", m_port);
    bool const held = WaitUntilHeld();
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(pid));
    ASSERT_FALSE(backend.empty()) << "the agent never reached the backup window";
    ASSERT_TRUE(held) << "the agent never stood before pg_backup_stop";
    // The server ends the backup with the agent's connection.
    std::string left = "?";
    for (int i = 0; i < 500 && left != "0\n"; ++i) {
        left = OtherBackends();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ("0\n", left);
    EXPECT_EQ("", Sql("INSERT INTO sample_rows VALUES (9999, 'after a killed job')"));

    // The suite stays usable: a new job of the same application snaps the same volume.
    ASSERT_NO_FATAL_FAILURE(NextJob());
    auto job = RunAgent();
    EXPECT_EQ(0, job.exitCode) << job.out << job.err;
    EXPECT_EQ(1u, [&] {
        SMVolSnapInfo record;
        record.setJobId(static_cast<int>(m_jobId));
        JZSnapClientAPI client;
        return client.getVolumeSnaps(record) ? record.getNumSnaps() : 0u;
    }());
}

TEST_F(PgWindowTest, LostBackupLabelFailsTheJob) {
    int const pid = StartAgent();
    std::string const backend = WaitForBackupWindow(m_pg + "/run", m_port);
    bool const held = WaitUntilHeld();
    if (backend.empty() || !held) kill(pid, SIGKILL);
    ASSERT_FALSE(backend.empty()) << "the agent never reached the backup window";
    ASSERT_TRUE(held) << "the agent never stood before pg_backup_stop";
    // pg_backup_stop then fails: the snapshot has no label and cannot be restored.
    EXPECT_EQ("t\n", Sql("SELECT pg_terminate_backend(" + backend + ")"));
    Release();
    EXPECT_EQ(1, nuvtest::WaitChild(pid));
    EXPECT_EQ("failed", JobStatus());
    EXPECT_FALSE(Exists(JobResultsDir() + "/backup_label"));
}

}  // namespace
