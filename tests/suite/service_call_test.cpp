// The service-call step: every call is journalled; a fault fails it in one
// form (the fault's code, -1 for 0; the fault's text, or "<call> failed
// (injected fault)"); the last-error record keeps what failed last.
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

class ServiceCallTest : public nuvtest::SuiteTest {};

TEST_F(ServiceCallTest, FaultsFailTheCallInOneForm) {
    struct Case {
        char const* name;
        bool declare;
        int code;
        char const* text;
        bool goesOn;
        int wantCode;
        char const* wantText;
    };
    Case const cases[] = {
        {"no fault", false, 0, "", true, 0, ""},
        {"code and text", true, 28, "media full", false, 28, "media full"},
        {"code 0 becomes -1", true, 0, "refused", false, -1, "refused"},
        {"no text", true, 5, "", false, 5, "Svc::call failed (injected fault)"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvsuite::ClearFaults();
        nuvsuite::ClearJournal();
        if (c.declare) nuvsuite::AddFault("svc", "Svc::call", c.code, c.text, 1);
        nuvsuite::CallFault fault;
        EXPECT_EQ(c.goesOn, nuvsuite::EnterCall("svc", "Svc::call", "job=7", &fault));
        EXPECT_EQ(c.wantCode, fault.code);
        EXPECT_EQ(c.wantText, fault.text);
        auto journal = nuvsuite::ReadJournal("svc", "Svc::call");
        ASSERT_EQ(1u, journal.size());
        EXPECT_EQ("job=7", journal[0].args);
        // The fault was used up: the next call goes on.
        EXPECT_TRUE(nuvsuite::EnterCall("svc", "Svc::call", "job=7"));
    }
}

TEST_F(ServiceCallTest, CallFaultedChecksWithoutJournalling) {
    nuvsuite::AddFault("plugin", "hold", 0, "", 1);
    nuvsuite::CallFault fault;
    EXPECT_TRUE(nuvsuite::CallFaulted("plugin", "hold", "", &fault));
    EXPECT_EQ(-1, fault.code);
    EXPECT_EQ("hold failed (injected fault)", fault.text);
    EXPECT_FALSE(nuvsuite::CallFaulted("plugin", "hold", "", &fault));
    EXPECT_TRUE(nuvsuite::ReadJournal("plugin").empty());
}

class Client : public nuvsuite::LastErrorRecord {
public:
    int Fail(int code, std::string text) { return setError(code, std::move(text)); }
    int Fail(nuvsuite::CallFault const& f) { return setError(f); }
    void Succeed() { clearError(); }
};

TEST(LastErrorRecord, KeepsTheLastFailureUntilASuccess) {
    Client client;
    EXPECT_EQ(0, client.getLastError());
    EXPECT_STREQ("", client.getErrorString());
    EXPECT_EQ(-1, client.Fail(0, "zero is no error number"));
    EXPECT_EQ(-1, client.getLastError());
    nuvsuite::CallFault f;
    f.code = 77;
    f.text = "manager down";
    EXPECT_EQ(77, client.Fail(f));
    EXPECT_STREQ("manager down", client.getErrorString());
    client.Succeed();
    EXPECT_EQ(0, client.getLastError());
    EXPECT_STREQ("", client.getErrorString());
}

}  // namespace
