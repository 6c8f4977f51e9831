// The freeze guard across real processes, with the freeze tool replaced by
// /bin/true through the suite's substitution table: the journal shows which
// process ran the tool on which mount point (the real file systems are in
// tests/engine_xfs).
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <functional>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/stat.h>
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
        for (auto const& e : nuvsuite::ReadJournal("process", "JzProcess::system")) {
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
    nuvsuite::AddFault("freeze", "nuvfreeze::Freeze", EBUSY, "device busy", 1);
    EXPECT_FALSE(nuvfreeze::Freeze(m_mount, &failure));
    EXPECT_EQ(EBUSY, failure.code);
    EXPECT_EQ("device busy", failure.text);
    // The tool fails: its error output is the text, and nothing is left recorded.
    nuvsuite::AddFault("process", "JzProcess::system", 1, "Device or resource busy", 1, "-f");
    EXPECT_FALSE(nuvfreeze::Freeze(m_mount, &failure));
    EXPECT_EQ(1, failure.code);
    EXPECT_NE(std::string::npos, failure.text.find("Device or resource busy")) << failure.text;
    EXPECT_EQ(0, FreezeRows());
    // The guard cannot be started: nothing is frozen.
    nuvsuite::AddFault("process", "JzProcess::spawn", 0, "no guard", 1);
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

// A freeze tool shaped like the real one: a shell that runs the program that
// freezes (killing the shell leaves that program running), a few random
// milliseconds late; a frozen file system is a directory of the test. The -f
// run can first kill the process that ran it ("creator"), the shell itself
// once the program runs ("child"), or both.
class GuardedFreezeTest : public FreezeGuardTest {
protected:
    void SetUp() override {
        m_state = nuvtest::MakeDir(m_root.base() + "/frozen");
        std::string const tool = m_root.base() + "/fake_freeze";
        nuvtest::WriteFile(tool, R"SH(#!/bin/bash
state=")SH" + m_state + R"SH(/$(printf %s "$2" | tr -c 'a-zA-Z0-9' _)"
hook=""
[ "$1" = -f ] && hook=$(cat ")SH" + m_state + R"SH(/hook" 2>/dev/null)
if [ -z "$FAKE_FREEZE_SHELL" ]; then
  case "$hook" in creator|both) kill -9 $PPID;; esac
  FAKE_FREEZE_SHELL=$$ FAKE_FREEZE_CREATOR=$PPID "$0" "$@"
  exit $?
fi
sleep "$(printf '0.%03d' $((RANDOM % 40)))"
case "$hook" in child) kill -9 $FAKE_FREEZE_SHELL;; both) kill -9 $FAKE_FREEZE_SHELL $FAKE_FREEZE_CREATOR;; esac
sleep "$(printf '0.%03d' $((RANDOM % 20)))"
case "$1" in
  -f) mkdir "$state" 2>/dev/null || { echo "cannot freeze filesystem at $2: Device or resource busy" >&2; exit 1; };;
  -u) rmdir "$state" 2>/dev/null || { echo "cannot unfreeze filesystem mounted at $2: Invalid argument" >&2; exit 1; };;
esac
)SH");
        ASSERT_EQ(0, chmod(tool.c_str(), 0755));
        nuvsuite::SetSubstitution(nuvfreeze::kFreezeTool, tool);
    }

    bool Frozen() const {
        std::string name = m_mount;
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        struct stat st {};
        return stat((m_state + "/" + name).c_str(), &st) == 0;
    }

    void Hook(std::string const& hook) { nuvtest::WriteFile(m_state + "/hook", hook); }

    // Every guard and freeze program of the round has ended and no row is
    // left. A freezer killed before its guard started leaves its row to the
    // sweep of the next command; every other row goes with its guard.
    bool Settled() {
        if (!WaitFor([] { return GuardedRows() == 0; })) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (FreezeRows() != 0) (void)nuvfreeze::ThawDeadFreezes();
        return WaitFor([] { return FreezeRows() == 0; });
    }

    static int64_t GuardedRows() {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                         .Query("SELECT COUNT(*) FROM freezes WHERE guard_pid > 0", {}, &rows)
                         .IsError());
        return rows.empty() ? -1 : AsInt(rows[0][0]);
    }

    std::string m_state;
};

struct KillRoad {
    char const* name;
    char const* hook;  // what the freeze tool kills as it starts ("" none)
    bool killLater;    // the test kills the creator at a random moment of its freeze
};

class KilledFreezeTest : public GuardedFreezeTest, public ::testing::WithParamInterface<KillRoad> {};

// Whatever is killed, whenever: once the guard is done the file system is
// thawed and no record is left.
TEST_P(KilledFreezeTest, NothingStaysFrozen) {
    // The length of an undisturbed freeze sets the range of the random kills.
    auto const start = std::chrono::steady_clock::now();
    nuvfreeze::Failure failure;
    ASSERT_TRUE(nuvfreeze::Freeze(m_mount, &failure)) << failure.text;
    int const spanMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
    ASSERT_TRUE(nuvfreeze::Thaw(m_mount, &failure)) << failure.text;
    ASSERT_FALSE(Frozen());

    Hook(GetParam().hook);
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 12; ++round) {
        int const pid = nuvtest::StartChild([this]() -> int {
            nuvfreeze::Failure failure;
            if (!nuvfreeze::Freeze(m_mount, &failure)) return 1;
            pause();
            return 0;
        });
        int const delayMs = static_cast<int>(random() % static_cast<unsigned>(spanMs + 20));
        if (GetParam().killLater) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            kill(pid, SIGKILL);
        } else if (std::string(GetParam().hook) == "child") {
            // The freeze failed and left the thaw to the guard: the creator goes on.
            EXPECT_EQ(1, nuvtest::WaitChild(pid)) << "round " << round;
            ASSERT_TRUE(Settled()) << "round " << round;
            EXPECT_FALSE(Frozen()) << "round " << round;
            continue;
        }
        EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(pid)) << "round " << round;
        ASSERT_TRUE(Settled()) << "round " << round << " (killed after " << delayMs << " ms)";
        ASSERT_FALSE(Frozen()) << "round " << round << " (killed after " << delayMs << " ms)";
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, KilledFreezeTest,
                         ::testing::Values(KillRoad{"CreatorAtRandom", "", true},
                                           KillRoad{"CreatorAsTheToolStarts", "creator", false},
                                           KillRoad{"ToolAsItFreezes", "child", false},
                                           KillRoad{"ToolAndCreatorAsItFreezes", "both", false}),
                         [](auto const& info) { return std::string(info.param.name); });

struct ThawFailure {
    char const* name;
    int failures;    // runs of the thaw that fail
    bool pastLimit;  // the thaw that fails is the guard's at the time limit
};

class FailedThawTest : public GuardedFreezeTest, public ::testing::WithParamInterface<ThawFailure> {};

// A failed thaw keeps the record and is tried again until the file system is
// seen thawed; only then does the record go.
TEST_P(FailedThawTest, RecordStaysUntilThawed) {
    if (GetParam().pastLimit)
        ASSERT_FALSE(JZRegistry::setValue(JZRegistry::kDefaultInstance, "FileSystemAgent", "nFreezeTimeLimit", "1")
                         .IsError());
    nuvsuite::AddFault("process", "JzProcess::system", 1, "cannot unfreeze: I/O error", GetParam().failures, "-u");
    nuvfreeze::Failure failure;
    ASSERT_TRUE(nuvfreeze::Freeze(m_mount, &failure)) << failure.text;
    if (GetParam().pastLimit) {
        ASSERT_TRUE(WaitFor([this] { return !Frozen(); }));
        EXPECT_FALSE(nuvfreeze::Thaw(m_mount, &failure));
        EXPECT_EQ(ETIMEDOUT, failure.code);
    } else {
        EXPECT_FALSE(nuvfreeze::Thaw(m_mount, &failure));
        EXPECT_EQ(1, failure.code);
        EXPECT_NE(std::string::npos, failure.text.find("I/O error")) << failure.text;
    }
    ASSERT_TRUE(WaitFor([this] { return !Frozen(); }));
    ASSERT_TRUE(WaitFor([] { return FreezeRows() == 0; }));
    std::vector<std::string> runs = ToolRuns();
    EXPECT_EQ(static_cast<size_t>(GetParam().failures + 2), runs.size());
    EXPECT_EQ(1, std::count_if(runs.begin(), runs.end(),
                               [this](std::string const& r) { return r.find(" -f " + m_mount) != std::string::npos; }));
}

INSTANTIATE_TEST_SUITE_P(Thaws, FailedThawTest,
                         ::testing::Values(ThawFailure{"Once", 1, false}, ThawFailure{"ByCreatorAndGuard", 2, false},
                                           ThawFailure{"FourTimes", 4, false},
                                           ThawFailure{"AtTheTimeLimitTwice", 2, true}),
                         [](auto const& info) { return std::string(info.param.name); });

// The freezing process and its guard are gone while a program of the freeze
// command still runs: the sweep waits for it, then thaws what it froze.
TEST_F(GuardedFreezeTest, SweepWaitsForTheFreezeCommand) {
    int const dead = nuvtest::StartChild([] { return 0; });
    ASSERT_EQ(0, nuvtest::WaitChild(dead));
    nuvtest::PipeSignal grouped;
    std::string const tool = nuvsuite::SubstituteProgram(nuvfreeze::kFreezeTool);
    int const late = nuvtest::StartChild([&]() -> int {
        setpgid(0, 0);
        grouped.Send();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return nuvtest::RunProgram(tool, {"-f", m_mount}).exitCode;
    });
    grouped.CloseWrite();
    ASSERT_TRUE(grouped.Wait());
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("INSERT INTO freezes(mount_point, device, pid, state, freeze_pgid) "
                           "VALUES(?, 'path:/srv', ?, 'freezing', ?)",
                           {m_mount, int64_t(dead), int64_t(late)})
                     .IsError());
    std::vector<std::string> said = nuvfreeze::ThawDeadFreezes();
    EXPECT_EQ(0, nuvtest::WaitChild(late));
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ("thawed [" + m_mount + "], left frozen by process " + std::to_string(dead) + ", which is gone", said[0]);
    EXPECT_FALSE(Frozen());
    EXPECT_EQ(0, FreezeRows());
}

// The guard is killed while the file system is frozen: the freezer's thaw
// still thaws, and the record goes (a gone guard never ends the freezer).
TEST_F(GuardedFreezeTest, ThawAfterTheGuardWasKilled) {
    nuvfreeze::Failure failure;
    ASSERT_TRUE(nuvfreeze::Freeze(m_mount, &failure)) << failure.text;
    std::vector<nuvsuite::CatRow> rows;
    ASSERT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT guard_pid FROM freezes", {}, &rows).IsError());
    ASSERT_EQ(1u, rows.size());
    int const guard = static_cast<int>(AsInt(rows[0][0]));
    ASSERT_EQ(0, kill(guard, SIGKILL));
    ASSERT_TRUE(WaitFor([guard] { return !JzProcess::IsAlive(guard); }));
    EXPECT_TRUE(nuvfreeze::Thaw(m_mount, &failure)) << failure.text;
    EXPECT_FALSE(Frozen());
    EXPECT_EQ(0, FreezeRows());
}

// A thaw that fails keeps the record of a dead freeze for the next sweep.
TEST_F(GuardedFreezeTest, SweepKeepsTheRecordOfAFailedThaw) {
    int const dead = nuvtest::StartChild([] { return 0; });
    ASSERT_EQ(0, nuvtest::WaitChild(dead));
    ASSERT_EQ(0, nuvtest::RunProgram(nuvsuite::SubstituteProgram(nuvfreeze::kFreezeTool), {"-f", m_mount}).exitCode);
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("INSERT INTO freezes(mount_point, device, pid, state) VALUES(?, 'path:/srv', ?, 'frozen')",
                           {m_mount, int64_t(dead)})
                     .IsError());
    nuvsuite::AddFault("process", "JzProcess::system", 1, "cannot unfreeze: I/O error", 1, "-u");
    std::vector<std::string> said = nuvfreeze::ThawDeadFreezes();
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ("cannot thaw [" + m_mount + "], left frozen by process " + std::to_string(dead) +
                  ", which is gone: cannot unfreeze: I/O error; its record stays for the next try",
              said[0]);
    EXPECT_TRUE(Frozen());
    EXPECT_EQ(1, FreezeRows());
    said = nuvfreeze::ThawDeadFreezes();
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ("thawed [" + m_mount + "], left frozen by process " + std::to_string(dead) + ", which is gone", said[0]);
    EXPECT_FALSE(Frozen());
    EXPECT_EQ(0, FreezeRows());
}

}  // namespace
