// Critical and major events raised on an EvEvent reach the job's record with
// the arguments queued before them; an unknown job records nothing.
#include "nuvdbsnap/platform/jobmgr.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

class EventRaiseTest : public nuvtest::SuiteTest {};

TEST_F(EventRaiseTest, EventsKeepSeverityCodeAndQueuedArguments) {
    nuvjobmgr::JobInfo job;
    ASSERT_FALSE(nuvjobmgr::NewJob(7, 1, &job).IsError());
    EvEvent ev(static_cast<uint64_t>(job.id));
    ev << "first" << "second";
    EXPECT_TRUE(ev.CriticalEvent(0x4800000a, 0, 0));
    EXPECT_TRUE(ev.getArguments().empty());
    EXPECT_TRUE(ev.MajorEvent(0x0600000c, 0, 0));

    auto events = nuvjobmgr::ListEvents(job.id);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, 0x4800000a);
    EXPECT_EQ(events[0].severity, nuvjobmgr::kEventCritical);
    EXPECT_EQ(events[0].args, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(events[1].code, 0x0600000c);
    EXPECT_EQ(events[1].severity, nuvjobmgr::kEventMajor);
    EXPECT_TRUE(events[1].args.empty());
}

TEST_F(EventRaiseTest, EventOfAnUnknownJobIsRefused) {
    EvEvent ev(987654);
    ev << "lost";
    EXPECT_FALSE(ev.MajorEvent(0x0600000c, 0, 0));
    EXPECT_TRUE(nuvjobmgr::ListEvents(987654).empty());
}

}  // namespace
