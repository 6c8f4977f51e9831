// Snapshot archive records: one archive file and one record volume per mount
// point, the replication decision, the source-client rules and cloning.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"

using namespace nuvenginetest;

namespace {

char const* const kCreate = "JZArchive::CreateArchiveForSnapBackup";
char const* const kClose = "JZArchive::closeAfile";

class ArchiveTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m_second = MakeDir(m_root.base() + "/logs");
        DeclareVolume(m_data, "/dev/fakedata", "ext4", "rw");
        DeclareVolume(m_second, "/dev/fakelogs", "ext4", "rw");
    }

    std::unique_ptr<NuvSnapUtil> MakeUtil(int engineType, std::vector<std::string> const& mountPoints) {
        auto util = std::make_unique<NuvSnapUtil>(engineType, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr,
                                                  SPAWN_IN_PROCESS);
        util->setBrannoxId(nuvsuite::kLocalBrannoxId);
        for (auto const& m : mountPoints) EXPECT_EQ(1, util->addMountPoint(m.c_str(), nullptr));
        return util;
    }

    void Replication(int enabled, int type) {
        CFzError e = nuvsuite::Catalogue::Instance().Exec(
            "INSERT OR REPLACE INTO sm_replication (app_id, enabled, type) VALUES (?, ?, ?)",
            {static_cast<int64_t>(m_appId), static_cast<int64_t>(enabled), static_cast<int64_t>(type)});
        ASSERT_FALSE(e.IsError()) << e.AsString();
    }

    std::string m_second;
};

TEST_F(ArchiveTest, OneClosedArchiveFilePerMountPointInOrder) {
    DeclareApp(125);
    auto util = MakeUtil(2, {m_second, m_data});
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    SMVolSnapInfo out;
    std::map<std::string, std::set<std::string>> files;
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, &out, &files));

    EXPECT_EQ(2u, JournalArgs("archive", kCreate).size());
    EXPECT_EQ(2u, JournalArgs("archive", kClose).size());
    ASSERT_EQ(2u, out.getNumVolumes());
    EXPECT_EQ(125, out.getAppTypeId());
    EXPECT_EQ(static_cast<int>(m_clientId), out.getSourceClientId());
    std::vector<std::string> paths;
    std::set<int> ids;
    for (auto it = out.volumeListBegin(); it != out.volumeListEnd(); ++it) {
        paths.push_back(it->getSourcePath());
        ids.insert(it->getArchFileId());
        EXPECT_GT(it->getArchFileId(), 0);
        EXPECT_EQ(nuvsuite::kLocalBrannoxId, it->getBrannoxId());
        EXPECT_EQ(archive.GetCopyId(), it->getCopyId());
        EXPECT_EQ(m_jobId, it->getJobId());
        EXPECT_EQ(static_cast<int>(m_appId), it->getAppId());
        EXPECT_EQ(125, it->getAppTypeId());
        EXPECT_EQ(static_cast<int>(m_clientId), it->getSourceClientId());
        EXPECT_EQ(static_cast<int>(m_clientId), it->getOriginClientId());
        EXPECT_EQ(0, it->getVolumeFlags());
    }
    EXPECT_EQ((std::vector<std::string>{m_data, m_second}), paths);  // ascending mount points
    EXPECT_EQ(2u, ids.size());
    EXPECT_EQ(util->getMountPoints(), files);
    EXPECT_EQ(1u, util->getBackupType());
}

TEST_F(ArchiveTest, FailedCreateOrCloseStopsAndWritesNothingOut) {
    DeclareApp(125);
    for (char const* call : {kCreate, kClose}) {
        SCOPED_TRACE(call);
        nuvsuite::ClearFaults();
        nuvsuite::AddFault("archive", call, 3, "archive manager refused", 1);
        auto util = MakeUtil(2, {m_data});
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        SMVolSnapInfo out;
        out.setJobId(-7);
        std::map<std::string, std::set<std::string>> files;
        EXPECT_EQ(-1, util->createSnapArchiveFiles(archive, request, &out, &files));
        EXPECT_EQ(-7, out.getJobId());
        EXPECT_TRUE(files.empty());
        EXPECT_EQ(0u, util->getSnapShotInfo().getNumVolumes());
    }
}

// A mount point that names a declared ASM disk group is a volume like any
// other: the archive step sets volume flags on the LREP roads only.
class DiskGroupArchiveTest : public ArchiveTest, public ::testing::WithParamInterface<int> {};

TEST_P(DiskGroupArchiveTest, TheGroupsVolumeGetsNoFlags) {
    DeclareApp(GetParam());
    std::string const disk = MakeDir(m_root.base() + "/asmdisk1");
    WriteFile(disk + "/users.dbf", "users");
    DeclareVolume(disk, "/dev/asmdisk1", "ext4", "rw");
    nuvtest::DeclareRow({"asmgroup", "name=DATA"});
    nuvtest::DeclareRow({"asmdisk", "group_name=DATA", "path=" + disk});
    auto util = MakeUtil(2, {"+DATA/users.dbf", m_data});
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    SMVolSnapInfo out;
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, &out, nullptr));
    ASSERT_EQ(2u, out.getNumVolumes());
    EXPECT_EQ("+DATA", out.volumes()[0].getSourcePath());
    EXPECT_EQ(m_data, out.volumes()[1].getSourcePath());
    for (auto const& v : out.volumes()) {
        EXPECT_EQ(0, v.getVolumeFlags()) << v.getSourcePath();
        EXPECT_GT(v.getArchFileId(), 0) << v.getSourcePath();
    }
}

INSTANTIATE_TEST_SUITE_P(Oracle, DiskGroupArchiveTest, ::testing::Values(22, 80));

// The replication decision and its archive files.
struct ReplicationCase {
    char const* name;
    int engine;
    int appType;
    int enabled, type;   // replication row; enabled -1: the query fails
    unsigned replicationType;
    int engineAfter;
    bool archiveFile;
    int volumeFlags;
};

class ReplicationTest : public ArchiveTest, public ::testing::WithParamInterface<ReplicationCase> {};

TEST_P(ReplicationTest, DecidesAndRecords) {
    ReplicationCase const& c = GetParam();
    DeclareApp(c.appType);
    if (c.enabled < 0)
        nuvsuite::AddFault("snapmgr", "JZMMSnapAPI::isReplicationEnabled", 9, "no answer", -1);
    else
        Replication(c.enabled, c.type);
    auto util = MakeUtil(c.engine, {m_data});
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    SMVolSnapInfo out;
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, &out, nullptr));
    EXPECT_EQ(c.replicationType, util->getReplicationType());
    EXPECT_EQ(c.engineAfter, util->getEngineType());
    EXPECT_EQ(c.archiveFile ? 1u : 0u, JournalArgs("archive", kCreate).size());
    EXPECT_EQ(c.archiveFile ? 1u : 0u, JournalArgs("archive", kClose).size());
    ASSERT_EQ(1u, out.getNumVolumes());
    SMVolumeInfo const& v = *out.volumeListBegin();
    EXPECT_EQ(c.volumeFlags, v.getVolumeFlags());
    EXPECT_EQ(c.replicationType == 1 ? 1 : 0, out.getOpMode());
    if (!c.archiveFile) {
        EXPECT_EQ(999, v.getArchFileId());
        EXPECT_EQ(0, v.getGroupId());
        EXPECT_EQ(999, v.getCopyId());
        EXPECT_EQ(nuvsuite::kLocalBrannoxId, v.getBrannoxId());
    }
    EXPECT_EQ(c.engine == 48 ? m_data : std::string(), v.getSourceGUID());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplicationTest,
    ::testing::Values(ReplicationCase{"Engine3Lrep", 3, 104, 1, 1, 1, 1, true, 4},
                      ReplicationCase{"Engine3OtherType", 3, 104, 1, 2, 0, 3, true, 0},
                      ReplicationCase{"VsaHanaNoArchive", 48, 135, 0, 0, 1, 48, false, 4},
                      ReplicationCase{"VsaPostgresArchive", 48, 125, 0, 0, 1, 48, true, 4},
                      ReplicationCase{"VsaQueryFails", 48, 135, -1, 0, 0, 48, true, 0}),
    [](auto const& info) { return std::string(info.param.name); });

// Which client the record and its volumes name as the source.
enum class Source { Focus, Requested, DdrHost };
struct SourceCase {
    char const* name;
    int engine;
    int appType;
    bool declareDdrHost;  // the application has a DDR host declared
    Source record;
    Source volumes;
};

class SourceClientTest : public ArchiveTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(SourceClientTest, FollowsTheApplicationType) {
    SourceCase const& c = GetParam();
    DeclareApp(c.appType);
    auto declare = [](char const* name) {
        nuvappmgr::ClientDecl client;
        client.name = name;
        unsigned long id = 0;
        EXPECT_FALSE(nuvappmgr::DeclareClient(client, &id).IsError());
        return id;
    };
    unsigned long const otherId = declare("otherclient");
    unsigned long const ddrId = declare("ddrhost");
    if (c.declareDdrHost)
        ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                         .Exec("INSERT INTO sm_ddr_hosts (app_id, client_id) VALUES (?, ?)",
                               {static_cast<int64_t>(m_appId), static_cast<int64_t>(ddrId)})
                         .IsError());
    auto util = MakeUtil(c.engine, {m_data});
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    request.clientId = static_cast<int64_t>(otherId);
    SMVolSnapInfo out;
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, &out, nullptr));
    auto id = [&](Source s) {
        return static_cast<int>(s == Source::Focus ? m_clientId : s == Source::Requested ? otherId : ddrId);
    };
    EXPECT_EQ(id(c.record), out.getSourceClientId());
    EXPECT_EQ(id(c.volumes), out.volumeListBegin()->getSourceClientId());
    EXPECT_EQ(static_cast<int>(otherId), out.volumeListBegin()->getOriginClientId());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SourceClientTest,
    ::testing::Values(SourceCase{"RacTakesRequested", 2, 80, false, Source::Requested, Source::Requested},
                      SourceCase{"DistributedTakesFocus", 2, 64, false, Source::Focus, Source::Focus},
                      SourceCase{"PlainTakesRequested", 2, 125, false, Source::Requested, Source::Requested},
                      // Engine 15: a Unix file-system type's volumes come from the application's DDR host...
                      SourceCase{"DdrUnixFsVolumesTakeHost", 15, 29, true, Source::Requested, Source::DdrHost},
                      // ... or from the requested client when it has none,
                      SourceCase{"DdrUnixFsWithoutHost", 15, 29, false, Source::Requested, Source::Requested},
                      // and other types' volumes come from the requested client whatever the DDR host;
                      SourceCase{"DdrOtherTypeTakesRequested", 15, 125, true, Source::Requested, Source::Requested},
                      // the physical node of a RAC is the DDR host when there is one.
                      SourceCase{"DdrRacTakesHost", 15, 80, true, Source::DdrHost, Source::DdrHost}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(ArchiveTest, CloneSkipsSnapshotMetadataFiles) {
    DeclareApp(125);
    auto util = MakeUtil(2, {});
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    std::map<int, int> masters{{10, 1}, {11, 6}, {12, 3}};
    std::map<int, int> newIds;
    ASSERT_EQ(0, util->cloneSnapArchivesFromMaster(archive, request, masters, newIds));
    ASSERT_EQ(2u, newIds.size());
    EXPECT_EQ(1u, newIds.count(10));
    EXPECT_EQ(1u, newIds.count(12));
    EXPECT_NE(newIds[10], newIds[12]);
    auto creates = JournalArgs("archive", kCreate);
    ASSERT_EQ(2u, creates.size());
    EXPECT_NE(std::string::npos, creates[0].find("type=1"));
    EXPECT_NE(std::string::npos, creates[1].find("type=3"));
    EXPECT_TRUE(JournalArgs("archive", kClose).empty());
}

}  // namespace
