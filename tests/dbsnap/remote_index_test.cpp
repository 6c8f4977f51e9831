// The remote index programs as the database snapshot utility runs them: the
// index of a job with snapshot archive records is archived as type 6, the
// argument text carries neither the snap-to-tape words nor the snap job, and
// each caller checks for its own type.
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

TEST_F(SnapRemoteTest, ASnapshotJobsIndexIsArchivedAsTypeSixAndRestored) {
    ArchiveFile(true);
    CFzError e = NuvSnapUtilDb::runArchiveIndex(Archive(), nullptr);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(std::vector<int64_t>{6}, IndexArchiveTypes());
    auto runs = nuvsuite::ReadJournal("archiveIndex", "main");
    ASSERT_EQ(1u, runs.size());
    std::string const expected = "-j " + std::to_string(m_job.id) +
                                 " -a 2:9 -t -1 -snap -r 0 -c 0 -appType 22 -silent -logsonly -jt tok-1";
    EXPECT_EQ(expected, runs[0].args);
    IndexRestoreArg restore;
    restore.brannoxId = 2;
    restore.jobId = m_job.id;
    restore.appId = kApp;
    restore.dataMover = "host*host*8400*2";
    e = NuvSnapUtilDb::runIndexRestore(restore);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    // The index client looks for type 2 and does not find it.
    e = IdxUtil::runArchiveIndex(Archive(), nullptr);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
    EXPECT_NE(std::string::npos, e.AsString().find("Call ArMgrClientAPI::getArchFileListForJob returned empty vector"));
}

TEST_F(SnapRemoteTest, AJobWithoutSnapshotRecordsFailsTheTypeSixCheck) {
    ArchiveFile(false);
    CFzError e = NuvSnapUtilDb::runArchiveIndex(Archive(), nullptr);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
    EXPECT_NE(std::string::npos, e.AsString().find("Call ArMgrClientAPI::getArchFileListForJob returned empty vector"))
        << e.AsString();
    EXPECT_EQ(std::vector<int64_t>{2}, IndexArchiveTypes());
    EXPECT_FALSE(IdxUtil::runArchiveIndex(Archive(), nullptr).IsError());  // the index client finds its type
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
