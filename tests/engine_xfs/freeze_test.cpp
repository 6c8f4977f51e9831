// The create on a real XFS loop volume: the freeze holds writers until the
// thaw, every road out of the create thaws, and an odd mount point is frozen
// as itself. Skipped where root, loop devices or mkfs.xfs are missing.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "support/xfs_loop.h"

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

bool WaitFor(std::function<bool()> const& condition) {
    for (int i = 0; i < 6000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// FITHAW on the file system of `path`: 0 when it was frozen (and is thawed now),
// else the errno (EINVAL: it was not frozen).
int ThawIfFrozen(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return errno;
    int rc = ioctl(fd, FITHAW, 0) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

// The scheduler state of a thread of this process ('D': waiting uninterruptibly).
char ThreadState(pid_t tid) {
    std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

class XfsFreezeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (!m_volume.ready()) GTEST_SKIP() << m_volume.why();
        DeclareApp(135);  // SAP HANA freezes its XFS mount points by default
        WriteFile(m_volume.mountPoint() + "/table.dat", "committed rows\n");
        m_hold = MakeDir(m_root.base() + "/hold");
    }

    void TearDown() override {
        if (!m_volume.ready()) return;
        (void)ThawIfFrozen(m_volume.mountPoint());  // never leave a frozen volume behind
        if (!m_bind.empty()) umount2(m_bind.c_str(), MNT_DETACH);
    }

    std::unique_ptr<NuvSnapUtil> Prepared(std::string const& mountPoint, SpawnProcess mode) {
        auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr, mode);
        EXPECT_EQ(1, util->addMountPoint(mountPoint.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        EXPECT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
        EXPECT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
        return util;
    }

    // Makes the plug-in wait inside the snap (the volume frozen) until Release().
    void HoldTheSnap() { nuvsuite::AddFault("snaphandler", "hold", 0, m_hold, 1); }
    bool WaitUntilHeld() { return WaitFor([this] { return Exists(m_hold + "/held"); }); }
    void Release() { WriteFile(m_hold + "/release", "go"); }

    nuvtest::XfsLoopVolume m_volume;
    std::string m_hold;
    std::string m_bind;
};

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
    ::testing::Values(Fault{"SnapFailsInProcess", SPAWN_IN_PROCESS, "snapmgr", "createVolumeSnaps", false},
                      Fault{"PluginFails", SPAWN_SNAP_HANDLER, "snaphandler", "createSnapShotWithStatus", false},
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
