// CNamedMutex across processes: a wait ends when the holder dies.
#include "nuvdbsnap/platform/base/cnamed_mutex.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class CNamedMutexTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { nuvsuite::StatePath("locks"); }
};

TEST_F(CNamedMutexTest, AWaitEndsWhenTheHolderDies) {
    nuvtest::PipeSignal holding;
    int pid = nuvtest::StartChild([&] {
        CNamedMutex mutex("DB_REDIRECT_5", nullptr, false);
        if (mutex.getErrorCode() != 0 || mutex.lock(-1, true) != 0) return 1;
        holding.Send();
        pause();  // killed while it holds the lock
        return 2;
    });
    ASSERT_TRUE(holding.Wait());

    CNamedMutex mutex("DB_REDIRECT_5", nullptr, false);
    ASSERT_EQ(0, mutex.getErrorCode());
    EXPECT_EQ(CNamedMutex::kErrTimedOut, mutex.lock(-1, false));
    EXPECT_EQ(CNamedMutex::kErrTimedOut, mutex.lock(100, true));
    EXPECT_EQ(CNamedMutex::kErrTimedOut, mutex.getErrorCode());
    // The same lock as the other named mutex of that name.
    JzNamedMutex other("DB_REDIRECT_5");
    EXPECT_EQ(0, other.lock(0));

    kill(pid, SIGKILL);
    EXPECT_EQ(0, mutex.lock(-1, true));
    EXPECT_EQ(0, mutex.getErrorCode());
    EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(pid));
    EXPECT_EQ(0, other.lock(0));
    EXPECT_EQ(0, mutex.unlock());
    EXPECT_NE(0, other.lock(0));
}

TEST_F(CNamedMutexTest, FailuresAreTold) {
    CNamedMutex unnamed("", nullptr, false);
    EXPECT_EQ(CNamedMutex::kErrFailed, unnamed.getErrorCode());
    EXPECT_STRNE("", unnamed.getErrorText());
    EXPECT_EQ(CNamedMutex::kErrFailed, unnamed.lock(-1, true));

    nuvsuite::AddFault("mutex", "CNamedMutex::lock", 0, "lock service down", 1, "DB_REDIRECT_9");
    CNamedMutex mutex("DB_REDIRECT_9", nullptr, false);
    EXPECT_EQ(CNamedMutex::kErrFailed, mutex.lock(-1, true));
    EXPECT_STREQ("lock service down", mutex.getErrorText());
    EXPECT_EQ(0, mutex.lock(-1, true));  // the fault was used up
}

TEST_F(CNamedMutexTest, DestroyingTheHolderReleasesAndInitialOwnershipLocks) {
    {
        CNamedMutex owner("owned", nullptr, true);
        JzNamedMutex probe("owned");
        EXPECT_EQ(0, probe.lock(0));
    }
    JzNamedMutex probe("owned");
    EXPECT_NE(0, probe.lock(0));
}

}  // namespace
