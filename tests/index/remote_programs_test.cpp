// The remote index programs as the index client runs them: real programs of
// the base home directory, their exit status, a missing program, a time-out
// (bounded through the fault table), and the log-manager road.
#include "nuvdbsnap/index.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <chrono>
#include <fstream>
#include <sys/stat.h>

namespace {

constexpr unsigned kApp = 9;

class RemoteTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError()); }

    static void Install(char const* program) { nuvtest::InstallBaseHomeProgram(program); }

    ArchiveIndexArg Archive() const {
        ArchiveIndexArg a;
        a.brannoxId = 2;
        a.appId = kApp;
        a.jobId = m_job.id;
        a.jobType = 1;
        a.appType = 22;
        a.dataMover = "host*host*8400*2";
        return a;
    }

    IndexRestoreArg Restore() const {
        IndexRestoreArg r;
        r.brannoxId = 2;
        r.jobId = m_job.id;
        r.appId = kApp;
        r.dataMover = "host*host*8400*2";
        return r;
    }

    static std::string Text(CFzError const& e) { return e.AsString(); }

    nuvjobmgr::JobInfo m_job;
};

}  // namespace

TEST_F(RemoteTest, ArchiveThenRestoreTheIndex) {
    Install("archiveIndex");
    Install("indexRestore");
    EXPECT_FALSE(nuvindexing::HasIndexArchive(m_job.id, 2));
    CFzError restored = IdxUtil::runIndexRestore(Restore());
    EXPECT_TRUE(FXErrorUtil::IsWin32(restored, 774)) << "nothing archived yet: indexRestore exits non-zero";
    EXPECT_NE(std::string::npos, Text(restored).find("IndexRestore did not complete with success"));

    CFzError archived = IdxUtil::runArchiveIndex(Archive(), nullptr);
    ASSERT_FALSE(archived.IsError()) << Text(archived);
    EXPECT_TRUE(nuvindexing::HasIndexArchive(m_job.id, 2));
    EXPECT_FALSE(IdxUtil::runIndexRestore(Restore()).IsError());
}

TEST_F(RemoteTest, FailuresOfTheRemoteRun) {
    struct Case {
        char const* name;
        bool install;
        char const* faultService;
        char const* faultCall;
        int code;
        char const* text;
    } const cases[] = {
        {"missing program", false, nullptr, nullptr, 0, "Invoking ArchiveIndex on the sarnel failed with an error"},
        {"non-zero exit", true, "archiveIndex", "main", 5, "ArchiveIndex did not complete with success"},
        {"refused start", true, "network", "ExecRemoteCmdAndWait", -1,
         "Invoking ArchiveIndex on the sarnel failed with an error"},
        {"nothing archived", true, "archive", "JZArchive::CreateArchiveForSnapBackup", -1,
         "ArchiveIndex did not complete with success"},
    };
    for (auto const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvtest::ScopedSuiteRoot root;
        ASSERT_FALSE(nuvjobmgr::NewJob(kApp, 1, &m_job).IsError());
        if (k.install) Install("archiveIndex");
        if (k.faultService) nuvsuite::AddFault(k.faultService, k.faultCall, k.code, "injected", 1);
        CFzError e = IdxUtil::runArchiveIndex(Archive(), nullptr);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
        EXPECT_NE(std::string::npos, Text(e).find(k.text)) << Text(e);
        EXPECT_FALSE(nuvindexing::HasIndexArchive(m_job.id, 2));
    }
}

TEST_F(RemoteTest, TimeOutIsBoundedThroughTheFaultTable) {
    std::string const slow = nuvsuite::StatePath("basehome") + "/indexRestore";
    std::ofstream(slow) << "#!/bin/sh\nsleep 60\n";
    chmod(slow.c_str(), 0755);
    nuvsuite::AddFault("network", "timeout", 1, "", 1, "indexRestore");
    auto start = std::chrono::steady_clock::now();
    CFzError e = IdxUtil::runIndexRestore(Restore());
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774));
    EXPECT_NE(std::string::npos, Text(e).find("Invoking IndexRestore on the sarnel failed with an error")) << Text(e);
    EXPECT_LT(seconds, 30) << "the 300-second floor is not waited out";
}

TEST_F(RemoteTest, SecondGenerationArchivesThroughTheLogManager) {
    ASSERT_FALSE(nuvindexing::SetGeneration(2, kApp, true).IsError());
    CFzError e = IdxUtil::runArchiveIndex(Archive(), nullptr);
    EXPECT_NE(std::string::npos, Text(e).find("Sending message to LogManager on KV failed for archive index"))
        << "a second-generation archive needs the job client";

    JZJobClient client(m_job.id);
    ArchiveIndexArg arg = Archive();
    arg.appType = 80;
    e = IdxUtil::runArchiveIndex(arg, &client);
    ASSERT_FALSE(e.IsError()) << Text(e);
    EXPECT_TRUE(nuvindexing::HasIndexArchive(m_job.id, 2));
    auto calls = nuvsuite::ReadJournal("indexing", "clV2LogArchiver");
    ASSERT_EQ(1u, calls.size());
    EXPECT_NE(std::string::npos, calls[0].args.find("-appType 80 -silent -logsonly -jobcmt ]")) << calls[0].args;
}

TEST(RemoteArguments, ArchiveIndexTextsParseBack) {
    int64_t job = 0;
    uint32_t brannox = 0, app = 0, type = 0;
    EXPECT_TRUE(nuvindexing::ParseArchiveIndexArguments("-j 7 -a 2:5 -t 1 -snap -r 0 -c 0 -appType 22 -silent", &job,
                                                        &brannox, &app, &type));
    EXPECT_EQ(7, job);
    EXPECT_EQ(5u, app);
    EXPECT_EQ(22u, type);
    EXPECT_FALSE(nuvindexing::ParseArchiveIndexArguments("-j 7 -a 25", &job, &brannox, &app, &type));
    EXPECT_FALSE(nuvindexing::ParseArchiveIndexArguments("-a 2:5", &job, &brannox, &app, &type));
}
