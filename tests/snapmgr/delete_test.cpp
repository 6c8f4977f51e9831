// Delete removes only the copies the snapshot manager made under the state root.
#include "snap_env.h"

#include <sys/mount.h>

namespace {

using snaptest::Exists;
using snaptest::ReadFile;
using snaptest::SnapEnv;
using snaptest::WriteFile;

TEST(Delete, RemovesTheCopyAndItsRows) {
    SnapEnv env;
    std::string a = env.dir() + "/a", b = env.dir() + "/b";
    WriteFile(a + "/f", "1");
    WriteFile(b + "/ro/f", "2");
    ::chmod((b + "/ro").c_str(), 0500);
    SMVolSnapInfo r = SnapEnv::Snap(21, {a, b});
    ASSERT_EQ(2u, r.getNumSnaps()) << r.getErrorString();
    std::string copyA = r.snaps()[0].getSnapDevice(), copyB = r.snaps()[1].getSnapDevice();
    JZSnapClientAPI client;
    ASSERT_TRUE(client.deleteVolumeSnaps(r)) << r.getErrorString();
    EXPECT_FALSE(Exists(copyA));
    EXPECT_FALSE(Exists(copyB));
    EXPECT_EQ(0u, r.getNumSnaps());
    EXPECT_TRUE(r.volSnapMap().empty());
    SMVolSnapInfo list;
    list.setSnapJobId(21);
    EXPECT_FALSE(client.getVolumeSnaps(list));
    EXPECT_EQ("1", ReadFile(a + "/f"));
    EXPECT_EQ("2", ReadFile(b + "/ro/f"));
}

TEST(Delete, DeletesPreparedVolumeIdsWithoutSnapshots) {
    SnapEnv env;
    std::string a = env.dir() + "/a";
    WriteFile(a + "/f", "1");
    SnapEnv::DeclareVolume(a);
    SMVolSnapInfo r = SnapEnv::Record(22, {a});
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(r));
    ASSERT_TRUE(client.deleteVolumeSnaps(r)) << r.getErrorString();
    EXPECT_EQ(0, client.preCreateVolumeSnaps(r));  // the id is gone
    EXPECT_EQ(SM_ERR_NOT_PREPARED, r.getErrorCode());
}

TEST(Delete, NeverTouchesAPathOutsideTheStateRoot) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "source");
    std::string victim = env.dir() + "/victim";
    WriteFile(victim + "/precious", "keep me");
    SMVolSnapInfo made = SnapEnv::Snap(23, {src});
    ASSERT_EQ(1u, made.getNumSnaps());
    int realId = made.snaps()[0].getSMSnapId();
    std::string copy = made.snaps()[0].getSnapDevice();

    struct Case {
        char const* name;
        int snapId;
        std::string device;
        int code;
    } const cases[] = {
        {"real id, device outside", realId, victim, SM_ERR_OUTSIDE_STATE_ROOT},
        {"unknown id, device outside", 99999, victim, SM_ERR_OUTSIDE_STATE_ROOT},
        {"dot-dot out of the snapshot root", realId, env.state() + "/snapshots/../../victim",
         SM_ERR_OUTSIDE_STATE_ROOT},
        {"the snapshot root itself", realId, env.state() + "/snapshots", SM_ERR_OUTSIDE_STATE_ROOT},
        {"the state root", realId, env.state(), SM_ERR_OUTSIDE_STATE_ROOT},
        {"the source", realId, src, SM_ERR_OUTSIDE_STATE_ROOT},
        {"unknown id inside", 99999, env.state() + "/snapshots/99999", SM_ERR_NOT_FOUND},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo forged = made;
        forged.snaps()[0].setSMSnapId(c.snapId);
        forged.snaps()[0].setSnapDevice(c.device);
        forged.volumes()[0].setSMSnapId(c.snapId);
        JZSnapClientAPI client;
        EXPECT_FALSE(client.deleteVolumeSnaps(forged));
        EXPECT_EQ(c.code, forged.getErrorCode()) << forged.getErrorString();
        EXPECT_EQ(c.code, client.getErrCode());
        EXPECT_EQ("keep me", ReadFile(victim + "/precious"));
        EXPECT_EQ("source", ReadFile(src + "/f"));
        EXPECT_EQ("source", ReadFile(copy + "/f"));  // nothing of the real snapshot was removed either
    }
    // A symbolic link inside the snapshot root that leads outside is refused too.
    std::string link = env.state() + "/snapshots/evil";
    ASSERT_EQ(0, ::symlink(victim.c_str(), link.c_str()));
    SMVolSnapInfo forged = made;
    forged.snaps()[0].setSnapDevice(link);
    JZSnapClientAPI client;
    EXPECT_FALSE(client.deleteVolumeSnaps(forged));
    EXPECT_EQ(SM_ERR_OUTSIDE_STATE_ROOT, forged.getErrorCode());
    EXPECT_EQ("keep me", ReadFile(victim + "/precious"));
    // The true record still deletes.
    EXPECT_TRUE(client.deleteVolumeSnaps(made)) << made.getErrorString();
    EXPECT_FALSE(Exists(copy));
}

TEST(Delete, NeverEmptiesSomethingMountedOnACopy) {
    if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting needs root";
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "source");
    std::string victim = env.dir() + "/victim";
    WriteFile(victim + "/precious", "keep me");
    SMVolSnapInfo made = SnapEnv::Snap(24, {src});
    ASSERT_EQ(1u, made.getNumSnaps()) << made.getErrorString();
    std::string copy = made.snaps()[0].getSnapDevice();
    // Someone binds a directory of their own onto the copy.
    ASSERT_EQ(0, ::mount(victim.c_str(), copy.c_str(), nullptr, MS_BIND, nullptr));
    JZSnapClientAPI client;
    SMVolSnapInfo attempt = made;
    EXPECT_FALSE(client.deleteVolumeSnaps(attempt));
    EXPECT_NE(0, attempt.getErrorCode());
    EXPECT_NE(std::string::npos, attempt.getErrorString().find("mount point")) << attempt.getErrorString();
    EXPECT_EQ("keep me", ReadFile(victim + "/precious"));
    ASSERT_EQ(0, ::umount2(copy.c_str(), 0));
    EXPECT_TRUE(client.deleteVolumeSnaps(made)) << made.getErrorString();  // once it is gone, the delete works
    EXPECT_FALSE(Exists(copy));
}

}  // namespace
