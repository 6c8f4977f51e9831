// The snap-handler road: the plug-in is found by name through the library
// search path, once per process. Each test re-runs itself in a process whose
// LD_LIBRARY_PATH names the plug-in folder it needs.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <filesystem>

using namespace nuvenginetest;

namespace {

class PluginRoad : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareApp(135);
    }

    // A prepared utility on the snap-handler road over the given volume.
    std::unique_ptr<NuvSnapUtil> Prepared(std::string const& volume, char const* fsType) {
        DeclareVolume(volume, "/dev/fake", fsType, "rw");
        return PrepareUtil({volume}, SPAWN_SNAP_HANDLER, true);
    }
};

class WithPlugin : public PluginRoad {};
class WithPluginWithoutEntry : public PluginRoad {};

TEST_F(WithPlugin, SnapsThroughThePlugin) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    auto util = Prepared(m_data, "ext4");
    CallbackLog log;
    SMVolSnapInfo out;
    ASSERT_EQ(0, util->createSnapShot(&CallbackLog::Record, &log, false, &out));
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(1u, JournalArgs("snaphandler", "JZSnapHandler_createSnapShotWithStatus").size());
    EXPECT_EQ(1u, JournalArgs("snapmgr", "JZSnapClientAPI::createVolumeSnaps").size());
    ASSERT_EQ(1u, out.getNumSnaps());
    EXPECT_EQ("rows of the first table\n", ReadFile(out.snapListBegin()->getSnapDevice() + "/table.dat"));
}

TEST_F(WithPlugin, PluginFailureReachesTheCallback) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    auto util = Prepared(m_data, "ext4");
    nuvsuite::AddFault("snaphandler", "JZSnapHandler_createSnapShotWithStatus", 42, "array offline", -1);
    CallbackLog log;
    EXPECT_EQ(-1, util->createSnapShot(&CallbackLog::Record, &log, false, nullptr));
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ(-1, log.calls[0].type);
    EXPECT_EQ("<Multi-Snap Mount>", log.calls[0].tag);
    EXPECT_EQ(42, log.calls[0].code);
    EXPECT_EQ("array offline", log.calls[0].text);
    EXPECT_TRUE(util->isPrepared());
}

TEST_F(WithPlugin, ExceptionLeavesOnlyAfterTheThaw) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, "/bin/true");
    std::string const volume = MakeDir(m_root.base() + "/xfsvol");
    auto util = Prepared(volume, "xfs");
    nuvsuite::AddFault("snaphandler", "throw", 7, "replication engine lost", -1);
    try {
        (void)util->createSnapShot(nullptr, nullptr, false, nullptr);
        ADD_FAILURE() << "the exception did not leave the create";
    } catch (JzException const& e) {
        EXPECT_STREQ("replication engine lost", e.getMessage());
    }
    EXPECT_EQ((std::vector<std::string>{"-f " + volume, "-u " + volume}), FreezeRuns());
    auto journal = nuvsuite::ReadJournal();
    int64_t pluginCall = 0, thaw = 0;
    for (auto const& e : journal) {
        if (e.service == "snaphandler") pluginCall = e.id;
        if (e.service == "process" && e.args.find("-u\x1f") != std::string::npos) thaw = e.id;
    }
    EXPECT_LT(pluginCall, thaw);
}

TEST_F(WithPluginWithoutEntry, CallbackOnceWithTheSnapTag) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler-noentry"));
    auto util = Prepared(m_data, "ext4");
    CallbackLog log;
    EXPECT_EQ(-1, util->createSnapShot(&CallbackLog::Record, &log, false, nullptr));
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_EQ(-1, log.calls[0].type);
    EXPECT_EQ("<Multi-Snap Mount>", log.calls[0].tag);
    // A null callback: the same failure, no call.
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_EQ(1u, log.calls.size());
    EXPECT_TRUE(JournalArgs("snapmgr", "JZSnapClientAPI::createVolumeSnaps").empty());
}

TEST(WithoutPlugin, FailedOpenIsFinalForTheProcess) {
    char const* inChild = std::getenv("NUV_TEST_LIBRARY_PATH");
    if (inChild == nullptr) {
        char tmpl[] = "/tmp/nuv-nosnaphandler-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        EXPECT_EQ(0, RunSelfWithLibraryPath(tmpl)) << "in the child run";
        std::error_code ec;
        std::filesystem::remove_all(tmpl, ec);
        return;
    }
    std::string const dir = inChild;
    {
        SnapHandlerInterface handler(false);
        EXPECT_EQ(-1, handler.loadSnapHandlerLibrary());
        EXPECT_EQ(nullptr, handler.getFunction(JZSNAPHANDLER_ENTRY_NAME));
    }
    // The plug-in appearing later changes nothing in this process.
    std::filesystem::copy_file(PluginDir("snaphandler") + "/libJZSnapHandler.so", dir + "/libJZSnapHandler.so");
    SnapHandlerInterface handler(false);
    EXPECT_EQ(-1, handler.loadSnapHandlerLibrary());

    SP<SnapUtilInterface> executor(
        SnapUtilInterface::getInstance(NUV_SNAPSHOT, 2, 0, false, "", nullptr, SPAWN_SNAP_HANDLER, false, false));
    SMVolSnapInfo record;
    CallbackLog log;
    EXPECT_EQ(-1, executor->Snap(record, &CallbackLog::Record, &log, false, 1));
    EXPECT_TRUE(log.calls.empty());
}

}  // namespace
