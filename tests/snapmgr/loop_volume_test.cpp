// Snapshots of loop volumes the suite makes itself: a btrfs volume gets btrfs
// snapshots, an XFS volume block clones of its image. Both are point in time,
// read-only and untouched by later writes; every failure road leaves no loop
// device, mount or half-made snapshot; a killed volume create is swept.
#include "snap_env.h"

#include "platform/snapmgr/storage_ops.h"
#include "support/xfs_loop.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"

#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using snaptest::Exists;
using snaptest::ReadFile;
using snaptest::SnapEnv;
using snaptest::WriteFile;

// Loop devices whose backing file lies below `dir`.
std::vector<std::string> LoopsBelow(std::string const& dir) {
    std::vector<std::string> out;
    DIR* d = ::opendir("/sys/block");
    if (!d) return out;
    while (struct dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, "loop", 4) != 0) continue;
        std::string backing = ReadFile(std::string("/sys/block/") + e->d_name + "/loop/backing_file");
        if (backing.compare(0, dir.size() + 1, dir + "/") == 0) out.push_back(e->d_name);
    }
    ::closedir(d);
    return out;
}

// Detaching an auto-clear loop device after its unmount may take a moment.
std::vector<std::string> LoopsBelowSettled(std::string const& dir) {
    auto loops = LoopsBelow(dir);
    for (int i = 0; i < 100 && !loops.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loops = LoopsBelow(dir);
    }
    return loops;
}

std::vector<std::string> MountsBelow(std::string const& dir) {
    std::vector<std::string> out;
    for (auto const& m : snaptest::MountPoints())
        if (m.compare(0, dir.size() + 1, dir + "/") == 0) out.push_back(m);
    return out;
}

std::vector<std::string> Entries(std::string const& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto const& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().filename());
    return out;
}

int64_t CountRows(char const* sql) {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query(sql, {}, &rows).IsError());
    return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
}

std::string MethodOf(int snapId) {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                     .Query("SELECT method FROM sm_snapshots WHERE id = ?", {int64_t(snapId)}, &rows)
                     .IsError());
    return rows.empty() ? "" : nuvsuite::AsText(rows[0][0]);
}

// A state root with one loop volume of the given file system.
class LoopEnv {
public:
    explicit LoopEnv(std::string const& fs) : m_fs(fs) {
        std::string why;
        if (!nuvsnapmgr::LoopVolumesAvailable(&why)) {
            m_why = why;
            return;
        }
        CFzError e = nuvsnapmgr::CreateLoopVolume("v1", fs, 512ull << 20, &m_volume);
        if (e.IsError()) {
            m_why = "cannot make a " + fs + " loop volume: " + e.AsString();
            return;
        }
        m_ready = true;
    }
    bool ready() const { return m_ready; }
    std::string const& why() const { return m_why; }
    SnapEnv& env() { return m_env; }
    nuvsnapmgr::LoopVolume const& volume() const { return m_volume; }
    std::string const& path() const { return m_volume.path; }

    SMVolSnapInfo Prepared(int job) {
        SMVolSnapInfo r = SnapEnv::Record(job, {path()});
        JZSnapClientAPI client;
        EXPECT_TRUE(client.prepareVolumeSnaps(r)) << r.getErrorString();
        return r;
    }

    // Nothing a failed create may leave: no snapshot row, copy, clone, clone mount or loop device.
    void ExpectNothingLeft() {
        EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_snapshots"));
        EXPECT_TRUE(Entries(m_env.state() + "/snapshots").empty());
        EXPECT_TRUE(Entries(m_env.state() + "/pool/clones").empty());
        EXPECT_TRUE(MountsBelow(m_env.state() + "/snapshots").empty());
        EXPECT_TRUE(LoopsBelowSettled(m_env.state() + "/pool/clones").empty());
        EXPECT_TRUE(Entries(m_volume.mountPoint + "/.nuvsuite-snapshots").empty());
    }

private:
    std::string m_fs;
    SnapEnv m_env;
    bool m_ready = false;
    std::string m_why;
    nuvsnapmgr::LoopVolume m_volume;
};

#define NUV_REQUIRE_LOOP(loop)                          \
    do {                                                \
        if (!(loop).ready()) GTEST_SKIP() << (loop).why(); \
    } while (0)

// Keeps the counter in two files: first "a", then "b", each written and synced,
// so that at every moment a == b or a == b + 1.
class CounterWriter {
public:
    explicit CounterWriter(std::string const& dir) : m_a(dir + "/a"), m_b(dir + "/b") {
        Put(m_a, 0);
        Put(m_b, 0);
        m_thread = std::thread([this] {
            for (long n = 1; !m_stop.load(); ++n) {
                Put(m_a, n);
                Put(m_b, n);
                m_written.store(n);
            }
        });
    }
    ~CounterWriter() { Stop(); }
    void Stop() {
        m_stop.store(true);
        if (m_thread.joinable()) m_thread.join();
    }
    long written() const { return m_written.load(); }

private:
    static void Put(std::string const& path, long n) {
        char text[32];
        int len = std::snprintf(text, sizeof text, "%020ld\n", n);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) return;
        (void)!::pwrite(fd, text, static_cast<size_t>(len), 0);
        ::fsync(fd);
        ::close(fd);
    }
    std::string m_a, m_b;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_written{0};
    std::thread m_thread;
};

long Counter(std::string const& path) { return std::atol(ReadFile(path).c_str()); }

struct MethodCase {
    char const* fs;
    char const* method;
};

class LoopSnapshot : public ::testing::TestWithParam<MethodCase> {};

TEST_P(LoopSnapshot, IsPointInTimeReadOnlyAndBlindToLaterWrites) {
    LoopEnv loop(GetParam().fs);
    NUV_REQUIRE_LOOP(loop);
    WriteFile(loop.path() + "/tables/t1", "table one");
    CounterWriter writer(loop.path());
    while (writer.written() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<SMVolSnapInfo> made;
    for (int job = 1; job <= 4; ++job) {
        SMVolSnapInfo r = loop.Prepared(job);
        JZSnapClientAPI client;
        ASSERT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();
        ASSERT_EQ(1u, r.getNumSnaps());
        made.push_back(r);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    writer.Stop();
    for (auto const& r : made) {
        std::string const snap = r.snaps()[0].getSnapDevice();
        EXPECT_EQ(GetParam().method, MethodOf(r.snaps()[0].getSMSnapId()));
        long const a = Counter(snap + "/a"), b = Counter(snap + "/b");
        EXPECT_TRUE(a == b || a == b + 1) << "a=" << a << " b=" << b << " in " << snap;
        EXPECT_EQ("table one", ReadFile(snap + "/tables/t1"));
    }

    // Read-only: neither a file nor the tree can change.
    std::string const snap = made[0].snaps()[0].getSnapDevice();
    errno = 0;
    EXPECT_LT(::open((snap + "/a").c_str(), O_WRONLY), 0);
    EXPECT_EQ(EROFS, errno);
    EXPECT_NE(0, ::mkdir((snap + "/new").c_str(), 0755));
    EXPECT_EQ(EROFS, errno);

    // A write after the create never shows in the snapshot.
    std::string const before = ReadFile(snap + "/tables/t1");
    WriteFile(loop.path() + "/tables/t1", "changed after the snapshot");
    ::sync();
    EXPECT_EQ(before, ReadFile(snap + "/tables/t1"));

    // Mount, unmount and delete work for the method and leave nothing.
    JZSnapClientAPI client;
    SMVolSnapInfo m = made[0];
    ASSERT_TRUE(client.mountVolumes(m)) << m.getErrorString();
    std::string const mounted = m.volumes()[0].getMountPath();
    EXPECT_EQ("table one", ReadFile(mounted + "/tables/t1"));
    ASSERT_TRUE(client.unmount(m)) << m.getErrorString();
    EXPECT_FALSE(snaptest::IsMounted(mounted));
    for (auto& r : made) ASSERT_TRUE(client.deleteVolumeSnaps(r)) << r.getErrorString();
    loop.ExpectNothingLeft();
}

// What a create killed after it made the snapshot left (its row still
// 'creating', its process gone) is taken down by the next sweep, whatever the method.
TEST_P(LoopSnapshot, WhatAKilledCreateLeftIsSwept) {
    LoopEnv loop(GetParam().fs);
    NUV_REQUIRE_LOOP(loop);
    WriteFile(loop.path() + "/f", "data");
    SMVolSnapInfo r = loop.Prepared(5);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();
    std::string const snap = r.snaps()[0].getSnapDevice();
    ASSERT_EQ("data", ReadFile(snap + "/f"));
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("UPDATE sm_snapshots SET state = 'creating', creator_pid = ?", {int64_t(dead)})
                     .IsError());
    EvEvent event;
    nuvsnapmgr::SweepLeftovers(&event);
    EXPECT_FALSE(Exists(snap));
    loop.ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Methods, LoopSnapshot,
                         ::testing::Values(MethodCase{"btrfs", "btrfs"}, MethodCase{"xfs", "block-clone"}),
                         [](auto const& info) { return std::string(info.param.fs); });

// Each storage step of a create fails through the fault table; the create
// fails and leaves nothing behind, and the volume is not left frozen.
struct FaultCase {
    char const* fs;
    char const* call;
};

class LoopSnapshotFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LoopSnapshotFault, FailsCleanly) {
    LoopEnv loop(GetParam().fs);
    NUV_REQUIRE_LOOP(loop);
    WriteFile(loop.path() + "/f", "data");
    SMVolSnapInfo r = loop.Prepared(9);
    nuvsuite::ClearJournal();
    nuvsuite::AddFault("snapmgr", GetParam().call, 5, "storage said no", 1);
    JZSnapClientAPI client;
    EXPECT_FALSE(client.createVolumeSnaps(r));
    EXPECT_EQ(SM_ERR_COPY, r.getErrorCode());
    EXPECT_NE(std::string::npos, r.getErrorString().find("storage said no")) << r.getErrorString();
    EXPECT_EQ(1u, nuvsuite::ReadJournal("snapmgr", GetParam().call).size());
    loop.ExpectNothingLeft();
    WriteFile(loop.path() + "/after", "writable");  // thawed
    EXPECT_EQ("writable", ReadFile(loop.path() + "/after"));
    EXPECT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();  // the next create works
}

INSTANTIATE_TEST_SUITE_P(Steps, LoopSnapshotFault,
                         ::testing::Values(FaultCase{"xfs", "nuvsnapmgr::CloneWholeFile"},
                                           FaultCase{"xfs", "nuvsnapmgr::AttachLoop"},
                                           FaultCase{"xfs", "nuvsnapmgr::MountDevice"},
                                           FaultCase{"btrfs", "nuvsnapmgr::BtrfsSnapshot"}),
                         [](auto const& info) {
                             std::string const call = info.param.call;
                             return std::string(info.param.fs) + "_" + call.substr(call.rfind(':') + 1);
                         });

// The volume's own create fails at each step and leaves no row, image, mount or loop device.
TEST(LoopVolume, AFailedCreateLeavesNothing) {
    SnapEnv env;
    std::string why;
    if (!nuvsnapmgr::LoopVolumesAvailable(&why)) GTEST_SKIP() << why;
    struct Step {
        char const* service;
        char const* call;
        char const* match;
    } const steps[] = {{"snapmgr", "nuvsnapmgr::AttachLoop", "images/v2"},
                       {"snapmgr", "nuvsnapmgr::MountDevice", "volumes/v2"},
                       {"process", "JzProcess::system", "v2.img"}};
    for (auto const& step : steps) {
        nuvsuite::ClearFaults();
        nuvsuite::AddFault(step.service, step.call, 5, "step refused", 1, step.match);
        CFzError e = nuvsnapmgr::CreateLoopVolume("v2", "xfs", 512ull << 20, nullptr);
        EXPECT_TRUE(e.IsError()) << step.call;
        EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_loop_volumes")) << step.call;
        EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_volumes")) << step.call;
        EXPECT_FALSE(Exists(env.state() + "/pool/images/v2.img")) << step.call;
        EXPECT_FALSE(Exists(env.state() + "/volumes/v2")) << step.call;
        EXPECT_TRUE(MountsBelow(env.state() + "/volumes").empty()) << step.call;
        EXPECT_TRUE(LoopsBelowSettled(env.state() + "/pool/images").empty()) << step.call;
    }
}

TEST(LoopVolume, RemoveWaitsForItsSnapshotsThenTakesAllDown) {
    LoopEnv loop("xfs");
    NUV_REQUIRE_LOOP(loop);
    std::string const state = loop.env().state();
    SMVolSnapInfo r = loop.Prepared(3);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();
    CFzError e = nuvsnapmgr::RemoveLoopVolume("v1");
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find("delete them first")) << e.AsString();
    EXPECT_TRUE(snaptest::IsMounted(loop.volume().mountPoint));

    ASSERT_TRUE(client.deleteVolumeSnaps(r)) << r.getErrorString();
    e = nuvsnapmgr::RemoveLoopVolume("v1");
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_loop_volumes"));
    EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_volumes"));
    EXPECT_TRUE(MountsBelow(state).empty());
    EXPECT_TRUE(LoopsBelowSettled(state).empty());
    EXPECT_FALSE(Exists(loop.volume().image));
    EXPECT_TRUE(nuvsnapmgr::RemoveLoopVolume("v1").IsError());  // gone
}

// A create killed half way (here: right after mkfs) is taken down by the next jzsuite.
TEST(LoopVolume, AKilledCreateIsSweptByTheNextCommand) {
    SnapEnv env;
    std::string why;
    if (!nuvsnapmgr::LoopVolumesAvailable(&why)) GTEST_SKIP() << why;
    std::string const script = env.dir() + "/mkfs-then-die";
    WriteFile(script, "#!/bin/sh\n/usr/sbin/mkfs.xfs \"$@\" && kill -9 $PPID\n");
    ASSERT_EQ(0, ::chmod(script.c_str(), 0755));
    for (char const* tool : {"/usr/sbin/mkfs.xfs", "/sbin/mkfs.xfs"}) nuvsuite::SetSubstitution(tool, script);
    std::string const jz = std::string(NUV_OUT_DIR) + "/bin/jzsuite";
    std::string out, err;
    int rc = JzProcess::system({jz, "volume", "create", "dying", "--size", "512M", "--fs", "xfs"}, &out, &err);
    EXPECT_EQ(128 + SIGKILL, rc) << out << err;
    EXPECT_EQ(1, CountRows("SELECT count(*) FROM sm_loop_volumes WHERE state = 'creating'"));
    nuvsuite::ClearSubstitutions();

    rc = JzProcess::system({jz, "list", "loopvolume"}, &out, &err);
    EXPECT_EQ(0, rc) << err;
    EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_loop_volumes"));
    EXPECT_FALSE(Exists(env.state() + "/pool/images/dying.img"));
    EXPECT_FALSE(Exists(env.state() + "/volumes/dying"));
    EXPECT_TRUE(LoopsBelowSettled(env.state() + "/pool/images").empty());
}

// EBUSY when the file system of `path` is frozen (FIFREEZE refuses a second
// freeze); otherwise it freezes and thaws at once and says 0.
int FrozenState(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return errno;
    int rc = ::ioctl(fd, FIFREEZE, 0) == 0 ? 0 : errno;
    if (rc == 0) ::ioctl(fd, FITHAW, 0);
    ::close(fd);
    return rc;
}

// The snapshot manager's own freeze (around a clone the engine did not freeze
// for) goes through the freeze guard: the death of the freezing process thaws it.
TEST(CloneFreeze, TheDeathOfItsHolderThawsTheVolume) {
    LoopEnv loop("xfs");
    NUV_REQUIRE_LOOP(loop);
    std::string const mountPoint = loop.volume().mountPoint;
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    pid_t child = ::fork();
    if (child == 0) {
        nuvsnapmgr::CloneFreeze freeze;
        char ok = freeze.Hold(mountPoint).IsError() || !freeze.frozeItself() ? 'n' : 'y';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(1, ::read(ready[0], &ok, 1));
    ::close(ready[0]);
    EXPECT_EQ('y', ok);
    EXPECT_EQ(EBUSY, FrozenState(mountPoint));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    int state = EBUSY;
    for (int i = 0; i < 100 && state == EBUSY; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        state = FrozenState(mountPoint);
    }
    EXPECT_EQ(0, state) << "still frozen a second after its holder died";
}

}  // namespace

namespace {

// With the state root on a reflink XFS that also holds the image pool, a block
// clone's image lies among the snapshots (snapshots/<id>.img): every snapshot
// the suite made there is deleted whole, by the client and by the admin command.
TEST(LoopVolume, ABlockCloneWhoseImageLiesAmongTheSnapshotsIsDeleted) {
    SnapEnv bootstrap;  // a state root for the host volume's own set-up
    nuvtest::XfsLoopVolume host(2ull << 30);
    NUV_REQUIRE_XFS(host);
    SnapEnv env(host.mountPoint());
    std::string why;
    if (!nuvsnapmgr::LoopVolumesAvailable(&why)) GTEST_SKIP() << why;
    nuvsnapmgr::LoopVolume volume;
    CFzError e = nuvsnapmgr::CreateLoopVolume("v1", "xfs", 512ull << 20, &volume);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    WriteFile(volume.path + "/f", "data");

    struct Case {
        char const* name;
        bool byCommand;
    } const cases[] = {{"the snapshot client", false}, {"jzsuite snapshot delete", true}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo r = SnapEnv::Record(70, {volume.path});
        JZSnapClientAPI client;
        ASSERT_TRUE(client.prepareVolumeSnaps(r)) << r.getErrorString();
        ASSERT_TRUE(client.createVolumeSnaps(r)) << r.getErrorString();
        int const id = r.snaps()[0].getSMSnapId();
        ASSERT_EQ("block-clone", MethodOf(id));
        std::string const image = env.state() + "/snapshots/" + std::to_string(id) + ".img";
        ASSERT_TRUE(Exists(image)) << "the clone's image is expected among the snapshots here";
        ASSERT_EQ("data", ReadFile(r.snaps()[0].getSnapDevice() + "/f"));

        if (c.byCommand) {
            nuvtest::ProgramResult del =
                nuvtest::RunProgram(NUV_OUT_DIR "/bin/jzsuite", {"snapshot", "delete", std::to_string(id)});
            EXPECT_EQ(0, del.exitCode) << del.err;
        } else {
            EXPECT_TRUE(client.deleteVolumeSnaps(r)) << r.getErrorString();
        }
        EXPECT_EQ(0, CountRows("SELECT count(*) FROM sm_snapshots"));
        EXPECT_TRUE(Entries(env.state() + "/snapshots").empty());
        EXPECT_TRUE(MountsBelow(env.state() + "/snapshots").empty());
        EXPECT_TRUE(LoopsBelowSettled(env.state() + "/snapshots").empty());
    }
    e = nuvsnapmgr::RemoveLoopVolume("v1");
    EXPECT_FALSE(e.IsError()) << e.AsString();
}

}  // namespace
