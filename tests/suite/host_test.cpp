// Mangled host names.
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <gtest/gtest.h>

namespace {

TEST(HostNameTest, DemangleSplitsWhatMangleJoins) {
    struct Case {
        char const* mangled;  // null: a null pointer
        int result;
        char const* host;
        char const* client;
        int port;
        int brannox;
    };
    Case const cases[] = {
        {"db1*db1client*8400*2", 0, "db1", "db1client", 8400, 2},
        {"db1*db1client*8400", 0, "db1", "db1client", 8400, 0},
        {"db1*db1client", 0, "db1", "db1client", 0, 0},
        {"db1**8400*2", 0, "db1", "db1", 8400, 2},  // no client: the host
        {"plainhost", 0, "plainhost", "plainhost", 0, 0},
        {"db1*c*notaport*2", -1, "", "", 0, 0},
        {"a*b*1*2*3", -1, "", "", 0, 0},
        {"", -1, "", "", 0, 0},
        {nullptr, -1, "", "", 0, 0},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.mangled ? c.mangled : "(null)");
        std::string host = "stale";
        std::string client = "stale";
        int port = 77;
        int brannox = 77;
        EXPECT_EQ(DemangleHostName(c.mangled, host, client, port, brannox), c.result);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(client, c.client);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(brannox, c.brannox);
    }
}

TEST(HostNameTest, LocalHostRoundTripsAsTheLocalSuite) {
    std::string const mangled = nuvsuite::LocalMangledHostName();
    std::string host, client;
    int port = 0, brannox = 0;
    ASSERT_EQ(DemangleHostName(mangled.c_str(), host, client, port, brannox), 0);
    EXPECT_EQ(host, nuvsuite::LocalHostName());
    EXPECT_EQ(client, nuvsuite::LocalHostName());
    EXPECT_EQ(port, nuvsuite::kLocalPort);
    EXPECT_EQ(brannox, nuvsuite::kLocalBrannoxId);
    EXPECT_EQ(nuvsuite::MangleHostName("a*b", "c", 1, 2), "");  // a '*' cannot travel inside a name
}

}  // namespace
