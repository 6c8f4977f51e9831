// The engine's create on an XFS loop volume of the suite: the engine freezes
// the volume, the snapshot is a block clone of its image taken inside that
// freeze, the clone shows the files as they were, and the volume is thawed.
// Skipped where root or loop devices are missing.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"

#include <sys/mount.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace nuvenginetest;

namespace {

class BlockCloneTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::string why;
        if (!nuvsnapmgr::LoopVolumesAvailable(&why)) GTEST_SKIP() << why;
        CFzError e = nuvsnapmgr::CreateLoopVolume("db", "xfs", 512ull << 20, &m_volume);
        if (e.IsError()) GTEST_SKIP() << "cannot make an XFS loop volume: " << e.AsString();
        m_made = true;
        DeclareApp(135);  // SAP HANA freezes its XFS mount points by default
    }

    void TearDown() override {
        if (!m_made) return;
        // Everything mounted below the state root goes (clones first, then volumes, then the pool).
        std::vector<std::string> mounts;
        std::ifstream in("/proc/self/mountinfo");
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string w, mp;
            for (int i = 0; i < 5 && words >> w; ++i) mp = w;
            if (mp.compare(0, m_root.path().size() + 1, m_root.path() + "/") == 0) mounts.push_back(mp);
        }
        std::sort(mounts.begin(), mounts.end(), [](auto const& a, auto const& b) { return a.size() > b.size(); });
        for (auto const& m : mounts) umount2(m.c_str(), MNT_DETACH);
    }

    nuvsnapmgr::LoopVolume m_volume;
    bool m_made = false;
};

TEST_F(BlockCloneTest, TheEngineFreezesAndTheSnapshotIsABlockCloneOfTheImage) {
    WriteFile(m_volume.path + "/table.dat", "committed rows\n");
    auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr,
                                              SPAWN_IN_PROCESS);
    ASSERT_EQ(1, util->addMountPoint(m_volume.path.c_str(), nullptr));
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    ASSERT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
    ASSERT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
    nuvsuite::ClearJournal();
    SMVolSnapInfo made;
    ASSERT_EQ(0, util->createSnapShot(nullptr, nullptr, false, &made));

    // Frozen by the engine, cloned inside the freeze, thawed after.
    EXPECT_EQ((std::vector<std::string>{"-f " + m_volume.path, "-u " + m_volume.path}), FreezeRuns());
    std::vector<std::string> order;
    for (auto const& entry : nuvsuite::ReadJournal())
        if (entry.call == "JzProcess::system" || entry.call == "nuvsnapmgr::CloneWholeFile") order.push_back(entry.call);
    EXPECT_EQ((std::vector<std::string>{"JzProcess::system", "nuvsnapmgr::CloneWholeFile", "JzProcess::system"}), order);

    ASSERT_EQ(1u, made.getNumSnaps());
    std::vector<nuvsuite::CatRow> rows;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Query("SELECT method, image FROM sm_snapshots WHERE id = ?",
                            {int64_t(made.snaps()[0].getSMSnapId())}, &rows)
                     .IsError());
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("block-clone", nuvsuite::AsText(rows[0][0]));
    EXPECT_EQ(m_root.path() + "/pool/clones/" + std::to_string(made.snaps()[0].getSMSnapId()) + ".img",
              nuvsuite::AsText(rows[0][1]));
    EXPECT_EQ("committed rows\n", ReadFile(made.snaps()[0].getSnapDevice() + "/table.dat"));
    WriteFile(m_volume.path + "/after.dat", "thawed");  // would hang on a frozen volume
    EXPECT_EQ("thawed", ReadFile(m_volume.path + "/after.dat"));
    EXPECT_FALSE(Exists(made.snaps()[0].getSnapDevice() + "/after.dat"));
}

}  // namespace
