// Snapshots on a real XFS volume: reflink clones share extents with the source;
// across file systems the copy falls back to full copies; a create that runs out
// of space leaves nothing half made.
#include "snap_env.h"
#include "support/xfs_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>

namespace {

using snaptest::Exists;
using snaptest::ReadFile;
using snaptest::SnapEnv;
using snaptest::WriteFile;

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

int64_t ReflinkColumn(int snapId) {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                     .Query("SELECT reflink FROM sm_snapshots WHERE id = ?", {int64_t(snapId)}, &rows)
                     .IsError());
    return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
}

TEST(XfsSnapshot, ReflinkClonesShareExtentsAndStayPointInTime) {
    SnapEnv bootstrap;  // a state root for the volume's own set-up commands
    nuvtest::XfsLoopVolume volume;
    NUV_REQUIRE_XFS(volume);
    SnapEnv env(volume.mountPoint());  // state root on the XFS volume
    std::string src = env.dir() + "/data";
    std::string const one = RandomBytes(1 << 20, 1), two = RandomBytes(300000, 2);
    WriteFile(src + "/one.bin", one);
    WriteFile(src + "/sub/two.bin", two);
    ::sync();

    SMVolSnapInfo r = SnapEnv::Snap(61, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string copy = r.snaps()[0].getSnapDevice();
    EXPECT_TRUE(nuvtest::AllExtentsShared(copy + "/one.bin"));
    EXPECT_TRUE(nuvtest::AllExtentsShared(copy + "/sub/two.bin"));
    EXPECT_TRUE(nuvtest::AllExtentsShared(src + "/one.bin"));
    EXPECT_EQ(1, ReflinkColumn(r.snaps()[0].getSMSnapId()));

    // Copy on write: rewriting the source in place leaves the clone as it was.
    int fd = ::open((src + "/one.bin").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string const patch(8192, 'Z');
    ASSERT_EQ(static_cast<ssize_t>(patch.size()), ::pwrite(fd, patch.data(), patch.size(), 4096));
    ::fsync(fd);
    ::close(fd);
    EXPECT_EQ(one, ReadFile(copy + "/one.bin"));
    EXPECT_NE(one, ReadFile(src + "/one.bin"));
    EXPECT_EQ(two, ReadFile(copy + "/sub/two.bin"));
}

TEST(XfsSnapshot, AcrossFileSystemsTheCopyIsFull) {
    SnapEnv outside;  // the source lies on the machine's own file system
    nuvtest::XfsLoopVolume volume;
    NUV_REQUIRE_XFS(volume);
    std::string src = outside.dir() + "/data";
    std::string const one = RandomBytes(200000, 3);
    WriteFile(src + "/one.bin", one);
    SnapEnv env(volume.mountPoint());
    SMVolSnapInfo r = SnapEnv::Snap(62, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string copy = r.snaps()[0].getSnapDevice();
    EXPECT_EQ(one, ReadFile(copy + "/one.bin"));
    EXPECT_FALSE(nuvtest::AllExtentsShared(copy + "/one.bin"));
    EXPECT_EQ(0, ReflinkColumn(r.snaps()[0].getSMSnapId()));
}

TEST(XfsSnapshot, ACreateThatRunsOutOfSpaceLeavesNothingHalfMade) {
    SnapEnv outside;
    nuvtest::XfsLoopVolume volume;  // about 320 MiB
    NUV_REQUIRE_XFS(volume);
    std::string small = outside.dir() + "/small", big = outside.dir() + "/big";
    WriteFile(small + "/f", "small");
    WriteFile(big + "/head", "h");
    int fd = ::open((big + "/huge.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::string const block(1 << 20, 'x');  // data, not holes: the copy needs the space
    for (int i = 0; i < 400; ++i) ASSERT_EQ(ssize_t(block.size()), ::write(fd, block.data(), block.size()));
    ::close(fd);

    SnapEnv env(volume.mountPoint());
    for (auto const& s : {small, big}) SnapEnv::DeclareVolume(s);
    SMVolSnapInfo r = SnapEnv::Record(63, {small, big});
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(r));
    EXPECT_FALSE(client.createVolumeSnaps(r));
    EXPECT_EQ(SM_ERR_COPY, r.getErrorCode());
    EXPECT_NE(std::string::npos, r.getErrorString().find("huge.bin")) << r.getErrorString();
    EXPECT_EQ(0u, r.getNumSnaps());
    EXPECT_TRUE(std::filesystem::is_empty(env.state() + "/snapshots"));  // neither copy, nor a partial one
    std::vector<nuvsuite::CatRow> rows;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT id FROM sm_snapshots", {}, &rows).IsError());
    EXPECT_TRUE(rows.empty());
}

}  // namespace
