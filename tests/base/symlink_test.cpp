// The symbolic-link service.
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SymlinkTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        char* real = realpath(m_root.base().c_str(), nullptr);
        m_base = real;
        free(real);
        ASSERT_EQ(0, mkdir((m_base + "/real").c_str(), 0755));
        ASSERT_EQ(0, symlink((m_base + "/real").c_str(), (m_base + "/link").c_str()));
    }
    std::string m_base;
};

TEST_F(SymlinkTest, ResolvesLinksOfExistingAncestorsAndKeepsTheRest) {
    std::vector<std::string> visited;
    struct Case {
        std::string path;
        bool ok;
        std::string physical;
    };
    Case const cases[] = {
        {m_base + "/link", true, m_base + "/real"},
        {m_base + "/link/missing/f", true, m_base + "/real/missing/f"},
        {m_base + "/link/./f", true, m_base + "/real/f"},
        {"relative/f", false, ""},
        {"", false, ""},
    };
    for (Case const& c : cases) {
        std::string physical;
        EXPECT_EQ(c.ok, UnixSymbolicLink::getPhysicalPath(c.path, physical, visited, true, true)) << c.path;
        if (c.ok) {
            EXPECT_EQ(c.physical, physical);
        }
    }
    ASSERT_EQ(0, symlink((m_base + "/loop").c_str(), (m_base + "/loop").c_str()));
    std::string physical;
    EXPECT_FALSE(UnixSymbolicLink::getPhysicalPath(m_base + "/loop/f", physical, visited, true, true));
}

TEST_F(SymlinkTest, TranslatesByTheLongestComponentPrefixFirst) {
    std::map<std::string, std::string> map{{"/src", "/elsewhere"}, {"/src/db/", m_base + "/link/"}};
    std::string physical;
    ASSERT_TRUE(UnixSymbolicLink::getPhysicalPath("/src/db/f", physical, map, 5, 2));
    EXPECT_EQ(m_base + "/real/f", physical);
    ASSERT_TRUE(UnixSymbolicLink::getPhysicalPath("/src/dbx/f", physical, map, 5, 2));
    EXPECT_EQ("/elsewhere/dbx/f", physical);
}

TEST_F(SymlinkTest, ObeysTheFaultTable) {
    nuvsuite::AddFault("symlink", "UnixSymbolicLink::getPhysicalPath", 5, "no links today", -1);
    std::vector<std::string> visited;
    std::string physical;
    EXPECT_FALSE(UnixSymbolicLink::getPhysicalPath(m_base + "/link", physical, visited, true, true));
}

}  // namespace
