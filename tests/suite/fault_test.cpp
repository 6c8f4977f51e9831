// The fault table: matching by service, call and argument pattern; counted
// uses consumed once, also by racing processes.
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

class FaultTest : public nuvtest::SuiteTest {};

TEST_F(FaultTest, PatternIsAPlainCaseSensitiveSubstringOfTheArguments) {
    struct Case {
        char const* pattern;
        char const* args;
        bool fires;
    };
    Case const cases[] = {
        {"", "anything at all", true},
        {"", "", true},
        {"dev=/dev/sdb", "path=/data dev=/dev/sdb fstype=xfs", true},
        {"dev=/dev/sdc", "path=/data dev=/dev/sdb fstype=xfs", false},
        {"DEV", "dev=/dev/sdb", false},
        {"50%_x", "rate=50%_x", true},   // no LIKE wildcards
        {"50%_x", "rate=50abx", false},
        {"a*b", "axxb", false},           // no glob either
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " in " + c.args);
        nuvsuite::ClearFaults();
        nuvsuite::AddFault("svc", "call", -5, "broken", -1, c.pattern);
        nuvsuite::FaultHit hit;
        EXPECT_EQ(nuvsuite::CheckFault("svc", "call", c.args, &hit), c.fires);
        if (c.fires) {
            EXPECT_EQ(hit.code, -5);
            EXPECT_EQ(hit.text, "broken");
        }
    }
}

TEST_F(FaultTest, ServiceAndCallMatchExactlyAndTheOldestFaultWins) {
    nuvsuite::AddFault("snapmgr", "create", 11, "first", 1);
    nuvsuite::AddFault("snapmgr", "create", 22, "second", -1);
    nuvsuite::FaultHit hit;
    EXPECT_FALSE(nuvsuite::CheckFault("snapmgr", "createX", "", &hit));
    EXPECT_FALSE(nuvsuite::CheckFault("snapmg", "create", "", &hit));
    EXPECT_FALSE(nuvsuite::CheckFault("other", "create", "", &hit));

    ASSERT_TRUE(nuvsuite::CheckFault("snapmgr", "create", "", &hit));
    EXPECT_EQ(hit.code, 11);  // the counted one, used up now
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(nuvsuite::CheckFault("snapmgr", "create", "", &hit));
        EXPECT_EQ(hit.code, 22);  // "always" stays
        EXPECT_EQ(hit.text, "second");
    }
    nuvsuite::ClearFaults();
    EXPECT_FALSE(nuvsuite::CheckFault("snapmgr", "create", "", &hit));
}

TEST_F(FaultTest, CountedFaultIsConsumedExactlyItsCountByRacingProcesses) {
    for (int count : {1, 3}) {
        SCOPED_TRACE(count);
        nuvsuite::ClearFaults();
        nuvsuite::AddFault("archive", "close", 3, "gone", count);
        constexpr int kProcesses = 6;
        constexpr int kTries = 10;
        nuvtest::PipeSignal start;
        std::vector<int> pids;
        for (int p = 0; p < kProcesses; ++p) {
            pids.push_back(nuvtest::StartChild([&] {
                start.CloseWrite();
                if (start.Wait()) return 90;
                int hits = 0;
                for (int i = 0; i < kTries; ++i) {
                    nuvsuite::FaultHit hit;
                    if (nuvsuite::CheckFault("archive", "close", "afile=1", &hit)) ++hits;
                }
                return hits;
            }));
        }
        start.CloseWrite();
        int total = 0;
        for (int pid : pids) total += nuvtest::WaitChild(pid);
        EXPECT_EQ(total, count);
        nuvsuite::FaultHit hit;
        EXPECT_FALSE(nuvsuite::CheckFault("archive", "close", "afile=1", &hit));
    }
}

}  // namespace
