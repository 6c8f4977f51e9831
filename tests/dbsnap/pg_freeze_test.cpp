// The sample agent's job with its cluster on an XFS loop volume, killed inside
// the freeze of that volume: the freeze guard thaws it, the server leaves
// backup mode and takes writes, the next job succeeds and its snapshot restores
// every row, and the catalogue keeps no freeze and stays sound. Skipped where
// root, loop devices, mkfs.xfs or PostgreSQL 15 are missing.
#include "tests/dbsnap/pg_fixture.h"

#include "nuvdbsnap/platform/suite/catalogue.h"
#include "support/xfs_loop.h"

using namespace nuvdbsnaptest;

namespace {

// Polls every 10 ms, for at most 60 s.
template <class Condition>
bool WaitFor(Condition condition) {
    for (int i = 0; i < 6000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class PgFreezeKillTest : public PgAgentTest {
protected:
    void SetUp() override {
        if (!m_xfs.ready()) GTEST_SKIP() << m_xfs.why();
        PgAgentTest::SetUp();
        if (IsSkipped()) return;
        SetSetting("FileSystemAgent", "nDoQuiesce", "1");  // PostgreSQL's XFS volumes are frozen too
    }
    void TearDown() override {
        if (m_xfs.ready()) (void)nuvtest::ThawIfFrozen(m_xfs.mountPoint());  // never leave it frozen
        PgAgentTest::TearDown();  // the servers stop before the volume goes
    }
    DataVolume Volume() override {
        std::string const mnt = m_xfs.mountPoint();
        chmod(mnt.substr(0, mnt.rfind('/')).c_str(), 0755);  // the server's user walks in
        return {mnt, m_xfs.device(), "xfs"};
    }

    size_t Freezes() const {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT id FROM freezes", {}, &rows).IsError());
        return rows.size();
    }

    nuvtest::XfsLoopVolume m_xfs;
};

TEST_F(PgFreezeKillTest, KilledInsideTheFreezeTheGuardThawsAndTheNextJobRestoresEveryRow) {
    std::string const mnt = m_xfs.mountPoint();
    nuvsuite::AddFault("freeze", "hold", 0, m_hold, 1, mnt);
    int const pid = StartAgent();
    bool const held = WaitUntilHeld();
    bool const frozen = held && nuvtest::IsFrozen(mnt);
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(pid));
    ASSERT_TRUE(held) << "the agent never reached the freeze";
    EXPECT_TRUE(frozen);

    // The guard saw its channel end and thawed; the freeze is no longer recorded.
    EXPECT_TRUE(WaitFor([&] { return !nuvtest::IsFrozen(mnt); }));
    EXPECT_TRUE(WaitFor([&] { return Freezes() == 0; }));
    // The server ends the backup with the agent's connection and takes writes.
    EXPECT_TRUE(WaitFor([&] { return OtherBackends() == "0\n"; }));
    EXPECT_EQ("", Sql("INSERT INTO sample_rows VALUES (9999, 'after a killed job')"));

    // The next job of the application freezes and snaps the same volume.
    ASSERT_NO_FATAL_FAILURE(NextJob());
    auto job = RunAgent();
    ASSERT_EQ(0, job.exitCode) << job.out << job.err;
    EXPECT_EQ("completed", JobStatus());
    EXPECT_FALSE(nuvtest::IsFrozen(mnt));
    EXPECT_EQ(0u, Freezes());

    // Undamaged: its snapshot restores to every row committed before it.
    ASSERT_NE(std::string::npos, Sql("SELECT pg_switch_wal()").find('/'));
    auto restored = Restore();
    ASSERT_EQ(0, restored.exitCode) << restored.err;
    EXPECT_NE(std::string::npos,
              restored.out.find("rows in sample_rows on the restored server: " + std::to_string(kRows + 1) + "\n"))
        << restored.out;
    std::vector<nuvsuite::CatRow> check;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance().Query("PRAGMA integrity_check", {}, &check).IsError());
    ASSERT_EQ(1u, check.size());
    EXPECT_EQ("ok", nuvsuite::AsText(check[0][0]));
}

}  // namespace
