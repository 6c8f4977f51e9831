// The browsable paths of a snap job sent to the index for the running job,
// and the Oracle image-copy tag carried forward to it.
#include "index_scene.h"

#include "catalogue/translator_internal.h"
#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <algorithm>

namespace {

using Strings = std::vector<std::string>;

class BrowsableUpdateTest : public nuvcataloguetest::IndexScene {
protected:
    DBPathTranslator Translator(unsigned appType) {
        DBPathTranslator t;
        t.m_brannoxId = 2;
        t.m_appId = kAppId;
        t.m_appType = appType;
        t.m_jobId = m_snapJob.id;
        t.m_indexSarnelName = "host*host*8400*2";
        return t;
    }
    // What the running job's index shows under a pattern.
    Strings RunningJobPaths(std::string const& pattern) {
        std::vector<nuvindexing::IndexEntry> entries;
        EXPECT_FALSE(nuvindexing::BrowseIndex(kAppId, m_runningJob.id, pattern, &entries).IsError());
        Strings out;
        for (auto const& e : entries) out.push_back(e.path);
        std::sort(out.begin(), out.end());
        return out;
    }
    // The snap job's saved image-copy tag.
    void SaveTag(std::string const& tag) {
        CJobInfoMetadataStoreFactory factory("host", m_snapJob.token, m_snapJob.id, 2, kAppId);
        boost::shared_ptr<CJobInfoMetadataStore> store = factory.GetInstance(2);
        ASSERT_TRUE(store);
        ASSERT_FALSE(store->setKeyValue(std::string("OracleImageCopy"), std::string("RmanImageCopyTag"), tag).IsError());
        ASSERT_FALSE(store->backupData("host", m_snapJob.token, 0).IsError());
    }
    std::string RunningJobTag() {
        CJobInfoMetadataReader reader(m_runningJob.id);
        boost::shared_ptr<CBag> bag = reader.getContainerBag("OracleImageCopy", 2);
        std::string tag;
        if (bag) (void)bag->Read("RmanImageCopyTag", tag);
        return tag;
    }
};

TEST_F(BrowsableUpdateTest, QueriedPathsRoundTripThroughTheIndex) {
    Feed(125, ArchiveFile(1), {{"/TblView/db/t1"}, {"/TblView/db/t2"}, {"/data/pg/base/1", false, 10}});
    DBPathTranslator t = Translator(125);
    ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
    JZBkpLevel level = JZBkpLevel(1);
    ASSERT_EQ(0, t.updateBrowsableIndex(nullptr, level, m_runningJob.token));
    EXPECT_EQ((Strings{"/TblView/db/t1", "/TblView/db/t2"}), RunningJobPaths("/TblView/db"));
    EXPECT_TRUE(RunningJobPaths("/data/pg/base").empty()) << "files are not browsable paths";
}

// An agent run as users run it, its job on the command line (no JZ_JOB_ID):
// the running job is the one its job-control client registered with, under
// either index generation.
TEST_F(BrowsableUpdateTest, TheRunningJobOfAnAgentStartedWithItsJobOnTheCommandLine) {
    for (int generation : {1, 2}) {
        SCOPED_TRACE(generation);
        nuvtest::ScopedSuiteRoot root;
        IndexScene::SetUp();
        unsetenv("JZ_JOB_ID");
        nuvcatalogue::PathList().clear();
        ASSERT_FALSE(nuvindexing::SetGeneration(2, kAppId, generation == 2).IsError());
        Feed(125, ArchiveFile(1), {{"/TblView/db/t1"}, {"/TblView/db/t2"}});
        ArchiveFile(1, &m_runningJob);  // the running job's data
        DBPathTranslator t = Translator(125);
        ASSERT_EQ(0, t.getArchiveFileIdsFromIndexForAJob());
        JZJobCtrlClient client(0);
        ASSERT_TRUE(client.Init2(m_runningJob.id, "server1", 1, 4, m_runningJob.token.c_str(), nullptr));
        JZBkpLevel level = JZBkpLevel(1);
        EXPECT_EQ(0, t.updateBrowsableIndex(&client, level, m_runningJob.token));
        EXPECT_EQ((Strings{"/TblView/db/t1", "/TblView/db/t2"}), RunningJobPaths("/TblView/db"));
    }
}

TEST_F(BrowsableUpdateTest, NothingToSendIsNoFailure) {
    DBPathTranslator t = Translator(125);
    JZBkpLevel level = JZBkpLevel(1);
    EXPECT_EQ(0, t.updateBrowsableIndex(nullptr, level, m_runningJob.token));
    EXPECT_TRUE(nuvindexing::ListRuns(m_runningJob.id).empty());
}

// MySQL's links to directories go in a pass of their own (first generation)
// or are not sent (second): a list of such links alone sends nothing else.
struct MySqlLinksCase {
    char const* name;
    int generation;
    bool withDirectory;  // a plain browsable directory besides the links
    Strings sent;        // what the running job's index shows afterwards
};

void PrintTo(MySqlLinksCase const& c, std::ostream* os) { *os << c.name; }

class MySqlLinksTest : public BrowsableUpdateTest, public ::testing::WithParamInterface<MySqlLinksCase> {};

TEST_P(MySqlLinksTest, LinksAreSentOnlyWhereTheyBelong) {
    MySqlLinksCase const& c = GetParam();
    if (c.generation == 2) {
        ASSERT_FALSE(nuvindexing::SetGeneration(2, kAppId, true).IsError());
    }
    ArchiveFile(1, &m_runningJob);  // the running job's first archive file: the fresh root's first
    nuvcatalogue::PathList().clear();
    DBPathTranslator::addToBrowsablePath("/+SYMLINK2DIR+/var/lib/mysql/sales,1,0,2,1,0", ',');
    DBPathTranslator::addToBrowsablePath("/+SYMLINK2DIR+/var/lib/mysql/stock,1,0,2,1,0", ',');
    if (c.withDirectory) DBPathTranslator::addToBrowsablePath("/TblView/sales,1,0,2,1,0", ',');
    DBPathTranslator t = Translator(104);
    JZBkpLevel level = JZBkpLevel(1);
    EXPECT_EQ(0, t.updateBrowsableIndex(nullptr, level, m_runningJob.token));
    Strings shown = RunningJobPaths("/**");
    EXPECT_EQ(c.sent, shown);
    // The links never stay in the list.
    for (browseablePath_t const& e : nuvcatalogue::PathList())
        EXPECT_NE(0u, e.phonyPath.find("/+SYMLINK2DIR+")) << e.phonyPath;
}

INSTANTIATE_TEST_SUITE_P(
    Generations, MySqlLinksTest,
    ::testing::Values(
        MySqlLinksCase{"FirstLinksAlone", 1, false,
                       {"/+SYMLINK2DIR+/var/lib/mysql/sales", "/+SYMLINK2DIR+/var/lib/mysql/stock"}},
        MySqlLinksCase{"FirstLinksAndDirectory", 1, true,
                       {"/+SYMLINK2DIR+/var/lib/mysql/sales", "/+SYMLINK2DIR+/var/lib/mysql/stock",
                        "/TblView/sales"}},
        MySqlLinksCase{"SecondLinksAlone", 2, false, {}},
        MySqlLinksCase{"SecondLinksAndDirectory", 2, true, {"/TblView", "/TblView/sales"}}),
    [](::testing::TestParamInfo<MySqlLinksCase> const& info) { return std::string(info.param.name); });

struct CarryCase {
    char const* name;
    char const* tag;          // saved by the snap job ("" for none)
    char const* failingCall;  // the indexing call the fault table fails ("" for none)
    int result;
    char const* carried;      // the running job's tag afterwards
};

void PrintTo(CarryCase const& c, std::ostream* os) { *os << c.name; }

class CarryForwardTest : public BrowsableUpdateTest, public ::testing::WithParamInterface<CarryCase> {};

TEST_P(CarryForwardTest, OracleImageCopyTagReachesTheCopyJob) {
    CarryCase const& c = GetParam();
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kAppId, true).IsError());
    if (*c.tag) SaveTag(c.tag);
    ArchiveFile(1, &m_runningJob);
    if (*c.failingCall) nuvsuite::AddFault("indexing", c.failingCall, 5, "cache full", -1);
    DBPathTranslator t = Translator(22);
    JZBkpLevel level = JZBkpLevel(1);
    EXPECT_EQ(c.result, t.updateBrowsableIndex(nullptr, level, m_runningJob.token));
    EXPECT_EQ(std::string(c.carried), RunningJobTag());
}

INSTANTIATE_TEST_SUITE_P(Tags, CarryForwardTest,
                         ::testing::Values(CarryCase{"Carried", "TAG_1", "", 0, "TAG_1"},
                                           CarryCase{"UploadFails", "TAG_1", "CJobInfoMetadataStore::backupData", -1, ""},
                                           // The write of the tag is checked: without it the upload would carry nothing.
                                           CarryCase{"TagWriteFails", "TAG_1", "CJobInfoMetadataStore::setKeyValue", -1, ""},
                                           CarryCase{"NoTag", "", "CJobInfoMetadataStore::setKeyValue", 0, ""}),
                         [](::testing::TestParamInfo<CarryCase> const& info) { return std::string(info.param.name); });

}  // namespace
