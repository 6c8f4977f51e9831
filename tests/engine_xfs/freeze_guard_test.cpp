// No freeze is left behind on a real XFS loop volume: a create killed while
// the volume is frozen, a freeze that passes its time limit, a suite folder
// linked into the volume, parallel creates of one volume, and a freeze left by
// dead processes that jzsuite thaws.
#include "tests/engine_xfs/xfs_fixture.h"

#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <csignal>
#include <filesystem>
#include <sys/stat.h>

using namespace nuvenginetest;

namespace {

struct FreezeRow {
    int pid = 0;
    int guardPid = 0;
};

std::vector<FreezeRow> FreezeRows() {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(
        nuvsuite::Catalogue::Instance().Query("SELECT pid, guard_pid FROM freezes ORDER BY id", {}, &rows).IsError());
    std::vector<FreezeRow> out;
    for (auto const& r : rows)
        out.push_back(FreezeRow{static_cast<int>(nuvsuite::AsInt(r[0])), static_cast<int>(nuvsuite::AsInt(r[1]))});
    return out;
}

bool ProcessGone(int pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

std::string LogText(std::string const& root) { return ReadFile(root + "/logs/nuvdbsnap.log"); }

struct Killing {
    char const* name;
    bool killGuardToo;  // then nothing thaws until the next create
};

class XfsKilledCreateTest : public XfsFreezeTest, public ::testing::WithParamInterface<Killing> {};

TEST_P(XfsKilledCreateTest, VolumeIsThawedAndTheNextCreateSucceeds) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    std::string const mnt = m_volume.mountPoint();
    HoldTheSnap();
    int const pid = nuvtest::StartChild([&]() -> int {
        auto util = Prepared(mnt, SPAWN_SNAP_HANDLER);
        return util->createSnapShot(nullptr, nullptr, false, nullptr) == 0 ? 0 : 1;
    });
    if (!WaitUntilHeld()) kill(pid, SIGKILL);
    ASSERT_TRUE(Exists(m_hold + "/held"));
    EXPECT_TRUE(IsFrozen(mnt));
    std::vector<FreezeRow> rows = FreezeRows();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(pid, rows[0].pid);
    ASSERT_GT(rows[0].guardPid, 0);

    if (GetParam().killGuardToo) kill(rows[0].guardPid, SIGKILL);
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(pid));
    auto const killed = std::chrono::steady_clock::now();
    if (!GetParam().killGuardToo) {
        ASSERT_TRUE(WaitFor([&] { return !IsFrozen(mnt); }));
        EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
        EXPECT_TRUE(WaitFor([] { return FreezeRows().empty(); }));
    } else {
        ASSERT_TRUE(WaitFor([&] { return ProcessGone(rows[0].guardPid); }));
        EXPECT_TRUE(IsFrozen(mnt));
    }

    // The next create sweeps what is left and succeeds.
    auto util = Prepared(mnt, SPAWN_IN_PROCESS);
    CallbackLog log;
    EXPECT_EQ(0, util->createSnapShot(&CallbackLog::Record, &log, false, nullptr));
    EXPECT_TRUE(log.calls.empty());
    EXPECT_FALSE(IsFrozen(mnt));
    EXPECT_TRUE(FreezeRows().empty());
    if (GetParam().killGuardToo) {
        EXPECT_NE(std::string::npos, LogText(m_root.path()).find("thawed [" + mnt + "], left frozen by process " +
                                                                   std::to_string(pid) + ", which is gone"));
    }
}

INSTANTIATE_TEST_SUITE_P(Kills, XfsKilledCreateTest,
                         ::testing::Values(Killing{"Creator", false}, Killing{"CreatorAndGuard", true}),
                         [](auto const& info) { return std::string(info.param.name); });

// A freeze that lasts longer than the time limit is thawed by its guard; the
// create then fails with the thaw's texts and the callback says why.
TEST_F(XfsFreezeTest, FreezeTimeLimitThawsAndFailsTheCreate) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    SetSetting("FileSystemAgent", "nFreezeTimeLimit", "1");
    std::string const mnt = m_volume.mountPoint();
    auto util = Prepared(mnt, SPAWN_SNAP_HANDLER);
    HoldTheSnap();
    CallbackLog log;
    int result = -100;
    std::thread create([&] { result = util->createSnapShot(&CallbackLog::Record, &log, false, nullptr); });
    bool const held = WaitUntilHeld();
    bool const thawed = held && WaitFor([&] { return !IsFrozen(mnt); });
    Release();
    create.join();
    ASSERT_TRUE(held);
    EXPECT_TRUE(thawed);
    EXPECT_EQ(-1, result);
    EXPECT_FALSE(util->isPrepared());
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ(mnt, log.calls[0].tag);
    EXPECT_EQ(ETIMEDOUT, log.calls[0].code);
    EXPECT_NE(std::string::npos, log.calls[0].text.find("time limit of 1 seconds")) << log.calls[0].text;
    std::string const text = LogText(m_root.path());
    EXPECT_NE(std::string::npos,
              text.find("UnQuiesceFileSystem failed. Please manually unqueisce XFS FS before restarting the job."));
    EXPECT_NE(std::string::npos, text.find("Failed to un-quiesce xfs filesystem mounted on [" + mnt + "]"));
    EXPECT_TRUE(FreezeRows().empty());
}

// A folder of the suite is a link into the volume to freeze: the create fails
// before anything is frozen. The snapshot folder is refused at the prepare (the
// copy would go into the volume itself); any other folder at the freeze, with
// the callback and a pending cause.
struct LinkedFolder {
    char const* name;
    bool preparedFirst;
};

class XfsLinkedFolderTest : public XfsFreezeTest, public ::testing::WithParamInterface<LinkedFolder> {};

TEST_P(XfsLinkedFolderTest, RefusedBeforeAnythingIsFrozen) {
    std::string const mnt = m_volume.mountPoint();
    std::string const target = MakeDir(mnt + "/suite-" + std::string(GetParam().name));
    std::string const folder = m_root.path() + "/" + GetParam().name;
    std::filesystem::remove_all(folder);
    ASSERT_EQ(0, symlink(target.c_str(), folder.c_str()));
    auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    ASSERT_EQ(1, util->addMountPoint(mnt.c_str(), nullptr));
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
    EXPECT_EQ(GetParam().preparedFirst ? 0 : -1, util->prepareSnapShot(nullptr, nullptr, false));
    CallbackLog log;
    EXPECT_EQ(-1, util->createSnapShot(&CallbackLog::Record, &log, false, nullptr));
    EXPECT_TRUE(FreezeRuns().empty());
    EXPECT_TRUE(JournalArgs("freeze", "nuvfreeze::Freeze").empty());
    EXPECT_FALSE(IsFrozen(mnt));
    if (!GetParam().preparedFirst) return;
    EXPECT_TRUE(JournalArgs("snapmgr", "JZSnapClientAPI::createVolumeSnaps").empty());
    EXPECT_TRUE(util->isPrepared());
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ(mnt, log.calls[0].tag);
    EXPECT_EQ(EDEADLK, log.calls[0].code);
    EXPECT_NE(std::string::npos, log.calls[0].text.find(std::string("the suite's folder ") + GetParam().name + "/"))
        << log.calls[0].text;
    auto causes = nuvjobmgr::ListPendingCauses(m_jobId);
    ASSERT_EQ(1u, causes.size());
    ASSERT_EQ(1u, causes[0].args.size());
    EXPECT_EQ(log.calls[0].text, causes[0].args[0]);
}

INSTANTIATE_TEST_SUITE_P(Folders, XfsLinkedFolderTest,
                         ::testing::Values(LinkedFolder{"snapshots", false}, LinkedFolder{"logs", true},
                                           LinkedFolder{"temp", true}),
                         [](auto const& info) { return std::string(info.param.name); });

// Creates of one volume in several processes at once wait their turn and all succeed.
TEST_F(XfsFreezeTest, ParallelCreatesOfOneVolumeAllSucceed) {
    std::string const mnt = m_volume.mountPoint();
    for (int i = 0; i < 200; ++i) WriteFile(mnt + "/file" + std::to_string(i), std::string(4096, 'a' + i % 26));
    constexpr int kCreates = 6;
    nuvtest::PipeSignal ready, go;
    std::vector<int> pids;
    for (int i = 0; i < kCreates; ++i) {
        pids.push_back(nuvtest::StartChild([&]() -> int {
            auto util = Prepared(mnt, SPAWN_IN_PROCESS);
            ready.Send();
            if (!go.Wait()) return 3;
            CallbackLog log;
            int const rc = util->createSnapShot(&CallbackLog::Record, &log, false, nullptr);
            return rc == 0 && log.calls.empty() ? 0 : 1;
        }));
    }
    for (int i = 0; i < kCreates; ++i) ASSERT_TRUE(ready.Wait());
    for (int i = 0; i < kCreates; ++i) go.Send();
    for (int pid : pids) EXPECT_EQ(0, nuvtest::WaitChild(pid));
    EXPECT_FALSE(IsFrozen(mnt));
    EXPECT_TRUE(FreezeRows().empty());
    std::vector<std::string> runs = FreezeRuns();
    EXPECT_EQ(2u * kCreates, runs.size());
    // One freeze at a time: each freeze is followed by its thaw.
    for (size_t i = 0; i + 1 < runs.size(); i += 2) {
        EXPECT_EQ("-f " + mnt, runs[i]);
        EXPECT_EQ("-u " + mnt, runs[i + 1]);
    }
}

// The real freeze tool behind a wrapper that kills as the tool starts: the
// process that ran it ("creator"), the tool itself while its program freezes
// ("tool"), or both. Once the guard is done the volume is thawed and no
// record is left, round after round.
struct ToolKill {
    char const* name;
    char const* hook;
};

class XfsToolKillTest : public XfsFreezeTest, public ::testing::WithParamInterface<ToolKill> {};

TEST_P(XfsToolKillTest, VolumeIsThawedOnceTheGuardIsDone) {
    std::string const mnt = m_volume.mountPoint();
    std::string const hook = m_root.base() + "/hook";
    std::string const tool = m_root.base() + "/freeze_tool";
    WriteFile(tool, "#!/bin/bash\n"
                    "hook=$(cat '" + hook + "' 2>/dev/null)\n"
                    "if [ \"$1\" = -f ]; then\n"
                    "  pause=$(printf '0.%03d' $((RANDOM % 4)))\n"
                    "  case $hook in\n"
                    "    creator) ( sleep $pause; kill -9 $PPID ) & ;;\n"
                    "    tool) ( sleep $pause; kill -9 $$ ) & ;;\n"
                    "    both) ( sleep $pause; kill -9 $$ $PPID ) & ;;\n"
                    "  esac\n"
                    "fi\n"
                    "exec " + std::string(NuvDBQuiesceFS::kFreezeTool) + " \"$@\"\n");
    ASSERT_EQ(0, chmod(tool.c_str(), 0755));
    nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, tool);
    WriteFile(hook, GetParam().hook);
    for (int round = 0; round < 10; ++round) {
        int const pid = nuvtest::StartChild([&]() -> int {
            nuvfreeze::Failure failure;
            if (!nuvfreeze::Freeze(mnt, &failure)) return 1;
            pause();
            return 0;
        });
        int const status = nuvtest::WaitChild(pid);
        EXPECT_TRUE(status == 128 + SIGKILL || status == 1) << "round " << round << ": " << status;
        ASSERT_TRUE(WaitFor([] { return FreezeRows().empty(); })) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(IsFrozen(mnt)) << "round " << round;
        (void)ThawIfFrozen(mnt);
    }
}

INSTANTIATE_TEST_SUITE_P(Kills, XfsToolKillTest,
                         ::testing::Values(ToolKill{"Creator", "creator"}, ToolKill{"Tool", "tool"},
                                           ToolKill{"ToolAndCreator", "both"}),
                         [](auto const& info) { return std::string(info.param.name); });

// A thaw that fails for the create and for the guard's first try: the record
// stays until the guard sees the volume thawed.
TEST_F(XfsFreezeTest, ThawThatFailsTwiceIsTriedUntilTheVolumeIsThawed) {
    std::string const mnt = m_volume.mountPoint();
    nuvfreeze::Failure failure;
    ASSERT_TRUE(nuvfreeze::Freeze(mnt, &failure)) << failure.text;
    nuvsuite::AddFault("process", "JzProcess::system", 1, "cannot unfreeze", 2, "-u");
    EXPECT_FALSE(nuvfreeze::Thaw(mnt, &failure));
    ASSERT_TRUE(WaitFor([] { return FreezeRows().empty(); }));
    EXPECT_FALSE(IsFrozen(mnt));
    EXPECT_EQ((std::vector<std::string>{"-f " + mnt, "-u " + mnt, "-u " + mnt, "-u " + mnt}), FreezeRuns());
}

// jzsuite thaws a freeze whose process and guard are gone, and says so.
TEST_F(XfsFreezeTest, JzsuiteThawsAFreezeLeftByDeadProcesses) {
    std::string const mnt = m_volume.mountPoint();
    int const dead = nuvtest::StartChild([] { return 0; });
    ASSERT_EQ(0, nuvtest::WaitChild(dead));
    int fd = open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ioctl(fd, FIFREEZE, 0));
    close(fd);
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("INSERT INTO freezes(mount_point, device, pid, state) VALUES(?, 'loop', ?, 'frozen')",
                           {mnt, int64_t(dead)})
                     .IsError());
    nuvtest::ProgramResult r = nuvtest::RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite", {"list", "freeze"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("jzsuite: thawed [" + mnt + "], left frozen by process " + std::to_string(dead) + ", which is gone\n",
              r.err);
    EXPECT_FALSE(IsFrozen(mnt));
    EXPECT_TRUE(FreezeRows().empty());
}

}  // namespace
