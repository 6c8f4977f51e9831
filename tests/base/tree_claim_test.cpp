// Tree claims: what a killed restore left in its claimed tree is swept, by the
// next sweep of the suite and by the next restore's claim, and nothing else.
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/base/tree_claim.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <memory>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using nuvtest::Exists;
using nuvtest::MakeDir;
using nuvtest::ReadFile;
using nuvtest::WriteFile;

// The claim files of the state root.
int ClaimFiles() {
    int n = 0;
    DIR* d = opendir((nuvsuite::StatePath("locks") + "/claims").c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) n += std::string(e->d_name).find(".claim") != std::string::npos;
    closedir(d);
    return n;
}

// How the next look at the claims comes: the suite's sweep, or another
// restore claiming the same tree (and letting it go).
enum class Sweeper { Suite, NextRestore };

void SweepBy(Sweeper sweeper, std::string const& tree) {
    if (sweeper == Sweeper::Suite) {
        CFzError e = nuvbase::SweepAbandonedClaims();
        EXPECT_FALSE(e.IsError()) << e.AsString();
        return;
    }
    nuvbase::TreeClaim claim;
    std::string error;
    EXPECT_TRUE(claim.take(tree, "restore job 2", &error)) << error;
}

// A restore's process that claims `tree`, runs `write` and waits to be
// killed (SIGKILL once it signalled): its pid, or -1.
pid_t ClaimAndWrite(std::string const& tree, std::function<bool()> const& write) {
    nuvtest::PipeSignal ready;
    pid_t const child = nuvtest::StartChild([&] {
        nuvbase::TreeClaim claim;
        std::string error;
        if (!claim.take(tree, "restore job 7", &error) || !write()) return 1;
        ready.Send();
        for (;;) pause();
    });
    ready.CloseWrite();
    if (!ready.Wait()) {
        (void)nuvtest::WaitChild(child);
        return -1;
    }
    return child;
}

void Kill(pid_t child) {
    kill(child, SIGKILL);
    (void)nuvtest::WaitChild(child);
}

class TreeClaimTest : public nuvtest::SuiteTest {};

// What stands in a killed restore's tree, and whether the sweep keeps it.
enum class Kind { File, Fifo, Link };
enum class By { Killed, Live, Database };
struct EntryCase {
    char const* what;
    char const* dir;     // below the tree ("" the tree itself)
    Kind kind;
    By by;               // the killed restore's temporary name, a live writer's, or the literal `name`
    char const* name;    // the placed name (a temporary name is made of it), or the literal name
    char const* suffix;  // after the temporary name (no longer one)
    bool kept;
};

std::string const kLong(200, 'n');

EntryCase const kEntries[] = {
    {"killed restore's file in the tree", "", Kind::File, By::Killed, "PG_VERSION", "", false},
    {"killed restore's file in a 0700 directory deep down", "base/5", Kind::File, By::Killed, "16384", "", false},
    {"killed restore's FIFO", "base", Kind::Fifo, By::Killed, "fifo", "", false},
    {"killed restore's link to a file outside (removed, not followed)", "", Kind::Link, By::Killed, "current", "",
     false},
    {"killed restore's name too long for a name (a digest stands in)", "long", Kind::File, By::Killed, nullptr, "",
     false},
    {"killed restore's name behind a link out of the tree", "out", Kind::File, By::Killed, "elsewhere", "", true},
    {"killed restore's tag in a name that is no temporary name", "", Kind::File, By::Killed, "conf", ".old", true},
    {"live writer's file in the same tree", "base", Kind::File, By::Live, "1259", "", true},
    {"the database's file that ends like a temporary name", "base", Kind::File, By::Database, ".x.1-1-1.nuvrst", "",
     true},
};

class SweepTest : public TreeClaimTest, public ::testing::WithParamInterface<Sweeper> {};

TEST_P(SweepTest, TakesAKilledRestoresTemporaryNamesAndNothingElse) {
    std::string const tree = MakeDir(m_root.base() + "/pgdata");
    std::string const outside = MakeDir(m_root.base() + "/outside");
    WriteFile(outside + "/secret", "not the restore's\n");
    for (char const* dir : {"base", "base/5"}) ASSERT_EQ(0, chmod(MakeDir(tree + "/" + dir).c_str(), 0700));
    std::string longDir = tree + "/long";
    MakeDir(longDir);
    for (int i = 0; i < 8; ++i) longDir = MakeDir(longDir + "/" + std::string(200, static_cast<char>('a' + i)));
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/out").c_str()));
    auto const dirOf = [&](EntryCase const& c) {
        std::string const dir = std::string(c.dir) == "long" ? longDir : nuvsuite::JoinPath(tree, c.dir);
        return std::string(c.dir) == "out" ? outside : dir;
    };
    // Each entry's path, as its writer made it.
    std::string const made = m_root.base() + "/made";
    auto const place = [&](EntryCase const& c) {
        std::string const name = c.by == By::Database ? c.name : nuvbase::ReplacementName(c.name ? c.name : kLong + kLong) + c.suffix;
        std::string const path = dirOf(c) + "/" + name;
        bool const ok = c.kind == Kind::Fifo   ? mkfifo(path.c_str(), 0600) == 0
                        : c.kind == Kind::Link ? symlink((outside + "/secret").c_str(), path.c_str()) == 0
                                               : (WriteFile(path, "half\n"), Exists(path));
        std::ofstream(made, std::ios::app) << c.what << '\t' << path << '\n';
        return ok;
    };
    pid_t const killed = ClaimAndWrite(tree, [&] {
        for (EntryCase const& c : kEntries)
            if (c.by == By::Killed && !place(c)) return false;
        return true;
    });
    ASSERT_GT(killed, 0);
    for (EntryCase const& c : kEntries) {
        if (c.by != By::Killed) ASSERT_TRUE(place(c)) << c.what;
    }
    Kill(killed);
    ASSERT_EQ(1, ClaimFiles());

    SweepBy(GetParam(), tree);
    std::ifstream list(made);
    int checked = 0;
    for (std::string line; std::getline(list, line); ++checked) {
        std::string const what = line.substr(0, line.find('\t')), path = line.substr(line.find('\t') + 1);
        bool kept = false;
        for (EntryCase const& c : kEntries)
            if (what == c.what) kept = c.kept;
        struct stat st;
        EXPECT_EQ(kept, lstat(path.c_str(), &st) == 0) << what;
    }
    EXPECT_EQ(static_cast<int>(sizeof kEntries / sizeof kEntries[0]), checked);
    EXPECT_EQ("not the restore's\n", ReadFile(outside + "/secret"));
    EXPECT_EQ(0, ClaimFiles()) << "the killed restore's claim goes with its files";
}

INSTANTIATE_TEST_SUITE_P(Sweepers, SweepTest, ::testing::Values(Sweeper::Suite, Sweeper::NextRestore),
                         [](::testing::TestParamInfo<Sweeper> const& info) {
                             return info.param == Sweeper::Suite ? "SuiteSweep" : "NextRestore";
                         });

// Who held a claim, and whether the sweep takes its temporary file and claim.
enum class Holder { Running, Killed, PidTakenAgain, KilledAndTreeMadeALink };
struct HolderCase {
    char const* what;
    Holder holder;
    bool swept;
};

class HolderTest : public TreeClaimTest, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(HolderTest, OnlyAGoneHoldersFilesAreSwept) {
    HolderCase const& c = GetParam();
    std::string const tree = MakeDir(m_root.base() + "/dest");
    std::string const file = m_root.base() + "/file";  // names the temporary file, written by its holder
    auto const write = [&] {
        std::string const path = tree + "/" + nuvbase::ReplacementName("f");
        WriteFile(path, "half\n");
        WriteFile(file, path);
        return true;
    };
    pid_t child = -1;
    if (c.holder == Holder::PidTakenAgain) {
        // A claim of this process's pid at another start time, let go: the
        // number names another process now. Its files carry that start.
        unsigned long long const start = JzProcess::StartTime(getpid()) + 1;
        char tag[64];
        std::snprintf(tag, sizeof tag, "%d-%llx-1", static_cast<int>(getpid()), start);
        std::string const path = tree + "/.f." + tag + ".nuvrst";
        WriteFile(path, "half\n");
        WriteFile(file, path);
        MakeDir(nuvsuite::StatePath("locks") + "/claims");
        WriteFile(nuvsuite::StatePath("locks") + "/claims/" + std::to_string(getpid()) + "-1.claim",
                  std::to_string(getpid()) + " " + std::to_string(start) + "\n" + tree + "\nrestore job 7");
    } else {
        child = ClaimAndWrite(tree, write);
        ASSERT_GT(child, 0);
        if (c.holder != Holder::Running) Kill(child);
    }
    // This process writes in the same tree meanwhile.
    std::string const mine = tree + "/" + nuvbase::ReplacementName("g");
    WriteFile(mine, "mine\n");
    std::string const path = ReadFile(file);
    std::string shown = path;
    if (c.holder == Holder::KilledAndTreeMadeALink) {
        // The tree moved away and a link took its place: the sweep does not follow it.
        std::string const moved = m_root.base() + "/moved";
        ASSERT_EQ(0, rename(tree.c_str(), moved.c_str()));
        ASSERT_EQ(0, symlink(moved.c_str(), tree.c_str()));
        shown = moved + path.substr(tree.size());
    }
    ASSERT_EQ(1, ClaimFiles());

    int swept = -1;
    CFzError e = nuvbase::SweepAbandonedClaims(&swept);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(c.swept ? 1 : 0, swept);
    EXPECT_EQ(!c.swept || c.holder == Holder::KilledAndTreeMadeALink, Exists(shown));
    EXPECT_EQ(c.holder == Holder::Running ? 1 : 0, ClaimFiles());
    EXPECT_EQ("mine\n", ReadFile(c.holder == Holder::KilledAndTreeMadeALink ? m_root.base() + "/moved" + mine.substr(tree.size()) : mine));
    if (child > 0 && c.holder == Holder::Running) Kill(child);
}

void PrintTo(HolderCase const& c, std::ostream* os) { *os << c.what; }

// One claim of several trees (a batch writing side by side): one claim file;
// while its holder runs, a restore of another process into any of its trees,
// below or above one, is refused naming that tree; once the holder is
// killed, the sweep takes its temporary names from every tree, then the claim.
TEST_F(TreeClaimTest, OneClaimOfSeveralTreesIsOneFileAndIsSweptWhole) {
    std::vector<std::string> const trees = {MakeDir(m_root.base() + "/one"), MakeDir(m_root.base() + "/two"),
                                            MakeDir(m_root.base() + "/three")};
    MakeDir(trees[1] + "/below");
    std::string const file = m_root.base() + "/file";  // the temporary names, as their holder wrote them
    nuvtest::PipeSignal ready;
    pid_t const child = nuvtest::StartChild([&] {
        nuvbase::TreeClaim claim;
        std::string error;
        for (std::string const& tree : {trees[0], trees[1], trees[2], trees[1] + "/below"})
            if (!claim.take(tree, "restore job 7", &error)) return 1;
        if (claim.paths() != trees) return 1;  // a tree below one it holds is held already
        std::string names;
        for (std::string const& tree : trees) {
            std::string const path = tree + "/" + nuvbase::ReplacementName("f");
            WriteFile(path, "half\n");
            names += path + "\n";
        }
        WriteFile(file, names);
        ready.Send();
        for (;;) pause();
    });
    ready.CloseWrite();
    ASSERT_TRUE(ready.Wait());
    EXPECT_EQ(1, ClaimFiles());
    for (std::string const& tree : {trees[0], trees[1] + "/below", trees[2], m_root.base()}) {
        nuvbase::TreeClaim other;
        std::string error;
        EXPECT_FALSE(other.take(tree, "restore job 8", &error)) << tree;
        EXPECT_NE(std::string::npos, error.find("restore job 7")) << error;
    }
    Kill(child);
    int swept = -1;
    CFzError e = nuvbase::SweepAbandonedClaims(&swept);
    EXPECT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(3, swept);
    std::istringstream names(ReadFile(file));
    for (std::string path; std::getline(names, path);) EXPECT_FALSE(Exists(path)) << path;
    EXPECT_EQ(0, ClaimFiles());
}

INSTANTIATE_TEST_SUITE_P(Holders, HolderTest,
                         ::testing::Values(HolderCase{"a running restore", Holder::Running, false},
                                           HolderCase{"a killed restore", Holder::Killed, true},
                                           HolderCase{"a pid taken again by another process", Holder::PidTakenAgain,
                                                      true},
                                           HolderCase{"a killed restore whose tree is now a link",
                                                      Holder::KilledAndTreeMadeALink, false}));

}  // namespace

namespace {

// A claim taken by this process, and who claims a related tree next: this
// process's claims never exclude each other; another process (a forked
// child too, which inherits what this process knows of its claims) is
// refused while the claim is held.
struct NextClaimCase {
    char const* what;
    char const* next;   // the tree claimed next, below the first ("" the same)
    bool child;         // claimed by a forked child
    bool released;      // the first claim let go before
    bool taken;
};

void PrintTo(NextClaimCase const& c, std::ostream* os) { *os << c.what; }

class NextClaimTest : public TreeClaimTest, public ::testing::WithParamInterface<NextClaimCase> {};

TEST_P(NextClaimTest, OnlyThisProcesssOwnClaimsArePassedBy) {
    NextClaimCase const& c = GetParam();
    std::string const tree = MakeDir(m_root.base() + "/dest");
    std::string const next = c.next[0] == '\0' ? tree : MakeDir(tree + "/" + c.next);
    auto first = std::make_unique<nuvbase::TreeClaim>();
    std::string error;
    ASSERT_TRUE(first->take(tree, "restore job 1", &error)) << error;
    if (c.released) first.reset();
    bool taken = false;
    if (c.child) {
        pid_t const child = nuvtest::StartChild([&] {
            nuvbase::TreeClaim claim;
            std::string why;
            return claim.take(next, "restore job 2", &why) ? 0 : 3;
        });
        taken = nuvtest::WaitChild(child) == 0;
    } else {
        nuvbase::TreeClaim claim;
        taken = claim.take(next, "restore job 1", &error);
    }
    EXPECT_EQ(c.taken, taken) << error;
    EXPECT_EQ(c.released ? 0 : 1, ClaimFiles()) << "a claim goes when it is let go";
}

INSTANTIATE_TEST_SUITE_P(
    Claims, NextClaimTest,
    ::testing::Values(NextClaimCase{"this process, the same tree", "", false, false, true},
                      NextClaimCase{"this process, a tree below", "base", false, false, true},
                      NextClaimCase{"a forked child, the same tree", "", true, false, false},
                      NextClaimCase{"a forked child, a tree below", "base", true, false, false},
                      NextClaimCase{"a forked child, once the claim was let go", "", true, true, true}),
    [](auto const& info) {
        std::string name;
        for (char const* p = info.param.what; *p != '\0'; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        return name;
    });

}  // namespace
