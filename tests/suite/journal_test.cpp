// The call journal and the program substitution table.
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class JournalTest : public nuvtest::SuiteTest {};

TEST_F(JournalTest, CallsOfEveryProcessAreReadBackWithTheirArguments) {
    std::string const odd = "path=/data/with blank;$(touch x)\n\"quoted\"";
    nuvsuite::JournalCall("archive", "create", odd);
    int pid = nuvtest::StartChild([] {
        nuvsuite::JournalCall("archive", "close", "afile=7");
        return 0;
    });
    ASSERT_EQ(nuvtest::WaitChild(pid), 0);
    nuvsuite::JournalCall("snapmgr", "create", "vol=/data");

    auto all = nuvsuite::ReadJournal("archive");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].call, "create");
    EXPECT_EQ(all[0].args, odd);
    EXPECT_EQ(all[0].pid, getpid());
    EXPECT_EQ(all[1].call, "close");
    EXPECT_EQ(all[1].args, "afile=7");
    EXPECT_EQ(all[1].pid, pid);
    EXPECT_LT(all[0].id, all[1].id);
    EXPECT_LE(all[0].time, all[1].time);
    EXPECT_GT(all[0].time, 1000000000000LL);  // milliseconds since the epoch

    auto closes = nuvsuite::ReadJournal("archive", "close");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].args, "afile=7");
    EXPECT_EQ(nuvsuite::ReadJournal().size(), 3u);
    EXPECT_EQ(nuvsuite::ReadJournal("", "create").size(), 2u);

    nuvsuite::ClearJournal();
    EXPECT_TRUE(nuvsuite::ReadJournal().empty());
}

TEST_F(JournalTest, SubstitutionsReplaceOnlyTheNamedProgram) {
    EXPECT_EQ(nuvsuite::SubstituteProgram("/usr/sbin/xfs_freeze"), "/usr/sbin/xfs_freeze");
    nuvsuite::SetSubstitution("/usr/sbin/xfs_freeze", "/tmp/fake_freeze");
    nuvsuite::SetSubstitution("/usr/sbin/xfs_freeze", "/tmp/fake_freeze2");  // replaces
    EXPECT_EQ(nuvsuite::SubstituteProgram("/usr/sbin/xfs_freeze"), "/tmp/fake_freeze2");
    EXPECT_EQ(nuvsuite::SubstituteProgram("/usr/sbin/xfs_freez"), "/usr/sbin/xfs_freez");
    EXPECT_EQ(nuvsuite::SubstituteProgram("/bin/id"), "/bin/id");
    nuvsuite::ClearSubstitutions();
    EXPECT_EQ(nuvsuite::SubstituteProgram("/usr/sbin/xfs_freeze"), "/usr/sbin/xfs_freeze");
}

}  // namespace
