// Damaged state is never silent: a state root whose catalogue was lost, emptied
// or spoiled is an error that says what happened (in the library's error text
// and once in the log), never a fresh start; a state root that cannot be
// written says so on standard error.
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nuvtest::Exists;
using nuvtest::ReadFile;
using nuvtest::WriteFile;

long long FileSize(std::string const& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The log lines of the catalogue's own damage reports.
std::vector<std::string> DamageLines(std::string const& root) {
    std::vector<std::string> lines;
    for (auto const& line : nuvtest::SplitAt(ReadFile(root + "/logs/nuvdbsnap.log"), '\n'))
        if (line.find("[nuvsuite::Catalogue]") != std::string::npos) lines.push_back(line);
    return lines;
}

// A state root that served a job: its application, and a snapshot copy under
// snapshots/. The test damages a copy of it (catalogue written back whole first)
// and turns the process to that copy, so the catalogue is opened afresh there.
class DamagedRootTest : public nuvtest::JobScene {
protected:
    void SetUp() override {
        JobScene::SetUp();
        DeclareApp(125);
        nuvtest::DeclareVolume(m_data, "/dev/fakedata", "ext4", "rw");
        SMVolSnapInfo record;
        record.setJobId(static_cast<int>(m_jobId));
        record.setBrannoxId(2);
        SMVolumeInfo volume;
        volume.setSourcePath(m_data);
        record.addVolume(volume, true);
        JZSnapClientAPI client;
        ASSERT_TRUE(client.prepareVolumeSnaps(record)) << record.getErrorString();
        ASSERT_TRUE(client.createVolumeSnaps(record)) << record.getErrorString();
        ASSERT_FALSE(nuvsuite::Catalogue::Instance().Exec("PRAGMA wal_checkpoint(TRUNCATE)").IsError());

        m_copy = m_root.base() + "/used-root";
        fs::copy(m_root.path(), m_copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        for (char const* journal : {"/catalogue.db-wal", "/catalogue.db-shm"}) fs::remove(m_copy + journal);
        ASSERT_GT(FileSize(Catalogue()), 0);
        ASSERT_FALSE(fs::is_empty(m_copy + "/snapshots"));
    }

    void UseCopy() {
        setenv("JZ_SUITE_ROOT", m_copy.c_str(), 1);
        setenv("JZREG", (m_copy + "/registry").c_str(), 1);
    }

    std::string Catalogue() const { return m_copy + "/catalogue.db"; }

    std::string m_copy;
};

struct Damage {
    char const* name;
    std::function<void(std::string const& catalogue)> apply;
    char const* said;  // in the error text and the log line
};

void PrintTo(Damage const& d, std::ostream* os) { *os << d.name; }

class DamageTest : public DamagedRootTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamageTest, IsAnErrorThatSaysWhatHappenedNeverAFreshStart) {
    Damage const& d = GetParam();
    d.apply(Catalogue());
    std::string const before = ReadFile(Catalogue());
    bool const existed = Exists(Catalogue());
    UseCopy();

    // What an agent reads from the library, and what the catalogue says to any caller.
    ApplicationId application(2, m_appId);
    unsigned long appType = 0;
    EXPECT_NE(0, application.getAppType(appType, nullptr));
    EXPECT_NE(std::string::npos, std::string(application.getErrorString()).find(d.said))
        << application.getErrorString();
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM jobs", {}, &rows);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find(d.said)) << e.AsString();

    // Said once in the log, however often it is met.
    std::vector<std::string> lines = DamageLines(m_copy);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(d.said)) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(Catalogue())) << lines[0];

    // Nothing was made afresh over what was left.
    EXPECT_EQ(existed, Exists(Catalogue()));
    EXPECT_EQ(before, ReadFile(Catalogue()));
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, DamageTest,
    ::testing::Values(
        Damage{"Emptied", [](std::string const& c) { fs::resize_file(c, 0); },
               "is empty while the state root holds snapshot copies under snapshots/"},
        Damage{"Removed", [](std::string const& c) { fs::remove(c); },
               "is missing while the state root holds snapshot copies under snapshots/"},
        Damage{"ReplacedByAnEmptyDatabase",
               [](std::string const& c) {
                   fs::remove(c);
                   ASSERT_EQ(0, std::system(("sqlite3 '" + c + "' 'VACUUM;'").c_str()));
                   ASSERT_GT(FileSize(c), 0);
               },
               "is a database without the catalogue's tables while the state root holds snapshot copies under "
               "snapshots/"},
        Damage{"ReplacedByAnotherDatabase",
               [](std::string const& c) {
                   fs::remove(c);
                   ASSERT_EQ(0, std::system(("sqlite3 '" + c + "' 'CREATE TABLE jobs(id INTEGER);'").c_str()));
               },
               "is a database without the catalogue's tables while the state root holds snapshot copies under "
               "snapshots/"},
        Damage{"GarbageOverItsHeader",
               [](std::string const& c) {
                   std::fstream f(c, std::ios::in | std::ios::out | std::ios::binary);
                   f << "garbage where the header was, garbage, garbage, garbage, garbage!";
               },
               "is malformed (file is not a database)"},
        Damage{"CutShort", [](std::string const& c) { fs::resize_file(c, fs::file_size(c) / 4); },
               "is malformed (database disk image is malformed)"}),
    [](auto const& info) { return std::string(info.param.name); });

// A root that never served anything starts afresh, however many empty folders it has.
TEST_F(DamagedRootTest, EmptyFoldersOfAnUnusedRootAreAFreshStart) {
    std::string const fresh = m_root.base() + "/fresh-root";
    for (char const* sub : {"snapshots", "jobresults", "mounts", "logs", "registry"}) fs::create_directories(fresh + "/" + sub);
    setenv("JZ_SUITE_ROOT", fresh.c_str(), 1);
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM jobs", {}, &rows);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(0, nuvsuite::AsInt(rows.at(0).at(0)));
    EXPECT_TRUE(Exists(fresh + "/catalogue.db"));
    EXPECT_TRUE(DamageLines(fresh).empty());
}

// A state root that cannot be written: its log cannot be either, so standard
// error says so, and every catalogue call fails with the reason.
struct Unwritable {
    char const* name;
    bool needsRoot;
    // Makes the unwritable root under `base`; returns it.
    std::function<std::string(std::string const& base)> make;
    char const* reason;
};

void PrintTo(Unwritable const& u, std::ostream* os) { *os << u.name; }

class UnwritableRootTest : public nuvtest::SuiteTest, public ::testing::WithParamInterface<Unwritable> {
protected:
    void TearDown() override {
        if (!m_mounted.empty()) ::umount2(m_mounted.c_str(), MNT_DETACH);
    }
    std::string m_mounted;
};

TEST_P(UnwritableRootTest, SaysSoOnStandardError) {
    Unwritable const& u = GetParam();
    if (u.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "a read-only bind mount needs root";
    std::string const root = u.make(m_root.base());
    if (u.needsRoot) m_mounted = root;
    setenv("JZ_SUITE_ROOT", root.c_str(), 1);

    ::testing::internal::CaptureStderr();
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM jobs", {}, &rows);
    EvDebug::Error(nullptr, "test", "a line for the log");
    std::string const err = ::testing::internal::GetCapturedStderr();

    std::string const said = "the state root [" + root + "] cannot be written: " + u.reason;
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find(said)) << e.AsString();
    EXPECT_NE(std::string::npos, err.find("nuvsuite: " + said)) << err;
    EXPECT_NE(std::string::npos, err.find("nuvdbsnap: cannot open log file")) << err;
    EXPECT_FALSE(Exists(root + "/catalogue.db"));
}

INSTANTIATE_TEST_SUITE_P(
    Roots, UnwritableRootTest,
    ::testing::Values(Unwritable{"AFileInPlaceOfTheDirectory", false,
                                 [](std::string const& base) {
                                     WriteFile(base + "/root-file", "not a directory\n");
                                     return base + "/root-file";
                                 },
                                 "Not a directory"},
                      Unwritable{"AReadOnlyBindMount", true,
                                 [](std::string const& base) {
                                     std::string const dir = base + "/read-only-root";
                                     fs::create_directories(dir + "/logs");
                                     EXPECT_EQ(0, ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr));
                                     EXPECT_EQ(0, ::mount(nullptr, dir.c_str(), nullptr,
                                                          MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
                                     return dir;
                                 },
                                 "Read-only file system"}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
