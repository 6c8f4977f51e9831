// The mount that holds a path is the longest mount point that is the path or an ancestor of it.
#include "platform/snapmgr/mountinfo.h"

#include <gtest/gtest.h>

namespace {

using nuvsnapmgr::FindMountForPath;
using nuvsnapmgr::MountEntry;
using nuvsnapmgr::ParseMountInfo;

char const* const kTable =
    "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
    "40 27 7:0 / /data rw,noatime - xfs /dev/loop0 rw,inode64\n"
    "41 40 7:1 / /data/db rw - xfs /dev/loop1 rw\n"
    "42 27 7:2 / /data2 rw - ext4 /dev/loop2 rw\n"
    "43 27 0:50 /sub /mnt/with\\040space ro,nosuid shared:5 master:1 - tmpfs tmpfs rw\n"
    "44 27 7:3 / /over rw - xfs /dev/loop3 rw\n"
    "45 44 7:4 / /over rw - ext4 /dev/loop4 rw\n"
    "garbage line\n";

TEST(MountInfo, LongestMountPointThatHoldsThePathWins) {
    auto table = ParseMountInfo(kTable);
    ASSERT_EQ(7u, table.size());
    struct Case {
        char const* path;
        char const* mountPoint;
        char const* device;
    } const cases[] = {
        {"/data", "/data", "/dev/loop0"},
        {"/data/", "/data", "/dev/loop0"},
        {"/data/file", "/data", "/dev/loop0"},
        {"/data/db", "/data/db", "/dev/loop1"},
        {"/data/db/x/y", "/data/db", "/dev/loop1"},
        {"/data/dbx", "/data", "/dev/loop0"},        // a sibling that shares the prefix
        {"/data2/a", "/data2", "/dev/loop2"},         // not held by /data
        {"/datum", "/", "/dev/vda"},
        {"//data//./db/", "/data/db", "/dev/loop1"},  // normalised first
        {"/mnt/with space/f", "/mnt/with space", "tmpfs"},
        {"/over/x", "/over", "/dev/loop4"},           // the later mount on one point is the visible one
        {"/", "/", "/dev/vda"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path);
        MountEntry m;
        ASSERT_TRUE(FindMountForPath(table, c.path, &m));
        EXPECT_EQ(c.mountPoint, m.mountPoint);
        EXPECT_EQ(c.device, m.source);
    }
}

TEST(MountInfo, FieldsAreReadAcrossOptionalTags) {
    auto table = ParseMountInfo(kTable);
    MountEntry m;
    ASSERT_TRUE(FindMountForPath(table, "/mnt/with space", &m));
    EXPECT_EQ("tmpfs", m.fsType);
    EXPECT_EQ("ro,nosuid", m.options);
    EXPECT_EQ("/sub", m.root);
    ASSERT_TRUE(FindMountForPath(table, "/data", &m));
    EXPECT_EQ("xfs", m.fsType);
    EXPECT_EQ("rw,noatime", m.options);
}

TEST(MountInfo, RelativeOrUnheldPathsFindNothing) {
    auto table = ParseMountInfo("40 27 7:0 / /data rw - xfs /dev/loop0 rw\n");
    EXPECT_FALSE(FindMountForPath(table, "relative/path", nullptr));
    EXPECT_FALSE(FindMountForPath(table, "/elsewhere", nullptr));
    EXPECT_FALSE(FindMountForPath(table, "", nullptr));
}

TEST(MountInfo, TheRealTableHoldsTheRoot) {
    MountEntry m;
    ASSERT_TRUE(FindMountForPath(ParseMountInfo(nuvsnapmgr::ReadSelfMountInfo()), "/proc/self", &m));
    EXPECT_EQ("/proc", m.mountPoint);
}

}  // namespace
