// ASM disk groups of the local snapshot manager: a group declared with its
// disk volumes (through the admin command) turns a record of group volumes
// into a record of disk volumes.
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"
#include "snap_env.h"
#include "support/suite_root.h"

namespace {

using snaptest::SnapEnv;

void Declare(std::vector<std::string> words) {
    words.insert(words.begin(), "declare");
    nuvtest::ProgramResult r = nuvtest::RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite", words);
    ASSERT_EQ(0, r.exitCode) << r.err;
}

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
    Declare({"asmgroup", "name=DATA"});
    Declare({"asmdisk", "group_name=DATA", "path=" + d2});
    Declare({"asmdisk", "group_name=DATA", "path=" + d1});
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
    Declare({"asmgroup", "name=EMPTY"});
    Declare({"asmgroup", "name=BROKEN"});
    Declare({"asmdisk", "group_name=BROKEN", "path=relative/disk"});
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
