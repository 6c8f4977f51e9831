// One snapshot unmounted and deleted with the admin command, through the
// snapshot client's own calls and rules.
#include "snap_env.h"

#include "nuvdbsnap/platform/suite/service_call.h"
#include "support/suite_root.h"

namespace {

using snaptest::Exists;
using snaptest::IsMounted;
using snaptest::SnapEnv;
using snaptest::WriteFile;

std::string const kJzsuite = NUV_OUT_DIR "/bin/jzsuite";

int64_t Rows(char const* table) {
    std::vector<nuvsuite::CatRow> rows;
    EXPECT_FALSE(
        nuvsuite::Catalogue::Instance().Query(std::string("SELECT COUNT(*) FROM ") + table, {}, &rows).IsError());
    return rows.empty() ? -1 : nuvsuite::AsInt(rows[0][0]);
}

class SnapshotCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting needs root";
        m_src = m_env.dir() + "/src";
        WriteFile(m_src + "/f", "x");
        m_record = SnapEnv::Snap(7, {m_src});
        ASSERT_EQ(1u, m_record.getNumSnaps()) << m_record.getErrorString();
        m_id = std::to_string(m_record.snaps()[0].getSMSnapId());
        m_copy = m_record.snaps()[0].getSnapDevice();
    }
    nuvtest::ProgramResult Jz(std::vector<std::string> const& args) { return nuvtest::RunProgram(kJzsuite, args); }

    SnapEnv m_env;
    std::string m_src, m_id, m_copy;
    SMVolSnapInfo m_record;
};

TEST_F(SnapshotCommandTest, AMountedSnapshotIsUnmountedBeforeItCanBeDeleted) {
    JZSnapClientAPI client;
    ASSERT_TRUE(client.mountVolumes(m_record)) << m_record.getErrorString();
    std::string const mount = m_record.volumes()[0].getMountPath();
    ASSERT_TRUE(IsMounted(mount));

    nuvtest::ProgramResult refused = Jz({"snapshot", "delete", m_id});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find("is mounted at [" + mount + "]: unmount it first")) << refused.err;
    EXPECT_TRUE(IsMounted(mount));
    EXPECT_TRUE(Exists(m_copy + "/f"));
    EXPECT_EQ(1, Rows("sm_snapshots"));

    nuvtest::ProgramResult unmounted = Jz({"snapshot", "unmount", m_id});
    ASSERT_EQ(0, unmounted.exitCode) << unmounted.err;
    EXPECT_FALSE(IsMounted(mount));
    EXPECT_EQ(0, Rows("sm_mounts"));
    EXPECT_TRUE(Exists(m_copy + "/f"));
    EXPECT_EQ(0, Jz({"snapshot", "unmount", m_id}).exitCode) << "nothing mounted: nothing to do";

    nuvtest::ProgramResult deleted = Jz({"snapshot", "delete", m_id});
    ASSERT_EQ(0, deleted.exitCode) << deleted.err;
    EXPECT_FALSE(Exists(m_copy));
    EXPECT_EQ(0, Rows("sm_snapshots"));
    EXPECT_TRUE(Exists(m_src + "/f"));

    // Both went through the snapshot client's calls.
    auto journal = nuvsuite::ReadJournal("snapmgr");
    auto called = [&](std::string const& call) {
        return std::any_of(journal.begin(), journal.end(), [&](auto const& j) { return j.call == call; });
    };
    EXPECT_TRUE(called("JZSnapClientAPI::unmount"));
    EXPECT_TRUE(called("JZSnapClientAPI::deleteVolumeSnaps"));
}

TEST_F(SnapshotCommandTest, ADeleteIsRefusedForAForeignMountUnknownIdsAndFaults) {
    // Something the suite did not make is mounted inside the copy.
    std::string const inner = m_copy + "/inner";
    ASSERT_EQ(0, ::mkdir(inner.c_str(), 0755));
    WriteFile(m_env.dir() + "/other/g", "y");
    ASSERT_EQ(0, ::mount((m_env.dir() + "/other").c_str(), inner.c_str(), nullptr, MS_BIND, nullptr));
    nuvtest::ProgramResult refused = Jz({"snapshot", "delete", m_id});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find("[" + inner + "] mounted on it")) << refused.err;
    EXPECT_TRUE(Exists(m_env.dir() + "/other/g"));
    ASSERT_EQ(0, ::umount(inner.c_str()));

    struct Case {
        char const* name;
        std::vector<std::string> args;
        int exitCode;
        char const* complaint;
    } const cases[] = {
        {"unknown snapshot", {"snapshot", "delete", "99"}, 1, "no snapshot 99"},
        {"unknown snapshot unmounted", {"snapshot", "unmount", "99"}, 1, "no snapshot 99"},
        {"id not a number", {"snapshot", "delete", "1x"}, 2, "no whole decimal number"},
        {"unknown action", {"snapshot", "copy", m_id}, 2, "unknown action"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvtest::ProgramResult r = Jz(c.args);
        EXPECT_EQ(c.exitCode, r.exitCode);
        EXPECT_NE(std::string::npos, r.err.find(c.complaint)) << r.err;
    }

    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::deleteVolumeSnaps", 5, "array offline", 1);
    nuvtest::ProgramResult faulted = Jz({"snapshot", "delete", m_id});
    EXPECT_EQ(1, faulted.exitCode);
    EXPECT_NE(std::string::npos, faulted.err.find("array offline")) << faulted.err;
    EXPECT_TRUE(Exists(m_copy + "/f"));
    ASSERT_EQ(0, Jz({"snapshot", "delete", m_id}).exitCode);
    EXPECT_FALSE(Exists(m_copy));
}

}  // namespace
