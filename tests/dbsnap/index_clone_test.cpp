// Index entries of a master job cloned under new archive file ids, and the
// snapshot details of an earlier snap job loaded for data aging.
#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr unsigned kApp = 22;

class IndexCloneTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError()); }

    static _IndexArchFileInfo Row(std::string const& path, int64_t afile) {
        _IndexArchFileInfo r;
        r.path = path;
        r.jobId = 5;
        r.archFileId = afile;
        return r;
    }

    int Clone(std::vector<_IndexArchFileInfo> rows, std::map<int, int> ids, bool skipDirChange = false) {
        bool const extra = false;
        return NuvSnapUtilDb::cloneIndexFromMaster(2, kApp, 22, m_job.id, m_job.token, "host", "host", &rows, ids,
                                                   nullptr, extra, skipDirChange);
    }

    nuvindexing::IndexRun Run() const {
        auto runs = nuvindexing::ListRuns(m_job.id);
        return runs.empty() ? nuvindexing::IndexRun() : runs.back();
    }

    // "path afile sequence" of the run's entries, in path order.
    std::vector<std::string> Entries() const {
        std::vector<nuvindexing::IndexEntry> entries;
        EXPECT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
        std::vector<std::string> out;
        for (auto const& e : entries)
            out.push_back(e.path + " " + std::to_string(e.archFileId) + " " + std::to_string(e.sequence) +
                          (e.size == 10 ? "" : " size?"));
        std::sort(out.begin(), out.end());
        return out;
    }

    nuvjobmgr::JobInfo m_job;
};

TEST_F(IndexCloneTest, EntriesGoUnderTheirNewArchiveFilesWithOffsetsPerFile) {
    ASSERT_EQ(0, Clone({Row("/ora/a", 5), Row("/ora/b", 5), Row("/ora/c", 9)}, {{5, 50}, {9, 90}}));
    EXPECT_EQ("good", Run().status);
    EXPECT_EQ((std::vector<std::string>{"/ora/a 50 0", "/ora/b 50 1", "/ora/c 90 0"}), Entries());
    auto calls = nuvtest::JournalCalls({"indexing"});
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "indexing.sendDirChange"));
    EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "indexing.IndexingConnection::sendAfileInfo"));
    EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "indexing.IndexingConnection::updateRestartInfo"));
}

TEST_F(IndexCloneTest, EmptyListsAndSkippedDirectoryChanges) {
    ASSERT_EQ(0, Clone({}, {}, true));
    EXPECT_EQ("good", Run().status);
    EXPECT_TRUE(Entries().empty());
    auto calls = nuvtest::JournalCalls({"indexing"});
    EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "indexing.sendDirChange"));
}

TEST_F(IndexCloneTest, AFailureEndsTheRunAsFailed) {
    struct Case {
        char const* name;
        char const* fault;
        std::map<int, int> ids;
    } const cases[] = {
        {"archive file without a new id", nullptr, {{5, 50}}},
        {"file record refused", "IndexingConnection::sendFileInfo", {{5, 50}, {9, 90}}},
        {"archive file refused", "IndexingConnection::sendAfileInfo", {{5, 50}, {9, 90}}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        if (c.fault) nuvsuite::AddFault("indexing", c.fault, 5, "refused", -1);
        EXPECT_EQ(-1, Clone({Row("/ora/a", 5), Row("/ora/c", 9)}, c.ids));
        EXPECT_EQ("failed", Run().status);
    }
    nuvtest::ScopedSuiteRoot root;
    EXPECT_EQ(-1, Clone({Row("/ora/a", 5)}, {{5, 50}}));  // no job holds the token: no run opens
    EXPECT_EQ(0u, nuvindexing::ListRuns(0).size());
}

TEST(SnapDetails, AnUnknownSnapJobReportsTheClientsError) {
    nuvtest::ScopedSuiteRoot root;
    NuvSnapUtilDb util(2, JZBkpLevel(1), nullptr, 1, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    CFzError e = util.getSnapShotDetailsForDatAging(4711);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find("Failed to get SnapShot info for snapshot JID [4711]: ")) << e.AsString();
    EXPECT_NE(std::string::npos, e.AsString().find("\nVolSnapInfo:")) << e.AsString();
    EXPECT_EQ(4711, util.getSnapShotInfo().getSnapJobId());
    EXPECT_EQ(8, util.getSnapShotInfo().getSnapActionFlags());
}

}  // namespace
