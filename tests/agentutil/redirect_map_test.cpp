// The redirect-restore map: item split, writer (once per job, across
// processes, complete or absent), line form and reader.
#include "nuvdbsnap/agentutil.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/base/cnamed_mutex.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <list>
#include <unistd.h>

namespace {

constexpr uint32_t kMySQLEnabled = 0x16E40911;
constexpr uint32_t kMySQLPaths = 0x772D60C8;
constexpr uint32_t kPgEnabled = 0x16CEAE7E;
constexpr uint32_t kPgPaths = 0x5E16B8EB;
constexpr uint32_t kUseMapFile = 0x0C245FF7;
constexpr uint32_t kMapFilePath = 0x32179489;
constexpr uint32_t kRestoreUnmapped = 0x5092FD1D;

TEST(RedirectItemSplit, TakesTheQuotedTextLessItsFirstCharacterAndSplitsAtTheFirstSeparator) {
    struct Case {
        char const* item;
        char const* source;
        char const* destination;
    } const cases[] = {
        {"\"1/var/lib/mysql|#15!/restore/mysql\"", "/var/lib/mysql", "/restore/mysql"},
        {"/a|#15!/b", "/a", "/b"},                        // no quote: the whole item, nothing dropped
        {"\"1/a|#15!/b|#15!/c\"", "/a", "/b|#15!/c"},     // the first separator divides
        {"\"1|#15!/only/destination\"", "", "/only/destination"},
        {"\"1/a\"q,x|#15!/b\"q\"", "/a\"q,x", "/b\"q"},   // inner quote and comma kept
        {"x\"1/a|#15!/b", "/a", "/b"},                    // one quote: up to the end of the item
        {"\"1/a|#15!\"", "untouched", "untouched"},       // nothing after the separator
        {"\"1/a/b\"", "untouched", "untouched"},          // no separator
        {"\"\"", "untouched", "untouched"},               // empty quoted part
        {"abc\"", "untouched", "untouched"},              // single quote at the end
        {"", "untouched", "untouched"},
    };
    for (Case const& c : cases) {
        std::string source = "untouched", destination = "untouched";
        EXPECT_EQ(NuvDBAgentsCommonUtils::ParseRedirectPath(c.item, source, destination), 0) << c.item;
        EXPECT_EQ(source, c.source) << c.item;
        EXPECT_EQ(destination, c.destination) << c.item;
    }
}

TEST(RedirectMapLine, SplitsQuotedLinesAtTheFirstQuotedSeparatorAndOthersAtTheFirstComma) {
    struct Case {
        char const* line;
        bool split;
        char const* source;
        char const* destination;
    } const cases[] = {
        {"\"/a,b\",\"/c,d\"", true, "/a,b", "/c,d"},
        {"\"/a\"q\",\"/b\"q\"", true, "/a\"q", "/b\"q"},
        {"\"\",\"\"", true, "", ""},
        {"\"/a\",\"\"", true, "/a", ""},
        {"/a,/b", true, "/a", "/b"},
        {"\"/a\",", false, "-", "-"},       // empty destination without quotes
        {"no separator", false, "-", "-"},
        {"", false, "-", "-"},
    };
    for (Case const& c : cases) {
        std::string source = "-", destination = "-";
        EXPECT_EQ(nuvagentutil::SplitRedirectMapLine(c.line, source, destination), c.split) << c.line;
        EXPECT_EQ(source, c.source) << c.line;
        EXPECT_EQ(destination, c.destination) << c.line;
    }
    EXPECT_EQ(nuvagentutil::FormatRedirectMapLine("/a,\"b", "/c"), "\"/a,\"b\",\"/c\"\n");
}

class RedirectMapTest : public nuvtest::JobScene {
protected:
    void SetUp() override {
        JobScene::SetUp();
        DeclareApp(125);
        m_ev.setJobId(static_cast<uint64_t>(m_jobId));
    }

    std::string MapPath() const { return JobResultsDir() + "/DbRedirectMapFile.jzf"; }

    unsigned long PgInstance(char const* name, char const* walDir) {
        nuvappmgr::InstanceDecl decl;
        decl.clientId = m_clientId;
        decl.name = name;
        decl.appType = 125;
        unsigned long id = 0;
        EXPECT_FALSE(nuvappmgr::DeclareInstance(decl, &id).IsError());
        if (walDir) {
            EXPECT_FALSE(nuvappmgr::SetInstanceProperty(id, kWalArchiveDirProperty, walDir).IsError());
        }
        return id;
    }

    EvRstTask Task() { return EvRstTask(m_jobId, 0, nullptr, false); }

    // The names in the job-results directory other than the map itself.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(JobResultsDir().c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != ".." && n != "DbRedirectMapFile.jzf") names.push_back(n);
            }
            closedir(d);
        }
        return names;
    }

    EvEvent m_ev;
};

TEST_F(RedirectMapTest, MapFilePathIsInTheJobResultsDirectory) {
    std::string path = "untouched";
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetDBRedirectRstMapFilePath(&m_ev, path), 0);
    EXPECT_EQ(path, MapPath());
    ASSERT_EQ(Task().setBrannoxId(7, nullptr), 0);  // the restore task names the Brannox
    ASSERT_EQ(NuvDBAgentsCommonUtils::GetDBRedirectRstMapFilePath(&m_ev, path), 0);
    EXPECT_EQ(path, m_root.path() + "/jobresults/JZ_JobResults/7/0/" + std::to_string(m_jobId) +
                        "/DbRedirectMapFile.jzf");

    EvEvent noJob(0);
    path = "untouched";
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetDBRedirectRstMapFilePath(&noJob, path), 1);
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetDBRedirectRstMapFilePath(nullptr, path), 1);
    EXPECT_EQ(path, "untouched");
    EXPECT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&noJob, 104), 1);
    EXPECT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(nullptr, 104), 1);
}

TEST_F(RedirectMapTest, WriterTable) {
    unsigned long source = PgInstance("pg-source", "/pg/wal,archive");
    unsigned long destination = PgInstance("pg-destination", "/pg/restored \"wal\"");
    unsigned long noWal = PgInstance("pg-nowal", nullptr);
    unsigned long quotedWal = PgInstance("pg-quoted", "/pg/wal\",\"archive");
    std::list<std::string> const mixed = {"\"1/var/lib/my,sql|#15!/restore/my,sql\"", "\"1/a\"q|#15!/b\"q\"",
                                          "\"1/no/separator\""};
    char const* const mixedLines = "\"/var/lib/my,sql\",\"/restore/my,sql\"\n\"/a\"q\",\"/b\"q\"\n\"\",\"\"\n";
    struct Case {
        char const* name;
        unsigned long appType;
        int enabled;                       // -1: option absent
        std::list<std::string> items;      // empty: option absent
        unsigned long sourceInstance;
        unsigned long destinationInstance;
        char const* faultCall;             // a jobmgr / file fault, or null
        char const* faultMatch;
        int rc;
        char const* content;               // null: no map file
    } const cases[] = {
        {"mysql", 104, 1, mixed, 0, 0, nullptr, "", 0, mixedLines},
        {"postgresql to another instance", 125, 1, {"\"1/data|#15!/new data\""}, source, destination, nullptr, "",
         0, "\"/data\",\"/new data\"\n\"/pg/wal,archive\",\"/pg/restored \"wal\"\"\n"},
        {"postgresql in place", 125, 1, {"\"1/data|#15!/new\""}, source, 0, nullptr, "", 0,
         "\"/data\",\"/new\"\n\"/pg/wal,archive\",\"/pg/wal,archive\"\n"},
        {"postgresql source without a WAL archive", 125, 1, {"\"1/d|#15!/n\""}, noWal, destination, nullptr, "", 1,
         nullptr},
        {"postgresql destination without a WAL archive", 125, 1, {"\"1/d|#15!/n\""}, source, noWal, nullptr, "", 1,
         nullptr},
        {"postgresql without instances", 125, 1, {"\"1/d|#15!/n\""}, 0, 0, nullptr, "", 1, nullptr},
        {"oracle has no redirect options", 22, 1, mixed, 0, 0, nullptr, "", 0, nullptr},
        {"db2 has no redirect options", 62, 1, mixed, 0, 0, nullptr, "", 0, nullptr},
        {"not enabled", 104, 0, mixed, 0, 0, nullptr, "", 0, nullptr},
        {"enabled option absent", 104, -1, mixed, 0, 0, nullptr, "", 0, nullptr},
        {"items absent", 104, 1, {}, 0, 0, nullptr, "", 1, nullptr},
        {"line feed in a path", 104, 1, {"\"1/a|#15!/b\"", "\"1/x\ny|#15!/z\""}, 0, 0, nullptr, "", 1, nullptr},
        {"carriage return in a path", 104, 1, {"\"1/a|#15!/b\r\""}, 0, 0, nullptr, "", 1, nullptr},
        {"quoted separator in a source path", 104, 1, {"\"1/a|#15!/b\"", "\"1/x\",\"y|#15!/z\""}, 0, 0, nullptr, "",
         1, nullptr},
        {"quoted separator in a destination path reads back", 104, 1, {"\"1/x|#15!/y\",\"z\""}, 0, 0, nullptr, "", 0,
         "\"/x\",\"/y\",\"z\"\n"},
        {"quoted separator in the source WAL archive", 125, 1, {"\"1/d|#15!/n\""}, quotedWal, destination, nullptr, "",
         1, nullptr},
        {"first option not set", 104, 1, mixed, 0, 0, "EvTask::setOption", "option=203710455", 1, nullptr},
        {"last option not set", 104, 1, mixed, 0, 0, "EvTask::setOption", "option=1351810333", 1, nullptr},
        {"map file not renamed into place", 104, 1, mixed, 0, 0, "rename", "DbRedirectMapFile", 1, nullptr},
        {"map file not flushed", 104, 1, mixed, 0, 0, "fsync", "DbRedirectMapFile", 1, nullptr},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvjobmgr::JobInfo job;
        ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &job).IsError());
        m_jobId = job.id;
        m_ev.setJobId(static_cast<uint64_t>(job.id));
        EvRstTask task = Task();
        uint32_t const enabledId = c.appType == 104 ? kMySQLEnabled : c.appType == 125 ? kPgEnabled : 0;
        uint32_t const pathsId = c.appType == 104 ? kMySQLPaths : c.appType == 125 ? kPgPaths : 0;
        if (c.enabled >= 0) {
            ASSERT_EQ(task.setOptionBool(enabledId, c.enabled == 1, nullptr), 0);
        }
        if (!c.items.empty()) {
            ASSERT_EQ(task.setOptionString(pathsId, c.items, nullptr), 0);
        }
        if (c.sourceInstance) {
            ASSERT_EQ(task.setInstanceId(c.sourceInstance, nullptr), 0);
        }
        if (c.destinationInstance) {
            ASSERT_EQ(task.setDestinationInstanceId(c.destinationInstance, nullptr), 0);
        }
        if (c.faultCall) {
            bool const file = std::string(c.faultCall) == "rename" || std::string(c.faultCall) == "fsync";
            nuvsuite::AddFault(file ? "file" : "jobmgr", c.faultCall, file ? 5 : -1, "injected", -1, c.faultMatch);
        }

        EXPECT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&m_ev, c.appType), c.rc);
        nuvsuite::ClearFaults();
        if (c.content) {
            EXPECT_EQ(nuvtest::ReadFile(MapPath()), c.content);
            bool use = false, unmapped = false;
            std::list<std::string> path;
            EXPECT_EQ(task.getOptionBool(kUseMapFile, use, nullptr), 0);
            EXPECT_EQ(task.getOptionString(kMapFilePath, path, nullptr), 0);
            EXPECT_EQ(task.getOptionBool(kRestoreUnmapped, unmapped, nullptr), 0);
            EXPECT_TRUE(use && unmapped);
            EXPECT_EQ(path, std::list<std::string>{MapPath()});
        } else {
            EXPECT_FALSE(FXFile::DoesFileExist(MapPath()));
        }
        EXPECT_EQ(Leftovers(), std::vector<std::string>{});  // no temporary file stays
    }
}

TEST_F(RedirectMapTest, ReaderAddsEveryLineAndKeepsTheCallersEntries) {
    std::string const lines = nuvagentutil::FormatRedirectMapLine("/a,b", "/c,d") +
                              nuvagentutil::FormatRedirectMapLine("/q\"uote", "/r\"x") +
                              nuvagentutil::FormatRedirectMapLine("", "") + "\"/skipped\",\n" + "/plain,/line\n" +
                              nuvagentutil::FormatRedirectMapLine("/a,b", "/last wins");
    nuvtest::MakeDir(JobResultsDir());
    nuvtest::WriteFile(MapPath(), lines);
    std::map<std::string, std::string> map = {{"/kept", "/by caller"}};
    ASSERT_EQ(NuvDBAgentsCommonUtils::ParseRedirectMapFile(&m_ev, map), 0);
    std::map<std::string, std::string> const expected = {
        {"/kept", "/by caller"}, {"/a,b", "/last wins"}, {"/q\"uote", "/r\"x"}, {"", ""}, {"/plain", "/line"}};
    EXPECT_EQ(map, expected);

    ASSERT_EQ(unlink(MapPath().c_str()), 0);
    EXPECT_EQ(NuvDBAgentsCommonUtils::ParseRedirectMapFile(&m_ev, map), 1);
    EvEvent noJob(0);
    EXPECT_EQ(NuvDBAgentsCommonUtils::ParseRedirectMapFile(&noJob, map), 1);
}

TEST_F(RedirectMapTest, WrittenMapReadsBackAsTheItems) {
    unsigned long pg = PgInstance("pg", "/wal");
    EvRstTask task = Task();
    ASSERT_EQ(task.setOptionBool(kPgEnabled, true, nullptr), 0);
    ASSERT_EQ(task.setOptionString(kPgPaths,
                                   std::list<std::string>{"\"1/x,\"y\"|#15!/new,\"y\"\"", "\"1/data|#15!/d2\"",
                                                          "\"1/q|#15!/r\",\"s\""},
                                   nullptr),
              0);
    ASSERT_EQ(task.setInstanceId(pg, nullptr), 0);
    ASSERT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&m_ev, 125), 0);
    std::map<std::string, std::string> map;
    ASSERT_EQ(NuvDBAgentsCommonUtils::ParseRedirectMapFile(&m_ev, map), 0);
    std::map<std::string, std::string> const expected = {
        {"/x,\"y\"", "/new,\"y\""}, {"/data", "/d2"}, {"/q", "/r\",\"s"}, {"/wal", "/wal"}};
    EXPECT_EQ(map, expected);
}

// Without the lock only a map that another writer completed counts as done.
TEST_F(RedirectMapTest, LockNotHadSucceedsOnlyWhenTheMapExists) {
    EvRstTask task = Task();
    ASSERT_EQ(task.setOptionBool(kMySQLEnabled, true, nullptr), 0);
    ASSERT_EQ(task.setOptionString(kMySQLPaths, std::list<std::string>{"\"1/a|#15!/b\""}, nullptr), 0);
    std::string const mutexName = "DB_REDIRECT_" + std::to_string(m_jobId);
    nuvsuite::AddFault("mutex", "CNamedMutex::lock", -1, "no lock", -1, mutexName);
    EXPECT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&m_ev, 104), 1);
    EXPECT_FALSE(FXFile::DoesFileExist(MapPath()));
    nuvtest::MakeDir(JobResultsDir());
    nuvtest::WriteFile(MapPath(), "\"/x\",\"/y\"\n");
    EXPECT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&m_ev, 104), 0);
    EXPECT_EQ(nuvtest::ReadFile(MapPath()), "\"/x\",\"/y\"\n");  // left as the other writer made it
}

void SetMySQLRedirect(long long job) {
    EvRstTask task(job, 0, nullptr, false);
    ASSERT_EQ(task.setOptionBool(kMySQLEnabled, true, nullptr), 0);
    ASSERT_EQ(task.setOptionString(kMySQLPaths, std::list<std::string>{"\"1/a|#15!/b\"", "\"1/c|#15!/d\""}, nullptr),
              0);
}

TEST_F(RedirectMapTest, TwoWritersInTwoProcessesWriteTheMapOnce) {
    SetMySQLRedirect(m_jobId);
    std::string const mutexName = "DB_REDIRECT_" + std::to_string(m_jobId);
    CNamedMutex held(mutexName.c_str(), nullptr, false);
    ASSERT_EQ(held.lock(-1, true), 0);  // both writers queue behind this lock
    uint64_t const job = static_cast<uint64_t>(m_jobId);
    auto writer = [job]() {
        EvEvent ev(job);
        return NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&ev, 104) == 0 ? 0 : 1;
    };
    int first = nuvtest::StartChild(writer);
    int second = nuvtest::StartChild(writer);
    ASSERT_EQ(held.unlock(), 0);
    EXPECT_EQ(nuvtest::WaitChild(first), 0);
    EXPECT_EQ(nuvtest::WaitChild(second), 0);
    EXPECT_EQ(nuvtest::ReadFile(MapPath()), "\"/a\",\"/b\"\n\"/c\",\"/d\"\n");
    // One writer set the three options, the other found the map and left them alone.
    EXPECT_EQ(nuvtest::JournalArgs("jobmgr", "EvTask::setOption").size(), 2u + 3u);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(RedirectMapTest, WriterKilledMidwayLeavesNoMapAndTheNextWriterWritesIt) {
    SetMySQLRedirect(m_jobId);
    nuvtest::MakeDir(JobResultsDir());
    // The writer stops once its map is staged, before it is put in place.
    std::string const hold = m_root.base() + "/hold";
    nuvtest::MakeDir(hold);
    nuvsuite::AddFault("agentutil", "hold", 0, hold, 1);
    uint64_t const job = static_cast<uint64_t>(m_jobId);
    int child = nuvtest::StartChild([job]() {
        EvEvent ev(job);
        return NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&ev, 104);
    });
    bool held = false;
    for (int i = 0; i < 12000 && !held; ++i) {
        held = FXFile::DoesFileExist(hold + "/held");
        if (!held) usleep(10000);
    }
    ASSERT_TRUE(held) << "the writer never reached its hold";
    kill(child, SIGKILL);
    EXPECT_EQ(nuvtest::WaitChild(child), 128 + SIGKILL);
    EXPECT_FALSE(FXFile::DoesFileExist(MapPath()));
    std::vector<std::string> const left = Leftovers();
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(0u, left.front().rfind("DbRedirectMapFile.jzf.tmp." + std::to_string(child) + ".", 0));
    // A live writer's temporary file (pid 1 runs) and names of another form stay.
    std::vector<std::string> const kept{"DbRedirectMapFile.jzf.tmp.1.0", "DbRedirectMapFile.jzf.tmp.x.0",
                                        "other.jzf.tmp." + std::to_string(child) + ".0"};
    for (auto const& name : kept) nuvtest::WriteFile(JobResultsDir() + "/" + name, "");

    // The dead writer's lock went with it; the next writer clears what it left.
    ASSERT_EQ(NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(&m_ev, 104), 0);
    EXPECT_EQ(nuvtest::ReadFile(MapPath()), "\"/a\",\"/b\"\n\"/c\",\"/d\"\n");
    std::vector<std::string> after = Leftovers();
    std::sort(after.begin(), after.end());
    std::vector<std::string> want = kept;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, after);
}

}  // namespace
