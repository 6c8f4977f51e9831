// A process that mounts a snapshot killed at the worst moments of the mount:
// with its row recorded and no mount yet, and with the mount made. Whatever the
// moment, the next suite command, the operator's unmount or the next mount
// leaves nothing mounted and never stacks mounts; a process that ends normally
// keeps its mounts. Binds that no row records (left by runs that mounted before
// recording) are removed by the operator's unmount and replaced by a rerun.
#include "snap_env.h"

#include "nuvdbsnap/platform/base/process.h"
#include "support/suite_root.h"

#include <signal.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using snaptest::Exists;
using snaptest::MountPoints;
using snaptest::SnapEnv;
using snaptest::WriteFile;

std::string const kJzsuite = NUV_OUT_DIR "/bin/jzsuite";
int const kJob = 41;

int64_t Rows(char const* sql) {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query(sql, {}, &rows).IsError());
    return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
}

// How many mounts sit on `path` (stacked ones count each).
int MountsAt(std::string const& path) {
    int n = 0;
    for (auto const& m : MountPoints()) n += m == path ? 1 : 0;
    return n;
}

bool WaitForFile(std::string const& path, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (Exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The part of a test that runs again in a child: mounts the job's snapshot at
// its default place through the snapshot client and ends normally.
int MountInChild() {
    SMVolSnapInfo record;
    record.setJobId(kJob);
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(record)) return 3;
    for (auto& v : record.volumes()) v.setMountPath("");
    return client.mountVolumes(record) ? 0 : 4;
}

class MountKillTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting needs root";
        // Started again by a test below: this process is the one that mounts
        // (in the parent's state root) and ends, normally or by a kill.
        if (nuvtest::InTestRunAgain()) std::exit(MountInChild());
        m_env = std::make_unique<SnapEnv>();
        WriteFile(m_env->dir() + "/src/f", "x");
        m_record = SnapEnv::Snap(kJob, {m_env->dir() + "/src"});
        ASSERT_EQ(1u, m_record.getNumSnaps()) << m_record.getErrorString();
        m_id = std::to_string(m_record.snaps()[0].getSMSnapId());
        m_copy = m_record.snaps()[0].getSnapDevice();
        m_path = m_env->state() + "/mounts/" + m_id;
        m_hold = m_env->dir() + "/hold";
        ASSERT_EQ(0, ::mkdir(m_hold.c_str(), 0755));
    }
    void TearDown() override { m_env.reset(); }

    nuvtest::ProgramResult Jz(std::vector<std::string> const& args) { return nuvtest::RunProgram(kJzsuite, args); }

    // Binds the copy at the default mount path as a run that mounted before
    // recording left it: no row; read-only or not.
    void BindWithoutRow(bool readOnly) {
        (void)nuvsuite::StatePath("mounts");
        ASSERT_TRUE(::mkdir(m_path.c_str(), 0755) == 0 || errno == EEXIST) << std::strerror(errno);
        ASSERT_EQ(0, ::mount(m_copy.c_str(), m_path.c_str(), nullptr, MS_BIND, nullptr)) << std::strerror(errno);
        if (readOnly)
            ASSERT_EQ(0, ::mount(nullptr, m_path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
    }

    std::unique_ptr<SnapEnv> m_env;
    SMVolSnapInfo m_record;
    std::string m_id, m_copy, m_path, m_hold;
};

TEST_F(MountKillTest, AKilledMountLeavesNothingThatTheNextCommandKeeps) {
    struct Case {
        char const* name;
        char const* hold;   // where the child is killed
        char const* after;  // what comes next: "command", "unmount" or "rerun"
    } const cases[] = {
        {"row recorded, no mount; next command", "recorded", "command"},
        {"mount made; next command", "mounted", "command"},
        {"row recorded, no mount; operator's unmount", "recorded", "unmount"},
        {"mount made; operator's unmount", "mounted", "unmount"},
        {"row recorded, no mount; next mount", "recorded", "rerun"},
        {"mount made; next mount", "mounted", "rerun"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        std::string const held = m_hold + "/held";
        ::unlink(held.c_str());
        nuvsuite::ClearFaults();
        nuvsuite::AddFault("snapmgr", "hold", 0, m_hold, 1, std::string(c.hold) + " " + m_path);
        int const child = nuvtest::StartTestAgain();
        ASSERT_GT(child, 0);
        bool const reached = WaitForFile(held, 120);
        ::kill(child, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(child));
        ASSERT_TRUE(reached) << "the child never reached its hold";
        EXPECT_EQ(1, Rows("SELECT count(*) FROM sm_mounts"));  // recorded before it is mounted
        EXPECT_EQ(std::string(c.hold) == "mounted" ? 1 : 0, MountsAt(m_path));

        std::string const after = c.after;
        if (after == "command") {
            nuvtest::ProgramResult r = Jz({"list", "mount"});
            EXPECT_EQ(0, r.exitCode) << r.err;
        } else if (after == "unmount") {
            nuvtest::ProgramResult r = Jz({"snapshot", "unmount", m_id});
            EXPECT_EQ(0, r.exitCode) << r.err;
        } else {
            SMVolSnapInfo again = m_record;
            again.volumes()[0].setMountPath("");
            JZSnapClientAPI client;
            ASSERT_TRUE(client.mountVolumes(again)) << again.getErrorString();
            EXPECT_EQ(1, MountsAt(m_path)) << "mounts stacked";
            EXPECT_EQ(1, Rows("SELECT count(*) FROM sm_mounts"));
            ASSERT_TRUE(client.unmount(again)) << again.getErrorString();
        }
        EXPECT_EQ(0, MountsAt(m_path));
        EXPECT_EQ(0, Rows("SELECT count(*) FROM sm_mounts"));
        EXPECT_FALSE(Exists(m_path));
    }
}

TEST_F(MountKillTest, AMountOfAProcessThatEndedNormallyStaysUntilUnmounted) {
    int const child = nuvtest::StartTestAgain();
    ASSERT_GT(child, 0);
    ASSERT_EQ(0, nuvtest::WaitChild(child));
    EXPECT_EQ(1, MountsAt(m_path));
    EXPECT_EQ(1, Rows("SELECT count(*) FROM sm_mounts WHERE holder_pid = 0"));  // handed over at its exit

    nuvtest::ProgramResult r = Jz({"list", "mount"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(1, MountsAt(m_path)) << "the sweep took a mount its process meant to keep";
    r = Jz({"snapshot", "unmount", m_id});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0, MountsAt(m_path));
    EXPECT_EQ(0, Rows("SELECT count(*) FROM sm_mounts"));
}

TEST_F(MountKillTest, AMountAnotherRunIsStillMakingIsNotTakenForStale) {
    nuvsuite::AddFault("snapmgr", "hold", 0, m_hold, 1, "recorded " + m_path);
    int const child = nuvtest::StartTestAgain();
    ASSERT_GT(child, 0);
    bool const reached = WaitForFile(m_hold + "/held", 120);
    if (!reached) ::kill(child, SIGKILL);
    ASSERT_TRUE(reached) << "the child never reached its hold";

    SMVolSnapInfo second = m_record;
    JZSnapClientAPI client;
    EXPECT_FALSE(client.mountVolumes(second));
    EXPECT_EQ(SM_ERR_MOUNT, second.getErrorCode());
    EXPECT_NE(std::string::npos, second.getErrorString().find("is being mounted by process " + std::to_string(child)))
        << second.getErrorString();
    EXPECT_EQ(0, MountsAt(m_path));

    WriteFile(m_hold + "/release", "");
    EXPECT_EQ(0, nuvtest::WaitChild(child));
    EXPECT_EQ(1, MountsAt(m_path));
    EXPECT_EQ(1, Rows("SELECT count(*) FROM sm_mounts"));
    SMVolSnapInfo done = m_record;
    done.volumes()[0].setMountPath(m_path);
    ASSERT_TRUE(client.unmount(done)) << done.getErrorString();
    EXPECT_EQ(0, MountsAt(m_path));
}

TEST_F(MountKillTest, AHolderWhosePidWasTakenAgainIsGone) {
    JZSnapClientAPI client;
    SMVolSnapInfo m = m_record;
    ASSERT_TRUE(client.mountVolumes(m)) << m.getErrorString();
    ASSERT_EQ(1, MountsAt(m_path));
    // This process runs, but started at another time than the row says.
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("UPDATE sm_mounts SET holder_start = holder_start + 1", {})
                     .IsError());
    nuvtest::ProgramResult r = Jz({"list", "mount"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0, MountsAt(m_path));
    EXPECT_EQ(0, Rows("SELECT count(*) FROM sm_mounts"));
}

TEST_F(MountKillTest, BindsWithoutARowAreReplacedOrRemovedNeverStacked) {
    struct Case {
        char const* name;
        int binds;       // binds of the copy stacked at the default path, no row
        bool readOnly;   // false: as a kill between the bind and its read-only remount left it
        char const* by;  // "rerun" or "unmount"
    } const cases[] = {
        {"one read-only bind; rerun", 1, true, "rerun"},
        {"a writable bind; rerun", 1, false, "rerun"},
        {"two stacked binds; rerun", 2, true, "rerun"},
        {"one read-only bind; operator's unmount", 1, true, "unmount"},
        {"two stacked binds, one writable; operator's unmount", 2, false, "unmount"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.binds; ++i) BindWithoutRow(c.readOnly || i > 0);
        ASSERT_EQ(c.binds, MountsAt(m_path));

        nuvtest::ProgramResult refused = Jz({"snapshot", "delete", m_id});
        EXPECT_NE(0, refused.exitCode) << "a mounted snapshot was deleted";
        EXPECT_NE(std::string::npos, refused.err.find("is mounted at [" + m_path + "]")) << refused.err;
        EXPECT_TRUE(Exists(m_copy + "/f"));

        if (std::string(c.by) == "rerun") {
            SMVolSnapInfo again = m_record;
            JZSnapClientAPI client;
            ASSERT_TRUE(client.mountVolumes(again)) << again.getErrorString();
            EXPECT_EQ(1, MountsAt(m_path)) << "mounts stacked";
            struct statvfs vfs;
            ASSERT_EQ(0, ::statvfs(m_path.c_str(), &vfs));
            EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
            ASSERT_TRUE(client.unmount(again)) << again.getErrorString();
        } else {
            nuvtest::ProgramResult r = Jz({"snapshot", "unmount", m_id});
            EXPECT_EQ(0, r.exitCode) << r.err;
        }
        EXPECT_EQ(0, MountsAt(m_path));
        EXPECT_EQ(0, Rows("SELECT count(*) FROM sm_mounts"));
    }
}

TEST_F(MountKillTest, AnUnmountThatLeavesAMountOfTheSnapshotFails) {
    JZSnapClientAPI client;
    SMVolSnapInfo m = m_record;
    ASSERT_TRUE(client.mountVolumes(m)) << m.getErrorString();
    // Something else mounted over the suite's mount hides it from a plain unmount.
    ASSERT_EQ(0, ::mount("none", m_path.c_str(), "tmpfs", 0, "size=1m"));
    nuvtest::ProgramResult r = Jz({"snapshot", "unmount", m_id});
    EXPECT_NE(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("is still mounted at [" + m_path + "]")) << r.err;

    ASSERT_EQ(0, ::umount2(m_path.c_str(), 0));
    r = Jz({"snapshot", "unmount", m_id});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0, MountsAt(m_path));
}

}  // namespace
