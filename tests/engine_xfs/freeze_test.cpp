// The create on a real XFS loop volume: the freeze holds writers until the
// thaw, every road out of the create thaws, and an odd mount point is frozen
// as itself. Skipped where root, loop devices or mkfs.xfs are missing.
#include "tests/engine_xfs/xfs_fixture.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace nuvenginetest;

namespace {

TEST_F(XfsFreezeTest, WriterWaitsForTheThaw) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    std::string const mnt = m_volume.mountPoint();
    auto util = Prepared(mnt, SPAWN_SNAP_HANDLER);
    HoldTheSnap();
    SMVolSnapInfo out;
    int result = -100;
    std::thread create([&] { result = util->createSnapShot(nullptr, nullptr, false, &out); });
    ASSERT_TRUE(WaitUntilHeld());

    std::atomic<pid_t> writerTid{0};
    std::atomic<bool> written{false};
    std::thread writer([&] {
        writerTid = static_cast<pid_t>(syscall(SYS_gettid));
        int fd = open((mnt + "/late.dat").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ssize_t n = write(fd, "late rows\n", 10);
            (void)n;
            fsync(fd);
            close(fd);
        }
        written = true;
    });
    // The writer blocks in the kernel on the frozen file system.
    bool blocked = WaitFor([&] { return writerTid != 0 && ThreadState(writerTid) == 'D'; });
    EXPECT_TRUE(blocked);
    EXPECT_FALSE(written);

    Release();
    create.join();
    writer.join();
    EXPECT_EQ(0, result);
    EXPECT_TRUE(written);
    EXPECT_EQ("late rows\n", ReadFile(mnt + "/late.dat"));
    EXPECT_EQ(EINVAL, ThawIfFrozen(mnt));
    // The snapshot holds the state of the freeze: the data, not the late file.
    ASSERT_EQ(1u, out.getNumSnaps());
    std::string const copy = out.snapListBegin()->getSnapDevice();
    EXPECT_EQ("committed rows\n", ReadFile(copy + "/table.dat"));
    EXPECT_FALSE(Exists(copy + "/late.dat"));
    EXPECT_EQ((std::vector<std::string>{"-f " + mnt, "-u " + mnt}), FreezeRuns());
}

// A failure between freeze and thaw: the create fails (or throws) and the
// volume is thawed.
struct Fault {
    char const* name;
    SpawnProcess mode;
    char const* service;
    char const* call;
    bool throws;
};

class XfsFaultTest : public XfsFreezeTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(XfsFaultTest, VolumeIsThawedAfterwards) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    Fault const& c = GetParam();
    std::string const mnt = m_volume.mountPoint();
    auto util = Prepared(mnt, c.mode);
    nuvsuite::AddFault(c.service, c.call, 6, "failed while frozen", -1);
    bool threw = false;
    int result = 0;
    try {
        result = util->createSnapShot(nullptr, nullptr, false, nullptr);
    } catch (JzException const&) {
        threw = true;
    }
    EXPECT_EQ(c.throws, threw);
    if (!c.throws) {
        EXPECT_EQ(-1, result);
    }
    EXPECT_EQ((std::vector<std::string>{"-f " + mnt, "-u " + mnt}), FreezeRuns());
    EXPECT_EQ(EINVAL, ThawIfFrozen(mnt));
    WriteFile(mnt + "/after.dat", "writable");
    EXPECT_EQ("writable", ReadFile(mnt + "/after.dat"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, XfsFaultTest,
    ::testing::Values(Fault{"SnapFailsInProcess", SPAWN_IN_PROCESS, "snapmgr", "JZSnapClientAPI::createVolumeSnaps", false},
                      Fault{"PluginFails", SPAWN_SNAP_HANDLER, "snaphandler", "JZSnapHandler_createSnapShotWithStatus", false},
                      Fault{"PluginThrows", SPAWN_SNAP_HANDLER, "snaphandler", "throw", true}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(XfsFreezeTest, OddMountPointIsFrozenAsItself) {
    NUV_RUN_WITH_LIBRARY_PATH(PluginDir("snaphandler"));
    // The same file system, mounted again where a shell would stumble.
    m_bind = MakeDir(m_root.base() + "/vol a;b $(touch pwned)");
    ASSERT_EQ(0, mount(m_volume.mountPoint().c_str(), m_bind.c_str(), nullptr, MS_BIND, nullptr)) << strerror(errno);
    DeclareVolume(m_bind, m_volume.device(), "xfs", "rw");
    auto util = Prepared(m_bind, SPAWN_SNAP_HANDLER);
    HoldTheSnap();
    int result = -100;
    std::thread create([&] { result = util->createSnapShot(nullptr, nullptr, false, nullptr); });
    ASSERT_TRUE(WaitUntilHeld());
    // Frozen now: a second freeze of the file system is refused.
    int fd = open(m_volume.mountPoint().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(-1, ioctl(fd, FIFREEZE, 0));
    EXPECT_EQ(EBUSY, errno);
    close(fd);
    Release();
    create.join();
    EXPECT_EQ(0, result);
    EXPECT_EQ((std::vector<std::string>{"-f " + m_bind, "-u " + m_bind}), FreezeRuns());
    EXPECT_EQ(EINVAL, ThawIfFrozen(m_volume.mountPoint()));
    EXPECT_FALSE(Exists("pwned"));
    EXPECT_FALSE(Exists(m_root.base() + "/pwned"));
}

}  // namespace
