// The sample agent's restore program (pgsnaprestore) as an operator runs it,
// on each road: the restore job it runs ends, with its end time and the files
// and bytes restored; a failure ends the job as failed and prints the cause
// the log names; unusable arguments are refused before the job is touched.
#include "restore_fixture.h"

#include <sys/mount.h>

#include <cstdio>
#include <cstring>
#include <ctime>

using namespace nuvrestoretest;

namespace {

std::string RestoreProgram() { return std::string(NUV_OUT_DIR) + "/bin/pgsnaprestore"; }

class RestoreProgramTest : public RestoreTest {
protected:
    void TearDown() override {
        for (auto const& m : m_mounts) umount2(m.c_str(), MNT_DETACH);
        RestoreTest::TearDown();
    }

    // A new restore job of the application, not registered: the program registers.
    int64_t NewRestoreJob() {
        nuvjobmgr::JobInfo info;
        EXPECT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_app), 1, &info).IsError());
        unsetenv("JZ_JOB_ID");  // the program is told its job on its command line only
        return info.id;
    }

    nuvjobmgr::JobInfo Job(int64_t id) {
        nuvjobmgr::JobInfo info;
        EXPECT_TRUE(nuvjobmgr::GetJob(id, &info));
        return info;
    }

    nuvtest::ProgramResult Run(std::vector<std::string> args) {
        return nuvtest::RunProgram(RestoreProgram(), std::move(args));
    }

    std::vector<std::string> m_mounts;
};

// The files (links too) and bytes of a tree as the counts of a restore count them.
void CountsOf(std::map<std::string, std::string> const& tree, std::string const& prefix, int64_t* files,
              int64_t* bytes) {
    for (auto const& e : tree) {
        if (e.first.compare(0, prefix.size(), prefix) != 0 || e.second == "d") continue;
        *files += 1;
        if (e.second.compare(0, 2, "f:") == 0) *bytes += static_cast<int64_t>(e.second.size() - 2);
    }
}

struct RoadCase {
    char const* mode;
    std::vector<std::string> extra;  // further arguments
    std::vector<std::string> files;  // files restored ("" the whole data directory)
};

void PrintTo(RoadCase const& c, std::ostream* os) { *os << c.mode; }

class RestoreProgramRoadTest : public RestoreProgramTest, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(RestoreProgramRoadTest, TheJobEndsWithItsCounts) {
    RoadCase const& c = GetParam();
    std::string const a = MakeVolume("a");
    // No link among the data directory's entries: streams restore entry by
    // entry, and each entry's source is taken by its physical path, so a
    // linked entry comes back as what it leads to. What is judged here is the
    // job's end and counts.
    ASSERT_EQ(0, unlink((a + "/current").c_str()));
    SnapJob snap = Snapshot({a});
    int64_t const job = NewRestoreJob();
    std::string const out = m_root.base() + "/restored";
    std::vector<std::string> args{c.mode, "-j", std::to_string(job), "-snapjob", std::to_string(snap.jobId),
                                  "-data", a, "-to", out};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    time_t const before = time(nullptr);
    auto r = Run(args);
    ASSERT_EQ(0, r.exitCode) << r.err;

    auto const& snapTree = SnapTree(a, snap);
    int64_t files = 0, bytes = 0;
    for (std::string const& f : c.files) CountsOf(snapTree, f, &files, &bytes);
    if (c.files.front().empty()) {
        EXPECT_TRUE(snapTree == Tree(out));
    } else {
        for (std::string const& f : c.files) EXPECT_EQ(snapTree.at(f), Tree(out)[f]) << f;
    }
    nuvjobmgr::JobInfo const info = Job(job);
    EXPECT_EQ("completed", info.status);
    EXPECT_EQ(nuvjobmgr::kJobStatusSuccess, info.statusCode);
    EXPECT_GE(info.ended, static_cast<int64_t>(before));
    EXPECT_GE(info.ended, info.started);
    EXPECT_GT(files, 1);
    EXPECT_EQ(files, info.successfulFiles);
    EXPECT_EQ(bytes, info.uncompressedBytes);
}

INSTANTIATE_TEST_SUITE_P(Roads, RestoreProgramRoadTest,
                         ::testing::Values(RoadCase{"partial", {"-file", "PG_VERSION", "-file", "base/1/2608"},
                                                    {"PG_VERSION", "base/1/2608"}},
                                           RoadCase{"streams", {"-streams", "3"}, {""}},
                                           RoadCase{"full", {}, {""}}));

// A failed restore: the job ends as failed, with its end time, and the
// program prints the cause that the log names, not only a number.
struct FailureCase {
    char const* name;
    char const* mode;
    char const* trouble;  // "read-only", "link" or "fault"
    char const* cause;    // what the printed cause holds ("<dest>" the destination)
};

void PrintTo(FailureCase const& c, std::ostream* os) { *os << c.name; }

class RestoreProgramFailureTest : public RestoreProgramTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RestoreProgramFailureTest, TheJobFailsAndTheCauseIsPrinted) {
    FailureCase const& c = GetParam();
    std::string const a = MakeVolume("a");
    SnapJob snap = Snapshot({a});
    int64_t const job = NewRestoreJob();
    std::string dest;
    std::string const trouble = c.trouble;
    if (trouble == "read-only") {
        std::string const ro = MakeDir(m_root.base() + "/ro");
        if (mount("tmpfs", ro.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0)
            GTEST_SKIP() << "no read-only tmpfs here: " << std::strerror(errno);
        m_mounts.push_back(ro);
        dest = ro + "/restored";
    } else if (trouble == "link") {
        // A link another user planted in the destination's path is not followed.
        std::string const outside = MakeDir(m_root.base() + "/outside");
        std::string const parent = MakeDir(m_root.base() + "/dest");
        ASSERT_EQ(0, symlink(outside.c_str(), (parent + "/planted").c_str()));
        ASSERT_EQ(0, lchown((parent + "/planted").c_str(), 65534, 65534));
        dest = parent + "/planted/restored";
    } else {
        dest = m_root.base() + "/restored";
        nuvsuite::AddFault("restorefiles", "waitForCompletion", 5, "the data mover went away", -1, "");
    }
    std::vector<std::string> args{c.mode, "-j", std::to_string(job), "-snapjob", std::to_string(snap.jobId),
                                  "-data", a, "-to", dest};
    if (std::string(c.mode) == "partial") args.insert(args.end(), {"-file", "base/1/1259"});
    time_t const before = time(nullptr);
    auto r = Run(args);
    EXPECT_EQ(1, r.exitCode) << r.err;
    std::string expected = c.cause;
    size_t const at = expected.find("<dest>");
    if (at != std::string::npos) expected.replace(at, 6, dest);
    EXPECT_NE(std::string::npos, r.err.find(expected)) << r.err;
    nuvjobmgr::JobInfo const info = Job(job);
    EXPECT_EQ("failed", info.status);
    EXPECT_EQ(nuvjobmgr::kJobStatusFailure, info.statusCode);
    EXPECT_GE(info.ended, static_cast<int64_t>(before));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RestoreProgramFailureTest,
    ::testing::Values(FailureCase{"partial to a read-only file system", "partial", "read-only", "Read-only file system"},
                      FailureCase{"full to a read-only file system", "full", "read-only", "Read-only file system"},
                      FailureCase{"streams through another user's link", "streams", "link", "planted"},
                      FailureCase{"full through another user's link", "full", "link", "planted"},
                      FailureCase{"streams whose copy fails", "streams", "fault", "the data mover went away"}));

// Unusable arguments: refused with a usage error that names the argument,
// before the job is registered or anything is restored.
struct ArgumentCase {
    char const* name;
    char const* mode;
    char const* option;  // the argument replaced
    char const* value;   // its text ("<job>" the restore job, "<snap>" the snap job)
    char const* error;   // what the usage error holds
};

void PrintTo(ArgumentCase const& c, std::ostream* os) { *os << c.name; }

class RestoreProgramArgumentTest : public RestoreProgramTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(RestoreProgramArgumentTest, IsRefusedBeforeTheJobIsTouched) {
    ArgumentCase const& c = GetParam();
    std::string const a = MakeVolume("a");
    // A file of its own name: whatever a wrong run wrote under "/" is found and removed.
    std::string const probe = "nuv-arg-probe-" + std::to_string(getpid());
    WriteFile(a + "/" + probe, "probe\n");
    SnapJob snap = Snapshot({a});
    int64_t const job = NewRestoreJob();
    std::string const out = m_root.base() + "/restored";
    std::map<std::string, std::string> values{{"-j", std::to_string(job)},
                                              {"-snapjob", std::to_string(snap.jobId)},
                                              {"-data", a},
                                              {"-to", out},
                                              {"-file", probe}};
    std::string value = c.value;
    for (auto const& [from, to] : {std::make_pair("<job>", std::to_string(job)),
                                   std::make_pair("<snap>", std::to_string(snap.jobId))}) {
        size_t const at = value.find(from);
        if (at != std::string::npos) value.replace(at, std::strlen(from), to);
    }
    values[c.option] = value;
    std::vector<std::string> args{c.mode};
    for (auto const& [option, text] : values) {
        if (option == "-file" && std::string(c.mode) != "partial") continue;
        args.push_back(option);
        if (!text.empty() || option != c.option) args.push_back(text);
    }
    auto r = Run(args);
    bool const wroteRoot = Exists("/" + probe);
    std::remove(("/" + probe).c_str());
    EXPECT_EQ(2, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.error)) << r.err;
    EXPECT_EQ("new", Job(job).status) << "the job was not registered";
    EXPECT_FALSE(Exists(out));
    EXPECT_FALSE(wroteRoot);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, RestoreProgramArgumentTest,
    ::testing::Values(
        ArgumentCase{"job with trailing text", "full", "-j", "<job>abc", "-j: '"},
        ArgumentCase{"job with a blank", "full", "-j", "<job> ", "-j: '"},
        ArgumentCase{"job in hex", "full", "-j", "0x1", "-j: '0x1' is no whole decimal number"},
        ArgumentCase{"snap job with trailing text", "partial", "-snapjob", "<snap>x", "-snapjob: '"},
        ArgumentCase{"negative snap job", "full", "-snapjob", "-3", "-snapjob: '-3' is negative"},
        ArgumentCase{"streams with trailing text", "streams", "-streams", "2x", "-streams: '2x'"},
        ArgumentCase{"no stream", "streams", "-streams", "0", "-streams: '0' is out of range"},
        ArgumentCase{"partial to the root directory", "partial", "-to", "/", "-to: the root directory"},
        ArgumentCase{"full to the root directory", "full", "-to", "/", "-to: the root directory"},
        ArgumentCase{"streams to the root directory", "streams", "-to", "//", "-to: the root directory"},
        ArgumentCase{"full to the root directory, dotted", "full", "-to", "/tmp/..", "-to: the root directory"},
        ArgumentCase{"relative destination", "full", "-to", "restored", "-to: 'restored' is not an absolute path"},
        ArgumentCase{"file above the data directory", "partial", "-file", "../a/PG_VERSION", "-file: '../a"},
        ArgumentCase{"unknown argument", "full", "-jobid", "<job>", "unknown argument '-jobid'"},
        ArgumentCase{"job without its value", "full", "-j", "", "-j: a value is needed"}));

}  // namespace
