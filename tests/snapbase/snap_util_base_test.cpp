// The snapshot utility base: mount-point table, reload rule, job object,
// pre/post snap tasks, loading, mounting and unmounting a job's snapshots.
#include "snapmgr/snap_env.h"

#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapbase/snap_util_base.h"

#include <sys/stat.h>

namespace {

using nuvtest::DeclareRow;
using snaptest::Exists;
using snaptest::IsMounted;
using snaptest::ReadFile;
using snaptest::SnapEnv;
using snaptest::WriteFile;

// The base is abstract in spirit only; a plain derived object serves the tests.
class Utility : public NuvSnapUtilBase {
public:
    explicit Utility(JZJobCtrlClient* jobControl = nullptr, char* host = nullptr)
        : NuvSnapUtilBase(20, 1, false, jobControl, host, SpawnProcess(SPAWN_IN_PROCESS)) {}
    using NuvSnapUtilBase::m_mountPoints;
    using NuvSnapUtilBase::m_snapShotInfo;
};

// A path handed to addMountPoint: whether it is added, and under which key.
struct AddCase {
    std::string path;
    int added;
    std::string key;
};

void ExpectAdded(Utility& u, std::vector<AddCase> const& cases) {
    for (auto const& c : cases) {
        EXPECT_EQ(c.added, u.addMountPoint(c.path.c_str(), nullptr)) << c.path;
        if (c.added) EXPECT_EQ(c.key, u.getMountPoint(c.path.c_str())) << c.path;
    }
}

TEST(SnapUtilBase, AddMountPointKeysPathsByTheVolumeThatHoldsThem) {
    SnapEnv env;
    std::string vol = env.dir() + "/vol", other = env.dir() + "/other";
    WriteFile(vol + "/db/a.dbf", "a");
    WriteFile(vol + "/db/b.dbf", "b");
    WriteFile(other + "/c.dbf", "c");
    SnapEnv::DeclareVolume(vol);
    SnapEnv::DeclareVolume(vol + "/db");  // a nested declared volume: the longest path wins
    SnapEnv::DeclareVolume(other);
    Utility u;
    ExpectAdded(u, {
        {vol + "/db/a.dbf", 1, vol + "/db"},
        {vol + "/db/b.dbf", 1, vol + "/db"},
        {vol + "//db/./b.dbf", 1, vol + "/db"},  // the same path again, written otherwise
        {other + "/c.dbf", 1, other},
        {vol, 1, vol},
        {env.dir() + "/missing", 0, ""},
        {"relative/path", 0, ""},
    });
    EXPECT_EQ(0, u.addMountPoint(nullptr, nullptr));
    EXPECT_EQ(0, u.addMountPointByDirectory((vol + "/db/a.dbf").c_str(), nullptr));  // not a directory
    EXPECT_EQ(1, u.addMountPointByDirectory((vol + "/db").c_str(), nullptr));
    auto const& table = u.getMountPoints();
    ASSERT_EQ(3u, table.size());
    EXPECT_EQ((std::set<std::string>{vol + "/db", vol + "/db/a.dbf", vol + "/db/b.dbf"}), table.at(vol + "/db"));
    EXPECT_EQ(std::set<std::string>{other + "/c.dbf"}, table.at(other));
    EXPECT_EQ(std::set<std::string>{vol}, table.at(vol));
}

// An ASM path is registered under its declared disk group when it lies on one
// of the group's disk volumes. An undeclared group is refused and says so.
TEST(SnapUtilBase, AddMountPointTakesADeclaredDiskGroup) {
    SnapEnv env;
    std::string const d1 = env.dir() + "/disk1", d2 = env.dir() + "/disk2";
    WriteFile(d1 + "/ORCL/users.dbf", "u");
    WriteFile(d2 + "/ORCL/system.dbf", "s");
    SnapEnv::DeclareVolume(d1);
    SnapEnv::DeclareVolume(d2);
    DeclareRow({"asmgroup", "name=DATA"});
    DeclareRow({"asmdisk", "group_name=DATA", "path=" + d1});
    DeclareRow({"asmdisk", "group_name=DATA", "path=" + d2});
    DeclareRow({"asmgroup", "name=EMPTY"});
    Utility u;
    ExpectAdded(u, {
        {"+DATA", 1, "+DATA"},
        {"+data/ORCL/users.dbf", 1, "+DATA"},  // group names without case
        {"+DATA//ORCL/system.dbf", 1, "+DATA"},
        {"+DATA/ORCL/missing.dbf", 0, ""},      // on no disk
        {"+DATA/../disk1/ORCL", 0, ""},         // never outside the disks
        {"+FRA", 0, ""},                        // not declared
        {"+FRA/ORCL/users.dbf", 0, ""},
        {"+EMPTY", 0, ""},                      // declared without disks
        {"+", 0, ""},
    });
    EXPECT_EQ("", u.getMountPoint("+FRA/x"));
    EXPECT_EQ(0, u.addMountPointByDirectory("+DATA/ORCL/users.dbf", nullptr));  // not a directory
    EXPECT_EQ(1, u.addMountPointByDirectory("+DATA/ORCL", nullptr));
    EXPECT_EQ((std::map<std::string, std::set<std::string>>{
                  {"+DATA", {"+DATA", "+DATA/ORCL", "+DATA/ORCL/system.dbf", "+data/ORCL/users.dbf"}}}),
              u.getMountPoints());
    std::string const log = ReadFile(env.state() + "/logs/nuvdbsnap.log");
    EXPECT_NE(std::string::npos, log.find("mount point [+FRA] names the ASM disk group [+FRA], which is not declared"))
        << log;
}

TEST(SnapUtilBase, ReloadFlagFollowsTheSnapshotInfoFile) {
    SnapEnv env;
    ::setenv("JZ_JOB_ID", "4242", 1);
    std::string file = NuvSnapUtilBase::SnapShotInfoFilePath(4242);
    ASSERT_FALSE(file.empty());
    EXPECT_NE(std::string::npos, file.find("/JZ_JobResults/2/0/4242/.snapShotInfo_4242"));
    {
        Utility u;
        EXPECT_EQ(4242u, u.getJobId());
        EXPECT_EQ(0, u.getJobState().reload);
    }
    WriteFile(file, "<SMVolSnapInfo/>");
    {
        Utility u;  // a later process of the same job finds the prepare made elsewhere
        EXPECT_EQ(1, u.getJobState().reload);
        ASSERT_EQ(0, ::unlink(file.c_str()));
        EXPECT_FALSE(u.refreshReloadFlag());
        EXPECT_EQ(0, u.getJobState().reload);
    }
    ::unsetenv("JZ_JOB_ID");
}

TEST(SnapUtilBase, StateAndAccessors) {
    SnapEnv env;
    char host[] = "proxy*proxy*8400";
    Utility u(nullptr, host);
    host[0] = 'X';  // the base keeps its own copy
    EXPECT_STREQ("proxy*proxy*8400", u.getHost());
    EXPECT_EQ(20, u.getEngineType());
    EXPECT_EQ(1, u.getSnapType());
    EXPECT_EQ(SPAWN_IN_PROCESS, u.getSpawnProcess());
    EXPECT_EQ(0u, u.getReplicationType());
    u.setBrannoxId(2);
    u.setClientId(17);
    EXPECT_EQ(2, u.getBrannoxId());
    EXPECT_EQ(17, u.getClientId());
    EXPECT_EQ(nullptr, u.getJobObject());  // no job control, no job object
    EXPECT_FALSE(u.checkIfShouldQuit());
    EXPECT_EQ(nullptr, u.getMountRequest());
    NuvSnapMountRequest req;
    req.mountMode = 2;
    req.cloneMountPrefix = "/clone/db1";
    u.setMountRequest(req);
    ASSERT_NE(nullptr, u.getMountRequest());
    EXPECT_EQ("/clone/db1", u.getMountRequest()->cloneMountPrefix);
    u.getJobState().customizedIndexMap.reset(new std::map<std::string, std::string>{{"a", "b"}});
    EXPECT_EQ(1u, u.getJobState().customizedIndexMap->size());
}

TEST(SnapUtilBase, JobObjectAndQuitFlagComeFromTheJobControlClient) {
    SnapEnv env;
    nuvjobmgr::JobInfo job;
    ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &job).IsError());
    JZJobCtrlClient control;
    ASSERT_TRUE(control.Init2(job.id, "server", 1, 4, job.token.c_str(), nullptr));
    Utility u(&control);
    EXPECT_EQ(static_cast<uint64_t>(job.id), u.getJobId());
    JZJobClient* object = u.getJobObject();
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(object, u.getJobObject());  // built once, owned by the base
    EXPECT_EQ(static_cast<uint64_t>(job.id), object->getJobId());
    EXPECT_NE(nullptr, dynamic_cast<JZBkpJobClient*>(object));
    *object << "pending text";
    EXPECT_TRUE(object->setPendingCauseAndEvent(0x0600003A, 3, 0, false, 300, false, 0, 0, 0, 0));
    auto causes = nuvjobmgr::ListPendingCauses(job.id);
    ASSERT_EQ(1u, causes.size());
    EXPECT_EQ(std::vector<std::string>{"pending text"}, causes[0].args);
    EXPECT_FALSE(u.checkIfShouldQuit());
    ASSERT_FALSE(nuvjobmgr::SetQuitFlag(job.id, true).IsError());
    EXPECT_TRUE(u.checkIfShouldQuit());
}

TEST(SnapUtilBase, PrePostSnapTasksRunTheDeclaredProgramWithoutAShell) {
    SnapEnv env;
    std::string marker = env.dir() + "/pre-ran";
    std::string injected = env.dir() + "/injected";
    std::string oddName = env.dir() + "/x;touch injected $(touch injected)";
    auto& cat = nuvsuite::Catalogue::Instance();
    ASSERT_FALSE(cat.Exec("INSERT INTO sm_snap_tasks(app_id, phase, program, args) VALUES(?, 1, '/usr/bin/touch', ?)",
                          {int64_t(5), "'" + marker + "' '" + oddName + "'"})
                     .IsError());
    ASSERT_FALSE(cat.Exec("INSERT INTO sm_snap_tasks(app_id, phase, program, args) VALUES(5, 2, '/bin/false', '')")
                     .IsError());
    Utility u;
    struct Case {
        unsigned long app;
        int phase;
        bool succeeds;
    } const cases[] = {{5, 1, true}, {5, 2, false}, {6, 1, true} /* none declared */};
    for (auto const& c : cases)
        EXPECT_EQ(c.succeeds, u.runPrePostSnapTask(c.app, c.phase, 0, 1) == 0) << c.app << "/" << c.phase;
    EXPECT_TRUE(Exists(marker));
    EXPECT_TRUE(Exists(oddName));    // one argument, taken as it is
    EXPECT_FALSE(Exists(injected));  // no second program ran
    EXPECT_FALSE(Exists("injected"));
    nuvsuite::AddFault("snapbase", "NuvSnapUtilBase::runPrePostSnapTask", 9, "task refused", 1);
    EXPECT_NE(0, u.runPrePostSnapTask(5, 1, 0, 1));
}

TEST(SnapUtilBase, ConsolidateKeepsEachVolumeAndSnapOnce) {
    SMVolSnapInfo r;
    for (int i : {1, 2, 1}) {
        SMVolumeInfo v;
        v.setSMVolumeId(i);
        r.addVolume(v, true);
        SMSnapInfo s;
        s.setSMSnapId(10 + i);
        r.addSnap(s);
        r.addVolSnapMap(SMVolSnapMapInfo(i, 10 + i));
    }
    SMVolSnapInfo c;
    std::map<int, int> snapToVolume, volumeToSnap;
    NuvSnapUtilBase::consolidateSnaps(r, c, snapToVolume, volumeToSnap);
    EXPECT_EQ(2u, c.getNumVolumes());
    EXPECT_EQ(2u, c.getNumSnaps());
    EXPECT_EQ(2u, c.volSnapMap().size());
    EXPECT_EQ((std::map<int, int>{{11, 1}, {12, 2}}), snapToVolume);
    EXPECT_EQ((std::map<int, int>{{1, 11}, {2, 12}}), volumeToSnap);
}

class SnapUtilBaseMount : public ::testing::Test {
protected:
    void SetUp() override {
        if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting needs root";
    }
};

TEST_F(SnapUtilBaseMount, LoadMountAndUnmountASnapJob) {
    SnapEnv env;
    std::string a = env.dir() + "/a", b = env.dir() + "/b";
    WriteFile(a + "/f", "A");
    WriteFile(b + "/f", "B");
    SnapEnv::DeclareVolume(a);
    SnapEnv::DeclareVolume(b);
    SMVolSnapInfo made = SnapEnv::Record(71, {a, b});
    made.volumes()[0].setArchFileId(501);
    made.volumes()[1].setArchFileId(502);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(made));
    ASSERT_TRUE(client.createVolumeSnaps(made));

    {  // by snap job: both volumes, then the no-argument unmount
        Utility u;
        u.setBrannoxId(2);
        ASSERT_FALSE(u.LoadAndMountVolumestForJobID(71, true, 0).IsError());
        ASSERT_EQ(2u, u.m_snapShotInfo.getNumVolumes());
        std::vector<std::string> paths;
        for (auto const& v : u.m_snapShotInfo.volumes()) paths.push_back(v.getMountPath());
        EXPECT_EQ("A", ReadFile(paths[0] + "/f"));
        EXPECT_EQ("B", ReadFile(paths[1] + "/f"));
        CFzError e = u.UnmountSnapshots();
        ASSERT_FALSE(e.IsError()) << e.AsString();
        for (auto const& p : paths) {
            EXPECT_FALSE(IsMounted(p));
            EXPECT_FALSE(Exists(p));
        }
    }
    {  // by archive files: only the one asked for; unmount by Brannox id and snap job
        Utility u;
        SMVolSnapInfo out;
        ASSERT_FALSE(u.LoadAndMountVolumesForArchiveFiles({502}, 2, out).IsError());
        ASSERT_EQ(1u, out.getNumVolumes());
        std::string path = out.volumes()[0].getMountPath();
        EXPECT_EQ("B", ReadFile(path + "/f"));
        // The same snapshot mounted a second time elsewhere (a verification mount, say).
        SMVolSnapInfo second = out;
        std::string other = env.state() + "/temp/FSSNAP_2_502";
        second.volumes()[0].setMountPath(other);
        ASSERT_TRUE(client.mountVolumes(second)) << second.getErrorString();
        ASSERT_TRUE(IsMounted(other));
        ASSERT_FALSE(u.UnmountSnapshots(2, 71).IsError());
        EXPECT_FALSE(IsMounted(path));
        EXPECT_FALSE(IsMounted(other));  // every mount of the snap job's snapshots is released
        EXPECT_FALSE(Exists(other));
    }
    {  // a snap job without snapshots is an error
        Utility u;
        CFzError e = u.LoadAndMountVolumestForJobID(72, true, 0);
        EXPECT_TRUE(e.IsError());
        SMVolSnapInfo out;
        EXPECT_TRUE(u.LoadAndMountVolumesForArchiveFiles({999}, 2, out).IsError());
    }
}

}  // namespace
