// Whether a full backup ran in a job's current backup cycle: the latest earlier
// full job of the same application decides.
#include "nuvdbsnap/platform/jobmgr.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// An earlier job of the history: its application, level and how it ended (0: still running).
struct Earlier {
    int64_t appId;
    int level;
    int status;
};

struct CycleCase {
    char const* name;
    std::vector<Earlier> history;  // in the order they ran
    int level;                     // the level of the job asked about (application 5)
    bool fullRan;
};

// Ends a job with a status, as its agent does.
void Complete(nuvjobmgr::JobInfo const& job, int status) {
    JZBkpJobClient client;
    ASSERT_TRUE(client.init("server1", job.id, 0, 4, true, job.token.c_str()));
    JZJobCtrlClient control;
    ASSERT_TRUE(control.Init2(job.id, "server1", 1, 4, job.token.c_str(), nullptr));
    ASSERT_TRUE(client.complete(status, 1, 0, 0));
}

class BackupCycleTest : public nuvtest::SuiteTest, public ::testing::WithParamInterface<CycleCase> {
protected:
    static int64_t Job(int64_t appId, int level, int status) {
        nuvjobmgr::JobInfo job;
        EXPECT_FALSE(nuvjobmgr::NewJob(appId, level, &job).IsError());
        if (status != 0) {
            Complete(job, status);
        }
        return job.id;
    }
};

constexpr int kFull = nuvjobmgr::kBackupLevelFull;
constexpr int kIncr = 2;
constexpr int kOk = nuvjobmgr::kJobStatusSuccess;
constexpr int kFailed = nuvjobmgr::kJobStatusFailure;

TEST_P(BackupCycleTest, FollowsTheLatestEarlierFull) {
    CycleCase const& c = GetParam();
    for (Earlier const& e : c.history) (void)Job(e.appId, e.level, e.status);
    int64_t const job = Job(5, c.level, 0);
    EXPECT_EQ(c.fullRan, nuvjobmgr::FullRanInCurrentCycle(job));
    EXPECT_EQ(1u, nuvsuite::ReadJournal("jobmgr", "FullRanInCurrentCycle").size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, BackupCycleTest,
    ::testing::Values(CycleCase{"NoHistory", {}, kIncr, false},
                      CycleCase{"AfterCompletedFull", {{5, kFull, kOk}, {5, kIncr, kOk}}, kIncr, true},
                      CycleCase{"AfterFailedFull", {{5, kFull, kOk}, {5, kFull, kFailed}}, kIncr, false},
                      CycleCase{"FullStillRunning", {{5, kFull, 0}}, kIncr, false},
                      CycleCase{"OnlyAnotherApplicationsFull", {{6, kFull, kOk}}, kIncr, false},
                      CycleCase{"OnlyIncrementals", {{5, kIncr, kOk}}, kIncr, false},
                      CycleCase{"AFullOpensANewCycle", {{5, kFull, kOk}}, kFull, false}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(BackupCycle, UnknownJobOrFaultedCallGivesFalse) {
    nuvtest::ScopedSuiteRoot root;
    EXPECT_FALSE(nuvjobmgr::FullRanInCurrentCycle(4711));
    nuvjobmgr::JobInfo full, incr;
    ASSERT_FALSE(nuvjobmgr::NewJob(5, kFull, &full).IsError());
    Complete(full, kOk);
    ASSERT_FALSE(nuvjobmgr::NewJob(5, kIncr, &incr).IsError());
    nuvsuite::AddFault("jobmgr", "FullRanInCurrentCycle", 5, "job manager down", 1);
    EXPECT_FALSE(nuvjobmgr::FullRanInCurrentCycle(incr.id));
    EXPECT_TRUE(nuvjobmgr::FullRanInCurrentCycle(incr.id));
}

}  // namespace
