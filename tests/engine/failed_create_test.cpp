// A create that reports failure after its snapshot was made (the thaw refused):
// the snapshot stays, and the snapshot manager knows and tells that it belongs
// to a failed create, in the listing, the records it returns, a mount and a copy.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/snapmgr/failed_create.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <unistd.h>

using namespace nuvenginetest;

namespace {

class FailedCreateTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, "/bin/true");
        DeclareApp(135);
        m_volume = MakeDir(m_root.base() + "/v1");
        WriteFile(m_volume + "/table.dat", "rows\n");
        DeclareVolume(m_volume, "/dev/fake", "xfs", "rw");
    }

    // The failed_create column of every snapshot row, by id.
    static std::vector<std::pair<int64_t, std::string>> Marks() {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                         .Query("SELECT id, failed_create FROM sm_snapshots WHERE state = 'ready' ORDER BY id", {},
                                &rows)
                         .IsError());
        std::vector<std::pair<int64_t, std::string>> out;
        for (auto const& r : rows) out.emplace_back(nuvsuite::AsInt(r[0]), nuvsuite::AsText(r[1]));
        return out;
    }

    // Log lines holding `text`.
    size_t LogLines(std::string const& text) const {
        size_t n = 0;
        for (auto const& line : nuvtest::SplitAt(ReadFile(m_root.path() + "/logs/nuvdbsnap.log"), '\n'))
            if (line.find(text) != std::string::npos) ++n;
        return n;
    }

    // The job's snapshots as the snapshot manager hands them out.
    SMVolSnapInfo Lookup() const {
        SMVolSnapInfo record;
        record.setJobId(static_cast<int>(m_jobId));
        JZSnapClientAPI client;
        EXPECT_TRUE(client.getVolumeSnaps(record)) << record.getErrorString();
        return record;
    }

    std::string m_volume;
};

TEST_F(FailedCreateTest, RefusedThawMarksTheSnapshotAndEveryLaterLookSaysSo) {
    auto util = PrepareUtil({m_volume}, SPAWN_IN_PROCESS);
    nuvsuite::AddFault("process", "system", 1, "thaw refused", -1, "-u\x1f");
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_FALSE(util->isPrepared()) << "nothing may delete the snapshot";
    nuvsuite::ClearFaults();
    util.reset();

    // Kept, and marked with why.
    auto marks = Marks();
    ASSERT_EQ(1u, marks.size());
    int64_t const id = marks[0].first;
    EXPECT_EQ(0u, marks[0].second.find("the thaw after the snap failed: ")) << marks[0].second;
    EXPECT_NE(std::string::npos, marks[0].second.find("thaw refused")) << marks[0].second;

    // The listing shows it, as text and as JSON.
    std::string const jz = std::string(NUV_OUT_DIR) + "/bin/jzsuite";
    nuvtest::ProgramResult text = nuvtest::RunProgram(jz, {"list", "snapshot", "--job", std::to_string(m_jobId)});
    ASSERT_EQ(0, text.exitCode) << text.err;
    std::vector<std::string> lines = nuvtest::SplitAt(text.out, '\n');
    ASSERT_GE(lines.size(), 2u);
    std::vector<std::string> header = nuvtest::SplitAt(lines[0], '\t'), row = nuvtest::SplitAt(lines[1], '\t');
    auto column = std::find(header.begin(), header.end(), "failed_create");
    ASSERT_NE(header.end(), column) << lines[0];
    ASSERT_EQ(header.size(), row.size());
    EXPECT_EQ(marks[0].second, row[column - header.begin()]);
    nuvtest::ProgramResult json =
        nuvtest::RunProgram(jz, {"list", "snapshot", "--job", std::to_string(m_jobId), "--json"});
    ASSERT_EQ(0, json.exitCode) << json.err;
    EXPECT_NE(std::string::npos, json.out.find("\"failed_create\"")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("the thaw after the snap failed: ")) << json.out;

    // A lookup (what a restore starts from) carries the mark and logs a warning.
    SMVolSnapInfo record = Lookup();
    ASSERT_EQ(1u, record.getNumSnaps());
    EXPECT_NE(0u, record.snapListBegin()->getSnapFlagsEx() & nuvsnapmgr::kSnapFlagExFailedCreate);
    EXPECT_EQ(1u, LogLines("warning: snapshot " + std::to_string(id) + " of [" + m_volume +
                           "] belongs to a failed create"));

    // A mount warns.
    if (geteuid() == 0) {
        JZSnapClientAPI client;
        ASSERT_TRUE(client.mountVolumes(record)) << record.getErrorString();
        EXPECT_EQ(1u, LogLines("warning: snapshot " + std::to_string(id) + " mounted at"));
        EXPECT_TRUE(client.unmount(record)) << record.getErrorString();
    }

    // A copy of it (as the replication engine makes its replicas) inherits the mark.
    SMVolSnapInfo replica;
    replica.setJobId(static_cast<int>(m_jobId));
    SMVolumeInfo source;
    source.setSourcePath(record.snapListBegin()->getSnapDevice());
    replica.addVolume(source, true);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(replica)) << replica.getErrorString();
    ASSERT_TRUE(client.createVolumeSnaps(replica)) << replica.getErrorString();
    EXPECT_NE(0u, replica.snapListBegin()->getSnapFlagsEx() & nuvsnapmgr::kSnapFlagExFailedCreate);
    marks = Marks();
    ASSERT_EQ(2u, marks.size());
    EXPECT_EQ("copy of snapshot " + std::to_string(id) + " of a failed create: " + marks[0].second, marks[1].second);
    EXPECT_EQ(1u, LogLines("which belongs to a failed create"));
}

TEST_F(FailedCreateTest, GoodCreatesAndSnapsThatFailedBeforeTheThawAreNotMarked) {
    // A good create: nothing marked, nothing said.
    auto util = PrepareUtil({m_volume}, SPAWN_IN_PROCESS);
    ASSERT_EQ(0, util->createSnapShot(nullptr, nullptr, false, nullptr));
    util.reset();
    // A snap that failed (nothing made) with a refused thaw as well: nothing to mark.
    util = PrepareUtil({m_volume}, SPAWN_IN_PROCESS);
    nuvsuite::AddFault("snapmgr", "createVolumeSnaps", 5, "copy failed", -1);
    nuvsuite::AddFault("process", "system", 1, "thaw refused", -1, "-u\x1f");
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    nuvsuite::ClearFaults();
    util.reset();

    auto marks = Marks();
    ASSERT_EQ(1u, marks.size());
    EXPECT_EQ("", marks[0].second);
    SMVolSnapInfo record = Lookup();
    ASSERT_EQ(1u, record.getNumSnaps());
    EXPECT_EQ(0u, record.snapListBegin()->getSnapFlagsEx() & nuvsnapmgr::kSnapFlagExFailedCreate);
    EXPECT_EQ(0u, LogLines("failed create"));
    EXPECT_TRUE(JournalArgs("snapmgr", "MarkFailedCreate").empty());
}

// The mark is a service call: a fault of it leaves the snapshot unmarked and
// the failure in the log; the create still fails as it would.
TEST_F(FailedCreateTest, MarkThatCannotBeMadeIsLogged) {
    auto util = PrepareUtil({m_volume}, SPAWN_IN_PROCESS);
    nuvsuite::AddFault("process", "system", 1, "thaw refused", -1, "-u\x1f");
    nuvsuite::AddFault("snapmgr", "MarkFailedCreate", 5, "catalogue busy", -1);
    EXPECT_EQ(-1, util->createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_FALSE(util->isPrepared());
    EXPECT_EQ(1u, LogLines("Cannot mark the snapshot of this failed create: "));
    EXPECT_EQ(1u, LogLines("catalogue busy"));
}

}  // namespace
