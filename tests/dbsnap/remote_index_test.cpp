// The remote index programs as the database snapshot utility runs them beside
// the index client's: each road asks the archive manager for its own type of
// index archive file (the index client 2, the snapshot utility 6); the index
// of every job is archived as type 2, of a job with snapshot archive records
// also as type 6; the snapshot utility's argument text carries neither the
// snap-to-tape words nor the snap job.
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

enum class Road { IndexClient, SnapUtility };

CFzError RunArchive(Road road, ArchiveIndexArg const& arg, JZJobClient* client) {
    return road == Road::IndexClient ? IdxUtil::runArchiveIndex(arg, client) : NuvSnapUtilDb::runArchiveIndex(arg, client);
}

// The types that the archive-manager requests with a type list asked for,
// in order ("" for a request of every type).
std::vector<std::string> RequestedTypes() {
    std::vector<std::string> types;
    for (auto const& call : nuvsuite::ReadJournal("archive", "ArMgrClientAPI::getArchFileListForJob")) {
        size_t const at = call.args.find("types=");
        types.push_back(at == std::string::npos ? "?" : call.args.substr(at + 6));
    }
    return types;
}

bool EmptyVectorFailure(CFzError const& e) {
    return FXErrorUtil::IsWin32(e, 774) &&
           e.AsString().find("Call ArMgrClientAPI::getArchFileListForJob returned empty vector") != std::string::npos;
}

// Both archive-index roads, on the remote program and through the log
// manager, for a plain job and a job with snapshot archive records, run after
// run in one process: the index client finds the index of both jobs, the
// snapshot utility only the snap job's (a plain job's has no type 6).
TEST_F(SnapRemoteTest, EachRoadFindsTheIndexArchiveFilesOfItsType) {
    struct Case {
        char const* name;
        Road road;
        bool snapJob;
        bool secondGeneration;
        unsigned appType;
        bool found;                          // the road's check after the run finds an index archive file
        std::vector<int64_t> indexTypes;     // index archive files after one run, newest first
    } const cases[] = {
        {"index client, snap job, Oracle", Road::IndexClient, true, false, 22, true, {6, 2}},
        {"index client, snap job, MySQL, log manager", Road::IndexClient, true, true, 104, true, {6, 2}},
        {"index client, plain job, PostgreSQL", Road::IndexClient, false, false, 125, true, {2}},
        {"index client, plain job, DB2, log manager", Road::IndexClient, false, true, 37, true, {2}},
        {"snap utility, snap job, PostgreSQL", Road::SnapUtility, true, false, 125, true, {6, 2}},
        {"snap utility, snap job, Oracle, log manager", Road::SnapUtility, true, true, 80, true, {6, 2}},
        {"snap utility, plain job, MySQL", Road::SnapUtility, false, false, 104, false, {2}},
        {"snap utility, plain job, Oracle, log manager", Road::SnapUtility, false, true, 22, false, {2}},
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
        std::string const type = k.road == Road::IndexClient ? "2" : "6";
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            nuvsuite::ClearJournal();
            CFzError e = RunArchive(k.road, arg, &client);
            if (k.found) {
                EXPECT_FALSE(e.IsError()) << e.AsString();
            } else {
                EXPECT_TRUE(EmptyVectorFailure(e)) << e.AsString();
            }
            // The road asks for its type before the run and after it; the
            // archiving in between asks for every type.
            std::vector<std::string> requests = RequestedTypes();
            ASSERT_GE(requests.size(), 2u);
            EXPECT_EQ(type, requests.front());
            EXPECT_EQ(type, requests.back());
            for (size_t i = 1; i + 1 < requests.size(); ++i) EXPECT_EQ("", requests[i]) << i;
            EXPECT_EQ(k.secondGeneration ? 0u : 1u, nuvsuite::ReadJournal("archiveIndex", "main").size());
            EXPECT_EQ(k.secondGeneration ? 1u : 0u, nuvsuite::ReadJournal("indexing", "clV2LogArchiver").size());
            std::vector<int64_t> want;
            for (int i = 0; i < run; ++i) want.insert(want.end(), k.indexTypes.begin(), k.indexTypes.end());
            EXPECT_EQ(want, IndexArchiveTypes());
        }
        // The index client finds every archived index; the snapshot utility a
        // snap job's only; "indexRestore" finds every archived index.
        EXPECT_FALSE(IdxUtil::runArchiveIndex(arg, &client).IsError());
        CFzError e = NuvSnapUtilDb::runArchiveIndex(arg, &client);
        EXPECT_EQ(k.snapJob, !e.IsError()) << e.AsString();
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

// An "archiveIndex" that reports success without archiving, over a job that
// already has one archive file: each road's check finds only an index archive
// file of its own type (a job with archive files of type 2 only fails the
// snapshot utility's check), and a failing request of its type fails the check.
TEST_F(SnapRemoteTest, TheCheckAfterTheRunAsksForTheRoadsTypeOnly) {
    struct Case {
        char const* name;
        int existingType;
        bool faultOnRoadsType;    // the archive manager fails every request of the road's type
        bool indexClientFinds;
        bool snapUtilityFinds;
    } const cases[] = {
        {"archive files of type 2 only", 2, false, true, false},
        {"archive files of type 6 only", 6, false, false, true},
        {"a data archive file only", 1, false, false, false},
        {"the request of the road's type fails", 6, true, false, false},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        for (Road road : {Road::IndexClient, Road::SnapUtility}) {
            SCOPED_TRACE(road == Road::SnapUtility ? "snap utility" : "index client");
            nuvtest::ScopedSuiteRoot root;
            ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
            std::string const idle = nuvsuite::StatePath("basehome") + "/archiveIndex";
            std::ofstream(idle) << "#!/bin/sh\nexit 0\n";
            chmod(idle.c_str(), 0755);
            ArchiveFile(true);
            JZArchive archive(nullptr, false, nullptr);
            archive.SetJobID(m_job.id);
            CreateArgs_t args;
            args.archFileType = k.existingType;
            args.appId = kApp;
            CreateRet_t made;
            ASSERT_EQ(0, archive.CreateArchiveForSnapBackup(&args, &made));
            std::string const type = road == Road::IndexClient ? "types=2" : "types=6";
            if (k.faultOnRoadsType)
                nuvsuite::AddFault("archive", "ArMgrClientAPI::getArchFileListForJob", 5, "archive manager down", -1,
                                   type);
            CFzError e = RunArchive(road, Archive(), nullptr);
            bool const finds = road == Road::IndexClient ? k.indexClientFinds : k.snapUtilityFinds;
            if (finds) {
                EXPECT_FALSE(e.IsError()) << e.AsString();
            } else if (k.faultOnRoadsType) {
                EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
                EXPECT_NE(std::string::npos, e.AsString().find("Call ArMgrClientAPI::getArchFileListForJob failed"))
                    << e.AsString();
            } else {
                EXPECT_TRUE(EmptyVectorFailure(e)) << e.AsString();
            }
        }
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
    EXPECT_EQ((std::vector<int64_t>{6, 2}), IndexArchiveTypes());
}

}  // namespace
