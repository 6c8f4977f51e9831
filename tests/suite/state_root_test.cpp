// Where the state root lies, and the directories under it.
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

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

}  // namespace
