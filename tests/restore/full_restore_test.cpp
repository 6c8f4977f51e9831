// The full road on real snapshots: the file-restore program started through
// the network layer copies each snap job's files from the mounted snapshots.
#include "restore_fixture.h"

using namespace nuvrestoretest;

namespace {

class FullRestoreTest : public RestoreTest {};

size_t Attaches() { return JournalArgs("network", "CJzNetwork::Attach_RemoteCommand").size(); }

// No mount of the snap job's snapshots is left.
bool NothingMounted(int64_t snapJob) {
    SMVolSnapInfo record;
    record.setSnapJobId(static_cast<int>(snapJob));
    record.setBrannoxId(2);
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(record)) return true;
    for (auto const& v : record.volumes())
        if (!v.getMountPath().empty()) return false;
    return true;
}

TEST_F(FullRestoreTest, InterleavedSnapJobsAreGroupedAndEveryArchiveFileIsRestored) {
    std::string const a = MakeVolume("a"), b = MakeVolume("b"), c = MakeVolume("c");
    SnapJob first = Snapshot({a, b});
    SnapJob second = Snapshot({c});
    StartRestoreJob();
    std::string const out = MakeDir(m_root.base() + "/restored");
    // The first job's second archive file stands after the other job's.
    std::list<ArchFileInfo> list{WholeVolume(first, a, out + "/a"), WholeVolume(second, c, out + "/c"),
                                 WholeVolume(first, b, out + "/b")};
    auto restore = MakeRestore(true);
    EXPECT_EQ(0, restore->restoreData(first.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ(0, restore->Finalize(nullptr));

    EXPECT_TRUE(SnapTree(a, first) == Tree(out + "/a"));
    EXPECT_TRUE(SnapTree(b, first) == Tree(out + "/b"));
    EXPECT_TRUE(SnapTree(c, second) == Tree(out + "/c"));
    EXPECT_EQ("pg_class rows of a\n", ReadFile(out + "/a/base/1/1259"));
    EXPECT_EQ(2u, Attaches()) << "one program run per snap job";
    EXPECT_TRUE(NothingMounted(first.jobId));
    EXPECT_TRUE(NothingMounted(second.jobId));
}

TEST_F(FullRestoreTest, RestoreInPlaceBringsTheSnapshotBack) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::list<ArchFileInfo> list{WholeVolume(job, a, "")};
    auto restore = MakeRestore(true);
    ASSERT_EQ(0, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_EQ("pg_class rows of a\n", ReadFile(a + "/base/1/1259"));
    // A restore copies what the snapshot holds; it deletes nothing else.
    EXPECT_TRUE(Exists(a + "/later"));
}

// A failure of the road: its result, and the snapshots are never left mounted.
struct FullFailure {
    char const* name;
    char const* service;  // fault injected (empty: none)
    char const* call;
    char const* match;    // argument pattern of the fault
    bool foreignFile;     // a data file the snap job's snapshots do not hold
    bool noJobControl;
    int expected;
    char const* cause;    // what the restore names as the failure's cause
};

void PrintTo(FullFailure const& c, std::ostream* os) { *os << c.name; }

class FullFailureTest : public FullRestoreTest, public ::testing::WithParamInterface<FullFailure> {};

TEST_P(FullFailureTest, FailsWithItsCodeAndUnmounts) {
    FullFailure const& c = GetParam();
    std::string const a = MakeVolume("a"), other = MakeVolume("other");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::string const out = MakeDir(m_root.base() + "/restored");
    ArchFileInfo af = WholeVolume(job, a, out + "/a");
    if (c.foreignFile) {
        DataFileInfo df;
        df.srcPath = other + "/PG_VERSION";
        df.destPath = out + "/foreign";
        af.dataFiles.push_back(df);
    }
    std::list<ArchFileInfo> list{af};
    if (c.service[0] != '\0') nuvsuite::AddFault(c.service, c.call, 5, "injected by the test", -1, c.match);
    std::unique_ptr<NuvSnapRestore> restore;
    if (c.noJobControl) {
        restore = std::make_unique<NuvSnapRestore>(m_event.get(), true, nullptr, 0);
    } else {
        restore = MakeRestore(true);
    }
    EXPECT_EQ(c.expected, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_NE(std::string::npos, restore->failureText().find(c.cause)) << restore->failureText();
    EXPECT_TRUE(NothingMounted(job.jobId));
}

INSTANTIATE_TEST_SUITE_P(
    Full, FullFailureTest,
    ::testing::Values(FullFailure{"program reports a file it could not restore", "", "", "", true, false, -4,
                                  "/other/PG_VERSION] was not restored: no mounted snapshot"},
                      FullFailure{"data mover not found", "archive", "ArMgrClientAPI::getRestoreSarnel", "", false,
                                  false, -1, "calling arMgr.getRestoreSarnel failed"},
                      FullFailure{"mount fails", "snapmgr", "JZSnapClientAPI::mountVolumes", "", false, false, -1,
                                  "injected by the test"},
                      FullFailure{"program does not start", "network", "CJzNetwork::Attach_RemoteCommand", "", false,
                                  false, -1, "failed  to start the process Brisvolk.exe"},
                      FullFailure{"program fails at its start", "Brisvolk.exe", "main", "", false, false, -1,
                                  "failed  to start the process Brisvolk.exe"},
                      FullFailure{"run not sent", "network", "CJzNetwork::SendXDRMessage", "", false, false, -2,
                                  "The paths were not sent to Brisvolk.exe"},
                      FullFailure{"no answer", "network", "CJzNetwork::ReceiveXDRMessage", "program=Brisvolk", false,
                                  false, -3, "Failed while receiving the message from Brisvolk"},
                      FullFailure{"no job-control client", "", "", "", false, true, -1, "No job-control client"}));

TEST_F(FullRestoreTest, QuitFlagStopsBeforeAnyCopy) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    ASSERT_FALSE(nuvjobmgr::SetQuitFlag(m_restoreJob, true).IsError());
    std::string const out = m_root.base() + "/restored";
    std::list<ArchFileInfo> list{WholeVolume(job, a, out + "/a")};
    auto restore = MakeRestore(true);
    EXPECT_EQ(1, restore->restoreData(job.jobId, true, list, nullptr, nullptr));
    EXPECT_FALSE(Exists(out + "/a/PG_VERSION"));
    EXPECT_EQ(0u, Attaches());
}

}  // namespace
