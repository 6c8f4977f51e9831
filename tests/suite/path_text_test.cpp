// The one path join and the one walk over a path's components, on the edge
// cases every caller meets: the root, runs of "/", trailing "/", empty texts.
#include "nuvdbsnap/platform/suite/path_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(JoinPathTest, JoinsWithExactlyOneSlash) {
    struct Case {
        char const* dir;
        char const* name;
        char const* joined;
    } const cases[] = {
        {"/a", "b", "/a/b"},
        {"/a/", "b", "/a/b"},
        {"/a//", "b", "/a/b"},
        {"/a", "/b", "/a/b"},
        {"/a/", "//b/c", "/a/b/c"},
        {"/", "b", "/b"},
        {"//", "b", "/b"},
        {"/", "/", "/"},
        {"/a", "/", "/a/"},       // a name of slashes only: the folder itself, as a folder
        {"a", "b", "a/b"},        // relative stays relative
        {"", "b", "b"},           // no folder: the name as it is
        {"", "/b", "/b"},
        {"/a//", "", "/a//"},     // no name: the folder as it is
        {"", "", ""},
        {"/a", "b/", "/a/b/"},    // the name's own trailing "/" is kept
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.joined, nuvsuite::JoinPath(c.dir, c.name)) << "[" << c.dir << "] + [" << c.name << "]";
}

TEST(PathComponentsTest, WalksTheNonEmptyComponentsWithThePathUpToEach) {
    struct Case {
        char const* path;
        std::vector<std::string> names;
        std::vector<std::string> upTo;
        std::vector<bool> last;
    } const cases[] = {
        {"/a/b/c", {"a", "b", "c"}, {"/a", "/a/b", "/a/b/c"}, {false, false, true}},
        {"/a//b/", {"a", "b"}, {"/a", "/a//b"}, {false, true}},
        {"//a", {"a"}, {"//a"}, {true}},
        {"a/b", {"a", "b"}, {"a", "a/b"}, {false, true}},
        {"/./..//x", {".", "..", "x"}, {"/.", "/./..", "/./..//x"}, {false, false, true}},
        {"/", {}, {}, {}},
        {"//", {}, {}, {}},
        {"", {}, {}, {}},
        {"name", {"name"}, {"name"}, {true}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::string("[") + c.path + "]");
        std::vector<std::string> names, upTo;
        std::vector<bool> last;
        for (nuvsuite::PathStep const step : nuvsuite::PathComponents(c.path)) {
            names.emplace_back(step.name);
            upTo.emplace_back(step.upTo);
            last.push_back(step.last);
        }
        EXPECT_EQ(c.names, names);
        EXPECT_EQ(c.upTo, upTo);
        EXPECT_EQ(c.last, last);
    }
}

// The walk keeps its own copy: a temporary path walked in a range-for stays
// alive for the whole loop (a sanitized build catches a dangling view).
TEST(PathComponentsTest, ATemporaryPathMayBeWalked) {
    std::string const longPath = "/" + std::string(300, 'd') + "/" + std::string(300, 'f');
    std::vector<std::string> names;
    for (nuvsuite::PathStep const step : nuvsuite::PathComponents(std::string(longPath)))
        names.emplace_back(step.name);
    EXPECT_EQ((std::vector<std::string>{std::string(300, 'd'), std::string(300, 'f')}), names);
}

TEST(NormalisePathTest, CollapsesSlashesAndDropsDots) {
    struct Case {
        char const* path;
        char const* normal;
    } const cases[] = {
        {"/a//b/", "/a/b"}, {"/a/./b/.", "/a/b"}, {"/a/../b", "/a/../b"}, {"/", "/"},   {"//", "/"},
        {"/.", "/"},        {"", ""},             {"./", "."},            {"a//b/", "a/b"}, {"./a", "a"},
    };
    for (Case const& c : cases) EXPECT_EQ(c.normal, nuvsuite::NormalisePath(c.path)) << "[" << c.path << "]";
}

TEST(PathHoldsTest, ContainmentIsByWholeComponents) {
    struct Case {
        char const* root;
        char const* path;
        bool holds;
    } const cases[] = {
        {"/a", "/a", true},   {"/a", "/a/b", true},  {"/a/", "/a//b/", true}, {"/a", "/ab", false},
        {"/a/b", "/a", false}, {"/", "/x", true},     {"/", "rel", false},      {"/a", "/a/./b", true},
        {"", "/a", false},     {"/a", "", false},
    };
    for (auto const& c : cases) EXPECT_EQ(c.holds, nuvsuite::PathHolds(c.root, c.path)) << c.root << " " << c.path;
}

}  // namespace
