// The snapshot steps of NuvSnapUtil on a plain directory volume: archive
// records, prepare, pre-create, create, post-create and delete, with their
// results, callbacks and copies of the record on failure.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

using namespace nuvenginetest;

namespace {

class StepsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareVolume(m_data, "/dev/fakedata", "ext4", "rw,relatime");
    }

    std::unique_ptr<NuvSnapUtil> MakeUtil(int engineType = 2, SpawnProcess mode = SPAWN_IN_PROCESS) {
        auto util = std::make_unique<NuvSnapUtil>(engineType, JZBkpLevel(1), m_application.get(), 0, true, nullptr, nullptr, mode);
        EXPECT_FALSE(util->initialize().IsError());
        return util;
    }

    // Adds the data volume and creates its archive record.
    void AddData(NuvSnapUtil& util) {
        ASSERT_EQ(1, util.addMountPoint(m_data.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        ASSERT_EQ(0, util.createSnapArchiveFiles(archive, request, nullptr, nullptr));
    }
};

TEST_F(StepsTest, FullRoadMakesAPointInTimeCopy) {
    DeclareApp(125);
    auto util = MakeUtil();
    AddData(*util);
    CallbackLog log;
    ASSERT_EQ(0, util->prepareSnapShot(&CallbackLog::Record, &log, false));
    EXPECT_TRUE(util->isPrepared());
    SMVolSnapInfo out;
    ASSERT_EQ(0, util->preCreateSnapShot(&CallbackLog::Record, &log, false, &out));
    ASSERT_EQ(0, util->createSnapShot(&CallbackLog::Record, &log, false, &out));
    EXPECT_FALSE(util->isPrepared());
    WriteFile(m_data + "/table.dat", "changed after the snapshot\n");
    ASSERT_EQ(0, util->postCreateSnapShot(&CallbackLog::Record, &log, false, &out));
    EXPECT_TRUE(log.calls.empty());

    std::vector<std::string> steps;
    for (auto const& call : JournalCalls({"snapmgr"}))
        if (call.find("VolumeSnaps") != std::string::npos) steps.push_back(call);
    EXPECT_EQ((std::vector<std::string>{"snapmgr.JZSnapClientAPI::prepareVolumeSnaps",
                                        "snapmgr.JZSnapClientAPI::preCreateVolumeSnaps",
                                        "snapmgr.JZSnapClientAPI::createVolumeSnaps",
                                        "snapmgr.JZSnapClientAPI::postCreateVolumeSnaps"}),
              steps);
    ASSERT_EQ(1u, out.getNumSnaps());
    std::string const copy = out.snapListBegin()->getSnapDevice();
    EXPECT_EQ("rows of the first table\n", ReadFile(copy + "/table.dat"));
    // A non-SAP-HANA prepare leaves no snapshot-info file.
    EXPECT_FALSE(Exists(SnapShotInfoFile()));
}

// A job over a declared ASM disk group: the group's mount point is one volume
// of the record from the archive step to the snap. The snapshot manager marks
// it as the group's at the prepare; the job's mount points stay as the agent
// added them, and the snapshot holds the files of every disk.
TEST_F(StepsTest, ADiskGroupStaysOneVolumeThroughPrepareAndSnap) {
    DeclareApp(22);
    std::string const d1 = MakeDir(m_root.base() + "/asmdisk1"), d2 = MakeDir(m_root.base() + "/asmdisk2");
    WriteFile(d1 + "/ORCL/users.dbf", "users at the snap");
    WriteFile(d2 + "/ORCL/system.dbf", "system at the snap");
    DeclareVolume(d1, "/dev/asmdisk1", "ext4", "rw");
    DeclareVolume(d2, "/dev/asmdisk2", "ext4", "rw");
    nuvtest::DeclareRow({"asmgroup", "name=DATA"});
    nuvtest::DeclareRow({"asmdisk", "group_name=DATA", "path=" + d1});
    nuvtest::DeclareRow({"asmdisk", "group_name=DATA", "path=" + d2});
    auto util = MakeUtil();
    ASSERT_EQ(1, util->addMountPoint("+DATA/ORCL/users.dbf", nullptr));
    ASSERT_EQ(1, util->addMountPoint("+DATA/ORCL/system.dbf", nullptr));
    auto const added = util->getMountPoints();
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));

    ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
    SMVolSnapInfo const& prepared = util->getSnapShotInfo();
    ASSERT_EQ(1u, prepared.getNumVolumes());
    EXPECT_EQ("+DATA", prepared.volumes()[0].getSourcePath());
    EXPECT_EQ(JZSM_VOLUMEFLAGS_ASM_DISKGROUP, prepared.volumes()[0].getVolumeFlags());
    EXPECT_EQ(added, util->getMountPoints());

    SMVolSnapInfo out;
    ASSERT_EQ(0, util->createSnapShot(nullptr, nullptr, false, &out));
    WriteFile(d1 + "/ORCL/users.dbf", "users changed after the snap");
    ASSERT_EQ(0, util->postCreateSnapShot(nullptr, nullptr, false, &out));
    ASSERT_EQ(1u, out.getNumVolumes());
    EXPECT_EQ("+DATA", out.volumes()[0].getSourcePath());
    ASSERT_EQ(1u, out.getNumSnaps());
    std::string const copy = out.snapListBegin()->getSnapDevice();
    EXPECT_EQ("users at the snap", ReadFile(copy + "/ORCL/users.dbf"));
    EXPECT_EQ("system at the snap", ReadFile(copy + "/ORCL/system.dbf"));
    EXPECT_EQ(added, util->getMountPoints());
}

// A failing step: its result, the callback, and whether the record is copied out.
struct StepFailure {
    char const* call;           // snapshot-manager call made to fail
    bool flag;                  // carry on after a failure
    int prepare, preCreate, create, postCreate;  // expected results
    size_t callbacks;           // error callback calls
    bool createCopiesOut;       // create's out record written
    int callbackCode;           // code handed to the callback
};

void PrintTo(StepFailure const& c, std::ostream* os) { *os << c.call << (c.flag ? " with flag" : ""); }

class StepFailureTest : public StepsTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(StepFailureTest, ReportsAsTheStepsSay) {
    StepFailure const& c = GetParam();
    DeclareApp(125);
    auto util = MakeUtil();
    AddData(*util);
    nuvsuite::AddFault("snapmgr", c.call, 77, "injected by the test", -1);
    CallbackLog log;
    EXPECT_EQ(c.prepare, util->prepareSnapShot(&CallbackLog::Record, &log, c.flag));
    SMVolSnapInfo out;
    out.setJobId(-5);
    EXPECT_EQ(c.preCreate, util->preCreateSnapShot(&CallbackLog::Record, &log, c.flag, &out));
    out.setJobId(-5);
    EXPECT_EQ(c.create, util->createSnapShot(&CallbackLog::Record, &log, c.flag, &out));
    EXPECT_EQ(c.createCopiesOut, out.getJobId() != -5);
    EXPECT_EQ(c.postCreate, util->postCreateSnapShot(&CallbackLog::Record, &log, c.flag, nullptr));
    ASSERT_EQ(c.callbacks, log.calls.size());
    for (auto const& call : log.calls) {
        EXPECT_EQ(-1, call.type);
        EXPECT_EQ("<Multi-Snap Mount>", call.tag);
        EXPECT_EQ(c.callbackCode, call.code);
        if (c.callbackCode == 77) {
            EXPECT_EQ("injected by the test", call.text);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StepFailureTest,
    ::testing::Values(
        // prepare fails: nothing is prepared, so the create fails in the snapshot manager as well
        StepFailure{"JZSnapClientAPI::prepareVolumeSnaps", false, -1, -1, -1, -1, 1, false, SM_ERR_NOT_PREPARED},
        StepFailure{"JZSnapClientAPI::preCreateVolumeSnaps", false, 0, -1, 0, 0, 0, true, 77},
        StepFailure{"JZSnapClientAPI::preCreateVolumeSnaps", true, 0, -1, 0, 0, 0, true, 77},
        // the snap fails: the callback tells the tag, the out record only with the flag
        StepFailure{"JZSnapClientAPI::createVolumeSnaps", false, 0, 0, -1, -1, 1, false, 77},
        StepFailure{"JZSnapClientAPI::createVolumeSnaps", true, 0, 0, -1, -1, 1, true, 77},
        StepFailure{"JZSnapClientAPI::postCreateVolumeSnaps", false, 0, 0, 0, -1, 0, true, 77}));

TEST_F(StepsTest, PrepareFailureIsNotReportedThroughTheCallback) {
    DeclareApp(125);
    auto util = MakeUtil();
    AddData(*util);
    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::prepareVolumeSnaps", 12, "no devices", -1);
    CallbackLog log;
    EXPECT_EQ(-1, util->prepareSnapShot(&CallbackLog::Record, &log, false));
    EXPECT_TRUE(log.calls.empty());
    EXPECT_FALSE(util->isPrepared());
}

// One failure is logged once: the snapshot manager reports it to its caller
// without logging it, the step that turns it into the agent's -1 logs it with
// its own text, and the cause (code and text) appears in one line only.
struct LoggedOnce {
    char const* name;
    char const* call;  // snapshot-manager call made to fail
    int (*step)(NuvSnapUtil& util);
    std::vector<std::string> texts;  // every failure text the step logs, each exactly once
    size_t errorLines;               // lines logged at the error level
    size_t causeLines;               // lines holding the fault's text
};

void PrintTo(LoggedOnce const& c, std::ostream* os) { *os << c.name; }

size_t Count(std::string const& text, std::string const& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

class LoggedOnceTest : public StepsTest, public ::testing::WithParamInterface<LoggedOnce> {};

TEST_P(LoggedOnceTest, FailureOfOneStepIsLoggedOnce) {
    LoggedOnce const& c = GetParam();
    DeclareApp(125);
    auto util = MakeUtil();
    AddData(*util);
    if (std::string(c.call) != "JZSnapClientAPI::prepareVolumeSnaps") ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
    std::string const logFile = m_root.path() + "/logs/nuvdbsnap.log";
    size_t const before = ReadFile(logFile).size();
    nuvsuite::AddFault("snapmgr", c.call, 77, "injected by the test", -1);
    EXPECT_EQ(-1, c.step(*util));
    std::string const logged = ReadFile(logFile).substr(before);
    for (auto const& text : c.texts) EXPECT_EQ(1u, Count(logged, text)) << text << "\n" << logged;
    EXPECT_EQ(c.errorLines, Count(logged, " -1 [")) << logged;
    EXPECT_EQ(c.causeLines, Count(logged, "injected by the test")) << logged;
    EXPECT_EQ(0u, Count(logged, std::string(c.call) + " failed")) << logged;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoggedOnceTest,
    ::testing::Values(
        LoggedOnce{"Prepare", "JZSnapClientAPI::prepareVolumeSnaps",
                   [](NuvSnapUtil& u) { return u.prepareSnapShot(nullptr, nullptr, false); },
                   {"[NuvSnapUtil::prepareSnapShot] Prepare snapshot failed with an error 77\n"}, 1, 0},
        LoggedOnce{"Create", "JZSnapClientAPI::createVolumeSnaps",
                   [](NuvSnapUtil& u) { return u.createSnapShot(nullptr, nullptr, false, nullptr); },
                   {"[DbSnapUtil::Snap] Multi-Snap failed with the following error\n ErrorCode:77: injected by the test \n",
                    "[NuvSnapUtil::createSnapShot] Snap failed for one of the volumes\n"},
                   1, 1},
        LoggedOnce{"PreCreate", "JZSnapClientAPI::preCreateVolumeSnaps",
                   [](NuvSnapUtil& u) { return u.preCreateSnapShot(nullptr, nullptr, false, nullptr); },
                   {"[NuvSnapUtil::preCreateSnapShot] PreSnap failed for one of the volumes\n"}, 1, 0}),
    [](auto const& info) { return std::string(info.param.name); });

// Destroying a utility that prepared but never created: only DB2 on engines 20
// and 21 deletes the prepared devices.
struct HalfMade {
    int appType;
    int engine;
    bool deletes;
};

void PrintTo(HalfMade const& p, std::ostream* os) {
    *os << "app " << p.appType << ", engine " << p.engine << (p.deletes ? ", deletes" : ", keeps");
}

class HalfMadeTest : public StepsTest, public ::testing::WithParamInterface<HalfMade> {};

TEST_P(HalfMadeTest, DestructorDeletesOnlyForDb2OnEngines20And21) {
    DeclareApp(GetParam().appType);
    {
        auto util = MakeUtil(GetParam().engine);
        AddData(*util);
        ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
        EXPECT_EQ(GetParam().deletes, util->ShouldDeleteSnapOnFailure());
    }
    EXPECT_EQ(GetParam().deletes ? 1u : 0u, JournalArgs("snapmgr", "JZSnapClientAPI::deleteVolumeSnaps").size());
}

INSTANTIATE_TEST_SUITE_P(Apps, HalfMadeTest,
                         ::testing::Values(HalfMade{37, 20, true}, HalfMade{62, 21, true}, HalfMade{103, 20, true},
                                           HalfMade{37, 22, false}, HalfMade{22, 20, false}),
                         [](::testing::TestParamInfo<HalfMade> const& info) {
                             return "App" + std::to_string(info.param.appType) + "Engine" +
                                    std::to_string(info.param.engine);
                         });

TEST_F(StepsTest, DestructorAfterACreateDeletesNothing) {
    DeclareApp(37);
    {
        auto util = MakeUtil(20);
        AddData(*util);
        ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
        ASSERT_EQ(0, util->createSnapShot(nullptr, nullptr, false, nullptr));
    }
    EXPECT_TRUE(JournalArgs("snapmgr", "JZSnapClientAPI::deleteVolumeSnaps").empty());
}

TEST_F(StepsTest, DeleteOfAHalfMadeSnapshotAndItsFailure) {
    DeclareApp(125);
    auto util = MakeUtil();
    AddData(*util);
    ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));

    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::deleteVolumeSnaps", 31, "array busy", 1);
    CallbackLog log;
    EXPECT_EQ(-1, util->deleteSnapShot(&CallbackLog::Record, &log, false));
    EXPECT_TRUE(util->isPrepared());
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ("<Delete-Snap>", log.calls[0].tag);
    EXPECT_EQ(31, log.calls[0].code);
    EXPECT_EQ("array busy", log.calls[0].text);

    EXPECT_EQ(0, util->deleteSnapShot(&CallbackLog::Record, &log, false));
    EXPECT_FALSE(util->isPrepared());
    // The prepared volume is gone: a create has nothing to snap.
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
}

TEST_F(StepsTest, HelperRoadFailsAsAnUnreachableHelperDoes) {
    DeclareApp(125);
    auto util = MakeUtil(2, SPAWN_HELPER_PROCESS);
    AddData(*util);
    CallbackLog log;
    EXPECT_EQ(-1, util->prepareSnapShot(&CallbackLog::Record, &log, false));
    EXPECT_EQ(-1, util->createSnapShot(&CallbackLog::Record, &log, false, nullptr));
    EXPECT_TRUE(log.calls.empty());
    EXPECT_TRUE(JournalArgs("snapmgr", "JZSnapClientAPI::prepareVolumeSnaps").empty());
    EXPECT_TRUE(JournalArgs("snapmgr", "JZSnapClientAPI::createVolumeSnaps").empty());
}

TEST(ExecutorFactory, KindsAndTexts) {
    SP<SnapUtilInterface> plain(
        SnapUtilInterface::getInstance(NUV_SNAPSHOT, 2, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, false));
    ASSERT_TRUE(plain);
    EXPECT_NE(nullptr, dynamic_cast<DbSnapUtil*>(plain.getPtr()));
    SP<SnapUtilInterface> lrep(
        SnapUtilInterface::getInstance(LREP_REPLICATION, 48, 0, false, "", nullptr, SPAWN_IN_PROCESS, false, true));
    ASSERT_TRUE(lrep);
    EXPECT_NE(nullptr, dynamic_cast<LREPSnapUtil*>(lrep.getPtr()));
    EXPECT_EQ(nullptr, SnapUtilInterface::getInstance(static_cast<SNAPUTIL_INSTANCE>(2), 2, 0, false, "", nullptr,
                                                      SPAWN_IN_PROCESS, false, false));
    EXPECT_STREQ("NUV_SNAPSHOT", ConvertToRepTypeStr(NUV_SNAPSHOT));
    EXPECT_STREQ("LREP REPLICATION", ConvertToRepTypeStr(LREP_REPLICATION));
    EXPECT_STREQ("", ConvertToRepTypeStr(static_cast<SNAPUTIL_INSTANCE>(2)));
}

}  // namespace
