// ASM disk groups of the local snapshot manager: a group declared with its
// disk volumes (through the admin command) turns a record of group volumes
// into a record of disk volumes, and a group's volume is prepared, snapped and
// mounted as one volume.
#include "nuvdbsnap/platform/snapmgr/prepared_record.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"
#include "snap_env.h"
#include "support/suite_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace {

using snaptest::SnapEnv;

using nuvtest::DeclareRow;

SMVolumeInfo Volume(std::string const& source, int flags) {
    SMVolumeInfo v;
    v.setSourcePath(source);
    v.setVolumeFlags(flags);
    v.setArchFileId(5);
    v.setAppTypeId(22);
    return v;
}

TEST(AsmGroups, EachGroupVolumeBecomesItsDiskVolumes) {
    SnapEnv env;
    std::string const d1 = env.dir() + "/disk1", d2 = env.dir() + "/disk2";
    snaptest::WriteFile(d1 + "/x", "");
    snaptest::WriteFile(d2 + "/x", "");
    SnapEnv::DeclareVolume(d2, "xfs", "rw,noatime");
    SnapEnv::DeclareVolume(d1);
    DeclareRow({"asmgroup", "name=DATA"});
    DeclareRow({"asmdisk", "group_name=DATA", "path=" + d2});
    DeclareRow({"asmdisk", "group_name=DATA", "path=" + d1});
    SMVolSnapInfo record;
    record.addVolume(Volume("+data/db1", JZSM_VOLUMEFLAGS_ASM_DISKGROUP | 0x2), true);
    record.addVolume(Volume("/plain", 0x1), true);
    SMVolSnapInfo disks;
    JZSnapClientAPI client;
    ASSERT_TRUE(client.GetDiskVolSnapForASMVolSnap(record, disks)) << disks.getErrorString();
    ASSERT_EQ(3u, disks.getNumVolumes());
    struct Want {
        std::string source, original, device, options;
        int flags;
    } const want[] = {{d1, "+data/db1", "/dev/test-" + std::to_string(d1.size()), "ext4:rw", 0x2},
                      {d2, "+data/db1", "/dev/test-" + std::to_string(d2.size()), "xfs:rw,noatime", 0x2},
                      {"/plain", "", "", "", 0x1}};
    for (size_t i = 0; i < 3; ++i) {
        SMVolumeInfo const& v = disks.volumes()[i];
        EXPECT_EQ(want[i].source, v.getSourcePath());
        EXPECT_EQ(want[i].original, v.getOriginalSourcePath());
        EXPECT_EQ(want[i].device, v.getSourceDevice());
        EXPECT_EQ(want[i].options, v.getMountOptions());
        EXPECT_EQ(want[i].flags, v.getVolumeFlags());
        EXPECT_EQ(5, v.getArchFileId());
    }
}

TEST(AsmGroups, GroupsThatCannotBeTurnedIntoDisks) {
    SnapEnv env;
    DeclareRow({"asmgroup", "name=EMPTY"});
    DeclareRow({"asmgroup", "name=BROKEN"});
    DeclareRow({"asmdisk", "group_name=BROKEN", "path=relative/disk"});
    struct Case {
        char const* source;
        char const* text;
    } const cases[] = {{"+FRA", "is unknown to the local snapshot manager"},
                       {"+", "is unknown to the local snapshot manager"},
                       {"+empty", "has no disk volumes"},
                       {"+BROKEN", "is no volume"}};
    for (auto const& c : cases) {
        SMVolSnapInfo record;
        record.addVolume(Volume(c.source, JZSM_VOLUMEFLAGS_ASM_DISKGROUP), true);
        SMVolSnapInfo disks;
        JZSnapClientAPI client;
        EXPECT_FALSE(client.GetDiskVolSnapForASMVolSnap(record, disks)) << c.source;
        std::string text;
        (void)client.getErrCodeAndStr(text);
        EXPECT_NE(std::string::npos, text.find(c.text)) << c.source << ": " << text;
        EXPECT_NE(0, disks.getErrorCode()) << c.source;
    }
    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::GetDiskVolSnapForASMVolSnap", 9, "array offline", 1);
    SMVolSnapInfo plain, disks;
    plain.addVolume(Volume("/plain", 0), true);
    JZSnapClientAPI client;
    EXPECT_FALSE(client.GetDiskVolSnapForASMVolSnap(plain, disks));
    EXPECT_EQ(9, client.getErrCode());
}

}  // namespace

namespace {

// Two disks of group DATA with a directory on both and a file on each; the
// second disk holds two names of one file.
struct GroupDisks {
    explicit GroupDisks(SnapEnv const& env) : d1(env.dir() + "/disk1"), d2(env.dir() + "/disk2") {
        snaptest::WriteFile(d1 + "/ORCL/users.dbf", "users at the snap");
        snaptest::WriteFile(d2 + "/ORCL/system.dbf", "system at the snap");
        EXPECT_EQ(0, ::link((d2 + "/ORCL/system.dbf").c_str(), (d2 + "/ORCL/system_link.dbf").c_str()));
        SnapEnv::DeclareVolume(d1);
        SnapEnv::DeclareVolume(d2, "xfs", "rw");
        DeclareRow({"asmgroup", "name=DATA"});
        DeclareRow({"asmdisk", "group_name=DATA", "path=" + d1});
        DeclareRow({"asmdisk", "group_name=DATA", "path=" + d2});
    }
    std::string d1, d2;
};

SMVolSnapInfo GroupRecord(int job, char const* source) {
    SMVolSnapInfo record = SnapEnv::Record(job, {source});
    record.volumes()[0].setVolumeFlags(0x4000);
    record.volumes()[0].setArchFileId(5);
    return record;
}

// A volume that names a declared group stays one volume: the prepare marks it
// as the group's, its snapshot holds the files of all the disks as they were,
// and it mounts under a disk-group name or at a path, like any volume.
TEST(AsmGroups, AGroupVolumeIsPreparedSnappedAndMountedAsOneVolume) {
    if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting snapshots needs root";
    SnapEnv env;
    GroupDisks disks(env);
    SMVolSnapInfo record = GroupRecord(7, "+DATA");
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(record)) << record.getErrorString();
    ASSERT_EQ(1u, record.getNumVolumes());
    SMVolumeInfo const& group = record.volumes()[0];
    EXPECT_EQ("+DATA", group.getSourcePath());
    EXPECT_EQ(JZSM_VOLUMEFLAGS_ASM_DISKGROUP | 0x4000, group.getVolumeFlags());
    EXPECT_EQ("", group.getSourceDevice());
    EXPECT_GT(group.getSMVolumeId(), 0);

    // The block-level view of the prepared record: its disks, without the flag.
    SMVolSnapInfo diskRecord;
    ASSERT_TRUE(client.GetDiskVolSnapForASMVolSnap(record, diskRecord)) << diskRecord.getErrorString();
    ASSERT_EQ(2u, diskRecord.getNumVolumes());
    for (size_t i = 0; i < 2; ++i) {
        SMVolumeInfo const& v = diskRecord.volumes()[i];
        EXPECT_EQ(i == 0 ? disks.d1 : disks.d2, v.getSourcePath());
        EXPECT_EQ("+DATA", v.getOriginalSourcePath());
        EXPECT_EQ(i == 0 ? "ext4:rw" : "xfs:rw", v.getMountOptions());
        EXPECT_EQ(0x4000, v.getVolumeFlags());
    }

    ASSERT_EQ(1, client.preCreateVolumeSnaps(record)) << record.getErrorString();
    ASSERT_TRUE(client.createVolumeSnaps(record)) << record.getErrorString();
    ASSERT_EQ(1u, record.getNumVolumes());
    ASSERT_EQ(1u, record.snaps().size());
    EXPECT_EQ(record.snaps()[0].getSMSnapId(), record.volumes()[0].getSMSnapId());
    EXPECT_EQ(1, client.postCreateVolumeSnaps(record)) << record.getErrorString();
    snaptest::WriteFile(disks.d1 + "/ORCL/users.dbf", "changed later");
    snaptest::WriteFile(disks.d2 + "/ORCL/late.dbf", "made later");

    // Under a disk-group name: the group's place; at a path: that path.
    std::string const byName =
        env.state() + "/mounts/asm/DATA_CLONE/" + std::to_string(record.volumes()[0].getSMSnapId());
    std::string const atPath = env.state() + "/mounts/verify";
    for (auto const& c : {std::make_pair(std::string("+DATA_CLONE"), byName), std::make_pair(atPath, atPath)}) {
        SCOPED_TRACE(c.first);
        SMVolSnapInfo mounted = record;
        mounted.volumes()[0].setMountPath(c.first);
        ASSERT_TRUE(client.mountVolumes(mounted)) << mounted.getErrorString();
        EXPECT_EQ(c.second, mounted.volumes()[0].getMountPath());
        EXPECT_EQ("users at the snap", snaptest::ReadFile(c.second + "/ORCL/users.dbf"));
        EXPECT_EQ("system at the snap", snaptest::ReadFile(c.second + "/ORCL/system.dbf"));
        EXPECT_FALSE(snaptest::Exists(c.second + "/ORCL/late.dbf"));
        struct stat one, other;
        ASSERT_EQ(0, ::stat((c.second + "/ORCL/system.dbf").c_str(), &one));
        ASSERT_EQ(0, ::stat((c.second + "/ORCL/system_link.dbf").c_str(), &other));
        EXPECT_EQ(one.st_ino, other.st_ino);  // still two names of one file
        SMVolSnapInfo release = record;
        release.volumes()[0].setMountPath(c.first);
        ASSERT_TRUE(client.unmount(release)) << release.getErrorString();
        EXPECT_FALSE(snaptest::IsMounted(c.second));
        EXPECT_EQ("", release.volumes()[0].getMountPath());
    }

    // A disk-group mount path is a name and nothing more.
    for (char const* path : {"+", "+DATA/x", "+.."}) {
        SMVolSnapInfo bad = record;
        bad.volumes()[0].setMountPath(path);
        EXPECT_FALSE(client.mountVolumes(bad)) << path;
        EXPECT_NE(std::string::npos, bad.getErrorString().find("is not usable"))
            << path << ": " << bad.getErrorString();
    }
}

// A prepared record handed to another process of the job keeps its group
// volume as long as the group it names still has its disks.
TEST(AsmGroups, AHandedOverRecordKeepsItsGroupVolume) {
    SnapEnv env;
    GroupDisks disks(env);
    SMVolSnapInfo record = GroupRecord(11, "+DATA");
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(record)) << record.getErrorString();
    CFzError e = nuvsnapmgr::CheckPreparedRecord(record, 11);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    EXPECT_TRUE(nuvsnapmgr::CheckPreparedRecord(record, 12).IsError());  // not the other job's
    ASSERT_FALSE(nuvsuite::Catalogue::Instance().Exec("DELETE FROM sm_asm_disks", {}).IsError());
    e = nuvsnapmgr::CheckPreparedRecord(record, 11);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find("ASM disk group [+DATA] has no disk volumes")) << e.AsString();
}

// Group volumes that the snapshot manager refuses, at the step that finds the
// fault; a refused create leaves no snapshot, not even a part of one.
TEST(AsmGroups, GroupVolumesThatAreRefused) {
    struct Case {
        char const* name;
        char const* source;
        std::function<void(GroupDisks const&)> damage;  // done after the prepare
        char const* failingStep;                        // "prepare", "precreate" or "create"
        char const* text;
    } const cases[] = {
        {"Undeclared", "+FRA", nullptr, "prepare", "is unknown to the local snapshot manager"},
        {"FileOnTwoDisks", "+DATA",
         [](GroupDisks const& d) { snaptest::WriteFile(d.d2 + "/ORCL/users.dbf", "a second users"); }, "create",
         "[/ORCL/users.dbf] lies on more than one disk of the group"},
        {"LinkOverADirectory", "+DATA",
         [](GroupDisks const& d) { EXPECT_EQ(0, ::symlink("/tmp", (d.d2 + "/ORCL2").c_str()));
                                   snaptest::WriteFile(d.d1 + "/ORCL2/x", "x"); },
         "create", "[/ORCL2] lies on more than one disk of the group"},
        {"DiskGone", "+DATA", [](GroupDisks const& d) { std::filesystem::remove_all(d.d2); }, "precreate",
         "is not a directory"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SnapEnv env;
        GroupDisks disks(env);
        SMVolSnapInfo record = GroupRecord(9, c.source);
        JZSnapClientAPI client;
        bool const prepared = client.prepareVolumeSnaps(record);
        std::string step = prepared ? "" : "prepare";
        if (prepared && c.damage) c.damage(disks);
        if (step.empty() && client.preCreateVolumeSnaps(record) != 1) step = "precreate";
        if (step.empty() && !client.createVolumeSnaps(record)) step = "create";
        EXPECT_EQ(c.failingStep, step);
        EXPECT_NE(std::string::npos, record.getErrorString().find(c.text)) << record.getErrorString();
        EXPECT_EQ(0u, record.snaps().size());
        std::vector<std::string> left;  // what the refused create left among the snapshots
        std::error_code ec;
        for (auto const& entry : std::filesystem::directory_iterator(env.state() + "/snapshots", ec))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(std::vector<std::string>{}, left);
    }
}

}  // namespace
