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
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <functional>
#include <chrono>
#include <csignal>
#include <random>
#include <spawn.h>
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

    // Ten seconds by default; a sanitizer build on a busy machine starts the
    // freeze tool in seconds, not milliseconds, so the kill rounds wait longer.
    static bool WaitFor(std::function<bool()> const& condition, int tenthsOfSeconds = 100) {
        for (int i = 0; i < tenthsOfSeconds * 10; ++i) {
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

// Which recorded freezes the sweep thaws: those of gone processes, and those
// past their time limit whose guard is gone, whoever made them (a creator that
// hangs or is stopped keeps nothing frozen); a live freeze is left to its
// creator and guard.
enum class Proc { Gone, Zombie, Live, Stopped, None };

struct SweepCase {
    char const* name;
    Proc creator;
    Proc guard;
    bool pastLimit;
    bool thawed;
};

void PrintTo(SweepCase const& c, std::ostream* os) { *os << c.name; }

class SweepTest : public FreezeGuardTest, public ::testing::WithParamInterface<SweepCase> {
protected:
    // A process in the given state; WaitChild reaps it.
    int Process(Proc what) {
        switch (what) {
        case Proc::None:
            return 0;
        case Proc::Zombie:
            return Keep(nuvtest::StartZombie());
        case Proc::Gone: {
            int const pid = nuvtest::StartChild([] { return 0; });
            EXPECT_EQ(0, nuvtest::WaitChild(pid));
            return pid;
        }
        case Proc::Live:
        case Proc::Stopped: {
            int const pid = Keep(nuvtest::StartChild([] {
                pause();
                return 0;
            }));
            if (what == Proc::Stopped) EXPECT_EQ(0, kill(pid, SIGSTOP));
            return pid;
        }
        }
        return 0;
    }

    void TearDown() override {
        for (int pid : m_children) {
            kill(pid, SIGKILL);
            nuvtest::WaitChild(pid);
        }
        FreezeGuardTest::TearDown();
    }

    int Keep(int pid) {
        m_children.push_back(pid);
        return pid;
    }

    std::vector<int> m_children;
};

TEST_P(SweepTest, ThawsWhatNothingElseEnds) {
    SweepCase const& c = GetParam();
    int const creator = Process(c.creator), guard = Process(c.guard);
    int64_t const now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    // Started 61 s ago with a limit of 60 s, or just now.
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("INSERT INTO freezes(mount_point, device, pid, guard_pid, state, started, limit_seconds) "
                           "VALUES(?, 'path:/srv', ?, ?, 'frozen', ?, 60)",
                           {m_mount, int64_t(creator), int64_t(guard), now - (c.pastLimit ? 61000 : 0)})
                     .IsError());
    std::vector<std::string> const said = nuvfreeze::ThawDeadFreezes();
    if (!c.thawed) {
        EXPECT_TRUE(said.empty()) << said[0];
        EXPECT_TRUE(ToolRuns().empty());
        EXPECT_EQ(1, FreezeRows());
        return;
    }
    std::string const by = c.creator == Proc::Live || c.creator == Proc::Stopped
                               ? " past its time limit of 60 seconds, whose guard is gone"
                               : ", which is gone";
    EXPECT_EQ(std::vector<std::string>{"thawed [" + m_mount + "], left frozen by process " + std::to_string(creator) + by},
              said);
    EXPECT_EQ(std::vector<std::string>{std::to_string(getpid()) + " -u " + m_mount}, ToolRuns());
    EXPECT_EQ(0, FreezeRows());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SweepTest,
    ::testing::Values(SweepCase{"GoneCreator", Proc::Gone, Proc::None, false, true},
                      SweepCase{"ZombieCreator", Proc::Zombie, Proc::None, false, true},
                      SweepCase{"GoneCreatorAndGuard", Proc::Gone, Proc::Gone, true, true},
                      SweepCase{"LiveCreator", Proc::Live, Proc::None, false, false},
                      SweepCase{"LiveCreatorAndGuardPastTheLimit", Proc::Live, Proc::Live, true, false},
                      SweepCase{"LiveCreatorWithoutGuardPastTheLimit", Proc::Live, Proc::None, true, true},
                      SweepCase{"LiveCreatorWhoseGuardIsGonePastTheLimit", Proc::Live, Proc::Gone, true, true},
                      SweepCase{"StoppedCreatorWhoseGuardIsGonePastTheLimit", Proc::Stopped, Proc::Gone, true, true},
                      SweepCase{"StoppedCreatorWithinTheLimit", Proc::Stopped, Proc::Gone, false, false}),
    [](auto const& info) { return std::string(info.param.name); });

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
// run records its process group ("group") and can first kill the process that
// ran it ("creator"), the shell itself once the program runs ("child"), or
// both: then the program freezes only after a thaw was tried (or 2 to 3 s
// passed), the order in which a thaw that does not wait for it comes too
// early. Its messages are in the C locale only when LC_ALL says so.
class GuardedFreezeTest : public FreezeGuardTest {
protected:
    void SetUp() override {
        m_state = nuvtest::MakeDir(m_root.base() + "/frozen");
        std::string const tool = m_root.base() + "/fake_freeze";
        nuvtest::WriteFile(tool, R"SH(#!/bin/bash
dir=")SH" + m_state + R"SH("
state="$dir/$(printf %s "$2" | tr -c 'a-zA-Z0-9' _)"
hook=""
[ "$1" = -f ] && hook=$(cat "$dir/hook" 2>/dev/null)
if [ -z "$FAKE_FREEZE_SHELL" ]; then
  [ "$1" = -f ] && { echo $$ > "$dir/group"; rm -f "$dir/thaw-tried"; }
  [ "$hook" = creator ] && kill -9 $PPID
  FAKE_FREEZE_SHELL=$$ FAKE_FREEZE_CREATOR=$PPID "$0" "$@"
  exit $?
fi
[ "$1" = -u ] && touch "$dir/thaw-tried"
sleep "$(printf '0.%03d' $((RANDOM % 40)))"
case "$hook" in
  child) kill -9 $FAKE_FREEZE_SHELL;;
  both) kill -9 $FAKE_FREEZE_SHELL $FAKE_FREEZE_CREATOR 2>/dev/null
        end=$((SECONDS + 3))
        while [ ! -e "$dir/thaw-tried" ] && [ $SECONDS -lt $end ]; do sleep 0.02; done;;
esac
sleep "$(printf '0.%03d' $((RANDOM % 20)))"
invalid="Invalid argument"
[ "$LC_ALL" = C ] || invalid="Argumento inválido"
case "$1" in
  -f) mkdir "$state" 2>/dev/null || { echo "cannot freeze filesystem at $2: Device or resource busy" >&2; exit 1; };;
  -u) rmdir "$state" 2>/dev/null || { echo "cannot unfreeze filesystem mounted at $2: $invalid" >&2; exit 1; };;
esac
)SH");
        ASSERT_EQ(0, chmod(tool.c_str(), 0755));
        nuvsuite::SetSubstitution(nuvfreeze::kFreezeTool, tool);
    }

    // The process group of the last -f run.
    int LastGroup() const { return std::atoi(nuvtest::ReadFile(m_state + "/group").c_str()); }

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
        if (!WaitFor([] { return GuardedRows() == 0; }, 300)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (FreezeRows() != 0) (void)nuvfreeze::ThawDeadFreezes();
        return WaitFor([] { return FreezeRows() == 0; }, 300);
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

// The number of a freeze command that has ended leads an unrelated process
// group (the kernel gives pids out again; every child of the suite leads its
// own group): no thaw waits for that group. The guard at the time limit, the
// guard after its creator died, the sweep once both are gone, and the sweep of
// a command its creator never waited for (its leader's start time tells it
// from the new one).
enum class ReuseRoad { GuardAtTheTimeLimit, GuardAfterTheCreatorDies, Sweep, SweepOfACommandNotWaitedFor };

struct ReuseCase {
    char const* name;
    ReuseRoad road;
};

void PrintTo(ReuseCase const& c, std::ostream* os) { *os << c.name; }

class ReusedGroupTest : public GuardedFreezeTest, public ::testing::WithParamInterface<ReuseCase> {
protected:
    // A new process-group leader (a sleep in a session of its own) with the
    // number `pid`, which must be free: the kernel's last pid is set just below
    // it (as root) until a child gets it; posix_spawn reaches the pid at once,
    // where a fork of this large process would let others take it first. 0
    // when it cannot be had.
    int LeaderWithPid(int pid) {
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
        char arg0[] = "sleep", arg1[] = "120";
        char* argv[] = {arg0, arg1, nullptr};
        for (int attempt = 0; attempt < 200 && m_leader == 0; ++attempt) {
            std::FILE* last = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
            if (last == nullptr) break;
            std::fprintf(last, "%d", pid - 1);
            if (std::fclose(last) != 0) break;
            pid_t child = 0;
            if (posix_spawn(&child, "/bin/sleep", nullptr, &attr, argv, environ) != 0) break;
            if (child == pid) {
                m_leader = child;
            } else {
                kill(child, SIGKILL);
                nuvtest::WaitChild(child);
            }
        }
        posix_spawnattr_destroy(&attr);
        return m_leader;
    }

    void TearDown() override {
        for (int pid : {m_leader, m_creator}) {
            if (pid <= 0) continue;
            kill(pid, SIGKILL);
            nuvtest::WaitChild(pid);
        }
        nuvfreeze::Failure failure;
        (void)nuvfreeze::Thaw(m_mount, &failure);  // a freeze of this process a failed test left
        GuardedFreezeTest::TearDown();
    }

    // The creator, in a child: it freezes and waits.
    int FrozenCreator() {
        nuvtest::PipeSignal frozen;
        m_creator = nuvtest::StartChild([&]() -> int {
            nuvfreeze::Failure failure;
            if (!nuvfreeze::Freeze(m_mount, &failure)) {
                std::fprintf(stderr, "the freeze failed: %s\n", failure.text.c_str());
                return 1;
            }
            frozen.Send();
            pause();
            return 0;
        });
        frozen.CloseWrite();
        return frozen.Wait() ? m_creator : 0;
    }

    int KillCreator() {
        kill(m_creator, SIGKILL);
        int const status = nuvtest::WaitChild(m_creator);
        int const pid = m_creator;
        m_creator = 0;
        EXPECT_EQ(128 + SIGKILL, status);
        return pid;
    }

    static int GuardOfTheRow() {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance().Query("SELECT guard_pid FROM freezes", {}, &rows).IsError());
        return rows.size() == 1 ? static_cast<int>(AsInt(rows[0][0])) : 0;
    }

    int m_leader = 0;
    int m_creator = 0;
};

TEST_P(ReusedGroupTest, NoThawWaitsForTheUnrelatedGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a pid out again needs root (ns_last_pid)";
    switch (GetParam().road) {
    case ReuseRoad::GuardAtTheTimeLimit: {
        ASSERT_FALSE(JZRegistry::setValue(JZRegistry::kDefaultInstance, "FileSystemAgent", "nFreezeTimeLimit", "3")
                         .IsError());
        nuvfreeze::Failure failure;
        ASSERT_TRUE(nuvfreeze::Freeze(m_mount, &failure)) << failure.text;
        auto const frozenAt = std::chrono::steady_clock::now();
        bool const had = LeaderWithPid(LastGroup()) != 0;
        if (!had || std::chrono::steady_clock::now() - frozenAt > std::chrono::milliseconds(1500) || !Frozen()) {
            (void)nuvfreeze::Thaw(m_mount, &failure);
            GTEST_SKIP() << "pid " << LastGroup() << " could not be had again well before the time limit";
        }
        ASSERT_TRUE(WaitFor([this] { return !Frozen(); }));
        EXPECT_FALSE(nuvfreeze::Thaw(m_mount, &failure));
        EXPECT_EQ(ETIMEDOUT, failure.code);
        break;
    }
    case ReuseRoad::GuardAfterTheCreatorDies: {
        ASSERT_GT(FrozenCreator(), 0);
        if (LeaderWithPid(LastGroup()) == 0) GTEST_SKIP() << "pid " << LastGroup() << " could not be had again";
        ASSERT_GT(KillCreator(), 0);
        ASSERT_TRUE(WaitFor([this] { return !Frozen(); }));
        break;
    }
    case ReuseRoad::Sweep: {
        ASSERT_GT(FrozenCreator(), 0);
        if (LeaderWithPid(LastGroup()) == 0) GTEST_SKIP() << "pid " << LastGroup() << " could not be had again";
        int const guard = GuardOfTheRow();
        ASSERT_GT(guard, 0);
        ASSERT_EQ(0, kill(guard, SIGKILL));
        ASSERT_TRUE(WaitFor([guard] { return !JzProcess::IsAlive(guard); }));
        int const creator = KillCreator();
        ASSERT_GT(creator, 0);
        EXPECT_EQ(std::vector<std::string>{"thawed [" + m_mount + "], left frozen by process " +
                                           std::to_string(creator) + ", which is gone"},
                  nuvfreeze::ThawDeadFreezes());
        break;
    }
    case ReuseRoad::SweepOfACommandNotWaitedFor: {
        ASSERT_EQ(0, nuvtest::RunProgram(nuvsuite::SubstituteProgram(nuvfreeze::kFreezeTool), {"-f", m_mount}).exitCode);
        // The command (a group of its own) and its start time, recorded while
        // it ran; then its number, given to the unrelated group.
        int command = 0;
        unsigned long long started = 0;
        for (int tries = 0; tries < 5 && m_leader == 0; ++tries) {
            nuvtest::PipeSignal grouped, go;
            command = nuvtest::StartChild([&]() -> int {
                setpgid(0, 0);
                grouped.Send();
                return go.Wait() ? 0 : 1;
            });
            grouped.CloseWrite();
            ASSERT_TRUE(grouped.Wait());
            started = JzProcess::StartTime(command);
            ASSERT_GT(started, 0u);
            go.Send();
            ASSERT_EQ(0, nuvtest::WaitChild(command));
            // A later start than the recorded one (its clock counts in ticks of 10 ms).
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            (void)LeaderWithPid(command);
        }
        if (m_leader == 0) GTEST_SKIP() << "no pid could be had again";
        int const dead = nuvtest::StartChild([] { return 0; });
        ASSERT_EQ(0, nuvtest::WaitChild(dead));
        ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                         .Exec("INSERT INTO freezes(mount_point, device, pid, state, freeze_pgid, freeze_pgid_start) "
                               "VALUES(?, 'path:/srv', ?, 'frozen', ?, ?)",
                               {m_mount, int64_t(dead), int64_t(command), static_cast<int64_t>(started)})
                         .IsError());
        EXPECT_EQ(std::vector<std::string>{"thawed [" + m_mount + "], left frozen by process " +
                                           std::to_string(dead) + ", which is gone"},
                  nuvfreeze::ThawDeadFreezes());
        break;
    }
    }
    EXPECT_TRUE(JzProcess::GroupAlive(m_leader));  // the unrelated group still runs
    EXPECT_FALSE(Frozen());
    EXPECT_TRUE(WaitFor([] { return FreezeRows() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Roads, ReusedGroupTest,
                         ::testing::Values(ReuseCase{"GuardAtTheTimeLimit", ReuseRoad::GuardAtTheTimeLimit},
                                           ReuseCase{"GuardAfterTheCreatorDies", ReuseRoad::GuardAfterTheCreatorDies},
                                           ReuseCase{"Sweep", ReuseRoad::Sweep},
                                           ReuseCase{"SweepOfACommandNotWaitedFor",
                                                     ReuseRoad::SweepOfACommandNotWaitedFor}),
                         [](auto const& info) { return std::string(info.param.name); });

// The tool's answer that a file system is not frozen is read in the C locale,
// whatever the locale of the process that runs it.
TEST_F(GuardedFreezeTest, NotFrozenIsToldInAnyLocale) {
    char const* const before = std::getenv("LC_ALL");
    std::string const saved = before != nullptr ? before : "";
    setenv("LC_ALL", "pt_BR.UTF-8", 1);
    int const dead = nuvtest::StartChild([] { return 0; });
    ASSERT_EQ(0, nuvtest::WaitChild(dead));
    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("INSERT INTO freezes(mount_point, device, pid, state) VALUES(?, 'path:/srv', ?, 'frozen')",
                           {m_mount, int64_t(dead)})
                     .IsError());
    std::vector<std::string> const said = nuvfreeze::ThawDeadFreezes();
    if (before != nullptr) {
        setenv("LC_ALL", saved.c_str(), 1);
    } else {
        unsetenv("LC_ALL");
    }
    EXPECT_EQ(std::vector<std::string>{"found the freeze of [" + m_mount + "] by process " + std::to_string(dead) +
                                       ", which is gone; it was not frozen any more (cannot unfreeze filesystem "
                                       "mounted at " +
                                       m_mount + ": Invalid argument)"},
              said);
    EXPECT_EQ(0, FreezeRows());
}

}  // namespace
