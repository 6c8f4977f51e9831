// The error value, its makers and the replication exception.
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/suite/error_detail.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Maker {
    char const* name;
    std::function<CFzError(int)> make;
    std::function<bool(CFzError const&, int)> is;
};

std::vector<Maker> Makers() {
    return {
        {"Win32", [](int n) { return FXErrorUtil::ErrorWin32(FZ_LOC, static_cast<unsigned>(n)); },
         [](CFzError const& e, int n) { return FXErrorUtil::IsWin32(e, static_cast<unsigned>(n)); }},
        {"Win32Text", [](int n) { return FXErrorUtil::ErrorWin32(FZ_LOC, static_cast<unsigned>(n), "t %d", n); },
         [](CFzError const& e, int n) { return FXErrorUtil::IsWin32(e, static_cast<unsigned>(n)); }},
        {"ErrNo", [](int n) { return FXErrorUtil::ErrorErrNo(FZ_LOC, n, "t %d", n); },
         [](CFzError const& e, int n) { return FXErrorUtil::IsErrNo(e, n); }},
        {"JZResult", [](int n) { return FXErrorUtil::ErrorJZResult(FZ_LOC, n, "t %d", n); },
         [](CFzError const& e, int n) { return FXErrorUtil::IsJZResult(e, n); }},
    };
}

TEST(ErrorMakers, EveryMakerGivesAFailureThatOnlyItsOwnKindAndNumberRecognise) {
    int const numbers[] = {0, -1, 1, 2, 3, 12, 14, 16, 22, 95, 774, 1168, 1627, 0x13000359, 0x0FFFFFFF, 0x10000000,
                           INT_MAX, INT_MIN};
    auto makers = Makers();
    for (auto const& maker : makers) {
        for (int n : numbers) {
            SCOPED_TRACE(std::string(maker.name) + " " + std::to_string(n));
            CFzError e = maker.make(n);
            EXPECT_TRUE(e.IsError());
            EXPECT_LT(e.GetErrorCode(), 0);
            EXPECT_TRUE(maker.is(e, n));
            EXPECT_FALSE(maker.is(e, n ^ 1));
            for (auto const& other : makers) {
                if (std::string(other.name).rfind(std::string(maker.name).substr(0, 5), 0) == 0) continue;
                EXPECT_FALSE(other.is(e, n)) << other.name;
            }
        }
    }
}

TEST(ErrorMakers, TestsOnSuccessOrDetaillessValuesAreFalse) {
    CFzError ok = CFzError::Success();
    EXPECT_FALSE(FXErrorUtil::IsWin32(ok, 0));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(ok, 0));
    EXPECT_FALSE(FXErrorUtil::IsJZResult(ok, 0));
    CFzError bare(-5, nullptr);
    EXPECT_TRUE(bare.IsError());
    EXPECT_FALSE(FXErrorUtil::IsErrNo(bare, -5));
}

TEST(ErrorValue, IsErrorFollowsTheSignOfTheCode) {
    struct Case {
        int32_t code;
        bool error;
    } const cases[] = {{0, false}, {1, false}, {INT_MAX, false}, {-1, true}, {INT_MIN, true}};
    for (auto const& c : cases) {
        CFzError e(c.code, nullptr);
        EXPECT_EQ(e.IsError(), c.error) << c.code;
        EXPECT_EQ(e.GetErrorCode(), c.code);
    }
    EXPECT_EQ(CFzError().GetErrorCode(), 0);
    EXPECT_EQ(CFzError::Success().Detail(), nullptr);
}

TEST(ErrorValue, CopiesShareTheDetailAndTheLastHolderFreesIt) {
    CFzError copy;
    {
        CFzError original = FXErrorUtil::ErrorErrNo(FZ_LOC, 2, "missing %s", "file");
        copy = original;
        EXPECT_EQ(copy.Detail(), original.Detail());
        EXPECT_EQ(original.DetailUseCount(), 2);
    }
    ASSERT_NE(copy.Detail(), nullptr);
    EXPECT_EQ(copy.DetailUseCount(), 1);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(copy, 2));
    EXPECT_NE(copy.AsString().find("missing file"), std::string::npos);

    FXErrorPrivate const* detail = copy.Detail();
    CFzError& self = copy;
    copy = self;
    EXPECT_EQ(copy.Detail(), detail);
    EXPECT_EQ(copy.DetailUseCount(), 1);
}

CFzError Inner() { return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Failed to load library <%s>", "libX.so"); }
CFzError Outer() {
    CFzError e = Inner();
    if (e.IsError()) return e.Push(FZ_LOC, "LoadBlockLevelSubClientInfo failed");
    return CFzError::Success();
}

TEST(ErrorValue, PushAddsSitesAndTextsThatTheRenderingsShow) {
    CFzError e = Outer();
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1627));
    ASSERT_EQ(e.Detail()->frames.size(), 2u);
    EXPECT_NE(e.Detail()->frames[1].function.find("Outer"), std::string::npos);

    std::string text = e.AsString();
    EXPECT_NE(text.find("1627"), std::string::npos);
    EXPECT_LT(text.find("Failed to load library <libX.so>"), text.find("LoadBlockLevelSubClientInfo failed"));
    std::string shortText = e.AsString(eErrorFormatShort);
    EXPECT_EQ(shortText.find("LoadBlockLevelSubClientInfo"), std::string::npos);
    std::string chain = e.AsString(static_cast<EErrorOutputFormat>(2));
    EXPECT_NE(chain.find("Inner"), std::string::npos);
    EXPECT_NE(chain.find("Outer"), std::string::npos);
    EXPECT_EQ(CFzError::Success().AsString(), "Success");
}

TEST(ErrorValue, PushOnASuccessKeepsItASuccess) {
    CFzError ok;
    ok.Push(FZ_LOC, "note");
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.GetErrorCode(), 0);
}

TEST(ErrorValue, GetLastErrorGivesTheFailedCallsErrno) {
    errno = 0;
    FILE* f = fopen("/nonexistent-dir-for-test/x", "r");
    ASSERT_EQ(f, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ENOENT));
}

// Thrown from a function of this program and caught by reference, as the
// replication road does; the texts are copies, so the caller's buffers may go.
void Throw(int err) {
    char function[64], message[64], file[64];
    strcpy(function, "void LREP::run()");
    strcpy(message, "engine job failed");
    strcpy(file, "lrep.cpp");
    JzException e(function, message, file, 42, err);
    memset(function, 'x', sizeof function - 1);
    memset(message, 'x', sizeof message - 1);
    memset(file, 'x', sizeof file - 1);
    throw e;
}

TEST(JzExceptionTest, CarriesAnyErrnoAndOwnsItsTexts) {
    for (int err : {-1, 0, 5, 0x13000359}) {
        try {
            Throw(err);
            FAIL() << "no exception";
        } catch (JzException const& e) {
            EXPECT_EQ(e.getErrno(), err);
            EXPECT_STREQ(e.getMessage(), "engine job failed");
            EXPECT_STREQ(e.getFileName(), "lrep.cpp");
            EXPECT_EQ(e.getLineNum(), 42);
            EXPECT_EQ(e.formatError(),
                      "void LREP::run(): engine job failed (lrep.cpp:42, errno " + std::to_string(err) + ")");
        }
    }
}

TEST(JzExceptionTest, TakesAStringMessageAndNullTexts) {
    std::string message = "from a string";
    JzException e("f", message, nullptr, 7, -1);
    message.assign("changed");
    EXPECT_STREQ(e.getMessage(), "from a string");
    EXPECT_STREQ(e.getFileName(), "");
    JzException n(nullptr, static_cast<char const*>(nullptr), nullptr, 0, -1);
    EXPECT_STREQ(n.getMessage(), "");
    JzException copy = e;
    EXPECT_STREQ(copy.getMessage(), "from a string");
}

}  // namespace
