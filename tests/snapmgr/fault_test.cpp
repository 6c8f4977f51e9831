// An injected fault reaches the caller as the operation's failure, with the
// record's error code and text, and every call is journalled.
#include "snap_env.h"

#include "nuvdbsnap/platform/snapmgr/mm_snap_api.h"

#include <functional>

namespace {

using snaptest::SnapEnv;
using snaptest::WriteFile;

TEST(Faults, ReachTheCallerWithTheRecordsErrorCodeAndText) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "x");
    SMVolSnapInfo base = SnapEnv::Snap(31, {src});
    ASSERT_EQ(1u, base.getNumSnaps());

    // Each operation, called the way the engine calls it: true when it reported failure.
    struct Case {
        char const* call;
        std::function<bool(JZSnapClientAPI&, SMVolSnapInfo&)> failed;
    } const cases[] = {
        {"JZSnapClientAPI::prepareVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { c.prepareVolumeSnaps(r); return r.getErrorCode() != 0; }},
        {"JZSnapClientAPI::discoverVolumeDetails", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return !c.discoverVolumeDetails(r); }},
        {"JZSnapClientAPI::preCreateVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return c.preCreateVolumeSnaps(r) == 0; }},
        {"JZSnapClientAPI::createVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return !c.createVolumeSnaps(r); }},
        {"JZSnapClientAPI::postCreateVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return c.postCreateVolumeSnaps(r) == 0; }},
        {"JZSnapClientAPI::deleteVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return !c.deleteVolumeSnaps(r); }},
        {"JZSnapClientAPI::mountVolumes", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return !c.mountVolumes(r); }},
        {"JZSnapClientAPI::unmount", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return !c.unmount(r); }},
        {"JZSnapClientAPI::getVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return !c.getVolumeSnaps(r); }},
        {"JZSnapClientAPI::updateVolumeSnaps", [](JZSnapClientAPI& c, SMVolSnapInfo& r) { return c.updateVolumeSnaps(r) != 1; }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.call);
        nuvsuite::ClearJournal();
        nuvsuite::AddFault("snapmgr", c.call, 4711, std::string("array offline during ") + c.call, 1);
        SMVolSnapInfo r = base;
        JZSnapClientAPI client;
        EXPECT_TRUE(c.failed(client, r));
        EXPECT_EQ(4711, r.getErrorCode());
        EXPECT_EQ(std::string("array offline during ") + c.call, r.getErrorString());
        std::string text;
        EXPECT_EQ(4711, client.getErrCodeAndStr(text));
        EXPECT_EQ(r.getErrorString(), text);
        EXPECT_EQ(4711, client.getErrCode());
        auto journal = nuvsuite::ReadJournal("snapmgr", c.call);
        ASSERT_EQ(1u, journal.size());
        EXPECT_NE(std::string::npos, journal[0].args.find("job=31")) << journal[0].args;
        // The fault was used up: the snapshot is still whole.
        EXPECT_EQ("x", snaptest::ReadFile(base.snaps()[0].getSnapDevice() + "/f"));
    }
}

TEST(Faults, AFaultedCreateLeavesNoSnapshot) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "x");
    SnapEnv::DeclareVolume(src);
    SMVolSnapInfo r = SnapEnv::Record(32, {src});
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(r));
    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::createVolumeSnaps", 12, "no space on array", 1, "volumes=" + src);
    EXPECT_FALSE(client.createVolumeSnaps(r));
    EXPECT_EQ(12, r.getErrorCode());
    EXPECT_EQ(0u, r.getNumSnaps());
    EXPECT_TRUE(std::filesystem::is_empty(env.state() + "/snapshots"));
    EXPECT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();  // the next try works
    EXPECT_EQ(0, r.getErrorCode());
    EXPECT_EQ("", r.getErrorString());
}

TEST(SnapManagerClient, ControlHostsEnginesAndReplicationAreCatalogueRows) {
    SnapEnv env;
    auto& cat = nuvsuite::Catalogue::Instance();
    ASSERT_FALSE(cat.Exec("INSERT INTO sm_control_hosts(id, host_name, vendor_name, engine_id) VALUES "
                          "(7, 'AWS-DefaultUseIAMRoleArray', 'Amazon', 60), (3, 'nas1', 'Orvantis', 48), "
                          "(4, 'nas2', 'Orvantis', 48)")
                     .IsError());
    ASSERT_FALSE(cat.Exec("INSERT INTO sm_engines(id, vendor_name, engine_name) VALUES (48, 'Orvantis', 'VSA'), "
                          "(1, 'Native', 'native')")
                     .IsError());
    ASSERT_FALSE(cat.Exec("INSERT INTO sm_replication(app_id, enabled, type) VALUES (5, 1, 1)").IsError());

    JZMMSnapAPI mm(4);
    EXPECT_EQ(4, mm.getMode());
    SMControlHostInfo host;
    ASSERT_TRUE(mm.getControlHostInfoByHostName("AWS-DefaultUseIAMRoleArray", host));
    EXPECT_EQ(7, host.getControlHostId());
    EXPECT_FALSE(mm.getControlHostInfoByHostName("unknown", host));
    std::string text;
    EXPECT_EQ(SM_ERR_NOT_FOUND, mm.getErrCodeAndString(text));
    EXPECT_NE(std::string::npos, text.find("unknown"));

    std::vector<SMControlHostInfo> hosts;
    ASSERT_TRUE(mm.getControlHostList(hosts, "Orvantis"));
    ASSERT_EQ(2u, hosts.size());
    EXPECT_EQ("nas1", hosts[0].getHostName());
    std::vector<SMSnapShotEngineInfo> engines;
    ASSERT_TRUE(mm.getSnapShotEngineList(engines, 1));
    ASSERT_EQ(2u, engines.size());
    EXPECT_EQ(1, engines[0].getSnapShotEngineId());

    struct Case {
        int app;
        bool enabled;
        int type;
    } const cases[] = {{5, true, 1}, {6, false, 0}};
    for (auto const& c : cases) {
        bool enabled = !c.enabled;
        int type = -1;
        EXPECT_EQ(0, mm.isReplicationEnabled(c.app, 0, enabled, type, text)) << c.app;
        EXPECT_EQ(c.enabled, enabled);
        EXPECT_EQ(c.type, type);
    }
    nuvsuite::AddFault("snapmgr", "JZMMSnapAPI::isReplicationEnabled", 77, "manager down", 1);
    bool enabled = false;
    int type = 0;
    EXPECT_EQ(77, mm.isReplicationEnabled(5, 0, enabled, type, text));
    EXPECT_EQ("manager down", text);
    nuvsuite::AddFault("snapmgr", "JZMMSnapAPI::getControlHostList", 78, "list down", 1);
    EXPECT_FALSE(mm.getControlHostList(hosts, "Orvantis"));
    EXPECT_EQ(78, mm.getErrCodeAndString(text));
}

}  // namespace
