// The freeze guard across real processes, with the freeze tool replaced by
// /bin/true through the suite's substitution table: the journal shows which
// process ran the tool on which mount point (the real file systems are in
// tests/engine_xfs).
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace {

using nuvsuite::AsInt;

class FreezeGuardTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { nuvsuite::SetSubstitution(nuvfreeze::kFreezeTool, "/bin/true"); }

    // The freeze-tool runs: "<pid> -f|-u <mount point>".
    static std::vector<std::string> ToolRuns() {
        std::vector<std::string> runs;
        for (auto const& e : nuvsuite::ReadJournal("process", "system")) {
            std::string const prefix = std::string(nuvfreeze::kFreezeTool) + '\x1f';
            if (e.args.compare(0, prefix.size(), prefix) != 0) continue;
            std::string rest = e.args.substr(prefix.size());
            rest[rest.find('\x1f')] = ' ';
            runs.push_back(std::to_string(e.pid) + " " + rest);
        }
        return runs;
    }

    static int64_t FreezeRows() {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT COUNT(*) FROM freezes", {}, &rows).IsError());
        return rows.empty() ? -1 : AsInt(rows[0][0]);
    }

    static bool WaitFor(std::function<bool()> const& condition) {
        for (int i = 0; i < 1000; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string const m_mount = "/srv/db data";
};

TEST_F(FreezeGuardTest, FreezeAndThawLeaveNothingBehind) {
    nuvfreeze::Failure failure;
    ASSERT_TRUE(nuvfreeze::Freeze(m_mount, &failure)) << failure.text;
    EXPECT_EQ(1, FreezeRows());
    ASSERT_TRUE(nuvfreeze::Thaw(m_mount, &failure)) << failure.text;
    std::string const me = std::to_string(getpid());
    EXPECT_EQ((std::vector<std::string>{me + " -f " + m_mount, me + " -u " + m_mount}), ToolRuns());
    EXPECT_EQ(0, FreezeRows());
}

// The process that froze dies: its guard thaws at once and removes the record.
TEST_F(FreezeGuardTest, GuardThawsWhenTheFreezerDies) {
    nuvtest::PipeSignal frozen;
    int const pid = nuvtest::StartChild([&]() -> int {
        nuvfreeze::Failure failure;
        if (!nuvfreeze::Freeze(m_mount, &failure)) return 1;
        frozen.Send();
        pause();
        return 0;
    });
    frozen.CloseWrite();
    ASSERT_TRUE(frozen.Wait());
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(pid));
    ASSERT_TRUE(WaitFor([] { return FreezeRows() == 0; }));
    std::vector<std::string> runs = ToolRuns();
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ(std::to_string(pid) + " -f " + m_mount, runs[0]);
    // The thaw was run by the guard, another process.
    EXPECT_NE(std::to_string(pid) + " -u " + m_mount, runs[1]);
    EXPECT_NE(std::string::npos, runs[1].find(" -u " + m_mount));
}

// No freeze outlives the time limit: the guard thaws, the freezer's thaw fails
// and runs no tool of its own.
TEST_F(FreezeGuardTest, TimeLimitThawsAndFailsTheThaw) {
    ASSERT_FALSE(JZRegistry::setValue(JZRegistry::kDefaultInstance, "FileSystemAgent", "nFreezeTimeLimit", "1")
                     .IsError());
    EXPECT_EQ(1, nuvfreeze::FreezeTimeLimitSeconds());
    nuvfreeze::Failure failure;
    ASSERT_TRUE(nuvfreeze::Freeze(m_mount, &failure)) << failure.text;
    ASSERT_TRUE(WaitFor([this] { return ToolRuns().size() == 2; }));
    EXPECT_FALSE(nuvfreeze::Thaw(m_mount, &failure));
    EXPECT_EQ(ETIMEDOUT, failure.code);
    EXPECT_NE(std::string::npos, failure.text.find("time limit of 1 seconds")) << failure.text;
    EXPECT_EQ(2u, ToolRuns().size());
    EXPECT_EQ(0, FreezeRows());
}

TEST_F(FreezeGuardTest, FailuresSayWhy) {
    nuvfreeze::Failure failure;
    // Through the fault table: nothing runs.
    nuvsuite::AddFault("freeze", "Freeze", EBUSY, "device busy", 1);
    EXPECT_FALSE(nuvfreeze::Freeze(m_mount, &failure));
    EXPECT_EQ(EBUSY, failure.code);
    EXPECT_EQ("device busy", failure.text);
    // The tool fails: its error output is the text, and nothing is left recorded.
    nuvsuite::AddFault("process", "system", 1, "Device or resource busy", 1, "-f");
    EXPECT_FALSE(nuvfreeze::Freeze(m_mount, &failure));
    EXPECT_EQ(1, failure.code);
    EXPECT_NE(std::string::npos, failure.text.find("Device or resource busy")) << failure.text;
    EXPECT_EQ(0, FreezeRows());
    // The guard cannot be started: nothing is frozen.
    nuvsuite::AddFault("process", "spawn", 0, "no guard", 1);
    EXPECT_FALSE(nuvfreeze::Freeze(m_mount, &failure));
    EXPECT_NE(std::string::npos, failure.text.find("cannot start the freeze guard")) << failure.text;
    // The suite's own file system is never frozen.
    EXPECT_FALSE(nuvfreeze::Freeze(nuvsuite::StatePath("temp"), &failure));
    EXPECT_EQ(EDEADLK, failure.code);
    // Only the failed run of the tool.
    EXPECT_EQ(std::vector<std::string>{std::to_string(getpid()) + " -f " + m_mount}, ToolRuns());
    EXPECT_EQ(0, FreezeRows());
}

// A freeze whose process and guard are both gone is thawed by the sweep, which
// says so; a live one is left alone.
TEST_F(FreezeGuardTest, SweepThawsOnlyFreezesOfDeadProcesses) {
    int const dead = nuvtest::StartChild([] { return 0; });
    ASSERT_EQ(0, nuvtest::WaitChild(dead));
    auto& cat = nuvsuite::Catalogue::Instance();
    ASSERT_FALSE(cat.Exec("INSERT INTO freezes(mount_point, device, pid, state) VALUES(?, 'path:/gone', ?, 'frozen')",
                          {std::string("/gone"), int64_t(dead)})
                     .IsError());
    ASSERT_FALSE(cat.Exec("INSERT INTO freezes(mount_point, device, pid, state) VALUES(?, 'path:/live', ?, 'frozen')",
                          {std::string("/live"), int64_t(getppid())})
                     .IsError());
    int const zombie = nuvtest::StartZombie();  // exited, not reaped: still answers kill(pid, 0)
    ASSERT_GT(zombie, 0);
    ASSERT_FALSE(cat.Exec("INSERT INTO freezes(mount_point, device, pid, state) VALUES(?, 'path:/zombie', ?, 'frozen')",
                          {std::string("/zombie"), int64_t(zombie)})
                     .IsError());
    std::vector<std::string> said = nuvfreeze::ThawDeadFreezes();
    std::sort(said.begin(), said.end());
    ASSERT_EQ(2u, said.size());
    EXPECT_EQ("thawed [/gone], left frozen by process " + std::to_string(dead) + ", which is gone", said[0]);
    EXPECT_EQ("thawed [/zombie], left frozen by process " + std::to_string(zombie) + ", which is gone", said[1]);
    std::vector<std::string> runs = ToolRuns();
    std::sort(runs.begin(), runs.end());
    EXPECT_EQ((std::vector<std::string>{std::to_string(getpid()) + " -u /gone", std::to_string(getpid()) + " -u /zombie"}),
              runs);
    EXPECT_EQ(1, FreezeRows());
    EXPECT_EQ(0, nuvtest::WaitChild(zombie));
}

// Freezes of one file system wait their turn, in one process too.
TEST_F(FreezeGuardTest, FreezesOfOneFileSystemTakeTurns) {
    std::atomic<int> inside{0}, failed{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            nuvfreeze::Failure failure;
            if (!nuvfreeze::Freeze(m_mount, &failure)) {
                ++failed;
                return;
            }
            if (++inside > 1) overlap = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            --inside;
            if (!nuvfreeze::Thaw(m_mount, &failure)) ++failed;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failed.load());
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(8u, ToolRuns().size());
}

}  // namespace
