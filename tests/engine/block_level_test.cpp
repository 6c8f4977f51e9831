// Block-level backup: start-up settings, the block-level library loaded from
// the base home directory, the device configuration around the snap, the
// bitmaps, and the block-level index configuration file.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

using namespace nuvenginetest;

namespace {

class BlockLevelTest : public EngineTest {
protected:
    std::vector<std::string> Args() { return {"-j", std::to_string(m_jobId)}; }

    std::unique_ptr<NuvSnapUtil> MakeUtil(JZJobCtrlClient* jobControl = nullptr) {
        return std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, false, jobControl, nullptr,
                                             SPAWN_IN_PROCESS);
    }

    void AddAndPrepare(NuvSnapUtil& util, std::string const& path) {
        ASSERT_EQ(1, util.addMountPoint(path.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        ASSERT_EQ(0, util.createSnapArchiveFiles(archive, request, nullptr, nullptr));
        ASSERT_EQ(0, util.prepareSnapShot(nullptr, nullptr, false));
    }

    std::string ConfigFile() { return JobResultsDir() + "/BlockDeviceConfig.jzf"; }
};

TEST_F(BlockLevelTest, LibraryWritesConfigurationAndBitmapsAroundTheSnap) {
    DeclareApp(125, true);
    DeclareVolume(m_data, "/dev/blkdata", "a", "b:c");
    InstallBlockLevelLibrary();
    auto util = MakeUtil();
    std::vector<std::string> args = Args();
    CFzError e = util->initialize(args);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    ASSERT_TRUE(util->IsBlockLevelBackup());
    EXPECT_EQ(4, util->getBlockLevelExtentSize());
    EXPECT_NE(std::string::npos, ReadFile(ConfigFile()).find("job\t" + std::to_string(m_jobId)));

    AddAndPrepare(*util, m_data);
    SMVolSnapInfo out;
    ASSERT_EQ(0, util->createSnapShot(nullptr, nullptr, false, &out));
    EXPECT_NE(0, out.volumeListBegin()->getVolumeFlags() & 0x4000);

    // Both phases reached the library, each with the volume; the mount options
    // are split at their first ':'.
    std::string const config = ReadFile(ConfigFile());
    size_t pre = config.find("phase\tPRE_SNAP");
    size_t post = config.find("phase\tPOST_SNAP");
    ASSERT_NE(std::string::npos, pre);
    ASSERT_NE(std::string::npos, post);
    EXPECT_LT(pre, post);
    std::string const line = "volume\t" + m_data + "\t/dev/blkdata\ta\tb:c\t125\t";
    EXPECT_NE(std::string::npos, config.find(line, pre));
    EXPECT_NE(std::string::npos, config.find(line, post));
    EXPECT_TRUE(Exists(JobResultsDir() + "/blkdata.bmp"));

    // Cleanup removes the bitmaps only.
    WriteFile(JobResultsDir() + "/notes.txt", "kept");
    WriteFile(JobResultsDir() + "/sdb.bmp", "bits");
    EXPECT_TRUE(util->BlockLevelCleanup(JobResultsDir()));
    EXPECT_FALSE(Exists(JobResultsDir() + "/blkdata.bmp"));
    EXPECT_FALSE(Exists(JobResultsDir() + "/sdb.bmp"));
    EXPECT_TRUE(Exists(JobResultsDir() + "/notes.txt"));
    EXPECT_TRUE(Exists(ConfigFile()));
    EXPECT_FALSE(util->BlockLevelCleanup(m_root.base() + "/missing"));
    EXPECT_FALSE(util->BlockLevelCleanup(""));
}

TEST_F(BlockLevelTest, StartUpWithoutArgumentsNeverLoadsTheLibrary) {
    DeclareApp(125, true);
    DeclareVolume(m_data, "/dev/blkdata", "ext4", "rw");
    InstallBlockLevelLibrary();
    auto util = MakeUtil();
    ASSERT_FALSE(util->initialize().IsError());
    EXPECT_TRUE(util->IsBlockLevelBackup());
    EXPECT_EQ(nullptr, util->getDeviceConfigHandler());
    AddAndPrepare(*util, m_data);
    EXPECT_EQ(0, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_TRUE(JournalCalls({"blocklevel"}).empty());
}

// A library that cannot serve fails the start-up with its reason.
struct LoadFailure {
    char const* name;
    char const* folder;      // library installed, null for none
    char const* faultCall;   // blocklevel call made to fail, or null
    char const* text;        // expected in the error
};

class LoadFailureTest : public BlockLevelTest, public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(LoadFailureTest, StartUpFails) {
    LoadFailure const& c = GetParam();
    DeclareApp(125, true);
    if (c.folder != nullptr) InstallBlockLevelLibrary(c.folder);
    if (c.faultCall != nullptr) nuvsuite::AddFault("blocklevel", c.faultCall, 5, "refused by the test", -1);
    auto util = MakeUtil();
    std::vector<std::string> args = Args();
    CFzError e = util->initialize(args);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find(c.text)) << e.AsString();
    EXPECT_NE(std::string::npos, e.AsString().find("LoadBlockLevelSubClientInfo failed")) << e.AsString();
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, LoadFailureTest,
    ::testing::Values(LoadFailure{"Missing", nullptr, nullptr, "Failed to load library <"},
                      LoadFailure{"NoEntry", "blocklevel-noentry", nullptr, "GetBlockDeviceConfigHandler symbol not found"},
                      LoadFailure{"NoHandler", "blocklevel", "GetBlockDeviceConfigHandler",
                                  "Failed to instantiate DeviceConfigHandler"},
                      LoadFailure{"WriteFails", "blocklevel", "Write", "BlockDeviceConfigHandler Write failed"}),
    [](auto const& info) { return std::string(info.param.name); });

// Start-up settings: block level, the Oracle switch-off and the extent size.
struct Settings {
    char const* name;
    int appType;
    bool subclientBlockLevel;
    char const* oracleDisable;  // OracleAgent / sSNAP_BACKUP_DISABLE_BLOCK_TRACKING
    char const* extent;         // FileSystemAgent / nExtentSizeForBlockFilterDriver
    bool blockLevel;
    int extentSize;
};

class SettingsTest : public BlockLevelTest, public ::testing::WithParamInterface<Settings> {};

TEST_P(SettingsTest, StartUpReadsThem) {
    Settings const& c = GetParam();
    DeclareApp(c.appType, c.subclientBlockLevel);
    if (c.oracleDisable != nullptr) SetSetting("OracleAgent", "sSNAP_BACKUP_DISABLE_BLOCK_TRACKING", c.oracleDisable);
    if (c.extent != nullptr) SetSetting("FileSystemAgent", "nExtentSizeForBlockFilterDriver", c.extent);
    auto util = MakeUtil();
    ASSERT_FALSE(util->initialize().IsError());
    EXPECT_EQ(c.blockLevel, util->IsBlockLevelBackup());
    EXPECT_EQ(c.extentSize, util->getBlockLevelExtentSize());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsTest,
    ::testing::Values(Settings{"Off", 125, false, nullptr, "16", false, 0},
                      Settings{"OnDefaultExtent", 125, true, nullptr, nullptr, true, 4},
                      Settings{"ZeroExtentIgnored", 125, true, nullptr, "0", true, 4},
                      Settings{"Extent16", 125, true, nullptr, "16", true, 16},
                      Settings{"OracleYes", 22, true, "Yes", "16", false, 0},
                      Settings{"OracleLowerY", 80, true, "y", nullptr, false, 0},
                      Settings{"OracleNo", 22, true, "no", nullptr, true, 4},
                      Settings{"OracleEmpty", 80, true, "", nullptr, true, 4},
                      Settings{"NotOracle", 125, true, "Y", nullptr, true, 4}),
    [](auto const& info) { return std::string(info.param.name); });

// The subclient's content on a ZFS volume: start-up turns the file-level
// metadata of the block-level backup off, for the job too, and tells the job
// manager why; content elsewhere keeps it on.
struct ContentVolume {
    char const* name;
    char const* fsType;
    bool zfs;
};

class ZfsContentTest : public BlockLevelTest, public ::testing::WithParamInterface<ContentVolume> {};

TEST_P(ZfsContentTest, DecidesTheMetadataCollection) {
    ContentVolume const& c = GetParam();
    DeclareApp(125, true, true);
    DeclareVolume(m_data, "/dev/pool0", c.fsType, "rw");
    ASSERT_FALSE(nuvappmgr::SetContent(nuvappmgr::ContentOwner::Subclient, m_subclientId,
                                       {m_root.base() + "/elsewhere", m_data + "/table.dat"})
                     .IsError());
    InstallBlockLevelLibrary();
    JZJobCtrlClient control;
    ASSERT_TRUE(control.Init2(m_jobId, "local", 0, 0, m_jobToken.c_str(), nullptr));
    auto util = MakeUtil(&control);
    EXPECT_EQ(c.zfs, util->GetBlockLevelZFSContent());
    std::vector<std::string> args = Args();
    ASSERT_FALSE(util->initialize(args).IsError());
    EXPECT_TRUE(util->IsBlockLevelBackup());
    EXPECT_EQ(!c.zfs, util->IsBlockLevelMetaDataEnabled());
    nuvjobmgr::JobInfo job;
    ASSERT_TRUE(nuvjobmgr::GetJob(m_jobId, &job));
    EXPECT_EQ(!c.zfs, job.metadataCollection);
    std::vector<std::string> texts;
    for (auto const& cause : nuvjobmgr::ListPendingCauses(m_jobId)) {
        EXPECT_EQ(0x0600003A, cause.code);
        for (auto const& a : cause.args) texts.push_back(a);
    }
    EXPECT_EQ(c.zfs ? std::vector<std::string>{"File level metadata collection is not supported for ZFS volumes"}
                    : std::vector<std::string>{},
              texts);
}

INSTANTIATE_TEST_SUITE_P(Table, ZfsContentTest,
                         ::testing::Values(ContentVolume{"Zfs", "zfs", true}, ContentVolume{"Xfs", "xfs", false}),
                         [](auto const& info) { return std::string(info.param.name); });

// A full that completed earlier in the cycle reaches the block-level handler
// with the incremental job's device configuration.
TEST_F(BlockLevelTest, FullRanInTheCycleReachesTheHandler) {
    DeclareApp(125, true);
    JZBkpJobClient full;
    ASSERT_TRUE(full.init("local", m_jobId, 0, 4, true, m_jobToken.c_str()));
    JZJobCtrlClient fullControl;
    ASSERT_TRUE(fullControl.Init2(m_jobId, "local", 0, 0, m_jobToken.c_str(), nullptr));
    {
        auto util = MakeUtil(&fullControl);
        EXPECT_FALSE(util->GetFullRanInCurrCycle());  // the full itself opens the cycle
    }
    ASSERT_TRUE(full.complete(nuvjobmgr::kJobStatusSuccess, 1, 0, 0));

    nuvjobmgr::JobInfo incremental;
    ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 2, &incremental).IsError());
    m_jobId = incremental.id;
    setenv("JZ_JOB_ID", std::to_string(m_jobId).c_str(), 1);
    DeclareVolume(m_data, "/dev/blkdata", "ext4", "rw");
    InstallBlockLevelLibrary();
    auto util = MakeUtil();
    EXPECT_TRUE(util->GetFullRanInCurrCycle());
    std::vector<std::string> args = Args();
    ASSERT_FALSE(util->initialize(args).IsError());
    AddAndPrepare(*util, m_data);
    ASSERT_EQ(0, util->createSnapShot(nullptr, nullptr, false, nullptr));
    std::string const config = ReadFile(ConfigFile());
    size_t const pre = config.find("phase\tPRE_SNAP");
    ASSERT_NE(std::string::npos, pre) << config;
    std::string const line = config.substr(pre, config.find('\n', pre) - pre);
    EXPECT_EQ("\tfullran\t1", line.substr(line.size() - 10)) << config;
    EXPECT_EQ(std::string::npos, config.find("fullran\t0")) << config;
}

TEST_F(BlockLevelTest, NoApplicationMeansNoBlockLevel) {
    DeclareApp(125, true);
    NuvSnapUtil util(2, JZBkpLevel(1), nullptr, 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    std::vector<std::string> args = Args();
    EXPECT_FALSE(util.initialize(args).IsError());
    EXPECT_FALSE(util.IsBlockLevelBackup());
}

TEST_F(BlockLevelTest, AppendFollowsTheLogPhaseArgument) {
    DeclareApp(22);
    auto util = MakeUtil();
    struct Case {
        std::vector<std::string> args;
        int appType;
        bool append;
    } const cases[] = {{{"-j", "5", "-logSnapPhase"}, 22, true},
                       {{"-j", "5", "-logSnapPhase"}, 80, true},
                       {{"-logSnapPhase=1"}, 22, false},
                       {{"-logSnapPhase"}, 61, false}};
    for (auto const& c : cases) {
        std::vector<std::string> args = c.args;
        ASSERT_FALSE(util->initialize(args).IsError());
        EXPECT_EQ(c.append, util->shouldAppendDeviceConfig(c.appType));
    }
}

// Refusals of the device configuration that the job manager hears of.
struct Refusal {
    char const* name;
    char const* enableRoot;   // FileSystemAgent / sEnableRootSnap, null when unset
    int handlerErrno;         // ProcessDeviceConfig fault code, 0 for none
    bool rootCause;           // the root refusal is raised
    bool busyCause;           // the multiple-subclient refusal is raised
};

class RefusalTest : public BlockLevelTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, CreateFailsWithThePendingCause) {
    Refusal const& c = GetParam();
    DeclareApp(125, true);
    DeclareVolume("/", "/dev/rootdev", "ext4", "rw");
    InstallBlockLevelLibrary();
    if (c.enableRoot != nullptr) SetSetting("FileSystemAgent", "sEnableRootSnap", c.enableRoot);
    if (c.handlerErrno != 0) nuvsuite::AddFault("blocklevel", "ProcessDeviceConfig", c.handlerErrno, "refused", -1);
    JZJobCtrlClient control;
    ASSERT_TRUE(control.Init2(m_jobId, "local", 0, 0, m_jobToken.c_str(), nullptr));
    auto util = MakeUtil(&control);
    std::vector<std::string> args = Args();
    ASSERT_FALSE(util->initialize(args).IsError());
    AddAndPrepare(*util, "/");

    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_TRUE(JournalArgs("snapmgr", "createVolumeSnaps").empty());
    std::vector<std::string> texts;
    for (auto const& cause : nuvjobmgr::ListPendingCauses(m_jobId)) {
        EXPECT_EQ(0x0600003A, cause.code);
        EXPECT_EQ(6, cause.level);
        for (auto const& a : cause.args) texts.push_back(a);
    }
    std::vector<std::string> expected;
    if (c.rootCause) expected.push_back("Root volume is not supported for snap backups or block level backups");
    if (c.busyCause)
        expected.push_back("Blocklevel backup with Native engine for a volume configured as part of multiple "
                           "subclients is not supported");
    EXPECT_EQ(expected, texts);
    EXPECT_EQ(c.rootCause ? 0u : 1u, JournalArgs("blocklevel", "ProcessDeviceConfig").size());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, RefusalTest,
    ::testing::Values(Refusal{"RootRefused", nullptr, 0, true, false},
                      Refusal{"RootNeedsExactTrue", "TRUE", 0, true, false},
                      Refusal{"RootAllowedButVolumeBusy", "true", 16, false, true},
                      Refusal{"RootAllowedOtherHandlerFailure", "true", 5, false, false}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(BlockLevelTest, IndexConfigurationFile) {
    DeclareApp(125, true, true);
    InstallBlockLevelLibrary();
    auto util = MakeUtil();
    std::vector<std::string> args = Args();
    ASSERT_FALSE(util->initialize(args).IsError());
    ASSERT_TRUE(util->IsBlockLevelMetaDataEnabled());
    std::string const file = JobResultsDir() + "/IdxConfig_" + std::to_string(m_jobId) + ".xml";
    WriteFile(file, std::string(4096, 'x'));  // an earlier, longer file is replaced

    CFzError e = util->GenerateBlocklevelIdxConfig(JobResultsDir());
    ASSERT_FALSE(e.IsError()) << e.AsString();
    Nuv::FsBlockBackupConfig config;
    ASSERT_EQ(0, config.unserialize(ReadFile(file)));
    EXPECT_EQ("Version1", config.getstring(1, 1));
    EXPECT_EQ(m_jobId, config.getint64(2, 5));
    EXPECT_EQ(1, config.getint64(3, 6));
    EXPECT_EQ(1, config.getint64(4, 7));

    EXPECT_TRUE(util->GenerateBlocklevelIdxConfig("").IsError());
    EXPECT_TRUE(util->GenerateBlocklevelIdxConfig(m_root.base() + "/missing").IsError());
}

TEST_F(BlockLevelTest, IndexConfigurationFailedWriteLeavesNoHalfFile) {
    DeclareApp(125);
    auto util = MakeUtil();
    ASSERT_FALSE(MakeJobResultsDirectory(static_cast<uint64_t>(m_jobId), nullptr).IsError());
    std::string const file = JobResultsDir() + "/IdxConfig_" + std::to_string(m_jobId) + ".xml";
    std::string const earlier = "earlier configuration";
    WriteFile(file, earlier);
    ASSERT_EQ(earlier, ReadFile(file));
    // Each step of the whole-file write fails in turn, by the file fault table.
    for (char const* call : {"open", "write", "fsync", "rename"}) {
        SCOPED_TRACE(call);
        nuvsuite::AddFault("file", call, ENOSPC, "volume full", 1, "IdxConfig_");
        CFzError e = util->GenerateBlocklevelIdxConfig(JobResultsDir());
        EXPECT_TRUE(e.IsError());
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    }
    // The earlier file is untouched and no partial file is left beside it.
    EXPECT_EQ(earlier, ReadFile(file));
    std::vector<std::string> names;
    if (DIR* dir = opendir(JobResultsDir().c_str())) {
        while (dirent* e = readdir(dir))
            if (std::string(e->d_name).find("IdxConfig_") != std::string::npos) names.push_back(e->d_name);
        closedir(dir);
    }
    EXPECT_EQ(std::vector<std::string>{"IdxConfig_" + std::to_string(m_jobId) + ".xml"}, names);
}

}  // namespace
