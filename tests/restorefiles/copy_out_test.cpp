// The copy out of a snapshot that every restore road uses, judged against
// `cp -a` of the same snapshot entry by entry, on a tree that looks like a
// database's: absolute links owned by the database user, FIFOs, sockets,
// device nodes, extended attributes, ACLs, 0700 directories, hard links,
// holes and a path longer than the snapshot's mount allows as a string.
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"
#include "tree_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/mount.h>
#include <sys/wait.h>

namespace {

using namespace nuvcopytest;
using nuvrestorefiles::CopyOut;
using nuvrestorefiles::CopySession;
using nuvrestorefiles::MountedVolume;
using nuvtest::MakeDir;
using nuvtest::ReadFile;
using nuvtest::WriteFile;

constexpr uid_t kDbUser = 26;

void Must(bool ok, std::string const& what) { ASSERT_TRUE(ok) << what << ": " << std::strerror(errno); }

// A file `name` of the directory `dir` holding `text`, mode and owner given.
void FileAt(int dir, std::string const& name, std::string const& text, mode_t mode = 0600, uid_t uid = kDbUser) {
    int const fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    Must(fd >= 0, "create " + name);
    Must(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write " + name);
    Must(fchown(fd, uid, uid) == 0 && fchmod(fd, mode) == 0, "own " + name);
    close(fd);
}

int DirAt(int dir, std::string const& name, mode_t mode = 0700, uid_t uid = kDbUser) {
    Must(mkdirat(dir, name.c_str(), mode) == 0 || errno == EEXIST, "mkdir " + name);
    Must(fchownat(dir, name.c_str(), uid, uid, AT_SYMLINK_NOFOLLOW) == 0, "chown " + name);
    Must(fchmodat(dir, name.c_str(), mode, 0) == 0, "chmod " + name);
    int const fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Must(fd >= 0, "open " + name);
    return fd;
}

void LinkAt(int dir, std::string const& name, std::string const& target, uid_t uid = kDbUser) {
    Must(symlinkat(target.c_str(), dir, name.c_str()) == 0, "symlink " + name);
    Must(fchownat(dir, name.c_str(), uid, uid, AT_SYMLINK_NOFOLLOW) == 0, "lchown " + name);
}

// Every entry below `dir` gets its own modification time, children before
// their directory (so that nothing changes a time already set).
void SetTimes(int dir, long& clock) {
    int const listFd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fdopendir(listFd);
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    for (auto const& n : names) {
        struct stat st;
        fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW);
        if (S_ISDIR(st.st_mode)) {
            int const sub = openat(dir, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            SetTimes(sub, clock);
            close(sub);
        }
        struct timespec times[2] = {{1500000000 + clock, 0}, {1600000000 + clock, 123456789}};
        ++clock;
        utimensat(dir, n.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

std::string ReadAt(int dir, std::string const& name) { return Content(dir, name); }

class CopyOutTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "owners, device nodes and mounts need root";
        std::string const base = m_root.base();
        m_live = MakeDir(base + "/live") + "/data";
        m_liveTs = base + "/live/ts";
        // The snapshots' mounts: longer paths than the volumes'.
        std::string const snaps = MakeDir(base + "/" + std::string(200, 's'));
        m_snap = snaps + "/data";
        m_snapTs = snaps + "/ts";
        BuildDatabase(m_snap, true);
        BuildDatabase(m_live, false);
        m_volumes = {{m_live, m_snap}, {m_liveTs, m_snapTs}};
    }

    void TearDown() override {
        for (auto const& m : m_mounts) umount2(m.c_str(), MNT_DETACH);
    }

    // The volume `root` (its snapshot when `snap`) as a database holds it.
    void BuildDatabase(std::string const& root, bool snap) {
        std::string const word = snap ? "SNAP" : "LIVE";
        MakeDir(root);
        int const top = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        Must(fchown(top, kDbUser, kDbUser) == 0 && fchmod(top, 0700) == 0, "own " + root);
        FileAt(top, "PG_VERSION", "16\n");
        int const base = DirAt(top, "base");
        int const db = DirAt(base, "5");
        FileAt(db, "16386", word + " table\n");
        Must(fsetxattr(openat(db, "16386", O_RDONLY), "user.pg", "relfile", 7, 0) == 0, "xattr");
        {
            int const fd = openat(db, "sparse", O_WRONLY | O_CREAT, 0600);
            Must(pwrite(fd, "tail", 4, 1 << 20) == 4, "sparse");
            close(fd);
        }
        LinkAt(top, "pg_wal", "/nonexistent/wal/pg_wal");
        int const ts = DirAt(top, "pg_tblspc");
        std::string const tsRoot = root.substr(0, root.rfind('/')) + "/ts";
        LinkAt(ts, "16385", m_liveTs + "/16385");  // absolute, to the live volume
        LinkAt(top, "current", "base/5");
        LinkAt(top, "up", "../ts/16385");  // relative, out of the volume
        Must(mkfifoat(top, "fifo", 0600) == 0 && fchownat(top, "fifo", kDbUser, kDbUser, 0) == 0, "fifo");
        Must(mknodat(top, "socket", S_IFSOCK | 0755, 0) == 0, "socket");
        Must(mknodat(top, "null", S_IFCHR | 0666, makedev(1, 3)) == 0, "device");
        int const acl = DirAt(top, "acl", 0750);
        FileAt(acl, "file", "acl\n", 0640);
        close(acl);
        std::string const aclDir = root + "/acl";
        Must(std::system(("setfacl -m u:26:rwx -m d:u:26:rx '" + aclDir + "' && setfacl -m u:27:r '" + aclDir +
                          "/file'")
                             .c_str()) == 0,
             "setfacl");
        FileAt(top, "h1", word + " one file, two names\n");
        int const sub = DirAt(top, "sub", 0755);
        Must(linkat(top, "h1", sub, "h2", 0) == 0, "hard link");
        FileAt(top, "x", "x\n");
        FileAt(top, ".x.nuvrst", "a file of the database that looks like a temporary name\n");
        // A path of about 3,900 bytes below the volume.
        int dir = DirAt(top, "long", 0700);
        for (int i = 0; i < 15; ++i) {
            int const next = DirAt(dir, std::string(250, static_cast<char>('a' + i)), 0700);
            close(dir);
            dir = next;
        }
        FileAt(dir, "deep", word + " deep\n");
        close(dir);
        // The tablespace volume.
        MakeDir(tsRoot);
        int const tsTop = open(tsRoot.c_str(), O_RDONLY | O_DIRECTORY);
        int const t1 = DirAt(tsTop, "16385");
        int const t2 = DirAt(t1, "PG_16_202307071");
        int const t3 = DirAt(t2, "5");
        FileAt(t3, "16386", word + " tablespace\n");
        for (int fd : {t3, t2, t1, tsTop}) close(fd);
        long clock = 0;
        SetTimes(top, clock);
        for (int fd : {sub, ts, db, base, top}) close(fd);
    }

    // The reference: `cp -a` of the snapshot's entry `rel` ("" the volume).
    std::map<std::string, std::string> Reference(std::string const& rel) {
        std::string const ref = m_root.base() + "/reference" + std::to_string(++m_refs);
        EXPECT_EQ(0, CopyAll(rel.empty() ? m_snap : m_snap + "/" + rel, ref));
        return Describe(ref);
    }

    std::string m_live, m_liveTs, m_snap, m_snapTs;
    std::vector<MountedVolume> m_volumes;
    std::vector<std::string> m_mounts;
    int m_refs = 0;
};

// How a tree is restored.
enum class Way { Fresh, OverAnEarlierRestore, EntryByEntry };

struct KindCase {
    char const* name;
    Way way;
};

void PrintTo(KindCase const& c, std::ostream* os) { *os << c.name; }

class KindTest : public CopyOutTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindTest, EveryEntryComesBackAsCpGivesIt) {
    KindCase const& c = GetParam();
    std::string const dest = m_root.base() + "/restored";
    if (c.way == Way::EntryByEntry) {
        CopySession session;
        DIR* d = opendir(m_snap.c_str());
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
        for (auto const& n : names)
            EXPECT_FALSE(CopyOut(m_volumes, m_live + "/" + n, dest + "/" + n, nullptr, &session).IsError()) << n;
        EXPECT_FALSE(session.finish().IsError());
    } else {
        if (c.way == Way::OverAnEarlierRestore) {
            ASSERT_FALSE(CopyOut(m_volumes, m_live, dest, nullptr).IsError());
            // What happened since: files changed, a mode, a killed writer's temporary name.
            WriteFile(dest + "/PG_VERSION", "changed\n");
            chmod((dest + "/base").c_str(), 0755);
            WriteFile(dest + "/base/.16386.1-1-1.nuvrst", "a gone writer's half");
        }
        CFzError e = CopyOut(m_volumes, m_live, dest, nullptr);
        EXPECT_FALSE(e.IsError()) << e.AsString();
    }
    std::string const diff = Differences(Reference(""), Describe(dest));
    EXPECT_EQ("", diff);
    int const fd = open((dest + "/pg_tblspc").c_str(), O_RDONLY | O_DIRECTORY);
    struct stat st;
    ASSERT_EQ(0, fstatat(fd, "16385", &st, AT_SYMLINK_NOFOLLOW));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "a link of the snapshot is restored as a link, never followed";
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(CopyOut, KindTest,
                         ::testing::Values(KindCase{"a fresh destination", Way::Fresh},
                                           KindCase{"over an earlier restore", Way::OverAnEarlierRestore},
                                           KindCase{"entry by entry in one batch", Way::EntryByEntry}));

// A path through a link of the snapshot is resolved on the snapshots: never on
// the live volume the link names.
struct LinkCase {
    char const* name;
    char const* source;  // below the data volume
    bool tablespaceVolume;  // the tablespace's snapshot is among the volumes
    bool finder;            // ... or the session finds it
    char const* restored;   // "" when the entry fails
};

void PrintTo(LinkCase const& c, std::ostream* os) { *os << c.name; }

class LinkTest : public CopyOutTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkTest, APathThroughALinkOfTheSnapshotReadsTheSnapshot) {
    LinkCase const& c = GetParam();
    // The live side: the tablespace link is gone (why one restores).
    unlink((m_live + "/pg_tblspc/16385").c_str());
    std::vector<MountedVolume> volumes{m_volumes[0]};
    if (c.tablespaceVolume) volumes.push_back(m_volumes[1]);
    CopySession session;
    int asked = 0;
    if (c.finder)
        session.setVolumeFinder([&](std::string const& path, MountedVolume* out) {
            ++asked;
            if (path.compare(0, m_liveTs.size(), m_liveTs) != 0) return false;
            *out = m_volumes[1];
            return true;
        });
    std::string const dest = m_root.base() + "/out";
    CFzError e = CopyOut(volumes, m_live + "/" + c.source, dest + "/f", nullptr, &session);
    // Another entry of the same batch is restored whatever the first gave.
    CFzError other = CopyOut(volumes, m_live + "/PG_VERSION", dest + "/PG_VERSION", nullptr, &session);
    EXPECT_FALSE(other.IsError()) << other.AsString();
    EXPECT_FALSE(session.finish().IsError());
    EXPECT_EQ("16\n", ReadFile(dest + "/PG_VERSION"));
    if (std::string(c.restored).empty()) {
        ASSERT_TRUE(e.IsError());
        EXPECT_NE(std::string::npos, e.AsString().find("pg_tblspc/16385")) << "names the link: " << e.AsString();
        EXPECT_FALSE(nuvtest::Exists(dest + "/f"));
        return;
    }
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(c.restored, ReadFile(dest + "/f"));
    if (c.finder) EXPECT_EQ(1, asked);
}

INSTANTIATE_TEST_SUITE_P(
    CopyOut, LinkTest,
    ::testing::Values(
        LinkCase{"absolute link onto another snapshotted volume", "pg_tblspc/16385/PG_16_202307071/5/16386", true,
                 false, "SNAP tablespace\n"},
        LinkCase{"absolute link onto a volume the finder mounts", "pg_tblspc/16385/PG_16_202307071/5/16386", false,
                 true, "SNAP tablespace\n"},
        LinkCase{"absolute link onto no snapshot", "pg_tblspc/16385/PG_16_202307071/5/16386", false, false, ""},
        LinkCase{"relative link out of the volume", "up/PG_16_202307071/5/16386", true, false,
                 "SNAP tablespace\n"},
        LinkCase{"relative link inside the volume", "current/16386", false, false, "SNAP table\n"}));

// An entry that cannot be restored is named; everything else is restored.
TEST_F(CopyOutTest, AnEntryInTheWayIsNamedAndTheRestIsRestored) {
    std::string const dest = m_root.base() + "/restored";
    ASSERT_FALSE(CopyOut(m_volumes, m_live, dest, nullptr).IsError());
    // The destination changed: a directory with content where the snapshot
    // has a file, a file where it has a directory.
    unlink((dest + "/x").c_str());
    MakeDir(dest + "/x");
    WriteFile(dest + "/x/kept", "someone's\n");
    ASSERT_EQ(0, std::system(("rm -rf '" + dest + "/acl'").c_str()));
    WriteFile(dest + "/acl", "a file\n");
    ASSERT_EQ(0, std::system(("rm -rf '" + dest + "/base'").c_str()));
    CFzError e = CopyOut(m_volumes, m_live, dest, nullptr);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find(dest + "/x")) << e.AsString();
    EXPECT_NE(std::string::npos, e.AsString().find(dest + "/acl")) << e.AsString();
    auto want = Reference("");
    auto got = Describe(dest);
    for (auto* tree : {&want, &got})
        for (auto it = tree->begin(); it != tree->end();)
            it = it->first == "." || it->first == "x" || it->first.compare(0, 2, "x/") == 0 || it->first == "acl" ||
                         it->first.compare(0, 4, "acl/") == 0
                     ? tree->erase(it)
                     : std::next(it);
    EXPECT_EQ("", Differences(want, got));
    EXPECT_EQ("someone's\n", ReadFile(dest + "/x/kept"));
}

// Names of one file that cannot be linked in the destination are copies.
TEST_F(CopyOutTest, HardLinksThatCannotBeLinkedAreCopied) {
    std::string const dest = MakeDir(m_root.base() + "/restored");
    std::string const other = MakeDir(dest + "/sub");
    ASSERT_EQ(0, mount("tmpfs", other.c_str(), "tmpfs", 0, "size=4m")) << std::strerror(errno);
    m_mounts.push_back(other);
    CFzError e = CopyOut(m_volumes, m_live, dest, nullptr);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ("SNAP one file, two names\n", ReadFile(dest + "/h1"));
    EXPECT_EQ("SNAP one file, two names\n", ReadFile(dest + "/sub/h2"));
}

// Directories a restore makes above its entry take the snapshot's; those
// that were there keep theirs.
TEST_F(CopyOutTest, MadeParentsTakeTheSnapshotsDirectories) {
    std::string const dest = MakeDir(m_root.base() + "/restored");
    std::string const existing = MakeDir(dest + "/long");
    chmod(existing.c_str(), 0751);
    std::string deep = "long";
    for (int i = 0; i < 15; ++i) deep += "/" + std::string(250, static_cast<char>('a' + i));
    CopySession session;
    for (std::string const& rel : {std::string("base/5/16386"), deep + "/deep"}) {
        CFzError e = CopyOut(m_volumes, m_live + "/" + rel, dest + "/" + rel, nullptr, &session);
        EXPECT_FALSE(e.IsError()) << e.AsString();
    }
    EXPECT_FALSE(session.finish().IsError());
    auto const want = Reference("");
    auto const got = Describe(dest);
    for (std::string const& rel : {std::string("base"), std::string("base/5"), deep, deep + "/deep"})
        EXPECT_EQ(want.at(rel), got.count(rel) ? got.at(rel) : "missing") << rel.substr(0, 40);
    struct stat st;
    ASSERT_EQ(0, stat(existing.c_str(), &st));
    EXPECT_EQ(0751u, st.st_mode & 07777) << "a directory that was there keeps its mode";
    EXPECT_EQ(0u, st.st_uid);
}

// Files of the restoring user (root here) are made with their mode; what the
// umask or a set-group-ID destination directory would change is set after,
// as it is for other owners' files.
struct OwnFileCase {
    char const* name;
    mode_t mode;
    uid_t uid, gid;
    mode_t umask;
    gid_t setGroupDir;  // the destination directory is set-group-ID with this group (0: a plain directory)
};

void PrintTo(OwnFileCase const& c, std::ostream* os) { *os << c.name; }

class OwnFileTest : public CopyOutTest, public ::testing::WithParamInterface<OwnFileCase> {};

TEST_P(OwnFileTest, AFileComesBackWithItsOwnerGroupModeAndData) {
    OwnFileCase const& c = GetParam();
    int const top = open(m_snap.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(top, 0);
    int const dir = DirAt(top, "own", 0755, 0);
    FileAt(dir, "file", "the restoring user's file\n", c.mode, c.uid);
    Must(fchownat(dir, "file", c.uid, c.gid, 0) == 0 && fchmodat(dir, "file", c.mode, 0) == 0, "own file");
    close(dir);
    close(top);
    std::string const dest = MakeDir(m_root.base() + "/restored");
    if (c.setGroupDir != 0) {
        Must(chown(dest.c_str(), 0, c.setGroupDir) == 0 && chmod(dest.c_str(), 02775) == 0, "set-group-ID " + dest);
    }
    mode_t const was = umask(c.umask);
    CFzError const e = CopyOut(m_volumes, m_live + "/own/file", dest + "/file", nullptr);
    umask(was);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    struct stat want, got;
    ASSERT_EQ(0, stat((m_snap + "/own/file").c_str(), &want));
    ASSERT_EQ(0, stat((dest + "/file").c_str(), &got));
    EXPECT_EQ(want.st_mode & 07777, got.st_mode & 07777);
    EXPECT_EQ(want.st_uid, got.st_uid);
    EXPECT_EQ(want.st_gid, got.st_gid);
    EXPECT_EQ(want.st_mtim.tv_sec, got.st_mtim.tv_sec);
    EXPECT_EQ(want.st_mtim.tv_nsec, got.st_mtim.tv_nsec);
    EXPECT_EQ("the restoring user's file\n", ReadFile(dest + "/file"));
}

INSTANTIATE_TEST_SUITE_P(
    CopyOut, OwnFileTest,
    ::testing::Values(OwnFileCase{"RootsFile", 0644, 0, 0, 022, 0},
                      OwnFileCase{"ReadOnly", 0444, 0, 0, 022, 0},
                      OwnFileCase{"NoPermissionAtAll", 0, 0, 0, 022, 0},
                      OwnFileCase{"BitsTheUmaskTakes", 0666, 0, 0, 022, 0},
                      OwnFileCase{"BitsAWideUmaskTakes", 0750, 0, 0, 077, 0},
                      OwnFileCase{"SetUserId", 04755, 0, 0, 022, 0},
                      OwnFileCase{"SetGroupId", 02755, 0, 0, 022, 0},
                      OwnFileCase{"Sticky", 01644, 0, 0, 022, 0},
                      OwnFileCase{"AnotherGroup", 0640, 0, kDbUser, 022, 0},
                      OwnFileCase{"AnotherOwner", 0640, kDbUser, 0, 022, 0},
                      OwnFileCase{"RootsGroupInASetGroupIdDirectory", 0644, 0, 0, 022, kDbUser},
                      OwnFileCase{"TheSetGroupIdDirectorysGroup", 0644, 0, kDbUser, 022, kDbUser}),
    [](auto const& info) { return std::string(info.param.name); });

// Temporary names are their writer's own: a gone writer's are removed, a
// living writer's are left alone.
TEST_F(CopyOutTest, OnlyTemporaryNamesOfGoneWritersAreRemoved) {
    std::string const dest = m_root.base() + "/restored";
    ASSERT_FALSE(CopyOut(m_volumes, m_live + "/base", dest, nullptr).IsError());
    // A living writer: a child that made a temporary name and waits.
    nuvtest::PipeSignal made, done;
    int const child = nuvtest::StartChild([&]() {
        std::string const temp = nuvbase::ReplacementName("16386");
        WriteFile(dest + "/5/" + temp, "living");
        WriteFile(dest + "/living-name", temp);
        made.Send();
        return done.Wait() ? 0 : 1;
    });
    ASSERT_TRUE(made.Wait());
    std::string const living = ReadFile(dest + "/living-name");
    unlink((dest + "/living-name").c_str());
    // A gone writer: a child that made one and ended.
    int const gone = nuvtest::StartChild([&]() {
        WriteFile(dest + "/5/" + nuvbase::ReplacementName("sparse"), "gone");
        return 0;
    });
    ASSERT_EQ(0, nuvtest::WaitChild(gone));
    CFzError e = CopyOut(m_volumes, m_live + "/base", dest, nullptr);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    done.Send();
    EXPECT_EQ(0, nuvtest::WaitChild(child));
    EXPECT_EQ("living", ReadFile(dest + "/5/" + living));
    std::string const diff = Differences(Reference("base"), Describe(dest));
    EXPECT_EQ(0u, diff.find("extra 5/" + living)) << diff;
    EXPECT_EQ(1, std::count(diff.begin(), diff.end(), '\n')) << "nothing else differs: " << diff;
}

// Restores into one destination at once, each in its own process: each ends
// whole or is refused naming the destination and the restore that holds it;
// the tree is the snapshot's.
TEST_F(CopyOutTest, RestoresIntoOneDestinationAtOnceEndWholeOrAreRefused) {
    auto const want = Reference("");
    for (int round = 0; round < 4; ++round) {
        std::string const dest = m_root.base() + "/restored" + std::to_string(round);
        nuvtest::PipeSignal go;
        std::vector<int> children;
        for (int i = 0; i < 4; ++i)
            children.push_back(nuvtest::StartChild([&, i]() {
                if (!go.Wait()) return 3;
                CopySession session;
                session.setHolder("restore " + std::to_string(i));
                CFzError e = CopyOut(m_volumes, m_live, dest, nullptr, &session);
                if (!e.IsError()) return session.finish().IsError() ? 4 : 0;
                std::string const text = e.AsString();
                bool const refused = text.find("is being restored by restore ") != std::string::npos &&
                                     text.find(dest) != std::string::npos;
                if (!refused) std::fprintf(stderr, "%s\n", text.c_str());
                return refused ? 2 : 1;
            }));
        for (size_t i = 0; i < children.size(); ++i) go.Send();
        int whole = 0;
        for (int pid : children) {
            int const rc = nuvtest::WaitChild(pid);
            EXPECT_TRUE(rc == 0 || rc == 2) << "round " << round << ": " << rc;
            whole += rc == 0;
        }
        EXPECT_GE(whole, 1);
        EXPECT_EQ("", Differences(want, Describe(dest))) << "round " << round;
    }
}

// What lies below a restored directory is checked too: nothing lands in the
// suite's own state.
TEST_F(CopyOutTest, EntriesBelowARestoredDirectoryStayOutOfTheSuitesState) {
    std::string const state = nuvsuite::StatePath("registry");
    ASSERT_FALSE(state.empty());
    std::string const root = state.substr(0, state.rfind('/'));
    std::string const above = root.substr(0, root.rfind('/'));
    std::string const rootName = root.substr(root.rfind('/') + 1);
    // The snapshot holds a directory named as the state root, with a
    // "registry" in it, beside other entries.
    int const top = open(m_snap.c_str(), O_RDONLY | O_DIRECTORY);
    int const fake = DirAt(top, rootName, 0755, 0);
    int const reg = DirAt(fake, "registry", 0755, 0);
    FileAt(reg, "planted", "not the suite's\n", 0644, 0);
    FileAt(fake, "beside", "beside the state\n", 0644, 0);
    for (int fd : {reg, fake, top}) close(fd);
    CFzError e = CopyOut(m_volumes, m_live, above, nullptr);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find("suite's own state")) << e.AsString();
    EXPECT_FALSE(nuvtest::Exists(state + "/planted"));
    EXPECT_FALSE(nuvtest::Exists(root + "/beside")) << "the state root is the suite's too";
    EXPECT_EQ("16\n", ReadFile(above + "/PG_VERSION")) << "the rest is restored";
}

}  // namespace
