// Trees a restore gives back as `cp -a` of the mounted snapshots gives them,
// entry by entry, on each road (partial through the restore-files client,
// streams, full through the file-restore program): a volume mounted inside
// another, several names of one link, FIFO, socket or device node, and many
// directories made above restored files.
#include "restore_fixture.h"

#include "restorefiles/tree_compare.h"

#include "nuvdbsnap/platform/suite/suite.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace nuvrestoretest;

namespace {

constexpr uid_t kPostgres = 26;

std::string PrintRoad(::testing::TestParamInfo<Road> const& info) {
    return info.param == Road::Partial ? "Partial" : info.param == Road::Streams ? "Streams" : "Full";
}

class SnapshotTreeTest : public RestoreTest, public ::testing::WithParamInterface<Road> {
protected:
    void SetUp() override {
        RestoreTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "owners and device nodes need root";
    }

    // The copy of a volume in the suite's snapshots: the shallowest
    // directory there that holds `marker`.
    std::string CopyHolding(std::string const& marker) {
        std::string const snapshots = nuvsuite::StatePath("snapshots");
        std::string best;
        for (auto const& e : Tree(snapshots)) {
            if (e.first.size() <= marker.size() ||
                e.first.compare(e.first.size() - marker.size() - 1, std::string::npos, "/" + marker) != 0)
                continue;
            std::string const dir = snapshots + "/" + e.first.substr(0, e.first.size() - marker.size() - 1);
            if (best.empty() || std::count(dir.begin(), dir.end(), '/') < std::count(best.begin(), best.end(), '/'))
                best = dir;
        }
        return best;
    }

    // Restores the data files (source -> destination) of `volume`'s archive
    // file on the road as a restore job of its own; streams deal them to
    // `streams` streams. The road's result.
    int RestoreBy(SnapJob const& job, std::string const& volume,
                  std::vector<std::pair<std::string, std::string>> const& files, int streamCount = 2) {
        StartRestoreJob();
        ArchFileInfo af = WholeVolume(job, volume, "");
        af.dataFiles.clear();
        std::map<int, std::list<ArchFileInfo>> streams;
        for (size_t i = 0; i < files.size(); ++i) {
            DataFileInfo df;
            df.srcPath = files[i].first;
            df.destPath = files[i].second;
            af.dataFiles.push_back(df);
            auto& list = streams[static_cast<int>(i % static_cast<size_t>(streamCount))];
            if (list.empty()) {
                list.push_back(af);
                list.front().dataFiles.clear();
            }
            list.front().dataFiles.push_back(df);
        }
        return RunRoad(GetParam(), job, af, streams);
    }

    // The whole volume to `dest`: the full road as one entry, the others
    // entry by entry of the snapshot's copy `copy`, each to dest/<entry>.
    std::vector<std::pair<std::string, std::string>> Whole(std::string const& volume, std::string const& copy,
                                                           std::string const& dest) {
        if (GetParam() == Road::Full) return {{volume, dest}};
        return EntriesOf(copy, volume, dest);
    }

    // `cp -a` of `from`, described.
    std::map<std::string, std::string> Reference(std::string const& from) {
        std::string const ref = m_root.base() + "/reference" + std::to_string(++m_refs);
        EXPECT_EQ(0, nuvcopytest::CopyAll(from, ref));
        return nuvcopytest::Describe(ref);
    }

    // What a restore of a whole volume made of `dest`, against `want`: the
    // roads that restore entry by entry make the destination itself.
    std::string Compare(std::map<std::string, std::string> want, std::string const& dest) {
        auto got = nuvcopytest::Describe(dest);
        if (GetParam() != Road::Full) {
            want.erase(".");
            got.erase(".");
        }
        return nuvcopytest::Differences(want, got);
    }

    int m_refs = 0;
};

// A tablespace volume mounted at a directory of the data volume, both snapped
// in one job: what lies below the mount point comes from the inner volume's
// snapshot, never from the outer one's (where the mount point is an empty
// directory) nor from the live side.
TEST_P(SnapshotTreeTest, AVolumeMountedInsideAnotherComesFromItsOwnSnapshot) {
    std::string const outer = MakeDir(m_root.base() + "/pgdata");
    WriteFile(outer + "/marker-outer", "outer\n");
    WriteFile(outer + "/PG_VERSION", "16\n");
    MakeDir(outer + "/base");
    MakeDir(outer + "/base/1");
    WriteFile(outer + "/base/1/1259", "pg_class\n");
    std::string const inner = MakeDir(outer + "/tblspc");
    WriteFile(inner + "/marker-inner", "inner\n");
    MakeDir(inner + "/base");
    MakeDir(inner + "/base/1");
    WriteFile(inner + "/base/1/1259", "tablespace rows\n");
    MakeDir(inner + "/PG_16_202307071");
    WriteFile(inner + "/PG_16_202307071/16386", "SNAP\n");
    ASSERT_EQ(0, std::system(("chown -R -h 26:26 '" + inner + "' && chmod 0700 '" + inner + "'").c_str()));
    DeclareVolume(outer, "/dev/fakeouter", "ext4", "rw,relatime");
    DeclareVolume(inner, "/dev/fakeinner", "ext4", "rw,relatime");
    SnapJob job = Snapshot({outer, inner});
    std::string const outerCopy = CopyHolding("marker-outer");
    std::string const innerCopy = CopyHolding("marker-inner");
    ASSERT_FALSE(outerCopy.empty());
    ASSERT_FALSE(innerCopy.empty());
    ASSERT_NE(outerCopy, innerCopy);
    // The outer volume's snapshot holds the mount point as the volume held
    // it under the mount: an empty directory of its own.
    ASSERT_EQ(0, std::system(("rm -rf '" + outerCopy + "/tblspc' && mkdir -m 0755 '" + outerCopy + "/tblspc'").c_str()));
    // `cp -a` of the outer snapshot with the inner one mounted inside it.
    std::string const mounted = m_root.base() + "/mounted";
    ASSERT_EQ(0, nuvcopytest::CopyAll(outerCopy, mounted));
    ASSERT_EQ(0, std::system(("rm -rf '" + mounted + "/tblspc'").c_str()));
    ASSERT_EQ(0, nuvcopytest::CopyAll(innerCopy, mounted + "/tblspc"));
    ASSERT_EQ(0, std::system(("touch -h -r '" + outerCopy + "' '" + mounted + "'").c_str()));
    auto const want = Reference(mounted);

    std::string const dest = m_root.base() + "/restored";
    ASSERT_EQ(0, RestoreBy(job, outer, Whole(outer, outerCopy, dest)));
    EXPECT_EQ("", Compare(want, dest));
    EXPECT_EQ("SNAP\n", ReadFile(dest + "/tblspc/PG_16_202307071/16386"));

    // One file below the mount point on its own comes from the inner snapshot too.
    std::string const one = m_root.base() + "/one/16386";
    ASSERT_EQ(0, RestoreBy(job, outer, {{inner + "/PG_16_202307071/16386", one}}));
    EXPECT_EQ("SNAP\n", ReadFile(one));
}

// Names of one symbolic link, FIFO, socket or device node stay one inode, as
// `cp -a` keeps them; so do a regular file's. The directory that holds them
// is the restore's one entry (on every road one batch).
TEST_P(SnapshotTreeTest, NamesOfOneInodeOfEveryKindStayOneInode) {
    std::string const a = MakeVolume("a");
    WriteFile(a + "/marker-a", "a\n");
    MakeDir(a + "/kinds");
    WriteFile(a + "/kinds/file", "one file\n");
    SnapJob job = Snapshot({a});
    std::string const copy = CopyHolding("marker-a");
    ASSERT_FALSE(copy.empty());
    // The snapshot's entries of every kind, each with a second name.
    std::string const kinds = copy + "/kinds";
    ASSERT_EQ(0, symlink("../PG_VERSION", (kinds + "/link").c_str()));
    ASSERT_EQ(0, mkfifo((kinds + "/fifo").c_str(), 0640));
    ASSERT_EQ(0, mknod((kinds + "/socket").c_str(), S_IFSOCK | 0600, 0));
    ASSERT_EQ(0, mknod((kinds + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)));
    for (char const* name : {"file", "link", "fifo", "socket", "null"}) {
        std::string const first = kinds + "/" + name;
        ASSERT_EQ(0, lchown(first.c_str(), kPostgres, kPostgres)) << name;
        ASSERT_EQ(0, linkat(AT_FDCWD, first.c_str(), AT_FDCWD, (first + "-2").c_str(), 0)) << name;
    }
    auto const want = Reference(kinds);
    for (char const* name : {"file", "link", "fifo", "socket", "null"})
        ASSERT_NE(std::string::npos, want.at(std::string(name) + "-2").find("one file with "))
            << "cp -a keeps " << name << "'s names one inode";

    std::string const dest = m_root.base() + "/restored/kinds";
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "fresh" : "again over it");
        ASSERT_EQ(0, RestoreBy(job, a, {{a + "/kinds", dest}}));
        EXPECT_EQ("", nuvcopytest::Differences(want, nuvcopytest::Describe(dest)));
    }
}

// A restore of many files, each in a directory of its own that the restore
// makes: every made directory ends with the snapshot's times, the first made
// as the last, set after everything below it was written.
TEST_P(SnapshotTreeTest, EveryDirectoryMadeAboveRestoredFilesTakesTheSnapshotsTimes) {
    std::string const a = MakeVolume("a");
    WriteFile(a + "/marker-a", "a\n");
    MakeDir(a + "/many");
    int const kDirectories = 600;  // more than the directories a batch holds open
    std::vector<std::string> names;
    for (int i = 0; i < kDirectories; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "d%04d", i);
        names.push_back(name);
        MakeDir(a + "/many/" + name);
        WriteFile(a + "/many/" + name + "/f", std::string("file of ") + name + "\n");
    }
    SnapJob job = Snapshot({a});
    std::string const copy = CopyHolding("marker-a");
    ASSERT_FALSE(copy.empty());
    // Times of the snapshot's directories that a made directory cannot have by chance.
    ASSERT_EQ(0, std::system(("find '" + copy + "/many' -type d -exec touch -d @978307200 {} +").c_str()));
    auto const want = Reference(copy + "/many");

    std::string const dest = m_root.base() + "/restored";
    std::vector<std::pair<std::string, std::string>> files;
    for (auto const& n : names) files.push_back({a + "/many/" + n + "/f", dest + "/many/" + n + "/f"});
    ASSERT_EQ(0, RestoreBy(job, a, files, 1));
    EXPECT_EQ("", nuvcopytest::Differences(want, nuvcopytest::Describe(dest + "/many")));
}

INSTANTIATE_TEST_SUITE_P(Roads, SnapshotTreeTest, ::testing::Values(Road::Partial, Road::Streams, Road::Full),
                         PrintRoad);

}  // namespace
