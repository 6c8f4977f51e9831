// The symbolic-link service.
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "snapmgr/snap_env.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <pwd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SymlinkTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        char* real = realpath(m_root.base().c_str(), nullptr);
        m_base = real;
        free(real);
        ASSERT_EQ(0, mkdir((m_base + "/real").c_str(), 0755));
        ASSERT_EQ(0, symlink((m_base + "/real").c_str(), (m_base + "/link").c_str()));
    }
    std::string m_base;
};

TEST_F(SymlinkTest, ResolvesLinksOfExistingAncestorsAndKeepsTheRest) {
    std::vector<std::string> visited;
    struct Case {
        std::string path;
        bool ok;
        std::string physical;
    };
    Case const cases[] = {
        {m_base + "/link", true, m_base + "/real"},
        {m_base + "/link/missing/f", true, m_base + "/real/missing/f"},
        {m_base + "/link/./f", true, m_base + "/real/f"},
        {"relative/f", false, ""},
        {"", false, ""},
    };
    for (Case const& c : cases) {
        std::string physical;
        EXPECT_EQ(c.ok, UnixSymbolicLink::getPhysicalPath(c.path, physical, visited, true, true)) << c.path;
        if (c.ok) {
            EXPECT_EQ(c.physical, physical);
        }
    }
    ASSERT_EQ(0, symlink((m_base + "/loop").c_str(), (m_base + "/loop").c_str()));
    std::string physical;
    EXPECT_FALSE(UnixSymbolicLink::getPhysicalPath(m_base + "/loop/f", physical, visited, true, true));
}

TEST_F(SymlinkTest, TranslatesByTheLongestComponentPrefixFirst) {
    std::map<std::string, std::string> map{{"/src", "/elsewhere"}, {"/src/db/", m_base + "/link/"}};
    std::string physical;
    ASSERT_TRUE(UnixSymbolicLink::getPhysicalPath("/src/db/f", physical, map, 5, 2));
    EXPECT_EQ(m_base + "/real/f", physical);
    ASSERT_TRUE(UnixSymbolicLink::getPhysicalPath("/src/dbx/f", physical, map, 5, 2));
    EXPECT_EQ("/elsewhere/dbx/f", physical);
}

TEST_F(SymlinkTest, ObeysTheFaultTable) {
    nuvsuite::AddFault("symlink", "UnixSymbolicLink::getPhysicalPath", 5, "no links today", -1);
    std::vector<std::string> visited;
    std::string physical;
    EXPECT_FALSE(UnixSymbolicLink::getPhysicalPath(m_base + "/link", physical, visited, true, true));
}

// A batch gives every path of a list what a call of its own gives, in the
// list's order (a directory's files after each other, and not), each path
// journalled as its own call.
TEST_F(SymlinkTest, ABatchGivesEachPathWhatItsOwnCallGives) {
    ASSERT_EQ(0, mkdir((m_base + "/real/sub").c_str(), 0755));
    for (char const* f : {"/real/f1", "/real/f2", "/real/f3", "/real/sub/f"}) {
        FILE* out = std::fopen((m_base + f).c_str(), "w");
        ASSERT_NE(nullptr, out);
        std::fclose(out);
    }
    ASSERT_EQ(0, symlink("f1", (m_base + "/real/flink").c_str()));
    ASSERT_EQ(0, symlink("sub", (m_base + "/real/dlink").c_str()));
    ASSERT_EQ(0, symlink("../elsewhere", (m_base + "/real/dangling").c_str()));
    struct Case {
        std::string path;
        std::string physical;  // "" when it fails
    };
    std::string const b = m_base;
    Case const cases[] = {
        {b + "/link/f1", b + "/real/f1"},
        {b + "/link/f2", b + "/real/f2"},
        {b + "/real/f3", b + "/real/f3"},
        {b + "/link/f3", b + "/real/f3"},
        {b + "/link/flink", b + "/real/f1"},
        {b + "/link/dlink", b + "/real/sub"},
        {b + "/link/dlink/f", b + "/real/sub/f"},
        {b + "/link/sub/f", b + "/real/sub/f"},
        {b + "/link/f2", b + "/real/f2"},
        {b + "/link/missing", b + "/real/missing"},
        {b + "/link/dangling", b + "/real/dangling"},  // a dangling link is kept as written
        {b + "/link/.", b + "/real"},
        {b + "/link/..", b},
        {b + "/link/sub/../f1", b + "/real/f1"},
        {b + "/link//f2", b + "/real/f2"},
        {b + "/link/f1/", ""},
        {b + "/link", b + "/real"},
        {"/", "/"},
        {"relative/f", ""},
        {"", ""},
    };
    size_t const before = nuvsuite::ReadJournal("symlink", "UnixSymbolicLink::getPhysicalPath").size();
    PhysicalPathBatch batch;
    std::vector<std::string> visited;
    for (Case const& c : cases) {
        std::string single, batched;
        bool const singleOk = UnixSymbolicLink::getPhysicalPath(c.path, single, visited, true, true);
        bool const batchOk = batch.getPhysicalPath(c.path, batched);
        EXPECT_EQ(singleOk, batchOk) << c.path;
        if (singleOk && batchOk) EXPECT_EQ(single, batched) << c.path;
        if (!c.physical.empty()) EXPECT_EQ(c.physical, batched) << c.path;
    }
    EXPECT_EQ(before + 2 * (sizeof cases / sizeof cases[0]),
              nuvsuite::ReadJournal("symlink", "UnixSymbolicLink::getPhysicalPath").size());
    // With translations, as the single call translates.
    std::map<std::string, std::string> map{{"/src", "/elsewhere"}, {"/src/db/", b + "/link/"}};
    for (std::string const path : {"/src/db/f1", "/src/db/f2", "/src/dbx/f", "/src/db/flink"}) {
        std::string single, batched;
        ASSERT_TRUE(UnixSymbolicLink::getPhysicalPath(path, single, map, 5, 2)) << path;
        ASSERT_TRUE(batch.getPhysicalPath(path, batched, map, 5, 2)) << path;
        EXPECT_EQ(single, batched) << path;
    }
    nuvsuite::AddFault("symlink", "UnixSymbolicLink::getPhysicalPath", 5, "no links today", -1);
    std::string physical;
    EXPECT_FALSE(batch.getPhysicalPath(b + "/link/f1", physical)) << "a batch obeys the fault table for every path";
}

// The layout of a file restored to its place, against a real snapshot of a
// volume: what is missing is made as the snap job's copy held it.
class LayoutTest : public ::testing::Test {
protected:
    static constexpr int kSnapJob = 77;

    void SetUp() override {
        if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting a snapshot needs root";
        m_env.reset(new snaptest::SnapEnv());
        m_vol = m_env->dir() + "/vol";
        for (char const* dir : {"", "/d1", "/d1/sub", "/d2", "/d2/sub", "/d3", "/d3/sub", "/real"})
            ASSERT_EQ(0, mkdir((m_vol + dir).c_str(), 0755)) << dir;
        ASSERT_EQ(0, chmod((m_vol + "/d1").c_str(), 0750));
        ASSERT_EQ(0, chown((m_vol + "/d1").c_str(), 123, 456));
        ASSERT_EQ(0, chmod((m_vol + "/d1/sub").c_str(), 0700));
        ASSERT_EQ(0, symlink("real", (m_vol + "/l1").c_str()));
        snaptest::SnapEnv::Snap(kSnapJob, {m_vol});
        ASSERT_EQ(0, mkdir((m_env->dir() + "/elsewhere").c_str(), 0755));
        nuvsuite::ClearJournal();
    }

    struct Entry {
        bool exists = false;
        mode_t type = 0, mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        std::string target;
    };
    static Entry At(std::string const& path) {
        Entry e;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return e;
        e.exists = true;
        e.type = st.st_mode & S_IFMT;
        e.mode = st.st_mode & 07777;
        e.uid = st.st_uid;
        e.gid = st.st_gid;
        if (S_ISLNK(st.st_mode)) {
            char buf[PATH_MAX];
            ssize_t n = readlink(path.c_str(), buf, sizeof buf);
            e.target.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
        }
        return e;
    }

    std::unique_ptr<snaptest::SnapEnv> m_env;
    std::string m_vol;
};

TEST_F(LayoutTest, MakesWhatIsMissingAsTheCopyHeldItAndLeavesWhatExists) {
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    std::string const v = m_vol;
    std::string const out = m_env->dir() + "/outside";
    struct Case {
        char const* name;
        std::function<void()> change;  // what the live tree lost since the snapshot
        std::string path;              // the file going back to its place
        std::vector<std::pair<std::string, Entry>> expect;
    };
    auto dir = [](mode_t mode, uid_t uid, gid_t gid) { return Entry{true, S_IFDIR, mode, uid, gid, ""}; };
    Entry const gone{};
    Case const cases[] = {
        {"missing directories", [&] { std::filesystem::remove_all(v + "/d1"); }, v + "/d1/sub/f",
         {{v + "/d1", dir(0750, 123, 456)}, {v + "/d1/sub", dir(0700, 0, 0)}}},
        {"missing symlinked directory", [&] { ASSERT_EQ(0, unlink((v + "/l1").c_str())); }, v + "/l1/f",
         {{v + "/l1", Entry{true, S_IFLNK, 0777, 0, 0, "real"}}}},
        {"existing component left alone",
         [&] {
             ASSERT_EQ(0, chmod((v + "/d2").c_str(), 0711));
             ASSERT_EQ(0, rmdir((v + "/d2/sub").c_str()));
         },
         v + "/d2/sub/f", {{v + "/d2", dir(0711, 0, 0)}, {v + "/d2/sub", dir(0755, 0, 0)}}},
        {"planted link not followed",
         [&] {
             std::filesystem::remove_all(v + "/d3");
             ASSERT_EQ(0, symlink((m_env->dir() + "/elsewhere").c_str(), (v + "/d3").c_str()));
         },
         v + "/d3/sub/f",
         {{v + "/d3", Entry{true, S_IFLNK, 0777, 0, 0, m_env->dir() + "/elsewhere"}},
          {m_env->dir() + "/elsewhere/sub", gone}}},
        {"ancestors no volume of the job held", [] {}, out + "/x/f",
         {{out, dir(0755, nobody->pw_uid, nobody->pw_gid)}, {out + "/x", dir(0755, nobody->pw_uid, nobody->pw_gid)}}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        NuvSymLink::createDirAndSymLinks(c.path, kSnapJob, 2, "nobody");
        for (auto const& want : c.expect) {
            Entry const got = At(want.first);
            EXPECT_EQ(want.second.exists, got.exists) << want.first;
            if (!want.second.exists || !got.exists) continue;
            EXPECT_EQ(want.second.type, got.type) << want.first;
            EXPECT_EQ(want.second.target, got.target) << want.first;
            if (want.second.type == S_IFDIR) {
                EXPECT_EQ(want.second.mode, got.mode) << want.first;
            }
            EXPECT_EQ(want.second.uid, got.uid) << want.first;
            EXPECT_EQ(want.second.gid, got.gid) << want.first;
        }
        // The copy was mounted for the look only.
        for (auto const& m : snaptest::MountPoints()) EXPECT_NE(0u, m.rfind(m_env->state() + "/", 0)) << m;
    }
}

TEST_F(LayoutTest, ReadsTheCopyThroughTheSnapshotServiceAndKeepsAMountThatStood) {
    SMVolSnapInfo record;
    record.setSnapJobId(kSnapJob);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.getVolumeSnaps(record));
    ASSERT_TRUE(client.mountVolumes(record));
    std::string const mounted = record.volumes().front().getMountPath();
    std::filesystem::remove_all(m_vol + "/d1");
    nuvsuite::ClearJournal();
    NuvSymLink::createDirAndSymLinks(m_vol + "/d1/sub/f", kSnapJob, 2, "");
    EXPECT_EQ(S_IFDIR, At(m_vol + "/d1/sub").type);
    EXPECT_TRUE(snaptest::IsMounted(mounted));
    std::vector<std::string> calls;
    for (auto const& e : nuvsuite::ReadJournal()) calls.push_back(e.service + " " + e.call);
    EXPECT_EQ((std::vector<std::string>{"symlink NuvSymLink::createDirAndSymLinks",
                                        "snapmgr JZSnapClientAPI::getVolumeSnaps"}),
              calls);
    EXPECT_TRUE(client.unmount(record));
}

TEST_F(LayoutTest, AFaultOrAnUnreadableCopyMakesNothing) {
    std::filesystem::remove_all(m_vol + "/d1");
    struct Case {
        char const* service;
        char const* call;
        long long snapJob;
    };
    Case const cases[] = {
        {"symlink", "NuvSymLink::createDirAndSymLinks", kSnapJob},
        {"snapmgr", "JZSnapClientAPI::getVolumeSnaps", kSnapJob},
        {"snapmgr", "JZSnapClientAPI::mountVolumes", kSnapJob},
        {"", "", kSnapJob + 1},  // a snap job without snapshots
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string(c.service) + " " + c.call);
        nuvsuite::ClearFaults();
        if (c.service[0] != '\0') nuvsuite::AddFault(c.service, c.call, 5, "no copies today", -1);
        NuvSymLink::createDirAndSymLinks(m_vol + "/d1/sub/f", c.snapJob, 2, "");
        EXPECT_FALSE(At(m_vol + "/d1").exists);
    }
    nuvsuite::ClearFaults();
    for (auto const& m : snaptest::MountPoints()) EXPECT_NE(0u, m.rfind(m_env->state() + "/", 0)) << m;
}

}  // namespace
