// Sybase manifests downloaded from a snap job's index into the running job's
// results directory, over an index written by a feed, with bad names in it.
#include "index_scene.h"

#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/job_scene.h"

#include <sys/stat.h>

namespace {

using nuvcataloguetest::IndexedPath;
using Strings = std::vector<std::string>;

class SybaseManifestTest : public nuvcataloguetest::IndexScene {
protected:
    DBPathTranslator Translator() {
        DBPathTranslator t;
        t.m_brannoxId = 2;
        t.m_appId = kAppId;
        t.m_appType = 5;
        t.m_jobId = m_snapJob.id;
        t.m_sarnelName = "host*host*8400*2";
        return t;
    }
    std::string Results() const { return JobResultsDirectory(m_runningJob.id, 2) + "/"; }
};

struct ManifestCase {
    char const* name;
    Strings shipped;     // files the job shipped with its index
    int result;
    Strings paths;       // appended, relative to the results directory
};

void PrintTo(ManifestCase const& c, std::ostream* os) { *os << c.name; }

class SybaseManifestCase : public SybaseManifestTest, public ::testing::WithParamInterface<ManifestCase> {};

TEST_P(SybaseManifestCase, DownloadsEachNamedManifestOnceAndSkipsBadNames) {
    ManifestCase const& c = GetParam();
    Feed(5, ArchiveFile(6),
         {{"/~JZ_SYB_DB_VIEW~/srv/m1.xml/db1~7/dev1"},
          {"/~JZ_SYB_DB_VIEW~/srv/m1.xml/db2~8/dev1"},          // the same manifest again
          {"/~JZ_SYB_DB_VIEW~/srv/m2.xml/db3~9/dev2"},
          {"/~JZ_SYB_DB_VIEW~/srv/NOMANIFESTFILE/db4~1/dev2"},  // no file
          {"/~JZ_SYB_DB_VIEW~/srv/../db5~1/dev2"},              // names that are no file name
          {"/~JZ_SYB_DB_VIEW~/srv/./db6~1/dev2"},
          {"/~JZ_SYB_DB_VIEW~/srv//db7~1/dev2"},
          {"/~JZ_SYB_DB_VIEW~/srv/m3.xml"},                     // too short: not read
          {"/~JZ_SYB_DEVICES~/dev1/~syb~dev1.dat"}});
    std::vector<std::pair<std::string, std::string>> files;
    for (std::string const& name : c.shipped) files.emplace_back(name, "content of " + name);
    Ship(files);

    DBPathTranslator t = Translator();
    Strings paths;
    EXPECT_EQ(c.result, t.getSybManifestFiles(paths));
    Strings expected;
    for (std::string const& p : c.paths) expected.push_back(Results() + p);
    EXPECT_EQ(expected, paths);
    for (std::string const& p : paths) {
        struct stat st;
        ASSERT_EQ(0, stat(p.c_str(), &st)) << p;
        EXPECT_EQ(0644u, st.st_mode & 07777) << p;
        EXPECT_EQ("content of " + p.substr(p.rfind('/') + 1), nuvtest::ReadFile(p));
    }
    // Only plain names were asked for, sorted, once each, the configuration file last.
    Strings const calls = nuvtest::JournalArgs("indexing", "GetIndexFiles");
    ASSERT_EQ(1u, calls.size());
    EXPECT_NE(std::string::npos,
              calls[0].find(" name=NOMANIFESTFILE name=m1.xml name=m2.xml name=JZ_SYB_SERVER_CONFIG_FILE"))
        << calls[0];
    EXPECT_EQ(std::string::npos, calls[0].find("name=.")) << calls[0];
    EXPECT_EQ(1u, t.m_archFileList.size()) << "the snap job's archive files are kept";
}

INSTANTIATE_TEST_SUITE_P(
    Shipped, SybaseManifestCase,
    ::testing::Values(ManifestCase{"EveryFile", {"m1.xml", "m2.xml", "JZ_SYB_SERVER_CONFIG_FILE"}, 0,
                                   {"m1.xml", "m2.xml", "JZ_SYB_SERVER_CONFIG_FILE"}},
                      // The download takes what there is; the missing manifest fails the call after it.
                      ManifestCase{"ManifestMissing", {"m1.xml", "JZ_SYB_SERVER_CONFIG_FILE"}, -1, {"m1.xml"}}),
    [](::testing::TestParamInfo<ManifestCase> const& info) { return std::string(info.param.name); });

TEST_F(SybaseManifestTest, NoDatabaseViewEntriesIsAFailure) {
    Feed(5, ArchiveFile(6), {{"/~JZ_SYB_DEVICES~/dev1/~syb~dev1.dat"}});
    DBPathTranslator t = Translator();
    Strings paths;
    EXPECT_EQ(-1, t.getSybManifestFiles(paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_TRUE(nuvtest::JournalArgs("indexing", "GetIndexFiles").empty());
}

TEST_F(SybaseManifestTest, ArchiveManagerFailureReturnsItsCode) {
    nuvsuite::AddFault("archive", "ArMgrClientAPI::getArchFileListForSnapshotJob", 17, "down", -1);
    DBPathTranslator t = Translator();
    Strings paths;
    EXPECT_EQ(17, t.getSybManifestFiles(paths));
}

TEST_F(SybaseManifestTest, QueriesUnderTheJobsNamedMutex) {
    Feed(5, ArchiveFile(6), {{"/~JZ_SYB_DB_VIEW~/srv/m1.xml/db1~7/dev1"}});
    Ship({{"m1.xml", "m"}, {"JZ_SYB_SERVER_CONFIG_FILE", "c"}});
    std::string const name = "idxq_2_" + std::to_string(m_snapJob.id);
    DBPathTranslator t = Translator();
    Strings paths;
    ASSERT_EQ(0, t.getSybManifestFiles(paths));
    EXPECT_TRUE(nuvtest::Exists(JzNamedMutex::LockFileFor(name)));
    JzNamedMutex other(name);
    EXPECT_NE(0, other.lock(0)) << "released at the end of the call";
}

TEST_F(SybaseManifestTest, IndexFileDownloadSkipsBadAndAbsentNames) {
    Ship({{"m1.xml", "one"}});
    std::string const dir = nuvtest::MakeDir(m_root.base() + "/down");
    EXPECT_EQ(0, GetIndexFiles("h", 2, kAppId, 0, m_snapJob.id, 2, 0, dir,
                               {"", ".", "..", "../m1.xml", "missing", "m1.xml"}, nullptr));
    EXPECT_EQ("one", nuvtest::ReadFile(dir + "/m1.xml"));
    EXPECT_FALSE(nuvtest::Exists(m_root.base() + "/m1.xml"));
    EXPECT_FALSE(nuvtest::Exists(dir + "/missing"));
    EXPECT_EQ(-1, GetIndexFiles("h", 2, kAppId, 0, m_snapJob.id, 2, 0, dir + "/none", {"m1.xml"}, nullptr));
    nuvsuite::AddFault("indexing", "GetIndexFiles", 5, "index down", -1);
    EXPECT_EQ(5, GetIndexFiles("h", 2, kAppId, 0, m_snapJob.id, 2, 0, dir, {"m1.xml"}, nullptr));
}

}  // namespace
