// The partial road on real snapshots: the restore-files client mounts each
// archive file's snapshots and copies the announced files to where the
// record, the map file or the restore arrays with the strip level send them.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/restorefiles/restore_files.h"

using namespace nuvrestoretest;

namespace {

class PartialRestoreTest : public RestoreTest {
protected:
    // Volume "a" snapped, a restore job started, and a restore object over the
    // arrays {a/base} -> {<base>/arrays} that takes the volume's parent's
    // components and `strip` more off every source path (0 keeps
    // "a/base/1/1259").
    struct Arrays {
        std::string volume, src, out;
        char const* srcPaths[2] = {nullptr, nullptr};
        char const* destPaths[2] = {nullptr, nullptr};
        SnapJob job;
        std::unique_ptr<NuvSnapRestore> restore;
    };
    std::unique_ptr<Arrays> ArraysOnOneVolume(int strip) {
        auto r = std::make_unique<Arrays>();
        r->volume = MakeVolume("a");
        r->job = Snapshot({r->volume});
        StartRestoreJob();
        r->src = r->volume + "/base";
        r->out = m_root.base() + "/arrays";
        r->srcPaths[0] = r->src.c_str();
        r->destPaths[0] = r->out.c_str();
        int const parentLevels = static_cast<int>(std::count(m_root.base().begin(), m_root.base().end(), '/'));
        r->restore = std::make_unique<NuvSnapRestore>(
            m_event.get(), nuvsuite::LocalMangledHostName(), nuvsuite::LocalMangledHostName(), "", r->srcPaths, 1,
            r->destPaths, 1, 0x8, m_restoreJob, 0, 125, 2, 0, nullptr, nullptr, m_clientId, false, parentLevels + strip,
            false, m_ctrl.get());
        return r;
    }

    ArchFileInfo OneFile(SnapJob const& job, std::string const& volume, std::string const& rel,
                         std::string const& dest) {
        ArchFileInfo af = WholeVolume(job, volume, "");
        af.dataFiles.front().srcPath = volume + "/" + rel;
        af.dataFiles.front().destPath = dest;
        return af;
    }
};

TEST_F(PartialRestoreTest, OneTableComesBackWhereTheRecordSends) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::string const out = MakeDir(m_root.base() + "/out");
    // A destination that ends in "/" is a directory the file goes into under
    // its base name; any other is the file's whole new path.
    std::list<ArchFileInfo> list{OneFile(job, a, "base/1/1259", out + "/"), OneFile(job, a, "base/1/2608", out + "/t/2608.copy")};
    auto restore = MakeRestore(false);
    ASSERT_EQ(0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ(0, restore->Finalize(nullptr));
    EXPECT_EQ(SnapTree(a, job).at("base/1/1259"), "f:" + ReadFile(out + "/1259"));
    EXPECT_TRUE(SnapTree(a, job).at("base/1/2608") == "f:" + ReadFile(out + "/t/2608.copy"));
    EXPECT_TRUE((std::map<std::string, std::string>{{"1259", "f:pg_class rows of a\n"},
                                                   {"t", "d"},
                                                   {"t/2608.copy", "f:" + std::string(70000, 'x') + "a"}}) ==
                Tree(out));
}

TEST_F(PartialRestoreTest, InPlaceFindsItsDirectoriesAndLinksLaidOutAsTheSnapshotHeldThem) {
    std::string const a = MakeVolume("a");
    ASSERT_EQ(0, chmod((a + "/g").c_str(), 0710));
    SnapJob job = Snapshot({a});
    // Since the snapshot the directory and the link above the files went.
    ASSERT_EQ(0, unlink((a + "/g/pg_control").c_str()));
    ASSERT_EQ(0, rmdir((a + "/g").c_str()));
    ASSERT_EQ(0, unlink((a + "/current").c_str()));
    StartRestoreJob();
    std::list<ArchFileInfo> list{OneFile(job, a, "g/pg_control", ""), OneFile(job, a, "current/2608", "")};
    auto restore = MakeRestore(false);
    ASSERT_EQ(0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ(0, restore->Finalize(nullptr));
    struct stat st;
    ASSERT_EQ(0, lstat((a + "/g").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0710u, st.st_mode & 07777);
    EXPECT_EQ("control of a", ReadFile(a + "/g/pg_control"));
    char target[64] = {};
    ASSERT_GT(readlink((a + "/current").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ("base/1", target);
    EXPECT_TRUE(SnapTree(a, job).at("base/1/2608") == "f:" + ReadFile(a + "/base/1/2608"));
    EXPECT_EQ(2u, nuvtest::JournalArgs("symlink", "NuvSymLink::createDirAndSymLinks").size());  // one a file
}

// Thousands of files have their physical paths resolved on several threads:
// each file keeps its own, and a file whose path cannot be resolved fails
// the restore before anything is copied, as one at a time would.
TEST_F(PartialRestoreTest, ManyFilesKeepTheirOwnPhysicalPathsAndOneUnresolvableFailsThemAll) {
    std::string const a = MakeVolume("a");
    MakeDir(a + "/many");
    size_t constexpr kFiles = 5000;
    for (size_t i = 0; i < kFiles; ++i) WriteFile(a + "/many/" + std::to_string(i), std::to_string(i * 7));
    SnapJob job = Snapshot({a});
    ASSERT_EQ(0, symlink("loop", (a + "/loop").c_str()));  // a link that never resolves
    std::string const out = m_root.base() + "/out";
    for (bool const withLoop : {true, false}) {
        SCOPED_TRACE(withLoop ? "one path loops" : "every path resolves");
        StartRestoreJob();
        ArchFileInfo af = WholeVolume(job, a, "");
        af.dataFiles.clear();
        for (size_t i = 0; i < kFiles; ++i) {
            DataFileInfo df;
            df.srcPath = a + "/many/" + std::to_string(i);
            df.destPath = out + "/" + std::to_string(i) + ".copy";
            af.dataFiles.push_back(df);
        }
        if (withLoop) std::next(af.dataFiles.begin(), 3000)->srcPath = a + "/loop/3000";
        std::list<ArchFileInfo> list{af};
        auto restore = MakeRestore(false);
        EXPECT_EQ(withLoop ? -6 : 0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
        EXPECT_EQ(0, restore->Finalize(nullptr));
        if (withLoop) {
            EXPECT_FALSE(nuvtest::Exists(out)) << "nothing is copied";
            continue;
        }
        auto const tree = Tree(out);
        ASSERT_EQ(kFiles, tree.size());
        for (size_t i = 0; i < kFiles; i += 499)
            EXPECT_EQ("f:" + std::to_string(i * 7), tree.at(std::to_string(i) + ".copy")) << i;
        EXPECT_EQ("f:" + std::to_string((kFiles - 1) * 7), tree.at(std::to_string(kFiles - 1) + ".copy"));
    }
}

TEST_F(PartialRestoreTest, MapFileOfTheTaskSendsFilesElsewhere) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::string const out = m_root.base() + "/mapped";
    // A path with a comma and a quote is taken byte for byte from a quoted line.
    std::string const map = m_root.base() + "/redirect.map";
    WriteFile(map, "\"" + a + "/base/1/1259\",\"" + out + "/x,\"y\"/1259\"\n" + "\"" + a + "/PG_VERSION\",\"" + out +
                       "/PG_VERSION\"\n");
    EvRstTask task(m_restoreJob, 0, nullptr, false);
    ASSERT_EQ(0, task.setOptionString(0x32179489, std::list<std::string>{map}, nullptr));
    std::list<ArchFileInfo> list{OneFile(job, a, "base/1/1259", ""), OneFile(job, a, "PG_VERSION", "")};
    auto restore = MakeRestore(false);
    ASSERT_EQ(0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ("pg_class rows of a\n", ReadFile(out + "/x,\"y\"/1259"));
    EXPECT_EQ("15\n", ReadFile(out + "/PG_VERSION"));
    EXPECT_EQ("changed after the snapshot\n", ReadFile(a + "/base/1/1259")) << "the source stays as it is";
}

// Destination by the restore arrays: the array's destination entry, then the
// source path without `strip` leading components.
struct StripCase {
    int strip;
    char const* expected;  // below the destination directory
};

class StripTest : public PartialRestoreTest, public ::testing::WithParamInterface<StripCase> {};

TEST_P(StripTest, ArraysAndStripLevelGiveTheDestination) {
    auto arrays = ArraysOnOneVolume(GetParam().strip);
    ASSERT_EQ(1, arrays->restore->Init(m_ctrl.get()));
    std::list<ArchFileInfo> list{OneFile(arrays->job, arrays->volume, "base/1/1259", "")};
    ASSERT_EQ(0, arrays->restore->restoreData(arrays->job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ("pg_class rows of a\n", ReadFile(arrays->out + "/" + GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Partial, StripTest,
                         ::testing::Values(StripCase{0, "a/base/1/1259"}, StripCase{1, "base/1/1259"},
                                           StripCase{3, "1259"}, StripCase{9, "1259"}));

// A source path as a multiplexed restore hands it over (not made physical),
// with ".." components: the strip level takes components of the path the
// snapshot gives, so the destination never climbs out of the directory the
// arrays name, and nothing is written beside it.
struct ClimbCase {
    char const* source;   // below the volume
    int strip;            // levels below the volume's parent
    char const* expected;  // below the destination directory
    char const* beside;   // where a climbing destination would have written, below the test's base
};

void PrintTo(ClimbCase const& c, std::ostream* os) { *os << c.source << " strip " << c.strip; }

class StripClimbTest : public PartialRestoreTest, public ::testing::WithParamInterface<ClimbCase> {};

TEST_P(StripClimbTest, NeverClimbsOutOfTheDestination) {
    auto arrays = ArraysOnOneVolume(GetParam().strip);
    ASSERT_EQ(1, arrays->restore->Init(m_ctrl.get()));
    std::list<ArchFileInfo> list{OneFile(arrays->job, arrays->volume, GetParam().source, "")};
    JzRstInitParams params;  // the arrays, as the restore object hands them over
    params.srcPaths = const_cast<char**>(arrays->srcPaths);
    params.numSrcPaths = 1;
    params.destPaths = const_cast<char**>(arrays->destPaths);
    params.numDestPaths = 1;
    ASSERT_EQ(0, arrays->restore->restoreData(arrays->job.jobId, true, list, params, nullptr, nullptr,
                                              "DBRestoreFromMultiplexedBackup=1"));
    EXPECT_EQ("pg_class rows of a\n", ReadFile(arrays->out + "/" + GetParam().expected));
    EXPECT_FALSE(Exists(m_root.base() + "/" + GetParam().beside)) << "written outside the destination";
    for (auto const& e : Tree(arrays->out)) EXPECT_EQ(std::string::npos, e.first.find("..")) << e.first;
}

INSTANTIATE_TEST_SUITE_P(Partial, StripClimbTest,
                         ::testing::Values(ClimbCase{"base/1/../1/1259", 3, "1259", "1/1259"},
                                           ClimbCase{"base/../base/1/1259", 2, "1/1259", "base/1/1259"},
                                           ClimbCase{"base/1/../../base/1/1259", 4, "1259", "base/1/1259"},
                                           ClimbCase{"base/1/./../1/1259", 4, "1259", "1/1259"}));

// A failing step of the partial road and its code.
struct PartialFailure {
    char const* name;
    char const* call;    // restore-files call made to fail (empty: none)
    uint32_t kind;       // archive-file kind
    bool badDirectory;   // the destination lies under a regular file
    int expected;
    char const* cause;   // what the restore names as the failure's cause
};

void PrintTo(PartialFailure const& c, std::ostream* os) { *os << c.name; }

class PartialFailureTest : public PartialRestoreTest, public ::testing::WithParamInterface<PartialFailure> {};

TEST_P(PartialFailureTest, ReturnsTheStepsCodeAndReleasesTheMount) {
    PartialFailure const& c = GetParam();
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::string const out = MakeDir(m_root.base() + "/out");
    WriteFile(out + "/file", "a file");
    ArchFileInfo af = OneFile(job, a, "PG_VERSION", c.badDirectory ? out + "/file/x/PG_VERSION" : out + "/PG_VERSION");
    af.archFileKind = c.kind;
    std::list<ArchFileInfo> list{af};
    if (c.call[0] != '\0') nuvsuite::AddFault("restorefiles", c.call, 5, "injected by the test", -1);
    auto restore = MakeRestore(false);
    EXPECT_EQ(c.expected, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_NE(std::string::npos, restore->failureText().find(c.cause)) << restore->failureText();
    EXPECT_EQ(0, restore->Finalize(nullptr));
    SMVolSnapInfo record;
    record.setSnapJobId(static_cast<int>(job.jobId));
    record.setBrannoxId(2);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.getVolumeSnaps(record));
    for (auto const& v : record.volumes()) EXPECT_EQ("", v.getMountPath()) << "no mount is left";
}

INSTANTIATE_TEST_SUITE_P(
    Partial, PartialFailureTest,
    ::testing::Values(PartialFailure{"client not initialised", "init_v3", 0, false, -10, "injected by the test"},
                      PartialFailure{"pre-open not sent", "sendMsgToClient", 0, false, -1, "injected by the test"},
                      PartialFailure{"archive file not opened", "openArchiveFile", 0, false, -2, "injected by the test"},
                      PartialFailure{"directory not made", "", 0, true, -3, "/out/file is not a directory"},
                      PartialFailure{"wait failed", "waitForCompletion", 0, false, -5, "injected by the test"},
                      PartialFailure{"normal archive file pre-open", "sendMsgToClient", 1, false, -6,
                                     "injected by the test"},
                      PartialFailure{"normal archive file holds no data", "", 1, false, -8,
                                     "holds no data to restore by offset"}));

TEST_F(PartialRestoreTest, InitFailureMakesInitReportIt) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    nuvsuite::AddFault("restorefiles", "init_v3", 5, "injected by the test", 1);
    std::list<ArchFileInfo> list{OneFile(job, a, "PG_VERSION", m_root.base() + "/x")};
    auto restore = MakeRestore(false);
    EXPECT_EQ(-10, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ(-1, restore->Init(m_ctrl.get()));
}

TEST_F(PartialRestoreTest, TwoFilesMappedToOneDestinationFailTheRun) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::string const out = m_root.base() + "/same";
    std::list<ArchFileInfo> list{OneFile(job, a, "PG_VERSION", out), OneFile(job, a, "g/pg_control", out)};
    list.front().dataFiles.push_back(list.back().dataFiles.front());
    list.pop_back();
    auto restore = MakeRestore(false);
    EXPECT_EQ(-5, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
}

}  // namespace
