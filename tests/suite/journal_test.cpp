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

TEST_F(JournalTest, ABatchKeepsItsRowsInOrderAndFoldsLongRunsOfOneCall) {
    nuvsuite::ClearJournal();
    {
        nuvsuite::JournalBatch outer;
        nuvsuite::JournalCall("restorefiles", "open", "afile=1");
        {
            nuvsuite::JournalBatch inner;
            for (int i = 0; i < 100; ++i) nuvsuite::JournalCall("restorefiles", "send", "file=" + std::to_string(i));
            nuvsuite::JournalCall("restorefiles", "wait", "");
        }
        // Another process sees nothing of the batch before it ends; its own row is written at once.
        int pid = nuvtest::StartChild([] {
            nuvsuite::JournalCall("archive", "close", "afile=7");
            return nuvsuite::ReadJournal("restorefiles").empty() ? 0 : 1;
        });
        ASSERT_EQ(nuvtest::WaitChild(pid), 0);
        for (int i = 0; i < 63; ++i) nuvsuite::JournalCall("restorefiles", "send", "file=x" + std::to_string(i));
        nuvsuite::JournalCall("restorefiles", "wait", "");
    }
    std::vector<std::string> rows;
    for (auto const& e : nuvsuite::ReadJournal()) rows.push_back(e.service + " " + e.call + " " + e.args);
    ASSERT_EQ(rows.size(), 4u + 63u + 1u);
    EXPECT_EQ(rows[0], "archive close afile=7");
    EXPECT_EQ(rows[1], "restorefiles open afile=1");
    EXPECT_EQ(rows[2], "restorefiles send calls=100 first=[file=0] last=[file=99]");
    EXPECT_EQ(rows[3], "restorefiles wait ");
    EXPECT_EQ(rows[4], "restorefiles send file=x0");  // a shorter run stays row by row
    EXPECT_EQ(rows[66], "restorefiles send file=x62");
    EXPECT_EQ(rows[67], "restorefiles wait ");

    // A read on the thread writes what the batch holds so far.
    nuvsuite::ClearJournal();
    nuvsuite::JournalBatch batch;
    nuvsuite::JournalCall("restorefiles", "open", "afile=2");
    auto const now = nuvsuite::ReadJournal();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].args, "afile=2");
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
