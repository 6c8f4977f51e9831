// The multi-stream restore on real snapshots: streams of archive files
// restored at once on a thread pool, their counts added to the job, and the
// first failing stream's code as the result.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/jobmgr/jobclient.h"

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

}  // namespace
