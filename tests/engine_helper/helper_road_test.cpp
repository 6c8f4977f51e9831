// The helper-process road: prepare, create and delete through the helper
// program "NuvSnapUtil" give the snapshot of the in-process road; every way
// the exchange fails gives the executor's result and log text and leaves no
// helper behind. These tests hold the /tmp hook-file lock (see CMakeLists).
#include "support/engine_fixture.h"

#include "nuvdbsnap/engine/hold_file.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <future>
#include <thread>

using namespace nuvenginetest;

namespace {

class HelperRoad : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareApp(135);
        InstallHelper();
        m_log = m_root.path() + "/logs/nuvdbsnap.log";
    }

    static void InstallHelper() {
        std::string const link = nuvsuite::StatePath("basehome") + "/NuvSnapUtil";
        ASSERT_EQ(0, symlink((std::string(NUV_OUT_DIR) + "/bin/NuvSnapUtil").c_str(), link.c_str()));
    }

    // A prepared utility over `volume` on the road of `mode`.
    std::unique_ptr<NuvSnapUtil> Prepared(std::string const& volume, SpawnProcess mode, int* prepared = nullptr) {
        DeclareVolume(volume, "/dev/fake-" + std::to_string(volume.size()), "ext4", "rw");
        auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, true, nullptr, nullptr, mode);
        EXPECT_EQ(1, util->addMountPoint(volume.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        EXPECT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
        int const rc = util->prepareSnapShot(nullptr, nullptr, false);
        if (prepared) *prepared = rc;
        else EXPECT_EQ(0, rc);
        return util;
    }

    // The catalogue row of a snapshot without its ids, paths and times.
    static std::string SnapshotRow(int smSnapId) {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                         .Query("SELECT job_id, brannox_id, app_id, engine_id, state, reflink FROM sm_snapshots"
                                " WHERE id = ?",
                                {int64_t(smSnapId)}, &rows)
                         .IsError());
        std::string text;
        for (auto const& row : rows)
            for (auto const& v : row) text += nuvsuite::AsText(v) + "|";
        return text;
    }

    // Processes of the helper program still running.
    static int HelpersRunning() {
        int count = 0;
        for (auto const& entry : std::filesystem::directory_iterator("/proc")) {
            std::string const comm = ReadFile(entry.path().string() + "/comm");
            std::string const root = ReadFile(entry.path().string() + "/environ");
            if (comm == "NuvSnapUtil\n" && root.find(nuvsuite::StateRootPath()) != std::string::npos) ++count;
        }
        return count;
    }

    std::string Log() const { return ReadFile(m_log); }

    // A record of the job with one declared volume (the data directory).
    SMVolSnapInfo Record() {
        DeclareVolume(m_data, "/dev/fake", "ext4", "rw");
        SMVolSnapInfo record;
        SMVolumeInfo volume;
        volume.setSourcePath(m_data);
        volume.setJobId(static_cast<int>(m_jobId));
        record.addVolume(volume);
        record.setJobId(static_cast<int>(m_jobId));
        return record;
    }

    std::string m_log;
};

TEST_F(HelperRoad, PrepareCreateAndDeleteGiveTheInProcessSnapshot) {
    std::string const other = MakeDir(m_root.base() + "/data2");
    WriteFile(other + "/table.dat", ReadFile(m_data + "/table.dat"));

    SMVolSnapInfo inProcess, helper;
    auto local = Prepared(m_data, SPAWN_IN_PROCESS);
    ASSERT_EQ(0, local->createSnapShot(nullptr, nullptr, false, &inProcess));
    auto remote = Prepared(other, SPAWN_HELPER_PROCESS);
    ASSERT_EQ(0, remote->createSnapShot(nullptr, nullptr, false, &helper));

    ASSERT_EQ(1u, inProcess.getNumSnaps());
    ASSERT_EQ(1u, helper.getNumSnaps());
    EXPECT_EQ(ReadFile(inProcess.snapListBegin()->getSnapDevice() + "/table.dat"),
              ReadFile(helper.snapListBegin()->getSnapDevice() + "/table.dat"));
    EXPECT_EQ(SnapshotRow(inProcess.snapListBegin()->getSMSnapId()), SnapshotRow(helper.snapListBegin()->getSMSnapId()));
    EXPECT_EQ(inProcess.getNumVolumes(), helper.getNumVolumes());

    // The helper ran the snapshot manager's calls in its own processes, one per operation.
    std::set<int> helperPids;
    for (auto const& e : nuvsuite::ReadJournal("snapmgr"))
        if (e.call == "prepareVolumeSnaps" || e.call == "createVolumeSnaps")
            if (e.pid != getpid()) helperPids.insert(e.pid);
    EXPECT_EQ(2u, helperPids.size());
    EXPECT_EQ(2u, JournalArgs("NuvSnapUtil", "prepare").size() + JournalArgs("NuvSnapUtil", "snap").size());

    // Delete on both roads: the copies go, the rows agree, the records no longer name them.
    std::string const localCopy = inProcess.snapListBegin()->getSnapDevice();
    std::string const helperCopy = helper.snapListBegin()->getSnapDevice();
    int const localId = inProcess.snapListBegin()->getSMSnapId();
    int const helperId = helper.snapListBegin()->getSMSnapId();
    DbSnapUtil localDelete(1, 0, false, "", nullptr, SPAWN_IN_PROCESS);
    DbSnapUtil helperDelete(1, 0, false, "", nullptr, SPAWN_HELPER_PROCESS);
    EXPECT_EQ(0, localDelete.DeleteSnap(inProcess, nullptr, nullptr, false));
    EXPECT_EQ(0, helperDelete.DeleteSnap(helper, nullptr, nullptr, false));
    EXPECT_FALSE(Exists(localCopy));
    EXPECT_FALSE(Exists(helperCopy));
    EXPECT_EQ(SnapshotRow(localId), SnapshotRow(helperId));
    EXPECT_EQ(inProcess.getNumSnaps(), helper.getNumSnaps());
    EXPECT_EQ(1u, JournalArgs("NuvSnapUtil", "delete").size());
}

struct Fault {
    char const* service;
    char const* call;
    int code;
    char const* text;
};

// One exchange that fails: its result and log text.
struct ExchangeFailure {
    char const* name;
    std::vector<Fault> faults;
    bool installHelper;
    int result;
    char const* logText;
};

class HelperFailure : public HelperRoad, public ::testing::WithParamInterface<ExchangeFailure> {};

TEST_P(HelperFailure, GivesItsResultAndLeavesNoHelper) {
    ExchangeFailure const& c = GetParam();
    if (!c.installHelper) unlink((nuvsuite::StatePath("basehome") + "/NuvSnapUtil").c_str());
    SMVolSnapInfo record = Record();
    for (Fault const& f : c.faults) nuvsuite::AddFault(f.service, f.call, f.code, f.text, -1);

    {
        DbSnapUtil executor(1, 0, false, "", nullptr, SPAWN_HELPER_PROCESS);
        EXPECT_EQ(c.result, executor.Snap(record, nullptr, nullptr, false, 0));
        EXPECT_NE(Log().find(c.logText), std::string::npos) << Log();
    }
    EXPECT_EQ(0, HelpersRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, HelperFailure,
    ::testing::Values(
        ExchangeFailure{"WrongReplyType", {{"NuvSnapUtil", "snap", 0, "wrong reply type"}}, true, -1,
                        "Unexpected message type received = 536872184"},
        ExchangeFailure{"ResultWithText", {{"NuvSnapUtil", "snap", 5, "array offline"}}, true, 5,
                        "Create SnapShot failed with an error array offline"},
        ExchangeFailure{"MissingHelper", {}, false, -1, "dataAgentAttach() failed: m_jzsMux.getLastError: Error="},
        ExchangeFailure{"DiesMidExchange", {{"NuvSnapUtil", "snap", 9, "exit"}}, true, -1, "receiveMessage failed"},
        ExchangeFailure{"NeverAnswers", {{"NuvSnapUtil", "snap", 0, "no answer"}, {"network", "timeout", 1, ""}}, true,
                        -1, "receiveMessage failed"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(HelperRoad, OneHelperPerExecutorReleasedWithIt) {
    SMVolSnapInfo record = Record();
    {
        DbSnapUtil executor(1, 0, false, "", nullptr, SPAWN_HELPER_PROCESS);
        EXPECT_EQ(0, executor.PrepareSnap(record, nullptr, nullptr, false));
        EXPECT_EQ(0, executor.DeleteSnap(record, nullptr, nullptr, false));
        EXPECT_EQ(1, HelpersRunning());
    }
    EXPECT_EQ(1u, JournalArgs("network", "Attach_RemoteCommand").size());
    EXPECT_EQ(0, HelpersRunning());
}

// The job token travels to the helper over the channel; the attach lines of
// the log give its length in its place.
TEST_F(HelperRoad, AttachLogGivesTheTokenLengthNotTheToken) {
    SMVolSnapInfo record = Record();
    JZJobCtrlClient control;
    ASSERT_TRUE(control.Init2(m_jobId, "local", 0, 0, m_jobToken.c_str(), nullptr));
    ASSERT_GE(m_jobToken.size(), 8u);
    {
        DbSnapUtil executor(1, 0, false, "", &control, SPAWN_HELPER_PROCESS);
        EXPECT_EQ(0, executor.PrepareSnap(record, nullptr, nullptr, false));
    }
    std::string const log = Log();
    std::string const masked = " -j " + std::to_string(m_jobId) + " -jt <" + std::to_string(m_jobToken.size()) +
                               " characters> -cn ";
    EXPECT_EQ(std::string::npos, log.find(m_jobToken)) << log;
    for (char const* line : {"dataAgentAttach-> remoteExecutableName=NuvSnapUtil commandLineArgs=",
                             " after dataAgentAttach-> remoteExecutableName=NuvSnapUtil commandLineArgs="}) {
        size_t const at = log.find(std::string(line) + masked);
        EXPECT_NE(std::string::npos, at) << line << "\n" << log;
    }
    // The exchange itself went through the helper.
    EXPECT_EQ(1u, JournalArgs("NuvSnapUtil", "prepare").size());
}

TEST_F(HelperRoad, HoldFileHoldsTheExchangeUntilItGoes) {
    SMVolSnapInfo record = Record();
    WriteFile(nuvengine::kSnapUtilHoldFile, "");
    struct Remove {
        ~Remove() { unlink(nuvengine::kSnapUtilHoldFile); }
    } removeOnEveryRoad;
    DbSnapUtil executor(1, 0, false, "", nullptr, SPAWN_HELPER_PROCESS);
    auto exchange = std::async(std::launch::async, [&] { return executor.PrepareSnap(record, nullptr, nullptr, false); });
    EXPECT_EQ(std::future_status::timeout, exchange.wait_for(std::chrono::milliseconds(2500)));
    unlink(nuvengine::kSnapUtilHoldFile);
    ASSERT_EQ(std::future_status::ready, exchange.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(0, exchange.get());
}

TEST_F(HelperRoad, HoldFileOfAnotherKindIsIgnored) {
    SMVolSnapInfo record = Record();
    ASSERT_EQ(0, symlink("/etc/hostname", nuvengine::kSnapUtilHoldFile));
    struct Remove {
        ~Remove() { unlink(nuvengine::kSnapUtilHoldFile); }
    } removeOnEveryRoad;
    DbSnapUtil executor(1, 0, false, "", nullptr, SPAWN_HELPER_PROCESS);
    EXPECT_EQ(0, executor.PrepareSnap(record, nullptr, nullptr, false));
    EXPECT_NE(Log().find("Ignoring the hold file /tmp/NuvSnapUtil.debug"), std::string::npos);
}

}  // namespace
