// The process runner: capture, status, no shell for values, substitution,
// journal and faults.
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ProcessTest : public nuvtest::SuiteTest {
protected:
    std::string Dir() { return m_root.base(); }
    bool Exists(std::string const& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    // A script that records its arguments, one a line, in `record`.
    std::string RecorderScript(std::string const& record) {
        std::string path = Dir() + "/recorder.sh";
        std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << record
                            << "'\necho recorded\n";
        chmod(path.c_str(), 0755);
        return path;
    }
    static std::string Read(std::string const& path) { return nuvtest::ReadFile(path); }
};

TEST_F(ProcessTest, ExitStatusIsTheResult) {
    struct Case {
        std::vector<std::string> argv;
        int expected;
    } const cases[] = {{{"/bin/true"}, 0},
                       {{"/bin/false"}, 1},
                       {{"/bin/sh", "-c", "exit 3"}, 3},
                       {{"/bin/sh", "-c", "kill -TERM $$"}, 128 + 15},
                       {{"no-such-program-for-test"}, 127}};
    for (auto const& c : cases) {
        std::string out, err;
        EXPECT_EQ(JzProcess::system(c.argv, &out, &err), c.expected) << c.argv[0];
    }
    std::string out, err;
    errno = 0;
    EXPECT_EQ(JzProcess::system({Dir() + "/missing dir/prog"}, &out, &err), 127);  // one argument, blank kept
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(err.find("cannot execute"), std::string::npos);
    EXPECT_EQ(nuvsuite::ReadJournal("process", "JzProcess::system").back().args, Dir() + "/missing dir/prog");
    EXPECT_EQ(JzProcess::system(std::vector<std::string>{}, &out, &err), -1);
}

TEST_F(ProcessTest, OutputAndErrorAreCapturedTogetherWithoutDeadlock) {
    std::string out, err;
    // Several MiB on both streams: a runner reading one stream at a time would block.
    int rc = JzProcess::systemShell(
        "i=0; while [ $i -lt 40 ]; do head -c 65536 /dev/zero | tr '\\0' o; head -c 65536 /dev/zero | tr '\\0' e >&2;"
        " i=$((i+1)); done",
        &out, &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out.size(), 40u * 65536u);
    EXPECT_EQ(err.size(), 40u * 65536u);
    EXPECT_EQ(out.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(err.find_first_not_of('e'), std::string::npos);

    EXPECT_EQ(JzProcess::system("id -u", &out, &err), 0);
    EXPECT_EQ(out, std::to_string(getuid()) + "\n");
}

TEST_F(ProcessTest, AValueWithShellCharactersIsOneArgumentAndRunsNothing) {
    std::string marker1 = Dir() + "/x1", marker2 = Dir() + "/x2";
    std::string value = "/mnt/my data; touch " + marker1 + " $(touch " + marker2 + ") `touch " + marker2 + "`";
    std::string out, err;
    ASSERT_EQ(JzProcess::system({"/usr/bin/printf", "[%s]\\n", value}, &out, &err), 0);
    EXPECT_EQ(out, "[" + value + "]\n");
    EXPECT_FALSE(Exists(marker1));
    EXPECT_FALSE(Exists(marker2));

    // The command-line form splits into words but never hands them to a shell.
    std::string line = "/usr/bin/printf [%s] a;touch " + marker1 + " '$(touch " + marker2 + ")'";
    ASSERT_EQ(JzProcess::system(line.c_str(), &out, &err), 0);
    EXPECT_EQ(out, "[a;touch][" + marker1 + "][$(touch " + marker2 + ")]");
    EXPECT_FALSE(Exists(marker1));
    EXPECT_FALSE(Exists(marker2));
}

TEST_F(ProcessTest, CommandLineWords) {
    struct Case {
        char const* line;
        bool ok;
        std::vector<std::string> words;
    } const cases[] = {
        {"/usr/sbin/xfs_freeze -f /data", true, {"/usr/sbin/xfs_freeze", "-f", "/data"}},
        {"  id   oracle ", true, {"id", "oracle"}},
        {"a 'b c' \"d \\\"e\\\"\" f\\ g", true, {"a", "b c", "d \"e\"", "f g"}},
        {"a '' b", true, {"a", "", "b"}},
        {"x;y|z>w $HOME", true, {"x;y|z>w", "$HOME"}},
        {"a 'open", false, {}},
        {"a \"open", false, {}},
        {"a \\", false, {}},
        {"", true, {}},
    };
    for (auto const& c : cases) {
        std::vector<std::string> words;
        EXPECT_EQ(JzProcess::SplitCommandLine(c.line, &words), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(words, c.words) << c.line;
        }
    }
    std::string out, err;
    EXPECT_EQ(JzProcess::system("echo 'unterminated", &out, &err), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(ProcessTest, SubstitutedProgramRunsAndTheCallIsJournalled) {
    std::string record = Dir() + "/args";
    nuvsuite::SetSubstitution("/usr/sbin/xfs_freeze", RecorderScript(record));
    std::string out, err;
    ASSERT_EQ(JzProcess::system({"/usr/sbin/xfs_freeze", "-f", "/mnt/a b"}, &out, &err), 0);
    EXPECT_EQ(out, "recorded\n");
    EXPECT_EQ(Read(record), "-f\n/mnt/a b\n");

    auto journal = nuvsuite::ReadJournal("process", "JzProcess::system");
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back().args, std::string("/usr/sbin/xfs_freeze\x1f-f\x1f/mnt/a b"));
    EXPECT_EQ(journal.back().pid, getpid());

    // A program named without a path is looked up in PATH before substitution.
    nuvsuite::SetSubstitution("/usr/bin/id", RecorderScript(record));
    ASSERT_EQ(JzProcess::system("id oracle", &out, &err), 0);
    EXPECT_EQ(Read(record), "oracle\n");
}

TEST_F(ProcessTest, AFaultFailsTheCallWithoutRunningIt) {
    std::string record = Dir() + "/args";
    nuvsuite::SetSubstitution("/usr/sbin/xfs_freeze", RecorderScript(record));
    nuvsuite::AddFault("process", "JzProcess::system", 5, "freeze refused", 1, "/mnt/b");
    std::string out, err;
    EXPECT_EQ(JzProcess::system({"/usr/sbin/xfs_freeze", "-f", "/mnt/a"}, &out, &err), 0);  // pattern misses
    unlink(record.c_str());
    EXPECT_EQ(JzProcess::system({"/usr/sbin/xfs_freeze", "-f", "/mnt/b"}, &out, &err), 5);
    EXPECT_EQ(err, "freeze refused");
    EXPECT_FALSE(Exists(record));
    EXPECT_EQ(JzProcess::system({"/usr/sbin/xfs_freeze", "-f", "/mnt/b"}, &out, &err), 0);  // count used up
    EXPECT_TRUE(Exists(record));
    EXPECT_EQ(nuvsuite::ReadJournal("process", "JzProcess::system").size(), 3u);
}

// The program of a run with a start hook runs only on the caller's word, in a
// process group of its own, and never once the caller is gone.
TEST_F(ProcessTest, AProgramStartsOnlyOnItsCallersWord) {
    std::string const record = Dir() + "/args";
    nuvsuite::SetSubstitution("/usr/sbin/xfs_freeze", RecorderScript(record));
    std::string out, err;
    // Yes: the hook sees the child before the program replaced it.
    int seen = 0;
    std::string seenProgram;
    ASSERT_EQ(0, JzProcess::system({"/bin/sh", "-c", "cut -d' ' -f5 /proc/$$/stat"}, &out, &err, [&](int pid) {
        seen = pid;
        char exe[4096] = {};
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
        seenProgram = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
        return true;
    }));
    ASSERT_GT(seen, 0);
    EXPECT_EQ(std::to_string(seen) + "\n", out);  // its process group is its own
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(std::string(self), seenProgram);
    // No: nothing runs, and the call is journalled like any other.
    size_t const journalled = nuvsuite::ReadJournal("process", "JzProcess::system").size();
    EXPECT_EQ(-1, JzProcess::system({"/usr/sbin/xfs_freeze", "-f", "/mnt/a"}, &out, &err, [](int) { return false; }));
    EXPECT_EQ(ECANCELED, errno);
    EXPECT_FALSE(Exists(record));
    EXPECT_EQ(journalled + 1, nuvsuite::ReadJournal("process", "JzProcess::system").size());
    // The caller dies before its word: the program never runs.
    nuvtest::PipeSignal started;
    int const caller = nuvtest::StartChild([&]() -> int {
        std::string o, e;
        return JzProcess::system({"/usr/sbin/xfs_freeze", "-f", "/mnt/a"}, &o, &e, [&](int pid) {
            std::ofstream(Dir() + "/group") << pid;
            started.Send();
            kill(getpid(), SIGKILL);
            return true;
        });
    });
    started.CloseWrite();
    ASSERT_TRUE(started.Wait());
    EXPECT_EQ(128 + SIGKILL, nuvtest::WaitChild(caller));
    int const group = std::stoi(Read(Dir() + "/group"));
    for (int i = 0; i < 500 && JzProcess::GroupAlive(group); ++i) usleep(10000);
    EXPECT_FALSE(JzProcess::GroupAlive(group));
    EXPECT_FALSE(Exists(record));
}

// A group is alive while a member runs; members that ended unreaped do not count.
TEST_F(ProcessTest, GroupAliveCountsRunningMembersOnly) {
    struct Case {
        char const* name;
        bool exits;
    } const cases[] = {{"running", false}, {"ended, not reaped", true}};
    for (auto const& c : cases) {
        nuvtest::PipeSignal grouped;
        int const pid = nuvtest::StartChild([&]() -> int {
            setpgid(0, 0);
            grouped.Send();
            if (!c.exits) pause();
            return 0;
        });
        grouped.CloseWrite();
        ASSERT_TRUE(grouped.Wait()) << c.name;
        if (c.exits) {
            for (int i = 0; i < 500 && JzProcess::IsAlive(pid); ++i) usleep(10000);
            ASSERT_EQ(0, kill(pid, 0)) << c.name;  // still there, a zombie
        }
        EXPECT_EQ(!c.exits, JzProcess::GroupAlive(pid)) << c.name;
        if (!c.exits) kill(pid, SIGKILL);
        nuvtest::WaitChild(pid);
        EXPECT_FALSE(JzProcess::GroupAlive(pid)) << c.name;
    }
    EXPECT_FALSE(JzProcess::GroupAlive(0));
}

// A group recorded with its leader's start time is not the group that a later
// process given the same number leads.
TEST_F(ProcessTest, GroupAliveTellsTheRecordedLeaderFromALaterOne) {
    nuvtest::PipeSignal grouped;
    int const pid = nuvtest::StartChild([&]() -> int {
        setpgid(0, 0);
        grouped.Send();
        pause();
        return 0;
    });
    grouped.CloseWrite();
    ASSERT_TRUE(grouped.Wait());
    unsigned long long const start = JzProcess::StartTime(pid);
    ASSERT_GT(start, 0u);
    EXPECT_EQ(start, JzProcess::StartTime(pid));
    EXPECT_TRUE(JzProcess::GroupAlive(pid, start));
    EXPECT_FALSE(JzProcess::GroupAlive(pid, start - 1));  // recorded of an earlier process of that number
    EXPECT_TRUE(JzProcess::GroupAlive(pid));
    kill(pid, SIGKILL);
    nuvtest::WaitChild(pid);
    EXPECT_EQ(0u, JzProcess::StartTime(pid));
    EXPECT_FALSE(JzProcess::GroupAlive(pid, start));
}

// Entries of the program's environment are set over the inherited ones, in
// both forms; the caller's environment stays as it was.
TEST_F(ProcessTest, EnvironmentIsSetForTheProgramOnly) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    setenv("NUV_KEPT", "kept", 1);
    struct Case {
        char const* name;
        std::vector<std::string> environment;
        std::string expected;
    } const cases[] = {
        {"inherited", {}, "de_DE.UTF-8 kept -\n"},
        {"replaced", {"LC_ALL=C"}, "C kept -\n"},
        {"added", {"NUV_ADDED=a b", "LC_ALL=C"}, "C kept a b\n"},
    };
    std::vector<std::string> const argv{"/bin/sh", "-c", "echo \"$LC_ALL $NUV_KEPT ${NUV_ADDED:--}\""};
    for (auto const& c : cases) {
        std::string out, err;
        EXPECT_EQ(0, JzProcess::system(argv, &out, &err, 0, false, c.environment)) << c.name << ": " << err;
        EXPECT_EQ(c.expected, out) << c.name;
        EXPECT_EQ(0, JzProcess::system(argv, &out, &err, [](int) { return true; }, c.environment)) << c.name;
        EXPECT_EQ(c.expected, out) << c.name;
    }
    EXPECT_STREQ("de_DE.UTF-8", std::getenv("LC_ALL"));
    EXPECT_EQ(nullptr, std::getenv("NUV_ADDED"));
    unsetenv("LC_ALL");
    unsetenv("NUV_KEPT");
}

TEST_F(ProcessTest, TimeOutKillsTheProgramAndTheCallersErrnoIsKept) {
    std::string out, err;
    EXPECT_EQ(JzProcess::system({"/bin/sh", "-c", "echo started; sleep 30; echo never"}, &out, &err, 1),
              128 + 9);
    EXPECT_EQ(out, "started\n");

    errno = 4321;
    EXPECT_EQ(JzProcess::system({"/bin/false"}, &out, &err), 1);
    EXPECT_EQ(errno, 4321);
}

// A process counts as alive while it runs: a child that exited and is not
// reaped yet (a zombie still answers kill(pid, 0)) is gone, and so is a reaped one.
TEST(ProcessAlive, ZombiesAndReapedChildrenAreGone) {
    nuvtest::PipeSignal release;
    int const running = nuvtest::StartChild([&release] { return release.Wait() ? 0 : 1; });
    ASSERT_GT(running, 0);
    int const zombie = nuvtest::StartZombie();
    ASSERT_GT(zombie, 0);
    ASSERT_EQ(0, ::kill(zombie, 0)) << "the zombie still answers a signal of 0";

    errno = 77;
    EXPECT_TRUE(JzProcess::IsAlive(running));
    EXPECT_TRUE(JzProcess::IsAlive(getpid()));
    EXPECT_FALSE(JzProcess::IsAlive(zombie));
    EXPECT_FALSE(JzProcess::IsAlive(0));
    EXPECT_FALSE(JzProcess::IsAlive(-1));
    EXPECT_EQ(77, errno) << "the caller's errno is kept";

    release.Send();
    EXPECT_EQ(0, nuvtest::WaitChild(running));
    EXPECT_EQ(0, nuvtest::WaitChild(zombie));
    EXPECT_FALSE(JzProcess::IsAlive(running));
    EXPECT_FALSE(JzProcess::IsAlive(zombie));
}

}  // namespace
