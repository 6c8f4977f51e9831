// Mounts are read-only bind mounts; unmount and delete leave nothing behind.
#include "snap_env.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace {

using snaptest::Exists;
using snaptest::IsMounted;
using snaptest::ReadFile;
using snaptest::SnapEnv;
using snaptest::WriteFile;

int64_t CountRows(char const* table) {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query(std::string("SELECT COUNT(*) FROM ") + table, {}, &rows).IsError());
    return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
}

class MountTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting needs root";
    }
};

TEST_F(MountTest, MountIsReadOnlyAndUnmountLeavesNothing) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "content");
    SMVolSnapInfo r = SnapEnv::Snap(5, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();

    struct Case {
        char const* name;
        std::string askedPath;  // empty: the default under the state root
        std::string expected;
    } const cases[] = {
        {"default path", "", env.state() + "/mounts/" + std::to_string(r.snaps()[0].getSMSnapId())},
        {"asked path", env.state() + "/temp/FSSNAP_c1_2_7/", env.state() + "/temp/FSSNAP_c1_2_7"},
        {"asked nested path", env.state() + "/temp/a/b/c", env.state() + "/temp/a/b/c"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo m = r;
        m.volumes()[0].setMountPath(c.askedPath);
        JZSnapClientAPI client;
        ASSERT_TRUE(client.mountVolumes(m)) << m.getErrorString();
        std::string path = m.volumes()[0].getMountPath();
        EXPECT_EQ(c.expected, path);
        EXPECT_TRUE(IsMounted(path));
        EXPECT_EQ("content", ReadFile(path + "/f"));
        struct statvfs vfs;
        ASSERT_EQ(0, ::statvfs(path.c_str(), &vfs));
        EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
        int fd = ::open((path + "/new").c_str(), O_WRONLY | O_CREAT, 0644);
        EXPECT_LT(fd, 0);
        EXPECT_EQ(EROFS, errno);
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(1, CountRows("sm_mounts"));

        ASSERT_TRUE(client.unmount(m)) << m.getErrorString();
        EXPECT_FALSE(IsMounted(path));
        EXPECT_FALSE(Exists(path));
        EXPECT_EQ("", m.volumes()[0].getMountPath());
        EXPECT_EQ(0, CountRows("sm_mounts"));
    }
    EXPECT_FALSE(Exists(env.state() + "/temp/a"));  // directories made for the mount are gone too
    EXPECT_EQ("content", ReadFile(r.snaps()[0].getSnapDevice() + "/f"));
}

TEST_F(MountTest, DeletingAMountedSnapshotUnmountsItFirst) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "x");
    SMVolSnapInfo r = SnapEnv::Snap(6, {src});
    JZSnapClientAPI client;
    ASSERT_TRUE(client.mountVolumes(r)) << r.getErrorString();
    std::string path = r.volumes()[0].getMountPath();
    std::string copy = r.snaps()[0].getSnapDevice();
    ASSERT_TRUE(IsMounted(path));
    ASSERT_TRUE(client.deleteVolumeSnaps(r)) << r.getErrorString();
    EXPECT_FALSE(IsMounted(path));
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ(0, CountRows("sm_mounts"));
    EXPECT_EQ(0, CountRows("sm_snapshots"));
    EXPECT_EQ(0, CountRows("sm_volume_ids"));
    EXPECT_EQ("x", ReadFile(src + "/f"));
}

TEST_F(MountTest, MountOutsideTheStateRootKeepsTheCallersDirectory) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "x");
    std::string outside = env.dir() + "/agent-mount";  // the agent's own directory, not under the state root
    SMVolSnapInfo r = SnapEnv::Snap(8, {src});
    r.volumes()[0].setMountPath(outside);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.mountVolumes(r)) << r.getErrorString();
    EXPECT_TRUE(IsMounted(outside));
    ASSERT_TRUE(client.unmount(r));
    EXPECT_FALSE(IsMounted(outside));
    EXPECT_TRUE(Exists(outside));  // made outside the state root: not the suite's to remove
}

TEST_F(MountTest, UnmountAndMountRefuseWhatTheSuiteDidNotMake) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "x");
    SMVolSnapInfo r = SnapEnv::Snap(11, {src});
    JZSnapClientAPI client;

    SMVolSnapInfo foreign = r;
    foreign.volumes()[0].setMountPath(env.dir());  // never mounted by the suite
    EXPECT_FALSE(client.unmount(foreign));
    EXPECT_EQ(SM_ERR_NOT_FOUND, foreign.getErrorCode());
    EXPECT_TRUE(Exists(env.dir() + "/src/f"));

    // Mount paths among the snapshot copies (or climbing out with "..") are refused.
    std::string copy = r.snaps()[0].getSnapDevice();
    // So are paths inside the state root outside its mount area, and paths that
    // would cover the state root.
    for (std::string const& asked :
         {copy, copy + "/sub", env.state() + "/snapshots/new", env.state() + "/mounts/../snapshots/x",
          env.state() + "/temp/..", env.state(), env.state() + "/jobresults", env.state() + "/mounts",
          env.state() + "/temp", env.state() + "/newdir", env.dir()}) {
        SCOPED_TRACE(asked);
        SMVolSnapInfo m = r;
        m.volumes()[0].setMountPath(asked);
        EXPECT_FALSE(client.mountVolumes(m));
        EXPECT_EQ(SM_ERR_INVALID_ARGUMENT, m.getErrorCode()) << m.getErrorString();
    }
    EXPECT_FALSE(Exists(copy + "/sub"));
    EXPECT_FALSE(Exists(env.state() + "/snapshots/new"));
    EXPECT_FALSE(IsMounted(copy));
    EXPECT_EQ(0, CountRows("sm_mounts"));

    SMVolSnapInfo unsnapped = SnapEnv::Record(12, {src});
    EXPECT_FALSE(client.mountVolumes(unsnapped));
    EXPECT_EQ(SM_ERR_NOT_FOUND, unsnapped.getErrorCode());

    // Two volumes, the second without a snapshot: the first is not left mounted.
    SMVolSnapInfo mixed = r;
    mixed.volSnapMap().clear();
    SMVolumeInfo extra;
    extra.setSourcePath(src);
    mixed.addVolume(extra, true);
    EXPECT_FALSE(client.mountVolumes(mixed));
    EXPECT_EQ(0, CountRows("sm_mounts"));
    EXPECT_FALSE(Exists(env.state() + "/mounts/" + std::to_string(r.snaps()[0].getSMSnapId())));
}

// A link planted under the state root's mount area would carry a mount
// elsewhere (out of the state root, or into another of its folders): a mount
// path through such a link is refused, the default one too.
TEST_F(MountTest, MountPathThroughALinkUnderTheStateRootIsRefused) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "x");
    SMVolSnapInfo r = SnapEnv::Snap(14, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string const outside = env.dir() + "/outside";
    std::filesystem::create_directories(outside);
    std::string const mounts = env.state() + "/mounts";
    std::string const byDefault = mounts + "/" + std::to_string(r.snaps()[0].getSMSnapId());
    struct Case {
        char const* name;
        std::string link, target;
        std::string asked;  // empty: the default path
    } const cases[] = {
        {"default path is a link out of the state root", byDefault, outside, ""},
        {"default path is a dangling link", byDefault, outside + "/missing", ""},
        {"asked path below a link out of the state root", mounts + "/via", outside, mounts + "/via/x"},
        {"asked path below a link into the job results", env.state() + "/temp/via", env.state() + "/jobresults",
         env.state() + "/temp/via/x"},
    };
    JZSnapClientAPI client;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_directories(std::filesystem::path(c.link).parent_path());
        ASSERT_EQ(0, ::symlink(c.target.c_str(), c.link.c_str())) << std::strerror(errno);
        SMVolSnapInfo m = r;
        m.volumes()[0].setMountPath(c.asked);
        EXPECT_FALSE(client.mountVolumes(m));
        EXPECT_EQ(SM_ERR_INVALID_ARGUMENT, m.getErrorCode()) << m.getErrorString();
        EXPECT_NE(std::string::npos, m.getErrorString().find(c.link)) << m.getErrorString();
        EXPECT_FALSE(IsMounted(outside));
        EXPECT_FALSE(IsMounted(outside + "/x"));
        EXPECT_FALSE(Exists(outside + "/missing"));
        EXPECT_FALSE(Exists(outside + "/x"));
        EXPECT_FALSE(Exists(env.state() + "/jobresults/x"));
        EXPECT_EQ(0, CountRows("sm_mounts"));
        ASSERT_EQ(0, ::unlink(c.link.c_str()));
    }
    SMVolSnapInfo m = r;  // with the links gone the default path takes the mount
    ASSERT_TRUE(client.mountVolumes(m)) << m.getErrorString();
    EXPECT_EQ(byDefault, m.volumes()[0].getMountPath());
    ASSERT_TRUE(client.unmount(m)) << m.getErrorString();
}

// A bind mount of `dir` at `target` (made outside the snapshot manager).
void ForeignMount(std::string const& dir, std::string const& target) {
    std::filesystem::create_directories(target);
    ASSERT_EQ(0, ::mount(dir.c_str(), target.c_str(), nullptr, MS_BIND, nullptr)) << std::strerror(errno);
}

TEST_F(MountTest, UnmountLeavesAMountThatIsNotTheSuitesAlone) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "snap");
    std::string victim = env.dir() + "/victim";
    WriteFile(victim + "/precious", "keep me");
    SMVolSnapInfo r = SnapEnv::Snap(13, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();

    struct Case {
        char const* name;
        std::string asked;  // mount path asked for ("" = default)
        bool viaLink;       // the path is replaced by a link to another mount
    } const cases[] = {
        {"another mount in its place", "", false},
        {"path swapped for a link to another mount", env.state() + "/temp/q", true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo m = r;
        m.volumes()[0].setMountPath(c.asked);
        JZSnapClientAPI client;
        ASSERT_TRUE(client.mountVolumes(m)) << m.getErrorString();
        std::string path = m.volumes()[0].getMountPath();
        // The suite's mount goes away behind its back and something else takes its place.
        ASSERT_EQ(0, ::umount2(path.c_str(), 0));
        std::string foreign = path;
        if (c.viaLink) {
            foreign = env.dir() + "/foreign-mount";
            ASSERT_EQ(0, ::rmdir(path.c_str()));
            ASSERT_EQ(0, ::symlink(foreign.c_str(), path.c_str()));
        }
        ForeignMount(victim, foreign);
        ASSERT_TRUE(IsMounted(foreign));

        EXPECT_TRUE(client.unmount(m)) << m.getErrorString();
        EXPECT_TRUE(IsMounted(foreign));  // not the suite's to unmount
        EXPECT_EQ("keep me", ReadFile(foreign + "/precious"));
        EXPECT_EQ(0, CountRows("sm_mounts"));
        ASSERT_EQ(0, ::umount2(foreign.c_str(), 0));
        if (c.viaLink) ::unlink(path.c_str());
    }
    EXPECT_EQ("keep me", ReadFile(victim + "/precious"));
}

TEST_F(MountTest, AMountThatWentAwayIsMadeAgain) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "snap");
    SMVolSnapInfo r = SnapEnv::Snap(14, {src});
    JZSnapClientAPI client;
    ASSERT_TRUE(client.mountVolumes(r)) << r.getErrorString();
    std::string path = r.volumes()[0].getMountPath();
    ASSERT_EQ(0, ::umount2(path.c_str(), 0));  // gone outside the suite, its row stays

    ASSERT_TRUE(client.mountVolumes(r)) << r.getErrorString();
    EXPECT_EQ(path, r.volumes()[0].getMountPath());
    EXPECT_TRUE(IsMounted(path));
    EXPECT_EQ("snap", ReadFile(path + "/f"));
    EXPECT_EQ(1, CountRows("sm_mounts"));
    ASSERT_TRUE(client.unmount(r)) << r.getErrorString();
    EXPECT_FALSE(IsMounted(path));
    EXPECT_FALSE(Exists(path));
}

}  // namespace
