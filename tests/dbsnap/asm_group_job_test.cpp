// A block-level Oracle job over a declared ASM disk group, from a fresh state
// root: the group's mount point is one volume of the job's record, which the
// snapshot manager marks as the group's at the prepare; the block-level
// library hears of the group's disks around the snap, the verification and
// the mount follow the disk-group rules, and the content index holds the
// files under their ASM names.
#include "tests/dbsnap/driver_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "tests/snapmgr/snap_env.h"

using namespace nuvdbsnaptest;

namespace {

class AsmGroupJobTest : public DriverTest {
protected:
    // Two disk volumes with a file each, declared as the disks of group DATA.
    void DeclareGroup() {
        m_disk1 = m_root.base() + "/asmdisk1";
        m_disk2 = m_root.base() + "/asmdisk2";
        WriteFile(m_disk1 + "/ORCL/users.dbf", "users at the snap");
        WriteFile(m_disk2 + "/ORCL/system.dbf", "system at the snap");
        DeclareVolume(m_disk1, "/dev/asmdisk1", "ext4", "rw");
        DeclareVolume(m_disk2, "/dev/asmdisk2", "ext4", "rw");
        nuvtest::DeclareRow({"asmgroup", "name=DATA"});
        nuvtest::DeclareRow({"asmdisk", "group_name=DATA", "path=" + m_disk1});
        nuvtest::DeclareRow({"asmdisk", "group_name=DATA", "path=" + m_disk2});
    }

    void TearDown() override { snaptest::UnmountBelow(m_root.path()); }

    std::string m_disk1, m_disk2;
};

TEST_F(AsmGroupJobTest, BlockLevelJobSnapsMountsAndIndexesADeclaredGroup) {
    DeclareApp(22, true);
    DeclareGroup();
    InstallBlockLevelLibrary();
    ASSERT_FALSE(nuvindexing::SetGeneration(2, static_cast<uint32_t>(m_appId), false).IsError());
    JZJobCtrlClient control;
    ASSERT_TRUE(control.Init2(m_jobId, "local", 0, 0, m_jobToken.c_str(), nullptr));
    NuvSnapUtilDb util(2, JZBkpLevel(1), m_application.get(), 1, false, &control, nullptr, SPAWN_IN_PROCESS);
    util.setBrannoxId(2);  // as the job driver does
    std::vector<std::string> args{"-j", std::to_string(m_jobId)};
    ASSERT_FALSE(util.initialize(args).IsError());
    ASSERT_TRUE(util.IsBlockLevelBackup());

    // The group's paths are taken, an undeclared group's are not.
    ASSERT_EQ(1, util.addMountPoint("+DATA/ORCL/users.dbf", nullptr));
    ASSERT_EQ(1, util.addMountPoint("+DATA/ORCL/system.dbf", nullptr));
    EXPECT_EQ(0, util.addMountPoint("+FRA/ORCL/redo01.log", nullptr));
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    SMVolSnapInfo archived;
    ASSERT_EQ(0, util.createSnapArchiveFiles(archive, request, &archived, nullptr));
    ASSERT_EQ(1u, archived.getNumVolumes());
    EXPECT_EQ("+DATA", archived.volumes()[0].getSourcePath());
    EXPECT_EQ(0, archived.volumes()[0].getVolumeFlags());
    int const archFileId = archived.volumes()[0].getArchFileId();
    auto const added = util.getMountPoints();

    ASSERT_EQ(0, util.prepareSnapShot(nullptr, nullptr, false));
    SMVolSnapInfo out;
    ASSERT_EQ(0, util.createSnapShot(nullptr, nullptr, false, &out));
    WriteFile(m_disk1 + "/ORCL/users.dbf", "users changed after the snap");
    ASSERT_EQ(0, util.postCreateSnapShot(nullptr, nullptr, false, nullptr));

    // One snapshot of the group's volume, of the group's archive file; the
    // job's mount points are those the agent added.
    ASSERT_EQ(1u, out.getNumVolumes());
    ASSERT_EQ(1u, out.snaps().size());
    EXPECT_EQ(added, util.getMountPoints());
    SMVolSnapInfo stored;
    stored.setJobId(static_cast<int>(m_jobId));
    JZSnapClientAPI client;
    ASSERT_TRUE(client.getVolumeSnaps(stored)) << stored.getErrorString();
    ASSERT_EQ(1u, stored.getNumVolumes());
    EXPECT_EQ("+DATA", stored.volumes()[0].getSourcePath());
    EXPECT_EQ(archFileId, stored.volumes()[0].getArchFileId());
    EXPECT_NE(0, stored.volumes()[0].getVolumeFlags() & JZSM_VOLUMEFLAGS_ASM_DISKGROUP);

    // The block-level library heard of the disks, as ASM volumes, in both phases.
    std::string const config = ReadFile(JobResultsDir() + "/BlockDeviceConfig.jzf");
    size_t const pre = config.find("phase\tPRE_SNAP"), post = config.find("phase\tPOST_SNAP");
    ASSERT_NE(std::string::npos, pre) << config;
    ASSERT_NE(std::string::npos, post) << config;
    for (size_t phase : {pre, post}) {
        for (auto const& disk : {std::make_pair(m_disk1, "asmdisk1"), std::make_pair(m_disk2, "asmdisk2")}) {
            std::string const line = "volume\t" + disk.first + "\t/dev/" + disk.second + "\tASM\trw\t22\t";
            EXPECT_NE(std::string::npos, config.find(line, phase)) << config;
        }
    }
    EXPECT_EQ(std::string::npos, config.find("+DATA")) << config;
    EXPECT_TRUE(Exists(JobResultsDir() + "/asmdisk1.bmp"));
    EXPECT_TRUE(Exists(JobResultsDir() + "/asmdisk2.bmp"));

    // The verification finds the group's files on its snapshot, mounted at
    // the temporary path of its archive file.
    CFzError verified = util.verifySnapShot(nullptr, nullptr);
    ASSERT_FALSE(verified.IsError()) << verified.AsString();
    std::string temp = NuvSnapUtilDb::FormSnapTempMountPath(2, archFileId, false);
    temp.pop_back();
    EXPECT_EQ(temp, util.getSnapShotInfo().volumes()[0].getMountPath());
    ASSERT_FALSE(util.UnmountSnapshots().IsError());

    // Mounted by the disk-group rules under its snapshot's group name, with
    // the files of both disks as they were at the snap.
    util.m_oraSnap = true;
    std::map<std::string, std::string> mounts;
    bool flag = false;
    CFzError e = util.mountAllSnapShotsForCurrentPhase(mounts, flag);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    ASSERT_EQ(1u, mounts.size());
    std::string const groupMounts = m_root.path() + "/mounts/asm/DATA_S";
    EXPECT_EQ(0u, mounts["+DATA"].find(groupMounts)) << mounts["+DATA"];
    EXPECT_EQ("users at the snap", ReadFile(mounts["+DATA"] + "/ORCL/users.dbf"));
    EXPECT_EQ("system at the snap", ReadFile(mounts["+DATA"] + "/ORCL/system.dbf"));

    // The content index holds the files under their ASM names; an ASM path is
    // no path of this host, so the files are not examined.
    std::string aging;
    bool const levelOne = true, no = false, statFiles = false;
    ASSERT_EQ(0, util.createIndex(aging, "mover", 2, static_cast<unsigned>(m_appId), 22u, m_jobId, nullptr, levelOne,
                                  no, no, no, std::string(), statFiles, false));
    auto runs = nuvindexing::ListRuns(m_jobId);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ("good", runs.back().status);
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(runs.back().id, &entries).IsError());
    std::set<std::string> files;
    for (auto const& entry : entries)
        if (!entry.isDir) files.insert(entry.path);
    EXPECT_EQ((std::set<std::string>{"+DATA/ORCL/system.dbf", "+DATA/ORCL/users.dbf"}), files);

    ASSERT_FALSE(util.UnmountSnapshots().IsError());
    for (auto const& m : mounts) EXPECT_FALSE(snaptest::IsMounted(m.second)) << m.second;
}

}  // namespace
