// Placed files: the guarded directory walk and placements by temporary name.
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace {

using nuvtest::Exists;
using nuvtest::MakeDir;
using nuvtest::ReadFile;
using nuvtest::WriteFile;

class PlacedFilesTest : public nuvtest::SuiteTest {
protected:
    std::string Dir() { return m_root.base(); }
    static int Entries(std::string const& dir) {
        int n = 0;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.' || (e->d_name[1] != '\0' && std::strcmp(e->d_name, "..") != 0);
        closedir(d);
        return n;
    }
};

// A walk through a link: which links lead on, and what a refused walk makes.
struct WalkCase {
    char const* name;
    uid_t owner;      // of the link "d/via"
    bool laidOut;     // recorded with NoteLaidOutLink
    bool absolute;    // the link's target is absolute, else relative
    bool followed;
};

void PrintTo(WalkCase const& c, std::ostream* os) { *os << c.name; }

class WalkTest : public PlacedFilesTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(WalkTest, ALinkLeadsOnOnlyWhenRootOwnsItOrItWasLaidOut) {
    WalkCase const& c = GetParam();
    std::string const target = MakeDir(Dir() + "/target");
    std::string const d = MakeDir(Dir() + "/d");
    ASSERT_EQ(0, symlink(c.absolute ? target.c_str() : "../target", (d + "/via").c_str()));
    ASSERT_EQ(0, lchown((d + "/via").c_str(), c.owner, c.owner));
    if (c.laidOut) {
        int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY);
        nuvbase::NoteLaidOutLink(fd, "via");
        close(fd);
    }
    std::string error;
    bool made = false;
    int fd = nuvbase::OpenDirectoryGuarded(d + "/via/new/deeper", true, 0750, &error, &made);
    if (!c.followed) {
        EXPECT_EQ(-1, fd);
        EXPECT_EQ(ELOOP, errno);
        EXPECT_NE(std::string::npos, error.find(d + "/via")) << error;
        EXPECT_FALSE(Exists(target + "/new")) << "nothing is made beyond the link";
        return;
    }
    ASSERT_GE(fd, 0) << error;
    EXPECT_TRUE(made);
    struct stat st, want;
    ASSERT_EQ(0, fstat(fd, &st));
    ASSERT_EQ(0, stat((target + "/new/deeper").c_str(), &want));
    EXPECT_EQ(want.st_ino, st.st_ino);
    EXPECT_EQ(0750u, want.st_mode & 07777);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Placed, WalkTest,
                         ::testing::Values(WalkCase{"another user's link", 65534, false, true, false},
                                           WalkCase{"another user's relative link", 65534, false, false, false},
                                           WalkCase{"root's link", 0, false, true, true},
                                           WalkCase{"root's relative link", 0, false, false, true},
                                           WalkCase{"a link the restore laid out", 65534, true, false, true}));

TEST_F(PlacedFilesTest, AWalkStopsAtAFileAndMakesNothingWithoutMake) {
    std::string const d = MakeDir(Dir() + "/d");
    WriteFile(d + "/file", "x");
    std::string error;
    EXPECT_EQ(-1, nuvbase::OpenDirectoryGuarded(d + "/file/below", true, 0755, &error));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ(-1, nuvbase::OpenDirectoryGuarded(d + "/missing", false, 0755, &error));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(Exists(d + "/missing"));
    EXPECT_EQ(-1, nuvbase::OpenDirectoryGuarded("relative/path", true, 0755, &error));
}

// A placement over a name that is a hard link of a file elsewhere gives the
// name a new file; a failed one leaves the old file and no temporary name.
TEST_F(PlacedFilesTest, APlacementReplacesTheNameAndAFailureLeavesTheOldFile) {
    std::string const d = MakeDir(Dir() + "/d");
    std::string const elsewhere = MakeDir(Dir() + "/elsewhere") + "/f";
    WriteFile(elsewhere, "elsewhere\n");
    ASSERT_EQ(0, link(elsewhere.c_str(), (d + "/f").c_str()));
    int dir = open(d.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    auto content = [](std::string const& text) {
        return [text](int fd) {
            return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
                       ? CFzError::Success()
                       : FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "write");
        };
    };
    ASSERT_FALSE(nuvbase::PlaceFileAt(dir, d, "f", 0640, content("restored\n")).IsError());
    EXPECT_EQ("restored\n", ReadFile(d + "/f"));
    EXPECT_EQ("elsewhere\n", ReadFile(elsewhere));

    nuvsuite::AddFault("file", "write", 28, "no room", -1, d + "/f");
    EXPECT_TRUE(nuvbase::PlaceFileAt(dir, d, "f", 0640, content("second\n")).IsError());
    EXPECT_TRUE(nuvbase::PlaceSymlinkAt(dir, d, "f", "x", 0, 0).IsError());
    nuvsuite::ClearFaults();
    EXPECT_EQ("restored\n", ReadFile(d + "/f"));
    EXPECT_EQ(1, Entries(d)) << "no temporary name is left";

    ASSERT_FALSE(nuvbase::PlaceHardLinkAt(dir, d, "g", dir, "f").IsError());
    struct stat f, g;
    ASSERT_EQ(0, stat((d + "/f").c_str(), &f));
    ASSERT_EQ(0, stat((d + "/g").c_str(), &g));
    EXPECT_EQ(f.st_ino, g.st_ino);
    EXPECT_LE(nuvbase::ReplacementName(std::string(255, 'n')).size(), 255u);
    close(dir);
}

// Temporary names belong to their writer: a placement never removes
// another's, two writers never share one, and only those of writers that are
// gone are cleared away.
TEST_F(PlacedFilesTest, TemporaryNamesAreTheirWritersOwn) {
    std::string const d = MakeDir(Dir() + "/d");
    std::string const a = nuvbase::ReplacementName("f"), b = nuvbase::ReplacementName("f");
    EXPECT_NE(a, b) << "every placement has a name of its own";
    // A name of the database that looks like a temporary name, and one of a
    // living writer (this process).
    WriteFile(d + "/.f.nuvrst", "the database's own file");
    WriteFile(d + "/" + a, "a living writer's half");
    // A gone writer's.
    pid_t const child = fork();
    if (child == 0) {
        WriteFile(d + "/" + nuvbase::ReplacementName("f"), "a killed writer's half");
        _exit(0);
    }
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    int dir = open(d.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    ASSERT_FALSE(nuvbase::PlaceFileAt(dir, d, "f", 0640, [](int fd) {
                     return ::write(fd, "f\n", 2) == 2 ? CFzError::Success() : FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "w");
                 }).IsError());
    EXPECT_EQ(4, Entries(d)) << "the placement removed nothing of another";
    EXPECT_EQ(1, nuvbase::ClearStaleReplacements(dir));
    EXPECT_EQ("the database's own file", ReadFile(d + "/.f.nuvrst"));
    EXPECT_EQ("a living writer's half", ReadFile(d + "/" + a));
    EXPECT_EQ("f\n", ReadFile(d + "/f"));
    EXPECT_EQ(3, Entries(d));
    close(dir);
}

// The walk holds path-only descriptors (a directory that may only be passed
// through does not stop it) and reads links whose size shows 0.
TEST_F(PlacedFilesTest, AWalkPassesThroughUnreadableDirectoriesAndLinksOfProc) {
    std::string const d = MakeDir(Dir() + "/pass");
    std::string const inner = MakeDir(d + "/inner");
    ASSERT_EQ(0, chmod(d.c_str(), 0711));
    ASSERT_EQ(0, chmod(Dir().c_str(), 0711));
    ASSERT_EQ(0, chown(inner.c_str(), 65534, 65534));
    // As another user: the walk passes the 0711 directories.
    pid_t const child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        std::string error;
        int const fd = nuvbase::OpenDirectoryGuarded(inner, false, 0, &error);
        _exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a 0711 directory stopped the walk";
    // /proc/self/cwd: links owned by root whose size reads 0.
    char was[4096];
    ASSERT_NE(nullptr, getcwd(was, sizeof was));
    ASSERT_EQ(0, chdir(inner.c_str()));
    std::string error;
    int const fd = nuvbase::OpenDirectoryGuarded("/proc/self/cwd", false, 0, &error);
    ASSERT_EQ(0, chdir(was));
    ASSERT_GE(fd, 0) << error;
    struct stat got, want;
    ASSERT_EQ(0, fstat(fd, &got));
    ASSERT_EQ(0, stat(inner.c_str(), &want));
    EXPECT_EQ(want.st_ino, got.st_ino);
    close(fd);
}

// Holes stay holes; data lands at its offsets.
TEST_F(PlacedFilesTest, TheDataCopyKeepsHoles) {
    std::string const from = Dir() + "/sparse", to = Dir() + "/copy";
    int in = open(from.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_EQ(5, pwrite(in, "first", 5, 0));
    ASSERT_EQ(4, pwrite(in, "last", 4, 48 << 20));
    ASSERT_EQ(0, ftruncate(in, 64 << 20));
    int out = open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    nuvbase::FileDataCopier copier;
    ASSERT_FALSE(copier.Copy(in, out, 64 << 20, from).IsError());
    struct stat st;
    ASSERT_EQ(0, fstat(out, &st));
    EXPECT_EQ(64 << 20, st.st_size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    char buf[5] = {};
    ASSERT_EQ(4, pread(out, buf, 4, 48 << 20));
    EXPECT_STREQ("last", buf);
    ASSERT_EQ(5, pread(out, buf, 5, 0));
    EXPECT_EQ(std::string("first"), std::string(buf, 5));
    close(in);
    close(out);
}

// A copy by the source's status: every byte and the size as the source has
// them, holes kept where the source has holes.
struct StatusCopyCase {
    char const* name;
    off_t size;                              // the source's length
    std::vector<std::pair<off_t, off_t>> data;  // written ranges (offset, length)
    bool sparse;                             // the copy must keep the holes
};

void PrintTo(StatusCopyCase const& c, std::ostream* os) { *os << c.name; }

class StatusCopyTest : public PlacedFilesTest, public ::testing::WithParamInterface<StatusCopyCase> {};

TEST_P(StatusCopyTest, TheCopyIsTheSourceHolesKept) {
    StatusCopyCase const& c = GetParam();
    std::string const from = Dir() + "/source", to = Dir() + "/copy";
    int in = open(from.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(in, 0);
    char fill = 'a';
    for (auto const& [at, length] : c.data) {
        std::string const bytes(static_cast<size_t>(length), fill++);
        ASSERT_EQ(length, pwrite(in, bytes.data(), bytes.size(), at));
    }
    ASSERT_EQ(0, ftruncate(in, c.size));
    struct stat st;
    ASSERT_EQ(0, fstat(in, &st));
    int out = open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    nuvbase::FileDataCopier copier;
    CFzError const e = copier.Copy(in, out, st, from);
    struct stat got;
    ASSERT_EQ(0, fstat(out, &got));
    close(in);
    close(out);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(c.size, got.st_size);
    EXPECT_EQ(ReadFile(from), ReadFile(to));
    if (c.sparse) EXPECT_LT(got.st_blocks * 512, c.size / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, StatusCopyTest,
    ::testing::Values(StatusCopyCase{"Empty", 0, {}, false}, StatusCopyCase{"OneBlock", 4096, {{0, 4096}}, false},
                      StatusCopyCase{"PartOfABlock", 1000, {{0, 1000}}, false},
                      StatusCopyCase{"DenseAcrossBlocks", 3 * 4096 + 17, {{0, 3 * 4096 + 17}}, false},
                      StatusCopyCase{"HoleBetween", 16 << 20, {{0, 4096}, {(16 << 20) - 4096, 4096}}, true},
                      StatusCopyCase{"HoleAtTheEnd", 16 << 20, {{0, 4096}}, true},
                      StatusCopyCase{"HoleAtTheStart", 16 << 20, {{(16 << 20) - 4096, 4096}}, true}),
    [](auto const& info) { return std::string(info.param.name); });

// A source that ends before its recorded size fails the copy and names the
// file; a hole up to that size, or a source longer than it, does not.
struct ShortCase {
    char const* name;
    off_t dataAt;      // where the source's 4 KiB of data start
    off_t sourceSize;  // the source's length
    off_t recorded;    // the size the copy is asked for
    bool fails;
};

void PrintTo(ShortCase const& c, std::ostream* os) { *os << c.name; }

class ShortSourceTest : public PlacedFilesTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortSourceTest, ASourceShorterThanRecordedIsAnError) {
    ShortCase const& c = GetParam();
    std::string const from = Dir() + "/source", to = Dir() + "/copy";
    int in = open(from.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(in, 0);
    if (c.sourceSize > 0) ASSERT_EQ(4096, pwrite(in, std::string(4096, 'x').data(), 4096, c.dataAt));
    ASSERT_EQ(0, ftruncate(in, c.sourceSize));
    int out = open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    // By the recorded size, and by a status taken before the source was cut
    // (its blocks covering the recorded size: a dense file, copied unsearched).
    for (bool byStatus : {false, true}) {
        SCOPED_TRACE(byStatus ? "by status" : "by size");
        ASSERT_EQ(0, ftruncate(out, 0));
        nuvbase::FileDataCopier copier;
        struct stat taken {};
        taken.st_size = c.recorded;
        taken.st_blocks = (c.recorded + 511) / 512;
        CFzError const e = byStatus ? copier.Copy(in, out, taken, from)
                                    : copier.Copy(in, out, static_cast<uint64_t>(c.recorded), from);
        struct stat st;
        ASSERT_EQ(0, fstat(out, &st));
        if (!c.fails) {
            ASSERT_FALSE(e.IsError()) << e.AsString();
            EXPECT_EQ(c.recorded, st.st_size);
            continue;
        }
        ASSERT_TRUE(e.IsError());
        EXPECT_NE(std::string::npos, e.AsString().find("[" + from + "] ends at " + std::to_string(c.sourceSize) +
                                                       " bytes, before its recorded size of " +
                                                       std::to_string(c.recorded) + " bytes"))
            << e.AsString();
        EXPECT_LT(st.st_size, c.recorded);  // never made up with zeros
    }
    close(in);
    close(out);
}

INSTANTIATE_TEST_SUITE_P(Sources, ShortSourceTest,
                         ::testing::Values(ShortCase{"EndsAfterItsData", 0, 4096, 1 << 20, true},
                                           ShortCase{"EndsAfterAHole", 0, 64 << 10, 1 << 20, true},
                                           ShortCase{"Empty", 0, 0, 4096, true},
                                           ShortCase{"HoleUpToTheRecordedSize", 0, 1 << 20, 1 << 20, false},
                                           ShortCase{"LongerThanRecorded", 0, 64 << 10, 4096, false},
                                           ShortCase{"ExactlyRecorded", 8192, 12288, 12288, false}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
