// Where the state root lies, and the directories under it.
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace {

bool IsDirectory(std::string const& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class StateRootTest : public nuvtest::SuiteTest {};

TEST_F(StateRootTest, RootComesFromTheEnvironmentInOrder) {
    // Every path below lies under the test's temporary directory; null: unset.
    struct Case {
        char const* name;
        char const* suiteRoot;
        char const* xdg;
        char const* expected;
    };
    Case const cases[] = {
        {"suite root wins", "/x", "/y", "/x"},
        {"trailing slashes dropped", "/x//", nullptr, "/x"},
        {"xdg state home", nullptr, "/y", "/y/nuvsuite"},
        {"empty xdg ignored", nullptr, "", "/home/.local/state/nuvsuite"},
        {"home", nullptr, nullptr, "/home/.local/state/nuvsuite"},
    };
    std::string const b = m_root.base();
    std::string const oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    auto put = [&b](char const* name, char const* value) {
        if (value == nullptr) unsetenv(name);
        else setenv(name, *value ? (b + value).c_str() : "", 1);
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        put("JZ_SUITE_ROOT", c.suiteRoot);
        put("XDG_STATE_HOME", c.xdg);
        put("HOME", "/home");
        std::string const expected = b + c.expected;
        EXPECT_EQ(nuvsuite::StateRootPath(), expected);
        EXPECT_TRUE(IsDirectory(expected));
        EXPECT_EQ(nuvsuite::CataloguePath(), expected + "/catalogue.db");
    }
    setenv("HOME", oldHome.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
}

// A relative root lies below the working directory, "/" among them.
TEST_F(StateRootTest, ARelativeRootIsMadeAbsolute) {
    std::string const b = m_root.base();
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    struct Case {
        std::string dir;       // the working directory
        std::string relative;  // JZ_SUITE_ROOT
    } const cases[] = {{b, "rel"}, {b, "./dot"}, {"/", b.substr(1) + "/under-slash"}};
    for (Case const& c : cases) {
        SCOPED_TRACE(c.dir + " " + c.relative);
        ASSERT_EQ(0, chdir(c.dir.c_str()));
        setenv("JZ_SUITE_ROOT", c.relative.c_str(), 1);
        std::string const root = nuvsuite::StateRootPath();
        EXPECT_EQ(c.dir == "/" ? "/" + c.relative : c.dir + "/" + c.relative, root);
        EXPECT_TRUE(IsDirectory(root));
    }
    ASSERT_EQ(0, chdir(cwd));
    setenv("JZ_SUITE_ROOT", m_root.path().c_str(), 1);
}

TEST_F(StateRootTest, StatePathsAreMadeAndTheCatalogueLiesInTheRoot) {
    for (char const* sub : {"registry", "jobresults", "temp", "basehome", "logs", "locks", "snapshots", "mounts"}) {
        SCOPED_TRACE(sub);
        std::string path = nuvsuite::StatePath(sub);
        EXPECT_EQ(path, m_root.path() + "/" + sub);
        EXPECT_TRUE(IsDirectory(path));
    }
    EXPECT_EQ(JobResultsDirectory(42),
              m_root.path() + "/jobresults/JZ_JobResults/2/0/42");
    EXPECT_FALSE(IsDirectory(JobResultsDirectory(42)));
    std::string made;
    EXPECT_FALSE(MakeJobResultsDirectory(42, &made).IsError());
    EXPECT_TRUE(IsDirectory(made));
    EXPECT_EQ(nuvsuite::Catalogue::Instance().path(), m_root.path() + "/catalogue.db");
    EXPECT_TRUE(IsDirectory(m_root.path()));
}

// A restore may not write into the suite's own state: the root itself and
// each of its entries but volumes/ (declared volumes lie there) and folders
// the suite does not know.
TEST(SuiteStateInTest, NamesTheEntryOfTheSuitesOwnStateAPathLiesIn) {
    struct Case {
        char const* root;
        char const* path;
        char const* refused;  // "" where the path is no state of the suite
    } const cases[] = {
        {"/st", "/st", "/st"},
        {"/st", "/st/", "/st"},
        {"/st", "/st/catalogue.db", "/st/catalogue.db"},
        {"/st", "/st/catalogue.db-wal", "/st/catalogue.db-wal"},
        {"/st", "/st/faults.stamp", "/st/faults.stamp"},
        {"/st", "/st/pool.img", "/st/pool.img"},  // the pool's loop image
        {"/st", "/st/pool/images/a.img", "/st/pool"},
        {"/st", "/st/snapshots/12/base", "/st/snapshots"},
        {"/st", "/st//temp//x", "/st/temp"},
        {"/st", "/st/./jobresults/r", "/st/jobresults"},
        {"/st/", "/st/locks/a.lck", "/st/locks"},
        {"/st", "/st/volumes/data/x", ""},
        {"/st", "/st/pgsample/restored", ""},
        {"/st", "/st/registryX", ""},
        {"/st", "/state/registry", ""},
        {"/st", "/elsewhere", ""},
        {"", "/st/registry", ""},
        {"/", "/registry/x", "/registry"},
        {"/", "/data/x", ""},
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.refused, nuvsuite::SuiteStateIn(c.path, c.root)) << "[" << c.path << "] in [" << c.root << "]";
}

// The path is resolved as far as it exists: a link elsewhere into the root's
// snapshot folder leads into the suite's state, a missing tail below it too.
TEST_F(StateRootTest, SuiteStateHoldingFollowsLinksIntoTheRoot) {
    std::string const snapshots = nuvsuite::StatePath("snapshots");
    std::string const real = nuvsuite::ResolvedStateRoot();
    ASSERT_FALSE(real.empty());
    std::string const link = m_root.base() + "/into-snapshots";
    ASSERT_EQ(0, symlink(snapshots.c_str(), link.c_str()));
    EXPECT_EQ(real + "/snapshots", nuvsuite::SuiteStateHolding(link + "/12/not/made/yet"));
    EXPECT_EQ(real, nuvsuite::SuiteStateHolding(m_root.path() + "/"));
    EXPECT_EQ("", nuvsuite::SuiteStateHolding(m_root.path() + "/volumes/v/restored"));
    EXPECT_EQ("", nuvsuite::SuiteStateHolding(m_root.base() + "/plain/file"));
}

}  // namespace
