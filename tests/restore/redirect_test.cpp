// Redirected restores: the rules of the central server's redirect list for
// Oracle data files, the DB2 relocation test, the map file the driver writes
// and the redirect statics that belong to one restore job.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/appmgr/nuv_backup.h"

using namespace nuvrestoretest;

namespace {

Nuv::OracleDB2DatafilePath Entry(std::string const& src, std::string const& dest, int64_t type, int64_t result = -1) {
    Nuv::OracleDB2DatafilePath e;
    e.setstring(nuvredirect::kSourcePath, nuvredirect::kSourcePath, src);
    e.setstring(nuvredirect::kDestPath, nuvredirect::kDestPath, dest);
    e.setint64(nuvredirect::kPathType, nuvredirect::kPathType, type);
    if (result >= 0) e.setint64(nuvredirect::kResultType, nuvredirect::kResultType, result);
    return e;
}

// One data file searched over a list of rules.
struct RuleCase {
    char const* name;
    std::vector<Nuv::OracleDB2DatafilePath> rules;
    char const* source;
    unsigned pathType;
    bool matched;
    char const* dest;       // "@" + x: x below the test's existing directory
    unsigned resultType;
    uint64_t flag;
    char const* logPath, *controlPath, *spPath;
};

void PrintTo(RuleCase const& c, std::ostream* os) { *os << c.name; }

class RuleTest : public nuvtest::SuiteTest, public ::testing::WithParamInterface<RuleCase> {};

std::string Expand(std::string const& text, std::string const& dir) {
    std::string out = text;
    for (size_t p; (p = out.find('@')) != std::string::npos;) out.replace(p, 1, dir);
    return out;
}

TEST_P(RuleTest, FirstMatchingRuleDecides) {
    RuleCase const& c = GetParam();
    std::string const dir = MakeDir(m_root.base() + "/existing");
    RedirectPathSearch::ResetForJob(1);
    std::string dest = "untouched";
    unsigned result = 7;
    std::string const source = Expand(c.source, dir);
    RedirectPathSearch search(source, c.pathType, dest, result);
    bool matched = false;
    for (auto rule : c.rules) {
        rule.setstring(nuvredirect::kDestPath, nuvredirect::kDestPath,
                       Expand(rule.getstring(nuvredirect::kDestPath), dir));
        if (search(rule)) {
            matched = true;
            break;
        }
    }
    EXPECT_EQ(c.matched, matched);
    EXPECT_EQ(Expand(c.dest, dir), dest);
    EXPECT_EQ(c.resultType, result);
    EXPECT_EQ(c.flag, RedirectPathSearch::m_redirectRestoreFlag);
    EXPECT_EQ(Expand(c.logPath, dir), RedirectPathSearch::m_destLogPath);
    EXPECT_EQ(Expand(c.controlPath, dir), RedirectPathSearch::m_destControlFilePath);
    EXPECT_EQ(Expand(c.spPath, dir), RedirectPathSearch::m_destSPFilePath);
}

INSTANTIATE_TEST_SUITE_P(
    Redirect, RuleTest,
    ::testing::Values(
        RuleCase{"log rule with two slashes", {Entry("", "/newlogs//", 1)}, "/u01/redo1.log", 1, true,
                 "/newlogs/redo1.log", 7, 1, "/newlogs//", "", ""},
        RuleCase{"log rule directory gets its slash", {Entry("", "/newlogs", 1), Entry("", "/other", 1)},
                 "/u01/redo1.log", 1, true, "/newlogs/redo1.log", 7, 1, "/newlogs/", "", ""},
        RuleCase{"control file stays, its directory is recorded", {Entry("", "@", 2)}, "/u01/control01.ctl", 2,
                 true, "/u01/control01.ctl", 7, 2, "", "@/control01.ctl", ""},
        RuleCase{"parameter file under /init keeps no destination", {Entry("", "/sp", 4)}, "/u01/init/spfile.ora", 4,
                 true, "/u01/init/spfile.ora", 7, 4, "", "", ""},
        RuleCase{"parameter file elsewhere is recorded", {Entry("", "/sp/spfile.ora", 4)}, "/u01/dbs/spfile.ora", 4,
                 true, "/u01/dbs/spfile.ora", 7, 4, "", "", "/sp/spfile.ora"},
        RuleCase{"type rule to a missing path names the file", {Entry("", "/new/users01.dbf", 6)},
                 "/u01/users01.dbf", 6, true, "/new/users01.dbf", 7, 6, "", "", ""},
        RuleCase{"type rule to a directory keeps the base name", {Entry("", "@//", 6)}, "/u01/users01.dbf", 6,
                 true, "@/users01.dbf", 7, 6, "", "", ""},
        RuleCase{"exact rule without a result type", {Entry("/u01/a.dbf", "/b/a.dbf", 6)}, "/u01/a.dbf", 6, true,
                 "/b/a.dbf", 7, 0x10, "", "", ""},
        RuleCase{"exact rule with a result type", {Entry("/u01/a.dbf", "/b/a.dbf", 3, 0x100000009)}, "/u01/a.dbf",
                 6, true, "/b/a.dbf", 9, 0x10, "", "", ""},
        RuleCase{"earlier rule wins", {Entry("/u01/a.dbf", "/exact", 6), Entry("", "/bytype", 6)}, "/u01/a.dbf", 6,
                 true, "/exact", 7, 0x10, "", "", ""},
        RuleCase{"no rule applies", {Entry("/u01/b.dbf", "/x", 6), Entry("", "/y", 5)}, "/u01/a.dbf", 6, false,
                 "untouched", 7, 0, "", "", ""},
        RuleCase{"source without a slash is its own base name", {Entry("", "/logs", 1)}, "redo", 1, true,
                 "/logs/redo", 7, 1, "/logs/", "", ""}));

class RedirectDriverTest : public RestoreTest {};

TEST_F(RedirectDriverTest, OracleListRedirectsFilesAndWritesTheMapFile) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    EvRstTask task(m_restoreJob, 0, nullptr, false);
    ASSERT_EQ(0, task.setAppTypeId(22, nullptr));
    std::string const out = MakeDir(m_root.base() + "/oradata");
    ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, a + "/base/1/1259", out + "/system01.dbf", 6, 3));
    ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "", out, 7, -1));
    ArchFileInfo af = WholeVolume(job, a, "");
    af.dataFiles.front().srcPath = a + "/base/1/1259";
    af.dataFiles.front().pathType = 6;
    DataFileInfo byType;
    byType.srcPath = a + "/g/pg_control";
    byType.pathType = 7;
    DataFileInfo unmatched;
    unmatched.srcPath = a + "/PG_VERSION";
    unmatched.pathType = 9;
    af.dataFiles.push_back(byType);
    af.dataFiles.push_back(unmatched);
    std::list<ArchFileInfo> list{af};
    auto restore = MakeRestore(false);
    ASSERT_EQ(0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_TRUE(restore->redirected());
    EXPECT_TRUE(NuvSnapRestore::isRedirectRestore());
    auto it = list.front().dataFiles.begin();
    EXPECT_EQ(out + "/system01.dbf", it->destPath);
    EXPECT_EQ(3u, it->resultType);
    EXPECT_EQ(out + "/pg_control", (++it)->destPath);
    EXPECT_EQ(a + "/PG_VERSION", (++it)->destPath) << "an unmatched file goes back to its own path";
    std::string const mapFile = nuvsuite::StatePath("temp") + "/tmp_2_" + std::to_string(m_restoreJob);
    EXPECT_EQ("\"" + a + "/base/1/1259\",\"" + out + "/system01.dbf\"\n\"" + a + "/g/pg_control\",\"" + out +
                  "/pg_control\"\n\"" + a + "/PG_VERSION\",\"" + a + "/PG_VERSION\"\n",
              ReadFile(mapFile));
    std::list<std::string> option;
    ASSERT_EQ(0, task.getOptionString(0x32179489, option, nullptr));
    EXPECT_EQ(std::list<std::string>{mapFile}, option);
    // The restore-files client followed the map: the files are where it says.
    EXPECT_EQ("pg_class rows of a\n", ReadFile(out + "/system01.dbf"));
    EXPECT_EQ("control of a", ReadFile(out + "/pg_control"));

    // A second restore of the same job does not ask the central server again.
    auto again = MakeRestore(false);
    std::list<ArchFileInfo> second{WholeVolume(job, a, "")};
    second.front().dataFiles.front().srcPath = a + "/PG_VERSION";
    ASSERT_EQ(0, again->restoreData(job.jobId, true, second, nullptr, nullptr));
    EXPECT_EQ(1u, JournalArgs("appmgr", "NuvBackup::getOracleDB2RedirectRestorePaths").size());
}

// DB2: relocated only by an entry of another path type than 5 whose sides differ.
struct Db2Case {
    char const* name;
    std::vector<std::array<std::string, 3>> entries;  // source, dest, path type
    bool redirected;
};

void PrintTo(Db2Case const& c, std::ostream* os) { *os << c.name; }

class Db2Test : public RestoreTest, public ::testing::WithParamInterface<Db2Case> {};

TEST_P(Db2Test, RelocationDecidesTheRedirect) {
    StartRestoreJob();
    EvRstTask task(m_restoreJob, 0, nullptr, false);
    ASSERT_EQ(0, task.setAppTypeId(62, nullptr));
    for (auto const& e : GetParam().entries)
        ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, e[0], e[1], std::stoll(e[2]), -1));
    std::list<ArchFileInfo> none;
    auto restore = MakeRestore(false);
    EXPECT_EQ(0, restore->restoreData(0, true, none, nullptr, nullptr));
    EXPECT_EQ(GetParam().redirected, restore->redirected());
    std::string const mapFile = nuvsuite::StatePath("temp") + "/tmp_2_" + std::to_string(m_restoreJob);
    if (GetParam().redirected) {
        std::string expected;
        for (auto const& e : GetParam().entries) expected += "\"" + e[0] + "\",\"" + e[1] + "\"\n";
        EXPECT_EQ(expected, ReadFile(mapFile));
    } else {
        EXPECT_FALSE(Exists(mapFile));
        bool storage = true;
        EXPECT_EQ(0, task.getOptionBool(0x6F88ADAD, storage, nullptr));
        EXPECT_FALSE(storage);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Redirect, Db2Test,
    ::testing::Values(Db2Case{"same paths", {{"/db2/a", "/db2/a", "1"}, {"/db2/b", "/db2/b", "3"}}, false},
                      Db2Case{"only storage paths differ", {{"/db2/a", "/db2/a", "1"}, {"/s1", "/s2", "5"}}, false},
                      Db2Case{"relocated", {{"/s1", "/s2", "5"}, {"/db2/a", "/new/a", "1"}}, true}));

// A mapping that cannot stand in a map line refuses the whole map: the restore
// stops before any file is written to a path the readers would get wrong.
TEST_F(RedirectDriverTest, UnmappablePathRefusesTheMap) {
    struct Case {
        char const* name;
        char const* source;
        char const* dest;
    } const cases[] = {
        {"quoted separator in the source", "/db2/a\",\"/db2/b", "/new/a"},
        {"line feed in the source", "/db2/a\nb", "/new/a"},
        {"carriage return in the destination", "/db2/a", "/new/a\r"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        StartRestoreJob();
        EvRstTask task(m_restoreJob, 0, nullptr, false);
        ASSERT_EQ(0, task.setAppTypeId(62, nullptr));
        ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "/db2/ok", "/new/ok", 1, -1));
        ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, c.source, c.dest, 1, -1));
        std::list<ArchFileInfo> none;
        EXPECT_EQ(1, MakeRestore(false)->restoreData(0, true, none, nullptr, nullptr));
        EXPECT_FALSE(Exists(nuvsuite::StatePath("temp") + "/tmp_2_" + std::to_string(m_restoreJob)));
    }
}

// Two relocations to one destination: a code of its own, not that of a client
// that did not initialise, and no map file.
TEST_F(RedirectDriverTest, TwoFilesMappedToOneDestinationHaveACodeOfTheirOwn) {
    StartRestoreJob();
    EvRstTask task(m_restoreJob, 0, nullptr, false);
    ASSERT_EQ(0, task.setAppTypeId(62, nullptr));
    ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "/db2/a", "/db2/new", 1, -1));
    ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "/db2/b", "/db2/new", 1, -1));
    std::list<ArchFileInfo> none;
    auto restore = MakeRestore(false);
    EXPECT_EQ(kRestoreDestinationCollision, restore->restoreData(0, true, none, nullptr, nullptr));
    EXPECT_EQ(1, restore->Init(m_ctrl.get())) << "the restore-files client was never asked to initialise";
    EXPECT_FALSE(Exists(nuvsuite::StatePath("temp") + "/tmp_2_" + std::to_string(m_restoreJob)));
}

TEST_F(RedirectDriverTest, FailedFetchAndServerErrorGiveMinusEight) {
    StartRestoreJob();
    EvRstTask task(m_restoreJob, 0, nullptr, false);
    ASSERT_EQ(0, task.setAppTypeId(22, nullptr));
    std::list<ArchFileInfo> none;
    nuvsuite::AddFault("appmgr", "NuvBackup::getOracleDB2RedirectRestorePaths", 5, "injected by the test", 1);
    EXPECT_EQ(-8, MakeRestore(false)->restoreData(0, true, none, nullptr, nullptr));
    ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "", "", 0, -1, 42));
    EXPECT_EQ(-8, MakeRestore(false)->restoreData(0, true, none, nullptr, nullptr));
}

TEST_F(RedirectDriverTest, JobTokenFileHoldsTheTokenOnlyAndIsNotFollowed) {
    StartRestoreJob();
    unlink("/tmp/jobtoken.txt");
    std::string const victim = m_root.base() + "/victim";
    WriteFile(victim, "keep");
    ASSERT_EQ(0, symlink(victim.c_str(), "/tmp/jobtoken.txt"));
    std::list<ArchFileInfo> none;
    EXPECT_EQ(0, MakeRestore(false)->restoreData(0, true, none, nullptr, nullptr));
    EXPECT_EQ("keep", ReadFile(victim));
    struct stat st;
    ASSERT_EQ(0, lstat("/tmp/jobtoken.txt", &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(std::string(m_ctrl->GetJobToken()), ReadFile("/tmp/jobtoken.txt"));
    unlink("/tmp/jobtoken.txt");
}

TEST(ComputeStripLevel, CountsTheParentsComponents) {
    int level = 5;
    EXPECT_EQ(1, NuvSnapRestore::computeStripLevel(nullptr, level));
    EXPECT_EQ(5, level);
    EXPECT_EQ(0, NuvSnapRestore::computeStripLevel("/a/b/c/f", level));
    EXPECT_EQ(3, level);
    EXPECT_EQ(0, NuvSnapRestore::computeStripLevel("/f", level));
    EXPECT_EQ(0, level);
    EXPECT_EQ(NuvSnapRestoreJob(5, 77), NuvSnapRestoreJob(5, 77));
    EXPECT_NE(NuvSnapRestoreJob(6, 77), NuvSnapRestoreJob(5, 77));
    EXPECT_NE(NuvSnapRestoreJob(5, 78), NuvSnapRestoreJob(5, 77));
}

}  // namespace
