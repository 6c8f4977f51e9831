// The prepare and snap phases of the job driver through the fault table and
// the agent's hooks: which hooks run, how often the database is resumed, the
// phase's result and the pending causes raised.
#include "tests/dbsnap/driver_fixture.h"

#include "nuvdbsnap/platform/snapmgr/snap_client.h"

using namespace nuvdbsnaptest;

namespace {

struct SnapRoad {
    char const* name;
    // What fails: a fault (service, call, match) or an agent hook.
    char const* service;
    char const* call;
    char const* match;
    int quiesceRc, entityRc, dbListRc;
    int phaseRc;            // Snap()
    int quiesces, unquiesces;
    bool failed;            // the driver's failure flag after the phase
    std::vector<std::string> causes;
};

void PrintTo(SnapRoad const& r, std::ostream* os) { *os << r.name; }

class SnapRoadTest : public DriverTest, public ::testing::WithParamInterface<SnapRoad> {};

TEST_P(SnapRoadTest, ResumesAndReportsAsThePhaseSays) {
    SnapRoad const& r = GetParam();
    DeclarePostgres();
    TestDriver driver;
    driver.dataPaths = {m_data};
    driver.quiesceRc = r.quiesceRc;
    driver.entityRc = r.entityRc;
    driver.dbListRc = r.dbListRc;
    ASSERT_EQ(0, driver.Init(CommandLine()));
    ASSERT_EQ(0, driver.FindDataPaths());
    ASSERT_EQ(0, driver.PrepareSnap());
    if (r.service != nullptr) nuvsuite::AddFault(r.service, r.call, 42, "injected by the test", -1, r.match);

    EXPECT_EQ(r.phaseRc, driver.Snap());
    EXPECT_EQ(r.quiesces, driver.quiesces);
    EXPECT_EQ(r.unquiesces, driver.unquiesces);
    EXPECT_EQ(r.failed, driver.failed());
    EXPECT_EQ(r.causes, Causes());
}

INSTANTIATE_TEST_SUITE_P(
    Roads, SnapRoadTest,
    ::testing::Values(
        SnapRoad{"AllGood", nullptr, nullptr, "", 0, 0, 0, 0, 1, 1, false, {}},
        SnapRoad{"QuiesceFails", nullptr, nullptr, "", -1, 0, 0, -1, 1, 0, false, {}},
        SnapRoad{"EntityListFails", nullptr, nullptr, "", 0, -1, 0, -1, 1, 1, false,
                 {"0x070000cb creation of snap entity list failed"}},
        SnapRoad{"DatabaseListFails", nullptr, nullptr, "", 0, 0, -1, -1, 1, 1, false, {}},
        SnapRoad{"PreSnapTaskFails", "snapbase", "NuvSnapUtilBase::runPrePostSnapTask", "phase=1", 0, 0, 0, -1, 0, 0, false,
                 {"0x070000cb PreSnap task failed"}},
        // Pre- and post-create failures raise no cause of the driver's own.
        SnapRoad{"PreCreateFails", "snapmgr", "JZSnapClientAPI::preCreateVolumeSnaps", "", 0, 0, 0, -1, 0, 0, false, {}},
        // The callback raises the engine's text, the driver its own; the database is resumed once.
        SnapRoad{"CreateFails", "snapmgr", "JZSnapClientAPI::createVolumeSnaps", "", 0, 0, 0, -1, 1, 1, true,
                 {"0x070000cb injected by the test", "0x070000cb  snap shot creation failed"}},
        SnapRoad{"PostCreateFails", "snapmgr", "JZSnapClientAPI::postCreateVolumeSnaps", "", 0, 0, 0, -1, 1, 1, false, {}},
        // A failed post-snap task is raised, and the phase still succeeds.
        SnapRoad{"PostSnapTaskFails", "snapbase", "NuvSnapUtilBase::runPrePostSnapTask", "phase=2", 0, 0, 0, 0, 1, 1, false,
                 {"0x070000cb  PostSnap task failed"}}),
    [](::testing::TestParamInfo<SnapRoad> const& info) { return std::string(info.param.name); });

struct PrepareRoad {
    char const* name;
    char const* service;
    char const* call;
    std::vector<std::string> causes;
};

void PrintTo(PrepareRoad const& r, std::ostream* os) { *os << r.name; }

class PrepareRoadTest : public DriverTest, public ::testing::WithParamInterface<PrepareRoad> {};

TEST_P(PrepareRoadTest, FailsThePhaseWithItsCause) {
    PrepareRoad const& r = GetParam();
    DeclarePostgres();
    TestDriver driver;
    driver.dataPaths = {m_data};
    ASSERT_EQ(0, driver.Init(CommandLine()));
    nuvsuite::AddFault(r.service, r.call, 42, "injected by the test", -1);
    EXPECT_EQ(1, driver.RunSnapBackup());
    EXPECT_EQ(0, driver.quiesces);
    EXPECT_EQ(r.causes, Causes());
}

INSTANTIATE_TEST_SUITE_P(
    Roads, PrepareRoadTest,
    ::testing::Values(PrepareRoad{"ArchiveRecord", "archive", "JZArchive::CreateArchiveForSnapBackup",
                                  {"0x070000ca Failure in creating snap archive file"}},
                      PrepareRoad{"Prepare", "snapmgr", "JZSnapClientAPI::prepareVolumeSnaps",
                                  {"0x070000ca Snap manager utility prepare snapshot failed"}}),
    [](::testing::TestParamInfo<PrepareRoad> const& info) { return std::string(info.param.name); });

TEST_F(DriverTest, APathOnNoVolumeFailsThePrepare) {
    DeclarePostgres();
    TestDriver driver;
    driver.dataPaths = {m_data, m_root.base() + "/missing"};
    ASSERT_EQ(0, driver.Init(CommandLine()));
    EXPECT_EQ(1, driver.RunSnapBackup());
    EXPECT_EQ(std::vector<std::string>{"0x070000ca Failure populating mountpoints to snap manager utility"}, Causes());
}

TEST_F(DriverTest, FindDataPathsFailureStopsBeforeAnySnapshotWork) {
    DeclarePostgres();
    TestDriver driver;
    driver.findRc = -1;
    ASSERT_EQ(0, driver.Init(CommandLine()));
    EXPECT_EQ(1, driver.RunSnapBackup());
    EXPECT_EQ(nullptr, driver.getSnapUtil());
    EXPECT_TRUE(JournalArgs("archive", "JZArchive::CreateArchiveForSnapBackup").empty());
}

TEST_F(DriverTest, ErrorCallbackSetsTheFailureAndRaisesOnlyTypeMinusOne) {
    DeclarePostgres();
    TestDriver driver;
    ASSERT_EQ(0, driver.Init(CommandLine()));
    DBSnapBackup::errorHandler(&driver, 2, "/data", 7, "only logged");
    EXPECT_TRUE(driver.failed());
    EXPECT_TRUE(Causes().empty());
    DBSnapBackup::errorHandler(&driver, -1, "/data", 7, "raised");
    EXPECT_EQ(std::vector<std::string>{"0x070000cb raised"}, Causes());
}

TEST_F(DriverTest, WholeRunSnapsTheDataAndMakesOneArchiveRecordPerVolume) {
    DeclarePostgres();
    TestDriver driver;
    driver.dataPaths = {m_data};
    ASSERT_EQ(0, driver.Init(CommandLine()));
    ASSERT_EQ(0, driver.FindDataPaths());
    ASSERT_EQ(0, driver.PrepareSnap());
    ASSERT_EQ(0, driver.Snap());
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(m_jobId));
    JZSnapClientAPI client;
    ASSERT_TRUE(client.getVolumeSnaps(record));
    ASSERT_EQ(1u, record.getNumSnaps());
    EXPECT_EQ("rows of the first table\n", ReadFile(record.snapListBegin()->getSnapDevice() + "/table.dat"));
    EXPECT_EQ(1u, JournalArgs("archive", "JZArchive::CreateArchiveForSnapBackup").size());
}

}  // namespace

namespace {

TEST_F(DriverTest, VolumeFlagSwitchNeedsThePrepareOnEngine48) {
    DeclarePostgres();
    TestDriver driver;
    EXPECT_EQ(0, driver.SetVolumeFlagsBeforeMount());  // other engines: nothing to do
    driver.engineType() = 48;
    EXPECT_EQ(-1, driver.SetVolumeFlagsBeforeMount());
    EXPECT_EQ(-1, driver.UnsetVolumeFlagsAfterMount());
}

struct AppAwareCase {
    int appType;
    char const* section;
    char const* key;
};

class AppAwareSettingTest : public DriverTest, public ::testing::WithParamInterface<AppAwareCase> {};

TEST_P(AppAwareSettingTest, ReadsTheApplicationsKey) {
    AppAwareCase const& c = GetParam();
    TestDriver driver(c.appType);
    EXPECT_EQ(0, driver.UseAppAwareSnapForIndexing());  // absent
    SetSetting(c.section, c.key, "yes");
    EXPECT_EQ(1, driver.UseAppAwareSnapForIndexing());
    SetSetting(c.section, c.key, "Y");
    EXPECT_EQ(1, driver.UseAppAwareSnapForIndexing());
    SetSetting(c.section, c.key, "no");
    EXPECT_EQ(0, driver.UseAppAwareSnapForIndexing());
}

INSTANTIATE_TEST_SUITE_P(Apps, AppAwareSettingTest,
                         ::testing::Values(AppAwareCase{125, "PostGres", "POSTGRES_INDEX_APPAWARESNAP"},
                                           AppAwareCase{104, "MySQL", "MYSQL_INDEX_APPAWARESNAP"},
                                           AppAwareCase{5, "Nuvantry", "USE_INDEX_APPAWARESNAP"}),
                         [](::testing::TestParamInfo<AppAwareCase> const& info) {
                             return "App" + std::to_string(info.param.appType);
                         });

}  // namespace
