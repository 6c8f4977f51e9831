// Strings, owned buffers and path helpers.
#include "nuvdbsnap/foundation/memory.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CFzStringTest, CStrIsNeverNullAndHoldsTheText) {
    std::string longText(5000, 'q');
    for (std::string const& text : {std::string(), std::string("a"), std::string("/data/db1"), longText}) {
        CFzString s(text);
        ASSERT_NE(s.c_str(), nullptr) << text.size();
        EXPECT_EQ(std::string(s.c_str()), text);
        EXPECT_EQ(static_cast<char const*>(s), s.c_str());
        EXPECT_EQ(s.length(), text.size());

        CFzString copy(s);
        CFzString moved(std::move(copy));
        ASSERT_NE(copy.c_str(), nullptr);   // a moved-from string is empty, still ""
        EXPECT_STREQ(copy.c_str(), "");
        EXPECT_EQ(moved.str(), text);
    }
    CFzString fromNull(static_cast<char const*>(nullptr));
    EXPECT_STREQ(fromNull.c_str(), "");
}

TEST(CFzStringTest, AssignmentFromItsOwnTextIsSafe) {
    CFzString s("/u01/app/oracle");
    s = s.c_str() + 4;
    EXPECT_STREQ(s.c_str(), "/app/oracle");
    CFzString& same = s;
    s = same;
    EXPECT_STREQ(s.c_str(), "/app/oracle");
}

TEST(CAutoMemoryTest, ReleaseClearsAndABorrowedBufferIsNeverFreed) {
    CAutoMemory<char> owned(16);
    ASSERT_NE(owned.Ptr_const(), nullptr);
    owned.Release();
    EXPECT_EQ(owned.Ptr_const(), nullptr);
    EXPECT_EQ(owned.Size(), 0u);
    owned.Release();  // a second release finds nothing

    char stackBuffer[8] = "abc";
    {
        CAutoMemory<char> borrowed;
        borrowed.Attach(stackBuffer, sizeof stackBuffer, false);
        EXPECT_EQ(borrowed.Ptr_const(), stackBuffer);
    }  // freeing a stack buffer here would be reported by the address sanitizer
    EXPECT_STREQ(stackBuffer, "abc");

    CAutoMemory<char> zeroSize;
    zeroSize.Attach(stackBuffer, 0, false);
    EXPECT_EQ(zeroSize.Ptr_const(), nullptr);  // size 0: not to be read
}

// Every road that drops a borrowed buffer leaves it to its owner: an explicit
// Release, a move into the holder, a new allocation or attachment. A free of the
// stack buffer on any of them would be reported by the address sanitizer.
TEST(CAutoMemoryTest, NoRoadFreesABorrowedBuffer) {
    char stackBuffer[8] = "abc";
    auto borrow = [&stackBuffer](CAutoMemory<char>& m) { m.Attach(stackBuffer, sizeof stackBuffer, false); };
    struct Case {
        char const* road;
        void (*drop)(CAutoMemory<char>&);
    } const cases[] = {
        {"Release", [](CAutoMemory<char>& m) { m.Release(); }},
        {"move assignment", [](CAutoMemory<char>& m) { m = CAutoMemory<char>(4); }},
        {"Allocate", [](CAutoMemory<char>& m) { m.Allocate(4); }},
        {"Attach", [](CAutoMemory<char>& m) { m.Attach(new char[4](), 4, true); }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.road);
        {
            CAutoMemory<char> holder;
            borrow(holder);
            c.drop(holder);
            EXPECT_NE(holder.Ptr_const(), stackBuffer);
            if (holder.Ptr_const() != nullptr) {
                EXPECT_TRUE(holder.Owns());  // what it holds now is its own, freed with it
            }
        }
        EXPECT_STREQ(stackBuffer, "abc");
    }

    // Moving a borrowed buffer out hands the borrowing on, never ownership.
    CAutoMemory<char> first;
    borrow(first);
    CAutoMemory<char> second(std::move(first));
    EXPECT_EQ(second.Ptr_const(), stackBuffer);
    EXPECT_FALSE(second.Owns());
    CAutoMemory<char> third(8);
    third = std::move(second);
    EXPECT_EQ(third.Ptr_const(), stackBuffer);
    EXPECT_FALSE(third.Owns());
}

TEST(StringConcat, AppendsTextsAndNumbers) {
    std::string s = "x";
    EXPECT_EQ(s + -5, "x-5");
    EXPECT_EQ(s + 0, "x0");
    EXPECT_EQ(s + static_cast<char const*>(nullptr), "x");
    EXPECT_EQ(s + "yz", "xyz");
    EXPECT_EQ(jzcast::lld(static_cast<unsigned long>(7)), 7LL);
}

TEST(FXStringTest, TrimSplitAndRemoveRight) {
    struct Case {
        char const* in;
        char const* suffix;
        char const* out;
    } const removeRight[] = {{"/a/b//", "/", "/a/b"}, {"/a", "/", "/a"}, {"abab", "ab", ""}, {"x", "", "x"}};
    for (auto const& c : removeRight) {
        std::string s = c.in;
        FXString::RemoveRight(s, c.suffix);
        EXPECT_EQ(s, c.out) << c.in;
    }
    std::string t = " \t/path/\r\n";
    FXString::Trim(t, " \t\n\r");
    EXPECT_EQ(t, "/path/");
    FXString::TrimRight(t, "/\\");
    EXPECT_EQ(t, "/path");
    EXPECT_EQ(FXString::Split("orcl,xe,", ","), (std::vector<std::string>{"orcl", "xe"}));
    EXPECT_EQ(FXString::Split("a,,b", ",", true), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(FXString::Format("%s.%lld", "/p", 12LL), "/p.12");
}

TEST(FXPathTest, RemoveTrailingDelimiterNeverEmptiesARoot) {
    struct Case {
        char const* in;
        char const* out;
    } const cases[] = {{"/", "/"}, {"//", "/"}, {"/a/", "/a"}, {"/a//", "/a"}, {"/a", "/a"}, {"a/", "a"}, {"", ""}};
    for (auto const& c : cases) {
        std::string s = c.in;
        CFzError e = FXPath::RemoveTrailingDelimiter(s);
        EXPECT_FALSE(e.IsError());
        EXPECT_EQ(s, c.out) << "[" << c.in << "]";
    }
}

TEST(FXPathTest, AppendJoinsWithOneDelimiter) {
    struct Case {
        char const* path;
        char const* component;
        char const* out;
    } const cases[] = {{"/root", "JZ_JobResults", "/root/JZ_JobResults"},
                       {"/root/", "2", "/root/2"},
                       {"/root", "/0", "/root/0"},
                       {"/", "x", "/x"},
                       {"", "x", "x"},
                       {"/root", "", "/root"},
                       {"/root//", "//x", "/root/x"}};
    for (auto const& c : cases) {
        std::string s = c.path;
        EXPECT_FALSE(FXPath::Append(s, c.component).IsError());
        EXPECT_EQ(s, c.out);
        EXPECT_STREQ(CFzPath::Append(c.path, c.component).c_str(), c.out);
    }
}

TEST(FXPathTest, SplitParentPath) {
    struct Case {
        char const* path;
        char const* parent;
        char const* name;
    } const cases[] = {{"/a/b", "/a", "b"}, {"/a/b/", "/a", "b"}, {"/a", "/", "a"}, {"a", "", "a"}, {"/", "/", ""}};
    for (auto const& c : cases) {
        std::string parent = "?", name = "?";
        EXPECT_FALSE(FXPath::SplitParentPath(c.path, parent, name).IsError());
        EXPECT_EQ(parent, c.parent) << c.path;
        EXPECT_EQ(name, c.name) << c.path;
    }
    std::string p, n;
    EXPECT_TRUE(FXPath::SplitParentPath("", p, n).IsError());
}

TEST(CFzPathTest, BaseNameParentAndRoot) {
    struct Case {
        char const* path;
        char const* base;
        char const* parent;
    } const cases[] = {{"/u01/data/f1.dbf", "f1.dbf", "/u01/data"},
                       {"/u01/data/", "data", "/u01"},
                       {"/f", "f", "/"},
                       {"f", "f", ""},
                       {"/", "/", ""},
                       {"", "", ""}};
    for (auto const& c : cases) {
        EXPECT_STREQ(CFzPath::GetBaseName(c.path).c_str(), c.base) << c.path;
        EXPECT_STREQ(CFzPath::GetParent(c.path).c_str(), c.parent) << c.path;
    }
    EXPECT_TRUE(CFzPath::IsRoot("/"));
    EXPECT_TRUE(CFzPath::IsRoot("//"));
    EXPECT_FALSE(CFzPath::IsRoot("/a"));
    EXPECT_FALSE(CFzPath::IsRoot(""));
    EXPECT_FALSE(CFzPath::IsRoot(nullptr));
}

TEST(CFzPathTest, IsDirectoryReportsErrnoAndPath) {
    bool isDir = true;
    CFzError e = CFzPath::IsDirectory("/nonexistent-for-test/x", isDir);
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
    EXPECT_NE(e.AsString().find("/nonexistent-for-test/x"), std::string::npos);
    EXPECT_FALSE(isDir);
    EXPECT_FALSE(CFzPath::IsDirectory("/", isDir).IsError());
    EXPECT_TRUE(isDir);
    EXPECT_EQ(CFzPath::Exists("/"), 1);
    EXPECT_EQ(CFzPath::Exists("/nonexistent-for-test"), 0);
}

}  // namespace
