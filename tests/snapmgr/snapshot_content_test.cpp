// A snapshot keeps the content and metadata of the moment it was made.
#include "snap_env.h"

#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>

namespace {

using snaptest::Exists;
using snaptest::ReadFile;
using snaptest::SnapEnv;
using snaptest::WriteFile;

std::string SnapDir(SMVolSnapInfo const& r, size_t i = 0) { return r.snaps().at(i).getSnapDevice(); }

TEST(SnapshotContent, KeepsTheMomentWhileTheSourceChanges) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    std::string const big(200000, 'b');
    WriteFile(src + "/rewrite.txt", "original-content");
    WriteFile(src + "/append.log", "line1\n");
    WriteFile(src + "/delete.me", "doomed");
    WriteFile(src + "/sub/deep/file", "deep");
    WriteFile(src + "/truncate.bin", big);

    SMVolSnapInfo r = SnapEnv::Snap(42, {src});
    ASSERT_EQ(0, r.getErrorCode()) << r.getErrorString();
    ASSERT_EQ(1u, r.getNumSnaps());
    std::string snap = SnapDir(r);
    EXPECT_EQ(env.state() + "/snapshots/" + std::to_string(r.snaps()[0].getSMSnapId()), snap);

    struct Change {
        char const* name;
        void (*apply)(std::string const& src);
    } const changes[] = {
        {"rewritten in place", [](std::string const& s) {
             int fd = ::open((s + "/rewrite.txt").c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(16, ::pwrite(fd, "CHANGED-CONTENT!", 16, 0));
             ::close(fd);
         }},
        {"appended", [](std::string const& s) {
             int fd = ::open((s + "/append.log").c_str(), O_WRONLY | O_APPEND);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(6, ::write(fd, "line2\n", 6));
             ::close(fd);
         }},
        {"deleted", [](std::string const& s) { ASSERT_EQ(0, ::unlink((s + "/delete.me").c_str())); }},
        {"new file", [](std::string const& s) { WriteFile(s + "/new.txt", "new"); }},
        {"deep rewrite", [](std::string const& s) { WriteFile(s + "/sub/deep/file", "DEEP!"); }},
        {"truncated", [](std::string const& s) { ASSERT_EQ(0, ::truncate((s + "/truncate.bin").c_str(), 10)); }},
        {"new directory", [](std::string const& s) { WriteFile(s + "/newdir/x", "x"); }},
    };
    for (auto const& c : changes) {
        SCOPED_TRACE(c.name);
        c.apply(src);
    }
    EXPECT_EQ("original-content", ReadFile(snap + "/rewrite.txt"));
    EXPECT_EQ("line1\n", ReadFile(snap + "/append.log"));
    EXPECT_EQ("doomed", ReadFile(snap + "/delete.me"));
    EXPECT_FALSE(Exists(snap + "/new.txt"));
    EXPECT_EQ("deep", ReadFile(snap + "/sub/deep/file"));
    EXPECT_EQ(big, ReadFile(snap + "/truncate.bin"));
    EXPECT_FALSE(Exists(snap + "/newdir"));
    // The source really changed (the copy is no alias of it).
    EXPECT_EQ("CHANGED-CONTENT!", ReadFile(src + "/rewrite.txt"));
    struct stat a, b;
    ASSERT_EQ(0, ::stat((src + "/append.log").c_str(), &a));
    ASSERT_EQ(0, ::stat((snap + "/append.log").c_str(), &b));
    EXPECT_NE(a.st_ino, b.st_ino);
}

TEST(SnapshotContent, KeepsLinksModesAndTimes) {
    SnapEnv env;
    std::string src = env.dir() + "/meta";
    WriteFile(src + "/plain", "p");
    WriteFile(src + "/script", "#!/bin/true\n");
    WriteFile(src + "/secret", "s");
    WriteFile(src + "/ro/inside", "i");
    ASSERT_EQ(0, ::symlink("plain", (src + "/rel-link").c_str()));
    ASSERT_EQ(0, ::symlink("/nonexistent/target", (src + "/dangling").c_str()));
    ASSERT_EQ(0, ::symlink("ro", (src + "/dir-link").c_str()));

    struct ModeCase {
        char const* name;
        mode_t mode;
    } const modes[] = {{"plain", 0644}, {"script", 0751}, {"secret", 0600}, {"ro", 0555}, {"ro/inside", 0444}};
    for (auto const& m : modes) ASSERT_EQ(0, ::chmod((src + "/" + m.name).c_str(), m.mode));
    struct timespec times[2] = {{1000000000, 111111111}, {1200000000, 222222222}};
    for (char const* name : {"plain", "ro/inside", "ro"})
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, (src + "/" + name).c_str(), times, 0));
    struct timespec linkTimes[2] = {{1300000000, 5}, {1400000000, 6}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (src + "/rel-link").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW));
    if (snaptest::IsRoot()) {
        ASSERT_EQ(0, ::chown((src + "/secret").c_str(), 1234, 4321));
    }

    SMVolSnapInfo r = SnapEnv::Snap(7, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string snap = SnapDir(r);

    for (auto const& m : modes) {
        struct stat st;
        ASSERT_EQ(0, ::lstat((snap + "/" + m.name).c_str(), &st)) << m.name;
        EXPECT_EQ(m.mode, st.st_mode & 07777) << m.name;
    }
    struct LinkCase {
        char const* name;
        char const* target;
    } const links[] = {{"rel-link", "plain"}, {"dangling", "/nonexistent/target"}, {"dir-link", "ro"}};
    for (auto const& l : links) {
        struct stat st;
        ASSERT_EQ(0, ::lstat((snap + "/" + l.name).c_str(), &st)) << l.name;
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << l.name;
        char buf[256] = {};
        ASSERT_GT(::readlink((snap + "/" + l.name).c_str(), buf, sizeof buf - 1), 0);
        EXPECT_STREQ(l.target, buf);
    }
    for (char const* name : {"plain", "ro/inside", "ro"}) {
        struct stat st;
        ASSERT_EQ(0, ::lstat((snap + "/" + name).c_str(), &st));
        EXPECT_EQ(1200000000, st.st_mtim.tv_sec) << name;
        EXPECT_EQ(222222222, st.st_mtim.tv_nsec) << name;
        EXPECT_EQ(1000000000, st.st_atim.tv_sec) << name;
    }
    struct stat ls;
    ASSERT_EQ(0, ::lstat((snap + "/rel-link").c_str(), &ls));
    EXPECT_EQ(1400000000, ls.st_mtim.tv_sec);
    if (snaptest::IsRoot()) {
        struct stat st;
        ASSERT_EQ(0, ::lstat((snap + "/secret").c_str(), &st));
        EXPECT_EQ(1234u, st.st_uid);
        EXPECT_EQ(4321u, st.st_gid);
    }
}

// A full copy (the state root and the source lie on one file system without
// reflink here, or across file systems) keeps holes and hard links.
TEST(SnapshotContent, KeepsHolesAndHardLinks) {
    SnapEnv env;
    std::string src = env.dir() + "/sparse";
    WriteFile(src + "/outside-twin", "twin");  // linked from outside the volume below
    std::string vol = src + "/vol";
    std::filesystem::create_directories(vol);
    int fd = ::open((vol + "/big.sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::string const block(4096, 'd');
    off_t const size = off_t(64) << 20;
    ASSERT_EQ(4096, ::pwrite(fd, block.data(), block.size(), 1 << 20));         // data in the middle
    ASSERT_EQ(4096, ::pwrite(fd, block.data(), block.size(), size - 8192));     // and near the end
    ASSERT_EQ(0, ::ftruncate(fd, size));
    ::close(fd);
    WriteFile(vol + "/a", "shared");
    ASSERT_EQ(0, ::link((vol + "/a").c_str(), (vol + "/b").c_str()));
    ASSERT_EQ(0, ::link((vol + "/a").c_str(), (vol + "/sub-b").c_str()));
    WriteFile(vol + "/c", "shared");  // same content, another file
    ASSERT_EQ(0, ::link((src + "/outside-twin").c_str(), (vol + "/twin").c_str()));

    SMVolSnapInfo r = SnapEnv::Snap(8, {vol});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string snap = SnapDir(r);

    struct stat st;
    ASSERT_EQ(0, ::stat((snap + "/big.sparse").c_str(), &st));
    EXPECT_EQ(size, st.st_size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "holes were filled in";
    std::string const copy = ReadFile(snap + "/big.sparse");
    ASSERT_EQ(size_t(size), copy.size());
    EXPECT_EQ(block, copy.substr(1 << 20, 4096));
    EXPECT_EQ(block, copy.substr(size_t(size) - 8192, 4096));
    EXPECT_EQ(std::string(4096, '\0'), copy.substr(0, 4096));

    struct stat a, b, subB, c, twin;
    ASSERT_EQ(0, ::stat((snap + "/a").c_str(), &a));
    ASSERT_EQ(0, ::stat((snap + "/b").c_str(), &b));
    ASSERT_EQ(0, ::stat((snap + "/sub-b").c_str(), &subB));
    ASSERT_EQ(0, ::stat((snap + "/c").c_str(), &c));
    ASSERT_EQ(0, ::stat((snap + "/twin").c_str(), &twin));
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_ino, subB.st_ino);
    EXPECT_EQ(3u, a.st_nlink);
    EXPECT_NE(a.st_ino, c.st_ino);
    EXPECT_EQ(1u, twin.st_nlink);  // its other name lies outside the volume
    EXPECT_EQ("twin", ReadFile(snap + "/twin"));
    EXPECT_EQ("shared", ReadFile(snap + "/b"));
}

TEST(SnapshotContent, KeepsSpecialFilesAndSkipsTheStateRoot) {
    SnapEnv env;
    // The volume holds the state root itself: the copy must not swallow the catalogue or earlier copies.
    std::string src = env.dir();
    WriteFile(src + "/data/file", "f");
    ASSERT_EQ(0, ::mkfifo((src + "/data/fifo").c_str(), 0600));
    SMVolSnapInfo r = SnapEnv::Snap(9, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string snap = SnapDir(r);
    EXPECT_EQ("f", ReadFile(snap + "/data/file"));
    struct stat fifo;
    ASSERT_EQ(0, ::lstat((snap + "/data/fifo").c_str(), &fifo));
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(0600u, fifo.st_mode & 07777);
    EXPECT_FALSE(Exists(snap + "/state"));
}

TEST(SnapshotContent, DoesNotDescendIntoOtherMounts) {
    if (!snaptest::IsRoot()) GTEST_SKIP() << "needs root to mount inside the source";
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/own", "own");
    WriteFile(env.dir() + "/other/foreign", "foreign");
    ASSERT_EQ(0, ::mkdir((src + "/inner").c_str(), 0755));
    ASSERT_EQ(0, ::mount((env.dir() + "/other").c_str(), (src + "/inner").c_str(), nullptr, MS_BIND, nullptr));
    SMVolSnapInfo r = SnapEnv::Snap(10, {src});
    ::umount2((src + "/inner").c_str(), MNT_DETACH);
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string snap = SnapDir(r);
    EXPECT_EQ("own", ReadFile(snap + "/own"));
    struct stat st;
    ASSERT_EQ(0, ::stat((snap + "/inner").c_str(), &st));  // the mount point stays, empty
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(Exists(snap + "/inner/foreign"));
}

TEST(SnapshotContent, CreateRefusesVolumesItCannotCopy) {
    SnapEnv env;
    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "f");
    SnapEnv::DeclareVolume(src);
    JZSnapClientAPI client;
    struct Case {
        char const* name;
        std::vector<std::string> sources;
        bool prepare;
        int code;
    } const cases[] = {
        {"not prepared", {src}, false, SM_ERR_NOT_PREPARED},
        {"missing source", {env.dir() + "/missing"}, true, SM_ERR_VOLUME},
        {"relative source", {"relative/dir"}, true, SM_ERR_INVALID_ARGUMENT},
        {"no volumes", {}, true, SM_ERR_INVALID_ARGUMENT},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo r = SnapEnv::Record(1, c.sources);
        bool ok = c.prepare ? client.prepareVolumeSnaps(r) && client.createVolumeSnaps(r) : client.createVolumeSnaps(r);
        EXPECT_FALSE(ok);
        EXPECT_EQ(c.code, r.getErrorCode()) << r.getErrorString();
        EXPECT_EQ(c.code, client.getErrCode());
    }
    // Nothing was made.
    EXPECT_TRUE(std::filesystem::is_empty(env.state() + "/snapshots"));
}

TEST(SnapshotContent, PrepareFillsDetailsAndIds) {
    SnapEnv env;
    std::string a = env.dir() + "/a", b = env.dir() + "/b";
    WriteFile(a + "/f", "1");
    WriteFile(b + "/f", "2");
    SnapEnv::DeclareVolume(a, "xfs", "rw,noatime");
    SnapEnv::DeclareVolume(b);
    SMVolSnapInfo r = SnapEnv::Record(3, {a, b});
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(r)) << r.getErrorString();
    auto const& v = r.volumes();
    EXPECT_EQ("xfs:rw,noatime", v[0].getMountOptions());
    EXPECT_EQ("ext4:rw", v[1].getMountOptions());
    EXPECT_FALSE(v[0].getSourceDevice().empty());
    EXPECT_GT(v[0].getSMVolumeId(), 0);
    EXPECT_GT(v[1].getSMVolumeId(), 0);
    EXPECT_NE(v[0].getSMVolumeId(), v[1].getSMVolumeId());
    // A second prepare keeps the ids it gave.
    SMVolSnapInfo again = r;
    ASSERT_TRUE(client.prepareVolumeSnaps(again));
    EXPECT_EQ(r.volumes()[0].getSMVolumeId(), again.volumes()[0].getSMVolumeId());
    EXPECT_EQ(1, client.preCreateVolumeSnaps(again));
    ASSERT_TRUE(client.createVolumeSnaps(again));
    EXPECT_EQ(2u, again.getNumSnaps());
    EXPECT_EQ("2", ReadFile(again.snaps()[1].getSnapDevice() + "/f"));
    EXPECT_EQ(1, client.postCreateVolumeSnaps(again));
}

TEST(SnapshotContent, ListAndUpdateByJobAndArchiveFile) {
    SnapEnv env;
    std::string a = env.dir() + "/a";
    WriteFile(a + "/f", "1");
    SnapEnv::DeclareVolume(a);
    SMVolSnapInfo r = SnapEnv::Record(55, {a});
    r.volumes()[0].setArchFileId(777);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(r));
    ASSERT_TRUE(client.createVolumeSnaps(r));

    SMVolSnapInfo byJob;
    byJob.setJobId(99);
    byJob.setSnapJobId(55);
    ASSERT_TRUE(client.getVolumeSnaps(byJob)) << byJob.getErrorString();
    ASSERT_EQ(1u, byJob.getNumVolumes());
    EXPECT_EQ(r.snaps()[0].getSnapDevice(), byJob.snaps()[0].getSnapDevice());
    EXPECT_EQ(r.volumes()[0].getSMVolumeId(), byJob.volumes()[0].getSMVolumeId());

    SMVolSnapInfo byAfile;
    byAfile.setArchFileId(777);
    ASSERT_TRUE(client.getVolumeSnaps(byAfile));
    EXPECT_EQ(1u, byAfile.getNumSnaps());

    byJob.volumes()[0].setVolumeFlags(0x20000);
    EXPECT_EQ(1, client.updateVolumeSnaps(byJob));
    SMVolSnapInfo reread;
    reread.setSnapJobId(55);
    ASSERT_TRUE(client.getVolumeSnaps(reread));
    EXPECT_EQ(0x20000, reread.volumes()[0].getVolumeFlags());

    SMVolSnapInfo none;
    none.setSnapJobId(56);
    EXPECT_FALSE(client.getVolumeSnaps(none));
    EXPECT_EQ(SM_ERR_NOT_FOUND, none.getErrorCode());
}

TEST(SnapshotContent, AnUpdateThatFailsPartWaySavesNothing) {
    SnapEnv env;
    std::string a = env.dir() + "/a", b = env.dir() + "/b";
    WriteFile(a + "/f", "1");
    WriteFile(b + "/f", "2");
    SMVolSnapInfo r = SnapEnv::Snap(57, {a, b});
    ASSERT_EQ(2u, r.getNumSnaps()) << r.getErrorString();
    // The catalogue refuses the second volume's entry (a trigger of this connection only).
    auto& cat = nuvsuite::Catalogue::Instance();
    ASSERT_FALSE(cat.Exec("CREATE TEMP TRIGGER refuse_second BEFORE UPDATE OF volume_xml ON sm_snapshots WHEN NEW.id = " +
                          std::to_string(r.snaps()[1].getSMSnapId()) +
                          " BEGIN SELECT RAISE(ABORT, 'entry refused'); END")
                     .IsError());
    for (auto& v : r.volumes()) v.setVolumeFlags(0x20000);
    JZSnapClientAPI client;
    EXPECT_EQ(0, client.updateVolumeSnaps(r));
    EXPECT_EQ(SM_ERR_INTERNAL, r.getErrorCode());
    EXPECT_NE(std::string::npos, r.getErrorString().find("entry refused")) << r.getErrorString();
    ASSERT_FALSE(cat.Exec("DROP TRIGGER refuse_second").IsError());
    SMVolSnapInfo reread;
    reread.setSnapJobId(57);
    ASSERT_TRUE(client.getVolumeSnaps(reread)) << reread.getErrorString();
    ASSERT_EQ(2u, reread.getNumVolumes());
    for (auto const& v : reread.volumes()) EXPECT_EQ(0, v.getVolumeFlags()) << v.getSourcePath();
}

TEST(SnapshotContent, WhatACreateThatDiedHalfWayLeftIsSweptAway) {
    SnapEnv env;
    pid_t dead = ::fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) ::_exit(0);
    ASSERT_EQ(dead, ::waitpid(dead, nullptr, 0));  // a creator that is gone
    int const zombie = nuvtest::StartZombie();       // one that exited, not yet reaped by its parent
    ASSERT_GT(zombie, 0);

    struct Case {
        char const* name;
        char const* state;
        pid_t creator;  // of an abandoned row: the sweep that claimed it
        bool renamed;   // the copy had been put in place, the row not yet marked ready
        bool swept;
    } const cases[] = {
        {"partial copy of a dead creator", "creating", dead, false, true},
        {"copy in place, creator died before marking it ready", "creating", dead, true, true},
        {"partial copy of a creator still running", "creating", ::getppid(), false, false},
        {"partial copy of a creator that is a zombie", "creating", zombie, false, true},
        {"claimed by a sweep that died before removing it", "abandoned", dead, false, true},
        {"claimed by a sweep still running", "abandoned", ::getppid(), false, false},
    };
    auto& cat = nuvsuite::Catalogue::Instance();
    std::vector<int64_t> ids;
    std::vector<std::string> copies;
    for (auto const& c : cases) {
        std::vector<nuvsuite::CatRow> rows;
        ASSERT_FALSE(cat.Query("INSERT INTO sm_snapshots(job_id, source_path, state, creator_pid) "
                               "VALUES(60, '/x', ?, ?) RETURNING id",
                               {std::string(c.state), int64_t(c.creator)}, &rows)
                         .IsError());
        ASSERT_EQ(1u, rows.size());
        ids.push_back(nuvsuite::AsInt(rows[0][0]));
        std::string name = (c.renamed ? "" : ".partial-") + std::to_string(ids.back());
        copies.push_back(env.state() + "/snapshots/" + name);
        WriteFile(copies.back() + "/sub/file", "half");
    }

    std::string src = env.dir() + "/src";
    WriteFile(src + "/f", "whole");
    SMVolSnapInfo r = SnapEnv::Snap(61, {src});  // the next create sweeps
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    EXPECT_EQ("whole", ReadFile(SnapDir(r) + "/f"));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(!cases[i].swept, Exists(copies[i]));
        std::vector<nuvsuite::CatRow> rows;
        ASSERT_FALSE(cat.Query("SELECT state FROM sm_snapshots WHERE id = ?", {ids[i]}, &rows).IsError());
        EXPECT_EQ(cases[i].swept ? 0u : 1u, rows.size());
    }
    EXPECT_EQ(0, nuvtest::WaitChild(zombie));
}

// A volume that holds the suite's state or its snapshot folder would be copied
// into itself: it is refused at the prepare with a clear message.
TEST(SnapshotContent, VolumeThatWouldCopyIntoItselfIsRefused) {
    struct Case {
        char const* name;
        std::function<std::string(SnapEnv&)> volume;  // arranges the case, gives the volume
        char const* expected;
    } const cases[] = {
        {"the state root", [](SnapEnv& env) { return env.state(); }, "holds the suite's snapshot folder"},
        {"the snapshot folder", [](SnapEnv& env) { return nuvsuite::StatePath("snapshots"); },
         "holds the suite's snapshot folder"},
        {"a folder holding the linked snapshot folder",
         [](SnapEnv& env) {
             std::string const data = env.dir() + "/data";
             WriteFile(data + "/copies/.keep", "");
             std::string const link = env.state() + "/snapshots";
             std::filesystem::remove_all(link);
             std::filesystem::create_directory_symlink(data + "/copies", link);
             return data;
         },
         "holds the suite's snapshot folder"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SnapEnv env;
        std::string const volume = c.volume(env);
        SnapEnv::DeclareVolume(volume);
        SMVolSnapInfo r = SnapEnv::Record(70, {volume});
        JZSnapClientAPI client;
        EXPECT_FALSE(client.prepareVolumeSnaps(r));
        EXPECT_EQ(SM_ERR_VOLUME, r.getErrorCode());
        EXPECT_NE(std::string::npos, r.getErrorString().find(c.expected)) << r.getErrorString();
    }
}

}  // namespace
