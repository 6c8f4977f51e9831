// Finalisation: the directories a restore made get the owner of the file they
// were made for (never what a link put in their place), and the counts file
// of the job is added to the job's totals once.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/mount.h>

using namespace nuvrestoretest;

namespace {

class FinalizeTest : public RestoreTest {
protected:
    uid_t OwnerOf(std::string const& path) {
        struct stat st;
        EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
        return st.st_uid;
    }
};

// A restore from a snapshot makes the missing directories above a file as
// the snapshot holds them at the same level: owner, mode and times.
TEST_F(FinalizeTest, DirectoriesMadeAboveARestoredFileTakeTheSnapshots) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    std::string const a = MakeVolume("a");
    ASSERT_EQ(0, chown((a + "/base/1/1259").c_str(), 4321, 4322));
    ASSERT_EQ(0, chown((a + "/base/1").c_str(), 4321, 4322));
    ASSERT_EQ(0, chmod((a + "/base/1").c_str(), 0700));
    ASSERT_EQ(0, chown((a + "/base").c_str(), 4323, 4323));
    ASSERT_EQ(0, chmod((a + "/base").c_str(), 0750));
    struct timespec const times[2] = {{1500000000, 0}, {1600000000, 5}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (a + "/base").c_str(), times, 0));
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    // One-character names on the way are made like any other.
    std::string const out = m_root.base() + "/n/x/y";
    ArchFileInfo af = WholeVolume(job, a, "");
    af.dataFiles.front().srcPath = a + "/base/1/1259";
    af.dataFiles.front().destPath = out + "/1259";
    std::list<ArchFileInfo> list{af};
    auto restore = MakeRestore(false);
    ASSERT_EQ(0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ(0, restore->Finalize(nullptr));
    EXPECT_TRUE(restore->m_createdDirs.empty()) << "the copy made them, from the snapshot";
    struct stat y, x;
    ASSERT_EQ(0, lstat(out.c_str(), &y));
    ASSERT_EQ(0, lstat((m_root.base() + "/n/x").c_str(), &x));
    EXPECT_EQ(4321u, y.st_uid);
    EXPECT_EQ(0700u, y.st_mode & 07777) << "a database directory does not come back open to all";
    EXPECT_EQ(4323u, x.st_uid);
    EXPECT_EQ(0750u, x.st_mode & 07777);
    EXPECT_EQ(1600000000, x.st_mtim.tv_sec);
    EXPECT_EQ(5, x.st_mtim.tv_nsec);
    EXPECT_EQ(4321u, OwnerOf(out + "/1259"));
}

// Directories made for a file otherwise take the file's owner at Finalize.
TEST_F(FinalizeTest, MadeDirectoriesTakeTheRestoredFilesOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    StartRestoreJob();
    auto restore = MakeRestore(false);
    std::string const out = m_root.base() + "/n/x/y";
    ASSERT_TRUE(restore->createDirectoryStructureIfNotExist(out + "/f"));
    ASSERT_EQ(3u, restore->m_createdDirs.size());
    EXPECT_EQ(m_root.base() + "/n", restore->m_createdDirs.front().dirPath);
    WriteFile(out + "/f", "restored");
    ASSERT_EQ(0, chown((out + "/f").c_str(), 4321, 4322));
    EXPECT_EQ(0, restore->Finalize(nullptr));
    for (auto const& dir : {m_root.base() + "/n", m_root.base() + "/n/x", out}) EXPECT_EQ(4321u, OwnerOf(dir)) << dir;
}

TEST_F(FinalizeTest, PlantedLinkIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    StartRestoreJob();
    auto restore = MakeRestore(false);
    std::string const file = m_root.base() + "/d1/d2/f";
    ASSERT_TRUE(restore->createDirectoryStructureIfNotExist(file));
    WriteFile(file, "restored");
    ASSERT_EQ(0, chown(file.c_str(), 4321, 4321));
    // Someone swaps a made directory for a link to a directory of root's.
    std::string const target = MakeDir(m_root.base() + "/roots");
    std::string const moved = m_root.base() + "/moved";
    ASSERT_EQ(0, rename((m_root.base() + "/d1").c_str(), moved.c_str()));
    ASSERT_EQ(0, mkdir((m_root.base() + "/d1").c_str(), 0755));
    ASSERT_EQ(0, symlink(target.c_str(), (m_root.base() + "/d1/d2").c_str()));
    WriteFile(target + "/f", "planted");
    ASSERT_EQ(0, chown((target + "/f").c_str(), 4321, 4321));
    EXPECT_EQ(0, restore->Finalize(nullptr));
    EXPECT_EQ(0u, OwnerOf(target)) << "the link's target keeps its owner";
    EXPECT_EQ(4321u, OwnerOf(m_root.base() + "/d1"));
}

TEST_F(FinalizeTest, ExistingPathsAndRegularFilesOnTheWay) {
    StartRestoreJob();
    auto restore = MakeRestore(false);
    WriteFile(m_root.base() + "/plain", "x");
    EXPECT_TRUE(restore->createDirectoryStructureIfNotExist(m_root.base() + "/plain"));
    EXPECT_FALSE(restore->createDirectoryStructureIfNotExist(m_root.base() + "/plain/sub/f"));
    EXPECT_TRUE(restore->createDirectoryStructureIfNotExist(m_root.base() + "//double//f"));
    EXPECT_TRUE(Exists(m_root.base() + "/double"));
    EXPECT_EQ(1u, restore->m_createdDirs.size());
}

// What the directory maker says when a level is neither found nor made.
struct DirectoryCase {
    char const* name;
    char const* path;  // below the test's directory
    bool made;         // the result
    char const* line;  // the logged text ("%s" the test's directory)
};

void PrintTo(DirectoryCase const& c, std::ostream* os) { *os << c.name; }

class DirectoryTextTest : public FinalizeTest, public ::testing::WithParamInterface<DirectoryCase> {
protected:
    void TearDown() override {
        umount2((m_root.base() + "/ro").c_str(), MNT_DETACH);
        FinalizeTest::TearDown();
    }
};

TEST_P(DirectoryTextTest, ALevelNeitherFoundNorMadeIsLoggedAsItIs) {
    if (geteuid() != 0) GTEST_SKIP() << "links of another user and mounts need root";
    DirectoryCase const& c = GetParam();
    std::string const base = m_root.base();
    WriteFile(base + "/plain", "x");
    MakeDir(base + "/elsewhere");
    ASSERT_EQ(0, symlink((base + "/elsewhere").c_str(), (base + "/link").c_str()));
    ASSERT_EQ(0, lchown((base + "/link").c_str(), 65534, 65534));
    MakeDir(base + "/ro");
    ASSERT_EQ(0, mount("tmpfs", (base + "/ro").c_str(), "tmpfs", MS_RDONLY, "size=1m"));
    StartRestoreJob();
    auto restore = MakeRestore(false);
    std::string const path = std::string(c.path).empty() ? "" : base + "/" + c.path;
    EXPECT_EQ(c.made, restore->createDirectoryStructureIfNotExist(path));
    char line[512];
    std::snprintf(line, sizeof line, c.line, base.c_str());
    std::string const log = ReadFile(m_root.path() + "/logs/nuvdbsnap.log");
    EXPECT_NE(std::string::npos, log.find(line)) << line;
    EXPECT_NE(std::string::npos, log.find("IdxRestore::createDirectoryStructureIfNotExist"));
}

INSTANTIATE_TEST_SUITE_P(
    Finalize, DirectoryTextTest,
    ::testing::Values(DirectoryCase{"a file on the way", "plain/sub/f", false, "File %s/plain is not a directory"},
                      DirectoryCase{"a link the walk may not follow", "link/sub/f", false,
                                    "Stat of file %s/link failed with an error errno 40"},
                      DirectoryCase{"a read-only file system", "ro/new/f", false,
                                    "pathname %s/ro/new refers to a file on a read-only filesystem "},
                      DirectoryCase{"an empty path", "", true, "File is an empty string. PLease check"}));

// Counts file lines and what reaches the job.
struct CountsCase {
    char const* line;
    int64_t files, bytes, compressed;
};

class CountsTest : public FinalizeTest, public ::testing::WithParamInterface<CountsCase> {};

TEST_P(CountsTest, CountsFileIsAddedOnceAndDeleted) {
    StartRestoreJob();
    std::string const path = nuvrestorefiles::CountsFilePath(static_cast<uint64_t>(m_restoreJob), 2);
    std::string dir;
    ASSERT_FALSE(MakeJobResultsDirectory(static_cast<uint64_t>(m_restoreJob), &dir).IsError());
    WriteFile(path, GetParam().line);
    auto restore = MakeRestore(false);
    JZRstJobClient jobClient(static_cast<uint64_t>(m_restoreJob));
    EXPECT_EQ(0, restore->Finalize(&jobClient));
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(0, restore->Finalize(&jobClient)) << "a second call finds no counts";
    nuvjobmgr::JobInfo info;
    ASSERT_TRUE(nuvjobmgr::GetJob(m_restoreJob, &info));
    EXPECT_EQ(GetParam().files, info.successfulFiles);
    EXPECT_EQ(GetParam().bytes, info.uncompressedBytes);
    EXPECT_EQ(GetParam().compressed, info.compressedBytes);
}

INSTANTIATE_TEST_SUITE_P(Finalize, CountsTest,
                         ::testing::Values(CountsCase{"100 40 3\n", 3, 100, 40}, CountsCase{"100 40 0\n", 0, 0, 0},
                                           CountsCase{"0 0 2", 2, 0, 0}, CountsCase{"17", 0, 0, 0}));

}  // namespace
