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

    SMVolSnapInfo Record() const {
        SMVolSnapInfo record;
        SMVolumeInfo volume;
        volume.setSourcePath(m_data);
        volume.setJobId(static_cast<int>(m_jobId));
        volume.setAppId(static_cast<int>(m_appId));
        volume.setAppTypeId(m_appType);
        record.addVolume(volume);
        record.setJobId(static_cast<int>(m_jobId));
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
