// The multi-stream restore on real snapshots: streams of archive files
// restored at once on a thread pool, their counts added to the job, and the
// first failing stream's code as the result.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/appmgr/nuv_backup.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"

using namespace nuvrestoretest;

namespace {

class MultiStreamTest : public RestoreTest, public ::testing::WithParamInterface<int> {
protected:
    // Four volumes in one snap job, dealt round-robin into `streams` streams,
    // each restored to out/<volume>.
    void Run(int streams, int expected, std::string const& failVolume) {
        std::vector<std::string> volumes{MakeVolume("v0"), MakeVolume("v1"), MakeVolume("v2"), MakeVolume("v3")};
        SnapJob job = Snapshot(volumes);
        StartRestoreJob();
        std::string const out = MakeDir(m_root.base() + "/out");
        std::map<int, std::list<ArchFileInfo>> map;
        for (size_t i = 0; i < volumes.size(); ++i) {
            std::string const name = "v" + std::to_string(i);
            map[static_cast<int>(i % static_cast<size_t>(streams))].push_back(
                WholeVolume(job, volumes[i], out + "/" + name));
        }
        if (!failVolume.empty())
            nuvsuite::AddFault("restorefiles", "waitForCompletion", 5, "injected by the test", -1,
                               "afile=2:0:" + std::to_string(job.archFiles.at(failVolume)) + " ");
        JzRstInitParams shared;
        JZRstJobClient jobClient(static_cast<uint64_t>(m_restoreJob));
        MultiThreadedRestoreParams params(m_event.get(), map, 0x8, shared, &jobClient, m_ctrl.get(), false, nullptr,
                                          nullptr);
        EXPECT_EQ(expected, NuvSnapRestore::multithreadedRestore(params));
        EXPECT_EQ(0u, params.m_pending);
        EXPECT_FALSE(params.m_threadPool) << "the pool is gone when the call returns";
        size_t files = 0;
        for (size_t i = 0; i < volumes.size(); ++i) {
            std::string const name = "v" + std::to_string(i);
            // The failing stream stops at its failing archive file; the other streams finish.
            bool const sameStream = i % static_cast<size_t>(streams) == 2 % static_cast<size_t>(streams);
            if (volumes[i] == failVolume) EXPECT_FALSE(Exists(out + "/" + name));
            if (!failVolume.empty() && sameStream && (i >= 2 || !Exists(out + "/" + name))) continue;
            auto const& tree = SnapTree(volumes[i], job);
            EXPECT_TRUE(tree == Tree(out + "/" + name)) << name << " equals the snapshot";
            for (auto const& e : tree)
                if (e.second[0] != 'd') ++files;
        }
        nuvjobmgr::JobInfo info;
        ASSERT_TRUE(nuvjobmgr::GetJob(m_restoreJob, &info));
        EXPECT_EQ(static_cast<int64_t>(files), info.successfulFiles) << "every stream's counts reach the job";
        EXPECT_FALSE(Exists(nuvrestorefiles::CountsFilePath(static_cast<uint64_t>(m_restoreJob), 2)));
    }
};

TEST_P(MultiStreamTest, EveryStreamRestoresItsArchiveFiles) { Run(GetParam(), 0, ""); }

TEST_P(MultiStreamTest, AFailingStreamFailsTheRestoreAndTheOthersFinish) {
    Run(GetParam(), -5, m_root.base() + "/v2");
}

INSTANTIATE_TEST_SUITE_P(Streams, MultiStreamTest, ::testing::Values(1, 2, 4));

TEST_F(RestoreTest, EmptyStreamIsDoneAndAMissingJobClientFailsEveryStream) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    StartRestoreJob();
    std::map<int, std::list<ArchFileInfo>> map;
    map[0];
    JzRstInitParams shared;
    JZRstJobClient jobClient(static_cast<uint64_t>(m_restoreJob));
    MultiThreadedRestoreParams empty(m_event.get(), map, 0, shared, &jobClient, m_ctrl.get(), false, nullptr, nullptr);
    EXPECT_EQ(0, NuvSnapRestore::multithreadedRestore(empty));
    map[1].push_back(WholeVolume(job, a, m_root.base() + "/out"));
    MultiThreadedRestoreParams noClient(m_event.get(), map, 0x8, shared, nullptr, m_ctrl.get(), false, nullptr, nullptr);
    EXPECT_EQ(-1, NuvSnapRestore::multithreadedRestore(noClient));
    EXPECT_FALSE(Exists(m_root.base() + "/out"));
}

// However a multi-stream restore ends, the restore task's destination client
// is what it was before (the per-job work sets it for the streams); a stream
// without data files, and a restore refused by its per-job work, leave nothing
// behind either (the leak checker of the test build sees that).
TEST_F(RestoreTest, MultiStreamRestoreSetsTheDestinationClientBackOnEveryRoad) {
    std::string const a = MakeVolume("a");
    SnapJob job = Snapshot({a});
    struct Case {
        char const* name;
        int appType;
        int dataFiles;                   // of the stream's one archive file
        bool collision;                  // two relocations to one destination
        int expected;
    } const cases[] = {
        {"every stream restores", 125, 1, false, 0},
        {"a stream without data files", 125, 0, false, 0},
        {"per-job work refuses two files mapped to one destination", 62, 1, true, kRestoreDestinationCollision},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        StartRestoreJob();
        EvRstTask task(m_restoreJob, 0, nullptr, false);
        ASSERT_EQ(0, task.setAppTypeId(static_cast<uint64_t>(c.appType), nullptr));
        ASSERT_EQ(0, task.setDestinationClientId(0, nullptr));  // "the source client" to the restore
        if (c.collision) {
            ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "/db2/a", "/db2/new", 1, -1));
            ASSERT_TRUE(nuvrequest::AddRedirectPath(m_restoreJob, "/db2/b", "/db2/new", 1, -1));
        }
        std::string const out = m_root.base() + "/out-" + std::to_string(m_restoreJob);
        std::map<int, std::list<ArchFileInfo>> map;
        map[0].push_back(WholeVolume(job, a, out));
        if (c.dataFiles == 0) map[0].front().dataFiles.clear();
        JzRstInitParams shared;
        JZRstJobClient jobClient(static_cast<uint64_t>(m_restoreJob));
        MultiThreadedRestoreParams params(m_event.get(), map, 0x8, shared, &jobClient, m_ctrl.get(), false, nullptr,
                                          nullptr);
        EXPECT_EQ(c.expected, NuvSnapRestore::multithreadedRestore(params));
        EXPECT_FALSE(params.m_threadPool);
        uint64_t destination = 99;
        ASSERT_EQ(0, task.getDestinationClientId(destination, nullptr));
        EXPECT_EQ(0u, destination) << "the task's destination client is set back";
        EXPECT_EQ(c.expected == 0 && c.dataFiles > 0, Exists(out));
    }
}

}  // namespace
