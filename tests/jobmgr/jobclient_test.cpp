// The job clients against the catalogue: registration, pending causes with
// their queued arguments, phase parameters, updates, completion, quit flag.
#include "nuvdbsnap/platform/jobmgr.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"
#include "nuvdbsnap/platform/base/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>
#include <unistd.h>

using nuvjobmgr::JobInfo;

namespace {

class JobClientTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &m_job).IsError()); }

    JobInfo Reload() const {
        JobInfo job;
        EXPECT_TRUE(nuvjobmgr::GetJob(m_job.id, &job));
        return job;
    }

    JobInfo m_job;
};

TEST_F(JobClientTest, NewJobIsALocalJobWithItsOwnTokenAndResultsDirectory) {
    EXPECT_GT(m_job.id, 0);
    EXPECT_EQ(m_job.appId, 5);
    EXPECT_EQ(m_job.type, 1);
    EXPECT_EQ(m_job.brannoxId, nuvsuite::kLocalBrannoxId);
    EXPECT_EQ(m_job.status, "new");
    EXPECT_EQ(m_job.token.size(), 32u);
    JobInfo second;
    ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &second).IsError());
    EXPECT_NE(second.id, m_job.id);
    EXPECT_NE(second.token, m_job.token);
    EXPECT_EQ(access(JobResultsDirectory(static_cast<uint64_t>(m_job.id)).c_str(), F_OK), 0);
    EXPECT_FALSE(nuvjobmgr::GetJob(second.id + 100, nullptr));
}

TEST_F(JobClientTest, RegistrationChecksJobAndToken) {
    JobInfo ended;
    ASSERT_FALSE(nuvjobmgr::NewJob(6, 1, &ended).IsError());
    JZJobClient ender(ended.id);
    ASSERT_TRUE(ender.complete(2, 1, 0, 0));

    struct Case {
        char const* name;
        long long jobId;
        std::string token;
        bool ok;
    };
    Case const cases[] = {
        {"job and token", m_job.id, m_job.token, true},
        {"no token given", m_job.id, "", true},
        {"wrong token", m_job.id, "0123456789abcdef0123456789abcdef", false},
        {"unknown job", m_job.id + 1000, "", false},
        {"job 0", 0, "", false},
        {"ended job", ended.id, ended.token, false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        JZJobCtrlClient ctrl(0);
        EXPECT_EQ(ctrl.GetJobToken(), nullptr);
        EXPECT_EQ(ctrl.Init2(c.jobId, "server1", 1, 4, c.token.c_str(), nullptr), c.ok) << ctrl.lastError();
        JZBkpJobClient job;
        EXPECT_EQ(job.init("server1", c.jobId, 0, 4, true, c.token.c_str()), c.ok) << job.lastError();
        if (c.ok) {
            EXPECT_EQ(ctrl.GetJobID(), uint64_t(c.jobId));
            ASSERT_NE(ctrl.GetJobToken(), nullptr);
            EXPECT_EQ(std::string(ctrl.GetJobToken()), m_job.token);
            EXPECT_EQ(job.getJobId(), uint64_t(c.jobId));
        } else {
            EXPECT_EQ(ctrl.GetJobToken(), nullptr);
            EXPECT_FALSE(ctrl.lastError().empty());
        }
    }
    JobInfo job = Reload();
    EXPECT_EQ(job.status, "running");
    EXPECT_EQ(job.server, "server1");
    EXPECT_EQ(job.registeredPid, getpid());
    EXPECT_GT(job.started, 0);
}

// A process started with its job on the command line (no JZ_JOB_ID) has the
// job its job-control client registered with as its job context, for as long
// as the client lives; JZ_JOB_ID, when set, stays the context.
TEST_F(JobClientTest, TheRegisteredJobIsTheContextOfAProcessWithoutOne) {
    JobInfo second;
    ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &second).IsError());
    std::string const secondId = std::to_string(second.id);
    struct Case {
        char const* name;
        char const* environment;   // JZ_JOB_ID, or null for unset
        long long first;           // the job the first client registers with (0: its Init2 fails)
        long long later;           // a second client registered while the first lives, 0 for none
        uint64_t whileRegistered;  // the context while both (or the one) live
        uint64_t afterLater;       // after the second client is gone
        uint64_t afterBoth;        // after both are gone
    } const cases[] = {
        {"job on the command line", nullptr, m_job.id, 0, uint64_t(m_job.id), uint64_t(m_job.id), 0},
        {"empty JZ_JOB_ID", "", m_job.id, 0, uint64_t(m_job.id), uint64_t(m_job.id), 0},
        {"a second job registered later", nullptr, m_job.id, second.id, uint64_t(second.id), uint64_t(m_job.id), 0},
        {"a failed registration", nullptr, 0, 0, 0, 0, 0},
        {"JZ_JOB_ID set", secondId.c_str(), m_job.id, 0, uint64_t(second.id), uint64_t(second.id),
         uint64_t(second.id)},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.environment)
            setenv("JZ_JOB_ID", c.environment, 1);
        else
            unsetenv("JZ_JOB_ID");
        {
            JZJobCtrlClient ctrl(0);
            EXPECT_EQ(c.first != 0, ctrl.Init2(c.first, "server1", 1, 4, "", nullptr));
            {
                JZJobCtrlClient later(0);
                if (c.later != 0) {
                    ASSERT_TRUE(later.Init2(c.later, "server1", 1, 4, "", nullptr));
                }
                EXPECT_EQ(c.whileRegistered, EvEvent().getJobId());
                EXPECT_EQ(c.whileRegistered, JZJobClient().getJobId());
            }
            EXPECT_EQ(c.afterLater, EvEvent().getJobId());
        }
        EXPECT_EQ(c.afterBoth, EvEvent().getJobId()) << "the clients are gone";
    }
    unsetenv("JZ_JOB_ID");
}

TEST_F(JobClientTest, PendingCausesKeepTheQueuedArgumentsInOrder) {
    struct Case {
        char const* name;
        std::vector<std::string> args;
        int code;
        int level;
    };
    Case const cases[] = {
        {"one text", {"Could not update JM phase params."}, 0x070000ce, 9},
        {"path and error", {"/data/db1/file with blank", "Permission denied"}, 0x1200008d, 6},
        {"none", {}, 0x0600003A, 3},
        {"odd texts", {"", "quote \" and ' ; DROP TABLE jobs; --", "l1\nl2"}, 0x070000cb, 9},
    };
    JZBkpJobClient client;
    ASSERT_TRUE(client.init("server1", m_job.id, 0, 4, true, m_job.token.c_str()));
    for (Case const& c : cases) {
        for (auto const& a : c.args) client << a.c_str();
        EXPECT_TRUE(client.setPendingCauseAndEvent(c.code, c.level, 0, false, 300, false, 0, 0, 0, 0));
        EXPECT_TRUE(client.getArguments().empty());  // taken by the cause
    }
    auto causes = nuvjobmgr::ListPendingCauses(m_job.id);
    auto events = nuvjobmgr::ListEvents(m_job.id);
    ASSERT_EQ(causes.size(), std::size(cases));
    ASSERT_EQ(events.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(causes[i].code, cases[i].code);
        EXPECT_EQ(causes[i].level, cases[i].level);
        EXPECT_EQ(causes[i].messageType, 300);
        EXPECT_EQ(causes[i].args, cases[i].args);
        EXPECT_EQ(events[i].code, cases[i].code);
        EXPECT_EQ(events[i].kind, "cause");
        EXPECT_EQ(events[i].messageType, 300);
        EXPECT_EQ(events[i].args, cases[i].args);
    }
}

TEST_F(JobClientTest, CauseFromTheProcessJobContextInAnotherProcess) {
    int pid = nuvtest::StartChild([&] {
        setenv("JZ_JOB_ID", std::to_string(m_job.id).c_str(), 1);
        JZJobClient client;  // the process's job context
        client << "raised by the helper";
        return client.setPendingCauseAndEvent(0x39000073, 6, 0, false, 300, false, 0, 0, 0, 0) ? 0 : 1;
    });
    ASSERT_EQ(nuvtest::WaitChild(pid), 0);
    auto causes = nuvjobmgr::ListPendingCauses(m_job.id);
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_EQ(causes[0].args, std::vector<std::string>{"raised by the helper"});
}

TEST_F(JobClientTest, RefusedCausesRecordNothingAndDropTheirArguments) {
    struct Case {
        char const* name;
        uint64_t jobId;
        bool fault;
    };
    Case const cases[] = {
        {"job 0", 0, false},
        {"unknown job", uint64_t(m_job.id) + 1000, false},
        {"injected fault", uint64_t(m_job.id), true},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvsuite::ClearFaults();
        if (c.fault) nuvsuite::AddFault("jobmgr", "JZJobClient::setPendingCauseAndEvent", -1, "job manager down", 1);
        JZJobClient client(c.jobId);
        client << "lost text";
        EXPECT_FALSE(client.setPendingCauseAndEvent(0x070000ca, 9, 0, false, 300, false, 0, 0, 0, 0));
        EXPECT_TRUE(client.getArguments().empty());
        EXPECT_FALSE(client.lastError().empty());
    }
    EXPECT_TRUE(nuvjobmgr::ListPendingCauses(m_job.id).empty());
    EXPECT_TRUE(nuvjobmgr::ListEvents(m_job.id).empty());
    // Every attempt is in the journal, with the code and its arguments.
    auto calls = nuvsuite::ReadJournal("jobmgr", "JZJobClient::setPendingCauseAndEvent");
    ASSERT_EQ(calls.size(), std::size(cases));
    EXPECT_NE(calls[2].args.find("code=0x070000ca"), std::string::npos) << calls[2].args;
    EXPECT_NE(calls[2].args.find("lost text"), std::string::npos) << calls[2].args;
}

TEST_F(JobClientTest, PhaseParametersAndMetadataFlagAreSentByUpdateInfo) {
    JZBkpJobClient client;
    ASSERT_TRUE(client.init("server1", m_job.id, 0, 4, true, nullptr));
    EXPECT_TRUE(client.isMetaDataCollectionOn());
    ASSERT_TRUE(client.concatPhaseParams("  -r 10  --snapRefTime 10", 3));
    client.turnOffMetaDataCollection();
    EXPECT_EQ(Reload().phaseParams, "");  // nothing sent yet
    EXPECT_TRUE(Reload().metadataCollection);

    // A failed update keeps the changes for the next one.
    nuvsuite::AddFault("jobmgr", "JZJobClient::updateInfo", -1, "busy", 1);
    bool sent = true;
    EXPECT_FALSE(client.updateInfo(false, &sent));
    EXPECT_FALSE(sent);
    ASSERT_TRUE(client.updateInfo(false, &sent));
    EXPECT_TRUE(sent);
    EXPECT_EQ(Reload().phaseParams, "  -r 10  --snapRefTime 10");
    EXPECT_FALSE(Reload().metadataCollection);
    EXPECT_FALSE(client.isMetaDataCollectionOn());

    ASSERT_TRUE(client.updateInfo(false, &sent));
    EXPECT_FALSE(sent);  // nothing pending
    ASSERT_TRUE(client.concatPhaseParams(" -x", 3));
    ASSERT_TRUE(client.updateInfo(false, nullptr));
    EXPECT_EQ(Reload().phaseParams, "  -r 10  --snapRefTime 10 -x");
    ASSERT_TRUE(client.concatPhaseParams("-new", 1));
    ASSERT_TRUE(client.updateInfo(false, nullptr));
    EXPECT_EQ(Reload().phaseParams, "-new");
    EXPECT_FALSE(client.concatPhaseParams("-y", 2));
    EXPECT_FALSE(client.concatPhaseParams(nullptr, 3));
}

TEST_F(JobClientTest, RestoreCountsAreAddedToTheJob) {
    JZRstJobClient client(m_job.id);
    client.setNumSuccessful2Add(3);
    client.setUncompBytes2Add(3000);
    client.setCompBytes2Add(1000);
    ASSERT_TRUE(client.updateInfo(false, nullptr));
    client.setNumSuccessful2Add(2);
    ASSERT_TRUE(client.updateInfo(false, nullptr));
    ASSERT_TRUE(client.updateInfo(false, nullptr));  // nothing added twice
    JobInfo job = Reload();
    EXPECT_EQ(job.successfulFiles, 5);
    EXPECT_EQ(job.uncompressedBytes, 3000);
    EXPECT_EQ(job.compressedBytes, 1000);
}

// The streams of a restore share one client: every count reaches the job once.
TEST_F(JobClientTest, CountsAddedFromSeveralThreadsReachTheJobOnce) {
    JZRstJobClient client(m_job.id);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&client]() {
            for (int i = 0; i < 25; ++i) {
                client.setNumSuccessful2Add(1);
                client.setUncompBytes2Add(10);
                EXPECT_TRUE(client.updateInfo(false, nullptr));
            }
        });
    for (auto& t : threads) t.join();
    JobInfo job = Reload();
    EXPECT_EQ(job.successfulFiles, 100);
    EXPECT_EQ(job.uncompressedBytes, 1000);
}

TEST_F(JobClientTest, CompleteEndsTheJobOnceWithItsStatus) {
    struct Case {
        int status;
        bool ok;
        char const* text;
    };
    Case const cases[] = {{1, true, "completed"}, {2, true, "failed"}, {3, true, "killed"}, {7, false, "running"}};
    for (Case const& c : cases) {
        SCOPED_TRACE(c.status);
        JobInfo job;
        ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &job).IsError());
        JZBkpJobClient client;
        ASSERT_TRUE(client.init("server1", job.id, 0, 4, true, job.token.c_str()));
        JZJobCtrlClient ctrl;
        ASSERT_TRUE(ctrl.Init2(job.id, "server1", 1, 4, job.token.c_str(), nullptr));
        EXPECT_EQ(client.complete(c.status, 1, 0, 0), c.ok);
        JobInfo after;
        ASSERT_TRUE(nuvjobmgr::GetJob(job.id, &after));
        EXPECT_EQ(after.status, c.text);
        if (!c.ok) continue;
        EXPECT_EQ(after.statusCode, c.status);
        EXPECT_GT(after.ended, 0);
        EXPECT_FALSE(client.complete(1, 1, 0, 0));  // already ended
        ASSERT_TRUE(client.concatPhaseParams(" late", 3));
        EXPECT_FALSE(client.updateInfo(false, nullptr));
    }
}

TEST_F(JobClientTest, RacingCompletionsEndTheJobOnce) {
    nuvtest::PipeSignal start;
    std::vector<int> pids;
    for (int p = 0; p < 4; ++p) {
        pids.push_back(nuvtest::StartChild([&] {
            start.CloseWrite();
            if (start.Wait()) return 90;
            JZJobClient client(m_job.id);
            return client.complete(1, 1, 0, 0) ? 1 : 0;
        }));
    }
    start.CloseWrite();
    int completed = 0;
    for (int pid : pids) completed += nuvtest::WaitChild(pid);
    EXPECT_EQ(completed, 1);
}

TEST_F(JobClientTest, QuitFlagReachesEveryClientOfTheJob) {
    JZJobCtrlClient ctrl;
    ASSERT_TRUE(ctrl.Init2(m_job.id, "server1", 1, 4, m_job.token.c_str(), nullptr));
    JZJobClient client(m_job.id);
    EXPECT_EQ(ctrl.checkQuitFlag(), 0);
    EXPECT_EQ(client.checkQuitFlag(), 0);
    ASSERT_FALSE(nuvjobmgr::SetQuitFlag(m_job.id, true).IsError());
    EXPECT_NE(ctrl.checkQuitFlag(), 0);
    EXPECT_NE(client.checkQuitFlag(), 0);
    int pid = nuvtest::StartChild([&] { return JZJobClient(m_job.id).checkQuitFlag() != 0 ? 0 : 1; });
    EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    ASSERT_FALSE(nuvjobmgr::SetQuitFlag(m_job.id, false).IsError());
    EXPECT_EQ(ctrl.checkQuitFlag(), 0);
    EXPECT_TRUE(nuvjobmgr::SetQuitFlag(m_job.id + 1000, true).IsError());
    // Without a job nobody can ask to stop; a job that is gone asks to stop.
    EXPECT_EQ(JZJobCtrlClient().checkQuitFlag(), 0);
    EXPECT_NE(JZJobClient(m_job.id + 1000).checkQuitFlag(), 0);
}

TEST_F(JobClientTest, BackupTaskGivesTheJobsBackupLevel) {
    JobInfo incremental;
    ASSERT_FALSE(nuvjobmgr::NewJob(5, 2, &incremental).IsError());
    struct Case {
        long long jobId;
        int result;
        int level;
    };
    Case const cases[] = {{m_job.id, 0, 1}, {incremental.id, 0, 2}, {incremental.id + 1000, -1, 0}};
    for (Case const& c : cases) {
        SCOPED_TRACE(c.jobId);
        EvBkpTask task(c.jobId, 0, nullptr);
        JZBkpLevel level = JZBkpLevel(77);
        EXPECT_EQ(task.getBackupLevel(level, nullptr), c.result);
        EXPECT_EQ(static_cast<int>(level), c.level);
    }
}

TEST_F(JobClientTest, RecordedEventsCarryTheirSeverity) {
    ASSERT_FALSE(nuvjobmgr::RecordEvent(m_job.id, 0x4800000a, nuvjobmgr::kEventCritical, {}).IsError());
    ASSERT_FALSE(nuvjobmgr::RecordEvent(m_job.id, 0x0600000c, nuvjobmgr::kEventMajor, {"a"}).IsError());
    EXPECT_TRUE(nuvjobmgr::RecordEvent(0, 1, nuvjobmgr::kEventMajor, {}).IsError());
    auto events = nuvjobmgr::ListEvents(m_job.id);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, "critical");
    EXPECT_EQ(events[0].code, 0x4800000a);
    EXPECT_EQ(events[1].kind, "major");
    EXPECT_EQ(events[1].args, std::vector<std::string>{"a"});
}

// The job store's own calls take the service-call step: a fault fails them
// with its code and text, journalled, and they change nothing.
TEST_F(JobClientTest, JobStoreCallsObeyTheFaultTable) {
    struct Case {
        char const* call;
        std::function<CFzError()> act;
    };
    Case const cases[] = {
        {"nuvjobmgr::NewJob", [] { return nuvjobmgr::NewJob(5, 2, nullptr); }},
        {"nuvjobmgr::SetQuitFlag", [this] { return nuvjobmgr::SetQuitFlag(m_job.id, true); }},
        {"nuvjobmgr::RecordEvent",
         [this] { return nuvjobmgr::RecordEvent(m_job.id, 0x0600000c, nuvjobmgr::kEventMajor, {"a"}); }},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.call);
        nuvsuite::ClearJournal();
        nuvsuite::AddFault("jobmgr", c.call, 28, "job store full", 1);
        CFzError e = c.act();
        ASSERT_TRUE(e.IsError());
        EXPECT_TRUE(FXErrorUtil::IsJZResult(e, 28)) << e.AsString();
        EXPECT_NE(e.AsString().find("job store full"), std::string::npos) << e.AsString();
        EXPECT_EQ(nuvsuite::ReadJournal("jobmgr", c.call).size(), 1u);
        EXPECT_FALSE(c.act().IsError()) << "the fault had one use";
    }
    // Each call took effect once: the second job, one quit flag, one event.
    JobInfo second;
    EXPECT_TRUE(nuvjobmgr::GetJob(m_job.id + 1, &second));
    EXPECT_FALSE(nuvjobmgr::GetJob(m_job.id + 2, nullptr));
    EXPECT_TRUE(Reload().quitFlag);
    EXPECT_EQ(nuvjobmgr::ListEvents(m_job.id).size(), 1u);
}

TEST_F(JobClientTest, AFaultedMetadataSwitchLeavesCollectionOn) {
    JZBkpJobClient client;
    ASSERT_TRUE(client.init("server1", m_job.id, 0, 4, true, nullptr));
    nuvsuite::AddFault("jobmgr", "JZBkpJobClient::turnOffMetaDataCollection", -1, "", 1);
    client.turnOffMetaDataCollection();
    EXPECT_TRUE(client.isMetaDataCollectionOn());
    ASSERT_TRUE(client.updateInfo(false, nullptr));
    EXPECT_TRUE(Reload().metadataCollection);
    client.turnOffMetaDataCollection();
    ASSERT_TRUE(client.updateInfo(false, nullptr));
    EXPECT_FALSE(Reload().metadataCollection);
}

}  // namespace
