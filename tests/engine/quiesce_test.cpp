// Freeze and thaw of XFS mount points around the snap, with the freeze tool
// replaced by /bin/true through the suite's substitution table: the journal
// shows each run with its exact argument vector.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

using namespace nuvenginetest;

namespace {

SMVolumeInfo Volume(std::string const& path, std::string const& options, int flags = 0, int appType = 22) {
    SMVolumeInfo v;
    v.setSourcePath(path);
    v.setMountOptions(options);
    v.setVolumeFlags(flags);
    v.setAppTypeId(appType);
    return v;
}

class QuiesceTest : public ::testing::Test {
protected:
    void SetUp() override { nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, "/bin/true"); }
    nuvtest::ScopedSuiteRoot m_root;
};

struct Decision {
    char const* name;
    char const* doQuiesce;  // FileSystemAgent / nDoQuiesce, null when unset
    int appType;
    int engine;
    std::vector<std::string> expected;  // freeze runs
};

class QuiesceDecisionTest : public QuiesceTest, public ::testing::WithParamInterface<Decision> {};

TEST_P(QuiesceDecisionTest, FreezesWhatTheRulesSay) {
    Decision const& c = GetParam();
    if (c.doQuiesce != nullptr) SetSetting("FileSystemAgent", "nDoQuiesce", c.doQuiesce);
    SMVolSnapInfo record;
    record.setSnapShotEngineId(c.engine);
    record.addVolume(Volume("/", "xfs:rw", 0, c.appType));
    record.addVolume(Volume("/b", "ext4:rw", 0, c.appType));
    record.addVolume(Volume("/c", "rw", 0, c.appType));
    record.addVolume(Volume("/d", "xfs:rw", 0x00100000, c.appType));
    record.addVolume(Volume("/e", "xfs:rw,context=system_u:object_r:db_t:s0", 0, c.appType));
    std::list<std::string> frozen;
    NuvDBQuiesceFS quiesce;
    ASSERT_EQ(0, quiesce.QuiesceFileSystem(record, frozen));
    EXPECT_EQ(c.expected, FreezeRuns());
    EXPECT_EQ(c.expected.size(), frozen.size());
    ASSERT_EQ(0, quiesce.UnQuiesceFileSystem(record, frozen));
    EXPECT_TRUE(frozen.empty());
    EXPECT_EQ(2 * c.expected.size(), FreezeRuns().size());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, QuiesceDecisionTest,
    ::testing::Values(Decision{"UnsetOracle", nullptr, 22, 2, {}},
                      Decision{"UnsetHana", nullptr, 135, 2, {"-f /e"}},
                      Decision{"UnsetHana136", nullptr, 136, 2, {"-f /e"}},
                      Decision{"OffHana", "0", 136, 2, {}},
                      Decision{"OnOracle", "1", 22, 2, {"-f /e"}},
                      Decision{"OnEngine1", "1", 22, 1, {}}),
    [](auto const& info) { return std::string(info.param.name); });

// The suite writes its catalogue, copies and log while the snap runs: when a
// volume to freeze shares its file system with any of them, nothing at all is
// frozen and the quiesce fails, naming the place.
struct SharedPlace {
    char const* name;
    char const* expected;  // in the failure's text
    // Makes the place share the file system of `volume` (test data, not the state root's).
    std::function<void(std::string const& root, std::string const& volume)> arrange;
};

class QuiesceSharedTest : public QuiesceTest, public ::testing::WithParamInterface<SharedPlace> {
protected:
    void TearDown() override { unsetenv("JZ_LOG_FILE"); }
};

TEST_P(QuiesceSharedTest, NothingIsFrozen) {
    SetSetting("FileSystemAgent", "nDoQuiesce", "1");
    std::string const volume = MakeDir(m_root.base() + "/volume");
    GetParam().arrange(m_root.path(), volume);

    SMVolSnapInfo record;
    record.addVolume(Volume("/not/on/the/suite", "xfs:rw"));  // frozen first, were the second not refused
    record.addVolume(Volume(volume, "xfs:rw"));
    std::list<std::string> frozen;
    NuvDBQuiesceFS quiesce;
    EXPECT_EQ(-1, quiesce.QuiesceFileSystem(record, frozen));
    EXPECT_TRUE(FreezeRuns().empty());
    EXPECT_TRUE(JournalArgs("freeze", "nuvfreeze::Freeze").empty());
    EXPECT_TRUE(frozen.empty());
    EXPECT_TRUE(quiesce.lastFailure().refused);
    EXPECT_EQ(EDEADLK, quiesce.lastFailure().code);
    EXPECT_NE(std::string::npos, quiesce.lastFailure().text.find(GetParam().expected)) << quiesce.lastFailure().text;
}

INSTANTIATE_TEST_SUITE_P(
    Places, QuiesceSharedTest,
    ::testing::Values(
        SharedPlace{"StateRootOnTheVolume", "the state root",
                    [](std::string const& root, std::string const& volume) {
                        // The volume is a folder of the state root itself.
                        std::string const inRoot = nuvsuite::StatePath("temp") + "/db";
                        ASSERT_EQ(0, mkdir(inRoot.c_str(), 0755));
                        ASSERT_EQ(0, rmdir(volume.c_str()));
                        ASSERT_EQ(0, symlink(inRoot.c_str(), volume.c_str()));
                    }},
        SharedPlace{"LinkedSnapshotFolder", "the suite's folder snapshots/",
                    [](std::string const& root, std::string const& volume) {
                        std::string const target = MakeDir(volume + "/../copies");
                        (void)rmdir((root + "/snapshots").c_str());
                        ASSERT_EQ(0, symlink(target.c_str(), (root + "/snapshots").c_str()));
                    }},
        SharedPlace{"LogFileBesideTheData", "the log file",
                    [](std::string const& root, std::string const& volume) {
                        setenv("JZ_LOG_FILE", (volume + "/../agent.log").c_str(), 1);
                    }}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(QuiesceTest, SecondFreezeFailingStopsTheWalk) {
    SetSetting("FileSystemAgent", "nDoQuiesce", "1");
    nuvsuite::AddFault("process", "JzProcess::system", 1, "freeze refused", -1, "-f\x1f/two");
    SMVolSnapInfo record;
    for (char const* p : {"/one", "/two", "/three"}) record.addVolume(Volume(p, "xfs:rw"));
    std::list<std::string> frozen;
    NuvDBQuiesceFS quiesce;
    EXPECT_EQ(-1, quiesce.QuiesceFileSystem(record, frozen));
    EXPECT_EQ(std::list<std::string>{"/one"}, frozen);
    EXPECT_EQ((std::vector<std::string>{"-f /one", "-f /two"}), FreezeRuns());
}

TEST_F(QuiesceTest, FailedThawKeepsOnlyThatMountPoint) {
    nuvsuite::AddFault("process", "JzProcess::system", 1, "thaw refused", -1, "-u\x1f/one");
    SMVolSnapInfo record;
    std::list<std::string> frozen{"/one", "/two"};
    NuvDBQuiesceFS quiesce;
    EXPECT_EQ(-1, quiesce.UnQuiesceFileSystem(record, frozen));
    EXPECT_EQ(std::list<std::string>{"/one"}, frozen);
    EXPECT_EQ((std::vector<std::string>{"-u /one", "-u /two"}), FreezeRuns());
}

// The create's freeze, snap and thaw on declared XFS volumes (plain directories).
class CreateFreezeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, "/bin/true");
        DeclareApp(135);
    }

    std::unique_ptr<NuvSnapUtil> Prepared(std::vector<std::string> const& volumes) {
        for (auto const& v : volumes) {
            MakeDir(v);
            DeclareVolume(v, "/dev/fake", "xfs", "rw");
        }
        return PrepareUtil(volumes, SPAWN_IN_PROCESS);
    }

    static size_t FreezeCount() {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT id FROM freezes", {}, &rows).IsError());
        return rows.size();
    }

    static bool WaitUntil(std::function<bool()> const& condition) {
        for (int i = 0; i < 3000; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // freeze / snap / thaw in journal order.
    static std::vector<std::string> Sequence() {
        std::vector<std::string> seq;
        for (auto const& e : nuvsuite::ReadJournal()) {
            if (e.service == "snapmgr" && e.call == "JZSnapClientAPI::createVolumeSnaps") seq.push_back("snap");
            if (e.service == "process" && e.call == "JzProcess::system") {
                auto argv = SplitArgv(e.args);
                if (argv.size() == 3 && argv[0] == NuvDBQuiesceFS::kFreezeTool)
                    seq.push_back((argv[1] == "-f" ? "freeze " : "thaw ") + argv[2].substr(argv[2].rfind('/') + 1));
            }
        }
        return seq;
    }
};

TEST_F(CreateFreezeTest, ThawFollowsTheSnapWhateverItsResult) {
    auto util = Prepared({m_root.base() + "/v1"});
    EXPECT_EQ(0, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_EQ((std::vector<std::string>{"freeze v1", "snap", "thaw v1"}), Sequence());
}

TEST_F(CreateFreezeTest, FailedSnapStillThaws) {
    auto util = Prepared({m_root.base() + "/v1", m_root.base() + "/v2"});
    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::createVolumeSnaps", 5, "copy failed", -1);
    CallbackLog log;
    EXPECT_EQ(-1, util->createSnapShot(&CallbackLog::Record, &log, false, nullptr));
    EXPECT_EQ((std::vector<std::string>{"freeze v1", "freeze v2", "snap", "thaw v1", "thaw v2"}), Sequence());
    EXPECT_EQ(1u, log.calls.size());
    EXPECT_TRUE(util->isPrepared());
}

TEST_F(CreateFreezeTest, FailedFreezeThawsTheOnesFrozenAndSnapsNothing) {
    auto util = Prepared({m_root.base() + "/v1", m_root.base() + "/v2"});
    nuvsuite::AddFault("process", "JzProcess::system", 1, "freeze refused", -1, "-f\x1f" + m_root.base() + "/v2");
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_EQ((std::vector<std::string>{"freeze v1", "freeze v2", "thaw v1"}), Sequence());
}

TEST_F(CreateFreezeTest, FailedThawFailsTheCreateAndClearsPrepared) {
    auto util = Prepared({m_root.base() + "/v1"});
    nuvsuite::AddFault("process", "JzProcess::system", 1, "thaw refused", -1, "-u\x1f");
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_FALSE(util->isPrepared());
    // The freeze's guard goes on trying the thaw after the create's failed,
    // and keeps the freeze's record until the volume is seen thawed.
    std::vector<std::string> seq = Sequence();
    ASSERT_GE(seq.size(), 4u);
    EXPECT_EQ((std::vector<std::string>{"freeze v1", "snap", "thaw v1", "thaw v1"}),
              std::vector<std::string>(seq.begin(), seq.begin() + 4));
    EXPECT_EQ(seq.size() - 2, static_cast<size_t>(std::count(seq.begin(), seq.end(), "thaw v1")));
    EXPECT_EQ(1u, FreezeCount());
    nuvsuite::ClearFaults();
    EXPECT_TRUE(WaitUntil([this] { return FreezeCount() == 0; }));
}

TEST_F(CreateFreezeTest, MountPointIsOneArgumentWhateverItHolds) {
    // A shell would create "pwned" in its working directory.
    std::string const odd = m_root.base() + "/vol a;b $(touch pwned)";
    auto util = Prepared({odd});
    EXPECT_EQ(0, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_EQ((std::vector<std::string>{"-f " + odd, "-u " + odd}), FreezeRuns());
    EXPECT_FALSE(Exists("pwned"));
    EXPECT_FALSE(Exists(m_root.base() + "/pwned"));
}

}  // namespace
