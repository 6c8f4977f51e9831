// LREP replication through the replication-engine plug-in: the replicas are
// real copies of the snapshots, the job status is taken over, the wrapper's
// failures give their texts, and a replication that throws leaves nothing
// frozen. Each test that needs the plug-in re-runs itself with its folder on
// the library search path (the plug-in is opened once per process).
#include "support/engine_fixture.h"

#include "nuvdbsnap/engine/replication_engine.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "support/xfs_loop.h"

#include <algorithm>

using namespace nuvenginetest;

namespace {

class LrepTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareApp(135);
        DeclareVolume(m_data, "/dev/fake", "ext4", "rw");
        m_log = m_root.path() + "/logs/nuvdbsnap.log";
    }

    SMVolSnapInfo Record() const { return Record(m_jobId); }
    SMVolSnapInfo Record(int64_t job) const {
        SMVolSnapInfo record;
        SMVolumeInfo volume;
        volume.setSourcePath(m_data);
        volume.setJobId(static_cast<int>(job));
        volume.setAppId(static_cast<int>(m_appId));
        volume.setAppTypeId(m_appType);
        record.addVolume(volume);
        record.setJobId(static_cast<int>(job));
        record.setBrannoxId(2);
        record.setAppTypeId(m_appType);
        return record;
    }

    std::string Log() const { return ReadFile(m_log); }
    std::string m_log;
};

TEST_F(LrepTest, SnapReplicatesThroughThePlugin) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    SMVolSnapInfo record = Record();
    LREPSnapUtil executor(2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, false);
    ASSERT_EQ(0, executor.PrepareSnap(record, nullptr, nullptr, false));
    ASSERT_EQ(0, executor.Snap(record, nullptr, nullptr, false, 1));

    // The record is the engine's: one replica of the snapshot, content equal.
    ASSERT_EQ(1u, record.getNumSnaps());
    std::string const replica = record.snapListBegin()->getSnapDevice();
    EXPECT_EQ(ReadFile(m_data + "/table.dat"), ReadFile(replica + "/table.dat"));
    EXPECT_EQ(m_data, record.volumeListBegin()->getSourcePath());
    // The native snapshot is gone; the replica is a snapshot of the job in the catalogue.
    std::vector<nuvsuite::CatRow> rows;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Query("SELECT snap_device FROM sm_snapshots WHERE job_id = ?", {m_jobId}, &rows)
                     .IsError());
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(replica, nuvsuite::AsText(rows[0][0]));
    EXPECT_EQ(1u, JournalArgs("replication", "JzRepReplicateSources_C").size());
    EXPECT_EQ(1u, JournalArgs("replication", "JzGetJobPhaseStatus_C").size());
}

TEST_F(LrepTest, FailedJobStatusAfterAGoodRunDeletesTheReplicasAndThrows) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    SMVolSnapInfo record = Record();
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(record));
    ASSERT_TRUE(client.createVolumeSnaps(record));
    nuvsuite::AddFault("replication", "JzGetJobPhaseStatus_C", 0, "status failed", -1);
    LREPSnapUtil executor(2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, false);
    try {
        (void)executor.RunLREPOperations(record, 1, std::map<int, int>());
        FAIL() << "no JzException";
    } catch (JzException const& e) {
        EXPECT_STREQ("SPOS::JOB::SUCCESS", e.getMessage());
        EXPECT_EQ(0x13000359, e.getErrno());
    }
    ASSERT_EQ(0u, record.getNumSnaps());
    std::vector<nuvsuite::CatRow> rows;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Query("SELECT id FROM sm_snapshots WHERE job_id = ? AND state = 'ready'", {m_jobId}, &rows)
                     .IsError());
    EXPECT_TRUE(rows.empty());
}

TEST_F(LrepTest, FailedRunDeletesTheSnapshotsEvenWhenDeleteIsSkipped) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    SMVolSnapInfo record = Record();
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(record));
    ASSERT_TRUE(client.createVolumeSnaps(record));
    std::string const copy = record.snapListBegin()->getSnapDevice();
    nuvsuite::AddFault("replication", "JzRepReplicateSources_C", 0, "target full", -1);
    LREPSnapUtil executor(2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, true);
    EXPECT_EQ(-1, executor.RunLREPOperations(record, 1, std::map<int, int>()));
    EXPECT_NE(Log().find("Failed replicate snaps, error=target full"), std::string::npos);
    EXPECT_FALSE(Exists(copy));
    bool const skip = true;
    EXPECT_EQ(0, executor.RunLREPOperations(record, 1, skip, std::map<int, int>()));
}

// Two replication runs in one process, as a driver making two jobs back to
// back does: each job snaps the volume into its own snapshot records and hands
// them to a new executor, and the one engine of the process serves both.
struct TwoRunsCase {
    char const* name;
    bool skipDelete;         // the native snapshots stay after a good run
    bool sameJob;            // the second run is the first job's again
    char const* firstFault;  // a replication call that fails once in the first run, or ""
    char const* secondFault; // ... in the second run, or ""
    int secondResult;        // 0, -1, or 1 for the failed job status (JzException)
};

void PrintTo(TwoRunsCase const& c, std::ostream* os) { *os << c.name; }

class LrepRuns : public LrepTest {
protected:
    // The job's snapshot record, with the snapshot of the volume as it holds `content`.
    SMVolSnapInfo SnappedRecord(int64_t job, std::string const& content) {
        WriteFile(m_data + "/table.dat", content);
        SMVolSnapInfo record = Record(job);
        JZSnapClientAPI client;
        EXPECT_TRUE(client.prepareVolumeSnaps(record));
        EXPECT_TRUE(client.createVolumeSnaps(record));
        return record;
    }

    // The run of one executor, as the driver's replication step makes it: 1 for a JzException.
    int Run(SMVolSnapInfo& record, bool skipDelete) {
        LREPSnapUtil executor(2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, skipDelete);
        try {
            return executor.RunLREPOperations(record, 1, std::map<int, int>());
        } catch (JzException const&) {
            return 1;
        }
    }

    // How many snapshots the catalogue has made so far (deleted ones included).
    int64_t SnapshotsMade() const {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                         .Query("SELECT seq FROM sqlite_sequence WHERE name = 'sm_snapshots'", {}, &rows)
                         .IsError());
        return rows.empty() ? 0 : nuvsuite::AsInt(rows[0][0]);
    }

    // "id state snap_device" of each snapshot row of the job.
    std::vector<std::string> Snapshots(int64_t job) const {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                         .Query("SELECT id, state, snap_device FROM sm_snapshots WHERE job_id = ? ORDER BY id",
                                {job}, &rows)
                         .IsError());
        std::vector<std::string> out;
        for (auto const& row : rows)
            out.push_back(std::to_string(nuvsuite::AsInt(row[0])) + " " + nuvsuite::AsText(row[1]) + " " +
                          nuvsuite::AsText(row[2]));
        return out;
    }
};

class LrepTwoRuns : public LrepRuns, public ::testing::WithParamInterface<TwoRunsCase> {};

TEST_P(LrepTwoRuns, SecondRunReplicatesItsOwnSnapshotsAlone) {
    TwoRunsCase const& c = GetParam();
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    int64_t const firstJob = m_jobId;
    SMVolSnapInfo first = SnappedRecord(firstJob, "first job\n");
    if (*c.firstFault) nuvsuite::AddFault("replication", c.firstFault, 0, "first run refused", 1);
    (void)Run(first, c.skipDelete);
    std::vector<std::string> const firstLeft = Snapshots(firstJob);
    std::vector<std::string> firstCopies;  // of the ready snapshots
    for (auto const& row : firstLeft)
        if (row.find(" ready ") != std::string::npos) firstCopies.push_back(nuvtest::SplitAt(row, ' ').back());

    int64_t secondJob = firstJob;
    if (!c.sameJob) {
        nuvjobmgr::JobInfo job;
        ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &job).IsError());
        secondJob = job.id;
        setenv("JZ_JOB_ID", std::to_string(secondJob).c_str(), 1);
    }
    SMVolSnapInfo second = SnappedRecord(secondJob, "second job\n");
    std::vector<std::string> natives;
    for (auto it = second.snapListBegin(); it != second.snapListEnd(); ++it) natives.push_back(it->getSnapDevice());
    if (*c.secondFault) nuvsuite::AddFault("replication", c.secondFault, 0, "second run refused", 1);
    int64_t const madeBefore = SnapshotsMade();
    EXPECT_EQ(c.secondResult, Run(second, c.skipDelete)) << Log();
    EXPECT_EQ(Log().find("is not a directory"), std::string::npos) << Log();
    // The run replicated its own volume alone (one replica), whatever became of it.
    bool const replicated = std::string(c.secondFault) != "JzRepReplicateSources_C";
    EXPECT_EQ(replicated ? 1 : 0, SnapshotsMade() - madeBefore);

    if (c.secondResult == 0) {
        // The record names one replica, of this job, holding this job's data.
        ASSERT_EQ(1u, second.getNumSnaps());
        ASSERT_EQ(1u, second.getNumVolumes());
        std::string const replica = second.snapListBegin()->getSnapDevice();
        EXPECT_EQ("second job\n", ReadFile(replica + "/table.dat"));
        std::vector<std::string> const rows = Snapshots(secondJob);
        EXPECT_NE(std::find_if(rows.begin(), rows.end(),
                               [&](std::string const& r) { return r.find(" ready " + replica) != std::string::npos; }),
                  rows.end());
    } else {
        // The failure road deleted this run's record: its native snapshots after
        // a failed run, the replicas it had become after a failed job status.
        if (c.secondResult == -1)
            for (auto const& native : natives) EXPECT_FALSE(Exists(native)) << native;
        for (auto it = second.snapListBegin(); it != second.snapListEnd(); ++it)
            EXPECT_FALSE(Exists(it->getSnapDevice())) << it->getSnapDevice();
    }
    // The first job's leftovers are as its own run left them.
    if (!c.sameJob) {
        EXPECT_EQ(firstLeft, Snapshots(firstJob));
        for (auto const& copy : firstCopies) EXPECT_TRUE(Exists(copy)) << copy;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LrepTwoRuns,
    ::testing::Values(
        TwoRunsCase{"BothReplicate", false, false, "", "", 0},
        TwoRunsCase{"BothReplicateKeepingNativeSnaps", true, false, "", "", 0},
        TwoRunsCase{"FirstFailedBeforeReplicating", false, false, "JzRepInitializeReplication_C", "", 0},
        TwoRunsCase{"FirstFailedReplicating", true, false, "JzRepReplicateSources_C", "", 0},
        TwoRunsCase{"SameJobAgainAfterAFailedInitialize", false, true, "JzRepInitializeReplication_C", "", 0},
        TwoRunsCase{"SecondFailsReplicating", true, false, "", "JzRepReplicateSources_C", -1},
        TwoRunsCase{"SecondFailsItsTables", true, false, "", "JzRepUpdateSnapShotTables_C", -1},
        TwoRunsCase{"SecondFailsItsJobStatus", true, false, "", "JzGetJobPhaseStatus_C", 1}),
    [](auto const& info) { return std::string(info.param.name); });

// The engine's metadata files, asked for (by the content index) without a
// job, after one job replicated in the process: the replicating job gets its
// replicas' file; a later job of the same process, named by JZ_JOB_ID or by
// the job-control client it registered with, gets none.
TEST_F(LrepRuns, MetadataFilesAreThoseOfTheAskingJobAlone) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    int64_t const replicating = m_jobId;
    SMVolSnapInfo record = SnappedRecord(replicating, "replicated\n");
    ASSERT_EQ(0, Run(record, false)) << Log();
    nuvjobmgr::JobInfo later;
    ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &later).IsError());
    std::string const replicatingFile =
        JobResultsDir() + "/ReplicationMetadata_" + std::to_string(replicating) + ".xml";
    struct Case {
        char const* name;
        int64_t environment;   // JZ_JOB_ID, 0 for unset
        int64_t registered;    // the job a job-control client registered with, 0 for none
        bool replicas;         // the replicating job's file is given
    } const cases[] = {
        {"the replicating job", replicating, 0, true},
        {"a later job by JZ_JOB_ID", later.id, 0, false},
        {"a later job by its job-control client", 0, later.id, false},
        {"the replicating job by its job-control client", 0, replicating, true},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.environment != 0)
            setenv("JZ_JOB_ID", std::to_string(c.environment).c_str(), 1);
        else
            unsetenv("JZ_JOB_ID");
        JZJobCtrlClient control(0);
        if (c.registered != 0) {
            ASSERT_TRUE(control.Init2(c.registered, "server1", 1, 4, "", nullptr));
        }
        EvEvent logger;
        JzReplicationEngineDynamic* engine =
            JzReplicationEngineDynamic::getInstance(1, static_cast<unsigned long long>(logger.getJobId()), &control,
                                                    logger, _ReplicationInputParams());
        ASSERT_NE(nullptr, engine);
        std::vector<std::string> files{"left by the caller"};
        ASSERT_NE(0, engine->GetMetadataFiles(files));
        if (c.replicas) {
            ASSERT_EQ(std::vector<std::string>{replicatingFile}, files);
            EXPECT_NE(std::string::npos, ReadFile(replicatingFile).find(m_data)) << ReadFile(replicatingFile);
        } else {
            EXPECT_TRUE(files.empty()) << files.front();
        }
    }
}

TEST_F(LrepTest, RecordWithoutVolumeIsRefused) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    SMVolSnapInfo empty;
    LREPSnapUtil executor(2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, false);
    EXPECT_EQ(-1, executor.RunLREPOperations(empty, 1, std::map<int, int>()));
    EXPECT_EQ(-1, executor.PrepareSnap(empty, nullptr, nullptr, false));
    EXPECT_EQ(0u, JournalArgs("replication", "getInstance_C").size());
}

// The wrapper over each broken plug-in: the wrapper's log text and a null engine,
// or the missing entry's failure.
struct WrapperCase {
    char const* name;
    char const* folder;  // "" for no plug-in at all
    char const* logText;
};

class WrapperFailure : public LrepTest, public ::testing::WithParamInterface<WrapperCase> {};

TEST_P(WrapperFailure, GivesTheWrappersText) {
    WrapperCase const& c = GetParam();
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir(*c.folder ? c.folder : "no-replication-engine"));
    EvEvent logger;
    EXPECT_EQ(nullptr, JzReplicationEngineDynamic::getInstance(1, 1, nullptr, logger, _ReplicationInputParams()));
    EXPECT_NE(Log().find(c.logText), std::string::npos) << Log();
    // The prepare of the LREP executor cannot make its engine: JzException, caught by reference.
    SMVolSnapInfo record = Record();
    LREPSnapUtil executor(2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, false);
    try {
        (void)executor.PrepareSnap(record, nullptr, nullptr, false);
        ADD_FAILURE() << "no JzException";
    } catch (JzException const& e) {
        EXPECT_STREQ("Failed to instantiate JzReplicationEngine", e.getMessage());
        EXPECT_EQ(-1, e.getErrno());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, WrapperFailure,
    ::testing::Values(WrapperCase{"MissingLibrary", "", "Error Loading [lib]JZReplicationEngine.so/dll ["},
                      WrapperCase{"MissingGetInstance", "replication-noinstance",
                                  "GetProcAddress error for getInstance_C ["},
                      WrapperCase{"NoEngine", "replication-nullinstance",
                                  "m_poJzReplicationEngine not able to get the instance"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(LrepTest, MissingEntryFailsItsCallEveryTime) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication-noreplicate"));
    EvEvent logger;
    auto* engine = JzReplicationEngineDynamic::getInstance(1, 1, nullptr, logger, _ReplicationInputParams());
    ASSERT_NE(nullptr, engine);
    EXPECT_EQ(engine, JzReplicationEngineDynamic::getInstance(2, 9, nullptr, logger, _ReplicationInputParams()));
    for (int round = 0; round < 2; ++round) {
        std::string error;
        EXPECT_EQ(0, engine->JzRepReplicateSources(error));
        EXPECT_EQ(0u, error.find("GetProcAddress error for JzRepReplicateSources ")) << error;
    }
    std::vector<std::string> files;
    EXPECT_EQ(1, engine->GetMetadataFiles(files));
    EXPECT_NE(Log().find("adding file.."), std::string::npos);
}

TEST(ReplicationRecords, InputParamsStartAndClearToZero) {
    _ReplicationInputParams params;
    EXPECT_EQ(0u, params.appId + params.brannoxId + params.appTypeId + params.jobId + params.backupLevel);
    params = _ReplicationInputParams{1, 2, 3, 4, 5};
    params.Clear();
    EXPECT_EQ(0u, params.appId + params.brannoxId + params.appTypeId + params.jobId + params.backupLevel);
}

// A replication that throws inside the create leaves the XFS volume thawed.
class LrepXfsTest : public LrepTest {
protected:
    nuvtest::XfsLoopVolume m_volume;
};

TEST_F(LrepXfsTest, ThrowingReplicationStillThaws) {
    NUV_REQUIRE_XFS(m_volume);
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    WriteFile(m_volume.mountPoint() + "/table.dat", "committed rows\n");
    auto util = std::make_unique<NuvSnapUtil>(48, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    ASSERT_EQ(1, util->addMountPoint(m_volume.mountPoint().c_str(), nullptr));
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
    ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
    nuvsuite::AddFault("replication", "JzGetJobPhaseStatus_C", 0, "status failed", -1);
    try {
        (void)util->createSnapShot(nullptr, nullptr, false, nullptr);
        ADD_FAILURE() << "no JzException";
    } catch (JzException const& e) {
        EXPECT_EQ(0x13000359, e.getErrno());
    }
    std::vector<std::string> const runs = FreezeRuns();
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ("-f " + m_volume.mountPoint(), runs[0]);
    EXPECT_EQ("-u " + m_volume.mountPoint(), runs[1]);
    // Writable again.
    WriteFile(m_volume.mountPoint() + "/after.dat", "x");
    EXPECT_EQ("x", ReadFile(m_volume.mountPoint() + "/after.dat"));
}

}  // namespace
