// The remote index programs as the database snapshot utility runs them beside
// the index client's: the index of a job with snapshot archive records is
// archived as type 6, of any other job as type 2, and every road checks for
// that type; the argument text carries neither the snap-to-tape words nor the
// snap job.
#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/index.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace {

constexpr unsigned kApp = 9;

class SnapRemoteTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        nuvtest::InstallBaseHomeProgram("archiveIndex");
        nuvtest::InstallBaseHomeProgram("indexRestore");
    }

    // An archive file of the job, a snapshot archive record when `snap`.
    void ArchiveFile(bool snap) {
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_job.id);
        CreateArgs_t args;
        args.archFileType = 1;
        args.appId = kApp;
        args.snapArchive = snap ? 1 : 0;
        CreateRet_t made;
        ASSERT_EQ(0, archive.CreateArchiveForSnapBackup(&args, &made));
    }

    std::vector<int64_t> IndexArchiveTypes() const {
        GetArchFileListForJobArgsCC_t request;
        request.brannoxId = 2;
        request.jobId = m_job.id;
        request.archFileTypes = {2, 6};
        std::vector<GetArchFileListForJobRetCC_t> rows;
        ArMgrClientAPI client;
        EXPECT_EQ(0, client.getArchFileListForJob(&request, &rows));
        std::vector<int64_t> types;
        for (auto const& r : rows) types.push_back(r.archFileType);
        return types;
    }

    ArchiveIndexArg Archive() const {
        ArchiveIndexArg a;
        a.brannoxId = 2;
        a.appId = kApp;
        a.jobId = m_job.id;
        a.snapJobId = 4711;
        a.jobType = -1;
        a.appType = 22;
        a.dataMover = "host*host*8400*2";
        a.snap = true;
        a.snapToTape = true;
        a.jobToken = "tok-1";
        return a;
    }

    nuvjobmgr::JobInfo m_job;
};

// Both archive-index roads, on the remote program and through the log
// manager, archive and then find the index of a plain job (type 2) and of a
// job with snapshot archive records (type 6), run after run in one process.
TEST_F(SnapRemoteTest, EveryRoadArchivesAndFindsTheIndexOfPlainAndSnapJobs) {
    enum class Road { IndexClient, SnapUtility };
    struct Case {
        char const* name;
        Road road;
        bool snapJob;
        bool secondGeneration;
        unsigned appType;
        int64_t indexType;
    } const cases[] = {
        {"index client, snap job, Oracle", Road::IndexClient, true, false, 22, 6},
        {"index client, snap job, MySQL, log manager", Road::IndexClient, true, true, 104, 6},
        {"index client, plain job, PostgreSQL", Road::IndexClient, false, false, 125, 2},
        {"index client, plain job, DB2, log manager", Road::IndexClient, false, true, 37, 2},
        {"snap utility, snap job, PostgreSQL", Road::SnapUtility, true, false, 125, 6},
        {"snap utility, snap job, Oracle, log manager", Road::SnapUtility, true, true, 80, 6},
        {"snap utility, plain job, MySQL", Road::SnapUtility, false, false, 104, 2},
        {"snap utility, plain job, Oracle, log manager", Road::SnapUtility, false, true, 22, 2},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        nuvtest::InstallBaseHomeProgram("archiveIndex");
        nuvtest::InstallBaseHomeProgram("indexRestore");
        ArchiveFile(k.snapJob);   // one archive file per snapped volume
        ArchiveFile(k.snapJob);
        if (k.secondGeneration) {
            ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
        }
        JZJobClient client(m_job.id);
        ArchiveIndexArg arg = Archive();
        arg.appType = k.appType;
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            CFzError e = k.road == Road::IndexClient ? IdxUtil::runArchiveIndex(arg, &client)
                                                     : NuvSnapUtilDb::runArchiveIndex(arg, &client);
            ASSERT_FALSE(e.IsError()) << e.AsString();
            EXPECT_EQ(std::vector<int64_t>(run, k.indexType), IndexArchiveTypes());
        }
        EXPECT_EQ(k.secondGeneration ? 0u : 2u, nuvsuite::ReadJournal("archiveIndex", "main").size());
        EXPECT_EQ(k.secondGeneration ? 2u : 0u, nuvsuite::ReadJournal("indexing", "clV2LogArchiver").size());
        // The other road finds the same index; so does "indexRestore".
        CFzError e = k.road == Road::IndexClient ? NuvSnapUtilDb::runArchiveIndex(arg, &client)
                                                 : IdxUtil::runArchiveIndex(arg, &client);
        EXPECT_FALSE(e.IsError()) << e.AsString();
        EXPECT_TRUE(nuvindexing::HasIndexArchive(m_job.id, 2));
        IndexRestoreArg restore;
        restore.brannoxId = 2;
        restore.jobId = m_job.id;
        restore.appId = kApp;
        restore.dataMover = "host*host*8400*2";
        e = NuvSnapUtilDb::runIndexRestore(restore);
        EXPECT_FALSE(e.IsError()) << e.AsString();
        e = IdxUtil::runIndexRestore(restore);
        EXPECT_FALSE(e.IsError()) << e.AsString();
    }
}

// An "archiveIndex" that reports success without archiving: the check after
// the run does not take an index archive file of the other type for the job's.
TEST_F(SnapRemoteTest, TheCheckWantsTheTypeThatHoldsTheJobsIndex) {
    struct Case {
        char const* name;
        bool snapJob;
    } const cases[] = {
        {"snap job with an index archive file of type 2", true},
        {"plain job with an index archive file of type 6", false},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        nuvtest::InstallBaseHomeProgram("indexRestore");
        std::string const idle = nuvsuite::StatePath("basehome") + "/archiveIndex";
        std::ofstream(idle) << "#!/bin/sh\nexit 0\n";
        chmod(idle.c_str(), 0755);
        ArchiveFile(k.snapJob);
        JZArchive archive(nullptr, false, nullptr);   // an index archive file of the type not the job's
        archive.SetJobID(m_job.id);
        CreateArgs_t args;
        args.archFileType = k.snapJob ? 2 : 6;
        args.appId = kApp;
        CreateRet_t made;
        ASSERT_EQ(0, archive.CreateArchiveForSnapBackup(&args, &made));
        for (bool snapUtility : {false, true}) {
            SCOPED_TRACE(snapUtility ? "snap utility" : "index client");
            CFzError e = snapUtility ? NuvSnapUtilDb::runArchiveIndex(Archive(), nullptr)
                                     : IdxUtil::runArchiveIndex(Archive(), nullptr);
            EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
            EXPECT_NE(std::string::npos,
                      e.AsString().find("Call ArMgrClientAPI::getArchFileListForJob returned empty vector"))
                << e.AsString();
        }
        EXPECT_FALSE(nuvindexing::HasIndexArchive(m_job.id, 2)) << "nor does indexRestore find one";
    }
}

TEST_F(SnapRemoteTest, SecondGenerationSendsTheArgumentFieldToTheLogManager) {
    ArchiveFile(true);
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
    JZJobClient client(m_job.id);
    CFzError e = NuvSnapUtilDb::runArchiveIndex(Archive(), &client);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    auto calls = nuvsuite::ReadJournal("indexing", "clV2LogArchiver");
    ASSERT_EQ(1u, calls.size());
    EXPECT_NE(std::string::npos, calls[0].args.find("-appType 22 -silent -logsonly -jt tok-1 -jobcmt ]")) << calls[0].args;
    EXPECT_EQ(std::string::npos, calls[0].args.find("-snapJID"));
    EXPECT_EQ(std::vector<int64_t>{6}, IndexArchiveTypes());
}

}  // namespace
