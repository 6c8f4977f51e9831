// A PostgreSQL data directory with a tablespace on another volume, restored
// on each road (partial through the restore-files client, streams, full
// through the file-restore program), in place and out of place, after the
// live side changed: nothing comes from the live volumes, and the tree is
// `cp -a` of the snapshot entry by entry.
#include "restore_fixture.h"

#include "restorefiles/tree_compare.h"

#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <fcntl.h>
#include <sys/wait.h>

using namespace nuvrestoretest;

namespace {

char const* Name(Road road) { return road == Road::Partial ? "partial" : road == Road::Streams ? "streams" : "full"; }

constexpr uid_t kPostgres = 26;
char const kTablespaceFile[] = "pg_tblspc/16385/PG_16_202307071/5/16386";

class DatabaseTreeTest : public RestoreTest {
protected:
    void SetUp() override {
        RestoreTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "owners of the database user need root";
        m_data = MakeDir(m_root.base() + "/pgdata");
        m_ts = MakeDir(m_root.base() + "/pgts");
        WriteFile(m_data + "/marker-data", "data\n");
        WriteFile(m_ts + "/marker-ts", "ts\n");
        WriteFile(m_data + "/PG_VERSION", "16\n");
        MakeDir(m_data + "/base");
        MakeDir(m_data + "/base/1");
        WriteFile(m_data + "/base/1/1259", "pg_class\n");
        MakeDir(m_data + "/base/5");
        WriteFile(m_data + "/base/5/16384", "SNAP table\n");
        MakeDir(m_data + "/pg_tblspc");
        ASSERT_EQ(0, symlink((m_ts + "/16385").c_str(), (m_data + "/pg_tblspc/16385").c_str()));
        MakeDir(m_ts + "/base");
        MakeDir(m_ts + "/base/1");
        MakeDir(m_ts + "/16385");
        MakeDir(m_ts + "/16385/PG_16_202307071");
        MakeDir(m_ts + "/16385/PG_16_202307071/5");
        WriteFile(m_ts + "/" + std::string(kTablespaceFile).substr(std::strlen("pg_tblspc/")), "SNAP\n");
        for (auto const& v : {m_data, m_ts})
            ASSERT_EQ(0, std::system(("chown -R -h 26:26 '" + v + "' && find '" + v +
                                      "' -type d -exec chmod 0700 {} +")
                                         .c_str()));
        DeclareVolume(m_data, "/dev/fakepgdata", "ext4", "rw,relatime");
        DeclareVolume(m_ts, "/dev/fakepgts", "ext4", "rw,relatime");
        m_job = Snapshot({m_data, m_ts});
        // What the snapshot holds that its copy does not keep of itself.
        m_snapData = CopyHolding("marker-data");
        m_snapTs = CopyHolding("marker-ts");
        ASSERT_FALSE(m_snapData.empty());
        ASSERT_FALSE(m_snapTs.empty());
        ASSERT_EQ(0, mkfifo((m_snapData + "/base/5/fifo").c_str(), 0600));
        ASSERT_EQ(0, chown((m_snapData + "/base/5/fifo").c_str(), kPostgres, kPostgres));
        ASSERT_EQ(0, setxattr((m_snapData + "/base/5/16384").c_str(), "user.pg", "x", 1, 0));
        ASSERT_EQ(0, std::system(("setfacl -m u:27:rx -m d:u:27:rx '" + m_snapData + "/base'").c_str()));
        // The live side after the snapshot: the tablespace's file changed,
        // then its link was removed (why one restores).
        WriteFile(m_ts + "/" + std::string(kTablespaceFile).substr(std::strlen("pg_tblspc/")), "LIVE\n");
        WriteFile(m_data + "/base/5/16384", "LIVE table\n");
        ASSERT_EQ(0, unlink((m_data + "/pg_tblspc/16385").c_str()));
    }

    // The copy of a volume in the suite's snapshots, by a marker file in it.
    std::string CopyHolding(std::string const& marker) {
        std::string const snapshots = nuvsuite::StatePath("snapshots");
        for (auto const& e : Tree(snapshots))
            if (e.first.size() > marker.size() &&
                e.first.compare(e.first.size() - marker.size() - 1, std::string::npos, "/" + marker) == 0)
                return snapshots + "/" + e.first.substr(0, e.first.size() - marker.size() - 1);
        return "";
    }

    // Restores the data files (source -> destination) on `road` as a restore
    // job of its own; the road's result.
    int RestoreBy(Road road, std::vector<std::pair<std::string, std::string>> const& files) {
        StartRestoreJob();
        ArchFileInfo af = WholeVolume(m_job, m_data, "");
        af.dataFiles.clear();
        for (auto const& f : files) {
            DataFileInfo df;
            df.srcPath = f.first;
            df.destPath = f.second;
            af.dataFiles.push_back(df);
        }
        std::map<int, std::list<ArchFileInfo>> streams;
        if (road == Road::Streams) {
            std::vector<DataFileInfo> const all(af.dataFiles.begin(), af.dataFiles.end());
            for (size_t i = 0; i < files.size(); ++i) {
                auto& list = streams[static_cast<int>(i % 2)];
                if (list.empty()) {
                    list.push_back(af);
                    list.front().dataFiles.clear();
                }
                list.front().dataFiles.push_back(all[i]);
            }
        }
        return RunRoad(road, m_job, af, streams);
    }

    // The whole data directory's entries, each to dest/<entry> (streams deal them).
    std::vector<std::pair<std::string, std::string>> Entries(std::string const& dest) {
        return EntriesOf(m_snapData, m_data, dest);
    }

    std::map<std::string, std::string> Reference(std::string const& from) {
        std::string const ref = m_root.base() + "/reference" + std::to_string(++m_refs);
        EXPECT_EQ(0, nuvcopytest::CopyAll(from, ref));
        return nuvcopytest::Describe(ref);
    }

    std::string m_data, m_ts, m_snapData, m_snapTs;
    SnapJob m_job;
    int m_refs = 0;
};

// One file through the tablespace link, in place and out of place, with or
// without the tablespace's directory on the live side.
struct LinkCase {
    Road road;
    bool inPlace;
    bool tablespaceGone;
};

void PrintTo(LinkCase const& c, std::ostream* os) {
    *os << Name(c.road) << (c.inPlace ? " in place" : " out of place") << (c.tablespaceGone ? ", tablespace gone" : "");
}

class TablespaceTest : public DatabaseTreeTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(TablespaceTest, AFileBehindTheTablespaceLinkComesFromTheSnapshot) {
    LinkCase const& c = GetParam();
    std::string const source = m_data + "/" + kTablespaceFile;
    std::string const dest = c.inPlace ? source : m_root.base() + "/out/" + kTablespaceFile;
    if (c.tablespaceGone) ASSERT_EQ(0, std::system(("rm -rf '" + m_ts + "/16385'").c_str()));
    // A second entry beside it, so that streams have two.
    ASSERT_EQ(0, RestoreBy(c.road, {{source, dest},
                                    {m_data + "/base/5/16384",
                                     c.inPlace ? m_data + "/base/5/16384" : m_root.base() + "/out/base/5/16384"}}));
    EXPECT_EQ("SNAP\n", ReadFile(dest)) << "never the live volume's";
    EXPECT_EQ("SNAP table\n", ReadFile(c.inPlace ? m_data + "/base/5/16384" : m_root.base() + "/out/base/5/16384"));
    if (c.inPlace) {
        struct stat st;
        ASSERT_EQ(0, lstat((m_data + "/pg_tblspc/16385").c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is laid out again";
        EXPECT_EQ(kPostgres, st.st_uid);
        EXPECT_EQ("SNAP\n", ReadFile(m_ts + "/16385/PG_16_202307071/5/16386")) << "written through the link";
        // Directories made through the link are the snapshot's, not root's 0755.
        for (std::string const dir : {"/16385", "/16385/PG_16_202307071", "/16385/PG_16_202307071/5"}) {
            ASSERT_EQ(0, lstat((m_ts + dir).c_str(), &st)) << dir;
            EXPECT_EQ(kPostgres, st.st_uid) << dir;
            EXPECT_EQ(0700u, st.st_mode & 07777) << dir;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, TablespaceTest,
                         ::testing::Values(LinkCase{Road::Partial, false, false}, LinkCase{Road::Partial, true, false},
                                           LinkCase{Road::Partial, true, true}, LinkCase{Road::Streams, false, false},
                                           LinkCase{Road::Streams, true, true}, LinkCase{Road::Full, false, false},
                                           LinkCase{Road::Full, true, false}, LinkCase{Road::Full, true, true}));

class RoadTreeTest : public DatabaseTreeTest, public ::testing::WithParamInterface<Road> {};

std::string PrintRoad(::testing::TestParamInfo<Road> const& info) {
    return info.param == Road::Partial ? "Partial" : info.param == Road::Streams ? "Streams" : "Full";
}

// The whole data directory: `cp -a` of the snapshot, entry by entry, on a
// fresh destination and again over it.
TEST_P(RoadTreeTest, TheWholeDirectoryIsCpOfTheSnapshot) {
    auto const want = Reference(m_snapData);
    std::string const dest = m_root.base() + "/restored";
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "fresh" : "again over it");
        int const rc = GetParam() == Road::Full ? RestoreBy(Road::Full, {{m_data, dest}})
                                                : RestoreBy(GetParam(), Entries(dest));
        ASSERT_EQ(0, rc);
        auto got = nuvcopytest::Describe(dest);
        auto expected = want;
        if (GetParam() != Road::Full) {
            // The entries are restored, the destination directory above them made.
            expected.erase(".");
            got.erase(".");
        }
        EXPECT_EQ("", nuvcopytest::Differences(expected, got));
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, RoadTreeTest, ::testing::Values(Road::Partial, Road::Streams, Road::Full), PrintRoad);

// A link the restore lays out (the tablespace's, missing on the live side)
// met again by later entries of the same restore. In place: the
// pg_tblspc directory restored as an entry puts the snapshot's link there
// again, and a tablespace file after it goes through that link to the
// tablespace; every file is the snapshot's. Out of place: the data directory
// brings the link to the live tablespace along; a tablespace file after it is
// not written through that link (named), and the live tablespace is untouched.
struct LaidOutCase {
    Road road;
    bool inPlace;
};

void PrintTo(LaidOutCase const& c, std::ostream* os) { *os << Name(c.road) << (c.inPlace ? " in place" : " out of place"); }

class LaidOutLinkTest : public DatabaseTreeTest, public ::testing::WithParamInterface<LaidOutCase> {};

TEST_P(LaidOutLinkTest, IsFollowedOnlyWhereTheSnapshotPutsIt) {
    LaidOutCase const& c = GetParam();
    char const kSecondFile[] = "pg_tblspc/16385/PG_16_202307071/5/16387";
    WriteFile(m_snapTs + "/" + std::string(kSecondFile).substr(std::strlen("pg_tblspc/")), "SNAP second\n");
    ASSERT_EQ(0, lchown((m_snapTs + "/" + std::string(kSecondFile).substr(std::strlen("pg_tblspc/"))).c_str(),
                        kPostgres, kPostgres));
    std::string const liveTs = m_ts + "/16385/PG_16_202307071/5/16386";
    if (c.inPlace) {
        ASSERT_EQ(0, RestoreBy(c.road, {{m_data + "/" + kTablespaceFile, m_data + "/" + kTablespaceFile},
                                        {m_data + "/pg_tblspc", m_data + "/pg_tblspc"},
                                        {m_data + "/" + kSecondFile, m_data + "/" + kSecondFile}}));
        struct stat st;
        ASSERT_EQ(0, lstat((m_data + "/pg_tblspc/16385").c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(kPostgres, st.st_uid);
        char target[4096];
        ssize_t const n = readlink((m_data + "/pg_tblspc/16385").c_str(), target, sizeof target);
        EXPECT_EQ(m_ts + "/16385", std::string(target, n > 0 ? static_cast<size_t>(n) : 0));
        EXPECT_EQ("SNAP\n", ReadFile(liveTs));
        EXPECT_EQ("SNAP second\n", ReadFile(m_ts + "/16385/PG_16_202307071/5/16387"));
        return;
    }
    std::string const dest = m_root.base() + "/restored";
    auto const before = nuvcopytest::Describe(m_ts);
    std::vector<std::pair<std::string, std::string>> files =
        c.road == Road::Full ? std::vector<std::pair<std::string, std::string>>{{m_data, dest}} : Entries(dest);
    files.push_back({m_data + "/" + kSecondFile, dest + "/" + kSecondFile});
    EXPECT_NE(0, RestoreBy(c.road, files)) << "the tablespace file is not written through the live link";
    EXPECT_EQ("", nuvcopytest::Differences(before, nuvcopytest::Describe(m_ts))) << "the live tablespace is untouched";
    EXPECT_EQ("LIVE\n", ReadFile(liveTs));
    EXPECT_FALSE(Exists(m_ts + "/16385/PG_16_202307071/5/16387"));
    EXPECT_EQ("SNAP table\n", ReadFile(dest + "/base/5/16384")) << "the other entries are restored";
}

INSTANTIATE_TEST_SUITE_P(Roads, LaidOutLinkTest,
                         ::testing::Values(LaidOutCase{Road::Partial, true}, LaidOutCase{Road::Partial, false},
                                           LaidOutCase{Road::Streams, true}, LaidOutCase{Road::Streams, false},
                                           LaidOutCase{Road::Full, true}, LaidOutCase{Road::Full, false}));

// One road after another into one destination: the tree of a restore into an
// empty destination, or the entry in the way named and the rest restored.
TEST_F(DatabaseTreeTest, RestoresOneAfterAnotherIntoOneDestination) {
    auto const want = Reference(m_snapData);
    std::string const dest = m_root.base() + "/restored";
    // A file through the tablespace link first: pg_tblspc/16385 becomes a
    // directory; the full restore then has a link to put there.
    ASSERT_EQ(0, RestoreBy(Road::Partial, {{m_data + "/" + kTablespaceFile, dest + "/" + kTablespaceFile}}));
    EXPECT_NE(0, RestoreBy(Road::Full, {{m_data, dest}}));
    auto got = nuvcopytest::Describe(dest);
    EXPECT_EQ("SNAP\n", ReadFile(dest + "/" + kTablespaceFile));
    auto expected = want;
    for (auto* tree : {&expected, &got})
        for (auto it = tree->begin(); it != tree->end();)
            it = it->first == "." || it->first.compare(0, 15, "pg_tblspc/16385") == 0 || it->first == "pg_tblspc"
                     ? tree->erase(it)
                     : std::next(it);
    EXPECT_EQ("", nuvcopytest::Differences(expected, got)) << "everything else is restored";

    // The other order: the link is there, owned by the database user; the
    // partial restore out of place does not follow it out of the destination.
    std::string const other = m_root.base() + "/other";
    ASSERT_EQ(0, RestoreBy(Road::Full, {{m_data, other}}));
    EXPECT_NE(0, RestoreBy(Road::Partial, {{m_data + "/" + kTablespaceFile, other + "/" + kTablespaceFile}}));
    EXPECT_EQ("", nuvcopytest::Differences(want, nuvcopytest::Describe(other)));
    EXPECT_EQ("LIVE\n", ReadFile(m_ts + "/16385/PG_16_202307071/5/16386")) << "the live tablespace is untouched";
}

// Restores on different roads into one destination at once, each in its own
// process: each ends whole or is refused; the tree is the snapshot's.
TEST_F(DatabaseTreeTest, RestoresAtOnceIntoOneDestination) {
    auto const want = Reference(m_snapData);
    std::string const dest = m_root.base() + "/restored";
    std::vector<pid_t> children;
    for (Road road : {Road::Full, Road::Streams, Road::Partial}) {
        pid_t const child = fork();
        if (child == 0) {
            int const rc = road == Road::Full ? RestoreBy(road, {{m_data, dest}}) : RestoreBy(road, Entries(dest));
            _exit(rc == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    int whole = 0;
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        whole += WEXITSTATUS(status) == 0;
    }
    EXPECT_GE(whole, 1);
    auto got = nuvcopytest::Describe(dest);
    auto expected = want;
    expected.erase(".");
    got.erase(".");
    EXPECT_EQ("", nuvcopytest::Differences(expected, got));
}

}  // namespace
