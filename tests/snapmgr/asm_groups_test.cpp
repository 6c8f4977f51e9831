// ASM disk groups of the local snapshot manager: a group declared with its
// disk volumes (through the admin command) turns a record of group volumes
// into a record of disk volumes.
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"
#include "snap_env.h"
#include "support/suite_root.h"

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

// A group volume is prepared as its disk volumes, which are snapped and
// mounted as disks of a disk-group name, and released by their snapshots.
TEST(AsmGroups, AGroupVolumeIsPreparedSnappedAndMountedAsItsDisks) {
    SnapEnv env;
    std::string const d1 = env.dir() + "/disk1", d2 = env.dir() + "/disk2";
    snaptest::WriteFile(d1 + "/ORCL/users.dbf", "users at the snap");
    snaptest::WriteFile(d2 + "/ORCL/system.dbf", "system at the snap");
    SnapEnv::DeclareVolume(d1);
    SnapEnv::DeclareVolume(d2, "xfs", "rw");
    DeclareRow({"asmgroup", "name=DATA"});
    DeclareRow({"asmdisk", "group_name=DATA", "path=" + d1});
    DeclareRow({"asmdisk", "group_name=DATA", "path=" + d2});

    SMVolSnapInfo record = SnapEnv::Record(7, {"+DATA"});
    record.volumes()[0].setVolumeFlags(JZSM_VOLUMEFLAGS_ASM_DISKGROUP | 0x4000);
    record.volumes()[0].setArchFileId(5);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(record)) << record.getErrorString();
    ASSERT_EQ(2u, record.getNumVolumes());
    for (size_t i = 0; i < 2; ++i) {
        SMVolumeInfo const& v = record.volumes()[i];
        EXPECT_EQ(i == 0 ? d1 : d2, v.getSourcePath());
        EXPECT_EQ("+DATA", v.getOriginalSourcePath());
        EXPECT_EQ(JZSM_VOLUMEFLAGS_ASM_DISKGROUP | 0x4000, v.getVolumeFlags());
        EXPECT_EQ(i == 0 ? "ext4:rw" : "xfs:rw", v.getMountOptions());
        EXPECT_EQ(5, v.getArchFileId());
        EXPECT_GT(v.getSMVolumeId(), 0);
    }
    EXPECT_NE(record.volumes()[0].getSMVolumeId(), record.volumes()[1].getSMVolumeId());

    // The block-level view of the prepared record: its disks, without the flag.
    SMVolSnapInfo disks;
    ASSERT_TRUE(client.GetDiskVolSnapForASMVolSnap(record, disks)) << disks.getErrorString();
    ASSERT_EQ(2u, disks.getNumVolumes());
    EXPECT_EQ(d2, disks.volumes()[1].getSourcePath());
    EXPECT_EQ(0x4000, disks.volumes()[1].getVolumeFlags());

    ASSERT_EQ(1, client.preCreateVolumeSnaps(record)) << record.getErrorString();
    ASSERT_TRUE(client.createVolumeSnaps(record)) << record.getErrorString();
    ASSERT_EQ(2u, record.snaps().size());
    snaptest::WriteFile(d1 + "/ORCL/users.dbf", "changed later");

    SMVolSnapInfo mounted = record;
    for (auto& v : mounted.volumes()) v.setMountPath("+DATA_CLONE");
    ASSERT_TRUE(client.mountVolumes(mounted)) << mounted.getErrorString();
    std::string const group = env.state() + "/mounts/asm/DATA_CLONE/";
    std::string const m1 = group + std::to_string(record.volumes()[0].getSMSnapId());
    std::string const m2 = group + std::to_string(record.volumes()[1].getSMSnapId());
    EXPECT_EQ(m1, mounted.volumes()[0].getMountPath());
    EXPECT_EQ(m2, mounted.volumes()[1].getMountPath());
    EXPECT_EQ("users at the snap", snaptest::ReadFile(m1 + "/ORCL/users.dbf"));
    EXPECT_EQ("system at the snap", snaptest::ReadFile(m2 + "/ORCL/system.dbf"));

    SMVolSnapInfo byName = record;
    for (auto& v : byName.volumes()) v.setMountPath("+DATA_CLONE");
    ASSERT_TRUE(client.unmount(byName)) << byName.getErrorString();
    EXPECT_FALSE(snaptest::IsMounted(m1));
    EXPECT_FALSE(snaptest::IsMounted(m2));
    EXPECT_EQ("", byName.volumes()[0].getMountPath());

    // A disk-group mount path is a name and nothing more.
    for (char const* path : {"+", "+DATA/x", "+.."}) {
        SMVolSnapInfo bad = record;
        for (auto& v : bad.volumes()) v.setMountPath(path);
        EXPECT_FALSE(client.mountVolumes(bad)) << path;
        EXPECT_NE(std::string::npos, bad.getErrorString().find("is not usable"))
            << path << ": " << bad.getErrorString();
    }

    // An undeclared group is not prepared.
    SMVolSnapInfo unknown = SnapEnv::Record(8, {"+FRA"});
    unknown.volumes()[0].setVolumeFlags(JZSM_VOLUMEFLAGS_ASM_DISKGROUP);
    EXPECT_FALSE(client.prepareVolumeSnaps(unknown));
    EXPECT_NE(std::string::npos, unknown.getErrorString().find("is unknown to the local snapshot manager"))
        << unknown.getErrorString();
}

}  // namespace
