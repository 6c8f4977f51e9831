// What a restore does to its destination, on each road (partial through the
// restore-files client, four streams, full through the file-restore
// program): the layout comes from the request whatever a killed run left;
// nothing is written outside the destination or inside the suite's state;
// holes and hard links are kept; a failed restore leaves no partial file and
// the old files whole; a killed restore leaves no process behind.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/base/tree_claim.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sstream>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>

using namespace nuvrestoretest;

namespace {

char const* Name(Road road) {
    return road == Road::Partial ? "partial" : road == Road::Streams ? "4 streams" : "full";
}

// A listing of a tree that tells everything a restore must get right: kind,
// mode, owner, content (or link target) and which files are one file.
std::map<std::string, std::string> Detailed(std::string const& root) {
    std::map<std::string, std::string> out;
    std::map<std::pair<dev_t, ino_t>, std::string> firstName;
    for (auto const& e : Tree(root)) {
        struct stat st;
        std::string const path = root + "/" + e.first;
        if (lstat(path.c_str(), &st) != 0) {
            out[e.first] = "gone";
            continue;
        }
        std::string text = e.second.substr(0, 1) + " " + std::to_string(st.st_mode & 07777) + " " +
                           std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
        if (S_ISREG(st.st_mode)) {
            text += " " + std::to_string(st.st_size) + " " + std::to_string(std::hash<std::string>()(e.second));
            auto first = firstName.emplace(std::make_pair(st.st_dev, st.st_ino), e.first);
            if (st.st_nlink > 1) text += " one file with " + first.first->second;
        } else if (S_ISLNK(st.st_mode)) {
            text += " " + e.second;
        }
        out[e.first] = text;
    }
    return out;
}

// Names a killed or failed placement would leave behind (contents unread).
std::vector<std::string> Leftovers(std::string const& root) {
    std::vector<std::string> found;
    DIR* d = opendir(root.c_str());
    if (d == nullptr) return found;
    while (dirent* e = readdir(d)) {
        std::string const name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name.find(".nuvrst") != std::string::npos) found.push_back(root + "/" + name);
        if (e->d_type == DT_DIR)
            for (auto const& below : Leftovers(root + "/" + name)) found.push_back(below);
    }
    closedir(d);
    return found;
}

// `length` bytes of a file at `offset`.
std::string ReadAt(std::string const& path, off_t offset, size_t length) {
    std::string out(length, '?');
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t const n = fd < 0 ? -1 : pread(fd, &out[0], length, offset);
    if (fd >= 0) close(fd);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

// The processes whose command line names this state root's file-restore program.
std::vector<int> RestorePrograms(std::string const& root) {
    std::vector<int> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* e = readdir(proc)) {
        int const pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::string const cmdline = ReadFile(std::string("/proc/") + e->d_name + "/cmdline");
        if (cmdline.find(root) != std::string::npos && cmdline.find("Brisvolk.exe") != std::string::npos &&
            JzProcess::IsAlive(pid))
            pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

class DestinationTest : public RestoreTest {
protected:
    void TearDown() override {
        for (auto const& m : m_mounts) umount2(m.c_str(), MNT_DETACH);
        RestoreTest::TearDown();
    }

    // Restores `rel` of the volume ("" the whole volume) to `dest` on `road`,
    // as a restore job of its own; the road's result. Four streams deal the
    // entries of the restored directory round-robin, each to dest/<entry>.
    int RestoreBy(Road road, SnapJob const& job, std::string const& volume, std::string const& rel,
                  std::string const& dest) {
        StartRestoreJob();
        ArchFileInfo af = WholeVolume(job, volume, dest);
        af.dataFiles.front().srcPath = rel.empty() ? volume : volume + "/" + rel;
        std::map<int, std::list<ArchFileInfo>> streams;
        if (road == Road::Streams) {
            int next = 0;
            std::string const prefix = rel.empty() ? "" : rel + "/";
            for (auto const& e : SnapTree(volume, job)) {
                if (e.first.compare(0, prefix.size(), prefix) != 0) continue;
                std::string const entry = e.first.substr(prefix.size());
                if (entry.empty() || entry.find('/') != std::string::npos) continue;
                auto& list = streams[next++ % 4];
                if (list.empty()) {
                    list.push_back(af);
                    list.front().dataFiles.clear();
                }
                DataFileInfo df;
                df.srcPath = volume + "/" + prefix + entry;
                df.destPath = dest + "/" + entry;
                list.front().dataFiles.push_back(df);
            }
        }
        return RunRoad(road, job, af, streams);
    }

    // A small file system of its own (tmpfs of `megabytes`), gone with the test.
    std::string SmallVolume(std::string const& name, int megabytes) {
        std::string const dir = MakeDir(m_root.base() + "/" + name);
        std::string const size = "size=" + std::to_string(megabytes) + "m";
        EXPECT_EQ(0, mount("tmpfs", dir.c_str(), "tmpfs", 0, size.c_str())) << std::strerror(errno);
        m_mounts.push_back(dir);
        return dir;
    }

    std::vector<std::string> m_mounts;
};

class RoadTest : public DestinationTest, public ::testing::WithParamInterface<Road> {};

std::string PrintRoad(::testing::TestParamInfo<Road> const& info) {
    return info.param == Road::Partial ? "Partial" : info.param == Road::Streams ? "Streams" : "Full";
}

// A killed run made the destination's directories before it died: the rerun
// lays out what a clean restore does, not the same again one level deeper.
TEST_P(RoadTest, ARerunOverWhatAKilledRunMadeLaysOutWhatACleanRestoreDoes) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    std::string const clean = m_root.base() + "/clean", again = m_root.base() + "/again";
    ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "base", clean));
    // What the killed run left: the destination and a directory below it, an
    // entry half written under its temporary name.
    MakeDir(again);
    MakeDir(again + "/1");
    pid_t const killed = fork();
    if (killed == 0) {
        WriteFile(again + "/1/" + nuvbase::ReplacementName("2608"), "half");
        _exit(0);
    }
    ASSERT_EQ(killed, waitpid(killed, nullptr, 0));
    ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "base", again));
    EXPECT_TRUE(Detailed(clean) == Detailed(again)) << Name(GetParam());
    EXPECT_TRUE(Tree(clean) == Tree(again));
    EXPECT_EQ("f:pg_class rows of a\n", Tree(again)["1/1259"]);
}

// A link planted in the destination leads nowhere unless root owns it (or
// the restore laid it out from the snapshot): database layouts keep working.
TEST_P(RoadTest, APlantedLinkIsFollowedOnlyWhenRootOwnsIt) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    for (bool const rootOwned : {false, true}) {
        SCOPED_TRACE(rootOwned ? "root's link" : "another user's link");
        std::string const tag = rootOwned ? "root" : "user";
        std::string const outside = MakeDir(m_root.base() + "/outside-" + tag);
        std::string const dest = MakeDir(m_root.base() + "/dest-" + tag);
        ASSERT_EQ(0, symlink(outside.c_str(), (dest + "/sub").c_str()));
        ASSERT_EQ(0, lchown((dest + "/sub").c_str(), rootOwned ? 0 : 65534, rootOwned ? 0 : 65534));
        int const rc = RestoreBy(GetParam(), job, a, "base", dest + "/sub/deep/base");
        if (rootOwned) {
            EXPECT_EQ(0, rc);
            EXPECT_EQ("f:pg_class rows of a\n", Tree(outside)["deep/base/1/1259"]);
        } else {
            EXPECT_NE(0, rc) << "a restore that could not write reports it";
            EXPECT_TRUE(Tree(outside).empty()) << "nothing is written through the link";
        }
    }
}

// A destination name that is a hard link of a file elsewhere gets a new
// file: the other file keeps its content, mode and owner.
TEST_P(RoadTest, AHardLinkOfAFileElsewhereIsReplacedNeverWritten) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    std::string const outside = MakeDir(m_root.base() + "/outside") + "/secret";
    WriteFile(outside, "not the restore's\n");
    ASSERT_EQ(0, chmod(outside.c_str(), 0640));
    ASSERT_EQ(0, chown(outside.c_str(), 65534, 65534));
    std::string const dest = MakeDir(m_root.base() + "/dest");
    MakeDir(dest + "/1");
    ASSERT_EQ(0, link(outside.c_str(), (dest + "/1/1259").c_str()));
    ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "base", dest));
    struct stat st;
    ASSERT_EQ(0, stat(outside.c_str(), &st));
    EXPECT_EQ("not the restore's\n", ReadFile(outside));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(65534u, st.st_uid);
    EXPECT_EQ(1u, st.st_nlink) << "the destination's name no longer names it";
    EXPECT_EQ("pg_class rows of a\n", ReadFile(dest + "/1/1259"));
}

// The suite's own state is no destination: a snapshot's copy stays as it
// was, a job-results folder gets nothing.
TEST_P(RoadTest, ADestinationInTheSuitesOwnStateIsRefused) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    // The snapshot's copy of the volume's "base" directory.
    std::string copy;
    for (auto const& e : Tree(nuvsuite::StatePath("snapshots")))
        if (e.first.size() >= 11 && e.first.compare(e.first.size() - 11, 11, "base/1/1259") == 0)
            copy = nuvsuite::StatePath("snapshots") + "/" + e.first.substr(0, e.first.size() - 7);
    ASSERT_FALSE(copy.empty());
    auto const before = Detailed(copy);
    SnapJob later = Snapshot({a});  // the volume changed since the first: restored over its copy
    EXPECT_NE(0, RestoreBy(GetParam(), later, a, "base", copy));
    EXPECT_TRUE(before == Detailed(copy)) << "the copy is untouched";
    EXPECT_EQ("pg_class rows of a\n", ReadFile(copy + "/1/1259"));
    std::string const fresh = nuvsuite::StatePath("jobresults") + "/restored";
    EXPECT_NE(0, RestoreBy(GetParam(), job, a, "base", fresh));
    EXPECT_FALSE(Exists(fresh));
    // The suite's loop volumes and other folders of the state root are no
    // state of the suite: a restore may go there.
    std::string const volume = m_root.path() + "/volumes/v/restored";
    EXPECT_EQ(0, RestoreBy(GetParam(), job, a, "base", volume));
    EXPECT_EQ("pg_class rows of a\n", ReadFile(volume + "/1/1259"));
}

// A sparse file takes no more room restored than in the snapshot, and hard
// links stay one file; a restore that runs out of room removes what it wrote
// partly and leaves the files that were there whole.
TEST_P(RoadTest, HolesAndHardLinksAreKeptAndAFullVolumeLeavesNoPartialFile) {
    std::string const a = MakeVolume("a");
    MakeDir(a + "/big");
    {
        int fd = open((a + "/big/sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::string const data(8192, 'd');
        ASSERT_EQ(8192, pwrite(fd, data.data(), data.size(), 32LL << 20));
        ASSERT_EQ(0, ftruncate(fd, 64LL << 20));
        close(fd);
    }
    MakeDir(a + "/big/links");
    WriteFile(a + "/big/links/h1", "one file, three names\n");
    ASSERT_EQ(0, link((a + "/big/links/h1").c_str(), (a + "/big/links/h2").c_str()));
    ASSERT_EQ(0, link((a + "/big/links/h1").c_str(), (a + "/big/links/h3").c_str()));
    MakeDir(a + "/fill");
    WriteFile(a + "/fill/small", "small\n");
    WriteFile(a + "/fill/large", std::string(12 << 20, 'L'));
    SnapJob job = Snapshot({a});

    std::string const room = SmallVolume("room", 8);
    ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "big", room + "/big"));
    struct stat st;
    ASSERT_EQ(0, stat((room + "/big/sparse").c_str(), &st));
    EXPECT_EQ(64LL << 20, st.st_size) << "eight times the room of the volume";
    EXPECT_LT(st.st_blocks * 512LL, 1LL << 20) << "the holes stay holes";
    EXPECT_EQ(std::string(8192, 'd'), ReadAt(room + "/big/sparse", 32LL << 20, 8192));
    EXPECT_EQ(std::string(4096, '\0'), ReadAt(room + "/big/sparse", 0, 4096));
    auto const tree = Detailed(room + "/big/links");
    EXPECT_NE(std::string::npos, tree.at("h2").find("one file with h1"));
    EXPECT_NE(std::string::npos, tree.at("h3").find("one file with h1"));

    // The old files of the destination; the large file does not fit.
    MakeDir(room + "/fill");
    WriteFile(room + "/fill/large", "the old large file\n");
    struct statvfs before;
    ASSERT_EQ(0, statvfs(room.c_str(), &before));
    EXPECT_NE(0, RestoreBy(GetParam(), job, a, "fill", room + "/fill"));
    EXPECT_EQ("the old large file\n", ReadFile(room + "/fill/large"));
    EXPECT_TRUE(Leftovers(room).empty());
    struct statvfs after;
    ASSERT_EQ(0, statvfs(room.c_str(), &after));
    EXPECT_LE(before.f_bfree - after.f_bfree, 64u) << "no room is left taken by a partial file";
}

INSTANTIATE_TEST_SUITE_P(Roads, RoadTest, ::testing::Values(Road::Partial, Road::Streams, Road::Full), PrintRoad);

// A restore killed at a random moment and run again gives the tree a clean
// restore gives, file by file, and its program does not outlive it. Half the
// kills fall anywhere in the run, half while it copies (after the
// destination appeared).
TEST_P(RoadTest, AKilledRestoreRunAgainGivesTheWholeTree) {
    using Clock = std::chrono::steady_clock;
    auto const micros = [](Clock::duration d) {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    };
    std::string const a = MakeVolume("a");
    MakeDir(a + "/bulk");
    for (int i = 0; i < 24; ++i) {
        std::string const dir = MakeDir(a + "/bulk/d" + std::to_string(i % 6));
        WriteFile(dir + "/f" + std::to_string(i), std::string(256 << 10, static_cast<char>('a' + i)));
    }
    SnapJob job = Snapshot({a});
    // Starts the restore to `dest` in a process of its own.
    auto const start = [&](std::string const& dest) {
        pid_t const child = fork();
        if (child == 0) _exit(RestoreBy(GetParam(), job, a, "", dest) == 0 ? 0 : 1);
        return child;
    };
    // A clean run, timed: the whole run, and how long it copies.
    std::string const clean = m_root.base() + "/clean";
    auto const began = Clock::now();
    pid_t const timed = start(clean);
    ASSERT_GT(timed, 0);
    auto appeared = began;
    int status = 0;
    while (waitpid(timed, &status, WNOHANG) == 0) {
        if (appeared == began && Exists(clean)) appeared = Clock::now();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    long const whole = micros(Clock::now() - began), copying = micros(Clock::now() - appeared);
    auto const expected = Detailed(clean);
    ASSERT_FALSE(expected.empty());
    std::mt19937 random(static_cast<unsigned>(whole));
    for (int run = 0; run < 10; ++run) {
        bool const whileCopying = run % 2 == 1;
        long const delay = std::uniform_int_distribution<long>(0, whileCopying ? copying : whole)(random);
        SCOPED_TRACE(std::string(Name(GetParam())) + " killed " + std::to_string(delay) + " us after " +
                     (whileCopying ? "the destination appeared" : "the start"));
        std::string const dest = m_root.base() + "/killed" + std::to_string(run);
        pid_t const child = start(dest);
        ASSERT_GT(child, 0);
        for (int i = 0; whileCopying && i < 200000 && !Exists(dest); ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        kill(child, SIGKILL);
        ASSERT_EQ(child, waitpid(child, &status, 0));
        for (int i = 0; i < 25 && !RestorePrograms(m_root.path()).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(RestorePrograms(m_root.path()).empty()) << "no program of the killed restore runs on";
        ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "", dest));
        EXPECT_TRUE(expected == Detailed(dest));
        EXPECT_TRUE(Leftovers(dest).empty());
    }
}

// Mount points (unescaped) below `dir` in this process's mount table.
std::vector<std::string> MountsBelow(std::string const& dir) {
    std::vector<std::string> out;
    std::istringstream table(ReadFile("/proc/self/mountinfo"));
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        std::string w, point;
        for (int i = 0; i < 5 && words >> w; ++i) point = w;
        std::string plain;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                plain += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0'));
                i += 3;
            } else {
                plain += point[i];
            }
        }
        if (plain.compare(0, dir.size() + 1, dir + "/") == 0) out.push_back(plain);
    }
    return out;
}

// A restore killed with its snapshot mount recorded but not made, and with
// the mount made: the next suite command leaves nothing mounted and no mount
// row, and the restore run again mounts once and leaves nothing either.
TEST_P(RoadTest, AKilledRestoreLeavesNoMountBehind) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    std::string const clean = m_root.base() + "/clean";
    ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "", clean));
    std::string const hold = MakeDir(m_root.base() + "/hold");
    auto const mountRows = [] {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM sm_mounts", {}, &rows).IsError());
        return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
    };
    for (char const* moment : {"recorded ", "mounted "}) {
        SCOPED_TRACE(std::string(Name(GetParam())) + ", killed at " + moment);
        ::unlink((hold + "/held").c_str());
        nuvsuite::ClearFaults();
        nuvsuite::AddFault("snapmgr", "hold", 0, hold, 1, moment);
        std::string const dest = m_root.base() + "/dest-" + moment;
        pid_t const child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(RestoreBy(GetParam(), job, a, "", dest) == 0 ? 0 : 1);
        for (int i = 0; i < 6000 && !Exists(hold + "/held"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool const reached = Exists(hold + "/held");
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(reached) << "the restore never reached its mount";
        EXPECT_EQ(1, mountRows());

        nuvtest::ProgramResult r = nuvtest::RunProgram(NUV_OUT_DIR "/bin/jzsuite", {"list", "mount"});
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_TRUE(MountsBelow(m_root.path()).empty()) << MountsBelow(m_root.path()).front();
        EXPECT_EQ(0, mountRows());

        nuvsuite::ClearFaults();
        ASSERT_EQ(0, RestoreBy(GetParam(), job, a, "", dest));
        EXPECT_TRUE(Detailed(dest) == Detailed(clean));
        EXPECT_TRUE(MountsBelow(m_root.path()).empty());
        EXPECT_EQ(0, mountRows());
    }
}

// The claim files of the state root: the destinations restores hold (or a
// killed one held).
std::vector<std::string> Claims() {
    std::vector<std::string> out;
    std::string const folder = nuvsuite::StatePath("locks") + "/claims";
    DIR* d = opendir(folder.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d))
        if (std::strstr(e->d_name, ".claim") != nullptr) out.push_back(e->d_name);
    closedir(d);
    return out;
}

// A restore killed with a file written under its temporary name, before the
// rename: the next suite command leaves nothing of it in the destination (no
// temporary name, no claim, no mount), and a live writer's temporary file in
// the same tree stays.
TEST_P(RoadTest, AKilledRestoresTemporaryFilesAreSweptByTheNextSuiteCommand) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    std::string const hold = MakeDir(m_root.base() + "/hold");
    std::string const dest = m_root.base() + "/dest";
    nuvsuite::AddFault("restorefiles", "hold", 0, hold, 1, "written ");
    pid_t const child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(RestoreBy(GetParam(), job, a, "", dest) == 0 ? 0 : 1);
    for (int i = 0; i < 6000 && !Exists(hold + "/held"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool const reached = Exists(hold + "/held");
    // A live writer's file in the killed restore's tree (this process).
    std::string const live = dest + "/" + nuvbase::ReplacementName("PG_VERSION");
    if (reached) WriteFile(live, "a live restore's half\n");
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    for (int i = 0; i < 100 && !RestorePrograms(m_root.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(reached) << "the restore never wrote a file";
    ASSERT_TRUE(RestorePrograms(m_root.path()).empty());
    ASSERT_LE(2u, Leftovers(dest).size()) << "the killed restore's file and the live one";
    ASSERT_FALSE(Claims().empty());

    nuvtest::ProgramResult r = nuvtest::RunProgram(NUV_OUT_DIR "/bin/jzsuite", {"list", "job"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::vector<std::string>{live}, Leftovers(dest)) << Name(GetParam());
    EXPECT_EQ("a live restore's half\n", ReadFile(live));
    EXPECT_TRUE(Claims().empty());
    EXPECT_TRUE(MountsBelow(m_root.path()).empty());
    std::vector<nuvsuite::CatRow> rows;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM sm_mounts", {}, &rows).IsError());
    EXPECT_EQ(0, nuvsuite::AsInt(rows.at(0)[0]));
}

// A batch (one run of the restore-files client, one run of the file-restore
// program, one stream) claims the trees it writes with one claim file,
// however many directories its entries go to; another restore into any of
// them is refused meanwhile, and the claim goes with the batch.
TEST_P(RoadTest, ABatchClaimsItsTreesWithOneClaimFile) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    std::string const hold = MakeDir(m_root.base() + "/hold");
    std::string const dest = m_root.base() + "/dest";
    // Entries into directories side by side, each a tree of its own; the last held once written.
    std::vector<std::pair<std::string, std::string>> const files = {{"base/1/1259", "one/1259"},
                                                                    {"g/pg_control", "two/pg_control"},
                                                                    {"PG_VERSION", "three/four/PG_VERSION"},
                                                                    {"base/1/2608", "five/2608"}};
    nuvsuite::AddFault("restorefiles", "hold", 0, hold, 1, "written " + dest + "/five/2608");
    pid_t const child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        StartRestoreJob();
        ArchFileInfo af = WholeVolume(job, a, "");
        af.dataFiles.clear();
        for (auto const& f : files) {
            DataFileInfo df;
            df.srcPath = a + "/" + f.first;
            df.destPath = dest + "/" + f.second;
            af.dataFiles.push_back(df);
        }
        std::map<int, std::list<ArchFileInfo>> streams{{0, {af}}};  // one stream with them all
        _exit(RunRoad(GetParam(), job, af, streams) == 0 ? 0 : 1);
    }
    for (int i = 0; i < 6000 && !Exists(hold + "/held"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool const reached = Exists(hold + "/held");
    std::vector<std::string> const held = Claims();
    // Another restore into one of the trees, meanwhile.
    std::string why;
    bool refused = false;
    {
        nuvbase::TreeClaim other;
        refused = !other.take(dest + "/three/four", "restore job 99", &why);
    }
    WriteFile(hold + "/release", "");
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(reached) << "the restore never wrote its last file";
    EXPECT_EQ(1u, held.size()) << Name(GetParam()) << ": " << held.size() << " claim files for one batch";
    EXPECT_TRUE(refused) << "another restore into a claimed tree";
    EXPECT_NE(std::string::npos, why.find(dest + "/three/four")) << why;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(Claims().empty());
    for (auto const& f : files)
        EXPECT_EQ(SnapTree(a, job).at(f.first), "f:" + ReadFile(dest + "/" + f.second)) << f.second;
}

// The file-restore program, held inside its run, ends with the restore that
// started it: it writes nothing after the restore is gone.
TEST_F(DestinationTest, TheFileRestoreProgramDiesWithItsRestore) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    std::string const hold = MakeDir(m_root.base() + "/hold");
    nuvsuite::AddFault("Brisvolk.exe", "hold", 0, hold, 1);
    pid_t const child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(RestoreBy(Road::Full, job, a, "", m_root.base() + "/dest") == 0 ? 0 : 1);
    for (int i = 0; i < 3000 && !Exists(hold + "/held"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(Exists(hold + "/held"));
    EXPECT_EQ(1u, RestorePrograms(m_root.path()).size()) << "held, it runs";
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    for (int i = 0; i < 100 && !RestorePrograms(m_root.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(RestorePrograms(m_root.path()).empty()) << "it is gone with the restore";
    WriteFile(hold + "/release", "");
    for (int i = 0; i < 500 && !RestorePrograms(m_root.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace
